#!/bin/bash
# zuva-flash with several ports at once, each a zuva-devsim of its own: one case per call.
# Usage: test_gang_devsim.sh BUILD_DIR SOURCE_DIR CASE
set -u
. "$(dirname "$0")/devsim-e2e.sh"
sims=()
ptys=()

fail() {
    echo "FAIL: $*"
    for f in flash.out flash.err; do
        [ -s "$work/$f" ] && { echo "--- $f"; tail -20 "$work/$f"; }
    done
    exit 1
}

# start_sims COUNT [N:devsim options]...: COUNT simulators serving one client each; the
# options after N: go to the N-th (from 0) only.
start_sims() {
    local count=$1 i
    shift
    ptys=()
    for ((i = 0; i < count; i++)); do
        local extra=()
        for spec in "$@"; do
            [ "${spec%%:*}" = "$i" ] && read -ra extra <<<"${spec#*:}"
        done
        sim_launch devsim$i --once --dump "$work/dump$i.bin" "${extra[@]}"
        sims[i]=$sim
        ptys[i]=$pty
    done
}

wait_sims() {
    for i in "${!sims[@]}"; do
        sim_finish "${sims[i]}" devsim$i
    done
    sims=()
}

port_args() { for p in "${ptys[@]}"; do printf -- '--port\n%s\n' "$p"; done; }

programmed() { # N: device N holds the image
    cmp -s -n 65536 "$work/fw.bin" "$work/dump$1.bin"
}

# check_json EXPECTED_RESULTS...: stdout is one JSON object per port in the order given,
# with the fields a line system reads; the image's size and zlib CRC-32 are right.
check_json() {
    python3 - "$work/flash.out" "$work/fw.bin" "$@" "${ptys[@]}" <<'PY' || fail "JSON lines"
import json, sys, zlib
out, image, rest = sys.argv[1], sys.argv[2], sys.argv[3:]
n = len(rest) // 2
results, ports = [int(r) for r in rest[:n]], rest[n:]
data = open(image, "rb").read()
lines = open(out).read().splitlines()
assert len(lines) == n, lines
for line, result, port in zip(lines, results, ports):
    o = json.loads(line)
    assert (o["port"], o["result"]) == (port, result), o
    assert o["image_size"] == len(data) and o["image_crc32"] == "%08x" % zlib.crc32(data), o
    assert isinstance(o["seconds"], float) and o["message"], o
    if result == 0:
        assert o["bytes"] == len(data) and o["chip"] == "0x410" and o["message"] == "Finished OK", o
PY
}

head -c 65536 /dev/urandom >"$work/fw.bin"

case "$case_name" in
all-good)
    # Three devices: all programmed, a table row each, exit 0; then the same as JSON of a
    # one-port run, with --log appending a timestamped copy.
    start_sims 3
    mapfile -t args < <(port_args)
    "$flash" "${args[@]}" "$work/fw.bin" >"$work/flash.out" 2>"$work/flash.err"
    status=$?
    wait_sims
    [ $status -eq 0 ] || fail "exit $status"
    for i in 0 1 2; do
        programmed $i || fail "device $i not programmed"
        grep -qE "^${ptys[i]} +0x410 medium-density +Finished OK +[0-9.]+ s$" "$work/flash.out" ||
            fail "no table row for ${ptys[i]}"
    done
    [ "$(wc -l <"$work/flash.out")" -eq 5 ] && [ "$(tail -1 "$work/flash.out")" = "Finished OK" ] ||
        fail "stdout is not the table and the result line"
    # One port with a log: the result line alone, as a plain run; a log that cannot be
    # written is a lost result: exit 74, said on stderr.
    for log in "$work/plain.log" /dev/full; do
        start_sims 1
        "$flash" --log "$log" --port "${ptys[0]}" "$work/fw.bin" >"$work/flash.out" 2>"$work/flash.err"
        status=$?
        wait_sims
        [ "$(cat "$work/flash.out")" = "Finished OK" ] || fail "--log $log: stdout is not the result line"
    done
    [ $status -eq 74 ] && grep -q '^zuva-flash: cannot write to the log /dev/full: No space left on device' \
        "$work/flash.err" || fail "--log /dev/full: exit $status, $(cat "$work/flash.err")"
    start_sims 1
    "$flash" --json --log "$work/runs.log" --port "${ptys[0]}" "$work/fw.bin" \
        >"$work/flash.out" 2>"$work/flash.err"
    status=$?
    wait_sims
    [ $status -eq 0 ] || fail "one-port --json: exit $status"
    check_json 0
    python3 -c 'import json,sys; o=json.loads(open(sys.argv[1]).read()); assert o["time"].endswith("Z") and o["result"] == 0' \
        "$work/runs.log" || fail "log line"
    ;;
one-fails)
    # The middle device refuses erase: the others are programmed, exit 11, results 0 11 0.
    start_sims 3 "1:--nack erase:2"
    mapfile -t args < <(port_args)
    "$flash" --json "${args[@]}" "$work/fw.bin" >"$work/flash.out" 2>"$work/flash.err"
    status=$?
    wait_sims
    [ $status -eq 11 ] || fail "exit $status, expected 11"
    programmed 0 && programmed 2 || fail "a good device was not programmed"
    ! programmed 1 || fail "the failing device holds the image"
    check_json 0 11 0
    ;;
ctrl-c)
    # Ctrl-C to zuva-flash alone: every device stops at once, unprotected, exit 130.
    start_sims 3 "0:--timing" "1:--timing" "2:--timing"
    mapfile -t args < <(port_args)
    "$flash" --json "${args[@]}" "$work/fw.bin" >"$work/flash.out" 2>"$work/flash.err" &
    flash_pid=$!
    sleep 1.5
    kill -INT $flash_pid
    wait $flash_pid
    status=$?
    wait_sims
    [ $status -eq 130 ] || fail "exit $status, expected 130"
    check_json 130 130 130
    for i in 0 1 2; do
        summary=$(tail -1 "$work/devsim$i.out")
        grep -q 'read-out protected: no' <<<"$summary" || fail "device $i: $summary"
        ! programmed $i || fail "device $i finished"
    done
    ;;
*)
    echo "unknown case $case_name"
    exit 2
    ;;
esac
echo "PASS: $case_name"
