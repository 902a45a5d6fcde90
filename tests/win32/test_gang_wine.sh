#!/bin/bash
# zuva-flash.exe with three COM ports at once under Wine, each a Linux zuva-devsim behind
# a dosdevices link; the middle one refuses erase. The image's name has a space and
# non-ASCII letters, which must reach every child process intact.
# Usage: test_gang_wine.sh WINE_RUN PREFIX ZUVA_FLASH_EXE SOURCE_DIR
set -u
run=$1
prefix=$2
flash_exe=$3
source=$4
linux_build=${ZUVA_LINUX_BUILD_DIR:-$source/build/linux}
devsim=$linux_build/tools/devsim/zuva-devsim
[ -x "$devsim" ] || { echo "SKIP: no zuva-devsim in $linux_build (build the linux lane first)"; exit 77; }
[ -d "$prefix/dosdevices" ] || { echo "no Wine prefix at $prefix (wine-prefix.sh up)"; exit 1; }

work=$(mktemp -d "${TMPDIR:-/tmp}/zuva-wine-gang.XXXXXX")
sims=()
cleanup() {
    for pid in "${sims[@]}"; do kill "$pid" 2>/dev/null; done
    rm -f "$prefix"/dosdevices/com5{1,2,3}
    rm -rf "$work"
}
trap cleanup EXIT

image="fw 日本.bin"
head -c 32768 /dev/urandom >"$work/$image"
for n in 51 52 53; do
    extra=()
    [ $n = 52 ] && extra=(--nack erase:2)
    rm -f "$prefix/dosdevices/com$n"
    "$devsim" --once --link "$prefix/dosdevices/com$n" --dump "$work/dump$n.bin" "${extra[@]}" \
        >"$work/devsim$n.out" 2>&1 &
    sims+=($!)
done
for _ in $(seq 100); do
    [ -L "$prefix/dosdevices/com51" ] && [ -L "$prefix/dosdevices/com52" ] &&
        [ -L "$prefix/dosdevices/com53" ] && break
    sleep 0.05
done

(cd "$work" && "$run" "$prefix" "$flash_exe" --json --port COM51 --port COM52 --port COM53 \
    "$image") >"$work/flash.out" 2>"$work/flash.err"
status=$?
for pid in "${sims[@]}"; do
    for _ in $(seq 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.05; done
    kill -INT "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
done
sims=()

fail() {
    echo "FAIL: $*"
    for f in flash.out flash.err; do echo "--- $f"; cat "$work/$f"; done
    exit 1
}
[ $status -eq 11 ] || fail "exit $status, expected 11"
for n in 51 53; do
    cmp -s -n 32768 "$work/$image" "$work/dump$n.bin" || fail "COM$n not programmed"
done
python3 - "$work/flash.out" "$work/$image" <<'PY' || fail "JSON lines"
import json, sys, zlib
data = open(sys.argv[2], "rb").read()
objects = [json.loads(line) for line in open(sys.argv[1]).read().splitlines()]
assert [(o["port"], o["result"]) for o in objects] == [("COM51", 0), ("COM52", 11), ("COM53", 0)], objects
for o in objects:
    assert o["image"] == "fw 日本.bin" and o["image_crc32"] == "%08x" % zlib.crc32(data), o
PY
echo "PASS: three COM ports, one failing at erase"
