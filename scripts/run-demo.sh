#!/usr/bin/env bash
# Installs what is missing, builds brevant and opens it on the demo job in examples/demo,
# with a local mail sink on 127.0.0.1:25 that keeps every message it receives.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc 2>/dev/null || echo 2)" --target brevant

# Port 25 needs root for the sink; the program itself runs as the calling user.
if [ "$(id -u)" -ne 0 ]; then SUDO=sudo; else SUDO=; fi

state=${BREVANT_DEMO_DIR:-/tmp/brevant-demo}
maildir="$state/Maildir"
mkdir -p "$maildir/tmp" "$maildir/new" "$maildir/cur"
pidfile="$state/sink.pid"

# A sink left over from an earlier run is stopped first, so the command can be repeated.
if [ -f "$pidfile" ] && $SUDO kill -0 "$(cat "$pidfile")" 2>/dev/null; then
    $SUDO kill "$(cat "$pidfile")" 2>/dev/null || true
    sleep 0.5
fi
if ss -ltn 'sport = :25' 2>/dev/null | grep -q LISTEN; then
    echo "Port 25 on this machine is already taken by another mail server:" >&2
    ss -ltnp 'sport = :25' >&2 || true
    echo "Stop it (or let it deliver to a local mailbox) and run this command again." >&2
    exit 1
fi

# aiosmtpd's Mailbox handler stores each message as one file in a Maildir.
$SUDO /usr/bin/python3 -m aiosmtpd -n -l 127.0.0.1:25 -c aiosmtpd.handlers.Mailbox "$maildir" \
    >"$state/sink.log" 2>&1 &
echo $! >"$pidfile"
trap '$SUDO kill "$(cat "$pidfile")" 2>/dev/null || true; rm -f "$pidfile"' EXIT
for _ in $(seq 50); do
    ss -ltn 'sport = :25' | grep -q LISTEN && break
    sleep 0.1
done

echo "Mail sink: 127.0.0.1:25. Messages it receives land in $maildir/new/"
cd "$root/examples/demo"
if [ -n "${DISPLAY:-}" ]; then
    "$root/build/app/brevant"
else
    echo "No \$DISPLAY: running the window under xvfb-run (it stays invisible; close it with Ctrl+C)."
    xvfb-run -a -s "-screen 0 1024x768x24" "$root/build/app/brevant"
fi
echo "Messages received: $(ls "$maildir/new" 2>/dev/null | wc -l), in $maildir/new/"
