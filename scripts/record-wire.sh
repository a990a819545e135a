#!/usr/bin/env bash
# Records every byte that a build of brevant sends for a job, so that two builds can be compared
# on the wire. The program runs on JOB-FOLDER under a private Xvfb, in a network namespace of its
# own where a recording SMTP server answers on 127.0.0.1:25 like a well-mannered one; "Послать
# одно" is pressed once for each line of mail.txt, each press after the previous message ended.
# OUTPUT gets every connection's bytes in order, each after a line "=== connection N"; the Date
# and Message-ID lines, which differ at every send, are written as "Date: *" and "Message-ID: *".
#
#   scripts/record-wire.sh PATH/TO/brevant JOB-FOLDER OUTPUT      (needs root)
set -euo pipefail
program=$(readlink -f "$1")
job=$(readlink -f "$2")
output=$(readlink -f "$3")
if [ "${4:-}" != --inside ]; then
    [ "$(id -u)" -eq 0 ] || { echo "record-wire: needs root for a network namespace" >&2; exit 1; }
    exec unshare --net "$0" "$1" "$2" "$3" --inside
fi

ip link set lo up
scratch=$(mktemp -d)
trap 'kill $(jobs -p) 2>/dev/null; rm -rf "$scratch"' EXIT
within() { # tenths of a second, command: runs the command until it succeeds or the time is up
    for _ in $(seq "$1"); do eval "$2" && return 0 || sleep 0.1; done
    return 1
}

python3 - "$scratch" <<'EOF' &
import asyncio, sys
out, count = sys.argv[1], 0

async def serve(reader, writer):
    global count
    count += 1
    log = open(f"{out}/{count:05d}.part", "wb")
    writer.write(b"220 wire.example.test ESMTP\r\n")
    data = False
    while line := await reader.readline():
        log.write(line)
        if data:
            if line == b".\r\n":
                data = False
                writer.write(b"250 2.0.0 Ok: queued\r\n")
            continue
        word = line[:4].upper()
        reply = {b"HELO": b"250 wire.example.test\r\n", b"MAIL": b"250 2.1.0 Ok\r\n",
                 b"RCPT": b"250 2.1.5 Ok\r\n", b"DATA": b"354 End data with <CR><LF>.<CR><LF>\r\n",
                 b"QUIT": b"221 2.0.0 Bye\r\n"}.get(word, b"500 5.5.2 Error\r\n")
        data = word == b"DATA"
        writer.write(reply)
        if word == b"QUIT":
            break
    await writer.drain()
    writer.close()
    log.close()
    import os
    os.rename(log.name, log.name[:-5] + ".bin")

async def main():
    server = await asyncio.start_server(serve, "127.0.0.1", 25)
    await server.serve_forever()

asyncio.run(main())
EOF
within 100 "ss -ltn 'sport = :25' | grep -q LISTEN"

Xvfb -displayfd 3 -nolisten tcp -noreset -screen 0 1024x768x24 3>"$scratch/display" 2>/dev/null &
within 100 '[ -s "$scratch/display" ]'
export DISPLAY=:$(cat "$scratch/display")
# A copy of the job, so that what the program writes there (its delivery log) stays in it.
cp -r "$job" "$scratch/job"
(cd "$scratch/job" && exec "$program") &
title="^Программа отправки почтовых сообщений\$"
within 300 'xdotool search --onlyvisible --name "$title" >/dev/null 2>&1' || { echo "no window" >&2; exit 1; }
sleep 0.5
lines=$(python3 -c "import re,sys; d=open(sys.argv[1],'rb').read(); l=re.split(rb'\r\n|\r|\n', d); print(max(1, len(l) - (l[-1] == b'')))" "$job/mail.txt")
for n in $(seq "$lines"); do
    xdotool search --onlyvisible --name "$title" mousemove --window %1 376 52 click 1
    within 100 "[ \$(ls $scratch/[0-9]*.bin 2>/dev/null | wc -l) -ge $n ]" || { echo "message $n not sent" >&2; exit 1; }
done
for f in "$scratch"/[0-9]*.bin; do
    echo "=== connection $(basename "$f" .bin)"
    sed -e 's/^Date: .*\r$/Date: *\r/' -e 's/^Message-ID: .*\r$/Message-ID: *\r/' "$f"
done >"$output"
echo "record-wire: $lines connections recorded in $output"
