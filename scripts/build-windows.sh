#!/usr/bin/env bash
# Cross-builds brevant for 64-bit Windows on Debian 12 with mingw-w64, and packages it in
# build-windows/ as brevant-VERSION-windows-x64.zip (unpack and run) and brevant-VERSION-setup.exe
# (an NSIS installer), both with the licences and sources of what they bundle in licenses/
# (scripts/windows-notices.sh).
#
# Debian has no Qt for Windows, so Debian's own qt6-base source (the version of the installed
# host tools, which must match) is cross-built once into ~/.cache/brevant/qt-6.4.2-mingw: only
# the modules and plugins the program needs. Later runs find that cache complete and go straight
# to the program. Installs only what is missing, so running it again changes nothing it need not.
# usage: scripts/build-windows.sh [--cached-qt-only]
#   --cached-qt-only  never build Qt: exit 77 when the cache is missing or was built from
#                     something else (scripts/test-windows.sh, which must not take 50 minutes)
set -euo pipefail
cd "$(dirname "$0")/.."
src_dir=$PWD

qt_version=6.4.2
cache=$HOME/.cache/brevant
qt_prefix=$cache/qt-$qt_version-mingw
qt_work=$cache/qt-$qt_version-mingw-work # source and build tree, removed once Qt is installed
out=$src_dir/build-windows
toolchain=$src_dir/cmake/mingw-w64-x86_64.cmake
triplet=x86_64-w64-mingw32
jobs=$(nproc 2>/dev/null || echo 2)

if [ "$(id -u)" -ne 0 ]; then
    SUDO=sudo
else
    SUDO=
fi

packages=(
    # the cross compilers (posix threads, which Qt needs) and Qt's build tools
    g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
    cmake ninja-build perl dpkg-dev xz-utils
    # Debian's Qt host tools (moc, rcc, uic) of the same version as the Qt built here
    qt6-base-dev qt6-base-dev-tools
    # the icon, the zip and the installer
    imagemagick zip unzip nsis
    # running the Windows build here: Wine on a virtual display
    wine wine64 xvfb xauth xdotool x11-utils
)
missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$p")
    fi
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    $SUDO apt-get update -qq
    $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" </dev/null
fi

# The Qt configuration. Shared DLLs, release only, no OpenGL at all: the dynamic-OpenGL code of
# Qt 6.4's Windows plugin does not build without OpenGL, so dynamicgl goes too. TLS through
# Windows' own Schannel, so no OpenSSL DLLs to ship. Modules, image formats and plugins the program
# does not use are left out, which also keeps the one long build short. The offscreen platform
# (which needs FreeType) stays: the window's tests run on it.
qt_options=(
    -release -shared -nomake examples -nomake tests
    -no-opengl -no-feature-dynamicgl -no-feature-vulkan -no-feature-direct2d
    -schannel -no-openssl -no-dbus -no-icu -no-zstd
    -qt-zlib -qt-pcre -qt-libpng -qt-freetype -qt-harfbuzz -no-libjpeg -no-gif -no-ico
    -no-feature-sql -no-feature-printsupport -no-feature-concurrent -no-feature-xml
    -no-feature-networklistmanager -no-feature-tuiotouch
    -no-feature-androiddeployqt -no-feature-windeployqt
)
qt_patch=$src_dir/packaging/windows/qt6-base-windows.patch
qt_marker=$qt_prefix/.brevant-qt-complete
# What the cache was built from: a change to any of it builds Qt anew.
qt_stamp="qt6-base $(dpkg-query -W -f='${source:Version}' qt6-base-dev) ${qt_options[*]}
$(sha256sum "$qt_patch" | cut -d' ' -f1)"

qt_complete() {
    [ -f "$qt_marker" ] && [ "$(cat "$qt_marker")" = "$qt_stamp" ] || return 1
    local f
    for f in bin/Qt6Core.dll bin/Qt6Gui.dll bin/Qt6Widgets.dll bin/Qt6Network.dll bin/Qt6Test.dll \
        plugins/platforms/qwindows.dll plugins/tls/qschannelbackend.dll \
        plugins/styles/qwindowsvistastyle.dll lib/cmake/Qt6/qt.toolchain.cmake; do
        [ -f "$qt_prefix/$f" ] || return 1
    done
}

# apt-get source needs a deb-src entry; Debian's image has only binary ones.
ensure_deb_src() {
    if apt-cache showsrc qt6-base 2>/dev/null | grep -q '^Package: qt6-base$'; then
        return
    fi
    echo "Adding a deb-src entry for bookworm"
    $SUDO tee /etc/apt/sources.list.d/brevant-deb-src.sources >/dev/null <<'EOF'
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: bookworm
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
EOF
    $SUDO apt-get update -qq
}

build_qt() {
    local started=$SECONDS version
    # The same Debian version as the host tools: moc's output must match the libraries.
    version=$(dpkg-query -W -f='${source:Version}' qt6-base-dev)
    # A work tree left by an interrupted build of the same configuration is built on.
    if [ "$(cat "$qt_work/stamp" 2>/dev/null)" != "$qt_stamp" ]; then
        ensure_deb_src
        rm -rf "$qt_work" "$qt_prefix"
        mkdir -p "$qt_work/build"
        # Debian's patches (security fixes among them) are applied as dpkg-source unpacks.
        (cd "$qt_work" && apt-get source -qq --download-only "qt6-base=$version" &&
            dpkg-source -x --no-check ./*.dsc qtbase >/dev/null)
        patch -d "$qt_work/qtbase" -p1 -s <"$qt_patch"
        (cd "$qt_work/build" &&
            "$qt_work/qtbase/configure" -prefix "$qt_prefix" -qt-host-path /usr "${qt_options[@]}" \
                -- -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
                -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake >configure.log 2>&1) || {
            tail -n 40 "$qt_work/build/configure.log" >&2
            echo "Qt's configure failed; the whole log is $qt_work/build/configure.log" >&2
            exit 1
        }
        echo "$qt_stamp" >"$qt_work/stamp"
    fi
    # The compiler's warnings about Qt's own code go to a log, not the terminal.
    cmake --build "$qt_work/build" --parallel "$jobs" >"$qt_work/build.log" 2>&1 || {
        grep -A 10 '^FAILED' "$qt_work/build.log" | head -n 60 >&2
        echo "Qt's build failed; the whole log is $qt_work/build.log" >&2
        exit 1
    }
    cmake --install "$qt_work/build" >/dev/null
    echo "$qt_stamp" >"$qt_marker"
    rm -rf "$qt_work"
    echo "Qt $qt_version for Windows built in $(((SECONDS - started) / 60)) min" \
        "$(((SECONDS - started) % 60)) s, into $qt_prefix"
}

if qt_complete; then
    echo "Qt $qt_version for Windows: using $qt_prefix"
elif [ "${1:-}" = --cached-qt-only ]; then
    echo "Qt $qt_version for Windows is not built in $qt_prefix, or not from this source and" \
        "configuration: scripts/build-windows.sh builds it (about 50 minutes)" >&2
    exit 77
else
    echo "Qt $qt_version for Windows: building it once into $qt_prefix"
    build_qt
fi

# The program, with the project's own CMake files: Qt's toolchain file finds the Windows Qt and
# the host tools, and chain-loads ours for the compilers. Tests and benchmarks need GoogleTest
# and Google Benchmark built for Windows, which Debian does not have.
started=$SECONDS
build=$out/cmake
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$qt_prefix/lib/cmake/Qt6/qt.toolchain.cmake" \
    -DQT_CHAINLOAD_TOOLCHAIN_FILE="$toolchain" \
    -DBUILD_TESTING=OFF -DBREVANT_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" --parallel "$jobs"
version=$(sed -n 's/^project(brevant VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
echo "brevant $version for Windows built in $((SECONDS - started)) s"

# The folder that is zipped and installed: the program, the plugins Qt loads for it (the window,
# TLS through Schannel, the native style), every DLL these import that Windows does not have,
# and in licenses/ the notices of all of it. Where each DLL came from is noted in ORIGINS, from
# which the notices are made.
name=brevant-$version
stage=$out/$name
origins=$out/dll-origins.txt
rm -rf "$stage"
mkdir -p "$stage/platforms" "$stage/tls" "$stage/styles"
: >"$origins"
bundle() { # FILE NAME: copies FILE into the folder as NAME
    cp "$1" "$stage/$2"
    printf '%s\t%s\n' "$2" "$1" >>"$origins"
}
cp "$build/app/brevant.exe" "$stage/"
bundle "$qt_prefix/plugins/platforms/qwindows.dll" platforms/qwindows.dll
bundle "$qt_prefix/plugins/tls/qschannelbackend.dll" tls/qschannelbackend.dll
bundle "$qt_prefix/plugins/styles/qwindowsvistastyle.dll" styles/qwindowsvistastyle.dll

# Where a DLL that is not part of Windows comes from: Qt, or the compiler's runtime.
find_dll() {
    local dir
    for dir in "$qt_prefix/bin" "$(dirname "$("$triplet-g++-posix" -print-file-name=libstdc++-6.dll)")" \
        /usr/$triplet/lib; do
        if [ -f "$dir/$1" ]; then
            echo "$dir/$1"
            return
        fi
    done
}
# Wine's own DLLs stand for Windows' here, with the API sets (api-ms-win-*, ext-ms-win-*) that
# Windows' loader maps to its DLLs: an import found neither there nor above is missing.
wine_dlls=/usr/lib/x86_64-linux-gnu/wine/x86_64-windows
pending=("$stage"/brevant.exe "$stage"/*/*.dll)
while [ ${#pending[@]} -gt 0 ]; do
    file=${pending[0]}
    pending=("${pending[@]:1}")
    while read -r dll; do
        [ -f "$stage/$dll" ] && continue
        found=$(find_dll "$dll")
        if [ -n "$found" ]; then
            bundle "$found" "$dll"
            pending+=("$stage/$dll")
        elif [ ! -f "$wine_dlls/${dll,,}" ] && [[ ${dll,,} != @(api|ext)-ms-win-* ]]; then
            echo "$(basename "$file") needs $dll, which is neither in Qt, the runtime nor Windows" >&2
            exit 1
        fi
    done < <("$triplet-objdump" -p "$file" | sed -n 's/^\s*DLL Name: //p')
done
find "$stage" -name '*.exe' -exec "$triplet-strip" --strip-all {} +
find "$stage" -name '*.dll' -exec "$triplet-strip" --strip-unneeded {} +
scripts/windows-notices.sh "$stage" "$origins" "$qt_prefix" "$qt_version" "${qt_options[@]}"

# The zip: the same bytes from the same commit (file times from it, sorted names, no extra
# attributes).
epoch=$(git log -1 --format=%ct 2>/dev/null || date +%s)
find "$stage" -exec touch -h -d "@$epoch" {} +
zip_file=$out/$name-windows-x64.zip
rm -f "$zip_file"
(cd "$out" && find "$name" | LC_ALL=C sort | zip -q -X -9 "$zip_file" -@)

# The installer, with the lists of the files it installs and its uninstaller removes.
nsis=$out/nsis
rm -rf "$nsis"
mkdir -p "$nsis"
: >"$nsis/install.nsh"
: >"$nsis/uninstall.nsh"
while read -r dir; do
    rel=${dir#"$stage"}
    win=${rel//\//\\}
    echo "SetOutPath \"\$INSTDIR$win\"" >>"$nsis/install.nsh"
    while read -r f; do
        echo "File \"$f\"" >>"$nsis/install.nsh"
        echo "Delete \"\$INSTDIR$win\\$(basename "$f")\"" >>"$nsis/uninstall.nsh"
    done < <(find "$dir" -maxdepth 1 -type f | LC_ALL=C sort)
done < <(find "$stage" -type d | LC_ALL=C sort)
while read -r dir; do
    rel=${dir#"$stage"}
    echo "RMDir \"\$INSTDIR${rel//\//\\}\"" >>"$nsis/uninstall.nsh"
done < <(find "$stage" -mindepth 1 -type d | LC_ALL=C sort -r)
setup=$out/$name-setup.exe
makensis -V2 -INPUTCHARSET UTF8 -DVERSION="$version" -DSTAGE="$stage" \
    -DICON="$build/app/windows/brevant.ico" -DFILES="$nsis" \
    -DSIZE_KB="$(du -sk "$stage" | cut -f1)" -DOUTFILE="$setup" packaging/windows/brevant.nsi

echo
echo "$(du -h "$zip_file" | cut -f1)  $zip_file"
echo "$(du -h "$setup" | cut -f1)  $setup"
