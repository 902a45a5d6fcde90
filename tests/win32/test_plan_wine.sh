#!/bin/bash
# zuva-flash.exe under Wine: images that are not whole blocks or whole records reach FLASH
# complete on zuva-devsim's real-chip write rules, and unusable files are refused before
# a byte is sent. One simulator (a fresh pty) per run, on COM14 through dosdevices.
# Usage: test_plan_wine.sh WINE_RUN PREFIX ZUVA_FLASH_EXE SOURCE_DIR
set -u
run=$1
prefix=$2
flash_exe=$3
source=$4
. "$(dirname "$0")/wine-com.sh" plan

# one FILE STATUS TEXT [EXPECTED_FLASH]: one run; with EXPECTED_FLASH, FLASH must start
# with it and be erased behind it; without, the device must have seen no byte.
one() {
    local file=$1 want=$2 text=$3 expected=${4:-}
    wine_on_sim 14 "" "$flash_exe" --port COM14 "$file"
    local problem=
    if [ "$status" -ne "$want" ] || [ "$last" != "$text" ]; then
        problem="exit $status '$last', expected $want '$text'"
    elif [ -n "$expected" ]; then
        local size
        size=$(stat -c %s "$expected")
        cmp -s -n "$size" "$expected" "$work/dump.bin" || problem="FLASH differs"
        tail -c +$((size + 1)) "$work/dump.bin" | tr -d '\377' | cmp -s - /dev/null ||
            problem="FLASH programmed behind the image"
        grep -q 'unaligned writes: 0,' <<<"$summary" || problem="unaligned writes: $summary"
    else
        grep -q 'syncs: 0,' <<<"$summary" || problem="bytes reached the device: $summary"
    fi
    if [ -n "$problem" ]; then
        fail "$file: $problem"
    else
        echo "PASS: $file"
    fi
}

head -c 1001 /dev/urandom >"$work/fw1001.bin"
one fw1001.bin 0 "Finished OK" "$work/fw1001.bin"

if command -v srec_cat >/dev/null; then
    head -c 999 /dev/urandom >"$work/odd.bin"
    srec_cat "$work/odd.bin" -binary -offset 0x08000001 -o "$work/odd.hex" -intel -obs=13
    srec_cat "$work/odd.hex" -intel -offset -0x08000000 -fill 0xFF 0 1000 \
        -o "$work/odd-expected.bin" -binary
    one odd.hex 0 "Finished OK" "$work/odd-expected.bin"
fi

# The toolchain's other formats, made from one raw image.
if command -v arm-none-eabi-objcopy >/dev/null; then
    head -c 2000 /dev/urandom >"$work/tool.bin"
    arm-none-eabi-objcopy -I binary -O srec --change-addresses 0x08000000 "$work/tool.bin" \
        "$work/tool.srec"
    arm-none-eabi-ld -m armelf -b binary --section-start=.data=0x08000000 -e 0 \
        -o "$work/tool.elf" "$work/tool.bin"
    one tool.srec 0 "Finished OK" "$work/tool.bin"
    one tool.elf 0 "Finished OK" "$work/tool.bin"
    cp "$work/tool.elf" "$work/tool-elf.bin"
    one tool-elf.bin 3 "Invalid file format"
fi

mkdir "$work/folder.bin"
one folder.bin 2 "Can't open file"
printf ':020000040800F2\r\n:0400000001020304F3\r\n' >"$work/damaged.hex"
one damaged.hex 3 "Invalid file format"
: >"$work/empty.bin"
one empty.bin 3 "Invalid file format"

[ "$failures" -eq 0 ]
