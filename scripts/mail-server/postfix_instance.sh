# shellcheck shell=bash
# Sourced by the scripts that run a private Postfix in a network namespace of their own
# (tests/e2e/e2e_postfix.sh, with_submission.sh). Needs root. No chroot: the instance lives only under its
# own folder, and everything, folder, namespace and processes, goes at exit; E2E_KEEP=1 keeps the
# folder for a look.
#
#   instance_begin NAME     WORK: a fresh folder /tmp/NAME.XXXXXX with etc/ (ETC, the Postfix
#                           configuration), spool/, data/ and log/; NS: the namespace's name
#   instance_hosts LINE...  the namespace's /etc/hosts (ip netns exec mounts /etc/netns/NS/hosts)
#   instance_start          makes the namespace and starts Postfix in it, then waits for the
#                           greeting on 127.0.0.1:25 (exit 1 with the log when none comes)
#   innet COMMAND...        runs COMMAND in the namespace

instance_begin() {
    NS=$1$$
    WORK=$(mktemp -d "/tmp/$1.XXXXXX")
    ETC=$WORK/etc
    trap instance_end EXIT
    trap 'exit 130' INT TERM
    exec </dev/null
    # Mail is delivered as nobody, so every folder above a Maildir must be searchable.
    chmod 755 "$WORK"
    mkdir -p "$ETC" "$WORK/spool" "$WORK/data" "$WORK/log"
    chown postfix "$WORK/data"
}

instance_hosts() {
    mkdir -p "/etc/netns/$NS"
    printf '%s\n' "$@" >"/etc/netns/$NS/hosts"
}

innet() { ip netns exec "$NS" "$@"; }

instance_start() {
    # Postfix reads a main.cf changed within the last second again and again until it is older
    # (up to two seconds of pauses); these are complete, so they are dated back.
    touch -d '-10 seconds' "$ETC"/*.cf
    ip netns add "$NS"
    innet ip link set lo up
    innet env MAIL_CONFIG="$ETC" postfix -c "$ETC" start >"$WORK/log/start" 2>&1 ||
        { cat "$WORK/log/start" >&2; exit 1; }
    for _ in $(seq 150); do
        innet timeout 1 bash -c 'exec 3<>/dev/tcp/127.0.0.1/25 && head -c 3 <&3' 2>/dev/null |
            grep -q 220 && return 0
        sleep 0.1
    done
    echo "postfix_instance: no greeting on 127.0.0.1:25" >&2
    tail -n 20 "$WORK/log/maillog" >&2 2>/dev/null
    exit 1
}

instance_end() {
    if ip netns pids "$NS" >/dev/null 2>&1; then
        # "postfix abort": a stop without the wait of a second for the master; everything is
        # deleted after. Whatever is left in the namespace was started here or by the command.
        innet env MAIL_CONFIG="$ETC" postfix -c "$ETC" abort >/dev/null 2>&1 || true
        for _ in $(seq 50); do
            pids=$(ip netns pids "$NS")
            [ -n "$pids" ] || break
            kill $pids 2>/dev/null || true
            sleep 0.1
        done
        pids=$(ip netns pids "$NS")
        [ -z "$pids" ] || kill -KILL $pids 2>/dev/null || true
        ip netns delete "$NS" 2>/dev/null ||
            echo "postfix_instance: cannot delete namespace $NS" >&2
    fi
    rm -rf "/etc/netns/$NS"
    if [ -n "${E2E_KEEP:-}" ]; then echo "postfix_instance: kept $WORK" >&2; else rm -rf "$WORK"; fi
}
