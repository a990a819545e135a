#!/usr/bin/env bash
# Catches: two windows of the real program on one job folder both walking the list. Runs inside
# e2e_postfix.sh's namespace (a strict Postfix on 127.0.0.1:25):
#   e2e_postfix.sh two_windows_test.sh PATH/TO/brevant
# The program is started twice on one folder of six addresses, on its own Xvfb; the second shows
# that the job is open in another window, and "Послать серию" is pressed in both. Each address
# gets one message. The first is then closed: the second takes the job over and sends nothing
# more, since the log says everyone had it.
set -euo pipefail
program=$(readlink -f "$1")
maildir=$BREVANT_E2E_MAILDIR
scratch=$(mktemp -d)
trap 'kill -KILL $(jobs -p) 2>/dev/null; rm -rf "$scratch"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
within() { # tenths of a second, command
    for _ in $(seq "$1"); do eval "$2" && return 0 || sleep 0.1; done
    return 1
}
Xvfb -displayfd 3 -nolisten tcp -noreset -screen 0 1024x768x24 3>"$scratch/display" 2>/dev/null &
within 100 '[ -s "$scratch/display" ]'
export DISPLAY=:$(cat "$scratch/display")
unset QT_QPA_PLATFORM
rm -f "$maildir"/new/*
job=$scratch/job
mkdir "$job"
printf '%s@list.test\r\n' anna boris vera gleb dina egor >"$job/mail.txt"
printf '%s\r\n' 127.0.0.1 >"$job/smtp.txt"
printf '%s\r\n' news@example.test >"$job/sender.txt"
printf '%s\r\n' Twice >"$job/tema.txt"
printf '%s\r\n' Hello >"$job/message.txt"
delivered() { ls "$maildir/new" | wc -l; }
window_of() { # the main window of process $1: the one of the designed size
    for id in $(xdotool search --onlyvisible --pid "$1" 2>/dev/null); do
        xdotool getwindowgeometry "$id" | grep -q "Geometry: 442x418" && echo "$id" && return
    done
}
windows_of() { xdotool search --onlyvisible --pid "$1" 2>/dev/null | wc -l; }

(cd "$job" && exec "$program") &
first=$!
within 300 '[ -n "$(window_of $first)" ]' || fail "no first window"
(cd "$job" && exec "$program") &
second=$!
within 300 '[ -n "$(window_of $second)" ]' || fail "no second window"
within 50 '[ "$(windows_of $second)" -ge 2 ]' || fail "the second window tells nothing"
box=$(xdotool search --onlyvisible --pid $second | grep -vx "$(window_of $second)" | head -n 1)
xdotool windowfocus --sync "$box" key --clearmodifiers Return # the other window has the focus
within 50 '[ "$(windows_of $second)" -eq 1 ]' || fail "the box of the second window stays"
# Without a window manager both windows open at the same place: the second moves aside.
xdotool windowmove "$(window_of $second)" 520 300
sleep 0.5
xdotool mousemove --window "$(window_of $second)" 376 84 click 1 # "Послать серию"
xdotool mousemove --window "$(window_of $first)" 376 84 click 1
within 300 '[ "$(delivered)" -ge 6 ]' || fail "only $(delivered) messages"
sleep 4 # a seventh would come at the next ticks
[ "$(delivered)" -eq 6 ] || fail "$(delivered) messages for six addresses"
kill -TERM $first
wait $first 2>/dev/null || true
sleep 4 # the second window takes over at its next ticks, and finds nobody left
counts=$(grep -h '^X-Original-To:' "$maildir"/new/* | sort | uniq -c | awk '{print $1}' | sort -u)
[ "$(delivered)" -eq 6 ] && [ "$counts" = 1 ] ||
    fail "$(grep -h '^X-Original-To:' "$maildir"/new/* | sort | uniq -c)"
# Each window's series reached the end of the list once: the second's only after taking over.
ends=$(python3 -c "import csv, sys; print(sum(r[3] == 'finished' for r in csv.reader(open(sys.argv[1], newline='', encoding='utf-8-sig'), delimiter=';')))" "$job/brevant-log.csv")
[ "$ends" -eq 2 ] || fail "the log holds $ends ends of the list, not 2"
echo "PASS: 6 addresses, one message each, from two windows on one folder"
