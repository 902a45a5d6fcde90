#!/bin/bash
# zuva-flash.exe under Wine against the Linux zuva-devsim: the simulator's pty becomes a
# COM port through the prefix's dosdevices/comN symlink, so the real Win32 serial code
# talks to the virtual device (wine-com.sh). One simulator (a fresh pty) per run.
# Usage: test_cli_wine.sh WINE_RUN PREFIX ZUVA_FLASH_EXE ZUVA_PACK_EXE ZUVA_FLASH_GUI_EXE SOURCE_DIR
set -u
run=$1
prefix=$2
flash_exe=$3
pack_exe=$4
gui_exe=$5
source=$6
. "$(dirname "$0")/wine-com.sh" cli
passes=0

# flash N "DEVSIM OPTIONS" ARGS...: zuva-flash.exe against a fresh simulator on COMN.
flash() {
    local n=$1 options=$2
    shift 2
    wine_on_sim "$n" "$options" "$flash_exe" "$@"
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
flash 11 "" --port COM11 fw.bin
check "COM11 raw image" 0 "Finished OK" "$work/fw.bin"

flash 12 "" --port '\\.\COM12' fw.bin
check '\\.\COM12 raw image' 0 "Finished OK" "$work/fw.bin"

cp "$source/samples/blink.hex" "$source/samples/blink.bin" "$work/"
flash 11 "" --port com11 blink.hex
check "toolchain HEX" 0 "Finished OK" "$work/blink.bin"

if [ -f "$gui_exe" ]; then
    cp "$gui_exe" "$work/ZuvaFlash.exe"
    (cd "$work" && "$run" "$prefix" "$pack_exe" --exe ZuvaFlash.exe --image fw.bin \
        --description "Wine firmware 1.2" --output Update.exe) >/dev/null 2>&1
    flash 11 "" --port COM11 --embedded Update.exe
    [ "$first" = "Image: Wine firmware 1.2" ] || fail "updater: description not shown"
    check "updater made by zuva-pack" 0 "Finished OK" "$work/fw.bin"
fi

flash 11 "--nack erase" --port COM11 fw.bin
check "erase refused" 11 "Can't erase device"

flash 11 "--nack write@4:3" --port COM11 fw.bin
check "block refused" 4 "Communication error"

# A doubled answer before a refused block: that block's refusal, the stray byte shown.
flash 11 "--extra-ack write@1:3 --nack write@3:3" -v --port COM11 --no-protect fw.bin
tr -d '\r' <"$work/err" | grep -q '1 byte nobody asked for, discarded: 79' &&
    tr -d '\r' <"$work/err" | grep -q 'did not take the block at 0x08000200' ||
    fail "doubled answer: $(cat "$work/err")"
check "doubled answer, then a refused block" 4 "Communication error"

# The line hung up mid-run: named as a lost connection, not blamed on the chip.
flash 11 "--die-in-block 5" --port COM11 fw.bin
tr -d '\r' <"$work/err" | grep -q 'The connection to COM11 was lost during the block at 0x08000400' ||
    fail "hung-up line: $(cat "$work/err")"
check "hung-up line" 4 "Communication error"

# Ctrl-C reaches the console handler (Wine turns SIGINT into CTRL_C_EVENT): the run
# stops through the status callback, exit 130, device left unprotected.
head -c 65536 /dev/urandom >"$work/big.bin"
if com_sim_once 11 --timing --transcript "$work/transcript.txt"; then
    (cd "$work" && exec "$run" "$prefix" "$flash_exe" --port COM11 big.bin) \
        >"$work/out" 2>"$work/err" &
    flash_pid=$!
    for _ in $(seq 300); do
        grep -q 'Write Memory #10$' "$work/transcript.txt" 2>/dev/null && break
        sleep 0.05
    done
    kill -INT "$flash_pid"
    wait "$flash_pid"
    status=$?
    last=$(tr -d '\r' <"$work/out" | tail -1)
fi
com_sim_stop 11
if grep -q 'read-out protected: no, write-protected sectors: 0x00000000' <<<"$summary"; then
    check "Ctrl-C" 130 "Interrupted"
else
    fail "Ctrl-C: device not left unprotected: $summary"
fi

wine_in_work "$flash_exe" --port COM13 fw.bin # no such port
tr -d '\r' <"$work/err" | grep -q "Cannot open COM13: .*Check that the adapter is plugged in" &&
    [ "$(wc -l <"$work/err")" -eq 1 ] || fail "absent port: $(cat "$work/err")"
check "absent port" 1 "Can't open port"
wine_in_work "$flash_exe" --port 'C:\windows\win.ini' fw.bin
tr -d '\r' <"$work/err" | grep -q 'win.ini: not a serial port. Give a serial port' ||
    fail "a file as the port: $(cat "$work/err")"
check "a file as the port" 1 "Can't open port"

cp "$work/fw.bin" "$work/fw.Bin"
wine_in_work "$flash_exe" --port COM13 fw.Bin
check "mixed-case extension" 3 "Invalid file format"

# Options at the bench, on the Win32 link.
unprotected='read-out protected: no, write-protected sectors: 0x00000000'
flash 11 "" --port COM11 --no-protect fw.bin
grep -q "$unprotected" <<<"$summary" || fail "--no-protect: $summary"
cmp -s -n 32768 "$work/fw.bin" "$work/dump.bin" || fail "--no-protect: FLASH differs"
check "--no-protect" 0 "Finished OK"

flash 11 "--transcript $work/transcript.txt" --port COM11 --no-protect --go fw.bin
grep -A3 'Go #1' "$work/transcript.txt" | grep -q 'address 0x08000000' || fail "--go: no Go to the base"
check "--no-protect --go" 0 "Finished OK"

flash 11 "--transcript $work/transcript.txt" --port COM11 --baud 57600 fw.bin
[ "$(grep -c 'line now' "$work/transcript.txt")" -eq 1 ] &&
    head -1 "$work/transcript.txt" | grep -q 'line now 57600 baud' ||
    fail "--baud 57600: $(grep 'line now' "$work/transcript.txt")"
check "--baud 57600" 0 "Finished OK" "$work/fw.bin"

for args in "--go" "--baud 14400"; do
    wine_in_work "$flash_exe" --port COM13 $args fw.bin
    [ "$(tr -d '\r' <"$work/err" | grep -c '^usage: zuva-flash .*(--help tells more)$')" -eq 1 ] &&
        [ "$(wc -l <"$work/err")" -eq 2 ] || fail "usage error: $args: not a reason and one usage line"
    check "usage error: $args" 64 ""
done

flash 11 "--drop-write 5" --port COM11 --verify fw.bin
grep -q "$unprotected" <<<"$summary" || fail "--verify: chip not left unprotected: $summary"
tr -d '\r' <"$work/err" | grep -q 'Verify failed at 0x08000400: ' || fail "--verify: no address"
check "--verify, a dropped write" 12 "Verify failed"
flash 11 "" --port COM11 --verify fw.bin
check "--verify, a good run" 0 "Finished OK" "$work/fw.bin"

# At the bench: a chip read back as Intel HEX, and an application written behind a boot
# loader that --page-erase keeps.
head -c 16384 /dev/urandom >"$work/boot.bin"
head -c 3000 /dev/urandom >"$work/app.bin"
flash 11 "--flash-in $work/boot.bin" --port COM11 --read chip.hex
tr -d '\r' <"$work/err" | grep -q '131072 bytes read from 0x08000000 into chip.hex' ||
    fail "--read: no figures"
arm-none-eabi-objcopy -I ihex -O binary "$work/chip.hex" "$work/chip.bin" 2>/dev/null &&
    cmp -s -n 16384 "$work/chip.bin" "$work/boot.bin" || fail "--read: the file differs from FLASH"
check "--read into .hex" 0 "Finished OK"

flash 11 "--flash-in $work/boot.bin" --port COM11 --page-erase --address 0x08004000 --no-protect app.bin
cmp -s -n 16384 "$work/boot.bin" "$work/dump.bin" || fail "--page-erase: the boot loader changed"
cmp -s -i 0:16384 -n 3000 "$work/app.bin" "$work/dump.bin" || fail "--page-erase: the image differs"
check "--page-erase behind a boot loader" 0 "Finished OK"

# A failed run, then the next one on the same device without a reset.
rm -f "$work/dump.bin"
com_sim_start 11 --dump "$work/dump.bin" --nack write@4:3
wine_in_work "$flash_exe" --port COM11 fw.bin
check "a failed run" 4 "Communication error"
wine_in_work "$flash_exe" --port COM11 fw.bin
com_sim_stop 11 now
check "the run straight after it" 0 "Finished OK" "$work/fw.bin"

echo "$passes passed, $failures failed"
[ "$failures" -eq 0 ]
