#!/bin/bash
# zuva-flash --loop on a production line of zuva-devsim boards (--boards): one case per call.
# Usage: test_line_devsim.sh BUILD_DIR SOURCE_DIR CASE
set -u
. "$(dirname "$0")/devsim-e2e.sh"

fail() {
    echo "FAIL: $*"
    for f in flash.out flash.err line.log sim0.out sim1.out; do
        [ -s "$work/$f" ] && { echo "--- $f"; tail -20 "$work/$f"; }
    done
    exit 1
}

head -c 8192 /dev/urandom >"$work/fw.bin"
echo 1000 >"$work/next.txt"
serial_args=(--serial "$work/next.txt" --serial-at 0x0801FFF0 --log "$work/line.log")

# start_line N NAME [devsim options]: a simulator with N boards, each taken out 0.3 s after
# it has been protected and the next put in 1.2 s later; $sim and $pty as sim_launch.
start_line() {
    local boards=$1 name=$2
    shift 2
    sim_launch "$name" --boards "$boards" --swap-after 300 --empty-for 1200 \
        --dump "$work/$name.dump" "$@"
}

# wait_log N: until the log holds N objects (60 s at most).
wait_log() {
    for _ in $(seq 600); do
        [ -f "$work/line.log" ] && [ "$(wc -l <"$work/line.log")" -ge "$1" ] && return 0
        sleep 0.1
    done
    fail "the log did not reach $1 objects"
}

# check_line SIMS...: every board object in the log ties its port's board N to the unique
# ID that simulator lists for board N, and to the serial number found in that board's
# FLASH at 0x0801FFF0 (little-endian); no number twice. Prints the serials in order.
check_line() {
    python3 - "$work" "$@" <<'PY' || fail "the log does not tie boards to their numbers"
import json, re, struct, sys
work, sims = sys.argv[1], sys.argv[2:]
ports, uids = {}, {}
for sim in sims:
    lines = open(f"{work}/{sim}.out").read().splitlines()
    ports[lines[0]] = sim
    for m in re.finditer(r"^board (\d+): unique ID ([0-9a-f]{24})", "\n".join(lines), re.M):
        uids[(sim, int(m[1]))] = m[2]
boards = [json.loads(l) for l in open(f"{work}/line.log")]
serials = []
for o in boards:
    sim = ports[o["port"]]
    assert o["time"].endswith("Z") and o["flash_kib"] == 128, o
    assert (o["uid"] or "") == uids[(sim, o["board"])], (o, uids)
    dump = open(f"{work}/{sim}.dump.{o['board']}", "rb").read()
    if o["result"] == 0:
        assert struct.unpack_from("<I", dump, 0x1FFF0)[0] == o["serial"], o
        assert dump[:8192] == open(f"{work}/fw.bin", "rb").read(), o
    serials.append(o["serial"])
assert len(set(serials)) == len(serials), serials
print(" ".join(map(str, serials)))
PY
}

case "$case_name" in
three-boards)
    # Three boards swapped in one after the other: each programmed once with its number,
    # and the loop ends after the third.
    start_line 3 sim0
    run_flash --port "$pty" --loop --count 3 "${serial_args[@]}" "$work/fw.bin"
    sim_stop "$sim" sim0
    expect_result 0 "3 boards on $pty: 3 finished OK, 0 failed; serial numbers 1000 to 1002"
    [ "$(grep -c "^$pty board [123]: Finished OK, serial 100[012], unique ID" "$work/flash.out")" -eq 3 ] ||
        fail "not a line per board"
    [ "$(check_line sim0)" = "1000 1001 1002" ] || fail "serials $(check_line sim0)"
    [ "$(cat "$work/next.txt")" = 1003 ] || fail "the counter holds $(cat "$work/next.txt")"
    ;;
gang)
    # Two fixtures, one counter file: six boards, six numbers, none twice.
    start_line 3 sim0
    pty0=$pty sim0=$sim
    start_line 3 sim1
    run_flash --json --port "$pty0" --port "$pty" --loop --count 3 "${serial_args[@]}" "$work/fw.bin"
    sim_stop "$sim0" sim0
    sim_stop "$sim" sim1
    [ "$status" -eq 0 ] || fail "exit $status"
    python3 - "$work/flash.out" <<'PY' || fail "the JSON objects"
import json, sys
objects = [json.loads(l) for l in open(sys.argv[1])]
summary = objects.pop()
assert summary["boards"] == 6 and summary["ok"] == 6 and summary["failed"] == {}, summary
assert summary["serials"] == {"first": 1000, "last": 1005}, summary
assert sorted(o["serial"] for o in objects) == list(range(1000, 1006)), objects
PY
    [ "$(check_line sim0 sim1 | tr ' ' '\n' | sort | tr '\n' ' ')" = "1000 1001 1002 1003 1004 1005 " ] ||
        fail "serials $(check_line sim0 sim1)"
    [ "$(cat "$work/next.txt")" = 1006 ] || fail "the counter holds $(cat "$work/next.txt")"
    ;;
failing-board)
    # The second board refuses every block: recorded with its number, taken out by hand,
    # and the third is programmed with the next number; the status is the second's.
    start_line 3 sim0 --fault-board 2 --nack write:3
    "$flash" --port "$pty" --loop --count 3 "${serial_args[@]}" "$work/fw.bin" \
        >"$work/flash.out" 2>"$work/flash.err" &
    flash_pid=$!
    wait_log 2
    kill -USR1 "$sim"
    wait "$flash_pid"
    status=$?
    last=$(tail -1 "$work/flash.out")
    sim_stop "$sim" sim0
    expect_result 4 "3 boards on $pty: 2 finished OK, 1 failed (Communication error: 1); serial numbers 1000 to 1002"
    grep -q "^$pty board 2: Communication error, serial 1001," "$work/flash.out" || fail "board 2's line"
    [ "$(check_line sim0)" = "1000 1001 1002" ] || fail "serials $(check_line sim0)"
    python3 -c 'import json,sys; o=[json.loads(l) for l in open(sys.argv[1])][1]; assert o["result"] == 4 and "0x08000000" in o["detail"], o' \
        "$work/line.log" || fail "board 2's object"
    ;;
port-gone)
    # One fixture's port goes away after its first board: that line ends with the cause,
    # the other finishes its three boards; the status is the lost port's.
    start_line 3 sim0
    pty0=$pty sim0=$sim
    start_line 3 sim1
    "$flash" --json --port "$pty0" --port "$pty" --loop --count 3 "${serial_args[@]}" "$work/fw.bin" \
        >"$work/flash.out" 2>"$work/flash.err" &
    flash_pid=$!
    wait_log 2
    sim_stop "$sim" sim1
    wait "$flash_pid"
    status=$?
    sim_stop "$sim0" sim0
    [ "$status" -eq 1 ] || fail "exit $status, expected 1"
    python3 - "$work/flash.out" "$pty0" "$pty" <<'PY' || fail "the JSON objects"
import json, sys
objects = [json.loads(l) for l in open(sys.argv[1])]
summary = objects.pop()
ends = [o for o in objects if o["board"] is None]
assert len(ends) == 1 and ends[0]["port"] == sys.argv[3] and ends[0]["result"] == 1, ends
assert "No such file or directory" in ends[0]["detail"], ends
assert [o["board"] for o in objects if o["port"] == sys.argv[2]] == [1, 2, 3], objects
assert summary["ok"] == summary["boards"] == len(objects) - 1, summary
PY
    ;;
ctrl-c)
    # A board that stays in the fixture is not programmed again; Ctrl-C while waiting ends
    # the loop with the summary and status 0.
    sim_launch sim0 --boards 2 --swap-after 600000 --dump "$work/sim0.dump"
    "$flash" --port "$pty" --loop "${serial_args[@]}" "$work/fw.bin" \
        >"$work/flash.out" 2>"$work/flash.err" &
    flash_pid=$!
    wait_log 1
    sleep 2.5
    interrupt_flash
    sim_stop "$sim" sim0
    expect_result 0 "1 board on $pty: 1 finished OK, 0 failed; serial numbers 1000 to 1000"
    [ "$(wc -l <"$work/line.log")" -eq 1 ] || fail "the board was programmed again"
    [ "$(cat "$work/next.txt")" = 1001 ] || fail "the counter holds $(cat "$work/next.txt")"
    ;;
*)
    echo "unknown case $case_name"
    exit 2
    ;;
esac
echo "PASS: $case_name"
