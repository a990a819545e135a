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
. "$(dirname "$0")/real_program.sh" Twice

(cd "$job" && exec "$program") &
first=$!
within 300 '[ -n "$(window_of $first)" ]' || fail "no first window"
(cd "$job" && exec "$program") &
second=$!
within 300 '[ -n "$(window_of $second)" ]' || fail "no second window"
windows_of() { xdotool search --onlyvisible --pid "$1" 2>/dev/null | wc -l; }
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
each_once 6
kill -TERM $first
wait $first 2>/dev/null || true
sleep 4 # the second window takes over at its next ticks, and finds nobody left
each_once 6
# Each window's series reached the end of the list once: the second's only after taking over.
[ "$(log_rows finished)" -eq 2 ] || fail "the log holds $(log_rows finished) ends of the list, not 2"
echo "PASS: 6 addresses, one message each, from two windows on one folder"
