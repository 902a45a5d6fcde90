# Sourced by the end-to-end scripts, with the script's own arguments BUILD_DIR SOURCE_DIR
# CASE: the programs, a work folder removed at exit with every simulator still running,
# and zuva-devsim started and stopped alike. The script defines fail MESSAGE, which exits.
build=$1
source=$2
case_name=$3
flash=$build/cli/zuva-flash
devsim=$build/tools/devsim/zuva-devsim
pack=$build/tools/pack/zuva-pack
. "$source/tools/devsim/wait-pty.sh"
work=$(mktemp -d "${TMPDIR:-/tmp}/zuva-e2e.XXXXXX")
declare -A running_sims
cleanup() {
    for pid in "${!running_sims[@]}"; do kill "$pid" 2>/dev/null; done
    rm -rf "$work"
}
trap cleanup EXIT

# sim_launch NAME [devsim options]: zuva-devsim in the background, its stdout in
# $work/NAME.out and stderr in $work/NAME.err; sets $sim (its pid) and $pty once the pty
# is there.
sim_launch() {
    local name=$1
    shift
    "$devsim" "$@" >"$work/$name.out" 2>"$work/$name.err" &
    sim=$!
    running_sims[$sim]=1
    pty=$(devsim_wait_pty "$work/$name.out") || fail "zuva-devsim $name did not come up"
}

# sim_stop PID NAME: stops the simulator now; $summary is its last line on stdout. Returns
# its exit status.
sim_stop() {
    kill -INT "$1" 2>/dev/null
    wait "$1" 2>/dev/null
    local status=$?
    unset "running_sims[$1]"
    summary=$(tail -1 "$work/$2.out")
    return $status
}

# sim_finish PID NAME: as sim_stop, after giving a simulator that serves one client 5 s to
# exit on its own once the client closed the port.
sim_finish() {
    for _ in $(seq 100); do
        kill -0 "$1" 2>/dev/null || break
        sleep 0.05
    done
    sim_stop "$@"
}

# run_flash ARGS...: runs zuva-flash, timed; sets $status, $last (last line of stdout) and
# $took_ms.
run_flash() {
    local start
    start=$(date +%s%N)
    "$flash" "$@" >"$work/flash.out" 2>"$work/flash.err"
    status=$?
    took_ms=$((($(date +%s%N) - start) / 1000000))
    last=$(tail -1 "$work/flash.out")
}

expect_result() { # status text
    [ "$status" -eq "$1" ] || fail "exit status $status, expected $1"
    [ "$last" = "$2" ] || fail "last line '$last', expected '$2'"
}

# expect_flash IMAGE [DUMP]: the dump (default dump.bin) starts with IMAGE and is erased
# behind it.
expect_flash() {
    local size dump=${2:-$work/dump.bin}
    size=$(stat -c %s "$1")
    cmp -n "$size" "$1" "$dump" || fail "FLASH differs from $1"
    tail -c +$((size + 1)) "$dump" | tr -d '\377' | cmp -s - /dev/null ||
        fail "FLASH programmed behind the image"
}

# interrupt_flash: Ctrl-C to the zuva-flash started in the background as $flash_pid, and
# its end awaited; sets $status, $last and $took_ms (from the signal to the exit).
interrupt_flash() {
    local sent
    sent=$(date +%s%N)
    kill -INT "$flash_pid"
    wait "$flash_pid"
    status=$?
    took_ms=$((($(date +%s%N) - sent) / 1000000))
    last=$(tail -1 "$work/flash.out")
}
