# Sourced by the tests that reach zuva-devsim through a real ser2net (Debian's package).
# Needs $work (a folder removed at exit). Everything listens on 127.0.0.1 only, on ports
# the kernel hands out free at the time.

# free_port: prints a TCP port on 127.0.0.1 that nothing listens on now.
free_port() {
    python3 -c 'import socket
s = socket.socket()
s.bind(("127.0.0.1", 0))
print(s.getsockname()[1])'
}

# wait_listening PORT [::1]: until a socket listens on 127.0.0.1:PORT, or on [::1]:PORT (5 s
# at the most). Read from /proc rather than tried: a connection to ser2net would open the
# device.
wait_listening() {
    local want table=/proc/net/tcp
    want=$(printf '0100007F:%04X' "$1")
    if [ "${2:-}" = ::1 ]; then
        want=$(printf '00000000000000000000000001000000:%04X' "$1")
        table=/proc/net/tcp6
    fi
    for _ in $(seq 100); do
        awk -v want="$want" '$2 == want && $4 == "0A" { found = 1 } END { exit !found }' \
            "$table" && return 0
        sleep 0.05
    done
    return 1
}

declare -A running_servers

# Each answer of the bootloader is a few bytes that the host waits for: ser2net's default
# holds received bytes back a while (chardelay, 1 ms at least) and its sockets wait to
# gather small writes (Nagle); a board server for this tool should send at once.
s2n_options=$'  options:\n    chardelay: false\n'

# s2n_start NAME PTY...: one ser2net with, for each pty, an RFC 2217 (telnet) accepter and
# a raw TCP one; sets rfc2217[i] and raw[i] to the ports' URLs, in the order given, and
# $s2n_pid. ser2net opens a pty when a client connects and closes it when it leaves. With
# s2n_host=::1 it listens on the IPv6 loopback instead.
s2n_start() {
    local name=$1 i=0 pty a b host=${s2n_host:-127.0.0.1} url_host=${s2n_host:-127.0.0.1}
    [ "$host" = ::1 ] && url_host='[::1]'
    shift
    local config=$work/$name.yaml
    printf '%%YAML 1.1\n---\n' >"$config"
    rfc2217=()
    raw=()
    for pty in "$@"; do
        a=$(free_port)
        b=$(free_port)
        while [ "$b" = "$a" ]; do b=$(free_port); done
        printf 'connection: &r%d\n  accepter: telnet(rfc2217),tcp(nodelay),%s,%s\n' $i "$host" "$a" >>"$config"
        printf '  connector: serialdev,%s,115200e81,local\n%s' "$pty" "$s2n_options" >>"$config"
        printf 'connection: &t%d\n  accepter: tcp(nodelay),%s,%s\n' $i "$host" "$b" >>"$config"
        printf '  connector: serialdev,%s,115200e81,local\n%s' "$pty" "$s2n_options" >>"$config"
        rfc2217[i]=rfc2217://$url_host:$a
        raw[i]=socket://$url_host:$b
        i=$((i + 1))
    done
    ser2net -n -d -c "$config" -P "$work/$name.pid" >"$work/$name.log" 2>&1 &
    s2n_pid=$!
    running_servers[$s2n_pid]=1
    for url in "${rfc2217[@]}" "${raw[@]}"; do
        wait_listening "${url##*:}" "$host" || fail "ser2net did not listen on $url: $(cat "$work/$name.log")"
    done
}

# s2n_stop PID: ser2net takes seconds over SIGTERM: a short wait, then SIGKILL.
s2n_stop() {
    kill -TERM "$1" 2>/dev/null || true
    for _ in $(seq 10); do
        kill -0 "$1" 2>/dev/null || break
        sleep 0.05
    done
    kill -KILL "$1" 2>/dev/null || true
    wait "$1" 2>/dev/null || true
    unset "running_servers[$1]"
}

# silent_server: a listener on a free port that accepts and never answers; sets
# $silent_port and $silent_pid.
silent_server() {
    silent_port=$(free_port)
    python3 -c 'import socket, sys, time
s = socket.socket()
s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
s.bind(("127.0.0.1", int(sys.argv[1])))
s.listen(8)
held = []
while True:
    held.append(s.accept()[0])' "$silent_port" &
    silent_pid=$!
    running_servers[$silent_pid]=1
    wait_listening "$silent_port" || fail "the silent listener did not come up"
}

# scripted_server MODE: a listener on a free port that does one thing with each client:
# close (accept, then close), reset (accept, then reset the connection), or CMD=VALUE (an
# RFC 2217 server that agrees to everything and answers each line setting as asked, but
# COM-PORT command CMD with VALUE). Sets $scripted_port.
scripted_server() {
    scripted_port=$(free_port)
    python3 -c 'import socket, struct, sys
mode = sys.argv[2]
s = socket.socket()
s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
s.bind(("127.0.0.1", int(sys.argv[1])))
s.listen(8)
IAC, SB, SE, WILL, DO = 255, 250, 240, 251, 253
while True:
    c = s.accept()[0]
    if mode == "reset":
        c.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    if mode in ("close", "reset"):
        c.close()
        continue
    cmd, value = (int(v) for v in mode.split("="))
    c.sendall(bytes([IAC, WILL, 0, IAC, DO, 0, IAC, DO, 44]))
    pending = b""
    while True:
        data = c.recv(4096)
        if not data:
            break
        pending += data
        while (start := pending.find(bytes([IAC, SB, 44]))) >= 0:
            end = pending.find(bytes([IAC, SE]), start)
            if end < 0:
                break
            code, asked = pending[start + 3], pending[start + 4:end]
            answer = asked if code != cmd else value.to_bytes(len(asked), "big")
            c.sendall(bytes([IAC, SB, 44, code + 100]) + answer + bytes([IAC, SE]))
            pending = pending[end + 2:]
    c.close()' "$scripted_port" "$1" &
    running_servers[$!]=1
    wait_listening "$scripted_port" || fail "the scripted server did not come up"
}

# full_server: a listener on a free port whose backlog is full and never accepts: the
# kernel drops further connection requests, and a client's connect runs into its time-out.
# Sets $full_port and $full_pid.
full_server() {
    full_port=$(free_port)
    python3 -c 'import socket, sys, time
s = socket.socket()
s.bind(("127.0.0.1", int(sys.argv[1])))
s.listen(0)
held = []
for _ in range(3):
    c = socket.socket()
    c.setblocking(False)
    c.connect_ex(("127.0.0.1", int(sys.argv[1])))
    held.append(c)
print("full", flush=True)
time.sleep(600)' "$full_port" >"$work/full.out" &
    full_pid=$!
    running_servers[$full_pid]=1
    for _ in $(seq 100); do
        [ -s "$work/full.out" ] && return 0
        sleep 0.05
    done
    fail "the full listener did not come up"
}

s2n_stop_all() {
    for pid in "${!running_servers[@]}"; do s2n_stop "$pid"; done
}
