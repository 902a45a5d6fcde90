#!/bin/bash
# zuva-flash.exe and zuva-pack.exe under Wine with file names outside the ANSI code page
# (Japanese) and a Windows-1252 description: programmed, packed and shown as given.
# Usage: test_names_wine.sh WINE_RUN PREFIX ZUVA_FLASH_EXE ZUVA_PACK_EXE SOURCE_DIR
set -u
run=$1
prefix=$2
flash_exe=$3
pack_exe=$4
source=$5
# Wine takes the command line from the Unix side in the locale's character set.
export LC_ALL=C.UTF-8
. "$(dirname "$0")/wine-com.sh" names

image='fw 日本.bin'
exe='ZuvaFlash 日本.exe'
updater='更新 日本.exe'
description='Steuergerät 2.4 – 5 €'
head -c 8192 /dev/urandom >"$work/$image"
{ printf 'MZ'; head -c 3000 /dev/urandom; } >"$work/$exe"

wine_on_sim 14 "" "$flash_exe" --port COM14 "$image"
[ "$status" -eq 0 ] && [ "$last" = "Finished OK" ] || fail "image by a Japanese name: $status '$last'"
cmp -s -n 8192 "$work/$image" "$work/dump.bin" || fail "FLASH differs from $image"

wine_in_work "$pack_exe" --exe "$exe" --image "$image" --description "$description" \
    --output "$updater"
[ "$status" -eq 0 ] && [ -f "$work/$updater" ] || fail "zuva-pack with Japanese names: $status"
# Stored in Windows-1252: "ä" one byte, "–" 0x96, "€" 0x80.
grep -qa $'Steuerger\xe4t 2.4 \x96 5 \x80' "$work/$updater" || fail "description not in Windows-1252"
wine_in_work "$pack_exe" --info "$updater"
[ "$first" = "description: $description" ] || fail "--info shows '$first'"

wine_on_sim 14 "" "$flash_exe" --port COM14 --embedded "$updater"
[ "$first" = "Image: $description" ] || fail "zuva-flash shows '$first'"
[ "$last" = "Finished OK" ] || fail "updater by a Japanese name: $status '$last'"
cmp -s -n 8192 "$work/$image" "$work/dump.bin" || fail "FLASH differs from the updater's image"

for device in NUL con.exe; do
    wine_in_work "$pack_exe" --exe "$exe" --image "$image" --description x --output "$device"
    [ "$status" -eq 3 ] && grep -q 'left as it is' "$work/err" || fail "--output $device: $status"
done

[ "$failures" -eq 0 ] && echo "PASS: names outside the ANSI code page"
[ "$failures" -eq 0 ]
