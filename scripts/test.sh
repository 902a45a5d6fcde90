#!/bin/bash
# Builds both lanes and runs every test: Linux native, Linux with ASan+UBSan, Windows
# x86_64 under Wine, and the shipped i686 product build with its import check.
# Usage: scripts/test.sh            (installs what it needs first)
set -u
cd "$(dirname "$0")/.."
root=$PWD
scripts/install-deps.sh all || exit 1

passed=0
failed=0
status=0
count_ctest() { # ctest log -> add its figures to the totals
    local line total bad
    line=$(grep -E 'tests passed, [0-9]+ tests failed out of [0-9]+' "$1" | tail -1)
    total=$(sed -E 's/.*out of ([0-9]+).*/\1/' <<<"$line")
    bad=$(sed -E 's/.* ([0-9]+) tests failed.*/\1/' <<<"$line")
    if [ -z "$line" ]; then
        echo "!! no ctest summary in $1"
        failed=$((failed + 1))
        return
    fi
    passed=$((passed + total - bad))
    failed=$((failed + bad))
}
lane() { # name: configure, build and test one preset
    local name=$1
    echo "=== $name: build"
    cmake --preset "$name" >"build/build-$name.log" 2>&1 && cmake --build --preset "$name" >>"build/build-$name.log" 2>&1
    if [ $? -ne 0 ]; then
        tail -40 "build/build-$name.log"
        echo "!! $name: build failed"
        failed=$((failed + 1))
        status=1
        return 1
    fi
}
mkdir -p build

for name in linux linux-asan; do
    if lane "$name"; then
        echo "=== $name: test"
        ctest --preset "$name" -j2 --timeout 300 2>&1 | tee "build/ctest-$name.log" | tail -15
        [ "${PIPESTATUS[0]}" -eq 0 ] || status=1
        count_ctest "build/ctest-$name.log"
    fi
done

if lane win64; then
    echo "=== win64: test under Wine"
    # Windows end-to-end tests talk to the Linux zuva-devsim built by the first lane.
    export ZUVA_LINUX_BUILD_DIR="$root/build/linux"
    # Xvfb picks a free display and names it once it is ready to take clients.
    Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>build/xvfb-display >/dev/null 2>&1 &
    xvfb=$!
    for _ in $(seq 100); do
        [ -s build/xvfb-display ] && break
        sleep 0.1
    done
    export DISPLAY=":$(head -1 build/xvfb-display)"
    echo "    Xvfb on $DISPLAY"
    tests/win32/wine-prefix.sh up "$root/build/win64/wineprefix"
    ctest --preset win64 -j2 --timeout 300 2>&1 | tee build/ctest-win64.log | tail -15
    [ "${PIPESTATUS[0]}" -eq 0 ] || status=1
    count_ctest build/ctest-win64.log
    tests/win32/wine-prefix.sh down "$root/build/win64/wineprefix"
    kill $xvfb 2>/dev/null
fi

if lane win32; then
    echo "=== win32: the shipped product"
    if tests/win32/check-product.sh build/win32; then
        passed=$((passed + 1))
    else
        failed=$((failed + 1))
        status=1
    fi
fi
echo "all lanes: $passed passed, $failed failed"
[ "$failed" -eq 0 ] || status=1
exit $status
