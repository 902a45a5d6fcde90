#!/bin/bash
# The Debian package: built by the package target, named and versioned from project(),
# holding the three tools, their man pages, the bash completion and the user guide; the
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

# The files, without the directories.
dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $6}' | sed 's|^\./|/|' >"$work/contents"
for tool in zuva-flash zuva-pack zuva-devsim; do
    for file in /usr/bin/$tool /usr/share/man/man1/$tool.1.gz \
                /usr/share/bash-completion/completions/$tool; do
        grep -qx "$file" "$work/contents" || fail "$file missing"
    done
done
grep -qx /usr/share/doc/zuva-flash/user-guide.md "$work/contents" || fail "user guide missing"
grep -q '^/usr/share/doc/zuva-flash/.*\.png$' "$work/contents" || fail "guide pictures missing"
grep -v -e '^/usr/bin/zuva-' -e '^/usr/share/' "$work/contents" |
    grep . && fail "files outside the expected places"

dpkg-deb -x "$deb" "$work/root"
for tool in zuva-flash zuva-pack zuva-devsim; do
    [ "$("$work/root/usr/bin/$tool" --version)" = "$tool $version" ] || fail "$tool --version"
    command -v man >/dev/null || continue
    MANWIDTH=80 man --warnings -l "$work/root/usr/share/man/man1/$tool.1.gz" 2>"$work/man.err" |
        grep -q "^NAME" || fail "man page of $tool does not render"
    [ ! -s "$work/man.err" ] || fail "man page of $tool: $(cat "$work/man.err")"
done
# The completion defines itself for all three and offers options read from --help.
PATH=$work/root/usr/bin:$PATH bash -c '
    source "$1"
    COMP_WORDS=(zuva-pack --fo); COMP_CWORD=1; _zuva zuva-pack
    [ "${COMPREPLY[*]}" = --force ] && complete -p zuva-flash zuva-devsim >/dev/null' _ \
    "$work/root/usr/share/bash-completion/completions/zuva-flash" || fail "bash completion"

[ "$failures" -eq 0 ] && echo PASS
exit $((failures != 0))
