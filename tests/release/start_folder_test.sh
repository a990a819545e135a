#!/usr/bin/env bash
# Catches: a built program that ignores its FOLDER argument, connects elsewhere than port 25,
# opens a window of another size, or needs a display for --help and --version.
#
# Started from another directory on a job folder (the folder itself, then its mail.txt), the
# program under Xvfb sends with "Послать одно" to the first address of that folder's mail.txt,
# through a mail sink on 127.0.0.1:25 in a network namespace of its own (needs root: else 77).
# Usage: start_folder_test.sh path/to/brevant version
set -euo pipefail
program=$(readlink -f "$1")
fail() { echo "FAIL: $*" >&2; exit 1; }
if [ "${3:-}" != --inside ]; then
    bare=(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$program")
    [ "$("${bare[@]}" --version)" = "brevant $2" ] || fail "--version"
    "${bare[@]}" --help | grep -q "\[FOLDER\]" || fail "--help does not show the FOLDER argument"
    [ "$(id -u)" = 0 ] || { echo "SKIP: needs root for a network namespace"; exit 77; }
    exec unshare --net "$0" "$1" "$2" --inside
fi

ip link set lo up
scratch=$(mktemp -d)
trap 'kill $(jobs -p) 2>/dev/null; rm -rf "$scratch"' EXIT
# A display of our own, on a number nobody else holds, that does not reset between programs.
Xvfb -displayfd 3 -nolisten tcp -noreset -screen 0 1024x768x24 3>"$scratch/display" 2>/dev/null &
for _ in $(seq 100); do [ -s "$scratch/display" ] && break || sleep 0.1; done
export DISPLAY=:$(cat "$scratch/display")
job=$scratch/job
mkdir "$job" "$scratch/elsewhere"
printf 'first@example.test\r\nsecond@example.test\r\n' >"$job/mail.txt"
printf '127.0.0.1\r\n' >"$job/smtp.txt"
printf 'me@example.test\r\n' >"$job/sender.txt"
printf 'Test\r\n' >"$job/tema.txt"
printf 'Hello\r\n' >"$job/message.txt"
# Each message lands as one file in the Maildir, with its RCPT TO in an X-RcptTo header.
/usr/bin/python3 -m aiosmtpd -n -l 127.0.0.1:25 -c aiosmtpd.handlers.Mailbox "$scratch/Maildir" &
for _ in $(seq 100); do ss -ltn 'sport = :25' | grep -q LISTEN && break || sleep 0.1; done

for argument in "$job" "$job/mail.txt"; do
    rm -f "$scratch"/Maildir/new/*
    (cd "$scratch/elsewhere" && exec "$program" "$argument") &
    pid=$!
    for _ in $(seq 300); do # a busy machine may take a while to show it
        id=$(xdotool search --onlyvisible --name "^Программа отправки почтовых сообщений\$" || true)
        [ -n "$id" ] && break
        sleep 0.1
    done
    [ -n "$id" ] || fail "no window for $argument"
    eval "$(xdotool getwindowgeometry --shell "$id")"
    [ "${WIDTH}x${HEIGHT}" = 442x418 ] || fail "the window is ${WIDTH}x${HEIGHT}, not 442x418"
    # Presses "Послать одно", again if the first press came before the window took input.
    for i in $(seq 30); do
        [ $((i % 10)) != 1 ] || xdotool mousemove --window "$id" 376 52 click 1
        [ -n "$(ls "$scratch/Maildir/new" 2>/dev/null)" ] && break
        sleep 0.1
    done
    rcpt=$(sed -n 's/^X-RcptTo: //p' "$scratch"/Maildir/new/* | tr -d '\r' | head -n 1)
    [ "$rcpt" = first@example.test ] || fail "on $argument the first message went to \"$rcpt\""
    echo "$argument: first message to $rcpt"
    kill "$pid"
    wait "$pid" || true
done
# A path that is no folder: a box says so, and once it is closed the window opens on the job of
# the current folder all the same.
size() { # of the program's one window, or nothing while there is none
    xdotool search --onlyvisible --name "^Программа отправки почтовых сообщений\$" \
        getwindowgeometry --shell %@ 2>/dev/null | sed -n 's/WIDTH=//p; s/HEIGHT=//p' | paste -sd x
}
(cd "$job" && exec "$program" "$scratch/nowhere") &
for _ in $(seq 300); do [ -n "$(size)" ] && break || sleep 0.1; done
[ -n "$(size)" ] && [ "$(size)" != 442x418 ] || fail "no box about a path that is no folder"
for _ in $(seq 100); do
    xdotool search --onlyvisible --name "^Программа" windowfocus --sync %1 key Return 2>/dev/null || true
    [ "$(size)" = 442x418 ] && break || sleep 0.1
done
[ "$(size)" = 442x418 ] || fail "no window after the box: $(size)"
echo PASS
