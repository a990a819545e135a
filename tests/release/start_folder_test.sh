#!/usr/bin/env bash
# Catches: a built program that ignores its FOLDER argument, sends elsewhere than port 25, opens a
# window of another size, or needs a display for --help and --version.
# Usage: start_folder_test.sh path/to/brevant version (needs root for a network namespace: else 77)
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
within() { # tenths of a second, command: runs the command until it succeeds or the time is up
    for _ in $(seq "$1"); do eval "$2" && return 0 || sleep 0.1; done
    return 1
}
title="^Программа отправки почтовых сообщений\$"
size() { # of the program's one window, or nothing while there is none
    xdotool search --onlyvisible --name "$title" getwindowgeometry --shell %@ 2>/dev/null |
        sed -n 's/WIDTH=//p; s/HEIGHT=//p' | paste -sd x
}
# A display of our own, on a number nobody else holds, that does not reset between programs.
Xvfb -displayfd 3 -nolisten tcp -noreset -screen 0 1024x768x24 3>"$scratch/display" 2>/dev/null &
within 100 '[ -s "$scratch/display" ]'
export DISPLAY=:$(cat "$scratch/display")
status=0
"$program" one two >/dev/null 2>&1 || status=$?
[ $status -eq 1 ] || fail "two folders on the command line gave exit status $status, not 1"
job=$scratch/job
mkdir "$job" "$scratch/elsewhere"
for file in mail='first@example.test\r\nsecond@example.test' smtp=127.0.0.1 sender=me@example.test \
    tema=Test message=Hello; do
    printf "${file#*=}\r\n" >"$job/${file%%=*}.txt"
done
# Each message lands as one file in the Maildir, with its RCPT TO in an X-RcptTo header.
/usr/bin/python3 -m aiosmtpd -n -l 127.0.0.1:25 -c aiosmtpd.handlers.Mailbox "$scratch/Maildir" &
within 100 "ss -ltn 'sport = :25' | grep -q LISTEN"

for argument in "$job" "$job/mail.txt"; do
    rm -f "$scratch"/Maildir/new/* "$job/brevant-log.csv" # a new mailing each time
    (cd "$scratch/elsewhere" && exec "$program" "$argument") &
    pid=$!
    # A busy machine may take a while to show the window, and to take the press on "Послать одно".
    within 300 '[ -n "$(size)" ]' || fail "no window for $argument"
    [ "$(size)" = 442x418 ] || fail "the window is $(size), not 442x418"
    within 3 'xdotool search --onlyvisible --name "$title" mousemove --window %1 376 52 click 1
        within 10 "ls $scratch/Maildir/new/* >/dev/null 2>&1"' || fail "nothing sent from $argument"
    rcpt=$(sed -n 's/^X-RcptTo: //p' "$scratch"/Maildir/new/* | tr -d '\r' | head -n 1)
    [ "$rcpt" = first@example.test ] || fail "on $argument the first message went to \"$rcpt\""
    echo "$argument: first message to $rcpt"
    kill "$pid"
    wait "$pid" || true
done
# A path that is no folder: a box says so, and once it is closed the window opens on the job of
# the current folder all the same.
rm -f "$job/brevant-log.csv"
(cd "$job" && exec "$program" "$scratch/nowhere") &
within 300 '[ -n "$(size)" ]' && [ "$(size)" != 442x418 ] || fail "no box about a path that is no folder"
within 100 'xdotool search --onlyvisible --name "^Программа" windowfocus --sync %1 key Return 2>/dev/null
    [ "$(size)" = 442x418 ]' || fail "no window after the box: $(size)"
echo PASS
