#!/usr/bin/env bash
# Builds the Debian package of a build directory with CPack, unpacks it into a scratch root
# and checks what it holds: exactly the program, the desktop entry, the icon, the manual page,
# the AppStream metainfo, the copyright file and the changelog; no error or warning from lintian;
# a desktop entry that names the program in Russian and points at the packaged program and icon;
# valid metainfo and a manual page that renders without warnings; an icon that is the window's
# icon; dependencies on Debian's Qt 6 runtime only; and a program that starts from the unpacked
# root.
# Usage: package_test.sh <build dir> <source dir>
set -euo pipefail
build=$(readlink -f "$1")
source=$(readlink -f "$2")
title="Программа отправки почтовых сообщений"

scratch=$(mktemp -d)
pid=""
cleanup() {
    [ -n "$pid" ] && kill "$pid" 2>/dev/null || true
    rm -rf "$scratch"
}
trap cleanup EXIT
fail() {
    echo "FAIL: $*" >&2
    exit 1
}

# --- Build and unpack ------------------------------------------------------------------------
(cd "$build" && cpack -G DEB -B "$scratch/out" >"$scratch/cpack.log" 2>&1) ||
    { cat "$scratch/cpack.log" >&2; fail "cpack did not build the package"; }
shopt -s nullglob
debs=("$scratch"/out/*.deb)
[ ${#debs[@]} -eq 1 ] || fail "expected one .deb, got ${#debs[@]}"
deb=${debs[0]}
echo "package: $(basename "$deb")"
root="$scratch/root"
dpkg-deb -x "$deb" "$root"

# --- Contents: nothing but these files ---------------------------------------------------------
expected="usr/bin/brevant
usr/share/applications/org.example.brevant.desktop
usr/share/doc/brevant/changelog.gz
usr/share/doc/brevant/copyright
usr/share/icons/hicolor/32x32/apps/brevant.png
usr/share/man/man1/brevant.1.gz
usr/share/metainfo/org.example.brevant.metainfo.xml"
actual=$(cd "$root" && find . -type f -o -type l | sed 's|^\./||' | LC_ALL=C sort)
[ "$actual" = "$expected" ] || fail "package files:
$actual
expected:
$expected"

program="$root/usr/bin/brevant"
[ -x "$program" ] || fail "usr/bin/brevant is not executable"
file -b "$program" | grep -q "ELF 64-bit.*executable" || file -b "$program" | grep -q "pie executable" ||
    fail "usr/bin/brevant is not a program: $(file -b "$program")"
if readelf -d "$program" | grep -qE "RPATH|RUNPATH"; then
    fail "the program keeps a library path of the build: $(readelf -d "$program" | grep -E 'RPATH|RUNPATH')"
fi
for f in $expected; do
    mode=$(stat -c %a "$root/$f")
    case "$f" in
    usr/bin/*) [ "$mode" = 755 ] || fail "$f has mode $mode" ;;
    *) [ "$mode" = 644 ] || fail "$f has mode $mode" ;;
    esac
done

# --- Lintian: no error and no warning (informational tags are shown, not failed on) ----------
lintian --fail-on error,warning "$deb" >"$scratch/lintian.log" 2>&1 ||
    { cat "$scratch/lintian.log" >&2; fail "lintian reports errors or warnings"; }
grep -v "root privileges" "$scratch/lintian.log" || true

# --- Control data --------------------------------------------------------------------------------
[ "$(dpkg-deb -f "$deb" Package)" = brevant ] || fail "package name"
[ "$(dpkg-deb -f "$deb" Architecture)" = "$(dpkg --print-architecture)" ] || fail "architecture"
depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
names=$(echo "$depends" | tr ',' '\n' | sed 's/([^)]*)//; s/^ *//; s/ *$//' | grep -v '^$')
for name in $names; do
    case "$name" in
    *-dev) fail "depends on a development package: $name" ;;
    libqt6*6 | qt6-qpa-plugins) ;;
    # The C and C++ runtime that every program built by Debian's compiler needs.
    libc6 | libstdc++6 | libgcc-s1) ;;
    *) fail "depends on $name, which is not Debian's Qt 6 or C++ runtime" ;;
    esac
    dpkg-query -W -f='${Status}' "$name" 2>/dev/null | grep -q "install ok installed" ||
        fail "$name is not a package of this Debian system"
done
for needed in libqt6core6 libqt6gui6 libqt6widgets6 libqt6network6 qt6-qpa-plugins; do
    echo "$names" | grep -qx "$needed" || fail "does not depend on $needed"
done
# Every library the program loads comes from a package it depends on.
ldd "$program" >"$scratch/ldd" || fail "ldd failed"
if grep -q "not found" "$scratch/ldd"; then
    fail "unresolved libraries: $(grep 'not found' "$scratch/ldd")"
fi
for lib in $(readelf -d "$program" | sed -n 's/.*Shared library: \[\(.*\)\]/\1/p'); do
    path=$(awk -v l="$lib" '$1 == l { print $3 }' "$scratch/ldd")
    [ -n "$path" ] || fail "$lib is not resolved"
    # With merged /usr a file is known to dpkg under one of its two names.
    owner=""
    for candidate in "$path" "$(readlink -f "$path")" "${path#/usr}" "/usr${path#/usr}"; do
        owner=$(dpkg -S "$candidate" 2>/dev/null | head -n 1 | cut -d: -f1 || true)
        [ -n "$owner" ] && break
    done
    [ -n "$owner" ] || fail "no package owns $path"
    echo "$names" | grep -qx "$owner" || fail "$lib comes from $owner, which is not a dependency"
done

# --- Desktop entry -------------------------------------------------------------------------------
desktop="$root/usr/share/applications/org.example.brevant.desktop"
iconv -f UTF-8 -t UTF-8 "$desktop" >/dev/null || fail "the desktop entry is not UTF-8"
[ "$(head -n 1 "$desktop")" = "[Desktop Entry]" ] || fail "the desktop entry does not start with its group"
key() { sed -n "s/^$1=//p" "$desktop"; }
for k in Type Name Exec Icon Terminal Categories; do
    [ "$(grep -c "^$k=" "$desktop")" = 1 ] || fail "the desktop entry needs exactly one $k"
done
[ "$(key Type)" = Application ] || fail "Type=$(key Type)"
[ "$(key Name)" = "$title" ] || fail "Name=$(key Name), expected the window title"
[ "$(key Terminal)" = false ] || fail "Terminal=$(key Terminal)"
[[ "$(key Categories)" == *\; ]] || fail "Categories must end with ;"
exe=$(key Exec | cut -d' ' -f1)
[ -x "$root/usr/bin/$exe" ] || fail "Exec=$exe is not the packaged program"
[ -f "$root/usr/share/icons/hicolor/32x32/apps/$(key Icon).png" ] ||
    fail "Icon=$(key Icon) is not the packaged icon"
desktop-file-validate "$desktop" || fail "desktop-file-validate"

# --- Metainfo and manual page ----------------------------------------------------------------------
appstreamcli validate --strict --no-net "$root/usr/share/metainfo/org.example.brevant.metainfo.xml" ||
    fail "appstreamcli rejects the metainfo"
# The changelog, the metainfo and the manual page know the package's version.
version=$(dpkg-deb -f "$deb" Version)
zcat "$root/usr/share/doc/brevant/changelog.gz" | sed -n 1p | grep -qF "brevant ($version)" ||
    fail "the changelog's latest entry is not version $version"
zcat "$root/usr/share/man/man1/brevant.1.gz" | grep -q "^\.TH .*\"brevant $version\"" ||
    fail "the manual page is not of version $version"
grep -qF "<release version=\"$version\"" "$root/usr/share/metainfo/org.example.brevant.metainfo.xml" ||
    fail "the metainfo has no release $version"
man="$root/usr/share/man/man1/brevant.1.gz"
zcat "$man" | cmp -s - "$source/docs/brevant.1" || fail "the packaged manual page is not docs/brevant.1"
warnings=$(zcat "$man" | groff -k -Tutf8 -man -ww -z 2>&1)
[ -z "$warnings" ] || fail "groff warns about the manual page: $warnings"

# --- Icon: the window's own ----------------------------------------------------------------------
python3 "$(dirname "$0")/icon_matches_xpm.py" "$source/app/brevant.xpm" \
    "$root/usr/share/icons/hicolor/32x32/apps/brevant.png" || fail "the icon is not the window's"

# --- The unpacked program starts on a job and keeps running ---------------------------------------
job="$scratch/job"
mkdir "$job"
cp "$source"/examples/demo/*.txt "$job/"
(cd "$job" && QT_QPA_PLATFORM=offscreen exec "$program" >"$scratch/run.log" 2>&1) &
pid=$!
for _ in $(seq 30); do
    kill -0 "$pid" 2>/dev/null || { cat "$scratch/run.log" >&2; fail "the program exited at start-up"; }
    sleep 0.1
done
kill "$pid"
wait "$pid" 2>/dev/null || true
pid=""
echo "PASS"
