#!/bin/sh
# Installs what the build, the tests and the demo need, from Debian's packages.
# Usage: install-deps.sh [linux|all]   (linux: only what the native lane and demo need)
set -e
lane=${1:-all}
pkgs="cmake ninja-build g++ libgtest-dev googletest socat procps file clang-format git"
if [ "$lane" = all ]; then
    # Wine: the 64-bit loader runs the x86_64 test lane; this kernel runs no 32-bit
    # Linux programs, so the i686 product is built and inspected, not run.
    pkgs="$pkgs g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix binutils-mingw-w64-i686 \
wine wine64 xvfb xauth x11-utils imagemagick fonts-wine binutils-arm-none-eabi \
clang libclang-rt-14-dev valgrind"
fi
missing=""
for p in $pkgs; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing="$missing $p"
done
if [ -n "$missing" ]; then
    echo "installing:$missing"
    if [ "$(id -u)" -ne 0 ]; then sudo=sudo; else sudo=; fi
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends $missing >/dev/null
fi
