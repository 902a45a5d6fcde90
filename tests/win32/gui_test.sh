#!/bin/sh
# Drives the real ZuvaFlash.exe under Wine against zuva-devsim on a pty: the test writes
# a port into the registry so the real Win32 enumeration finds it, links COM12 to the
# simulator's pty, runs the driver program and then checks the device it left behind.
#
# Usage: gui_test.sh SCENARIO ZUVAFLASH.EXE GUI_DRIVER.EXE
#   SCENARIO: noports | normal | failure | browse | abort | update | update-signed
# Environment: WINEPREFIX (a prefix started by wine-prefix.sh), DISPLAY (an X server),
# ZUVA_SOURCE_DIR, ZUVA_LINUX_BUILD_DIR (the Linux build tree with zuva-devsim and
# zuva-pack; default SOURCE/build/linux).
set -u
scenario=$1
exe=$2
driver=$3
src=${ZUVA_SOURCE_DIR:-$(cd "$(dirname "$0")/../.." && pwd)}
linux=${ZUVA_LINUX_BUILD_DIR:-$src/build/linux}
devsim=$linux/tools/devsim/zuva-devsim
pack=$linux/tools/pack/zuva-pack
: "${WINEPREFIX:?WINEPREFIX must name a started prefix}"
export WINEPREFIX
. "$(dirname "$0")/wine-env.sh"
# Quiet, but a program that cannot be loaded still says why.
export WINEDEBUG="${WINEDEBUG:--all,err+module}"

if [ -z "${DISPLAY:-}" ]; then
    echo "SKIP: the window needs an X display (DISPLAY is not set)"
    exit 77
fi
need() { # tool...
    for tool in "$@"; do
        if [ ! -x "$tool" ]; then
            echo "FAIL: $tool not found: build the Linux lane first or set ZUVA_LINUX_BUILD_DIR"
            exit 1
        fi
    done
}

work=$(mktemp -d /tmp/zuva-gui.XXXXXX)
enum_key='HKLM\SYSTEM\CurrentControlSet\Enum\ZUVATEST'
com=$WINEPREFIX/dosdevices/com12
devsim_pid=
failed=0

# shellcheck disable=SC2317 # run by the trap
cleanup() {
    if [ -n "$devsim_pid" ]; then
        kill "$devsim_pid" 2>/dev/null
        wait "$devsim_pid" 2>/dev/null
    fi
    wine reg delete "$enum_key" /f >/dev/null 2>&1
    rm -f "$com"
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

check() { # what expected found
    if [ "$2" = "$3" ]; then
        echo "PASS $1: expected $2, found $3"
    else
        echo "FAIL $1: expected $2, found $3"
        failed=1
    fi
}

winpath() {
    wine winepath -w "$1" 2>/dev/null | tr -d '\r'
}

# Two port instances: the simulator's COM12 and one whose name is COM without a number.
add_ports() {
    wine reg add "$enum_key\\VIRTUAL\\0000" /v CLASS /d Ports /f >/dev/null 2>&1
    wine reg add "$enum_key\\VIRTUAL\\0000" /v PORTNAME /d COM12 /f >/dev/null 2>&1
    wine reg add "$enum_key\\VIRTUAL\\0000" /v FRIENDLYNAME /d 'Zuva test port (COM12)' /f \
        >/dev/null 2>&1
    wine reg add "$enum_key\\VIRTUAL\\0001" /v CLASS /d Ports /f >/dev/null 2>&1
    wine reg add "$enum_key\\VIRTUAL\\0001" /v PORTNAME /d COMX /f >/dev/null 2>&1
    wine reg add "$enum_key\\VIRTUAL\\0001" /v FRIENDLYNAME /d 'Odd port (COMX)' /f \
        >/dev/null 2>&1
}

# Starts the simulator with its options, COM12 linked to its pty.
start_devsim() {
    need "$devsim"
    rm -f "$com"
    "$devsim" --link "$com" --dump "$work/flash.bin" "$@" >"$work/devsim.log" 2>&1 &
    devsim_pid=$!
    i=0
    while [ ! -L "$com" ] && [ $i -lt 100 ]; do
        sleep 0.05
        i=$((i + 1))
    done
    if [ ! -L "$com" ]; then
        echo "FAIL: zuva-devsim did not come up"
        cat "$work/devsim.log"
        exit 1
    fi
}

# Stops the simulator, which then writes its dump and its summary line.
stop_devsim() {
    kill -INT "$devsim_pid" 2>/dev/null
    wait "$devsim_pid" 2>/dev/null
    devsim_pid=
    summary=$(tail -n 1 "$work/devsim.log")
    echo "device: $summary"
}

# One field of the summary line, such as "read-out protected".
summary_field() {
    echo "$summary" | sed -n "s/.*$1: \([^,]*\).*/\1/p"
}

# Runs the driver program; its output without Windows line ends, its exit status.
drive() {
    wine "$driver" "$@" >"$work/driver.out" 2>&1
    rc=$?
    tr -d '\r' <"$work/driver.out"
    return $rc
}

# The first bytes of FLASH are the image; everything behind it is still erased.
check_flash_holds() { # image
    size=$(stat -c %s "$1")
    if cmp -s -n "$size" "$1" "$work/flash.bin"; then found=identical; else found=different; fi
    check "FLASH from 0x08000000 against the image" identical "$found"
    rest=$(tail -c +"$((size + 1))" "$work/flash.bin" | tr -d '\377' | wc -c)
    check "non-erased bytes behind the image" 0 "$rest"
}

# A finished run leaves sectors 0 to 15 write-protected and read-out protection on.
check_protected() {
    check "read-out protected" yes "$(summary_field 'read-out protected')"
    check "write-protected sectors" 0x0000FFFF "$(summary_field 'write-protected sectors')"
}

# Test data: 96 blocks, long enough under the simulator's timing to watch the run.
head -c 24576 /dev/urandom >"$work/image.bin"
printf 'not an image' >"$work/image.enc"
# The same image as the toolchain's S-records and ELF file, where binutils is installed.
image_as() { # EXTENSION: the image in that format, or the raw image
    case "$1" in
    srec) arm-none-eabi-objcopy -I binary -O srec --change-addresses 0x08000000 \
        "$work/image.bin" "$work/image.srec" 2>/dev/null ;;
    elf) arm-none-eabi-ld -m armelf -b binary --section-start=.data=0x08000000 -e 0 \
        -o "$work/image.elf" "$work/image.bin" 2>/dev/null ;;
    esac && [ -s "$work/image.$1" ] && echo "$work/image.$1" || echo "$work/image.bin"
}
flash_exe=$(winpath "$exe")
status=0
case "$scenario" in
noports)
    wine reg delete "$enum_key" /f >/dev/null 2>&1
    drive noports "$flash_exe"
    status=$?
    ;;
normal)
    add_ports
    # A path of exactly 259 characters, then more text in the field behind it: only the
    # first 259 characters may form the path.
    base=$(winpath "$work")
    dir=$(printf "%0$((259 - ${#base} - 7))d" 0 | tr 0 d)
    mkdir "$work/$dir"
    head -c 1024 /dev/urandom >"$work/$dir/s.bin"
    long="$base\\$dir\\s.bin"
    check "length of the long path" 259 "${#long}"
    start_devsim --timing
    drive normal "$flash_exe" "$(winpath "$(image_as srec)")" \
        "$(winpath "$work/image.enc")" "${long}_and_more.hex"
    status=$?
    stop_devsim
    check_flash_holds "$work/image.bin"
    check_protected
    ;;
failure)
    add_ports
    # The third block's data is refused.
    start_devsim --nack write@3:3
    drive failure "$flash_exe" "$(winpath "$(image_as elf)")" \
        "Communication error"
    status=$?
    stop_devsim
    ;;
browse)
    add_ports
    printf 'scrambled?' >"$work/fw.enc"
    drive browse "$flash_exe" "$(winpath "$work/fw.enc")"
    status=$?
    ;;
abort)
    add_ports
    start_devsim --timing
    drive abort "$flash_exe" "$(winpath "$work/image.bin")"
    status=$?
    stop_devsim
    # The run stopped before its protection steps: the device is left unprotected.
    check "read-out protected after the abort" no "$(summary_field 'read-out protected')"
    check "write-protected sectors after the abort" 0x00000000 \
        "$(summary_field 'write-protected sectors')"
    written=$(summary_field 'blocks written' | cut -d' ' -f1)
    found="${written:-none} of 96"
    if [ "${written:-96}" -lt 96 ]; then found="fewer than 96"; fi
    echo "blocks written before the run stopped: ${written:-none}"
    check "blocks written when the run stopped" "fewer than 96" "$found"
    ;;
update | update-signed)
    need "$pack" "$devsim"
    cp "$exe" "$work/ZuvaFlash.exe"
    description='Zuva firmware 2.4 test release'
    "$pack" --exe "$work/ZuvaFlash.exe" --image "$work/image.bin" \
        --description "$description" --output "$work/ZuvaUpdate.exe" >"$work/pack.log" 2>&1 ||
        {
            cat "$work/pack.log"
            exit 1
        }
    if [ "$scenario" = update-signed ]; then
        # Signed as a release would be, with a throwaway certificate.
        (cd "$work" && openssl req -x509 -newkey rsa:2048 -nodes -keyout key.pem -out cert.pem \
            -days 30 -subj /CN=Test && mv ZuvaUpdate.exe unsigned.exe &&
            osslsigncode sign -certs cert.pem -key key.pem -in unsigned.exe -out ZuvaUpdate.exe &&
            osslsigncode verify -CAfile cert.pem ZuvaUpdate.exe) >"$work/sign.log" 2>&1
        check "osslsigncode signs and verifies the updater" 0 $?
    fi
    wine reg delete "$enum_key" /f >/dev/null 2>&1
    drive update-noports "$(winpath "$work/ZuvaUpdate.exe")"
    status=$?
    add_ports
    start_devsim --timing
    drive update "$(winpath "$work/ZuvaUpdate.exe")" "$description" "$(winpath "$work/image.bin")"
    status=$((status + $?))
    stop_devsim
    check_flash_holds "$work/image.bin"
    check_protected
    ;;
*)
    echo "unknown scenario: $scenario"
    exit 64
    ;;
esac
[ "$status" -eq 0 ] || failed=1
exit $failed
