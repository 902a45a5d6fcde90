#!/bin/bash
# zuva-flash over the network: a real ser2net in front of zuva-devsim's pty, reached as
# rfc2217:// and socket://, and servers that refuse or never answer.
# Usage: test_ser2net.sh BUILD_DIR SOURCE_DIR CASE
set -u
. "$(dirname "$0")/devsim-e2e.sh"
. "$(dirname "$0")/ser2net.sh"
trap 's2n_stop_all; cleanup' EXIT

fail() {
    echo "FAIL: $*"
    for f in flash.out flash.err devsim.out devsim.err s2n.log; do
        [ -s "$work/$f" ] && { echo "--- $f"; tail -20 "$work/$f"; }
    done
    exit 1
}
command -v ser2net >/dev/null || fail "ser2net missing (scripts/install-deps.sh)"

expect_said() { # pattern: on stderr
    grep -qiF -- "$1" "$work/flash.err" || fail "stderr lacks '$1': $(cat "$work/flash.err")"
}

# A board behind ser2net: zuva-devsim for one client, its FLASH in NAME.bin.
board() { # NAME [devsim options]
    local name=$1
    shift
    sim_launch "$name" --once --dump "$work/$name.bin" --transcript "$work/$name.txt" "$@"
}

# 64 KiB rich in 0xFF (the telnet escape byte), 0x11/0x13 (XON/XOFF), the sync and ACK bytes;
# no block of 0xFF alone, so that every escape travels.
python3 -c 'import random, sys
r = random.Random(20)
pick = [0xFF] * 6 + [0x11, 0x13, 0x7F, 0x79, 0x1F, 0x00]
data = bytearray(r.choice(pick) if r.random() < 0.7 else r.randrange(256) for _ in range(65536))
sys.stdout.buffer.write(data)' >"$work/ff.bin"

case "$case_name" in
schemes)
    # Byte for byte over each scheme, and over IPv6 where the machine has its loopback; each
    # run also reads every block back.
    schemes="rfc2217 raw"
    grep -q '^0\{31\}1 ' /proc/net/if_inet6 2>/dev/null && schemes="$schemes ipv6"
    for scheme in $schemes; do
        board devsim
        s2n_host=
        [ $scheme = ipv6 ] && s2n_host=::1
        s2n_start s2n "$pty"
        url=${rfc2217[0]}
        [ $scheme = raw ] && url=${raw[0]}
        run_flash --port "$url" --verify "$work/ff.bin"
        sim_finish "$sim" devsim
        s2n_stop "$s2n_pid"
        echo "$url: $status $last ($took_ms ms)"
        expect_result 0 "Finished OK"
        expect_flash "$work/ff.bin" "$work/devsim.bin"
        grep -q 'read-out protected: yes' <<<"$summary" || fail "not protected: $summary"
    done
    ;;
baud)
    # --baud through SET-BAUDRATE: the simulator sees the whole conversation at 57600.
    board devsim --timing
    s2n_start s2n "$pty"
    run_flash --port "${rfc2217[0]}" --baud 57600 "$work/ff.bin"
    sim_finish "$sim" devsim
    expect_result 0 "Finished OK"
    expect_flash "$work/ff.bin" "$work/devsim.bin"
    [ "$(grep -ac 'line now' "$work/devsim.txt")" -eq 1 ] &&
        head -1 "$work/devsim.txt" | grep -q 'line now 57600 baud' ||
        fail "not all at 57600: $(grep -a 'line now' "$work/devsim.txt")"
    ;;
gang)
    # Two remote boards and a local one in one call, JSON per port.
    board a
    pty_a=$pty sim_a=$sim
    board b
    pty_b=$pty sim_b=$sim
    board c
    s2n_start s2n "$pty_a" "$pty_b"
    run_flash --json --port "${rfc2217[0]}" --port "${raw[1]}" --port "$pty" "$work/ff.bin"
    sim_finish "$sim_a" a
    sim_finish "$sim_b" b
    sim_finish "$sim" c
    [ "$status" -eq 0 ] || fail "gang exit $status: $(cat "$work/flash.out")"
    python3 - "$work/flash.out" "${rfc2217[0]}" "${raw[1]}" "$pty" <<'PY' || fail "JSON: $(cat "$work/flash.out")"
import json, sys
lines = [json.loads(l) for l in open(sys.argv[1])]
assert [l["port"] for l in lines] == sys.argv[2:5], lines
assert all(l["result"] == 0 and l["bytes"] == 65536 for l in lines), lines
PY
    for name in a b c; do expect_flash "$work/ff.bin" "$work/$name.bin"; done
    ;;
unreachable)
    # Refused, unknown, malformed, not RFC 2217: class 1 within 10 s, the cause named (the
    # resolver's words for an unknown name depend on the machine's DNS).
    closed=$(free_port)
    board devsim
    ser2net_telnet=$(free_port)
    printf '%%YAML 1.1\n---\nconnection: &n\n  accepter: telnet,tcp,127.0.0.1,%s\n  connector: serialdev,%s,115200e81,local\n' \
        "$ser2net_telnet" "$pty" >"$work/plain.yaml"
    ser2net -n -d -c "$work/plain.yaml" -P "$work/plain.pid" >"$work/s2n.log" 2>&1 &
    running_servers[$!]=1
    wait_listening "$ser2net_telnet" || fail "ser2net did not listen"
    while IFS='|' read -r port cause; do
        # Machines without an IPv6 loopback cannot refuse on it.
        [[ $port == *'[::1]'* ]] && ! grep -q '^0\{31\}1 ' /proc/net/if_inet6 2>/dev/null && continue
        run_flash --port "$port" "$work/ff.bin"
        echo "$port -> $status in $took_ms ms"
        expect_result 1 "Can't open port"
        [ "$took_ms" -lt 10000 ] || fail "$port took $took_ms ms"
        expect_said "cannot open $port: $cause"
    done <<EOF
rfc2217://127.0.0.1:$closed|Connection refused. Check that the server is running
socket://[::1]:$closed|Connection refused
rfc2217://no-such-host.invalid:4001|
socket://127.0.0.1|not HOST:PORT
socket://::1:4001|not HOST:PORT
rfc2217://[::1:4001|not HOST:PORT
rfc2217://127.0.0.1:65536|not HOST:PORT
rfc2217://127.0.0.1:$ser2net_telnet|the server does not offer RFC 2217
EOF
    ;;
connect-timeout)
    # No answer to the connection request at all: class 1 within 10 s, the cause named.
    full_server
    run_flash --port "socket://127.0.0.1:$full_port" "$work/ff.bin"
    echo "exit $status in $took_ms ms"
    expect_result 1 "Can't open port"
    [ "$took_ms" -lt 10000 ] || fail "took $took_ms ms"
    expect_said "cannot open socket://127.0.0.1:$full_port: Connection timed out"
    ;;
silent)
    # A raw TCP server that accepts and never answers: over socket:// a silent device (8);
    # over rfc2217:// no telnet answer, refused (1) with the advice to use socket://, as is
    # ser2net's own raw port, before the bootloader sees a sync byte.
    silent_server
    board devsim
    s2n_start s2n "$pty"
    while IFS='|' read -r url want text cause; do
        run_flash --port "$url" "$work/ff.bin"
        echo "$url -> $status in $took_ms ms"
        expect_result "$want" "$text"
        [ "$took_ms" -lt 15000 ] || fail "$url took $took_ms ms"
        expect_said "$cause"
    done <<EOF
socket://localhost:$silent_port|8|Zuva not present|no answer from a bootloader on socket://localhost:$silent_port
rfc2217://127.0.0.1:$silent_port|1|Can't open port|did not negotiate RFC 2217 within 3 s. For a raw TCP port, use socket://
rfc2217://127.0.0.1:${raw[0]##*:}|1|Can't open port|did not negotiate RFC 2217 within 3 s. For a raw TCP port, use socket://
EOF
    s2n_stop "$s2n_pid"
    sim_stop "$sim" devsim
    ! grep -aq ' sync$' "$work/devsim.txt" || fail "the bootloader saw a sync byte"
    ;;
closing)
    # A server that accepts, then closes or resets at once, and ser2net whose device is
    # missing: class 1 with the cause, over both schemes. Whether the open or the first
    # sync meets the close depends on timing, so the cause and the advice are checked.
    missing=$(free_port)
    printf '%%YAML 1.1\n---\nconnection: &m\n  accepter: tcp,127.0.0.1,%s\n  connector: serialdev,%s,115200e81,local\n' \
        "$missing" "$work/no-such-tty" >"$work/missing.yaml"
    ser2net -n -d -c "$work/missing.yaml" -P "$work/missing.pid" >"$work/s2n.log" 2>&1 &
    running_servers[$!]=1
    wait_listening "$missing" || fail "ser2net did not listen"
    scripted_server close
    closing=$scripted_port
    scripted_server reset
    while IFS='|' read -r url cause; do
        run_flash --port "$url" "$work/ff.bin"
        echo "$url -> $status in $took_ms ms"
        expect_result 1 "Can't open port"
        expect_said "$cause"
    done <<EOF
socket://127.0.0.1:$closing|the server closed the connection. The server took the connection and let it go
rfc2217://127.0.0.1:$closing|The server took the connection and let it go
socket://127.0.0.1:$scripted_port|Connection reset by peer. The server took the connection and let it go
rfc2217://127.0.0.1:$scripted_port|Connection reset by peer
socket://127.0.0.1:$missing|The server took the connection and let it go
EOF
    ;;
settings)
    # Every line setting checked against the server's answer: each one answered otherwise
    # is refused (1) and named.
    while IFS='|' read -r answer cause; do
        scripted_server "$answer"
        run_flash --port "rfc2217://127.0.0.1:$scripted_port" "$work/ff.bin"
        echo "$answer -> $status"
        expect_result 1 "Can't open port"
        expect_said "the server set $cause. Let the server's port take"
    done <<'EOF'
1=9600|its line at 9600 baud, not 115200
2=7|7 data bits, not 8
3=1|parity none, not even
3=2|parity odd, not even
4=2|2 stop bits, not 1
EOF
    ;;
lost)
    # The server goes away mid-run: a communication error, at once.
    board devsim --timing
    s2n_start s2n "$pty"
    "$flash" --port "${rfc2217[0]}" "$work/ff.bin" >"$work/flash.out" 2>"$work/flash.err" &
    flash_pid=$!
    for _ in $(seq 300); do
        grep -aq 'Write Memory #20$' "$work/devsim.txt" 2>/dev/null && break
        sleep 0.05
    done
    kill -KILL "$s2n_pid"
    sent=$(date +%s%N)
    wait $flash_pid
    status=$?
    took_ms=$((($(date +%s%N) - sent) / 1000000))
    last=$(tail -1 "$work/flash.out")
    expect_result 4 "Communication error"
    [ "$took_ms" -lt 3000 ] || fail "took $took_ms ms to notice"
    expect_said "the connection to ${rfc2217[0]} was lost during the block at 0x080"
    ;;
ctrl-c)
    # Ctrl-C in the block loop and while a silent server is awaited: 130, within a second.
    board devsim --timing
    s2n_start s2n "$pty"
    silent_server
    for url in "${rfc2217[0]}" "rfc2217://127.0.0.1:$silent_port"; do
        "$flash" --port "$url" "$work/ff.bin" >"$work/flash.out" 2>"$work/flash.err" &
        flash_pid=$!
        if [ "$url" = "${rfc2217[0]}" ]; then
            for _ in $(seq 300); do
                grep -aq 'Write Memory #20$' "$work/devsim.txt" 2>/dev/null && break
                sleep 0.05
            done
        else
            sleep 1
        fi
        interrupt_flash
        echo "$url -> $status in $took_ms ms"
        expect_result 130 "Interrupted"
        [ "$took_ms" -lt 1000 ] || fail "$url: the run took $took_ms ms to stop"
    done
    ;;
usage)
    # socket:// keeps the server's line settings: --baud and --boot are refused up front.
    for args in "--baud 57600" "--baud 115200" "--boot boot0=rts"; do
        run_flash --port socket://127.0.0.1:4002 $args "$work/ff.bin"
        [ "$status" -eq 64 ] || fail "'$args' gave $status"
        expect_said 'socket:// port keeps the server'
        run_flash --port /dev/null --port socket://127.0.0.1:4002 $args "$work/ff.bin"
        [ "$status" -eq 64 ] || fail "gang with '$args' gave $status"
    done
    ;;
*)
    fail "unknown case $case_name"
    ;;
esac
echo "PASS: $case_name"
