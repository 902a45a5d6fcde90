#!/bin/bash
# Builds every lane and runs every test: Linux native, Linux with ASan+UBSan, the shipped
# i686 Windows build (its import and size check) and an x86_64 Windows build. The Windows
# tests run on the i686 build under Wine's 32-bit loader where this kernel runs 32-bit
# code, else on the x86_64 build under 64-bit Wine; one line says which.
# Prints one line per step, ctest's summaries and the output of failing tests; the rest
# goes to the logs under build/ that the lines name.
# Usage: scripts/test.sh            (installs what it needs first)
set -u
cd "$(dirname "$0")/.." || exit 1
root=$PWD
mkdir -p build
started=$SECONDS
if ! scripts/install-deps.sh all >build/install-deps.log 2>&1; then
    tail -20 build/install-deps.log
    echo "!! install-deps.sh failed (build/install-deps.log)"
    exit 1
fi

passed=0
failed=0
note() { printf '%-34s %s\n' "$1" "$2"; }
elapsed() { printf '%dm%02ds' $(((SECONDS - $1) / 60)) $(((SECONDS - $1) % 60)); }

# Ninja's last [n/N] in a log, once a minute, while the build runs in the background.
progress() { # name log pid
    local ticks=0
    while kill -0 "$3" 2>/dev/null; do
        sleep 1
        ticks=$((ticks + 1))
        if [ $((ticks % 60)) -eq 0 ]; then
            note "    $1: building" "$(grep -o '^\[[0-9]*/[0-9]*\]' "$2" | tail -1)"
        fi
    done
}

build() { # preset [cache options]: configure and build
    local name=$1 log=build/build-$1.log t=$SECONDS
    shift
    (cmake --preset "$name" "$@" && cmake --build --preset "$name" -j2) >"$log" 2>&1 &
    local pid=$!
    progress "$name" "$log" "$pid"
    if ! wait "$pid"; then
        grep -E -B2 -A12 'error:|FAILED:' "$log" | head -60
        note "!! $name: build failed" "$log"
        failed=$((failed + 1))
        return 1
    fi
    note "=== $name: build" "ok in $(elapsed "$t") ($log)"
}

# Failing tests' output from a ctest log: the block behind each failed status line, 400
# lines at the most.
failures() { # log
    awk '/^ *Start +[0-9]+: / || /^[0-9]+% tests passed/ { show = 0; next }
         /^ *[0-9]+\/[0-9]+ Test +#/ { show = ($0 !~ /(Passed|\*\*\*Skipped) +[0-9.]+ sec/) }
         show && ++n <= 400' "$1"
}

tests() { # preset: run its ctest, show its summary, add its figures to the totals
    local name=$1 log=build/ctest-$1.log t=$SECONDS
    ctest --preset "$name" -j2 --timeout 300 >"$log" 2>&1
    failures "$log"
    local line
    line=$(grep -E '^[0-9]+% tests passed, [0-9]+ tests failed out of [0-9]+' "$log" | tail -1)
    if [ -z "$line" ]; then
        tail -20 "$log"
        note "!! $name: no ctest summary" "$log"
        failed=$((failed + 1))
        return
    fi
    echo "$line"
    sed -n '/^The following tests/,/^Errors while/p' "$log" | grep -v '^Errors while'
    note "=== $name: test" "$(elapsed "$t") ($log)"
    local total bad
    total=$(sed -E 's/.*out of ([0-9]+).*/\1/' <<<"$line")
    bad=$(sed -E 's/.* ([0-9]+) tests failed.*/\1/' <<<"$line")
    passed=$((passed + total - bad))
    failed=$((failed + bad))
}

check() { # what log command...: one pass or one failure
    local what=$1 log=$2
    shift 2
    if "$@" >"$log" 2>&1; then
        passed=$((passed + 1))
        note "=== $what" "ok: $(tail -2 "$log" | head -1) ($log)"
    else
        cat "$log"
        note "!! $what: failed" "$log"
        failed=$((failed + 1))
    fi
}

for name in linux linux-asan; do
    build "$name" && tests "$name"
done

# Which Windows lane runs the Windows tests. The shipped i686 programs run under Wine's
# 32-bit loader where the kernel runs 32-bit code; some kernels refuse it ("Exec format
# error", Wine's 32-bit server included). There the i686 build is still built and
# checked as it ships, and the same Windows suite runs on an x86_64 build of the same
# sources under 64-bit Wine in a 64-bit prefix.
if /usr/lib/wine/wine --version >/dev/null 2>&1; then
    test_lane=win32 other_lane=win64
    note "=== Windows tests" "i686 build, 32-bit Wine (this kernel runs 32-bit code)"
else
    test_lane=win64 other_lane=win32
    note "=== Windows tests" "x86_64 build, 64-bit Wine (this kernel runs no 32-bit code)"
fi
export ZUVA_WINE_ARCH=$test_lane ZUVA_WINE_SHIMS=$root/tests/win32/wine64

# The lane whose tests do not run here builds its programs only.
build "$other_lane" -DZUVA_TESTS=OFF
[ "$other_lane" = win32 ] && check "win32: product check" build/check-product.log \
    tests/win32/check-product.sh build/win32

# The test lane: its programs, then its tests under Wine. The end-to-end tests talk to
# the Linux zuva-devsim of the first lane.
if build "$test_lane" -DZUVA_TESTS=ON; then
    [ "$test_lane" = win32 ] && check "win32: product check" build/check-product.log \
        tests/win32/check-product.sh build/win32
    export ZUVA_LINUX_BUILD_DIR="$root/build/linux"
    prefix=$root/build/$test_lane/wineprefix
    # Xvfb picks a free display and names it once it is ready to take clients.
    rm -f build/xvfb-display
    Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>build/xvfb-display \
        >build/xvfb.log 2>&1 &
    xvfb=$!
    for _ in $(seq 100); do
        [ -s build/xvfb-display ] && break
        sleep 0.1
    done
    DISPLAY=":$(head -1 build/xvfb-display)"
    export DISPLAY
    t=$SECONDS
    if tests/win32/wine-prefix.sh up "$prefix" >build/wine-prefix.log 2>&1; then
        note "=== $test_lane: Wine prefix up" "$(elapsed "$t"), X display $DISPLAY (build/wine-prefix.log)"
        tests "$test_lane"
    else
        tail -20 build/wine-prefix.log
        note "!! $test_lane: Wine prefix failed" build/wine-prefix.log
        failed=$((failed + 1))
    fi
    tests/win32/wine-prefix.sh down "$prefix" >>build/wine-prefix.log 2>&1
    kill "$xvfb" 2>/dev/null
fi

note "=== done" "in $(elapsed "$started"); logs: build/*.log"
echo "all lanes: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
