# shellcheck shell=bash
# Sourced by the tests that drive the real program on a display of its own inside
# e2e_postfix.sh's namespace (restart_test.sh, two_windows_test.sh). Sets up, given a subject:
#   scratch        a folder removed at exit, with every background job killed
#   job            $scratch/job: six addresses of list.test, 127.0.0.1, news@example.test, SUBJECT
#   DISPLAY        a private Xvfb
# and the helpers
#   fail TEXT            FAIL: TEXT, exit 1
#   within N COMMAND     true once COMMAND is, trying for N tenths of a second
#   delivered            how many messages Postfix stored
#   window_of PID        the main window of process PID (the one of the designed size), or nothing
maildir=$BREVANT_E2E_MAILDIR
scratch=$(mktemp -d)
trap 'kill -KILL $(jobs -p) 2>/dev/null; rm -rf "$scratch"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
within() {
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
printf '%s\r\n' "$1" >"$job/tema.txt"
printf '%s\r\n' Hello >"$job/message.txt"
delivered() { ls "$maildir/new" | wc -l; }
window_of() {
    local id
    for id in $(xdotool search --onlyvisible --pid "$1" 2>/dev/null); do
        xdotool getwindowgeometry "$id" | grep -q "Geometry: 442x418" && echo "$id" && return
    done
}
# Fails unless Postfix stored exactly N messages, one for each address.
each_once() {
    local counts
    counts=$(grep -h '^X-Original-To:' "$maildir"/new/* | sort | uniq -c | awk '{print $1}' | sort -u)
    [ "$(delivered)" -eq "$1" ] && [ "$counts" = 1 ] ||
        fail "$(grep -h '^X-Original-To:' "$maildir"/new/* | sort | uniq -c)"
}
# The rows of the delivery log whose result is RESULT.
log_rows() {
    python3 -c "import csv, sys; print(sum(r[3] == sys.argv[2] for r in csv.reader(open(sys.argv[1], newline='', encoding='utf-8-sig'), delimiter=';')))" "$job/brevant-log.csv" "$1"
}
