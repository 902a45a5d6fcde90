#!/bin/sh
# Runs the Win32 serial link test under Wine against a pty: socat makes a pty whose far
# end echoes every byte, and the prefix's dosdevices/comN link makes it a COM port. Each
# test case gets a fresh pty, since a pty refuses a second 8E1 configuration.
# Usage: serial-pty-test.sh WINE_RUN PREFIX TEST_EXE [COM_NUMBER]
set -u
run=$1
prefix=$2
exe=$3
number=${4:-42}
command -v socat >/dev/null 2>&1 || { echo "socat not installed: skipped"; exit 77; }
[ -d "$prefix/dosdevices" ] || { echo "no Wine prefix at $prefix (wine-prefix.sh up)"; exit 1; }
link="$prefix/dosdevices/com$number"
export ZUVA_TEST_COM=$number

socat_pid=
stop_peer() {
    [ -n "$socat_pid" ] && kill "$socat_pid" 2>/dev/null && wait "$socat_pid" 2>/dev/null
    socat_pid=
    rm -f "$link"
}
trap stop_peer EXIT

start_peer() {
    rm -f "$link"
    socat pty,raw,echo=0,link="$link" PIPE &
    socat_pid=$!
    tries=0
    while [ ! -e "$link" ] && [ $tries -lt 100 ]; do
        sleep 0.05
        tries=$((tries + 1))
    done
    [ -e "$link" ] || { echo "socat made no pty at $link"; return 1; }
}

# The Linux side's view of the line after the case: the settings it made before the open
# (9600, RTS/CTS, XON/XOFF) are back once the link has closed the port.
check_line() {
    settings=" $(stty -F "$link" -a | tr '\n;' '  ') " || return 1
    for want in "speed 9600 baud" "crtscts" "ixon" "ixoff" "cs8" "cread"; do
        case "$settings" in
        *" $want "*) ;;
        *)
            echo "line settings lack '$want':$settings"
            return 1
            ;;
        esac
    done
}

cases=$("$run" "$prefix" "$exe" --gtest_list_tests | tr -d '\r' | awk '
    /^[^ ]/ { suite = $1 } /^  [^ ]/ { print suite $1 }')
[ -n "$cases" ] || { echo "no test cases listed by $exe"; exit 1; }
failed=0
for case in $cases; do
    start_peer || { failed=1; continue; }
    if ! "$run" "$prefix" "$exe" --gtest_filter="$case" | tr -d '\r'; then
        failed=1
    elif [ "${case#*.}" = OpenConfiguresTheLineAndCloseGivesTheOldOneBack ] && ! check_line; then
        echo "[  FAILED  ] $case: line settings"
        failed=1
    fi
    stop_peer
done
exit $failed
