#!/bin/bash
# Demo: flashes the sample firmware (raw, then Intel HEX) into the virtual STM32F103 and
# shows that FLASH holds it. Installs what it needs, builds zuva-flash and zuva-devsim (Linux preset), starts the
# simulator in real time (115200 8E1, datasheet programming and erase times), runs
# zuva-flash with its progress bar, then compares the FLASH dump with the image.
# Usage: scripts/demo.sh [IMAGE]   (default: samples/blink.bin, then samples/blink.hex;
#        ZUVA_BUILD_DIR picks another build tree than build/linux)
set -eu
cd "$(dirname "$0")/.."
root=$PWD
. "$root/tools/devsim/wait-pty.sh"
image=${1:-$root/samples/blink.bin}

step() { printf '\n\033[1m== %s\033[0m\n' "$*"; }

step "Installing the build tools (Debian packages)"
scripts/install-deps.sh linux

step "Building zuva-flash and zuva-devsim (preset linux)"
bin=${ZUVA_BUILD_DIR:-$root/build/linux}
cmake --preset linux -B "$bin" >/dev/null
cmake --build "$bin" --target zuva-flash zuva-devsim | tail -1
work=$(mktemp -d "${TMPDIR:-/tmp}/zuva-demo.XXXXXX")
sim_pid=
trap '[ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null; rm -rf "$work"' EXIT

if [ ! -f "$image" ] && command -v arm-none-eabi-as >/dev/null; then
    samples/make-samples.sh
fi
[ -f "$image" ] || { echo "no image $image"; exit 1; }

hex=${image%.*}.hex
if [ "$#" -eq 0 ] && [ -f "$hex" ]; then
    images=("$image" "$hex") # the sample in both formats
else
    images=("$image")
fi

# flash IMAGE: one run into a fresh, protected device holding old firmware; the FLASH dump
# is then compared with the image (a .hex with its .bin twin beside it).
flash() {
    local image=$1 expected=${1%.*}.bin
    step "Starting the virtual device (zuva-devsim --timing)"
    head -c 8192 /dev/urandom >"$work/old.bin" # last release's firmware, say
    "$bin/tools/devsim/zuva-devsim" --timing --once --dump "$work/flash.bin" \
        --flash-in "$work/old.bin" --readout-protected >"$work/devsim.out" &
    sim_pid=$!
    pty=$(devsim_wait_pty "$work/devsim.out") || { echo "zuva-devsim did not come up" >&2; exit 1; }
    echo "bootloader waiting on $pty (read-out protected, old contents in FLASH, real-chip write rules)"

    step "zuva-flash --port $pty $(basename "$image")"
    set +e
    "$bin/cli/zuva-flash" --port "$pty" "$image"
    status=$?
    set -e
    echo "exit status: $status"
    wait "$sim_pid" || true
    sim_pid=

    step "What the device holds now"
    tail -1 "$work/devsim.out"
    [ -f "$expected" ] || { echo "no $expected to compare with"; return "$status"; }
    size=$(stat -c %s "$expected")
    if cmp -n "$size" "$expected" "$work/flash.bin" &&
        tail -c +$((size + 1)) "$work/flash.bin" | tr -d '\377' | cmp -s - /dev/null; then
        echo "FLASH matches $(basename "$image") ($size bytes from 0x08000000, erased behind)"
    else
        echo "FLASH differs from the image"
        exit 1
    fi
    return "$status"
}

for one in "${images[@]}"; do
    flash "$one" || exit $?
done
