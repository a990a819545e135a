#!/usr/bin/env bash
# Checks the Windows build made by scripts/build-windows.sh under Wine, on a private Xvfb display,
# in a Wine prefix of its own (made anew, removed at the end) that sees nothing of this machine
# but its drive C: (no Z: drive), so that nothing outside the package (Qt's build in the cache
# above all) can stand in for a file missing from it:
#   the zip     holds the program, its plugins and no DLL of a debug build, and the notices of
#               all it bundles, every DLL named in them (scripts/check-notices.sh); unpacked, the
#               program opens its window on examples/demo, with a client area of 442 x 418;
#   the setup   installs silently for the current user: the program with those notices, the
#               Start-menu entry, the Add/Remove Programs key; the installed program opens its
#               window; the silent uninstaller then leaves none of it behind.
# A screenshot of the window is left as SHOT (default build-windows/window-wine.png) to look at.
# usage: scripts/check-windows.sh [SHOT]
# Exit status: 0 when every check passes, 1 when one fails.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
title="Программа отправки почтовых сообщений"

if [ "${1:-}" != --inside ]; then
    exec </dev/null
    exec xvfb-run -a -s "-screen 0 1024x768x24" "$0" --inside "$(realpath -m "${1:-build-windows/window-wine.png}")"
fi
shot=$2

# This tree's version: build-windows/ may still hold the packages of an earlier one.
version=$(sed -n 's/^project(brevant VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")
zip_file=$root/build-windows/brevant-$version-windows-x64.zip
setup=$root/build-windows/brevant-$version-setup.exe
if [ ! -f "$zip_file" ] || [ ! -f "$setup" ]; then
    echo "no zip or setup in build-windows/: run scripts/build-windows.sh first" >&2
    exit 1
fi
scratch=$(mktemp -d /tmp/check-windows.XXXXXX)
export WINEPREFIX=$scratch/prefix
export WINEDEBUG=-all
# No Mono or Gecko: the program needs neither, and Wine would offer to download them.
export WINEDLLOVERRIDES="mscoree,mshtml="
cleanup() {
    wineserver -k 2>/dev/null || true
    rm -rf "$scratch"
}
trap cleanup EXIT

failures=0
passes=0
check() { # DESCRIPTION COMMAND...: runs COMMAND, counts and reports the result
    local what=$1
    shift
    if "$@"; then
        passes=$((passes + 1))
        echo "ok: $what"
    else
        failures=$((failures + 1))
        echo "FAILED: $what" >&2
    fi
}

# DIR COMMAND...: starts COMMAND in DIR and waits up to 60 s for its window; prints the id.
window_id=
start_window() {
    local dir=$1 id=""
    shift
    (cd "$dir" && exec "$@") >"$scratch/program.log" 2>&1 &
    program_pid=$!
    for _ in $(seq 600); do
        id=$(xdotool search --onlyvisible --name "$title" 2>/dev/null | head -n 1 || true)
        [ -n "$id" ] && break
        kill -0 "$program_pid" 2>/dev/null || break
        sleep 0.1
    done
    window_id=$id
    [ -n "$id" ]
}
stop_window() {
    kill "$program_pid" 2>/dev/null || true
    wait "$program_pid" 2>/dev/null || true
    wineserver -w
}
client_size() { # the size of the X window that holds the client area, as WIDTHxHEIGHT
    xwininfo -id "$window_id" | awk '/Width:/ { w = $2 } /Height:/ { h = $2 } END { print w "x" h }'
}

wineboot -i >/dev/null 2>&1
wineserver -w
drive_c=$WINEPREFIX/drive_c
rm "$WINEPREFIX/dosdevices/z:"
cp -r "$root/examples/demo" "$drive_c/demo"
cp "$setup" "$drive_c/setup.exe"
cd "$drive_c" # a folder Wine can see, for the commands below

# The zip.
unzip -q "$zip_file" -d "$drive_c"
folder=$drive_c/brevant-$version
for f in brevant.exe platforms/qwindows.dll tls/qschannelbackend.dll styles/qwindowsvistastyle.dll \
    Qt6Core.dll Qt6Gui.dll Qt6Widgets.dll Qt6Network.dll; do
    check "the zip holds $f" test -f "$folder/$f"
done
check "the zip holds no debug DLL (Qt6*d.dll)" test -z "$(find "$folder" -name 'Qt6*d.dll')"
check "the zip carries the notices of all it bundles, every DLL named in THIRD-PARTY.txt" \
    "$root/scripts/check-notices.sh" "$folder"
if start_window "$drive_c/demo" wine "C:\\$(basename "$folder")\\brevant.exe" 'C:\demo'; then
    check "the unpacked program opens its window on examples/demo" true
    check "the client area is 442x418 (it is $(client_size))" test "$(client_size)" = 442x418
    sleep 1
    mkdir -p "$(dirname "$shot")"
    import -window "$window_id" "$shot" 2>/dev/null && echo "screenshot: $shot"
else
    check "the unpacked program opens its window on examples/demo" false
    tail -n 20 "$scratch/program.log" >&2
fi
stop_window

# The installer, silently, for the current user.
wine 'C:\setup.exe' /S
wineserver -w
local_app_data=$(winepath -u "$(wine cmd /c 'echo %LOCALAPPDATA%' | tr -d '\r')")
app_data=$(winepath -u "$(wine cmd /c 'echo %APPDATA%' | tr -d '\r')")
installed=$local_app_data/Programs/brevant
shortcut="$app_data/Microsoft/Windows/Start Menu/Programs/$title.lnk"
key='HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\brevant'
check "the setup installs the program into %LOCALAPPDATA%\\Programs\\brevant" \
    test -f "$installed/brevant.exe"
check "it installs every file of the zip" \
    diff <(cd "$folder" && find . -type f | sort) \
    <(cd "$installed" && find . -type f ! -name uninstall.exe | sort)
check "it installs the notices of all it bundles, every DLL named in THIRD-PARTY.txt" \
    "$root/scripts/check-notices.sh" "$installed"
check "it adds the Start-menu entry" test -f "$shortcut"
check "it adds the Add/Remove Programs key" bash -c "wine reg query '$key' /v UninstallString >/dev/null"
if start_window "$drive_c/demo" wine "$(winepath -w "$installed/brevant.exe")" 'C:\demo'; then
    check "the installed program opens its window" true
else
    check "the installed program opens its window" false
fi
stop_window
# The uninstaller copies itself away and runs from there: wait for every Wine process.
wine "$(winepath -w "$installed/uninstall.exe")" /S
wineserver -w
check "the uninstaller removes the folder" test ! -e "$installed"
check "it removes the Start-menu entry" test ! -e "$shortcut"
check "it removes the Add/Remove Programs key" bash -c "! wine reg query '$key' >/dev/null 2>&1"

echo
echo "$passes passed, $failures failed"
[ "$failures" -eq 0 ]
