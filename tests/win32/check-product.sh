#!/bin/sh
# The shipped i686 build: every .exe is PE32 and imports system DLLs only, the three
# programs carry a version and a manifest, and the window program as built (the file
# zuva-pack embeds) fits in 64 KiB.
# Usage: check-product.sh BUILD_DIR
dir=$1
bad=0
found=0
allowed='^(KERNEL32|USER32|GDI32|COMCTL32|COMDLG32|ADVAPI32|msvcrt|SHELL32)\.dll$'
for exe in $(find "$dir" -name '*.exe' -not -path '*/CMakeFiles/*' -not -name '*test*'); do
    found=$((found + 1))
    if ! file "$exe" | grep -q 'PE32 executable.*Intel 80386'; then
        echo "not an i686 PE32 program: $exe"
        bad=1
    fi
    for dll in $(i686-w64-mingw32-objdump -p "$exe" | sed -n 's/.*DLL Name: //p'); do
        if ! echo "$dll" | grep -Eiq "$allowed"; then
            echo "$exe imports $dll"
            bad=1
        fi
    done
done
# Stripped at link time, so what is built is what ships.
for exe in "$dir/ui/ZuvaFlash.exe" "$dir/cli/zuva-flash.exe" "$dir/tools/pack/zuva-pack.exe"; do
    [ -f "$exe" ] || continue
    if i686-w64-mingw32-objdump -f "$exe" | grep -q HAS_SYMS; then
        echo "$exe carries symbols"
        bad=1
    fi
done
# Each shipped program tells Windows its version and, through its manifest, that it runs
# as the user who starts it on Windows 7 to 11; the window also asks for sharp DPI scaling.
for exe in "$dir/ui/ZuvaFlash.exe" "$dir/cli/zuva-flash.exe" "$dir/tools/pack/zuva-pack.exe"; do
    [ -f "$exe" ] || continue
    resources=$(i686-w64-mingw32-windres -i "$exe" -O rc 2>/dev/null)
    for want in VERSIONINFO asInvoker 8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a; do
        if ! echo "$resources" | grep -q "$want"; then
            echo "$exe: no $want in its resources"
            bad=1
        fi
    done
done
if ! i686-w64-mingw32-windres -i "$dir/ui/ZuvaFlash.exe" -O rc 2>/dev/null | grep -q PerMonitorV2; then
    echo "ZuvaFlash.exe: its manifest declares no per-monitor DPI awareness"
    bad=1
fi
[ -f "$dir/ui/ZuvaFlash.exe" ] || { echo "ZuvaFlash.exe missing in $dir/ui"; bad=1; }
if [ -f "$dir/ui/ZuvaFlash.exe" ]; then
    size=$(stat -c %s "$dir/ui/ZuvaFlash.exe")
    echo "ZuvaFlash.exe: $size bytes"
    if [ "$size" -gt 65536 ]; then
        echo "ZuvaFlash.exe is larger than 64 KiB"
        bad=1
    fi
fi
echo "checked $found programs"
exit $bad
