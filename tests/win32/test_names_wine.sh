#!/bin/bash
# zuva-flash.exe and zuva-pack.exe under Wine with file names outside the ANSI code page
# (Japanese) and a Windows-1252 description: programmed, packed and shown as given.
# Usage: test_names_wine.sh WINE_RUN PREFIX ZUVA_FLASH_EXE ZUVA_PACK_EXE SOURCE_DIR
# The Linux build tree with zuva-devsim: $ZUVA_LINUX_BUILD_DIR, default SOURCE_DIR/build/linux.
set -u
run=$1
prefix=$2
flash_exe=$3
pack_exe=$4
source=$5
devsim=${ZUVA_LINUX_BUILD_DIR:-$source/build/linux}/tools/devsim/zuva-devsim
[ -x "$devsim" ] || { echo "SKIP: no zuva-devsim (build the linux lane first)"; exit 77; }
[ -d "$prefix/dosdevices" ] || { echo "no Wine prefix at $prefix"; exit 1; }
# Wine takes the command line from the Unix side in the locale's character set.
export LC_ALL=C.UTF-8

work=$(mktemp -d "${TMPDIR:-/tmp}/zuva-wine-names.XXXXXX")
link=$prefix/dosdevices/com14
sim_pid=
cleanup() {
    [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null
    rm -f "$link"
    rm -rf "$work"
}
trap cleanup EXIT
failures=0

fail() {
    echo "FAIL: $*"
    for f in out err; do [ -s "$work/$f" ] && { echo "--- $f"; tail -5 "$work/$f"; }; done
    failures=$((failures + 1))
}

# tool EXE ARGS...: runs it in the work folder; $status, $first and $last (CR removed).
tool() {
    local exe=$1
    shift
    (cd "$work" && "$run" "$prefix" "$exe" "$@") >"$work/out" 2>"$work/err"
    status=$?
    first=$(tr -d '\r' <"$work/out" | head -1)
    last=$(tr -d '\r' <"$work/out" | tail -1)
}

# flash_on_sim ARGS...: one zuva-flash.exe run against a fresh simulator on COM14.
flash_on_sim() {
    rm -f "$link" "$work/dump.bin"
    "$devsim" --once --link "$link" --dump "$work/dump.bin" >"$work/devsim.out" 2>&1 &
    sim_pid=$!
    for _ in $(seq 100); do [ -L "$link" ] && break; sleep 0.05; done
    tool "$flash_exe" --port COM14 "$@"
    for _ in $(seq 100); do kill -0 "$sim_pid" 2>/dev/null || break; sleep 0.05; done
    kill -INT "$sim_pid" 2>/dev/null
    wait "$sim_pid" 2>/dev/null
    sim_pid=
}

image='fw 日本.bin'
exe='ZuvaFlash 日本.exe'
updater='更新 日本.exe'
description='Steuergerät 2.4 – 5 €'
head -c 8192 /dev/urandom >"$work/$image"
{ printf 'MZ'; head -c 3000 /dev/urandom; } >"$work/$exe"

flash_on_sim "$image"
[ "$status" -eq 0 ] && [ "$last" = "Finished OK" ] || fail "image by a Japanese name: $status '$last'"
cmp -s -n 8192 "$work/$image" "$work/dump.bin" || fail "FLASH differs from $image"

tool "$pack_exe" --exe "$exe" --image "$image" --description "$description" --output "$updater"
[ "$status" -eq 0 ] && [ -f "$work/$updater" ] || fail "zuva-pack with Japanese names: $status"
# Stored in Windows-1252: "ä" one byte, "–" 0x96, "€" 0x80.
grep -qa $'Steuerger\xe4t 2.4 \x96 5 \x80' "$work/$updater" || fail "description not in Windows-1252"
tool "$pack_exe" --info "$updater"
[ "$first" = "description: $description" ] || fail "--info shows '$first'"

flash_on_sim --embedded "$updater"
[ "$first" = "Image: $description" ] || fail "zuva-flash shows '$first'"
[ "$last" = "Finished OK" ] || fail "updater by a Japanese name: $status '$last'"
cmp -s -n 8192 "$work/$image" "$work/dump.bin" || fail "FLASH differs from the updater's image"

for device in NUL con.exe; do
    tool "$pack_exe" --exe "$exe" --image "$image" --description x --output "$device"
    [ "$status" -eq 3 ] && grep -q 'left as it is' "$work/err" || fail "--output $device: $status"
done

[ "$failures" -eq 0 ] && echo "PASS: names outside the ANSI code page"
[ "$failures" -eq 0 ]
