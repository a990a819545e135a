#!/usr/bin/env bash
# Makes docs/window.png: the real window on the demo job, under a private Xvfb display.
# Usage: scripts/screenshot.sh [path/to/brevant] [output.png]
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
program=${1:-$root/build/app/brevant}
output=${2:-$root/docs/window.png}
title="Программа отправки почтовых сообщений"

run() {
    # A copy of the demo job: the window's lock stays out of the repository.
    local job
    job=$(mktemp -d)
    cp "$root"/examples/demo/*.txt "$job"
    cd "$job"
    "$program" &
    local pid=$!
    local id=""
    for _ in $(seq 100); do
        id=$(xdotool search --name "$title" 2>/dev/null | head -n 1 || true)
        [ -n "$id" ] && break
        sleep 0.1
    done
    [ -n "$id" ] || { echo "the window did not appear" >&2; kill "$pid"; exit 1; }
    sleep 1
    mkdir -p "$(dirname "$output")"
    import -window "$id" -frame "$output" 2>/dev/null || import -window "$id" "$output"
    kill "$pid"
    wait "$pid" 2>/dev/null || true
    rm -rf "$job"
    echo "wrote $output"
}

if [ "${1:-}" = "--inside" ]; then
    shift
    program=$1 output=$2
    run
else
    exec xvfb-run -a -s "-screen 0 800x600x24" "$0" --inside "$program" "$output"
fi
