#!/bin/sh
# Installs what the build, the tests and the demo need, from Debian's packages.
# Usage: install-deps.sh [linux|all]   (linux: only what the native lane and demo need)
set -e
lane=${1:-all}
pkgs="cmake ninja-build g++ libgtest-dev googletest socat procps file clang-format git \
zlib1g-dev srecord python3 man-db dpkg-dev osslsigncode openssl"
if [ "$lane" = all ]; then
    # Both halves of Wine: wine32 (from the i386 architecture) runs the shipped i686
    # programs and their tests where the kernel runs 32-bit code, wine64 an x86_64 build
    # of them where it does not (scripts/test.sh chooses).
    pkgs="$pkgs g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix binutils-mingw-w64-i686 \
wine wine32:i386 wine64 xvfb xauth x11-utils imagemagick fonts-wine binutils-arm-none-eabi \
clang libclang-rt-14-dev valgrind libz-mingw-w64-dev"
fi
missing=""
for p in $pkgs; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing="$missing $p"
done
if [ -n "$missing" ]; then
    echo "installing:$missing"
    if [ "$(id -u)" -ne 0 ]; then sudo=sudo; else sudo=; fi
    if [ "$lane" = all ] && ! dpkg --print-foreign-architectures | grep -qx i386; then
        $sudo dpkg --add-architecture i386
    fi
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends $missing >/dev/null
fi
