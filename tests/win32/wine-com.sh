# Sourced by the Wine tests that run a Windows tool against the Linux zuva-devsim: the
# simulator's pty becomes COMn through the prefix's dosdevices/comN link, so the real
# Win32 serial code talks to the virtual device. The script sets $run (wine-run.sh),
# $prefix and $source first; $1 names its work folder.
# The Linux build tree with zuva-devsim: $ZUVA_LINUX_BUILD_DIR, default SOURCE_DIR/build/linux.
linux_build=${ZUVA_LINUX_BUILD_DIR:-$source/build/linux}
devsim=$linux_build/tools/devsim/zuva-devsim
[ -x "$devsim" ] || { echo "SKIP: no zuva-devsim in $linux_build (build the linux lane first)"; exit 77; }
[ -d "$prefix/dosdevices" ] || { echo "no Wine prefix at $prefix (wine-prefix.sh up)"; exit 1; }

work=$(mktemp -d "${TMPDIR:-/tmp}/zuva-wine-$1.XXXXXX")
declare -A com_sims # COM number -> the pid of the simulator behind it
com_used=()
com_cleanup() {
    for n in "${!com_sims[@]}"; do kill "${com_sims[$n]}" 2>/dev/null; done
    for n in "${com_used[@]}"; do rm -f "$prefix/dosdevices/com$n"; done
    rm -rf "$work"
}
trap com_cleanup EXIT
failures=0

# fail MESSAGE: counts a failure and shows the ends of the last run's outputs.
fail() {
    echo "FAIL: $*"
    for f in "$work"/out "$work"/err "$work"/devsim*.out "$work"/devsim*.err; do
        [ -s "$f" ] && { echo "--- ${f##*/}"; tail -10 "$f"; }
    done
    failures=$((failures + 1))
}

# com_sim_start N [devsim options]: zuva-devsim behind COMN, its stdout in
# $work/devsimN.out and stderr in $work/devsimN.err. Fails when no link comes in 5 s.
com_sim_start() {
    local n=$1 link=$prefix/dosdevices/com$1
    shift
    com_used+=("$n")
    rm -f "$link"
    "$devsim" --link "$link" "$@" >"$work/devsim$n.out" 2>"$work/devsim$n.err" &
    com_sims[$n]=$!
    for _ in $(seq 100); do
        [ -L "$link" ] && return 0
        sleep 0.05
    done
    echo "zuva-devsim made no link at $link"
    return 1
}

# com_sim_once N [devsim options]: as com_sim_start, a simulator that serves one client,
# then writes FLASH to $work/dump.bin.
com_sim_once() {
    rm -f "$work/dump.bin"
    com_sim_start "$1" --once --dump "$work/dump.bin" "${@:2}"
}

# com_sim_stop N [now]: gives the simulator on COMN 5 s to exit after its client (none
# with "now"), then stops it; $summary is its last line on stdout.
com_sim_stop() {
    local n=$1 pid=${com_sims[$1]:-}
    [ -n "$pid" ] || return 0
    if [ "${2:-}" != now ]; then
        for _ in $(seq 100); do
            kill -0 "$pid" 2>/dev/null || break
            sleep 0.05
        done
    fi
    kill -INT "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
    unset "com_sims[$n]"
    summary=$(tail -1 "$work/devsim$n.out")
}

# wine_in_work EXE ARGS...: EXE under Wine in the work folder (relative paths are the same
# for both sides), stdout in $work/out and stderr in $work/err; sets $status, and $first
# and $last (stdout's first and last line, CR removed).
wine_in_work() {
    local exe=$1
    shift
    (cd "$work" && timeout 120 "$run" "$prefix" "$exe" "$@") >"$work/out" 2>"$work/err"
    status=$?
    first=$(tr -d '\r' <"$work/out" | head -1)
    last=$(tr -d '\r' <"$work/out" | tail -1)
}

# wine_on_sim N "DEVSIM OPTIONS" EXE ARGS...: one run of EXE against a fresh simulator on
# COMN (com_sim_once); $summary, $status, $first and $last as above.
wine_on_sim() {
    local n=$1 options=$2
    shift 2
    if com_sim_once "$n" $options; then
        wine_in_work "$@"
    else
        status=255 first= last="no simulator on COM$n"
    fi
    com_sim_stop "$n"
}
