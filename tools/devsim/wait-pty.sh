# Sourced by the scripts that start zuva-devsim in the background.
# devsim_wait_pty FILE: prints the pty path that zuva-devsim wrote as the first line of
# FILE (its standard output) once the device node exists; fails after 5 s.
devsim_wait_pty() {
    local pty
    for _ in $(seq 100); do
        pty=$(head -1 "$1" 2>/dev/null || true)
        if [ -n "$pty" ] && [ -e "$pty" ]; then
            echo "$pty"
            return 0
        fi
        sleep 0.05
    done
    return 1
}
