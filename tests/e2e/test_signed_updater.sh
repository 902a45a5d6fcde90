#!/bin/bash
# Updaters and the real signer: an updater signed by osslsigncode (with a throwaway
# certificate) verifies, zuva-pack reads it, zuva-flash programs it into zuva-devsim; a
# signed programmer packs into a working updater; a damaged certificate directory means
# no image. The programmer stands in as a minimal PE32 file, which is all signing needs.
# Usage: test_signed_updater.sh BUILD_DIR SOURCE_DIR
set -u
. "$(dirname "$0")/devsim-e2e.sh" "$1" "$2" signed

fail() {
    echo "FAIL: $*"
    for f in out err devsim.out devsim.err; do
        [ -s "$work/$f" ] && { echo "--- $f"; tail -20 "$work/$f"; }
    done
    exit 1
}
for tool in osslsigncode openssl python3; do
    command -v $tool >/dev/null || fail "$tool missing (scripts/install-deps.sh)"
done

# PE headers at 0x40, 16 data directories, one section.
python3 - "$work/ZuvaFlash.exe" <<'EOF'
import struct, sys
h = bytearray(0x400)
h[0:2] = b'MZ'
struct.pack_into('<I', h, 0x3C, 0x40)
h[0x40:0x44] = b'PE\0\0'
struct.pack_into('<HHIIIHH', h, 0x44, 0x14C, 1, 0, 0, 0, 224, 0x102)
struct.pack_into('<HBBIIIIIIIIIHHHHHHIIIIHHIIIIII', h, 0x58, 0x10B, 1, 0, 0x200, 0, 0,
                 0x1000, 0x1000, 0x1000, 0x400000, 0x1000, 0x200, 4, 0, 0, 0, 4, 0, 0,
                 0x2000, 0x200, 0, 2, 0, 0x100000, 0x1000, 0x100000, 0x1000, 0, 16)
struct.pack_into('<8sIIIIIIHHI', h, 0x138, b'.text', 0x200, 0x1000, 0x200, 0x200, 0, 0, 0,
                 0, 0x60000020)
h[0x200] = 0xC3
open(sys.argv[1], 'wb').write(h)
EOF
cd "$work" || exit 1
openssl req -x509 -newkey rsa:2048 -nodes -keyout key.pem -out cert.pem -days 30 \
    -subj /CN=Test >/dev/null 2>&1 || fail "no certificate"
sign() { # IN OUT
    osslsigncode sign -certs cert.pem -key key.pem -in "$1" -out "$2" >out 2>err &&
        osslsigncode verify -CAfile cert.pem "$2" >out 2>err || fail "$2 does not verify"
}
# get FILE OFFSET: a 32-bit little-endian value; put FILE OFFSET VALUE writes one.
get() { od -An -tu4 -j"$2" -N4 "$1" | tr -d ' '; }
put() {
    local v=$3
    printf "$(printf '\\%03o' $((v & 255)) $((v >> 8 & 255)) $((v >> 16 & 255)) $((v >> 24)))" |
        dd of="$1" bs=1 seek="$2" conv=notrunc status=none
}
entry=$((0x40 + 24 + 96 + 4 * 8))

head -c 5000 /dev/urandom >fw.bin
"$pack" --exe ZuvaFlash.exe --image fw.bin --description "Signed 1.0" --output Update.exe \
    >out 2>err || fail "zuva-pack failed"
[ ! -s err ] || fail "a note for an unsigned programmer"
sign Update.exe Signed.exe
[ "$(stat -c %s Signed.exe)" -gt "$(stat -c %s Update.exe)" ] || fail "nothing appended"

"$pack" --info Signed.exe >out 2>err || fail "--info refused the signed updater"
grep -qx 'description: Signed 1.0' out && grep -qx 'image offset: 0x400 (1024)' out ||
    fail "--info: $(cat out)"
"$pack" --extract Signed.exe --output back.bin >out 2>err || fail "--extract failed"
cmp -n 5000 fw.bin back.bin || fail "--extract gave another image"

sim_launch devsim --once --dump "$work/dump.bin"
"$flash" --port "$pty" --embedded Signed.exe >out 2>err
status=$?
sim_finish "$sim" devsim
[ $status -eq 0 ] && [ "$(tail -1 out)" = "Finished OK" ] && [ "$(head -1 out)" = "Image: Signed 1.0" ] ||
    fail "zuva-flash --embedded: $status"
cmp -n 5000 fw.bin dump.bin || fail "FLASH differs from the image"

# A signed programmer: its signature goes, with a word on stderr; the updater signs anew.
sign ZuvaFlash.exe SignedFlash.exe
"$pack" --exe SignedFlash.exe --image fw.bin --description "Repacked" --output Repacked.exe \
    >out 2>err || fail "zuva-pack refused a signed programmer"
grep -q 'SignedFlash.exe was signed; its signature was removed.*Sign Repacked.exe after packing' err ||
    fail "no word on the removed signature: $(cat err)"
sign Repacked.exe RepackedSigned.exe
"$pack" --info RepackedSigned.exe >out 2>err && grep -qx 'description: Repacked' out ||
    fail "the repacked updater, signed: $(cat out err)"
"$pack" --exe RepackedSigned.exe --image fw.bin --description x --output Twice.exe >out 2>err
[ $? -eq 2 ] && grep -q 'already carries an image' err || fail "a signed updater packed again"

# Damaged certificate directories: no image, for the packer and the programmer alike.
size=$(stat -c %s Signed.exe)
table=$(get Signed.exe $entry)
cp Signed.exe PastEnd.exe && put PastEnd.exe $((entry + 4)) $((size - table + 8))
cp Signed.exe Short.exe && put Short.exe $((entry + 4)) $((size - table - 8))
cp Signed.exe Far.exe && put Far.exe $entry 4000000000
{ cat Signed.exe; printf '\0\0\0\0\0\0\0\0'; } >Trailing.exe
for file in PastEnd.exe Short.exe Far.exe Trailing.exe; do
    "$pack" --info $file >out 2>err
    [ $? -eq 2 ] && grep -q 'carries no firmware image' err || fail "$file: --info $(cat err)"
    "$flash" --port "$work/no-such-port" --embedded $file >out 2>err
    [ $? -eq 2 ] && [ "$(tail -1 out)" = "Can't open file" ] || fail "$file: zuva-flash"
done
echo "PASS: signed updaters"
