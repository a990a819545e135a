#!/usr/bin/env bash
# Starts the built program under a private Xvfb display in a temporary job folder, finds its
# window by title and checks the size of its client area: 442 x 418 pixels.
# Usage: real_window_test.sh path/to/brevant
set -euo pipefail
program=$(readlink -f "$1")
title="Программа отправки почтовых сообщений"

if [ "${2:-}" != "--inside" ]; then
    exec xvfb-run -a -s "-screen 0 1024x768x24" "$0" "$program" --inside
fi

job=$(mktemp -d)
trap 'kill "$pid" 2>/dev/null || true; rm -rf "$job"' EXIT
printf 'a@example.test\r\nb@example.test\r\n' >"$job/mail.txt"
printf '127.0.0.1\r\n' >"$job/smtp.txt"
printf 'me@example.test\r\n' >"$job/sender.txt"
printf 'Test\r\n' >"$job/tema.txt"
printf 'Hello\r\n' >"$job/message.txt"

cd "$job"
"$program" &
pid=$!

id=""
for _ in $(seq 100); do
    id=$(xdotool search --name "^${title}\$" 2>/dev/null | head -n 1 || true)
    [ -n "$id" ] && break
    kill -0 "$pid" 2>/dev/null || { echo "FAIL: the program exited before its window appeared" >&2; exit 1; }
    sleep 0.1
done
[ -n "$id" ] || { echo "FAIL: no window titled \"$title\" appeared" >&2; exit 1; }

eval "$(xdotool getwindowgeometry --shell "$id")"
echo "window $id: ${WIDTH}x${HEIGHT}"
if [ "$WIDTH" != 442 ] || [ "$HEIGHT" != 418 ]; then
    echo "FAIL: expected 442x418" >&2
    exit 1
fi
# The program is still running: it opened on this job without a crash or a box in the way.
kill -0 "$pid"
echo "PASS"
