#!/bin/bash
# Benchmark: zuva-flash --read of a whole 128 KiB medium-density chip from zuva-devsim
# running in real time (115200 8E1 on its wire), into .bin, .hex and .srec. Prints
# figures only; nothing is asserted.
#
#   wall    the zuva-flash process from start to exit
#   limit   what the wire needs at the least: every byte both ways at 11 bits and 115200
#           baud (from the simulator's transcript), and the 100 ms pause of each sync
#   ratio   wall / limit (the target: 1.05 at most)
#
# Usage: bench/bench_read.sh [BUILD_DIR]   (default: build/linux)
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/tools/devsim/wait-pty.sh"
build=${1:-$root/build/linux}
flash=$build/cli/zuva-flash
devsim=$build/tools/devsim/zuva-devsim
work=$(mktemp -d "${TMPDIR:-/tmp}/zuva-bench-read.XXXXXX")
sim_pid=
trap '[ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null; rm -rf "$work"' EXIT
byte_ms=0.095486

head -c 131072 /dev/urandom >"$work/chip.bin"

read_once() { # FILE
    local t0 t1 pty
    "$devsim" --timing --once --density medium --flash-in "$work/chip.bin" \
        --transcript "$work/t.txt" >"$work/devsim.out" &
    sim_pid=$!
    pty=$(devsim_wait_pty "$work/devsim.out") || { echo "zuva-devsim did not come up" >&2; exit 1; }
    t0=$(date +%s%N)
    "$flash" --port "$pty" --read "$work/$1" >"$work/flash.out" 2>&1
    t1=$(date +%s%N)
    wait "$sim_pid" || true
    sim_pid=
    [ "$(tail -1 "$work/flash.out")" = "Finished OK" ] || { cat "$work/flash.out"; exit 1; }
    awk -v bt="$byte_ms" -v wall=$(((t1 - t0) / 1000)) -v name="$1" '
        $3 == "D>H" || $3 == "H>D" {
            line = $0
            sub(/^ *[0-9.]+ ms (H>D|D>H) /, "", line)
            split(line, parts, "  ")
            bytes += split(parts[1], b, " ")
            if (parts[2] == "sync") syncs++
        }
        END {
            limit = bytes * bt + syncs * 100
            printf "%-9s wall %8.1f ms  limit %8.1f ms (wire %.1f, %d bytes; pauses %d)  ratio %.3f\n",
                name, wall / 1000, limit, bytes * bt, bytes, syncs * 100, wall / 1000 / limit
        }' "$work/t.txt"
}

echo "zuva-flash --read against zuva-devsim --timing: a 128 KiB chip"
read_once back.bin
cmp -s "$work/back.bin" "$work/chip.bin" || echo "back.bin differs from the chip's FLASH"
read_once back.hex
read_once back.srec
