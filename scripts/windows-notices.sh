#!/usr/bin/env bash
# Writes DIR/licenses/, the notices of everything the Windows package bundles, taken from this
# Debian system's own texts as the package is built:
#   LICENSE.txt             brevant's licence, the GPL-3 (the repository's LICENSE)
#   GPL-3.txt, LGPL-3.txt   Debian's common licences: Qt's LGPL-3 adds to the GPL-3, and the GCC
#                           runtime is under the GPL-3 with the exception below
#   GCC-exception-3.1.txt   the GCC Runtime Library Exception, cut from the copyright file of the
#                           package the GCC runtime DLLs come from
#   winpthreads.txt         winpthreads' licence, cut from the copyright file of its package
#   qt6-base-copyright.txt  Debian's copyright file of qt6-base: Qt's parts and the third-party
#                           code Qt bundles (zlib, PCRE2, libpng, FreeType, HarfBuzz, ...)
#   qt6-base-windows.patch  the change made to Qt's source for this build
#   THIRD-PARTY.txt         every bundled file: its part, version, licence and source
# The text files get Windows' line ends (CR LF); the patch stays as it applies.
# usage: scripts/windows-notices.sh DIR ORIGINS QT-PREFIX QT-VERSION [QT-CONFIGURE-OPTION...]
#   ORIGINS  lines "NAME<TAB>PATH": each DLL in DIR (NAME relative to DIR, with /) and the file
#            it was copied from; a DLL from Qt is one under QT-PREFIX
# A DLL whose licence is not known here stops it: its notice has to be added first.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=$1
origins=$2
qt_prefix=$3
qt_version=$4
shift 4
qt_options=("$@")

licenses=$dir/licenses
rm -rf "$licenses"
mkdir -p "$licenses"
version=$(sed -n 's/^project(brevant VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
commit=$(git rev-parse --short=12 HEAD 2>/dev/null || echo unknown)
[ -z "$(git status --porcelain 2>/dev/null)" ] || commit="$commit, with uncommitted changes"

# PACKAGE: "its version", or with FIELD the field ${FIELD} of dpkg-query's format.
pkg_field() { dpkg-query -W -f="\${${2:-Version}}" "$1"; }
# PATH: the installed Debian package that holds the file.
owner() {
    local owners
    owners=$(dpkg-query -S "$(realpath -s "$1")") || {
        echo "no Debian package holds $1: its licence cannot be taken from one" >&2
        exit 1
    }
    owners=${owners%%: *} # "pkg1, pkg2: path"
    owners=${owners%%,*}
    echo "${owners%%:*}" # without an architecture (pkg:amd64)
}

cp LICENSE "$licenses/LICENSE.txt"
cp /usr/share/common-licenses/GPL-3 "$licenses/GPL-3.txt"
cp /usr/share/common-licenses/LGPL-3 "$licenses/LGPL-3.txt"
cp packaging/windows/qt6-base-windows.patch "$licenses/"
# Qt is built from the source of the installed host tools' version (build-windows.sh checks that
# its cache was): Debian keeps one copyright file for all of that source package.
qt_package=qt6-base-dev
qt_source="$(pkg_field $qt_package source:Package) $(pkg_field $qt_package source:Version)"
cp /usr/share/doc/$qt_package/copyright "$licenses/qt6-base-copyright.txt"

# Each DLL goes to one part: Qt, or the part of the runtime that its name tells. A part's
# version and licence are those of one Debian package.
qt_files=()
gcc_files=()
winpthreads_files=()
gcc_package=
winpthreads_package=
part_package() { # NAME PATH PACKAGE-OF-THE-PART-SO-FAR: prints the package of PATH
    local package
    package=$(owner "$2")
    if [ -n "$3" ] && [ "$3" != "$package" ]; then
        echo "$1 comes from $package, the rest of its part from $3" >&2
        exit 1
    fi
    echo "$package"
}
while IFS=$'\t' read -r name path; do
    if [[ $path == "$qt_prefix"/* ]]; then
        qt_files+=("$name")
        continue
    fi
    case $name in
    libgcc_s_seh-1.dll | libstdc++-6.dll)
        gcc_files+=("$name")
        gcc_package=$(part_package "$name" "$path" "$gcc_package")
        ;;
    libwinpthread-1.dll)
        winpthreads_files+=("$name")
        winpthreads_package=$(part_package "$name" "$path" "$winpthreads_package")
        ;;
    *)
        echo "$name (from $path): its licence is not known; add its notice to $0" >&2
        exit 1
        ;;
    esac
done <"$origins"

if [ -n "$gcc_package" ]; then
    # The exception is part of GCC's copyright file: from its title line to the end of its last
    # section, "2. No Weakening of GCC Copyleft.", whose one paragraph ends at a blank line.
    awk '/^GCC RUNTIME LIBRARY EXCEPTION$/ { on = 1 }
        last && body && /^$/ { done = 1; exit }
        on { print }
        on && /^2\. No Weakening of GCC Copyleft\.$/ { last = 1; next }
        last && /./ { body = 1 }
        END { exit !done }' /usr/share/doc/"$gcc_package"/copyright \
        >"$licenses/GCC-exception-3.1.txt" || {
        echo "no whole GCC Runtime Library Exception in $gcc_package's copyright file" >&2
        exit 1
    }
    # What it names itself must be what the file is named after.
    grep -q '^Version 3\.1,' "$licenses/GCC-exception-3.1.txt" || {
        echo "$gcc_package's copyright file has another version of the GCC exception" >&2
        exit 1
    }
fi

if [ -n "$winpthreads_package" ]; then
    copyright=/usr/share/doc/$winpthreads_package/copyright
    {
        echo "winpthreads, the POSIX threads library of mingw-w64 (libwinpthread-1.dll): the" \
            "paragraphs of Debian's copyright file of $winpthreads_package" \
            "$(pkg_field "$winpthreads_package") ($copyright) that cover it," \
            "mingw-w64-libraries/winpthreads in mingw-w64's source. In this format a line" \
            "holding only \" .\" is an empty line of a licence's text." | fold -s -w 88 | sed 's/ *$//'
        echo
        # The file is in Debian's machine-readable format: paragraphs parted by blank lines,
        # fields "Name: value" with indented continuation lines. Printed are the "Files:"
        # paragraphs that name winpthreads' files (its tests, not part of the DLL, left out),
        # then for each licence they name without giving its text, the stand-alone "License:"
        # paragraph that holds it. Fails when there is no such paragraph, or no licence text.
        awk 'BEGIN { RS = ""; FS = "\n" }
            $1 ~ /^Files:/ {
                files = $1
                for (i = 2; i <= NF && $i ~ /^[ \t]/; i++) files = files " " $i
                if (files !~ /mingw-w64-libraries\/winpthreads\// || files ~ /tests_pthread/) next
                paragraph[++n] = $0
                for (i = 1; i < NF && $i !~ /^License:/; i++) ;
                name = $i
                sub(/^License:[ \t]*/, "", name)
                if (i == NF && !(name in wanted)) { wanted[name] = 1; order[++m] = name }
                next
            }
            $1 ~ /^License:/ && NF > 1 { name = $1; sub(/^License:[ \t]*/, "", name); text[name] = $0 }
            END {
                if (n == 0) { print "no paragraph for winpthreads" > "/dev/stderr"; exit 1 }
                for (i = 1; i <= n; i++) print paragraph[i] "\n"
                for (j = 1; j <= m; j++) {
                    if (!(order[j] in text)) {
                        print "no text of the licence " order[j] > "/dev/stderr"
                        exit 1
                    }
                    print text[order[j]] "\n"
                }
            }' "$copyright"
    } >"$licenses/winpthreads.txt"
    winpthreads_licences=$(sed -n 's/^License: //p' "$licenses/winpthreads.txt" | sort -u |
        paste -sd, | sed 's/,/, /g')
fi

# The libraries Qt's configure builds in from Qt's own copies, by their options.
qt_bundled=
freetype_year=
for option in "${qt_options[@]}"; do
    case $option in
    -qt-zlib) qt_bundled+=", zlib" ;;
    -qt-pcre) qt_bundled+=", PCRE2" ;;
    -qt-libpng) qt_bundled+=", libpng" ;;
    -qt-harfbuzz) qt_bundled+=", HarfBuzz" ;;
    -qt-freetype)
        qt_bundled+=", FreeType"
        # FreeType's licence (the FTL, in qt6-base-copyright.txt) asks the documentation to
        # credit it with the year of the version used: Qt 6.4.2 bundles FreeType 2.12.1, of 2022.
        case $qt_version in
        6.4.2) freetype_year=2022 ;;
        *)
            echo "the year of the FreeType in Qt $qt_version is not known here" >&2
            exit 1
            ;;
        esac
        ;;
    esac
done
qt_bundled=${qt_bundled#, }

# THIRD-PARTY.txt: a paragraph for each part, its fields "Name:" with their text folded to fit
# 88 columns; the Files field lists the part's files one a line.
field() { # NAME TEXT...
    printf '%s ' "${@:2}" | fold -s -w 76 | sed 's/ *$//' |
        awk -v label="  $1:" '{ printf "%-12s%s\n", NR == 1 ? label : "", $0 }'
}
files_field() { # NAME...
    printf '%s\n' "$@" | LC_ALL=C sort | awk '{ printf "%-12s%s\n", NR == 1 ? "  Files:" : "", $0 }'
}
source_field() { # PACKAGE: the Debian source package a binary package is built from
    local built_using
    built_using=$(pkg_field "$1" Built-Using | sed 's/ (= \([^)]*\))/ \1/g')
    field Source "Debian's source package $(pkg_field "$1" source:Package)" \
        "$(pkg_field "$1" source:Version)${built_using:+, with $built_using built in}"
}
{
    echo "brevant $version for Windows: the parts of this folder, their licences and their source."
    echo "The licence texts named are in this folder, licenses."
    echo
    echo "brevant $version"
    files_field brevant.exe
    field Licence "GPL-3.0-or-later: LICENSE.txt"
    field Source "brevant $version (commit $commit); its packaging/windows/README.md tells" \
        "how this package is built, by its scripts/build-windows.sh"
    if [ ${#qt_files[@]} -gt 0 ]; then
        echo
        echo "Qt $qt_version, changed by qt6-base-windows.patch"
        files_field "${qt_files[@]}"
        field Version "Qt $qt_version, from Debian's source package $qt_source"
        field Licence "LGPL-3.0-only: LGPL-3.txt, which adds to GPL-3.txt. Qt contains" \
            "third-party code${qt_bundled:+ (built in here: $qt_bundled)}; its copyright" \
            "holders and licences, and those of every other part of Qt's source, are in" \
            "qt6-base-copyright.txt, Debian's copyright file of $qt_source." \
            "${freetype_year:+Portions of this software are copyright (C) $freetype_year The}" \
            "${freetype_year:+FreeType Project (www.freetype.org). All rights reserved.}"
        field Source "Debian's source package $qt_source (on Debian 12: apt-get source" \
            "qt6-base=${qt_source#* }), unpacked with Debian's patches; then" \
            "qt6-base-windows.patch (in this folder) applied, and built by" \
            "scripts/build-windows.sh of brevant's source with the GCC and mingw-w64 below," \
            "configured with: ${qt_options[*]}"
    fi
    if [ ${#gcc_files[@]} -gt 0 ]; then
        echo
        echo "GCC's runtime libraries (libgcc, libstdc++)"
        files_field "${gcc_files[@]}"
        field Version "Debian 12's package $gcc_package $(pkg_field "$gcc_package")"
        field Licence "GPL-3.0-or-later WITH GCC-exception-3.1: GPL-3.txt and" \
            "GCC-exception-3.1.txt"
        source_field "$gcc_package"
    fi
    if [ ${#winpthreads_files[@]} -gt 0 ]; then
        echo
        echo "winpthreads, mingw-w64's POSIX threads library"
        files_field "${winpthreads_files[@]}"
        field Version "Debian 12's package $winpthreads_package $(pkg_field "$winpthreads_package")"
        field Licence "$winpthreads_licences: winpthreads.txt"
        source_field "$winpthreads_package"
    fi
} >"$licenses/THIRD-PARTY.txt"

for f in "$licenses"/*.txt; do
    sed -i 's/\r*$/\r/' "$f"
done
