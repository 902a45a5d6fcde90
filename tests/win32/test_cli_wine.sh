#!/bin/bash
# zuva-flash.exe under Wine against the Linux zuva-devsim: the simulator's pty becomes a
# COM port through the prefix's dosdevices/comN symlink, so the real Win32 serial code
# talks to the virtual device. One simulator (a fresh pty) per run.
# Usage: test_cli_wine.sh WINE_RUN PREFIX ZUVA_FLASH_EXE ZUVA_PACK_EXE ZUVA_FLASH_GUI_EXE SOURCE_DIR
# The Linux build tree with zuva-devsim: $ZUVA_LINUX_BUILD_DIR, default SOURCE_DIR/build/linux.
set -u
run=$1
prefix=$2
flash_exe=$3
pack_exe=$4
gui_exe=$5
source=$6
linux_build=${ZUVA_LINUX_BUILD_DIR:-$source/build/linux}
devsim=$linux_build/tools/devsim/zuva-devsim
[ -x "$devsim" ] || { echo "SKIP: no zuva-devsim in $linux_build (build the linux lane first)"; exit 77; }
[ -d "$prefix/dosdevices" ] || { echo "no Wine prefix at $prefix (wine-prefix.sh up)"; exit 1; }

work=$(mktemp -d "${TMPDIR:-/tmp}/zuva-wine-cli.XXXXXX")
sim_pid=
link=
cleanup() {
    [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null
    [ -n "$link" ] && rm -f "$link"
    rm -rf "$work"
}
trap cleanup EXIT
failures=0
passes=0

fail() {
    echo "FAIL: $*"
    for f in flash.out flash.err devsim.out devsim.err; do
        [ -s "$work/$f" ] && { echo "--- $f"; tail -10 "$work/$f"; }
    done
    failures=$((failures + 1))
}

start_sim() { # COM_NUMBER devsim-options...
    local number=$1
    shift
    link=$prefix/dosdevices/com$number
    rm -f "$link" "$work/dump.bin"
    "$devsim" --once --link "$link" --dump "$work/dump.bin" "$@" \
        >"$work/devsim.out" 2>"$work/devsim.err" &
    sim_pid=$!
    for _ in $(seq 100); do
        [ -L "$link" ] && return 0
        sleep 0.05
    done
    echo "zuva-devsim made no link at $link"
    return 1
}

stop_sim() {
    for _ in $(seq 100); do
        kill -0 "$sim_pid" 2>/dev/null || break
        sleep 0.05
    done
    kill -INT "$sim_pid" 2>/dev/null
    wait "$sim_pid" 2>/dev/null
    sim_pid=
    summary=$(tail -1 "$work/devsim.out")
}

# flash ARGS...: runs zuva-flash.exe in the work folder (relative paths are the same
# for both sides); sets $status and $last (stdout's last line, CR removed).
flash() {
    (cd "$work" && "$run" "$prefix" "$flash_exe" "$@") >"$work/flash.out" 2>"$work/flash.err"
    status=$?
    last=$(tr -d '\r' <"$work/flash.out" | tail -1)
}

check() { # name expected_status expected_text [image to find in FLASH]
    local name=$1
    if [ "$status" -ne "$2" ] || [ "$last" != "$3" ]; then
        fail "$name: exit $status '$last', expected $2 '$3'"
        return
    fi
    if [ $# -ge 4 ]; then
        local size
        size=$(stat -c %s "$4")
        if ! cmp -s -n "$size" "$4" "$work/dump.bin"; then
            fail "$name: FLASH differs from $(basename "$4")"
            return
        fi
        if ! grep -q 'read-out protected: yes, write-protected sectors: 0x0000FFFF' <<<"$summary"; then
            fail "$name: device not protected: $summary"
            return
        fi
    fi
    echo "PASS: $name"
    passes=$((passes + 1))
}

head -c 32768 /dev/urandom >"$work/fw.bin"

# COMn with n of 10 and up only opens as \\.\COMn: the program must add the prefix.
start_sim 11 && flash --port COM11 fw.bin
stop_sim
check "COM11 raw image" 0 "Finished OK" "$work/fw.bin"

start_sim 12 && flash --port '\\.\COM12' fw.bin
stop_sim
check '\\.\COM12 raw image' 0 "Finished OK" "$work/fw.bin"

cp "$source/samples/blink.hex" "$source/samples/blink.bin" "$work/"
start_sim 11 && flash --port com11 blink.hex
stop_sim
check "toolchain HEX" 0 "Finished OK" "$work/blink.bin"

if [ -f "$gui_exe" ]; then
    cp "$gui_exe" "$work/ZuvaFlash.exe"
    (cd "$work" && "$run" "$prefix" "$pack_exe" --exe ZuvaFlash.exe --image fw.bin \
        --description "Wine firmware 1.2" --output Update.exe) >/dev/null 2>&1
    start_sim 11 && flash --port COM11 --embedded Update.exe
    stop_sim
    if [ "$(tr -d '\r' <"$work/flash.out" | head -1)" != "Image: Wine firmware 1.2" ]; then
        fail "updater: description not shown"
    fi
    check "updater made by zuva-pack" 0 "Finished OK" "$work/fw.bin"
fi

start_sim 11 --nack erase && flash --port COM11 fw.bin
stop_sim
check "erase refused" 11 "Can't erase device"

start_sim 11 --nack write@4:3 && flash --port COM11 fw.bin
stop_sim
check "block refused" 4 "Communication error"

# Ctrl-C reaches the console handler (Wine turns SIGINT into CTRL_C_EVENT): the run
# stops through the status callback, exit 130, device left unprotected.
head -c 65536 /dev/urandom >"$work/big.bin"
if start_sim 11 --timing --transcript "$work/transcript.txt"; then
    (cd "$work" && exec "$run" "$prefix" "$flash_exe" --port COM11 big.bin) \
        >"$work/flash.out" 2>"$work/flash.err" &
    flash_pid=$!
    for _ in $(seq 300); do
        grep -q 'Write Memory #10$' "$work/transcript.txt" 2>/dev/null && break
        sleep 0.05
    done
    kill -INT "$flash_pid"
    wait "$flash_pid"
    status=$?
    last=$(tr -d '\r' <"$work/flash.out" | tail -1)
fi
stop_sim
if grep -q 'read-out protected: no, write-protected sectors: 0x00000000' <<<"$summary"; then
    check "Ctrl-C" 130 "Interrupted"
else
    fail "Ctrl-C: device not left unprotected: $summary"
fi

flash --port COM13 fw.bin # no such port
check "absent port" 1 "Can't open port"

cp "$work/fw.bin" "$work/fw.Bin"
flash --port COM13 fw.Bin
check "mixed-case extension" 3 "Invalid file format"

# Options at the bench, on the Win32 link.
unprotected='read-out protected: no, write-protected sectors: 0x00000000'
start_sim 11 && flash --port COM11 --no-protect fw.bin
stop_sim
grep -q "$unprotected" <<<"$summary" || fail "--no-protect: $summary"
cmp -s -n 32768 "$work/fw.bin" "$work/dump.bin" || fail "--no-protect: FLASH differs"
check "--no-protect" 0 "Finished OK"

start_sim 11 --transcript "$work/transcript.txt" && flash --port COM11 --no-protect --go fw.bin
stop_sim
grep -A3 'Go #1' "$work/transcript.txt" | grep -q 'address 0x08000000' || fail "--go: no Go to the base"
check "--no-protect --go" 0 "Finished OK"

start_sim 11 --transcript "$work/transcript.txt" && flash --port COM11 --baud 57600 fw.bin
stop_sim
[ "$(grep -c 'line now' "$work/transcript.txt")" -eq 1 ] &&
    head -1 "$work/transcript.txt" | grep -q 'line now 57600 baud' ||
    fail "--baud 57600: $(grep 'line now' "$work/transcript.txt")"
check "--baud 57600" 0 "Finished OK" "$work/fw.bin"

for args in "--go" "--baud 14400"; do
    flash --port COM13 $args fw.bin
    check "usage error: $args" 64 ""
done

start_sim 11 --drop-write 5 && flash --port COM11 --verify fw.bin
stop_sim
grep -q "$unprotected" <<<"$summary" || fail "--verify: chip not left unprotected: $summary"
tr -d '\r' <"$work/flash.err" | grep -q 'verify failed at 0x08000400: ' || fail "--verify: no address"
check "--verify, a dropped write" 12 "Verify failed"
start_sim 11 && flash --port COM11 --verify fw.bin
stop_sim
check "--verify, a good run" 0 "Finished OK" "$work/fw.bin"

# A failed run, then the next one on the same device without a reset.
link=$prefix/dosdevices/com11
rm -f "$link" "$work/dump.bin"
"$devsim" --link "$link" --dump "$work/dump.bin" --nack write@4:3 >"$work/devsim.out" 2>&1 &
sim_pid=$!
for _ in $(seq 100); do [ -L "$link" ] && break; sleep 0.05; done
flash --port COM11 fw.bin
check "a failed run" 4 "Communication error"
flash --port COM11 fw.bin
kill -INT "$sim_pid"
wait "$sim_pid" 2>/dev/null
sim_pid=
summary=$(tail -1 "$work/devsim.out")
check "the run straight after it" 0 "Finished OK" "$work/fw.bin"

echo "$passes passed, $failures failed"
[ "$failures" -eq 0 ]
