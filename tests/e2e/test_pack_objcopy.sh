#!/bin/sh
# zuva-pack end to end: HEX, S-record and ELF files made by a real toolchain must flatten
# to the same bytes
# as objcopy's binary output (both limited to the two loaded sections: the linker's own
# empty sections would otherwise stretch the binary), and the command line must refuse bad input without leaving
# an output file.
# Usage: test_pack_objcopy.sh WORKDIR [RUNNER...] ZUVA-PACK
# (RUNNER is the Windows lane's emulator, when zuva-pack is a Windows program.)
set -u
work=$1
shift
for tool in arm-none-eabi-as arm-none-eabi-ld arm-none-eabi-objcopy; do
    if ! command -v "$tool" >/dev/null 2>&1; then
        echo "SKIP: $tool not found (Debian package binutils-arm-none-eabi)"
        exit 77
    fi
done

failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

rm -rf "$work"
mkdir -p "$work"
cd "$work" || exit 1

# Firmware with a vector table, data across several blocks and a gap before a second
# section, so that flattening must fill with 0xFF.
cat >fw.s <<'EOF'
    .syntax unified
    .thumb
    .section .text
    .word 0x20005000, 0x08000009
    .global _start
    .thumb_func
_start:
    b _start
    .balign 4
    .word 0x11223344, 0x55667788, 0xDEADBEEF, 0x0BADF00D
    .fill 700, 1, 0x3C
    .word 0xCAFEBABE
    .section .extra, "a"
    .word 0xA5A5A5A5, 0x12345678
    .ascii "tail"
EOF
arm-none-eabi-as -mthumb fw.s -o fw.o &&
    arm-none-eabi-ld -Ttext=0x08000000 --section-start=.extra=0x08001000 fw.o -o fw.elf &&
    arm-none-eabi-objcopy -j .text -j .extra -O ihex fw.elf fw.hex &&
    arm-none-eabi-objcopy -j .text -j .extra -O srec fw.elf fw.srec &&
    arm-none-eabi-objcopy -j .text -j .extra -O binary --gap-fill 0xFF fw.elf fw.bin || {
    echo "FAIL: toolchain could not build the sample"
    exit 1
}

# A stand-in for ZuvaFlash.exe: an MZ header and 3000 bytes.
{ printf 'MZ'; head -c 2998 /dev/zero | tr '\0' '\220'; } >ZuvaFlash.exe

"$@" --exe ZuvaFlash.exe --image fw.hex --description "objcopy build" --output hex.exe ||
    fail "packing the HEX file"
"$@" --extract hex.exe --output hex-plain.bin || fail "extracting the HEX updater"

binsize=$(wc -c <fw.bin)
padded=$(((binsize + 255) / 256 * 256))
[ "$(wc -c <hex-plain.bin)" -eq "$padded" ] || fail "extracted size is not $padded"
head -c "$binsize" hex-plain.bin | cmp -s - fw.bin || fail "flattened HEX differs from objcopy -O binary"
tail -c $((padded - binsize)) hex-plain.bin | tr -d '\377' | [ "$(wc -c)" -eq 0 ] ||
    fail "padding is not 0xFF"

"$@" --exe ZuvaFlash.exe --image fw.bin --description "objcopy build" --output bin.exe ||
    fail "packing the binary file"
cmp -s hex.exe bin.exe || fail "the HEX and binary updaters differ"
for image in fw.srec fw.elf; do
    "$@" --exe ZuvaFlash.exe --image $image --description "objcopy build" --output "$image.exe" ||
        fail "packing $image"
    cmp -s hex.exe "$image.exe" || fail "the HEX and $image updaters differ"
done

info=$("$@" --info hex.exe | tr -d '\r')
echo "$info"
echo "$info" | grep -q "^description: objcopy build$" || fail "--info description"
echo "$info" | grep -q "^image offset: 0xBB8 (3000)$" || fail "--info offset"
echo "$info" | grep -q "^image length: 0x$(printf '%X' "$padded") ($padded)$" || fail "--info length"

# Refusals: exit code and no output file.
expect_refusal() {
    code=$1
    shift
    rm -f out.exe
    "$@" >refusal.txt 2>&1
    got=$?
    [ "$got" -eq "$code" ] || fail "expected exit $code, got $got: $*"
    [ ! -e out.exe ] || fail "output left behind: $*"
    ls | grep -q 'zuva-pack-tmp' && fail "temporary file left behind: $*"
    grep -q 'zuva-pack' refusal.txt || fail "no message: $*"
}
long=$(printf '%0243d' 0)
: >empty.bin
printf ':020000040800F2\n:0400000001020304F3\n:00000001FF\n' >damaged.hex
printf ':0400000001020304F2\n:00000001FF\n' >low.hex
cp fw.elf program.bin
expect_refusal 2 "$@" --exe ZuvaFlash.exe --image fw.hex --description "$long" --output out.exe
expect_refusal 2 "$@" --exe ZuvaFlash.exe --image fw.hex --description "$(printf 'a\rb')" --output out.exe
expect_refusal 2 "$@" --exe ZuvaFlash.exe --image empty.bin --description x --output out.exe
expect_refusal 2 "$@" --exe ZuvaFlash.exe --image damaged.hex --description x --output out.exe
expect_refusal 2 "$@" --exe ZuvaFlash.exe --image low.hex --description x --output out.exe
expect_refusal 2 "$@" --exe ZuvaFlash.exe --image program.bin --description x --output out.exe
expect_refusal 2 "$@" --exe ZuvaFlash.exe --image ZuvaFlash.exe --description x --output out.exe
expect_refusal 2 "$@" --exe hex.exe --image fw.hex --description again --output out.exe
expect_refusal 2 "$@" --info ZuvaFlash.exe
expect_refusal 3 "$@" --exe ZuvaFlash.exe --image missing.hex --description x --output out.exe
expect_refusal 64 "$@" --exe ZuvaFlash.exe --output out.exe
expect_refusal 64 "$@" --bogus

"$@" --help | grep -q "Exit status" || fail "--help lists the exit codes"

[ "$failures" -eq 0 ] && echo "PASS" && exit 0
exit 1
