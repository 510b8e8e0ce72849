#!/usr/bin/env bash
# Checks what users install: the tree `cmake --install` makes, the manual
# page, and the Debian package from scripts/package (its contents, its
# lintian report, and that what it unpacks renames a store). Run from
# scripts/test once both presets are built.
set -euo pipefail
cd "$(dirname "$0")/.."
version=$(sed -n 's/^project(velmora VERSION \([0-9.]*\) .*/\1/p' CMakeLists.txt)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "check_install: $*" >&2; exit 1; }

# README's build from source: a release build without the tests (GCC warns
# differently at -O3) that installs the card program.
cmake -S . -B "$work/release" -DBUILD_TESTING=OFF -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$work/release" -j2 >/dev/null || fail "README's release build without tests fails"
cmake --install "$work/release" --prefix "$work/release-prefix" >/dev/null
"$work/release-prefix/bin/velmora-card" --version | grep -qx "velmora-card $version" || fail "the release build's velmora-card fails"

# The install tree holds exactly these files.
cmake --install build/native --prefix "$work/prefix" >/dev/null
(cd "$work/prefix" && find . -type f | sort) > "$work/installed"
printf '%s\n' ./bin/velmora-card ./share/bash-completion/completions/velmora-card ./share/doc/velmora/LICENSE \
    ./share/doc/velmora/README.md ./share/man/man1/velmora-card.1 ./share/man/man1/velmora.1 \
    ./share/velmora/velmora-card.exe ./share/velmora/velmora-card.exe.sha256 ./share/velmora/velmora.exe \
    ./share/velmora/velmora.exe.sha256 ./share/velmora/sample-card/README.md \
    ./share/velmora/sample-card/Windows/System32/config/SYSTEM ./share/velmora/try | sort > "$work/expected"
diff -u "$work/expected" "$work/installed" || fail "the install tree is not as expected"
# The sample card tried as the package's user would: the installed script, the installed tool.
tried=$(PATH="$work/prefix/bin:$PATH" "$work/prefix/share/velmora/try") ||
    fail "the installed try fails"
grep -q '"Hostname":"galileo-01"' <<<"$tried" || fail "the installed try does not rename a copy of the sample card"

# The manual page: nothing above style level from mandoc, and man renders it
# with the version.
for page in "$work"/prefix/share/man/man1/velmora.1 "$work"/prefix/share/man/man1/velmora-card.1; do
    lint=$(mandoc -T lint -W style "$page" 2>&1 || true)
    [ -z "$lint" ] || fail "mandoc: $lint"
    MANWIDTH=80 man -l "$page" 2>/dev/null | grep -q "Velmora $version" || fail "man -l does not render $page"
done

# The package: its files, its lintian report, what it unpacks.
deb=$(scripts/package)
dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $NF}' | sort > "$work/packaged"
printf '%s\n' ./usr/bin/velmora-card ./usr/share/bash-completion/completions/velmora-card ./usr/share/doc/velmora/README.md \
    ./usr/share/doc/velmora/changelog.gz ./usr/share/doc/velmora/copyright ./usr/share/man/man1/velmora.1.gz \
    ./usr/share/man/man1/velmora-card.1.gz ./usr/share/velmora/velmora.exe \
    ./usr/share/velmora/velmora.exe.sha256 ./usr/share/velmora/velmora-card.exe \
    ./usr/share/velmora/velmora-card.exe.sha256 ./usr/share/velmora/sample-card/README.md \
    ./usr/share/velmora/sample-card/Windows/System32/config/SYSTEM ./usr/share/velmora/try | sort > "$work/expected"
diff -u "$work/expected" "$work/packaged" || fail "the package's files are not as expected"
[ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "the package's version is not $version"
# The hive engine is the tool's own: libc is all it needs.
depends=$(dpkg-deb -f "$deb" Depends)
echo "$depends" | grep -q 'libc6' || fail "the package's dependencies miss libc6"
echo "$depends" | grep -q 'hivex' && fail "the package still depends on hivex"
report=$(lintian "$deb" 2>&1 | grep -v 'running with root privileges' || true)
[ -n "$report" ] && echo "$report"
echo "$report" | grep -q '^E:' && fail "lintian reports errors"

dpkg-deb -x "$deb" "$work/root"
cmp "$work/root/usr/share/velmora/velmora.exe" build/galileo/velmora.exe || fail "the packaged exe is not the one built"
cmp "$work/root/usr/share/velmora/velmora-card.exe" build/card-win64/velmora-card.exe ||
    fail "the packaged velmora-card.exe is not the one built"
(cd "$work/root/usr/share/velmora" && sha256sum --quiet -c velmora.exe.sha256 velmora-card.exe.sha256) ||
    fail "the checksum files do not verify"
# What it unpacks renames a card; the completion offers the commands.
card=$work/card/Windows/System32/config
mkdir -p "$card"
/usr/bin/python3 -c 'import sys; sys.path.insert(0, "tests"); import hive_fixture; hive_fixture.fresh_card(sys.argv[1])' \
    "$card/SYSTEM"
"$work/root/usr/bin/velmora-card" -q rename "$work/card" Packaged >/dev/null || fail "the unpacked velmora-card did not rename"
"$work/root/usr/bin/velmora-card" status "$work/card" | grep -q '^  Hostname *: Packaged$' || fail "the card does not hold the new name"
"$work/root/usr/bin/velmora-card" --version | grep -qx "velmora-card $version" || fail "the unpacked velmora-card fails"
# shellcheck source=/dev/null
completions=$(. "$work/root/usr/share/bash-completion/completions/velmora-card"; COMP_WORDS=(velmora-card re); COMP_CWORD=1
               _velmora_card; echo "${COMPREPLY[*]}")
[ "$completions" = rename ] || fail "the completion offers '$completions' for 're'"
echo "check_install: install tree, manual pages and $deb as expected"
