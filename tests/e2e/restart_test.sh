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
title="^Программа отправки почтовых сообщений\$"
rm -f "$maildir"/new/*
job=$scratch/job
mkdir "$job"
printf '%s@list.test\r\n' anna boris vera gleb dina egor >"$job/mail.txt"
printf '%s\r\n' 127.0.0.1 >"$job/smtp.txt"
printf '%s\r\n' news@example.test >"$job/sender.txt"
printf '%s\r\n' Restart >"$job/tema.txt"
printf '%s\r\n' Hello >"$job/message.txt"
delivered() { ls "$maildir/new" | wc -l; }
window() { # the main window, not a box: the one of the designed size
    for id in $(xdotool search --onlyvisible --name "$title" 2>/dev/null); do
        xdotool getwindowgeometry "$id" | grep -q "Geometry: 442x418" && echo "$id" && return
    done
}

(cd "$job" && exec "$program") &
within 300 '[ -n "$(window)" ]' || fail "no window"
xdotool mousemove --window "$(window)" 376 84 click 1 # "Послать серию"
within 200 '[ "$(delivered)" -ge 3 ]' || fail "three messages did not arrive"
kill -KILL %2
wait %2 2>/dev/null || true
echo "killed after $(delivered) deliveries"
[ -z "$corrected" ] || printf '%s\r\n' 'Hello, corrected' >"$job/message.txt"

(cd "$job" && exec "$program") &
within 300 '[ -n "$(window)" ]' || fail "no window after the restart"
within 50 '[ "$(xdotool search --onlyvisible --name "$title" | wc -l)" -ge 2 ]' ||
    fail "no box about the earlier deliveries"
xdotool key --clearmodifiers Return # closes the box, which holds the focus: going on
within 50 '[ "$(xdotool search --onlyvisible --name "$title" | wc -l)" -eq 1 ]' || fail "the box stays"
xdotool mousemove --window "$(window)" 376 84 click 1
within 300 '[ "$(delivered)" -ge 6 ]' || fail "only $(delivered) messages after the restart"
sleep 4 # a seventh would come at the next tick
counts=$(grep -h '^X-Original-To:' "$maildir"/new/* | sort | uniq -c | awk '{print $1}' | sort -u)
[ "$(delivered)" -eq 6 ] && [ "$counts" = 1 ] || fail "$(grep -h '^X-Original-To:' "$maildir"/new/* | sort | uniq -c)"
rows=$(python3 -c "import csv, sys; print(sum(r[3] == 'delivered' for r in csv.reader(open(sys.argv[1], newline='', encoding='utf-8-sig'), delimiter=';')))" "$job/brevant-log.csv")
[ "$rows" -eq 6 ] || fail "the log holds $rows deliveries, not 6"
echo "PASS: 6 addresses, one message each, across a kill and a restart${corrected:+ with a corrected letter}"
