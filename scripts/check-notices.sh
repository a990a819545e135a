#!/usr/bin/env bash
# Checks that DIR, the Windows program's folder (unpacked from the zip, or installed), carries in
# DIR/licenses the notices of everything it bundles (scripts/windows-notices.sh makes them):
#   LICENSE.txt, GPL-3.txt,   word for word the repository's LICENSE, Debian's common licences
#   LGPL-3.txt                GPL-3 and LGPL-3,
#   qt6-base-copyright.txt    Debian's copyright file of qt6-base
#   qt6-base-windows.patch    and the repository's patch to Qt;
#   GCC-exception-3.1.txt     the GCC Runtime Library Exception 3.1, whole: its title, version,
#                             three sections and last line;
#   winpthreads.txt           winpthreads' copyright paragraph and the text of its licence;
#   THIRD-PARTY.txt           names every DLL and EXE in DIR as a file of a part that has a
#                             licence and a source, no file that is not there, and no notice
#                             that is not in licenses.
# Line ends do not count: the package has Windows' (CR LF). uninstall.exe, which the installer
# writes beside the program, is the installer's own and not part of the package.
# usage: scripts/check-notices.sh DIR
# Prints each fault; exit status 1 when there is one.
set -euo pipefail
if [ ! -d "${1:-}" ]; then
    echo "usage: $0 DIR (the program's folder)" >&2
    exit 2
fi
dir=$(realpath "$1")
cd "$(dirname "$0")/.."
licenses=$dir/licenses
faults=0
fault() {
    echo "$dir: $*" >&2
    faults=$((faults + 1))
}
text() { tr -d '\r' <"$1"; }

same() { # NAME ORIGINAL: licenses/NAME is ORIGINAL's text
    if [ ! -f "$licenses/$1" ]; then
        fault "no licenses/$1"
    elif ! cmp -s <(text "$licenses/$1") "$2"; then
        fault "licenses/$1 is not the text of $2"
    fi
}
same LICENSE.txt LICENSE
same GPL-3.txt /usr/share/common-licenses/GPL-3
same LGPL-3.txt /usr/share/common-licenses/LGPL-3
same qt6-base-copyright.txt /usr/share/doc/qt6-base-dev/copyright
same qt6-base-windows.patch packaging/windows/qt6-base-windows.patch

content=
has_lines() { # NAME LINE...: licenses/NAME has each LINE (a grep -E pattern for a whole line);
    # its text is left in content
    local name=$1 line
    shift
    if [ ! -f "$licenses/$name" ]; then
        fault "no licenses/$name"
        return
    fi
    content=$(text "$licenses/$name")
    for line in "$@"; do
        grep -qxE "$line" <<<"$content" || fault "licenses/$name has no line \"$line\""
    done
}
has_lines GCC-exception-3.1.txt "GCC RUNTIME LIBRARY EXCEPTION" "Version 3\.1, .*" \
    "0\. Definitions\." "1\. Grant of Additional Permission\." \
    "2\. No Weakening of GCC Copyleft\."
if [ -f "$licenses/GCC-exception-3.1.txt" ]; then
    [ "$(head -n 1 <<<"$content")" = "GCC RUNTIME LIBRARY EXCEPTION" ] ||
        fault "licenses/GCC-exception-3.1.txt does not begin with the exception's title"
    [ "$(tail -n 1 <<<"$content")" = "requirements of the license of GCC." ] ||
        fault "licenses/GCC-exception-3.1.txt does not end with the exception's last line"
fi
has_lines winpthreads.txt "Files: mingw-w64-libraries/winpthreads/\*" "License: expat" \
    " Permission is hereby granted, free of charge, to any person obtaining"

third_party=$licenses/THIRD-PARTY.txt
if [ ! -f "$third_party" ]; then
    fault "no licenses/THIRD-PARTY.txt"
else
    # The files it names: the value of each "Files:" field and each of its continuation lines
    # (lines of one word, indented, up to the next field or paragraph).
    named=$(text "$third_party" | awk '
        /^  [A-Z][a-z]*: / { files = ($1 == "Files:"); if (files) print $2; next }
        files && /^ +[^ ]+$/ { print $1; next }
        { files = 0 }' | LC_ALL=C sort)
    bundled=$(cd "$dir" && find . -type f \( -iname '*.dll' -o -iname '*.exe' \) \
        ! -path ./uninstall.exe | sed 's|^\./||' | LC_ALL=C sort)
    while read -r f; do
        fault "$f is not named in THIRD-PARTY.txt"
    done < <(LC_ALL=C comm -13 <(echo "$named") <(echo "$bundled") | grep .)
    while read -r f; do
        fault "THIRD-PARTY.txt names $f, which is not there"
    done < <(LC_ALL=C comm -23 <(echo "$named") <(echo "$bundled") | grep .)
    # Every part with files has a licence and a source.
    while read -r part; do
        fault "THIRD-PARTY.txt: the part \"$part\" has no Licence or no Source"
    done < <(text "$third_party" | awk 'BEGIN { RS = "" } /\n  Files: / &&
        !(/\n  Licence: / && /\n  Source: /) { sub(/\n.*/, ""); print }')
    # Every notice it refers to is there.
    while read -r notice; do
        [ -f "$licenses/$notice" ] || fault "THIRD-PARTY.txt refers to $notice, which is not there"
    done < <(text "$third_party" | grep -oE '[A-Za-z0-9.+-]+\.(txt|patch)' | sort -u)
fi

[ "$faults" -eq 0 ] || exit 1
echo "$dir: the notices of all $(echo "$bundled" | wc -l) programs and DLLs are there"
