#!/bin/bash
# zuva-flash.exe under Wine over the network (Winsock): a real ser2net on 127.0.0.1 in front
# of Linux zuva-devsim ptys, as rfc2217:// and socket://; then a refused and a silent server.
# Usage: test_ser2net_wine.sh WINE_RUN PREFIX ZUVA_FLASH_EXE SOURCE_DIR
set -u
run=$1
prefix=$2
flash_exe=$3
source=$4
. "$(dirname "$0")/wine-com.sh" ser2net
. "$source/tests/e2e/ser2net.sh"
. "$source/tools/devsim/wait-pty.sh"
command -v ser2net >/dev/null || { echo "SKIP: ser2net missing (scripts/install-deps.sh)"; exit 77; }
declare -A boards
trap 'for p in "${boards[@]}"; do kill -INT "$p" 2>/dev/null; done; s2n_stop_all; com_cleanup' EXIT

# board NAME [devsim options]: a simulator for one client; its pty in $pty, FLASH in
# $work/NAME.bin after it ends (board_end NAME).
board() {
    local name=$1
    shift
    "$devsim" --once --dump "$work/$name.bin" --transcript "$work/$name.txt" "$@" \
        >"$work/devsim-$name.out" 2>"$work/devsim-$name.err" &
    boards[$name]=$!
    pty=$(devsim_wait_pty "$work/devsim-$name.out") || fail "zuva-devsim $name did not come up"
}
board_end() {
    for _ in $(seq 100); do
        kill -0 "${boards[$1]}" 2>/dev/null || break
        sleep 0.05
    done
    kill -INT "${boards[$1]}" 2>/dev/null
    wait "${boards[$1]}" 2>/dev/null
    unset "boards[$1]"
}
flashed() { # NAME: the board holds the image, byte for byte
    cmp -s -n 65536 "$work/ff.bin" "$work/$1.bin" || fail "board $1 does not hold the image"
}

python3 -c 'import random, sys
r = random.Random(7)
sys.stdout.buffer.write(bytes(0xFF if r.random() < 0.5 else r.randrange(256) for _ in range(65536)))' \
    >"$work/ff.bin"

# rfc2217 with --baud and --verify: the device sees 57600 from the first byte.
board a --timing
s2n_start s2n "$pty"
wine_in_work "$flash_exe" --port "${rfc2217[0]}" --baud 57600 --verify ff.bin
board_end a
s2n_stop "$s2n_pid"
[ "$status" -eq 0 ] && [ "$last" = "Finished OK" ] || fail "rfc2217: exit $status, '$last'"
flashed a
head -1 "$work/a.txt" | grep -q 'line now 57600 baud' || fail "the rate did not reach the device"

# Two remote boards in one call, one over each scheme.
board b
pty_b=$pty
board c
s2n_start s2n "$pty_b" "$pty"
wine_in_work "$flash_exe" --json --port "${rfc2217[0]}" --port "${raw[1]}" ff.bin
board_end b
board_end c
s2n_stop "$s2n_pid"
[ "$status" -eq 0 ] || fail "two boards: exit $status"
python3 - "$work/out" "${rfc2217[0]}" "${raw[1]}" <<'PY' || fail "JSON lines"
import json, sys
objects = [json.loads(line) for line in open(sys.argv[1]).read().splitlines()]
assert [(o["port"], o["result"]) for o in objects] == [(sys.argv[2], 0), (sys.argv[3], 0)], objects
PY
flashed b
flashed c

# Refused within 10 s with the cause; a silent server is a silent device.
closed=$(free_port)
start=$(date +%s)
wine_in_work "$flash_exe" --port "rfc2217://127.0.0.1:$closed" ff.bin
[ "$status" -eq 1 ] && [ $(($(date +%s) - start)) -lt 10 ] || fail "refused: exit $status"
grep -qi "cannot open rfc2217://127.0.0.1:$closed: ..*\. check that the server is running" "$work/err" ||
    fail "refused: no cause: $(cat "$work/err")"
silent_server
wine_in_work "$flash_exe" --port "socket://127.0.0.1:$silent_port" ff.bin
[ "$status" -eq 8 ] || fail "silent: exit $status"

# Servers that close at once, never negotiate, or set another parity: class 1, named.
scripted_server close
closing=$scripted_port
scripted_server 3=1
while IFS='|' read -r url cause; do
    wine_in_work "$flash_exe" --port "$url" ff.bin
    [ "$status" -eq 1 ] && tr -d '\r' <"$work/err" | grep -qF "$cause" ||
        fail "$url: exit $status, $(cat "$work/err")"
done <<EOF
socket://127.0.0.1:$closing|the server closed the connection. The server took the connection and let it go
rfc2217://127.0.0.1:$silent_port|did not negotiate RFC 2217 within 3 s. For a raw TCP port, use socket://
rfc2217://127.0.0.1:$scripted_port|the server set parity none, not even
EOF

[ "$failures" -eq 0 ] && echo "PASS: zuva-flash.exe through ser2net"
[ "$failures" -eq 0 ]
