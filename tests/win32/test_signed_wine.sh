#!/bin/bash
# Signed updaters under Wine: an updater made by zuva-pack.exe from the real ZuvaFlash.exe
# and signed by osslsigncode is read by zuva-pack.exe and programmed by zuva-flash.exe into
# the Linux zuva-devsim (wine-com.sh); a damaged certificate directory means no image.
# (The packer's handling of a signed programmer is the same code on Linux, tested there.)
# Usage: test_signed_wine.sh WINE_RUN PREFIX ZUVA_FLASH_EXE ZUVA_PACK_EXE ZUVA_FLASH_GUI_EXE SOURCE_DIR
set -u
run=$1
prefix=$2
flash_exe=$3
pack_exe=$4
gui_exe=$5
source=$6
. "$(dirname "$0")/wine-com.sh" signed
for tool in osslsigncode openssl; do
    command -v $tool >/dev/null || { echo "FAIL: $tool missing (scripts/install-deps.sh)"; exit 1; }
done
[ -f "$gui_exe" ] || { echo "SKIP: no ZuvaFlash.exe in this build"; exit 77; }

expect() { # what status last-line
    if [ "$status" -ne "$2" ] || [ "$last" != "$3" ]; then
        fail "$1: exit $status '$last', expected $2 '$3'"
    else
        echo "PASS: $1"
    fi
}
sign() { # IN OUT, in the work folder
    (cd "$work" && osslsigncode sign -certs cert.pem -key key.pem -in "$1" -out "$2" &&
        osslsigncode verify -CAfile cert.pem "$2") >"$work/sign.log" 2>&1 ||
        fail "$2 does not verify: $(tail -3 "$work/sign.log")"
}

cp "$gui_exe" "$work/ZuvaFlash.exe"
head -c 20000 /dev/urandom >"$work/fw.bin"
(cd "$work" && openssl req -x509 -newkey rsa:2048 -nodes -keyout key.pem -out cert.pem \
    -days 30 -subj /CN=Test) >/dev/null 2>&1 || fail "no certificate"

wine_in_work "$pack_exe" --exe ZuvaFlash.exe --image fw.bin --description "Signed 3.0" \
    --output Update.exe
sign Update.exe Signed.exe
wine_in_work "$pack_exe" --info Signed.exe
expect "zuva-pack.exe --info" 0 "image length: 0x4F00 (20224)"
[ "$first" = "description: Signed 3.0" ] || fail "--info: '$first'"

wine_on_sim 11 "" "$flash_exe" --port COM11 --embedded Signed.exe
expect "zuva-flash.exe --embedded, signed" 0 "Finished OK"
[ "$first" = "Image: Signed 3.0" ] || fail "no description: '$first'"
cmp -s -n 20000 "$work/fw.bin" "$work/dump.bin" || fail "FLASH differs from the image"

# One more byte behind the certificate table: it no longer ends the file, so no image.
{ cat "$work/Signed.exe"; printf '\0'; } >"$work/Trailing.exe"
wine_in_work "$flash_exe" --port COM13 --embedded Trailing.exe
expect "a table that does not end the file" 2 "Can't open file"

echo "$failures failed"
[ "$failures" -eq 0 ]
