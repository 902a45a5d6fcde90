#!/bin/sh
# Builds the libFuzzer targets with clang++ and runs them.
# Usage: fuzz/run.sh OUTDIR [SECONDS | -runs=N]
#   SECONDS: run each target that long (default 180); -runs=N: a short smoke run.
# Corpora stay in OUTDIR/corpus-*; a crash leaves its input in OUTDIR.
set -e
here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
out=$1
limit=${2:-180}
cxx=${CXX_FUZZ:-clang++}
mkdir -p "$out"
case "$limit" in
-runs=*) budget=$limit seed=-seed=1 ;; # a smoke run in CI repeats exactly
*) budget=-max_total_time=$limit seed=-seed=0 ;;
esac

build() {
    name=$1
    shift
    if [ ! -x "$out/$name" ] || [ -n "$(find "$here" "$root/image" "$root/device" \
        "$root/tools/pack" "$root/console" \
        -newer "$out/$name" -name '*.[ch]*' | head -1)" ]; then
        $cxx -std=c++20 -g -O1 -fsanitize=fuzzer,address,undefined \
            -fno-sanitize-recover=all -I"$root" "$@" -o "$out/$name"
    fi
}

image="$root/image/hex.cpp $root/image/srec.cpp $root/image/elf.cpp $root/image/plan.cpp \
    $root/image/embedded.cpp $root/image/input.cpp \
    $root/image/file_posix.cpp $root/image/description.cpp $root/image/format.cpp"
build fuzz_hex "$here/fuzz_hex.cpp" "$root/image/hex.cpp"
build fuzz_srec "$here/fuzz_srec.cpp" "$root/image/srec.cpp" "$root/image/hex.cpp"
build fuzz_elf "$here/fuzz_elf.cpp" "$root/image/elf.cpp"
build fuzz_embedded "$here/fuzz_embedded.cpp" $image
build fuzz_pack "$here/fuzz_pack.cpp" "$root/tools/pack/pack.cpp" \
    "$root/tools/pack/output_posix.cpp" "$root/console/console.cpp" \
    "$root/console/console_posix.cpp" $image

for target in fuzz_hex fuzz_srec fuzz_elf fuzz_embedded fuzz_pack; do
    mkdir -p "$out/corpus-$target"
    if [ -d "$here/seeds/$target" ]; then
        cp -n "$here/seeds/$target"/* "$out/corpus-$target/" 2>/dev/null || true
    fi
    (cd "$out" && "./$target" "$budget" "$seed" -max_len=4096 -print_final_stats=1 \
        "corpus-$target")
done
