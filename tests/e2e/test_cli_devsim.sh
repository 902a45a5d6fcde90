#!/bin/bash
# zuva-flash as a process against zuva-devsim over a pty: one case per call.
# Usage: test_cli_devsim.sh BUILD_DIR SOURCE_DIR CASE
# Each case starts its own simulator (a fresh pty: a pty keeps no parity setting twice)
# and checks the exit status, the last line of stdout and the FLASH dump.
set -u
. "$(dirname "$0")/devsim-e2e.sh"

fail() {
    echo "FAIL: $*"
    for f in flash.out flash.err devsim.out devsim.err; do
        [ -s "$work/$f" ] && { echo "--- $f"; tail -20 "$work/$f"; }
    done
    exit 1
}

# start_server [devsim options]: a simulator that serves one client after another and
# keeps the device as each one left it, until stop_server; FLASH in dump.bin, the
# conversation in transcript.txt.
start_server() {
    rm -f "$work/transcript.txt" "$work/dump.bin"
    sim_launch devsim --dump "$work/dump.bin" --transcript "$work/transcript.txt" "$@"
}
stop_server() { sim_stop "$sim" devsim; }

# start_sim [devsim options]: as start_server, but serves one client, then dumps FLASH and
# exits; wait_sim waits for that.
start_sim() { start_server --once "$@"; }
wait_sim() { sim_finish "$sim" devsim; }

# sim_flash "DEVSIM OPTIONS" ARGS...: one run on the port of a fresh simulator.
sim_flash() {
    local options=$1
    shift
    start_sim $options
    run_flash --port "$pty" "$@"
    wait_sim
}

# flash_until_block BLOCK COMMAND...: COMMAND (zuva-flash, maybe under a wrapper) in the
# background with flash.out and flash.err; returns once the device has seen Write Memory
# number BLOCK (15 s at the most). Sets $flash_pid.
flash_until_block() {
    local block=$1
    shift
    "$@" >"$work/flash.out" 2>"$work/flash.err" &
    flash_pid=$!
    for _ in $(seq 300); do
        grep -q "Write Memory #$block\$" "$work/transcript.txt" 2>/dev/null && break
        sleep 0.05
    done
}

# expect_usage_error WHAT: exit 64; on stderr the reason and one usage line.
expect_usage_error() {
    [ "$status" -eq 64 ] || fail "$1: exit $status"
    [ "$(wc -l <"$work/flash.err")" -eq 2 ] &&
        tail -1 "$work/flash.err" | grep -q '^usage: zuva-flash .*(--help tells more)$' ||
        fail "$1: not a reason and one usage line: $(cat "$work/flash.err")"
}

expect_summary() { # pattern
    grep -q -- "$1" <<<"$summary" || fail "devsim summary '$summary' lacks '$1'"
}

protected='read-out protected: yes, write-protected sectors: 0x0000FFFF'
unprotected='read-out protected: no, write-protected sectors: 0x00000000'

head -c 65536 /dev/urandom >"$work/fw.bin"

case "$case_name" in
raw-64k)
    sim_flash "" "$work/fw.bin"
    expect_result 0 "Finished OK"
    expect_flash "$work/fw.bin"
    expect_summary "$protected"
    expect_summary "blocks written: 256 "
    ;;
com-name)
    # A COM name maps to a device node; the simulator's --link puts the pty there.
    [ -w /dev ] || { echo "SKIP: /dev not writable"; exit 77; }
    node=/dev/ttyUSB99
    [ -e "$node" ] && { echo "SKIP: $node exists"; exit 77; }
    start_sim --link "$node"
    run_flash --port COM200 "$work/fw.bin"
    wait_sim
    expect_result 0 "Finished OK"
    expect_flash "$work/fw.bin"
    ;;
toolchain-hex)
    command -v arm-none-eabi-as >/dev/null || fail "binutils-arm-none-eabi missing"
    "$source/samples/make-samples.sh" "$work/fw" || fail "sample build failed"
    grep -q '^:02000004' "$work/fw/blink.hex" || fail "no extended address record"
    sim_flash "" "$work/fw/blink.hex"
    expect_result 0 "Finished OK"
    expect_flash "$work/fw/blink.bin"
    expect_summary "$protected"
    ;;
updater)
    { printf 'MZ'; head -c 20000 /dev/urandom; } >"$work/ZuvaFlash.exe"
    "$pack" --exe "$work/ZuvaFlash.exe" --image "$work/fw.bin" \
        --description "Sample firmware 3.1" --output "$work/Update.exe" ||
        fail "zuva-pack failed"
    sim_flash "" --embedded "$work/Update.exe"
    expect_result 0 "Finished OK"
    [ "$(head -1 "$work/flash.out")" = "Image: Sample firmware 3.1" ] || fail "no description"
    expect_flash "$work/fw.bin"
    expect_summary "$protected"
    ;;
failure-classes)
    # devsim fault -> exit status and text; the device stays unprotected where it failed
    # before the protection.
    while IFS='|' read -r opts want text; do
        sim_flash "$opts" "$work/fw.bin"
        echo "$opts -> $status $last"
        expect_result "$want" "$text"
        if [ "$want" -ne 9 ]; then expect_summary "read-out protected: no"; fi
    done <<'EOF'
--nack sync|8|Zuva not present
--pid 0x420|8|Zuva not present
--nack readout-unprotect:2|10|Can't unprotect device
--nack write-unprotect|10|Can't unprotect device
--nack erase:2|11|Can't erase device
--nack write@3:3|4|Communication error
--die-in-block 5|4|Communication error
--nack write-protect:2|9|Can't protect device
--nack readout-protect|9|Can't protect device
--extra-ack write@1:3 --nack write@2:3|4|Communication error
--extra-ack write@1:3 --nack write@2:3 --readout-protected|4|Communication error
--die-after-bytes 1|1|Can't open port
EOF
    ;;
auto-port)
    # Without --port the one port found is used; with two it is a usage error. The list
    # names ports by device path, also as JSON, one object per port.
    [ -w /dev ] || { echo "SKIP: /dev not writable"; exit 77; }
    node=/dev/ttyUSB98 # COM199 under the COM rule
    [ -e "$node" ] && { echo "SKIP: $node exists"; exit 77; }
    sys=$work/sys
    add_port() { # tty name: a USB serial port in a fake sysfs tree
        mkdir -p "$sys/class/tty/$1" "$sys/devices/usb1/1-1/$1"
        ln -s "$sys/devices/usb1/1-1/$1" "$sys/class/tty/$1/device"
    }
    add_port ttyUSB98
    mkdir -p "$work/dev/serial/by-id"
    ln -s ../../ttyUSB98 "$work/dev/serial/by-id/usb-Zuva_Board_42-if00"
    export ZUVA_SYSFS_ROOT=$sys ZUVA_DEV_ROOT=$work/dev
    run_flash --list-ports
    [ "$status" -eq 0 ] &&
        [ "$(cat "$work/flash.out")" = "$node	Serial port		$work/dev/serial/by-id/usb-Zuva_Board_42-if00" ] ||
        fail "--list-ports: $(cat -A "$work/flash.out")"
    start_sim --link "$node"
    run_flash "$work/fw.bin"
    wait_sim
    expect_result 0 "Finished OK"
    expect_flash "$work/fw.bin"
    grep -q "^zuva-flash: using $node (Serial port)\$" "$work/flash.err" || fail "port not named"
    add_port ttyUSB97
    run_flash "$work/fw.bin"
    [ "$status" -eq 64 ] || fail "two ports gave exit $status"
    grep -q '2 serial ports found' "$work/flash.err" || fail "no reason given"
    run_flash --list-ports --json
    python3 - "$work/flash.out" "$work/dev" <<'PY' || fail "--list-ports --json: $(cat "$work/flash.out")"
import json, sys
ports = [json.loads(line) for line in open(sys.argv[1])]
assert [p["port"] for p in ports] == ["/dev/ttyUSB97", "/dev/ttyUSB98"], ports
assert ports[1]["stable_name"] == sys.argv[2] + "/serial/by-id/usb-Zuva_Board_42-if00", ports
assert ports[0]["stable_name"] is None and ports[0]["description"] == "Serial port", ports
PY
    ;;
progress-bar)
    # On a terminal stderr carries the bar; on a file nothing but the result is written.
    command -v script >/dev/null || fail "script (bsdutils) missing"
    start_sim
    script -qec "$flash --port $pty $work/fw.bin" /dev/null >"$work/tty.out" </dev/null
    wait_sim
    tr '\r' '\n' <"$work/tty.out" | grep -q '^\[#*\] 100%  65536/65536 B .* left' ||
        fail "no full bar on the terminal: $(tail -c 300 "$work/tty.out")"
    grep -q 'Finished OK' "$work/tty.out" || fail "no result on the terminal"
    sim_flash "" "$work/fw.bin"
    expect_result 0 "Finished OK"
    ! grep -q $'\r\|\[' "$work/flash.err" || fail "bar drawn on a file: $(cat "$work/flash.err")"
    grep -q '^zuva-flash: STM32F10x medium-density (product ID 0x410): 65536 bytes written in' \
        "$work/flash.err" || fail "no summary of the run on stderr"
    [ "$(wc -l <"$work/flash.out")" -eq 1 ] || fail "stdout has more than the result"
    ;;
local-failures)
    run_flash --port "$work/no-such-port" "$work/fw.bin"
    expect_result 1 "Can't open port"
    sim_flash "" "$work/missing.bin"
    expect_result 2 "Can't open file"
    cp "$work/fw.bin" "$work/fw.Bin"
    run_flash --port "$work/no-such-port" "$work/fw.Bin"
    expect_result 3 "Invalid file format"
    run_flash --version
    expect_result 0 "zuva-flash 1.1"
    # An updater that carries no image, or none at all: nothing is opened on the port.
    cp "$work/fw.bin" "$work/Plain.exe"
    run_flash --port "$work/no-such-port" --embedded "$work/Plain.exe"
    expect_result 2 "Can't open file"
    grep -q 'carries no image' "$work/flash.err" || fail "no reason for the plain executable"
    run_flash --port "$work/no-such-port" --embedded "$work/Missing.exe"
    expect_result 2 "Can't open file"
    run_flash --port "$work/no-such-port" "$work/fw.bin" "$work/fw.bin"
    expect_usage_error "two images"
    ;;
raw-sizes)
    # Sizes that are not whole blocks: the tail is written too, padded to a word, and the
    # device (real-chip write rules) never sees an unaligned write.
    for size in 100 300 1001 4096; do
        head -c $size /dev/urandom >"$work/fw$size.bin"
        sim_flash "" "$work/fw$size.bin"
        expect_result 0 "Finished OK"
        expect_flash "$work/fw$size.bin"
        expect_summary "$protected"
        expect_summary "unaligned writes: 0,"
    done
    ;;
toolchain-formats)
    # One build as ELF (placed by its load addresses: .data behind .text, .bss not at all),
    # and as objcopy's binary, HEX and S-records: the same plan, the same FLASH.
    command -v arm-none-eabi-as >/dev/null || fail "binutils-arm-none-eabi missing"
    cat >"$work/fw.s" <<'ASM'
    .syntax unified
    .thumb
    .section .vectors, "a"
    .word _stack_top, reset + 1
    .text
    .thumb_func
reset:
    ldr r0, =counter
    ldr r1, [r0]
    adds r1, #1
    str r1, [r0]
    b reset
    .section .data, "aw"
counter:
    .word 0x11223344, 0x55667788
    .ascii "initialised data"
    .section .bss, "aw", %nobits
    .space 512
ASM
    cat >"$work/fw.ld" <<'LD'
MEMORY { FLASH (rx) : ORIGIN = 0x08000000, LENGTH = 64K
         RAM (rwx) : ORIGIN = 0x20000000, LENGTH = 20K }
SECTIONS {
    .text : { KEEP(*(.vectors)) *(.text*) } > FLASH
    .data : { *(.data*) } > RAM AT> FLASH
    .bss : { *(.bss*) } > RAM
    _stack_top = ORIGIN(RAM) + LENGTH(RAM);
}
LD
    (cd "$work" && arm-none-eabi-as -mthumb fw.s -o fw.o && arm-none-eabi-ld -T fw.ld fw.o -o fw.elf &&
        arm-none-eabi-objcopy -O binary fw.elf fw.bin && arm-none-eabi-objcopy -O ihex fw.elf fw.hex &&
        arm-none-eabi-objcopy -O srec fw.elf fw.srec) || fail "toolchain could not build the sample"
    grep -q 'initialised data' "$work/fw.bin" || fail "objcopy left out .data"
    for f in fw.elf fw.bin fw.hex fw.srec; do
        run_flash --dry-run --json "$work/$f"
        plan=$(python3 -c 'import json,sys; print(json.loads(open(sys.argv[1]).read())["message"])' \
            "$work/flash.out")
        echo "$f: $plan"
        [ "$plan" = "$(cat "$work/plan.txt" 2>/dev/null || echo "$plan")" ] || fail "$f: plan differs"
        echo "$plan" >"$work/plan.txt"
        sim_flash "" "$work/$f"
        expect_result 0 "Finished OK"
        expect_flash "$work/fw.bin"
    done
    grep -q "^Image OK: $(stat -c %s "$work/fw.bin") bytes in 1 blocks, 0x08000000.." "$work/plan.txt" ||
        fail "plan: $(cat "$work/plan.txt")"
    ;;
srec-hex)
    # HEX from another tool: 7- and 13-byte records at odd addresses, data records in
    # shuffled order, CR LF line ends. The expected image is made by the same tool.
    command -v srec_cat >/dev/null || fail "srec_cat (srecord) missing"
    head -c 1500 /dev/urandom >"$work/a.bin"
    head -c 777 /dev/urandom >"$work/b.bin"
    srec_cat "$work/a.bin" -binary -offset 0x08000003 -o "$work/a.hex" -intel -obs=7 &&
        srec_cat "$work/b.bin" -binary -offset 0x08000A01 -o "$work/b.hex" -intel -obs=13 &&
        srec_cat '(' "$work/a.hex" -intel "$work/b.hex" -intel ')' -offset -0x08000000 \
            -fill 0xFF 0 0xD0A -o "$work/expected.bin" -binary || fail "srec_cat failed"
    { head -1 "$work/a.hex"
      grep -h '^:......00' "$work/a.hex" "$work/b.hex" | shuf
      echo ':00000001FF'; } | sed 's/$/\r/' >"$work/mixed.hex"
    sim_flash "" "$work/mixed.hex"
    expect_result 0 "Finished OK"
    expect_flash "$work/expected.bin"
    expect_summary "unaligned writes: 0,"
    ;;
refused-files)
    # Each is refused before the port is opened, and nothing blocks or loops.
    mkfifo "$work/fifo.hex"
    mkdir "$work/dir.bin"
    ln -s /dev/zero "$work/zero.hex"
    : >"$work/empty.bin"
    printf '\xEF\xBB\xBFjust text\n' >"$work/text.hex"
    printf ':020000040800F2\n:0400000001020304F3\n' >"$work/damaged.hex"
    printf ':0400000001020304F2\n:00000001FF\n' >"$work/low.hex"
    printf ':020000042000DA\n:0400000001020304F2\n:00000001FF\n' >"$work/ram.hex"
    printf ':020000040800F2\n:0400000001020304F2 \n:00000001FF\n' >"$work/trailing.hex"
    printf ':020000021000EC\n:0400000001020304F2\n:00000001FF\n' >"$work/segment.hex"
    printf ':020000040800F2\n:00000001FF\n:0400000001020304F2\n:00000001FF\n' >"$work/joined.hex"
    printf ':020000040800F2\n:0400000001020304F2\n' >"$work/cut.hex"
    printf ':020000040800F2\n:0400000001020304F2\n:040002001122334450\n:00000001FF\n' >"$work/overlap.hex"
    printf 'S1050000AABB00\nS9030000FC\n' >"$work/damaged.srec"
    printf 'S30708000000AABB8B\nS30708000000AABB8B\nS5030001FB\nS9030000FC\n' >"$work/count.s19"
    { printf 'MZ\220\0'; head -c 2000 /dev/zero; } >"$work/Updater.exe"
    { printf '\177ELF\1\1\1'; head -c 2000 /dev/zero; } >"$work/firmware.bin"
    printf '\177ELF\2\1\1' >"$work/wide.elf"
    cp "$work/fw.bin" "$work/mixed.Bin"
    start_server
    while IFS='|' read -r file want text why; do
        timeout 10 "$flash" --port "$pty" "$work/$file" >"$work/flash.out" 2>"$work/flash.err"
        status=$?
        last=$(tail -1 "$work/flash.out")
        echo "$file -> $status $last"
        expect_result "$want" "$text"
        grep -qF "$why" "$work/flash.err" || fail "$file: $(cat "$work/flash.err")"
    done <<'EOF'
fifo.hex|2|Can't open file|is not a regular file
dir.bin|2|Can't open file|is not a regular file
zero.hex|2|Can't open file|is not a regular file
empty.bin|3|Invalid file format|holds no data
text.hex|3|Invalid file format|line 1: not a record
damaged.hex|3|Invalid file format|damaged.hex, line 2: bad checksum
low.hex|3|Invalid file format|line 1: data at 0x00000000 lies outside FLASH
ram.hex|3|Invalid file format|line 2: data at 0x20000000 lies outside FLASH
trailing.hex|3|Invalid file format|line 2: characters after the checksum
segment.hex|3|Invalid file format|line 1: segment address record
joined.hex|3|Invalid file format|line 3: record after the end-of-file record
cut.hex|3|Invalid file format|line 3: no end-of-file record
mixed.Bin|3|Invalid file format|the extension names no image format
overlap.hex|3|Invalid file format|overlap.hex, lines 2 and 3: both give 0x08000002, with different values
damaged.srec|3|Invalid file format|damaged.srec, line 1: bad checksum. Nothing was written; mend or rebuild the S-record file
count.s19|3|Invalid file format|count.s19, line 3: record count (S5 or S6) differs
Updater.exe|3|Invalid file format|Updater.exe is a Windows program, not a firmware image; nothing was written. To program the image an updater carries, run the updater itself or give it to zuva-flash with --embedded.
firmware.bin|3|Invalid file format|firmware.bin is an ELF file, not a raw image
wide.elf|3|Invalid file format|wide.elf: not a 32-bit ELF file
EOF
    stop_server
    expect_summary "syncs: 0,"
    ! grep -q 'H>D' "$work/transcript.txt" || fail "bytes were sent"
    ;;
chip-bounds)
    # The answering chip's row decides: an image beyond its family's FLASH leaves the old
    # firmware and the protection; the whole family only on request; 700 KiB on XL.
    head -c 8192 /dev/urandom >"$work/old.bin"
    head -c $((33 * 1024)) /dev/urandom >"$work/fw33k.bin"
    head -c $((700 * 1024)) /dev/urandom >"$work/fw700k.bin"
    old="--flash-in $work/old.bin --readout-protected --write-protected 0-15"
    sim_flash "--density low $old" "$work/fw33k.bin"
    expect_result 3 "Invalid file format"
    expect_summary "$protected"
    expect_summary "erases: 0 global"
    expect_flash "$work/old.bin"
    grep -q 'The image takes 33792 bytes of FLASH from 0x08000000, but an STM32F10x low-density (product ID 0x412) has at most 32768' \
        "$work/flash.err" || fail "no sizes on stderr: $(cat "$work/flash.err")"
    # The chip's own size register: 100 KiB for a 64 KiB medium-density chip is refused
    # before anything changes, both sizes named.
    head -c $((100 * 1024)) /dev/urandom >"$work/fw100k.bin"
    sim_flash "--flash-size 64K --flash-in $work/old.bin" "$work/fw100k.bin"
    expect_result 3 "Invalid file format"
    expect_summary "$unprotected"
    expect_summary "erases: 0 global"
    expect_flash "$work/old.bin"
    grep -q 'The image takes 102400 bytes of FLASH from 0x08000000, but this STM32F10x medium-density (product ID 0x410) has 64 KiB (65536 bytes)' \
        "$work/flash.err" || fail "no sizes on stderr: $(cat "$work/flash.err")"
    sim_flash "--density xl $old" "$work/fw700k.bin"
    expect_result 8 "Zuva not present"
    expect_summary "$protected"
    expect_flash "$work/old.bin"
    sim_flash "--density xl $old" --any-f10x "$work/fw700k.bin"
    expect_result 0 "Finished OK"
    expect_flash "$work/fw700k.bin"
    expect_summary "$protected"
    # The slowest rate completes: a block takes 2.4 s on the wire at 1200 baud.
    head -c 1024 "$work/fw.bin" >"$work/fw1k.bin"
    sim_flash "--timing" --baud 1200 "$work/fw1k.bin"
    expect_result 0 "Finished OK"
    expect_flash "$work/fw1k.bin"
    ;;
updater-tail)
    # An updater whose description is longer than a block: only the image reaches FLASH,
    # also when the updater is renamed to .hex.
    head -c 1001 /dev/urandom >"$work/small.bin"
    { printf 'MZ'; head -c 20000 /dev/urandom; } >"$work/ZuvaFlash.exe"
    "$pack" --exe "$work/ZuvaFlash.exe" --image "$work/small.bin" --description "x" \
        --output "$work/Update.exe" || fail "zuva-pack failed"
    size=$(stat -c %s "$work/Update.exe")
    { head -c $((size - 14)) "$work/Update.exe"
      printf '%0300d\0' 0
      tail -c 12 "$work/Update.exe"; } >"$work/Long.exe"
    cp "$work/Long.exe" "$work/Long.hex"
    for file in Long.exe Long.hex; do
        sim_flash "" --embedded "$work/$file"
        expect_result 0 "Finished OK"
        expect_flash "$work/small.bin"
        expect_summary "blocks written: 4 "
    done
    ;;
ctrl-c)
    # Ctrl-C in the block loop: exit 130, never "Finished OK", device left unprotected.
    start_sim --timing
    flash_until_block 20 "$flash" --port "$pty" "$work/fw.bin"
    interrupt_flash
    wait_sim
    expect_result 130 "Interrupted"
    expect_summary "$unprotected"
    blocks=$(sed -E 's/.*blocks written: ([0-9]+).*/\1/' <<<"$summary")
    # Block 20 had begun when the signal was sent; it may or may not have been finished.
    [ "$blocks" -ge 19 ] && [ "$blocks" -lt 256 ] || fail "$blocks blocks written"
    # The run stopped at once: the abort ends it in the ACK wait of the block in flight,
    # or at the next progress report, where only the write protect command is tried.
    [ "$took_ms" -lt 1000 ] || fail "the run took $took_ms ms to stop"
    last_sent=$(grep 'H>D' "$work/transcript.txt" | tail -1)
    grep -qE 'Write Protect|Write Memory|address|data bytes' <<<"$last_sent" ||
        fail "last frame: $last_sent"
    ! grep -q 'Readout Protect' "$work/transcript.txt" || fail "read-out protection sent"
    grep -q 'interrupted; the device is left unprotected' "$work/flash.err" ||
        fail "no word on the device: $(cat "$work/flash.err")"
    # Before anything on the chip changed (a silent line) the stop says so instead.
    start_sim --silent sync
    "$flash" --port "$pty" "$work/fw.bin" >"$work/flash.out" 2>"$work/flash.err" &
    flash_pid=$!
    sleep 0.5
    interrupt_flash
    wait_sim
    expect_result 130 "Interrupted"
    grep -q 'interrupted; nothing on the device was changed' "$work/flash.err" ||
        fail "a silent line: $(cat "$work/flash.err")"
    ;;
bench-options)
    # --no-protect leaves both protections off; with --go the firmware starts at the base.
    sim_flash "" --no-protect "$work/fw.bin"
    expect_result 0 "Finished OK"
    expect_flash "$work/fw.bin"
    expect_summary "$unprotected"
    sim_flash "" --no-protect --go "$work/fw.bin"
    expect_result 0 "Finished OK"
    expect_summary "$unprotected"
    grep -A3 'Go #1' "$work/transcript.txt" | grep -q 'address 0x08000000' || fail "no Go to the base"
    grep -q 'jumped to user code' "$work/transcript.txt" || fail "the firmware was not started"
    # --baud 57600: the device sees the whole conversation at that rate.
    sim_flash "--timing" --baud 57600 "$work/fw.bin"
    expect_result 0 "Finished OK"
    expect_flash "$work/fw.bin"
    [ "$(grep -c 'line now' "$work/transcript.txt")" -eq 1 ] &&
        head -1 "$work/transcript.txt" | grep -q 'line now 57600 baud' ||
        fail "not all at 57600: $(grep 'line now' "$work/transcript.txt")"
    ;;
read-back)
    # A chip read back as .bin, .hex and .srec (the last two turned into bytes by objcopy),
    # then erased and written again from the .bin: the same FLASH, byte for byte.
    command -v arm-none-eabi-objcopy >/dev/null || { echo "SKIP: no arm-none-eabi-objcopy"; exit 77; }
    start_server --flash-size 64K --uid 0123456789abcdef01234567
    run_flash --port "$pty" --no-protect --json "$work/fw.bin"
    grep -q '"uid":"0123456789abcdef01234567","flash_kib":64' "$work/flash.out" ||
        fail "no size or ID in the JSON: $last"
    for format in bin hex srec; do
        run_flash --port "$pty" --read "$work/back.$format"
        expect_result 0 "Finished OK"
    done
    grep -q "65536 bytes read from 0x08000000 into $work/back.srec" "$work/flash.err" ||
        fail "no figures: $(cat "$work/flash.err")"
    arm-none-eabi-objcopy -I ihex -O binary "$work/back.hex" "$work/hex.bin" &&
        arm-none-eabi-objcopy -I srec -O binary "$work/back.srec" "$work/srec.bin" ||
        fail "objcopy did not take the files"
    for file in back.bin hex.bin srec.bin; do
        cmp "$work/fw.bin" "$work/$file" || fail "$file differs from the image"
    done
    run_flash --port "$pty" --erase
    expect_result 0 "Finished OK"
    run_flash --port "$pty" --read "$work/blank.bin"
    tr -d '\377' <"$work/blank.bin" | cmp -s - /dev/null || fail "--erase left bytes"
    run_flash --port "$pty" --no-protect "$work/back.bin"
    expect_result 0 "Finished OK"
    stop_server
    expect_flash "$work/fw.bin"
    ! grep -q 'Write Memory' <(sed -n '/Erase #2$/,/Erase #3$/p' "$work/transcript.txt") ||
        fail "--erase wrote"
    ;;
read-refused)
    # A file that cannot be written is refused before the port is opened (class 2, with the
    # system's reason); a read-out protected chip gives class 13 and no file.
    start_server --readout-protected
    mkdir "$work/folder.bin"
    for target in "$work/folder.bin:Is a directory" "/dev/null:not a regular file" \
        "$work/missing/x.bin:No such file or directory"; do
        run_flash --port "$pty" --read "${target%%:*}"
        expect_result 2 "Can't open file"
        grep -q "cannot write ${target%%:*}: ${target#*:}" "$work/flash.err" ||
            fail "no reason: $(cat "$work/flash.err")"
    done
    run_flash --port "$pty" --read "$work/chip.elf"
    expect_usage_error "--read chip.elf"
    run_flash --port "$pty" --read "$pty"
    expect_usage_error "--read onto the port"
    ! grep -q 'H>D' "$work/transcript.txt" || fail "the port was used"
    run_flash --port "$pty" --read "$work/chip.hex"
    expect_result 13 "Read-out protected"
    grep -q "read-out protected.*erases all of its FLASH" "$work/flash.err" ||
        fail "no cause: $(cat "$work/flash.err")"
    [ -z "$(ls "$work" | grep chip)" ] || fail "a file was left: $(ls "$work")"
    stop_server
    expect_summary 'read-out protected: yes'
    # Ctrl-C halfway through a read: "Interrupted", and no file, not even in part.
    start_server --timing
    "$flash" --port "$pty" --read "$work/half.bin" >"$work/flash.out" 2>"$work/flash.err" &
    flash_pid=$!
    for _ in $(seq 300); do
        grep -q 'Read Memory #40$' "$work/transcript.txt" 2>/dev/null && break
        sleep 0.05
    done
    interrupt_flash
    expect_result 130 "Interrupted"
    [ -z "$(ls "$work" | grep half)" ] || fail "a file was left: $(ls "$work")"
    stop_server
    ;;
usage-sends-nothing)
    # Bad values and --go alone are usage errors (64), and not one byte reaches the device.
    start_server
    for args in "--go" "--go --boot boot0=rts" "--baud 14400" "--baud fast" "--boot boot0=cts" \
        "--boot reset=!dtr,boot0=dtr" "--verify --baud" "--baud 9600 --baud 9600"; do
        run_flash --port "$pty" $args "$work/fw.bin"
        expect_usage_error "'$args'"
    done
    stop_server
    ! grep -q 'H>D' "$work/transcript.txt" || fail "bytes were sent: $(head -3 "$work/transcript.txt")"
    ;;
recovery)
    # Straight after Ctrl-C, and straight after a failed run, the next run succeeds on the
    # same device, which no reset put back at the start (no --reset-on-close).
    start_server --timing --nack write@300:3
    flash_until_block 20 "$flash" --port "$pty" "$work/fw.bin"
    kill -INT $flash_pid
    wait $flash_pid
    [ $? -eq 130 ] || fail "Ctrl-C was not seen"
    ! grep -q 'Write Protect' "$work/transcript.txt" || fail "something was sent after Ctrl-C"
    run_flash --port "$pty" "$work/fw.bin"
    expect_result 0 "Finished OK"
    run_flash --port "$pty" "$work/fw.bin" # meets the NACK at Write Memory 300
    expect_result 4 "Communication error"
    run_flash --port "$pty" "$work/fw.bin"
    expect_result 0 "Finished OK"
    stop_server
    expect_flash "$work/fw.bin"
    expect_summary "$protected"
    ;;
verify)
    # A chip that acknowledges a write and drops it: exit 12, the address on stderr, the
    # chip left unprotected. A good run with --verify ends protected.
    sim_flash "--drop-write 7" --verify "$work/fw.bin"
    expect_result 12 "Verify failed"
    expect_summary "$unprotected"
    want=$(od -An -tx1 -j $((6 * 256)) -N1 "$work/fw.bin" | tr -d ' ' | tr a-f A-F)
    grep -q "Verify failed at 0x08000600: the image holds 0x$want, the chip 0xFF" "$work/flash.err" ||
        fail "no address on stderr: $(cat "$work/flash.err")"
    sim_flash "" --verify "$work/fw.bin"
    expect_result 0 "Finished OK"
    expect_flash "$work/fw.bin"
    expect_summary "$protected"
    [ "$(grep -c 'Read Memory #' "$work/transcript.txt")" -eq 257 ] || fail "not every block read back" # and the registers
    # The read-back has its own bar on a terminal.
    command -v script >/dev/null || fail "script (bsdutils) missing"
    start_sim
    script -qec "$flash --port $pty --verify $work/fw.bin" /dev/null >"$work/tty.out" </dev/null
    wait_sim
    tr '\r' '\n' <"$work/tty.out" | grep -q '^verify \[#*\] 100%' || fail "no verify bar"
    ;;
dry-run)
    # The plan is printed and nothing opened; the status says whether a run takes the file.
    head -c 1000 /dev/urandom >"$work/odd.bin"
    run_flash --dry-run "$work/odd.bin"
    expect_result 0 "Image OK: 1000 bytes in 4 blocks, 0x08000000..0x080003E7"
    [ "$(wc -l <"$work/flash.out")" -eq 1 ] || fail "more than the result line: $(cat "$work/flash.out")"
    printf ':0400000001020304F3\n' >"$work/bad.hex"
    run_flash --dry-run "$work/bad.hex"
    expect_result 3 "Invalid file format"
    # --json: one object, its detail the message on stderr, port null.
    json_is() { # FIELD=VALUE...
        python3 -c 'import json,sys; o=json.loads(open(sys.argv[1]).read())
for pair in sys.argv[2:]:
    k, v = pair.split("=", 1)
    assert str(o[k]) == v, (k, o[k])' "$work/flash.out" "$@" || fail "JSON: $(cat "$work/flash.out")"
    }
    run_flash --dry-run --json "$work/odd.bin"
    json_is result=0 "message=Image OK: 1000 bytes in 4 blocks, 0x08000000..0x080003E7" port=None
    # A file the plan refuses: its line and what is wrong, on stderr and as the detail.
    run_flash --dry-run --json "$work/bad.hex"
    grep -qF "bad.hex, line 1: " "$work/flash.err" || fail "bad.hex: $(cat "$work/flash.err")"
    json_is result=3 "detail=$(sed 's/^zuva-flash: //' "$work/flash.err")"
    # Files refused before any port is chosen: stderr names the file and the reason, and
    # the same text is the JSON detail.
    printf 'text' >"$work/notes.txt"
    { printf 'MZ\220\0'; head -c 300 /dev/zero; } >"$work/Updater.exe"
    { printf '\177ELF\1\1\1'; head -c 300 /dev/zero; } >"$work/fw-elf.bin"
    while IFS='|' read -r file status text reason; do
        run_flash --dry-run "$work/$file"
        expect_result "$status" "$text"
        grep -qF "zuva-flash: $reason" "$work/flash.err" || fail "$file: $(cat "$work/flash.err")"
        run_flash --dry-run --json "$work/$file"
        json_is result="$status" "message=$text" "detail=$(sed 's/^zuva-flash: //' "$work/flash.err")"
        run_flash --port "$work/no-such-port" "$work/$file"
        expect_result "$status" "$text"
    done <<EOF
missing.bin|2|Can't open file|cannot open $work/missing.bin: No such file or directory; check the name
notes.txt|3|Invalid file format|$work/notes.txt: the extension names no image format
.|2|Can't open file|$work/. is not a regular file
Updater.exe|3|Invalid file format|$work/Updater.exe is a Windows program, not a firmware image
fw-elf.bin|3|Invalid file format|$work/fw-elf.bin is an ELF file, not a raw image
EOF
    ;;
quiet-verbose)
    # -q: the result line alone, and nothing on stderr after a success; a failure still
    # says why. -v: every protocol step in order, each with its time.
    sim_flash "" -q "$work/fw.bin"
    expect_result 0 "Finished OK"
    [ "$(wc -l <"$work/flash.out")" -eq 1 ] && [ ! -s "$work/flash.err" ] ||
        fail "-q printed more: $(cat "$work/flash.out" "$work/flash.err")"
    sim_flash "--silent sync" -q "$work/fw.bin"
    expect_result 8 "Zuva not present"
    grep -qi 'no answer from a bootloader' "$work/flash.err" || fail "-q hid the reason"
    sim_flash "" -v --verify "$work/fw.bin"
    expect_result 0 "Finished OK"
    sed -n 's/^zuva-flash: step  *[0-9.]* s  \(.*[^ ]\)  *(0x..)  *[0-9.]* ms$/\1/p' \
        "$work/flash.err" | uniq >"$work/steps"
    printf '%s\n' Sync "Get ID" "Read Memory" "Readout Unprotect" Sync "Write Unprotect" Sync Erase \
        "Write Memory" "Read Memory" "Write Protect" Sync "Readout Protect" |
        diff - "$work/steps" || fail "steps: $(cat "$work/flash.err")"
    ;;
messages)
    # stderr names the cause: the system's text for a port, a silent line, a foreign chip.
    run_flash --port "$work/no-such-port" "$work/fw.bin"
    expect_result 1 "Can't open port"
    grep -q "Cannot open $work/no-such-port: No such file or directory. Check that the adapter" \
        "$work/flash.err" || fail "no cause for a missing port: $(cat "$work/flash.err")"
    sim_flash "--silent sync" "$work/fw.bin"
    expect_result 8 "Zuva not present"
    grep -q "No answer from a bootloader on $pty. Set BOOT0 high and reset the board" \
        "$work/flash.err" || fail "silent line: $(cat "$work/flash.err")"
    sim_flash "--pid 0x413" "$work/fw.bin"
    expect_result 8 "Zuva not present"
    grep -q 'Product ID 0x413 is not an STM32F10x' "$work/flash.err" ||
        fail "foreign chip: $(cat "$work/flash.err")"
    # An updater's advice names no option it cannot take.
    { printf 'MZ'; head -c 2000 /dev/urandom; } >"$work/ZuvaFlash.exe"
    "$pack" --exe "$work/ZuvaFlash.exe" --image "$work/fw.bin" --description "fw" \
        --output "$work/Update.exe" >/dev/null || fail "zuva-pack failed"
    sim_flash "--density connectivity" --any-f10x --embedded "$work/Update.exe"
    expect_result 8 "Zuva not present"
    grep -q 'connectivity line. An updater programs only low-, medium- and high-density' \
        "$work/flash.err" && ! grep -q -e '--any-f10x' "$work/flash.err" ||
        fail "updater on a connectivity line: $(cat "$work/flash.err")"
    # A path longer than the system takes keeps the reason behind it.
    run_flash --dry-run "$work/$(printf 'd%.0s' $(seq 5000)).bin"
    expect_result 2 "Can't open file"
    grep -q ': File name too long$' "$work/flash.err" || fail "long path: $(tail -c 200 "$work/flash.err")"
    # The line hung up mid-run (the pty closed): the stage's class, the port's cause.
    sim_flash "--die-in-block 3" "$work/fw.bin"
    expect_result 4 "Communication error"
    grep -q "The connection to $pty was lost during the block at 0x08000200: Input/output error" \
        "$work/flash.err" || fail "hung-up line: $(cat "$work/flash.err")"
    ;;
port-errors)
    # One line each: the port, the system's reason, the next step that fits the reason.
    # The permission rows run zuva-flash as nobody, which only root can arrange.
    start_server
    chmod 755 "$work"
    chgrp dialout "$pty" && chmod 660 "$pty"
    while IFS='|' read -r how port line; do
        runner=()
        [ "$(id -u)" -ne 0 ] && [ "$how" != plain ] && [ "$how" != busy ] && continue
        case $how in
        busy) flock "$port" sleep 1 & ;;
        group) runner=(setpriv --reuid=nobody --regid=nogroup --clear-groups) ;;
        owner-only)
            chgrp root "$port" && chmod 600 "$port"
            runner=(setpriv --reuid=nobody --regid=nogroup --clear-groups)
            ;;
        esac
        [ "$how" = busy ] && sleep 0.2
        "${runner[@]}" "$flash" --port "$port" "$work/fw.bin" >"$work/flash.out" 2>"$work/flash.err"
        status=$? last=$(tail -1 "$work/flash.out")
        [ "$how" = busy ] && wait $!
        echo "$port ($how) -> $status: $(cat "$work/flash.err")"
        expect_result 1 "Can't open port"
        [ "$(wc -l <"$work/flash.err")" -eq 1 ] || fail "$port: not one line"
        grep -qF -- "zuva-flash: Cannot open $port: $line" "$work/flash.err" || fail "$port ($how)"
    done <<EOF
plain|$work/no-such-port|No such file or directory. Check that the adapter is plugged in and that the name is right
plain|$work/fw.bin|not a serial port. Give the device of a serial port
plain|/dev/null|not a serial port. Give the device of a serial port
busy|$pty|Device or resource busy. Another program holds the port
group|$pty|Permission denied. $pty belongs to root, group dialout (mode 660): add yourself to dialout (sudo usermod -aG dialout \$USER)
owner-only|$pty|Permission denied. $pty belongs to root, group root (mode 600), and only root may use it
EOF
    stop_server
    ;;
talking-board)
    # BOOT0 low and the board's own firmware printing a line every 50 ms: the sync gives
    # up in bounded time (8, with the BOOT0 advice), however the bytes keep coming.
    python3 -c 'import os, select, time, tty
master, slave = os.openpty()
tty.setraw(slave)
print(os.ttyname(slave), flush=True)
for n in range(2400):
    os.write(master, b"tick %d: LED on\r\n" % n)
    while select.select([master], [], [], 0)[0]:
        os.read(master, 4096)
    time.sleep(0.05)' >"$work/talker.out" &
    running_sims[$!]=1
    for _ in $(seq 100); do [ -s "$work/talker.out" ] && break; sleep 0.05; done
    start=$(date +%s%N)
    timeout 60 "$flash" -v --port "$(head -1 "$work/talker.out")" "$work/fw.bin" \
        >"$work/flash.out" 2>"$work/flash.err"
    status=$? last=$(tail -1 "$work/flash.out")
    echo "exit $status in $((($(date +%s%N) - start) / 1000000)) ms"
    expect_result 8 "Zuva not present"
    grep -q 'No answer from a bootloader on .*Set BOOT0 high' "$work/flash.err" || fail "advice"
    grep -q 'nobody asked for, discarded: 74 69 63 6B' "$work/flash.err" || fail "-v hid the chatter"
    ;;
fd-leaks)
    # Every descriptor the run opened is closed again, on success and on failure.
    command -v valgrind >/dev/null || fail "valgrind missing"
    # A sanitizer runtime cannot run under valgrind: that lane leaves this case out.
    if ldd "$flash" | grep -q libasan; then
        echo "SKIP: sanitizer build"
        exit 77
    fi
    # Descriptors still open at exit are listed; only inherited ones may remain.
    fds_closed() { # WHEN
        grep -q 'FILE DESCRIPTORS:' "$work/vg.txt" || fail "no descriptor report $1"
        [ "$(grep -c 'Open file descriptor' "$work/vg.txt")" -eq \
            "$(grep -c 'inherited from parent' "$work/vg.txt")" ] ||
            { cat "$work/vg.txt"; fail "descriptors left open $1"; }
    }
    head -c 2048 /dev/urandom >"$work/small.bin"
    while IFS='|' read -r opts text; do
        start_sim $opts
        valgrind -q --track-fds=yes --log-file="$work/vg.txt" \
            "$flash" --port "$pty" "$work/small.bin" >"$work/flash.out" 2>"$work/flash.err"
        wait_sim
        [ "$(tail -1 "$work/flash.out")" = "$text" ] || fail "'$opts' did not end in '$text'"
        fds_closed "with '$opts'"
    done <<'EOF'
|Finished OK
--nack write@2:3|Communication error
--nack sync|Zuva not present
EOF
    # And after Ctrl-C in the block loop.
    start_sim --timing
    flash_until_block 3 valgrind -q --track-fds=yes --log-file="$work/vg.txt" \
        "$flash" --port "$pty" "$work/fw.bin"
    kill -INT $flash_pid
    wait $flash_pid
    wait_sim
    [ "$(tail -1 "$work/flash.out")" = Interrupted ] || fail "Ctrl-C under valgrind not seen"
    fds_closed "after Ctrl-C"
    ;;
stop-signals)
    # SIGTERM and SIGHUP stop a run as Ctrl-C does: "Interrupted", 130, the device
    # unprotected, and the port released at once (no exclusive mark left on the pty).
    head -c 4096 /dev/urandom >"$work/small.bin"
    for sig in TERM HUP; do
        start_server --timing --reset-on-close
        flash_until_block 5 "$flash" --port "$pty" "$work/small.bin"
        kill -$sig $flash_pid
        wait $flash_pid
        status=$?
        last=$(tail -1 "$work/flash.out")
        expect_result 130 "Interrupted"
        exclusive=$(python3 -c 'import fcntl, os, struct, sys
fd = os.open(sys.argv[1], os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
print(struct.unpack("i", fcntl.ioctl(fd, 0x80045440, bytes(4)))[0])' "$pty") # TIOCGEXCL
        [ "$exclusive" = 0 ] || fail "SIG$sig left the pty exclusive"
        run_flash --port "$pty" "$work/small.bin"
        expect_result 0 "Finished OK"
        stop_server
    done
    ;;
lost-output)
    # The result must reach someone. A reader that goes away mid-run stops the run before
    # the device is protected; a result that cannot be written is an error exit.
    { printf 'MZ'; head -c 2000 /dev/urandom; } >"$work/ZuvaFlash.exe"
    "$pack" --exe "$work/ZuvaFlash.exe" --image "$work/fw.bin" --description "fw" \
        --output "$work/Update.exe" >/dev/null || fail "zuva-pack failed"
    start_sim --timing
    "$flash" --port "$pty" --embedded "$work/Update.exe" 2>"$work/flash.err" | head -c1 >/dev/null
    status=${PIPESTATUS[0]}
    kill -INT $sim # it may have stopped before opening the port
    wait_sim
    [ "$status" -eq 74 ] || fail "closed pipe gave $status"
    grep -q 'stdout cannot take the result (it was closed); the run was stopped' \
        "$work/flash.err" || fail "no word on stderr"
    ! grep -q 'The chip did not' "$work/flash.err" || fail "the chip blamed: $(cat "$work/flash.err")"
    expect_summary "$unprotected"
    start_sim
    "$flash" --port "$pty" "$work/fw.bin" >/dev/full 2>"$work/flash.err"
    status=$?
    wait_sim
    [ "$status" -eq 74 ] || fail "/dev/full gave $status"
    grep -q 'the result was: Finished OK' "$work/flash.err" || fail "result not on stderr"
    # With --json the results go out when the run has ended: the chip finished.
    start_sim
    "$flash" --port "$pty" --json "$work/fw.bin" >/dev/full 2>"$work/flash.err"
    status=$?
    wait_sim
    [ "$status" -eq 74 ] || fail "--json to /dev/full gave $status"
    grep -q "cannot take the results (No space left on device)$" "$work/flash.err" &&
        grep -q "$pty: Finished OK (protected)" "$work/flash.err" ||
        fail "--json to /dev/full: $(cat "$work/flash.err")"
    start_sim
    "$flash" --port "$pty" "$work/fw.bin" >&- 2>"$work/flash.err"
    status=$?
    kill -INT $sim
    wait_sim
    [ "$status" -eq 74 ] || fail "closed stdout gave $status"
    expect_summary "syncs: 0"
    for args in "--version" "--help"; do
        "$flash" $args >/dev/full 2>/dev/null && fail "zuva-flash $args to /dev/full: 0"
    done
    "$pack" --info "$work/Update.exe" >/dev/full 2>"$work/pack.err"
    [ $? -eq 3 ] && grep -q 'cannot write to stdout' "$work/pack.err" || fail "zuva-pack --info"
    ;;
hostile-description)
    # An updater whose description carries terminal escapes: no ESC byte reaches stdout
    # or stderr of any tool, and zuva-pack refuses to make one.
    { printf 'MZ'; head -c 2000 /dev/urandom; } >"$work/ZuvaFlash.exe"
    marker=@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@
    "$pack" --exe "$work/ZuvaFlash.exe" --image "$work/fw.bin" --description "$marker" \
        --output "$work/Update.exe" >/dev/null || fail "zuva-pack failed"
    perl -0777 -pi -e 's/\@{37}/\e]0;owned\a\e[2J\rFinished OK\e[K/' "$work/Update.exe"
    {
        "$flash" --port "$work/no-such-port" --embedded "$work/Update.exe"
        "$pack" --info "$work/Update.exe"
        "$pack" --exe "$work/Update.exe" --image "$work/fw.bin" --description x \
            --output "$work/Again.exe"
        "$pack" --exe "$work/ZuvaFlash.exe" --image "$work/fw.bin" \
            --description $'a\e[2Jb' --output "$work/Again.exe"
    } >"$work/all.out" 2>&1
    ! grep -q $'\e' "$work/all.out" || fail "an escape reached the terminal: $(cat -v "$work/all.out")"
    grep -q '^Image: \\x1b\]0;owned\\x07\\x1b\[2J\\x0dFinished OK' "$work/all.out" ||
        fail "description not shown escaped: $(cat "$work/all.out")"
    [ ! -e "$work/Again.exe" ] || fail "an updater with control characters was made"
    ;;
tty-restored)
    # A terminal given as the port by mistake is left as it was.
    command -v script >/dev/null || fail "script (bsdutils) missing"
    script -qec "stty -g >$work/before; $flash --port /dev/tty $work/fw.bin; stty -g >$work/after" \
        /dev/null </dev/null >"$work/tty.out"
    grep -q "Can't open port" "$work/tty.out" || fail "no port failure: $(cat "$work/tty.out")"
    cmp -s "$work/before" "$work/after" || fail "terminal settings changed"
    ;;
devsim-outputs)
    # zuva-devsim: output files checked at start, a failed write ends it at once.
    "$devsim" --dump "$work/no-dir/dump.bin" >/dev/null 2>"$work/devsim.err"
    [ $? -eq 1 ] && grep -q 'cannot write' "$work/devsim.err" || fail "--dump path not checked"
    sim_launch devsim --once --transcript /dev/full
    run_flash --port "$pty" "$work/fw.bin"
    wait_sim
    [ $? -eq 1 ] || fail "--transcript /dev/full did not fail"
    grep -q 'cannot write the transcript' "$work/devsim.err" || fail "no word on the transcript"
    "$devsim" --nack write@0 2>/dev/null
    [ $? -eq 64 ] || fail "--nack write@0 accepted"
    ;;
*)
    fail "unknown case $case_name"
    ;;
esac
echo "PASS: $case_name"
