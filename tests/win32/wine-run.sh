#!/bin/sh
# ctest's emulator for the Windows lane: runs one program under Wine in the build tree's
# private prefix (created by tests/win32/wine-prefix.sh, which test.sh calls first).
# Usage: wine-run.sh PREFIX PROGRAM.exe [ARG...]
prefix=$1
shift
export WINEPREFIX="$prefix"
. "$(dirname "$0")/wine-env.sh"
# Quiet, but a program that cannot be loaded still says why.
export WINEDEBUG="${WINEDEBUG:--all,err+module}"
exec wine "$@"
