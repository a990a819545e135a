#!/usr/bin/env bash
# Catches: a second copy after the program was killed mid-series, or a mailing that does not go
# on where it stopped. Runs inside e2e_postfix.sh's namespace (a strict Postfix on 127.0.0.1:25):
#   e2e_postfix.sh restart_test.sh PATH/TO/brevant [corrected]
# The real program on its own Xvfb sends a series over six addresses, is killed (SIGKILL) after
# the third delivery and started again in the same folder (with "corrected": after a typo in the
# letter was corrected, and Enter pressed on the box that asks whether the corrected letter goes
# on with the mailing): the other three get their message, nobody gets two, and the delivery log
# holds six deliveries.
set -euo pipefail
program=$(readlink -f "$1")
corrected=${2:-}
. "$(dirname "$0")/real_program.sh" Restart

(cd "$job" && exec "$program") &
pid=$!
within 300 '[ -n "$(window_of $pid)" ]' || fail "no window"
xdotool mousemove --window "$(window_of $pid)" 376 84 click 1 # "Послать серию"
within 200 '[ "$(delivered)" -ge 3 ]' || fail "three messages did not arrive"
kill -KILL $pid
wait $pid 2>/dev/null || true
echo "killed after $(delivered) deliveries"
[ -z "$corrected" ] || printf '%s\r\n' 'Hello, corrected' >"$job/message.txt"

(cd "$job" && exec "$program") &
pid=$!
within 300 '[ -n "$(window_of $pid)" ]' || fail "no window after the restart"
windows() { xdotool search --onlyvisible --pid $pid 2>/dev/null | wc -l; }
within 50 '[ "$(windows)" -ge 2 ]' || fail "no box about the earlier deliveries"
xdotool key --clearmodifiers Return # closes the box, which holds the focus: going on
within 50 '[ "$(windows)" -eq 1 ]' || fail "the box stays"
xdotool mousemove --window "$(window_of $pid)" 376 84 click 1
within 300 '[ "$(delivered)" -ge 6 ]' || fail "only $(delivered) messages after the restart"
sleep 4 # a seventh would come at the next tick
each_once 6
[ "$(log_rows delivered)" -eq 6 ] || fail "the log holds $(log_rows delivered) deliveries, not 6"
echo "PASS: 6 addresses, one message each, across a kill and a restart${corrected:+ with a corrected letter}"
