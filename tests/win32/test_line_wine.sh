#!/bin/bash
# zuva-flash.exe --loop under Wine on a production line of Linux zuva-devsim boards behind
# COM links: three boards with serial numbers, a gang sharing its counter file with a Linux
# zuva-flash at the same time (Wine's LockFileEx and fcntl exclude each other), a failing
# second board, and Ctrl-C while waiting.
# Usage: test_line_wine.sh WINE_RUN PREFIX ZUVA_FLASH_EXE SOURCE_DIR
set -u
run=$1
prefix=$2
flash_exe=$3
source=$4
. "$(dirname "$0")/wine-com.sh" line
linux_flash=$linux_build/cli/zuva-flash

head -c 8192 /dev/urandom >"$work/fw.bin"
serial_args=(--serial next.txt --serial-at 0x0801FFF0 --log line.log)

# line_sim N BOARDS [devsim options]: a line of boards behind COMN, each taken out 0.3 s
# after it has been protected, the next put in 1.2 s later.
line_sim() {
    local n=$1 boards=$2
    shift 2
    com_sim_start "$n" --boards "$boards" --swap-after 300 --empty-for 1200 \
        --dump "$work/devsim$n.dump" "$@"
}

fresh() {
    echo 1000 >"$work/next.txt"
    rm -f "$work/line.log" "$work/linux.log"
}

# serials_ok EXPECTED LOGS...: the boards of the logs carry EXPECTED numbers (in any
# order), each found in its board's FLASH at 0x0801FFF0 and tied to that board's unique ID.
serials_ok() {
    python3 - "$work" "$@" <<'PY'
import glob, json, re, struct, sys
work, expected, logs = sys.argv[1], sys.argv[2], sys.argv[3:]
sims = {}
for out in glob.glob(f"{work}/devsim*.out"):
    n = re.search(r"devsim(\d+)\.out$", out)[1]
    lines = open(out).read().splitlines()
    sims[f"COM{n}"] = (n, dict(re.findall(r"^board (\d+): unique ID ([0-9a-f]{24})", "\n".join(lines), re.M)))
    if lines:
        sims[lines[0]] = sims[f"COM{n}"]
serials = []
for log in logs:
    for o in map(json.loads, open(f"{work}/{log}")):
        n, uids = sims[o["port"]]
        assert (o["uid"] or "") == uids[str(o["board"])], o
        if o["result"] == 0:
            dump = open(f"{work}/devsim{n}.dump.{o['board']}", "rb").read()
            assert struct.unpack_from("<I", dump, 0x1FFF0)[0] == o["serial"], o
        serials.append(o["serial"])
assert sorted(serials) == list(range(1000, 1000 + int(expected))), serials
PY
}

counter_is() { [ "$(tr -d '\r\n' <"$work/next.txt")" = "$1" ]; }

# Three boards, one after the other, each programmed once with its number.
fresh
line_sim 61 3
wine_in_work "$flash_exe" --port COM61 --loop --count 3 "${serial_args[@]}" fw.bin
com_sim_stop 61 now
[ $status -eq 0 ] && [ "$last" = "3 boards on COM61: 3 finished OK, 0 failed; serial numbers 1000 to 1002" ] ||
    fail "three boards: exit $status, '$last'"
serials_ok 3 line.log && counter_is 1003 || fail "three boards: serial numbers"

# A gang of two COM ports and a Linux zuva-flash on a third line, one counter file.
fresh
line_sim 61 3
line_sim 62 3
line_sim 63 3
linux_pty=$(head -1 "$work/devsim63.out")
(cd "$work" && exec "$linux_flash" --port "$linux_pty" --loop --count 3 --serial next.txt \
    --serial-at 0x0801FFF0 --log linux.log fw.bin) >"$work/linux.out" 2>&1 &
linux_pid=$!
wine_in_work "$flash_exe" --json --port COM61 --port COM62 --loop --count 3 "${serial_args[@]}" fw.bin
wait $linux_pid
linux_status=$?
for n in 61 62 63; do com_sim_stop $n now; done
[ $status -eq 0 ] && [ $linux_status -eq 0 ] || fail "gang: exit $status, Linux $linux_status"
tr -d '\r' <"$work/out" | tail -1 | python3 -c 'import json,sys; o=json.load(sys.stdin); assert o["boards"] == 6 and o["ok"] == 6, o' ||
    fail "gang: summary object"
serials_ok 9 line.log linux.log && counter_is 1009 || fail "gang: serial numbers shared"

# The second board refuses every block: recorded, the third programmed, exit 4.
fresh
line_sim 61 3 --fault-board 2 --nack write:3
(cd "$work" && exec "$run" "$prefix" "$flash_exe" --port COM61 --loop --count 3 \
    "${serial_args[@]}" fw.bin) >"$work/out" 2>"$work/err" &
flash_pid=$!
for _ in $(seq 600); do
    [ -f "$work/line.log" ] && [ "$(wc -l <"$work/line.log")" -ge 2 ] && break
    sleep 0.1
done
kill -USR1 "${com_sims[61]}"
wait $flash_pid
status=$?
last=$(tr -d '\r' <"$work/out" | tail -1)
com_sim_stop 61 now
[ $status -eq 4 ] && [ "$last" = "3 boards on COM61: 2 finished OK, 1 failed (Communication error: 1); serial numbers 1000 to 1002" ] ||
    fail "failing board: exit $status, '$last'"
serials_ok 3 line.log || fail "failing board: serial numbers"

# Ctrl-C while waiting for the next board: the summary, exit 0; the board left in the
# fixture is not programmed again.
fresh
com_sim_start 61 --boards 2 --swap-after 600000 --dump "$work/devsim61.dump"
(cd "$work" && exec "$run" "$prefix" "$flash_exe" --port COM61 --loop "${serial_args[@]}" fw.bin) \
    >"$work/out" 2>"$work/err" &
flash_pid=$!
for _ in $(seq 600); do
    [ -s "$work/line.log" ] && break
    sleep 0.1
done
sleep 2.5
kill -INT $flash_pid
wait $flash_pid
status=$?
last=$(tr -d '\r' <"$work/out" | tail -1)
com_sim_stop 61 now
[ $status -eq 0 ] && [ "$last" = "1 board on COM61: 1 finished OK, 0 failed; serial numbers 1000 to 1000" ] ||
    fail "Ctrl-C while waiting: exit $status, '$last'"
[ "$(wc -l <"$work/line.log")" -eq 1 ] && counter_is 1001 || fail "Ctrl-C: the board was programmed again"

[ "$failures" -eq 0 ] && echo "PASS: a production line under Wine"
[ "$failures" -eq 0 ]
