#!/bin/bash
# The three command-line tools agree: --version and --help on stdout with status 0, usage
# errors with status 64, the reason and one usage line (not the help) on stderr, and
# zuva-pack replaces an existing output only with --force.
# Usage: test_tools_agree.sh BUILD_DIR VERSION
build=$1 version=$2
flash=$build/cli/zuva-flash pack=$build/tools/pack/zuva-pack devsim=$build/tools/devsim/zuva-devsim
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# tool, arguments, status, and a pattern that the named stream must match.
while IFS='|' read -r tool args status stream pattern; do
    [ -z "$tool" ] && continue
    eval "set -- $args"
    "${!tool}" "$@" >"$work/out" 2>"$work/err" </dev/null
    got=$?
    what="$tool $args"
    [ "$got" -eq "$status" ] || fail "$what: status $got, expected $status"
    grep -Eq -- "$pattern" "$work/$stream" || fail "$what: $stream does not match '$pattern'"
    if [ "$status" -eq 64 ]; then
        [ ! -s "$work/out" ] || fail "$what: usage error wrote to stdout"
        # The reason, then one usage line that points to --help.
        [ "$(wc -l <"$work/err")" -eq 2 ] || fail "$what: stderr is not two lines"
        tail -1 "$work/err" | grep -Eq -- "^usage: zuva-$tool .*\(--help tells more\)\$" ||
            fail "$what: no usage line pointing to --help"
    fi
done <<TABLE
flash|--version|0|out|^zuva-flash $version\$
pack|--version|0|out|^zuva-pack $version\$
devsim|--version|0|out|^zuva-devsim $version\$
flash|--help|0|out|Exit status
pack|--help|0|out|Exit codes
devsim|-h|0|out|Exit status
flash|--help|0|out|^  --baud N +1200, 2400, .*, 115200\$
flash|--bogus|64|err|^zuva-flash: .*--bogus
pack|--bogus|64|err|^zuva-pack: .*--bogus
flash|--prot|64|err|^zuva-flash: unknown option --prot \(did you mean --port\?\)$
pack|--outptu x|64|err|^zuva-pack: unknown option --outptu \(did you mean --output\?\)$
devsim|--bogus|64|err|^zuva-devsim: .*--bogus
flash|--port|64|err|--port needs a value
pack|--output|64|err|--output needs a value
devsim|--density|64|err|missing value: --density
devsim|--density=huge|64|err|bad value for --density
pack|--info x --output y|64|err|make none of the commands
pack|stray|64|err|unexpected argument stray
TABLE

# --force: an existing output is kept and the run refused without it, replaced with it;
# both the updater (--output) and the extracted image. --name=VALUE works as --name VALUE,
# and an empty value is a value (an empty description).
{ printf 'MZ'; head -c 3000 /dev/zero; } >"$work/ZuvaFlash.exe"
head -c 1000 /dev/urandom >"$work/fw.bin"
"$pack" --exe "$work/ZuvaFlash.exe" --image="$work/fw.bin" --description "" \
    --output "$work/Update.exe" >/dev/null || fail "packing into a new name"
for command in "--exe $work/ZuvaFlash.exe --image $work/fw.bin --description y" \
               "--extract $work/Update.exe"; do
    echo old >"$work/old"
    "$pack" $command --output "$work/old" >/dev/null 2>"$work/err"
    got=$?
    [ "$got" -eq 2 ] && grep -q 'exists; --force replaces it' "$work/err" ||
        fail "$command over an existing file: status $got"
    [ "$(cat "$work/old")" = old ] || fail "$command replaced the file without --force"
    "$pack" $command --output "$work/old" --force >/dev/null || fail "$command --force"
    cmp -s "$work/old" - <<<old && fail "$command --force left the old file"
done

[ "$failures" -eq 0 ] && echo PASS
exit $((failures != 0))
