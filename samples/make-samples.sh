#!/bin/sh
# Builds the demo firmware with the ARM cross binutils: blink.elf linked at 0x08000000,
# then blink.bin (raw, from the FLASH base) and blink.hex (Intel HEX, 16-byte records).
# Usage: samples/make-samples.sh [OUTDIR]   (default: beside this script)
set -e
here=$(cd "$(dirname "$0")" && pwd)
out=${1:-$here}
mkdir -p "$out"
arm-none-eabi-as -o "$out/blink.o" "$here/blink.s"
arm-none-eabi-ld -T "$here/blink.ld" -o "$out/blink.elf" "$out/blink.o"
arm-none-eabi-objcopy -O binary "$out/blink.elf" "$out/blink.bin"
arm-none-eabi-objcopy -O ihex "$out/blink.elf" "$out/blink.hex"
rm -f "$out/blink.o" "$out/blink.elf"
