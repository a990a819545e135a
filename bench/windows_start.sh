#!/usr/bin/env bash
# The Windows build's start under Wine beside the Linux build's native start: the time from
# launching the program on the demo job to its window being mapped, on the same private Xvfb
# display, median of RUNS runs each. Goal: the Windows build under Wine shows its window in < 3 s.
#
# usage: bench/windows_start.sh [ZIP] [LINUX-PROGRAM]
#   ZIP            the Windows zip made by scripts/build-windows.sh
#                  (default: this version's, build-windows/brevant-VERSION-windows-x64.zip)
#   LINUX-PROGRAM  the Linux build (default: build/app/brevant)
# Environment: WINDOWS_START_RUNS (default 5); WINEPREFIX (default ~/.cache/brevant/wine-prefix,
#              made with wineboot -i on first use and kept, so that the runs find it warm).
# Exit status: 0 when the goal is met, 3 when it is not, 1 when a program could not be timed.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
title="Программа отправки почтовых сообщений"
runs=${WINDOWS_START_RUNS:-5}
die() {
    echo "windows_start: $*" >&2
    exit 1
}

if [ "${1:-}" != --inside ]; then
    version=$(sed -n 's/^project(brevant VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
    zip_file=${1:-build-windows/brevant-$version-windows-x64.zip}
    linux=${2:-build/app/brevant}
    [ -f "$zip_file" ] || die "no Windows zip: run scripts/build-windows.sh first"
    [ -x "$linux" ] || die "$linux is not built"
    for tool in wine xvfb-run xdotool unzip; do
        command -v "$tool" >/dev/null || die "needs $tool (scripts/build-windows.sh installs it)"
    done
    exec </dev/null
    exec xvfb-run -a -s "-screen 0 1024x768x24" "$0" --inside "$(readlink -f "$zip_file")" \
        "$(readlink -f "$linux")"
fi
zip_file=$2
linux=$3

export WINEPREFIX=${WINEPREFIX:-$HOME/.cache/brevant/wine-prefix}
export WINEDEBUG=-all
# No Mono or Gecko: the program needs neither, and Wine would offer to download them.
export WINEDLLOVERRIDES="mscoree,mshtml="
scratch=$(mktemp -d /tmp/windows-start.XXXXXX)
cleanup() {
    wineserver -k 2>/dev/null || true
    rm -rf "$scratch"
}
trap cleanup EXIT
if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "windows_start: making the Wine prefix $WINEPREFIX" >&2
    wineboot -i >/dev/null 2>&1
    wineserver -w
fi
# The Wine server stays up between the runs (until the end), as Windows itself does between two
# starts of a program.
wineserver -p
unzip -q "$zip_file" -d "$scratch"
exe=$(ls "$scratch"/*/brevant.exe)

# COMMAND...: milliseconds from the start of COMMAND to its window being mapped; the program is
# then ended, and waited for.
time_start() {
    local start now pid id=""
    start=$(date +%s%N)
    "$@" >"$scratch/out" 2>&1 &
    pid=$!
    while [ -z "$id" ]; do
        id=$(xdotool search --onlyvisible --name "$title" 2>/dev/null | head -n 1 || true)
        now=$(date +%s%N)
        if [ -z "$id" ] && { ! kill -0 "$pid" 2>/dev/null || [ $((now - start)) -gt 60000000000 ]; }; then
            kill "$pid" 2>/dev/null || true
            die "$1 showed no window within 60 s: $(tail -n 5 "$scratch/out")"
        fi
        [ -n "$id" ] || sleep 0.01
    done
    echo $(((now - start) / 1000000))
    kill "$pid"
    wait "$pid" 2>/dev/null || true
    # The next run must not find this window.
    local i
    for i in $(seq 200); do
        xdotool search --name "$title" >/dev/null 2>&1 || return 0
        sleep 0.05
    done
    die "the window of $1 stayed after the program was ended"
}
median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

# On a copy of the demo job: the lock each start takes stays out of the repository.
mkdir "$scratch/demo"
cp "$root"/examples/demo/*.txt "$scratch/demo/"
cd "$scratch/demo"
# One start of each that is not counted: it loads the DLLs and fonts into the page cache.
time_start wine "$exe" . >/dev/null
time_start env QT_QPA_PLATFORM=xcb "$linux" . >/dev/null
: >"$scratch/wine.ms"
: >"$scratch/linux.ms"
printf 'Window start on the demo job, Xvfb, %s runs each (ms from launch to the window mapped)\n' "$runs"
printf '%-8s %18s %14s\n' run "Windows (Wine)" "Linux native"
for i in $(seq "$runs"); do
    w=$(time_start wine "$exe" .)
    l=$(time_start env QT_QPA_PLATFORM=xcb "$linux" .)
    echo "$w" >>"$scratch/wine.ms"
    echo "$l" >>"$scratch/linux.ms"
    printf '%-8s %18s %14s\n' "$i" "$w" "$l"
done
w=$(median <"$scratch/wine.ms")
l=$(median <"$scratch/linux.ms")
printf '%-8s %18s %14s\n' median "$w" "$l"
ratio=$(awk -v w="$w" -v l="$l" 'BEGIN { printf "%.1f", w / l }')
if awk -v w="$w" 'BEGIN { exit !(w < 3000) }'; then
    echo "Windows build under Wine: $w ms, $ratio times the Linux start; goal < 3 s: met"
else
    echo "Windows build under Wine: $w ms, $ratio times the Linux start; goal < 3 s: NOT met"
    exit 3
fi
