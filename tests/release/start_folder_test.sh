#!/usr/bin/env bash
# Catches: a built program that ignores its FOLDER argument, connects elsewhere than port 25,
# opens a window of another size, or answers --help and --version only with a display.
#
# The program started from another directory on a job folder named on the command line (the
# folder itself, then its mail.txt) reads that job: "Послать одно" sends the first message to
# the first address of the folder's mail.txt, to 127.0.0.1:25. Runs the program under Xvfb in a
# private network namespace with a mail sink on port 25, so it needs root (exit 77 otherwise).
# Usage: start_folder_test.sh path/to/brevant version
set -euo pipefail
program=$(readlink -f "$1")
version=$2
title="Программа отправки почтовых сообщений"
fail() {
    echo "FAIL: $*" >&2
    exit 1
}

if [ "${3:-}" != --inside ]; then
    out=$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$program" --version) ||
        fail "--version exited with $?"
    [ "$out" = "brevant $version" ] || fail "--version printed \"$out\""
    help=$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$program" --help) ||
        fail "--help exited with $?"
    grep -q "\[FOLDER\]" <<<"$help" || fail "--help does not show the FOLDER argument"
    [ "$(id -u)" = 0 ] || { echo "SKIP: needs root for a network namespace"; exit 77; }
    exec unshare --net xvfb-run -a -s "-screen 0 1024x768x24" "$0" "$program" "$version" --inside
fi

ip link set lo up
scratch=$(mktemp -d)
sink="" pid=""
trap 'kill $pid $sink 2>/dev/null || true; rm -rf "$scratch"' EXIT
job="$scratch/job" elsewhere="$scratch/elsewhere"
mkdir "$job" "$elsewhere"
printf 'first@example.test\r\nsecond@example.test\r\n' >"$job/mail.txt"
printf '127.0.0.1\r\n' >"$job/smtp.txt"
printf 'me@example.test\r\n' >"$job/sender.txt"
printf 'Test\r\n' >"$job/tema.txt"
printf 'Hello\r\n' >"$job/message.txt"

# Each message lands as one file in the Maildir, with its RCPT TO in an X-RcptTo header.
/usr/bin/python3 -m aiosmtpd -n -l 127.0.0.1:25 -c aiosmtpd.handlers.Mailbox "$scratch/Maildir" \
    >"$scratch/sink.log" 2>&1 &
sink=$!
for _ in $(seq 50); do
    ss -ltn 'sport = :25' | grep -q LISTEN && break
    sleep 0.1
done
ss -ltn 'sport = :25' | grep -q LISTEN || { cat "$scratch/sink.log" >&2; fail "no mail sink"; }

for argument in "$job" "$job/mail.txt"; do
    rm -f "$scratch"/Maildir/new/*
    (cd "$elsewhere" && exec "$program" "$argument") &
    pid=$!
    id=""
    for _ in $(seq 300); do # a busy machine may take a while to start it
        id=$(xdotool search --onlyvisible --name "^${title}\$" 2>/dev/null | head -n 1 || true)
        [ -n "$id" ] && break
        kill -0 "$pid" 2>/dev/null || fail "the program exited before its window appeared"
        sleep 0.1
    done
    [ -n "$id" ] || fail "no window for $argument"
    eval "$(xdotool getwindowgeometry --shell "$id")"
    [ "${WIDTH}x${HEIGHT}" = 442x418 ] || fail "the window is ${WIDTH}x${HEIGHT}, not 442x418"
    # Presses "Послать одно"; presses again if a press came before the window took input.
    for _ in 1 2 3; do
        xdotool mousemove --window "$id" 376 52 click 1
        for _ in $(seq 50); do
            [ -n "$(ls "$scratch/Maildir/new" 2>/dev/null)" ] && break 2
            sleep 0.1
        done
    done
    first=$(ls -1tr "$scratch"/Maildir/new/* 2>/dev/null | head -n 1)
    [ -n "$first" ] || fail "no message sent on $argument"
    rcpt=$(sed -n 's/^X-RcptTo: //p' "$first" | tr -d '\r')
    [ "$rcpt" = first@example.test ] || fail "on $argument the first message went to \"$rcpt\""
    echo "$argument: first message to $rcpt"
    kill "$pid"
    wait "$pid" 2>/dev/null || true
    pid=""
done
echo "PASS"
