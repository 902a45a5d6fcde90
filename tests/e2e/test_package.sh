#!/bin/bash
# The Debian package: built by the package target, named and versioned from project(),
# holding the three tools, their man pages, the bash completion, the user guide, the
# copyright file and the changelog; lintian finds no error and no warning in it; the
# programs it carries run, and its man pages and completion are well-formed.
# Usage: test_package.sh BUILD_DIR VERSION
build=$1 version=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

cmake --build "$build" --target package >"$work/build.log" 2>&1 || {
    cat "$work/build.log"
    echo "FAIL: the package target"
    exit 1
}
deb=$(ls "$build"/zuva-flash_"$version"_*.deb 2>/dev/null | head -1)
[ -n "$deb" ] || { echo "FAIL: no zuva-flash_${version}_*.deb in $build"; exit 1; }
[ "$(dpkg-deb -f "$deb" Package)" = zuva-flash ] || fail "package name"
[ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "package version"
[ "$(dpkg-deb -f "$deb" Recommends)" = bash-completion ] || fail "does not recommend bash-completion"

# The files, without the directories.
dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $6}' | sed 's|^\./|/|' >"$work/contents"
for tool in zuva-flash zuva-pack zuva-devsim; do
    for file in /usr/bin/$tool /usr/share/man/man1/$tool.1.gz \
                /usr/share/bash-completion/completions/$tool; do
        grep -qx "$file" "$work/contents" || fail "$file missing"
    done
done
for file in user-guide.md copyright changelog.gz; do
    grep -qx "/usr/share/doc/zuva-flash/$file" "$work/contents" || fail "$file missing"
done
grep -q '^/usr/share/doc/zuva-flash/.*\.png$' "$work/contents" || fail "guide pictures missing"
grep -v -e '^/usr/bin/zuva-' -e '^/usr/share/' "$work/contents" |
    grep . && fail "files outside the expected places"

# Debian's own checks, as an archive would run them.
if command -v lintian >/dev/null; then
    lintian --fail-on error,warning "$deb" >"$work/lintian" 2>&1 ||
        fail "lintian: $(grep -v 'root privileges' "$work/lintian")"
else
    fail "lintian is not installed (scripts/install-deps.sh)"
fi

dpkg-deb -x "$deb" "$work/root"
for tool in zuva-flash zuva-pack zuva-devsim; do
    [ "$("$work/root/usr/bin/$tool" --version)" = "$tool $version" ] || fail "$tool --version"
    command -v man >/dev/null || continue
    MANWIDTH=80 man --warnings -l "$work/root/usr/share/man/man1/$tool.1.gz" 2>"$work/man.err" |
        grep -q "^NAME" || fail "man page of $tool does not render"
    [ ! -s "$work/man.err" ] || fail "man page of $tool: $(cat "$work/man.err")"
done
# The completion defines itself for all three and offers options read from --help, values
# where they belong, and file names whole. One case a line: the command line up to the
# cursor (words as bash cuts them, at "=" too), then the replies.
mkdir -p "$work/files/sub"
touch "$work/files/my fw.bin" "$work/files/notes.txt" "$work/files/b.HEX" "$work/files/Up.exe"
(cd "$work/files" && PATH=$work/root/usr/bin:$PATH bash -c '
    source "$1"
    while IFS="|" read -r line words expected; do
        COMP_LINE=$line COMP_POINT=${#line}
        read -ra COMP_WORDS <<<"$words"
        [[ $line == *" " ]] && COMP_WORDS+=("")
        COMP_CWORD=$((${#COMP_WORDS[@]} - 1)) COMPREPLY=()
        _zuva "${COMP_WORDS[0]}"
        got=$(printf "[%s]" "${COMPREPLY[@]}")
        [ "$got" = "$expected" ] || echo "FAIL: completing \"$line\": $got, expected $expected"
    done <<EOF
zuva-pack --fo|zuva-pack --fo|[--force]
zuva-flash my|zuva-flash my|[my fw.bin]
zuva-flash |zuva-flash|[my fw.bin][b.HEX][sub][Up.exe]
zuva-flash --embedded |zuva-flash --embedded|[sub][Up.exe]
zuva-pack --output n|zuva-pack --output n|[notes.txt]
zuva-flash --baud 11|zuva-flash --baud 11|[115200]
zuva-flash --baud 5|zuva-flash --baud 5|[57600]
zuva-flash --boot boot0=rts,reset=|zuva-flash --boot boot0 = rts,reset =|[dtr][\!dtr]
zuva-flash --boot re|zuva-flash --boot re|[reset=rts][reset=\!rts][reset=dtr][reset=\!dtr]
zuva-devsim --density |zuva-devsim --density|[low][medium][high][connectivity][value][value-high][xl]
zuva-devsim --unaligned n|zuva-devsim --unaligned n|[nack]
zuva-devsim --drop-write |zuva-devsim --drop-write|[]
EOF
    complete -p zuva-flash zuva-devsim >/dev/null || echo "FAIL: not defined for all three"
' _ "$work/root/usr/share/bash-completion/completions/zuva-flash") >"$work/completion" 2>&1
[ ! -s "$work/completion" ] || fail "bash completion: $(cat "$work/completion")"

[ "$failures" -eq 0 ] && echo PASS
exit $((failures != 0))
