#!/bin/bash
# The three command-line tools agree: --version and --help on stdout with status 0, usage
# errors with status 64, the reason and one usage line (not the help) on stderr, the same
# option rules (a missing value, a value given twice, the nearest option), help, man page
# and completion naming the same options, values and exit statuses, and zuva-pack
# replacing an existing output only with --force.
# Usage: test_tools_agree.sh BUILD_DIR VERSION
build=$1 version=$2
flash=$build/cli/zuva-flash pack=$build/tools/pack/zuva-pack devsim=$build/tools/devsim/zuva-devsim
source=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

head -c 1000 /dev/urandom >"$work/fw.bin"
cp "$work/fw.bin" "$work/fw.orig"
ln -s fw.bin "$work/fw-link.bin"
head -c $((33 * 1024)) /dev/zero >"$work/33k.bin"
mkfifo "$work/fifo"

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
flash|-V|0|out|^zuva-flash $version\$
pack|-V|0|out|^zuva-pack $version\$
devsim|-V|0|out|^zuva-devsim $version\$
flash|--help|0|out|Exit status
pack|--help|0|out|Exit status
devsim|-h|0|out|Exit status
flash|--help|0|out|^  --baud N +1200, 2400, .*, 115200\$
flash|--bogus|64|err|^zuva-flash: .*--bogus
pack|--bogus|64|err|^zuva-pack: .*--bogus
flash|--prot|64|err|^zuva-flash: unknown option --prot \(did you mean --port\?\)$
pack|--outptu x|64|err|^zuva-pack: unknown option --outptu \(did you mean --output\?\)$
devsim|--bogus|64|err|^zuva-devsim: .*--bogus
devsim|--desnity low|64|err|^zuva-devsim: unknown option --desnity \(did you mean --density\?\)$
flash|--port|64|err|--port needs a value
pack|--output|64|err|--output needs a value
devsim|--density|64|err|--density needs a value\$
flash|--log --dry-run --port P fw.bin|64|err|--log needs a value: --dry-run is not taken as one
pack|--description --force|64|err|--description needs a value: --force is not taken as one
devsim|--dump -x|64|err|--dump needs a value: -x is not taken as one
flash|--baud 9600 --baud 57600 fw.bin|64|err|--baud is given twice \(9600, then 57600\)
pack|--description a --description b|64|err|--description is given twice \(a, then b\)
devsim|--pid 0x410 --pid=0x412|64|err|--pid is given twice \(0x410, then 0x412\)
devsim|--density=huge|64|err|bad value for --density
pack|--info x --output y|64|err|--info takes no --output
pack|--exe a --image b --output c|64|err|packing needs --description TEXT\$
pack|--info x --extract y --output z|64|err|give one command, not --info and --extract
pack|stray|64|err|unexpected argument stray
devsim|stray|64|err|unexpected argument stray
flash|--port P --log $work/fw-link.bin $work/fw.bin|64|err|--log $work/fw-link.bin is the same file as the image
flash|--port /dev/null --log /dev/null $work/fw.bin|64|err|is the same file as --port /dev/null
devsim|--flash-in /dev/zero|64|err|--flash-in /dev/zero is not a regular file
devsim|--flash-in $work/fifo|64|err|--flash-in $work/fifo is not a regular file
devsim|--density low --flash-in $work/33k.bin|64|err|larger than the chip's FLASH \(32768 bytes\)
TABLE
cmp -s "$work/fw.bin" "$work/fw.orig" || fail "a refused --log changed the image"

# --force: an existing output is kept and the run refused without it, replaced with it;
# both the updater (--output) and the extracted image. --name=VALUE works as --name VALUE,
# and an empty value is a value (an empty description).
{ printf 'MZ'; head -c 3000 /dev/zero; } >"$work/ZuvaFlash.exe"
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

# Help, man page and completion agree, so that no option or value drifts: each tool's
# options (long and short) in --help and in its man page (before EXAMPLES); every list of
# values (--density low|medium|...) the same in both; the exit statuses of --help's "Exit
# status" paragraph those of the man page's EXIT STATUS; and every option the completion
# names is one of a tool's.
options() { grep -oE -e '--[a-z][a-z0-9-]*' -e '(^|[[:space:][])-[a-zA-Z]\b' | tr -d ' [' | sort -u; }
values() { grep -oE -e '--[a-z-]+[ "]+[a-z0-9-]+(\|[a-z0-9-]+)+' | tr -d '"' | tr -s ' ' | sort -u; }
for tool in flash pack devsim; do
    "${!tool}" --help | grep -v -e '--name=VALUE' >"$work/help"
    sed -e 's/\\-/-/g' -e '/^\.SH EXAMPLE/,$d' -e '/--name/d' "$source/docs/man/zuva-$tool.1" >"$work/man"
    for what in options values; do
        diff <($what <"$work/help") <($what <"$work/man") >"$work/diff" ||
            fail "zuva-$tool: $what of --help (<) and the man page (>) differ:" $(grep '^[<>]' "$work/diff")
    done
    diff <(sed -n '/^Exit status/,$p' "$work/help" | grep -oE '\b[0-9]+\b' | sort -un) \
         <(sed -n '/^\.SH EXIT STATUS/,/^\.SH/{/^\.B /p}' "$work/man" | grep -oE '\b[0-9]+\b' | sort -un) \
        >"$work/diff" || fail "zuva-$tool: exit statuses of --help (<) and man (>):" $(grep '^[<>]' "$work/diff")
    "${!tool}" --help | options >>"$work/all-options"
done
for option in $(grep -oE -e '--[a-z][a-z0-9-]*' "$source/packaging/zuva.bash-completion" | sort -u); do
    grep -qx -e "$option" "$work/all-options" || fail "the completion names $option, which no tool takes"
done

[ "$failures" -eq 0 ] && echo PASS
exit $((failures != 0))
