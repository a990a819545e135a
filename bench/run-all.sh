#!/bin/bash
# Runs every benchmark and prints one Markdown report: the machine, one table in which each
# figure stands beside its peer measured in the same run, with the ratio, the goal and whether
# it is met, then the raw output of each benchmark. Builds nothing.
#
# usage: bench/run-all.sh [BUILD-DIR]       (default: build; needs root for the delivery)
#
#   job_load_bench       the full job (10001 addresses, 1 MiB message) beside the empty job, and
#                        in UTF-8 with LF beside Windows-1251: < 20 ms each, UTF-8 <= 1.5 times;
#                        with a delivery log of 10001 rows: <= 50 ms more, and with "name
#                        <address>" lines, each read for its address: <= 1.5 times; a delivered row
#                        written and synced: < 5 ms, the median of 1000
#   uu_encode_bench      encoder throughput beside GNU uuencode's (from uu_compare.sh): >= 2 GB/s
#   uu_compare.sh        uuenc beside GNU uuencode on a 64 MiB file: 3 times as fast or more
#   smtp_data_bench      throughput of the message data producer (no peer, no goal)
#   delivery_compare.sh  delivery through the window beside Postfix's smtp-source
#
# Environment: DELIVERY_N (messages of the rate run, default 1000), DELIVERY_RUNS (default 5),
#              SUBMISSION_N (messages through the provider-like server, default 50),
#              BENCH_REPETITIONS (Google Benchmark repetitions, default 5).
# Exit status: 0 when every goal is met, 3 when one is not, 1 when a benchmark failed.
#
#   submission_compare.sh  N sends through the provider-like Postfix of
#                        scripts/mail-server/with_submission.sh (587, STARTTLS, AUTH PLAIN), the window
#                        beside swaks --tls --auth: at least twice swaks's messages a second
#   mailbox_compare.sh   reading a mailbox of 10000 messages, 500 of them delivery reports, over
#                        IMAP (Dovecot, 993) with MailboxReader beside Python's imaplib fetching
#                        the same: under 10 s
#   pacing_bench         a series of 10001 paced by per_day=500, 20 days of its clock in one run
#                        through a scripted server: each address once, at most 500 in any 24
#                        hours, processor time a message and memory flat (within 25% and 2 MiB
#                        from the first 100 messages to the last)
#   windows_start.sh     where scripts/build-windows.sh has made this version's zip: the window of
#                        brevant.exe up under Wine beside the Linux build's: under 3 s
#
# Not part of this run: bench/filters/filter-check.sh MESSAGE-FILE... runs Debian's SpamAssassin
# and rspamd offline on messages as delivered (Maildir files, with the receiving server's
# headers) and prints every rule and symbol with its score; exit status 1 when a filter could
# not run. It installs the two filters when they are missing, keeps its state (rspamd's compiled
# rules among it) in /var/cache/brevant-filter-check, and needs root.

set -euo pipefail

HERE=$(cd "$(dirname "$0")" && pwd -P)
BUILD=$(readlink -f "${1:-build}")
REPS=${BENCH_REPETITIONS:-5}
OUT=$(mktemp -d /tmp/bench-run-all.XXXXXX)
trap 'rm -rf "$OUT"' EXIT
exec </dev/null
die() {
    echo "run-all: $*" >&2
    exit 1
}
for target in job_load_bench uu_encode_bench uuenc smtp_data_bench delivery_bench mailbox_bench \
    pacing_bench; do
    [ -x "$BUILD/bench/$target" ] || die "$BUILD/bench/$target is not built"
done

# NAME [FILTER [PART]]: a Google Benchmark program, medians of its repetitions as JSON (in
# NAME.PART.json when the program runs once for each part).
gbench() {
    echo "run-all: $1 ${3:-}" >&2
    "$BUILD/bench/$1" --benchmark_filter="${2:-.}" --benchmark_repetitions="$REPS" \
        --benchmark_report_aggregates_only=true --benchmark_format=json \
        >"$OUT/$1${3:+.$3}.json" 2>"$OUT/$1.err" || die "$1 failed: $(tail -n 5 "$OUT/$1.err")"
}
# NAME COMMAND...: a script whose exit status 3 means "ran, a goal missed".
script() {
    local name=$1 rc=0
    shift
    echo "run-all: $name" >&2
    "$@" >"$OUT/$name.out" 2>"$OUT/$name.err" || rc=$?
    [ $rc -eq 0 ] || [ $rc -eq 3 ] || die "$name failed (exit $rc): $(tail -n 5 "$OUT/$name.err")"
}
# Each start-up in a process of its own, as the program starts: run after one another in one
# process, the loads of the full job pay for the allocator's state that the empty one left.
for part in 0 1 2 3 4; do gbench job_load_bench "^LoadJob/$part\$" "$part"; done
gbench job_load_bench AppendDeliveredRow row
gbench uu_encode_bench '^BM_(UUEncodeFile|Encode)(/|$)'
gbench smtp_data_bench
script uu_compare "$HERE/uu_compare.sh" "$BUILD/bench/uuenc"
script delivery_compare "$HERE/delivery_compare.sh" "$BUILD" "${DELIVERY_N:-1000}" "${DELIVERY_RUNS:-5}"
script submission_compare "$HERE/submission_compare.sh" "$BUILD" "${SUBMISSION_N:-50}"
script mailbox_compare "$HERE/mailbox_compare.sh" "$BUILD"
script pacing "$BUILD/bench/pacing_bench" pacing 10001 500
version=$(sed -n 's/^project(brevant VERSION \([0-9.]*\).*/\1/p' "$HERE/../CMakeLists.txt")
windows_zip=$HERE/../build-windows/brevant-$version-windows-x64.zip
if [ -f "$windows_zip" ]; then
    script windows_start "$HERE/windows_start.sh" "$windows_zip" "$BUILD/app/brevant"
else
    echo "run-all: no $(basename "$windows_zip") (scripts/build-windows.sh makes it):" \
        "the Windows start is not measured" >&2
fi

cache() { sed -n "s/^$1:[A-Z]*=//p" "$BUILD/CMakeCache.txt"; }
cat <<EOF >"$OUT/report.md"
# Benchmarks

Produced by \`bench/run-all.sh\` on $(date -u '+%Y-%m-%d %H:%M UTC').

| machine | |
|---|---|
| processors (nproc) | $(nproc) |
| CPU | $(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n 1) |
| memory | $(awk '/^MemTotal:/ { printf "%.1f GiB", $2 / 1048576 }' /proc/meminfo) |
| kernel | $(uname -srm) |
| system | Debian $(cat /etc/debian_version) |
| compiler | $("$(cache CMAKE_CXX_COMPILER)" --version | head -n 1), $(cache CMAKE_BUILD_TYPE) build |
| Qt | $(qtpaths6 --qt-version) |
| Postfix | $(postconf -d -h mail_version) |
| load average at the end | $(cut -d' ' -f1-3 /proc/loadavg) |

EOF

rc=0
python3 - "$OUT" "$REPS" >>"$OUT/report.md" <<'EOF' || rc=$?
import glob, json, os, re, sys

out, reps = sys.argv[1], sys.argv[2]
def read(name):
    return open(f"{out}/{name}").read()
def medians(name):  # run name -> median; with one repetition the run is its own median
    runs = [b for f in sorted(glob.glob(f"{out}/{name}.json") + glob.glob(f"{out}/{name}.*.json"))
            for b in json.loads(open(f).read())["benchmarks"]]
    return {b["run_name"]: b for b in runs if b.get("aggregate_name", "median") == "median"}
def ms(b):
    return b["real_time"] * {"ns": 1e-6, "us": 1e-3, "ms": 1.0, "s": 1e3}[b["time_unit"]]
def gbs(b):
    return b["bytes_per_second"] / 1e9

rows = []  # figure, ours, peer, ratio, goal, met (True, False or None: no goal)
job = medians("job_load_bench")
full, empty, utf8 = ms(job["LoadJob/1"]), ms(job["LoadJob/0"]), ms(job["LoadJob/2"])
rows.append(("job load, full job (10001 addresses, 1 MiB message), ms (peer: the empty job)",
             f"{full:.2f}", f"{empty:.3f}", f"{full / empty:.0f}", "< 20 ms", full < 20))
rows.append(("job load, the same job in UTF-8 with LF, converted, ms (peer: it in Windows-1251)",
             f"{utf8:.2f}", f"{full:.2f}", f"{utf8 / full:.2f}", "< 20 ms and <= 1.5x",
             utf8 < 20 and utf8 / full <= 1.5))
logged = ms(job["LoadJob/3"])
rows.append(("start-up with a delivery log of the 10001 deliveries of this mailing, ms (peer: "
             "the full job without a log)", f"{logged:.2f}", f"{full:.2f}",
             f"+{logged - full:.1f} ms", "<= 50 ms more", logged - full <= 50))
named = ms(job["LoadJob/4"])
rows.append(("start-up with 10001 \"name <address>\" lines and the log of their deliveries, ms "
             "(peer: the same with bare addresses)", f"{named:.2f}", f"{logged:.2f}",
             f"{named / logged:.2f}", "<= 1.5x", named / logged <= 1.5))
row = job["AppendDeliveredRow/iterations:1"]["median_ms"]
rows.append(("a delivered row written to the log and synced, median of 1000, ms (no peer)",
             f"{row:.3f}", "-", "-", "< 5 ms", row < 5))

uuenc_ms, gnu_ms = map(float, re.search(r"^median\s+([\d.]+)\s+([\d.]+)", read("uu_compare.out"),
                                        re.M).groups())
gnu_gbs = 64 * 2**20 / (gnu_ms / 1e3) / 1e9
uu = {name.split("/")[0]: b for name, b in medians("uu_encode_bench").items()}
for run, what, goal in [
        ("BM_UUEncodeFile", "encoder, 64 MiB file to its text (read, encode, allocate), GB/s", True),
        ("BM_Encode", "encoder, 64 MiB in memory to its text (allocation included), GB/s", False)]:
    v = gbs(uu[run])
    rows.append((f"{what} (peer: GNU uuencode, 64 MiB file to /dev/null)", f"{v:.2f}",
                 f"{gnu_gbs:.2f}", f"{v / gnu_gbs:.1f}", ">= 2 GB/s" if goal else "(for comparison)",
                 v >= 2 if goal else None))
rows.append(("uuenc tool, 64 MiB random file to /dev/null, ms (peer: GNU uuencode)",
             f"{uuenc_ms:.1f}", f"{gnu_ms:.1f}", f"{gnu_ms / uuenc_ms:.2f}x faster",
             ">= 3x faster", gnu_ms / uuenc_ms >= 3))

data = medians("smtp_data_bench")["BM_UuencodedBlock/65536"]
rows.append(("message data producer, 32 MiB uuencoded block, 64 KiB chunks, GB/s (no peer)",
             f"{gbs(data):.2f}", "-", "-", "-", None))

sub = dict(re.findall(r"^result (\S+) (\S+)$", read("submission_compare.out"), re.M))
ours, swaks = float(sub["ours_msgs_per_s"]), float(sub["swaks_msgs_per_s"])
rows.append(("through a provider's server: 587, STARTTLS, AUTH PLAIN, one connection a message, "
             "messages/s (peer: swaks --tls --auth)", f"{ours:.1f}", f"{swaks:.1f}",
             f"{ours / swaks:.2f}", ">= 2x", ours / swaks >= 2))

box = dict(re.findall(r"^result (\S+) (\S+)$", read("mailbox_compare.out"), re.M))
ours_s, imaplib_s = float(box["ours_s"]), float(box["imaplib_s"])
rows.append(("reading a mailbox of 10000 messages, 500 of them delivery reports, over IMAP on "
             "loopback (993), s (peer: Python's imaplib fetching the same)", f"{ours_s:.2f}",
             f"{imaplib_s:.2f}", f"{ours_s / imaplib_s:.2f}", "< 10 s", ours_s < 10))

pace = dict(re.findall(r"^result (\S+) (\S+)$", read("pacing.out"), re.M))
first_us, last_us = float(pace["pacing_cpu_us_100"]), float(pace["pacing_cpu_us_10001"])
first_mib, last_mib = float(pace["pacing_rss_mib_100"]), float(pace["pacing_rss_mib_10001"])
rows.append(("a series of 10001 paced by per_day=500 (20 days of its clock): processor time a "
             "message, messages 1001-10001, us (peer: messages 1-100)", f"{last_us:.0f}",
             f"{first_us:.0f}", f"{last_us / first_us:.2f}", "<= 1.25x", last_us <= 1.25 * first_us))
rows.append(("the same series: resident memory at the last message, MiB (peer: at the 100th)",
             f"{last_mib:.1f}", f"{first_mib:.1f}", f"+{last_mib - first_mib:.1f} MiB",
             "<= 2 MiB more", last_mib - first_mib <= 2))
first_fds, last_fds = int(pace["pacing_fds_100"]), int(pace["pacing_fds_10001"])
rows.append(("the same series: file descriptors at the last message (peer: at the 100th)",
             str(last_fds), str(first_fds), f"{last_fds - first_fds:+d}", "no more",
             last_fds <= first_fds))
rows.append(("the same series: each address once; the most messages in any 24 hours (no peer)",
             "yes" if pace["pacing_once"] == "1" else "NO", "-", "-", "once, <= 500",
             pace["pacing_once"] == "1" and int(pace["pacing_busiest_day"]) <= 500))

if os.path.exists(f"{out}/windows_start.out"):
    medians_ms = re.search(r"^median\s+([\d.]+)\s+([\d.]+)", read("windows_start.out"), re.M)
    wine, native = map(float, medians_ms.groups())
    rows.append(("window up on the demo job: Windows build under Wine, ms (peer: the Linux build, "
                 "native)", f"{wine:.0f}", f"{native:.0f}", f"{wine / native:.1f}", "< 3000 ms",
                 wine < 3000))

for line in read("delivery_compare.out").splitlines():
    cells = [c.strip() for c in line.strip("|").split("|")]
    if line.startswith("| ") and len(cells) == 6 and cells[0] != "figure":
        rows.append(("delivery: " + cells[0], *cells[1:5], {"yes": True, "NO": False}.get(cells[5])))

print(f"Google Benchmark figures are medians of {reps} repetitions; the scripts take medians of "
      "their own runs (see below). Ratio: ours / peer, except where it says \"faster\".\n")
print("| figure | ours | peer | ratio | goal | met? |\n|---|---:|---:|---:|---|---|")
for *cells, met in rows:
    print(f"| {' | '.join(cells)} | {'-' if met is None else 'yes' if met else '**NO**'} |")
missed = [r[0] for r in rows if r[5] is False]
print("\nGoals missed: " + ("; ".join(missed) or "none"))
print("\n## Output of each benchmark")
for name in ("uu_compare", "delivery_compare", "submission_compare", "mailbox_compare",
             "pacing", "windows_start"):
    if not os.path.exists(f"{out}/{name}.out"):
        continue
    print(f"\n### {name}.sh\n\n```\n{read(name + '.out').rstrip()}\n```")
for name in ("job_load_bench", "uu_encode_bench", "smtp_data_bench"):
    print(f"\n### {name} (medians)\n\n```")
    for run, b in medians(name).items():
        extra = f"  {gbs(b):.3f} GB/s" if "bytes_per_second" in b else ""
        print(f"{run:40s} {b['real_time']:12.3f} {b['time_unit']}{extra}  {b.get('label', '')}".rstrip())
    print("```")
sys.exit(3 if missed else 0)
EOF
[ $rc -eq 0 ] || [ $rc -eq 3 ] || die "the report could not be made (exit $rc)"
cat "$OUT/report.md"
exit "$rc"
