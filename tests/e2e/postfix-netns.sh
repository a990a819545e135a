#!/bin/bash
# Private Postfix instance on 127.0.0.1:25 inside its own network namespace,
# used by the delivery tests as a real, strict SMTP server.
#
#   postfix-netns.sh up         NAME WORKDIR   create namespace NAME, write the
#                                              instance under WORKDIR, start it and
#                                              wait until port 25 answers 220
#   postfix-netns.sh down       NAME WORKDIR   stop that instance, any sinks started
#                                              here, and delete the namespace
#   postfix-netns.sh status     NAME WORKDIR   exit 0 only if namespace, master and
#                                              the 220 greeting are all there
#   postfix-netns.sh exec       NAME WORKDIR CMD...
#                                              run CMD inside the namespace, with
#                                              MAIL_CONFIG pointing at the instance
#   postfix-netns.sh sink-start NAME WORKDIR PORT [SMTP-SINK-OPTIONS...]
#                                              start smtp-sink on 127.0.0.1:PORT in
#                                              the namespace (created if missing);
#                                              the instance itself is not needed
#   postfix-netns.sh sink-stop  NAME WORKDIR PORT
#
# Layout under WORKDIR:  etc/ (main.cf, master.cf, vmailbox)  spool/ (queue)
#                        data/  log/maillog  Maildir/  sink-PORT.pid  sink-PORT.log
#
# Everything goes through "postfix -c WORKDIR/etc" and MAIL_CONFIG, so neither the
# system's main.cf nor its running instance (if any) is read or touched. Run as root.
#
# Environment: PFNS_UP_TIMEOUT (seconds to wait for 220, default 30),
#              PFNS_VMAIL_USER (owner of the Maildir, default nobody),
#              PFNS_TEST_DOMAIN (catch-all domain, default example.test).

set -euo pipefail

PROG=${0##*/}
POSTFIX=/usr/sbin/postfix
POSTCONF=/usr/sbin/postconf
SMTP_SINK=/usr/sbin/smtp-sink
DAEMON_DIR=/usr/lib/postfix/sbin
UP_TIMEOUT=${PFNS_UP_TIMEOUT:-30}
VMAIL_USER=${PFNS_VMAIL_USER:-nobody}
TEST_DOMAIN=${PFNS_TEST_DOMAIN:-example.test}

die() {
    echo "$PROG: $*" >&2
    exit 1
}

usage() {
    sed -n '2,/^$/s/^# \{0,1\}//p' "$0" >&2
    exit 2
}

need_root() {
    [ "$(id -u)" -eq 0 ] || die "must run as root (network namespaces, Postfix master)"
}

ns_exists() {
    [ -e "/run/netns/$NAME" ]
}

ns_create() {
    if ! ns_exists; then
        ip netns add "$NAME" || die "cannot create network namespace '$NAME'"
    fi
    ip netns exec "$NAME" ip link set lo up || die "cannot bring up loopback in '$NAME'"
}

in_ns() {
    ip netns exec "$NAME" env MAIL_CONFIG="$ETC" "$@"
}

# True while the master of this instance runs. "master -t" exits 0 when it could
# take the pid-file lock, that is when no master is running.
master_running() {
    [ -f "$ETC/main.cf" ] && [ -d "$SPOOL/pid" ] || return 1
    ! MAIL_CONFIG="$ETC" "$DAEMON_DIR/master" -c "$ETC" -t 2>/dev/null
}

# Connects to 127.0.0.1:PORT inside the namespace; succeeds when the greeting is 220
# (a multi-line greeting "220-" is read to its end) and its last line starts with
# GREETING, if given.
probe_220() {
    local port=$1 greeting=${2:-220}
    ip netns exec "$NAME" "$PYTHON" - "$port" "$greeting" <<'EOF' 2>/dev/null
import socket, sys
port, greeting = int(sys.argv[1]), sys.argv[2].encode()
try:
    s = socket.create_connection(("127.0.0.1", port), timeout=2)
    f = s.makefile("rb")
    while True:
        line = f.readline(1000)
        if not line.startswith(b"220"):
            sys.exit(1)
        if line[3:4] != b"-":
            break
    if not line.startswith(greeting):
        sys.exit(1)
    s.sendall(b"QUIT\r\n")
    f.readline(1000)
    s.close()
except OSError:
    sys.exit(1)
EOF
}

wait_220() {
    local port=$1 what=$2 greeting=${3:-220} deadline=$((SECONDS + UP_TIMEOUT))
    while ! probe_220 "$port" "$greeting"; do
        if [ "$SECONDS" -ge "$deadline" ]; then
            echo "$PROG: $what on 127.0.0.1:$port in namespace '$NAME' did not answer 220 within ${UP_TIMEOUT}s" >&2
            [ -f "$LOG/maillog" ] && tail -n 20 "$LOG/maillog" >&2
            return 1
        fi
        sleep 0.2
    done
}

write_config() {
    local uid gid
    uid=$(id -u "$VMAIL_USER") || die "no user '$VMAIL_USER' for the Maildir"
    gid=$(id -g "$VMAIL_USER")

    mkdir -p "$ETC" "$SPOOL" "$DATA" "$LOG" "$WORKDIR/Maildir"/{new,cur,tmp}
    chown root:root "$ETC" "$SPOOL"
    chmod 755 "$ETC" "$SPOOL"
    chown -R "$uid:$gid" "$WORKDIR/Maildir"
    chmod 700 "$WORKDIR/Maildir" "$WORKDIR/Maildir"/{new,cur,tmp}
    # The virtual delivery agent writes as $VMAIL_USER by absolute path, so every
    # directory above the Maildir must be searchable by that user.
    chmod o+x "$WORKDIR"
    if ! setpriv --reuid="$uid" --regid="$gid" --clear-groups test -w "$WORKDIR/Maildir/tmp"; then
        local p=$WORKDIR
        while [ "$p" != / ]; do
            p=$(dirname "$p")
            setpriv --reuid="$uid" --regid="$gid" --clear-groups test -x "$p" ||
                die "user '$VMAIL_USER' cannot reach $WORKDIR/Maildir: $p is not searchable (chmod o+x $p)"
        done
        die "user '$VMAIL_USER' cannot write $WORKDIR/Maildir/tmp"
    fi

    printf '@%s Maildir/\n' "$TEST_DOMAIN" >"$ETC/vmailbox"

    cat >"$ETC/main.cf" <<EOF
# Test instance written by $PROG; rewritten at every "up".
compatibility_level = 3.6
queue_directory = $SPOOL
data_directory = $DATA
mail_owner = postfix
setgid_group = postdrop
maillog_file = $LOG/maillog
maillog_file_prefixes = $LOG
syslog_name = postfix-$NAME

myhostname = mx.$TEST_DOMAIN
smtpd_banner = \$myhostname ESMTP \$mail_name
mydomain = $TEST_DOMAIN
myorigin = \$myhostname
mydestination =
inet_interfaces = 127.0.0.1
inet_protocols = ipv4
mynetworks = 127.0.0.0/8
relayhost =
relay_domains =
default_transport = error:outside mail is not delivered by this test server
relay_transport = error:relaying is disabled on this test server
local_transport = error:local delivery is disabled on this test server
alias_maps =
alias_database =
biff = no
append_dot_mydomain = no
readme_directory = no
html_directory = no
smtputf8_enable = no
smtp_dns_support_level = disabled
smtpd_peername_lookup = no
enable_long_queue_ids = yes

# Catch-all Maildir for the test domain; nothing else is accepted.
virtual_mailbox_domains = $TEST_DOMAIN
virtual_mailbox_base = $WORKDIR
virtual_mailbox_maps = texthash:$ETC/vmailbox
virtual_uid_maps = static:$uid
virtual_gid_maps = static:$gid
virtual_alias_maps =
virtual_mailbox_limit = 0
message_size_limit = 200000000
# One delivery at a time, so messages reach the Maildir in the order they were received.
virtual_destination_concurrency_limit = 1

# Strict SMTP server: CR LF only, angle brackets in MAIL FROM/RCPT TO, no pipelining
# without permission, no relaying, and the message is stored as received.
smtpd_forbid_bare_newline = reject
smtpd_forbid_bare_newline_exclusions =
strict_rfc821_envelopes = yes
smtpd_forbid_unauth_pipelining = yes
smtpd_data_restrictions = reject_unauth_pipelining
smtpd_helo_required = yes
smtpd_relay_restrictions = reject_unauth_destination
smtpd_recipient_restrictions = reject_unauth_destination
local_header_rewrite_clients =
# Tests send many short sessions and expect refusals at once.
in_flow_delay = 0s
smtpd_error_sleep_time = 0s
smtpd_client_connection_rate_limit = 0
smtpd_client_message_rate_limit = 0
EOF

    # No chroot anywhere: the instance lives only under WORKDIR.
    cat >"$ETC/master.cf" <<'EOF'
# service  type  private unpriv  chroot  wakeup  maxproc command
25         inet  n       -       n       -       -       smtpd
pickup     unix  n       -       n       60      1       pickup
cleanup    unix  n       -       n       -       0       cleanup
qmgr       unix  n       -       n       300     1       qmgr
rewrite    unix  -       -       n       -       -       trivial-rewrite
bounce     unix  -       -       n       -       0       bounce
defer      unix  -       -       n       -       0       bounce
trace      unix  -       -       n       -       0       bounce
verify     unix  -       -       n       -       1       verify
flush      unix  n       -       n       1000?   0       flush
proxymap   unix  -       -       n       -       -       proxymap
proxywrite unix  -       -       n       -       1       proxymap
smtp       unix  -       -       n       -       -       smtp
relay      unix  -       -       n       -       -       smtp
showq      unix  n       -       n       -       -       showq
error      unix  -       -       n       -       -       error
retry      unix  -       -       n       -       -       error
discard    unix  -       -       n       -       -       discard
virtual    unix  -       n       n       -       -       virtual
anvil      unix  -       -       n       -       1       anvil
scache     unix  -       -       n       -       1       scache
postlog    unix-dgram n  -       n       -       1       postlogd
EOF
    chmod 644 "$ETC/main.cf" "$ETC/master.cf" "$ETC/vmailbox"

    # Queue directories with the ownership Postfix expects; "postfix start" would
    # create missing ones too, this keeps the layout explicit.
    local d
    mkdir -p "$SPOOL/pid"
    chmod 755 "$SPOOL/pid"
    for d in active bounce corrupt defer deferred flush hold incoming private saved trace; do
        mkdir -p "$SPOOL/$d"
        chown postfix "$SPOOL/$d"
        chmod 700 "$SPOOL/$d"
    done
    mkdir -p "$SPOOL/maildrop" "$SPOOL/public"
    chown postfix:postdrop "$SPOOL/maildrop" "$SPOOL/public"
    chmod 730 "$SPOOL/maildrop"
    chmod 710 "$SPOOL/public"
    chown postfix "$DATA"
    chmod 700 "$DATA"

    local err
    err=$(MAIL_CONFIG="$ETC" "$POSTCONF" -c "$ETC" -n 2>&1 >/dev/null) || die "postconf rejects $ETC/main.cf: $err"
    [ -z "$err" ] || echo "$PROG: postconf: $err" >&2
    return 0
}

cmd_up() {
    need_root
    [ "$($POSTCONF -d -h smtpd_forbid_bare_newline 2>/dev/null)" != "" ] ||
        die "this Postfix ($($POSTCONF -d -h mail_version)) has no smtpd_forbid_bare_newline"
    ns_create
    if master_running; then
        wait_220 25 "Postfix" "$BANNER" || exit 1
        return 0
    fi
    if probe_220 25; then
        die "port 25 in namespace '$NAME' is already served by something else"
    fi
    write_config
    # The master and its children inherit the namespace (and MAIL_CONFIG) from here.
    in_ns "$POSTFIX" -c "$ETC" start >"$LOG/start.out" 2>&1 || {
        cat "$LOG/start.out" >&2
        die "postfix -c $ETC start failed"
    }
    if ! wait_220 25 "Postfix" "$BANNER"; then
        # Leave nothing running; the namespace stays for a look (remove it with "down").
        MAIL_CONFIG="$ETC" "$POSTFIX" -c "$ETC" stop >/dev/null 2>&1 || true
        exit 1
    fi
}

# Terminates one process by id and waits (bounded) until it is gone.
stop_pid() {
    local pid=$1
    kill -TERM "$pid" 2>/dev/null || return 0
    for _ in $(seq 50); do
        kill -0 "$pid" 2>/dev/null || return 0
        sleep 0.1
    done
    kill -KILL "$pid" 2>/dev/null || true
}

cmd_down() {
    need_root
    local f pid
    if master_running; then
        MAIL_CONFIG="$ETC" "$POSTFIX" -c "$ETC" stop >/dev/null 2>&1 || true
    fi
    for f in "$WORKDIR"/sink-*.pid; do
        [ -e "$f" ] || continue
        pid=$(cat "$f")
        [ -n "$pid" ] && stop_pid "$pid"
        rm -f "$f"
    done
    if ns_exists; then
        # Anything still inside the namespace was started by this script (the
        # namespace is ours): the master's children or a sink.
        for pid in $(ip netns pids "$NAME" 2>/dev/null); do
            stop_pid "$pid"
        done
        for _ in $(seq 50); do
            [ -z "$(ip netns pids "$NAME" 2>/dev/null)" ] && break
            sleep 0.1
        done
        [ -z "$(ip netns pids "$NAME" 2>/dev/null)" ] ||
            die "processes still running in namespace '$NAME': $(ip netns pids "$NAME" | tr '\n' ' ')"
        ip netns delete "$NAME" || die "cannot delete namespace '$NAME'"
    fi
    return 0
}

cmd_status() {
    local ok=0
    if ns_exists; then echo "namespace $NAME: present"; else
        echo "namespace $NAME: absent"
        ok=1
    fi
    if master_running; then echo "postfix master: running (pid $(sed 1q "$SPOOL/pid/master.pid" | tr -d ' '))"; else
        echo "postfix master: stopped"
        ok=1
    fi
    if [ $ok -eq 0 ] && probe_220 25 "$BANNER"; then echo "127.0.0.1:25: answers 220"; else
        echo "127.0.0.1:25: no 220"
        ok=1
    fi
    for f in "$WORKDIR"/sink-*.pid; do
        [ -e "$f" ] || continue
        local p=${f##*/sink-}
        p=${p%.pid}
        if kill -0 "$(cat "$f")" 2>/dev/null; then echo "smtp-sink 127.0.0.1:$p: running (pid $(cat "$f"))"; else
            echo "smtp-sink 127.0.0.1:$p: gone"
        fi
    done
    return $ok
}

cmd_exec() {
    ns_exists || die "namespace '$NAME' does not exist (run: $PROG up $NAME $WORKDIR)"
    [ $# -gt 0 ] || die "exec needs a command"
    in_ns "$@"
}

cmd_sink_start() {
    need_root
    [ $# -ge 1 ] || die "sink-start needs a PORT"
    local port=$1
    shift
    [[ "$port" =~ ^[0-9]+$ ]] && [ "$port" -ge 1 ] && [ "$port" -le 65535 ] || die "bad port '$port'"
    [ -x "$SMTP_SINK" ] || die "$SMTP_SINK not found (package postfix)"
    mkdir -p "$WORKDIR"
    local pidfile="$WORKDIR/sink-$port.pid"
    if [ -f "$pidfile" ] && kill -0 "$(cat "$pidfile")" 2>/dev/null; then
        die "smtp-sink on port $port already runs (pid $(cat "$pidfile"))"
    fi
    ns_create
    # ip netns exec execs the sink itself, so $! is the sink's pid. As root the
    # sink must drop to another user after binding (-u).
    ip netns exec "$NAME" "$SMTP_SINK" -u nobody "$@" "127.0.0.1:$port" 256 \
        </dev/null >"$WORKDIR/sink-$port.log" 2>&1 &
    echo $! >"$pidfile"
    wait_220 "$port" "smtp-sink" || {
        cat "$WORKDIR/sink-$port.log" >&2
        cmd_sink_stop "$port"
        exit 1
    }
}

cmd_sink_stop() {
    need_root
    [ $# -ge 1 ] || die "sink-stop needs a PORT"
    local pidfile="$WORKDIR/sink-$1.pid"
    [ -f "$pidfile" ] || return 0
    stop_pid "$(cat "$pidfile")"
    rm -f "$pidfile"
}

[ $# -ge 3 ] || usage
MODE=$1
NAME=$2
WORKDIR=$3
shift 3
[[ "$NAME" =~ ^[A-Za-z0-9_.-]+$ ]] || die "bad namespace name '$NAME'"
[ -n "$WORKDIR" ] || die "empty WORKDIR"
case $MODE in up | sink-start) mkdir -p "$WORKDIR" ;; esac
if [ -d "$WORKDIR" ]; then WORKDIR=$(cd "$WORKDIR" && pwd -P); fi
[ "${WORKDIR:0:1}" = / ] || WORKDIR=$PWD/$WORKDIR
[ "$WORKDIR" != / ] || die "WORKDIR must not be /"
ETC=$WORKDIR/etc
SPOOL=$WORKDIR/spool
DATA=$WORKDIR/data
LOG=$WORKDIR/log
BANNER="220 mx.$TEST_DOMAIN ESMTP Postfix"
PYTHON=${PYTHON:-$(test -x /usr/bin/python3 && echo /usr/bin/python3 || command -v python3)}

case $MODE in
up) cmd_up ;;
down) cmd_down ;;
status) cmd_status ;;
exec) cmd_exec "$@" ;;
sink-start) cmd_sink_start "$@" ;;
sink-stop) cmd_sink_stop "$@" ;;
*) usage ;;
esac
