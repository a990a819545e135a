#!/usr/bin/env bash
# Installs what is missing, builds brevant and opens it on a demo job, with a mail sink on
# 127.0.0.1:25 that keeps every message it receives.
#
#   scripts/run-demo.sh [JOB-FOLDER]     default: examples/demo (made on Windows);
#                                        examples/demo-linux is the same job made on Linux
#
# The sink and the program run in a network namespace of their own, so the sink takes port 25
# there whatever this machine runs on its own port 25 (Debian installs often run exim4 on it),
# and the program's messages can reach nothing else. The window still opens on your display.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
job=$(cd "${1:-examples/demo}" && pwd)

scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc 2>/dev/null || echo 2)" --target brevant

state=${BREVANT_DEMO_DIR:-/tmp/brevant-demo}
maildir="$state/Maildir"
mkdir -p "$maildir/tmp" "$maildir/new" "$maildir/cur"

# As root plain namespaces; as anyone else inside a user namespace, where the user may bind
# port 25 without any privilege on the machine itself. The namespace's processes have a process
# namespace of their own too, so that the sink ends with the program however it ends.
if [ "$(id -u)" -eq 0 ]; then
    isolate=(unshare --net --pid --fork --kill-child)
else
    isolate=(unshare --user --map-root-user --net --pid --fork --kill-child)
fi
if [ -z "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
    echo "No display: the window runs under xvfb-run, invisibly (stop it with Ctrl+C)."
    show=(xvfb-run -a -s "-screen 0 1024x768x24")
else
    show=()
fi

# The window opens on a copy of the job, fresh at every run: its delivery log and its lock stay
# out of the job folder (and out of this repository), and the demo sends its series every time.
rm -rf "$state/job"
mkdir -p "$state/job"
for file in mail.txt smtp.txt sender.txt tema.txt message.txt brevant.ini; do
    [ ! -e "$job/$file" ] || cp "$job/$file" "$state/job/"
done
cd "$state/job"
echo "Job: a copy of $job in $state/job."
echo "Mail sink: 127.0.0.1:25 in the demo's own network namespace."
echo "Messages it receives land in $maildir/new/ (one file each); close the window to stop."
"${isolate[@]}" bash -c '
    ip link set lo up || exit 1
    # aiosmtpd'"'"'s Mailbox handler stores each message as one file in a Maildir.
    /usr/bin/python3 -m aiosmtpd -n -l 127.0.0.1:25 -c aiosmtpd.handlers.Mailbox "$1" >"$2/sink.log" 2>&1 &
    for _ in $(seq 50); do
        /usr/bin/python3 -c "import socket; socket.create_connection((\"127.0.0.1\", 25), 1)" 2>/dev/null && break
        sleep 0.1
    done
    shift 2
    "$@"' demo "$maildir" "$state" "${show[@]}" "$root/build/app/brevant" || true
echo "Messages received: $(ls "$maildir/new" | wc -l), in $maildir/new/"
