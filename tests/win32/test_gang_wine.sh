#!/bin/bash
# zuva-flash.exe with three COM ports at once under Wine, each a Linux zuva-devsim behind
# a dosdevices link; the middle one refuses erase. The image's name has a space and
# non-ASCII letters, which must reach every child process intact.
# Usage: test_gang_wine.sh WINE_RUN PREFIX ZUVA_FLASH_EXE SOURCE_DIR
set -u
run=$1
prefix=$2
flash_exe=$3
source=$4
. "$(dirname "$0")/wine-com.sh" gang

image="fw 日本.bin"
head -c 32768 /dev/urandom >"$work/$image"
for n in 51 52 53; do
    extra=()
    [ $n = 52 ] && extra=(--nack erase:2)
    com_sim_start $n --once --dump "$work/dump$n.bin" "${extra[@]}"
done
wine_in_work "$flash_exe" --json --port COM51 --port COM52 --port COM53 "$image"
for n in 51 52 53; do com_sim_stop $n; done

[ $status -eq 11 ] || fail "exit $status, expected 11"
for n in 51 53; do
    cmp -s -n 32768 "$work/$image" "$work/dump$n.bin" || fail "COM$n not programmed"
done
python3 - "$work/out" "$work/$image" <<'PY' || fail "JSON lines"
import json, sys, zlib
data = open(sys.argv[2], "rb").read()
objects = [json.loads(line) for line in open(sys.argv[1]).read().splitlines()]
assert [(o["port"], o["result"]) for o in objects] == [("COM51", 0), ("COM52", 11), ("COM53", 0)], objects
for o in objects:
    assert o["image"] == "fw 日本.bin" and o["image_crc32"] == "%08x" % zlib.crc32(data), o
PY
[ "$failures" -eq 0 ] && echo "PASS: three COM ports, one failing at erase"
[ "$failures" -eq 0 ]
