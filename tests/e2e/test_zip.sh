#!/bin/bash
# The Windows zip: built by the package target, it carries the programs, the licence, a
# README.txt that names each program, and the user guide as plain text (CRLF, no Markdown
# marks left) beside the Markdown.
# Usage: test_zip.sh BUILD_DIR VERSION
build=$1 version=$2
cmake --build "$build" --target package >"$build/zip-test.log" 2>&1 || {
    cat "$build/zip-test.log"
    echo "FAIL: the package target"
    exit 1
}
zip=$(ls "$build"/ZuvaFlash-"$version"-win*.zip 2>/dev/null | head -1)
[ -n "$zip" ] || { echo "FAIL: no ZuvaFlash-$version-win*.zip in $build"; exit 1; }
python3 - "$zip" <<'PY'
import re, sys, zipfile
archive = zipfile.ZipFile(sys.argv[1])
files = {name.split("/", 1)[1]: name for name in archive.namelist() if not name.endswith("/")}
failures = []
for needed in ["ZuvaFlash.exe", "zuva-flash.exe", "zuva-pack.exe", "LICENSE", "README.txt",
               "doc/user-guide.md", "doc/user-guide.txt"]:
    if needed not in files:
        failures.append(needed + " missing")
if not failures:
    readme = archive.read(files["README.txt"]).decode()
    guide = archive.read(files["doc/user-guide.txt"]).decode()
    licence = archive.read(files["LICENSE"]).decode()
    for program in ["ZuvaFlash.exe", "zuva-flash", "zuva-pack"]:
        if program not in readme:
            failures.append("README.txt does not name " + program)
    if "\r\n" not in readme or "\r\n" not in guide or re.search("(?<!\r)\n", guide):
        failures.append("README.txt or the guide without CRLF line ends")
    if re.search(r"^#|```|\]\(|`", guide, re.M):
        failures.append("Markdown marks left in user-guide.txt")
    if "MIT License" not in licence:
        failures.append("LICENSE is not the MIT licence")
for failure in failures:
    print("FAIL:", failure)
print("PASS" if not failures else "")
sys.exit(1 if failures else 0)
PY
