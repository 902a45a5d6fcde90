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
