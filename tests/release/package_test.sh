#!/usr/bin/env bash
# Catches: a package that lintian, desktop-file-validate or appstreamcli refuse, with a file too many
# or missing, a foreign dependency, a stray version, another icon, or a program that does not start.
# Usage: package_test.sh <build dir> <source dir>
set -euo pipefail
build=$(readlink -f "$1")
source=$(readlink -f "$2")
scratch=$(mktemp -d)
pid=""
trap '[ -n "$pid" ] && kill "$pid" 2>/dev/null; rm -rf "$scratch"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

(cd "$build" && cpack -G DEB -B "$scratch/out" >"$scratch/cpack.log" 2>&1) ||
    { cat "$scratch/cpack.log" >&2; fail "cpack did not build the package"; }
deb=$(ls "$scratch"/out/*.deb)
root="$scratch/root"
dpkg-deb -x "$deb" "$root"
echo "package: $(basename "$deb")"

# Nothing but these files, with these modes.
expected="755 usr/bin/brevant
644 usr/share/applications/org.example.brevant.desktop
644 usr/share/doc/brevant/changelog.gz
644 usr/share/doc/brevant/copyright
644 usr/share/icons/hicolor/32x32/apps/brevant.png
644 usr/share/man/man1/brevant.1.gz
644 usr/share/metainfo/org.example.brevant.metainfo.xml"
actual=$(cd "$root" && find . -type f -o -type l | sed 's|^\./||' | LC_ALL=C sort | xargs stat -c '%a %n')
[ "$actual" = "$expected" ] || fail "package files, expected as in this test:
$actual"

lintian --fail-on error,warning "$deb" >"$scratch/lintian.log" 2>&1 ||
    { cat "$scratch/lintian.log" >&2; fail "lintian reports errors or warnings"; }
desktop-file-validate "$root/usr/share/applications/org.example.brevant.desktop" ||
    fail "desktop-file-validate"
metainfo="$root/usr/share/metainfo/org.example.brevant.metainfo.xml"
appstreamcli validate --strict --no-net "$metainfo" || fail "appstreamcli rejects the metainfo"
man="$root/usr/share/man/man1/brevant.1.gz"
zcat "$man" | cmp -s - "$source/docs/brevant.1" || fail "the packaged manual page is not docs/brevant.1"
warnings=$(zcat "$man" | groff -k -Tutf8 -man -ww -z 2>&1)
[ -z "$warnings" ] || fail "groff warns about the manual page: $warnings"
version=$(dpkg-deb -f "$deb" Version)
zcat "$root/usr/share/doc/brevant/changelog.gz" | sed -n 1p | grep -qF "brevant ($version)" ||
    fail "the changelog's latest entry is not version $version"
zcat "$man" | grep -q "^\.TH .*\"brevant $version\"" || fail "the manual page is not of version $version"
grep -qF "<release version=\"$version\"" "$metainfo" || fail "the metainfo has no release $version"

# Dependencies: Debian's Qt 6 runtime (the platform plugins included) and the C++ runtime, and
# every library the program links comes from one of them.
depends=$(dpkg-deb -f "$deb" Depends | tr ',' '\n' | sed 's/([^)]*)//; s/ //g')
echo "Depends: $(echo $depends)"
for name in $depends; do
    [[ $name =~ ^(libqt6[a-z]+6|qt6-qpa-plugins|libc6|libstdc\+\+6|libgcc-s1)$ ]] ||
        fail "depends on $name, which is not Debian's Qt 6 or C++ runtime"
done
grep -qx qt6-qpa-plugins <<<"$depends" || fail "does not depend on qt6-qpa-plugins"
program="$root/usr/bin/brevant"
! readelf -d "$program" | grep -qE "RPATH|RUNPATH" || fail "the program keeps a library path of the build"
for lib in $(readelf -d "$program" | sed -n 's/.*Shared library: \[\(.*\)\]/\1/p'); do
    path=$(ldd "$program" | awk -v l="$lib" '$1 == l { print $3 }')
    owner=$(dpkg -S "$(readlink -f "$path")" 2>/dev/null || dpkg -S "$path" 2>/dev/null || true)
    grep -qx "${owner%%:*}" <<<"$depends" || fail "$lib comes from ${owner:-no package}, not a dependency"
done

# The icon has the window's pixels.
compare -metric AE "$source/app/brevant.xpm" "$root/usr/share/icons/hicolor/32x32/apps/brevant.png" \
    null: 2>"$scratch/compare" || fail "the icon differs from the window's in $(cat "$scratch/compare") pixels"

# The unpacked program starts on the demo job and keeps running.
cd "$source/examples/demo"
QT_QPA_PLATFORM=offscreen "$program" >"$scratch/run.log" 2>&1 &
pid=$!
sleep 3
kill -0 "$pid" 2>/dev/null || { cat "$scratch/run.log" >&2; fail "the program exited at start-up"; }
echo "PASS"
