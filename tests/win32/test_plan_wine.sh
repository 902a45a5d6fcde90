#!/bin/bash
# zuva-flash.exe under Wine: images that are not whole blocks or whole records reach FLASH
# complete on zuva-devsim's real-chip write rules, and unusable files are refused before
# a byte is sent. One simulator (a fresh pty) per run, on COM14 through dosdevices.
# Usage: test_plan_wine.sh WINE_RUN PREFIX ZUVA_FLASH_EXE SOURCE_DIR
# The Linux build tree with zuva-devsim: $ZUVA_LINUX_BUILD_DIR, default SOURCE_DIR/build/linux.
set -u
run=$1
prefix=$2
flash_exe=$3
source=$4
devsim=${ZUVA_LINUX_BUILD_DIR:-$source/build/linux}/tools/devsim/zuva-devsim
[ -x "$devsim" ] || { echo "SKIP: no zuva-devsim (build the linux lane first)"; exit 77; }
[ -d "$prefix/dosdevices" ] || { echo "no Wine prefix at $prefix (wine-prefix.sh up)"; exit 1; }

work=$(mktemp -d "${TMPDIR:-/tmp}/zuva-wine-plan.XXXXXX")
link=$prefix/dosdevices/com14
sim_pid=
trap '[ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null; rm -f "$link"; rm -rf "$work"' EXIT
failures=0

# one FILE STATUS TEXT [EXPECTED_FLASH]: one run; with EXPECTED_FLASH, FLASH must start
# with it and be erased behind it; without, the device must have seen no byte.
one() {
    local file=$1 want=$2 text=$3 expected=${4:-}
    rm -f "$link" "$work/dump.bin"
    "$devsim" --once --link "$link" --dump "$work/dump.bin" >"$work/devsim.out" 2>&1 &
    sim_pid=$!
    for _ in $(seq 100); do [ -L "$link" ] && break; sleep 0.05; done
    (cd "$work" && timeout 60 "$run" "$prefix" "$flash_exe" --port COM14 "$file") \
        >"$work/flash.out" 2>&1
    local status=$? last
    last=$(tr -d '\r' <"$work/flash.out" | tail -1)
    for _ in $(seq 100); do kill -0 "$sim_pid" 2>/dev/null || break; sleep 0.05; done
    kill -INT "$sim_pid" 2>/dev/null
    wait "$sim_pid" 2>/dev/null
    sim_pid=
    local summary problem=
    summary=$(tail -1 "$work/devsim.out")
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
        echo "FAIL: $file: $problem"
        failures=$((failures + 1))
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

mkdir "$work/folder.bin"
one folder.bin 2 "Can't open file"
printf ':020000040800F2\r\n:0400000001020304F3\r\n' >"$work/damaged.hex"
one damaged.hex 3 "Invalid file format"
: >"$work/empty.bin"
one empty.bin 3 "Invalid file format"

[ "$failures" -eq 0 ]
