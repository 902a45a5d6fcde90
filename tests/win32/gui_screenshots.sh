#!/bin/sh
# Takes the user guide's screenshots of the real window under Wine: normal mode, a run in
# progress against zuva-devsim, and an updater. Wine draws window frames only inside a
# virtual desktop, so this uses a prefix of its own with one (800x600) and an X display.
#
# Usage: gui_screenshots.sh WIN32_BUILD_DIR OUTPUT_DIR
# Environment: DISPLAY (an X server), ZUVA_LINUX_BUILD_DIR (zuva-devsim and zuva-pack;
# default SOURCE/build/linux).
set -eu
build=$(cd "$1" && pwd)
out=$(mkdir -p "$2" && cd "$2" && pwd)
src=$(cd "$(dirname "$0")/../.." && pwd)
linux=${ZUVA_LINUX_BUILD_DIR:-$src/build/linux}
: "${DISPLAY:?an X display is needed}"
export WINEPREFIX="$build/screenshot-prefix"
export WINEDEBUG=-all
. "$src/tests/win32/wine-env.sh"
exe=$build/ui/ZuvaFlash.exe
driver=$build/tests/gui_test_driver.exe
com=$WINEPREFIX/dosdevices/com3
work=$(mktemp -d /tmp/zuva-shots.XXXXXX)
devsim_pid=

# shellcheck disable=SC2317 # run by the trap
cleanup() {
    [ -z "$devsim_pid" ] || kill "$devsim_pid" 2>/dev/null || true
    "$src/tests/win32/wine-prefix.sh" down "$WINEPREFIX" >/dev/null 2>&1
    rm -rf "$work"
}
trap cleanup EXIT

"$src/tests/win32/wine-prefix.sh" up "$WINEPREFIX" >/dev/null 2>&1
wine reg add 'HKCU\Software\Wine\Explorer' /v Desktop /d Default /f >/dev/null 2>&1
wine reg add 'HKCU\Software\Wine\Explorer\Desktops' /v Default /d 800x600 /f >/dev/null 2>&1
key='HKLM\SYSTEM\CurrentControlSet\Enum\USB\VID_0403&PID_6001\A5XK3RJT'
wine reg add "$key" /v CLASS /d Ports /f >/dev/null 2>&1
wine reg add "$key" /v PORTNAME /d COM3 /f >/dev/null 2>&1
wine reg add "$key" /v FRIENDLYNAME /d 'USB Serial Port (COM3)' /f >/dev/null 2>&1
# Window captions draw their buttons with Marlett.
cp /usr/share/wine/fonts/marlett.ttf "$WINEPREFIX/drive_c/windows/Fonts/" 2>/dev/null || true
# The desktop setting takes effect with a new server.
"$src/tests/win32/wine-prefix.sh" down "$WINEPREFIX" >/dev/null 2>&1
"$src/tests/win32/wine-prefix.sh" up "$WINEPREFIX" >/dev/null 2>&1

mkdir -p "$WINEPREFIX/drive_c/firmware" "$WINEPREFIX/drive_c/ZuvaFlash"
cp "$exe" "$WINEPREFIX/drive_c/ZuvaFlash/ZuvaFlash.exe"
cp "$src/samples/blink.bin" "$WINEPREFIX/drive_c/firmware/blink.bin"
"$linux/tools/pack/zuva-pack" --exe "$exe" --image "$src/samples/blink.bin" \
    --description 'Blink demo 1.0 - LED on PC13, 2026-12-07' \
    --output "$WINEPREFIX/drive_c/firmware/BlinkUpdate.exe" >/dev/null

# One pose: start the driver, wait for READY, capture the virtual desktop around the window.
shoot() { # name stage program
    # The last pose's READY must not be read before the background job empties the file.
    rm -f "$work/pose.out"
    wine "$driver" pose "$3" "$2" 'C:\firmware\blink.bin' >"$work/pose.out" 2>&1 &
    pose=$!
    i=0
    until grep -q READY "$work/pose.out" 2>/dev/null || [ $i -ge 300 ]; do
        sleep 0.05
        i=$((i + 1))
    done
    # shellcheck disable=SC2046 # the four numbers of the rectangle, split on purpose
    set -- "$1" $(sed -n 's/.*READY //p' "$work/pose.out" | tr -d '\r')
    [ $# -eq 5 ] || { cat "$work/pose.out"; exit 1; }
    import -window root "$work/root.png"
    # The desktop window sits at the top left of the X screen; keep a margin round the dialog.
    convert "$work/root.png" -crop "$(($4 - $2 + 40))x$(($5 - $3 + 40))+$(($2 - 20))+$(($3 - 20))" \
        +repage "$out/zuvaflash-$1.png"
    wait "$pose" || { tr -d '\r' <"$work/pose.out"; exit 1; }
    echo "zuvaflash-$1.png"
}

"$linux/tools/devsim/zuva-devsim" --link "$com" --timing >/dev/null 2>&1 &
devsim_pid=$!
sleep 0.5
shoot normal idle 'C:\ZuvaFlash\ZuvaFlash.exe'
shoot running run 'C:\ZuvaFlash\ZuvaFlash.exe'
shoot finished result 'C:\ZuvaFlash\ZuvaFlash.exe'
shoot update update 'C:\firmware\BlinkUpdate.exe'
