#!/bin/sh
# Creates (once) and starts, or stops, the private Wine prefix of a build tree.
# Usage: wine-prefix.sh up|down PREFIX
# A new prefix is 32-bit (the shipped i686 programs) unless ZUVA_WINE_ARCH=win64 (an
# x86_64 build on a kernel that runs no 32-bit code); an existing one keeps its own.
set -e
action=$1
export WINEPREFIX="$2"
export WINEDEBUG=-all
. "$(dirname "$0")/wine-env.sh"
case "$action" in
up)
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        mkdir -p "$WINEPREFIX"
        wineboot -i >/dev/null 2>&1 || true
        wineserver -w
        # Without a window manager Wine waits 2 s whenever a top-level window hides.
        wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1
        wineserver -w
    fi
    # A persistent server started before ctest: otherwise services started by the
    # first test inherit ctest's pipes and tests stall. It stays in this session: on its
    # own it becomes a session leader, the first COM port it opens (a simulator's pty)
    # becomes its terminal, and each simulator that ends hangs it up, which makes the
    # server dump all its objects to stderr.
    wineserver -f -p </dev/null >"$WINEPREFIX/wineserver.log" 2>&1 &
    # Ready once its socket is there (Debian's Wine keeps it under a wine-XXXXXX folder).
    server=$(stat -c '%d %i' "$WINEPREFIX" | awk '{ printf "server-%x-%x", $1, $2 }')
    tmp=${TMPDIR:-/tmp}
    ready() {
        for socket in "$tmp"/.wine-"$(id -u)"/"$server"/socket "$tmp"/wine-*/"$server"/socket; do
            [ -S "$socket" ] && return 0
        done
        return 1
    }
    for _ in $(seq 100); do
        ready && break
        sleep 0.05
    done
    wine cmd /c exit >/dev/null 2>&1 || true
    ;;
down)
    # Gone, not just told to go: a server started next must not meet this one's lock.
    wineserver -k >/dev/null 2>&1 || true
    wineserver -w >/dev/null 2>&1 || true
    ;;
*)
    echo "usage: $0 up|down PREFIX" >&2
    exit 64
    ;;
esac
