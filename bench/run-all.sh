#!/bin/bash
# Runs every benchmark and prints one Markdown report: the machine, then one table in which
# each figure stands beside its peer measured in the same run (the empty job, GNU uuencode,
# Postfix's smtp-source), with the ratio, the goal and whether it is met; the raw output of
# each benchmark follows. Builds nothing.
#
# usage: bench/run-all.sh [BUILD-DIR]       (default: build)
#
#   job_load_bench       the full job (10001 addresses, 1 MiB message) beside the empty job, and
#                        the same job in UTF-8 with LF beside it in Windows-1251; goals: each
#                        loads in less than 20 ms, the UTF-8 one within 1.5 times the other
#   uu_encode_bench      encoder throughput, beside GNU uuencode's from uu_compare.sh;
#                        goal: 2 GB/s or more
#   uu_compare.sh        uuenc beside GNU uuencode on a 64 MiB file; goal: 3 times as fast
#   smtp_data_bench      throughput of the message data producer (no peer, no goal)
#   delivery_compare.sh  delivery through the window beside smtp-source (needs root)
#
# Environment: DELIVERY_N (messages of the rate run, default 1000), DELIVERY_RUNS (default 5),
#              BENCH_REPETITIONS (Google Benchmark repetitions, default 5).
# Exit status: 0 when every goal is met, 3 when one is not, 1 when a benchmark failed.

set -euo pipefail

HERE=$(cd "$(dirname "$0")" && pwd -P)
BUILD=$(readlink -f "${1:-build}")
REPS=${BENCH_REPETITIONS:-5}
PYTHON=${PYTHON:-$(test -x /usr/bin/python3 && echo /usr/bin/python3 || command -v python3)}
OUT=$(mktemp -d /tmp/bench-run-all.XXXXXX)
trap 'rm -rf "$OUT"' EXIT
exec </dev/null

die() {
    echo "run-all: $*" >&2
    exit 1
}
for target in job_load_bench uu_encode_bench uuenc smtp_data_bench delivery_bench; do
    [ -x "$BUILD/bench/$target" ] || die "$BUILD/bench/$target is not built"
done

step() { echo "run-all: $*" >&2; }

# Google Benchmark programs: medians of repetitions, as JSON.
gbench() {
    local name=$1
    step "$name"
    "$BUILD/bench/$name" --benchmark_repetitions="$REPS" --benchmark_report_aggregates_only=true \
        --benchmark_format=json >"$OUT/$name.json" 2>"$OUT/$name.err" ||
        die "$name failed: $(tail -n 5 "$OUT/$name.err")"
}
gbench job_load_bench
gbench uu_encode_bench
gbench smtp_data_bench

# Scripts whose exit status 3 means "ran, goal missed".
script() {
    local name=$1 rc=0
    shift
    step "$name"
    "$@" >"$OUT/$name.out" 2>"$OUT/$name.err" || rc=$?
    [ $rc -eq 0 ] || [ $rc -eq 3 ] || die "$name failed (exit $rc): $(tail -n 5 "$OUT/$name.err")"
}
script uu_compare "$HERE/uu_compare.sh" "$BUILD/bench/uuenc"
script delivery_compare "$HERE/delivery_compare.sh" "$BUILD" "${DELIVERY_N:-1000}" "${DELIVERY_RUNS:-5}"

# The machine.
cpu=$(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n 1)
mem=$(awk '/^MemTotal:/ { printf "%.1f GiB", $2 / 1048576 }' /proc/meminfo)
compiler=$(sed -n 's/^CMAKE_CXX_COMPILER:[A-Z]*=//p' "$BUILD/CMakeCache.txt" 2>/dev/null)
compiler=$("${compiler:-c++}" --version | head -n 1)
buildtype=$(sed -n 's/^CMAKE_BUILD_TYPE:[A-Z]*=//p' "$BUILD/CMakeCache.txt" 2>/dev/null)
{
    echo "# Benchmarks"
    echo
    echo "Produced by \`bench/run-all.sh\` on $(date -u '+%Y-%m-%d %H:%M UTC')."
    echo
    echo "| machine | |"
    echo "|---|---|"
    echo "| processors (nproc) | $(nproc) |"
    echo "| CPU | $cpu |"
    echo "| memory | $mem |"
    echo "| kernel | $(uname -srm) |"
    echo "| system | Debian $(cat /etc/debian_version 2>/dev/null || echo '?') |"
    echo "| compiler | $compiler, ${buildtype:-default} build |"
    echo "| Qt | $(qtpaths6 --qt-version 2>/dev/null || echo '?') |"
    echo "| Postfix | $(postconf -d -h mail_version 2>/dev/null || echo '?') |"
    echo "| load average at the end | $(cut -d' ' -f1-3 /proc/loadavg) |"
    echo
} >"$OUT/report.md"

rc=0
"$PYTHON" - "$OUT" "$REPS" >>"$OUT/report.md" <<'EOF' || rc=$?
import json, os, re, sys

out, reps = sys.argv[1], sys.argv[2]

def medians(name):
    with open(os.path.join(out, name + ".json")) as f:
        data = json.load(f)
    runs = data["benchmarks"]
    # With one repetition there are no aggregates: the single run is its own median.
    wanted = [b for b in runs if b.get("aggregate_name") == "median"] or \
        [b for b in runs if b.get("run_type") == "iteration"]
    return {b["run_name"]: b for b in wanted}

def ms(b):
    scale = {"ns": 1e-6, "us": 1e-3, "ms": 1.0, "s": 1e3}[b["time_unit"]]
    return b["real_time"] * scale

rows = []  # figure, ours, peer, ratio, goal, met (True/False/None)

job = medians("job_load_bench")
full, empty, utf8 = ms(job["LoadJob/1"]), ms(job["LoadJob/0"]), ms(job["LoadJob/2"])
rows.append(("job load, full job (10001 addresses, 1 MiB message), ms (peer: the empty job)",
             f"{full:.2f}", f"{empty:.3f}", f"{full / empty:.0f}", "< 20 ms", full < 20))
rows.append(("job load, the same job in UTF-8 with LF, converted, ms (peer: it in Windows-1251)",
             f"{utf8:.2f}", f"{full:.2f}", f"{utf8 / full:.2f}", "< 20 ms and <= 1.5x",
             utf8 < 20 and utf8 / full <= 1.5))

text = open(os.path.join(out, "uu_compare.out")).read()
m = re.search(r"^median\s+([\d.]+)\s+([\d.]+)", text, re.M)
uuenc_ms, gnu_ms = float(m.group(1)), float(m.group(2))
gnu_gbs = 64 * 2**20 / (gnu_ms / 1e3) / 1e9

uu = medians("uu_encode_bench")
def gbs(b):
    return b["bytes_per_second"] / 1e9
for run, what, goal in [
        ("BM_UUEncodeFile", "encoder, 64 MiB file to its text (read, encode, allocate), GB/s", True),
        ("BM_Encode", "encoder, 64 MiB in memory to its text (allocation included), GB/s", False),
        ("BM_EncodeLines/67108864", "encoder, data lines of 64 MiB into a ready buffer, GB/s", False),
        ("BM_EncodeLinesPortable/67108864", "encoder without SSSE3, same, GB/s", False)]:
    v = gbs(uu[run])
    rows.append((f"{what} (peer: GNU uuencode, 64 MiB file to /dev/null)", f"{v:.2f}",
                 f"{gnu_gbs:.2f}", f"{v / gnu_gbs:.1f}", ">= 2 GB/s" if goal else "(for comparison)",
                 v >= 2 if goal else None))

rows.append(("uuenc tool, 64 MiB random file to /dev/null, ms (peer: GNU uuencode)",
             f"{uuenc_ms:.1f}", f"{gnu_ms:.1f}", f"{gnu_ms / uuenc_ms:.2f}x faster",
             ">= 3x faster", gnu_ms / uuenc_ms >= 3))

data = medians("smtp_data_bench")
for run, what in [
        ("BM_UuencodedBlock/65536", "message data producer, 32 MiB uuencoded block, 64 KiB chunks, GB/s"),
        ("BM_UuencodedBlock/1048576", "message data producer, same, 1 MiB chunks, GB/s"),
        ("BM_ShortDottedLines/65536",
         "message data producer, worst case: lines \".\" that all need a dot and CR, GB/s")]:
    if run in data:
        rows.append((what + " (no peer)", f"{gbs(data[run]):.2f}", "-", "-", "-", None))

delivery = open(os.path.join(out, "delivery_compare.out")).read()
for line in delivery.splitlines():
    cells = [c.strip() for c in line.strip().strip("|").split("|")]
    if not line.startswith("| ") or len(cells) != 6 or cells[0] == "figure":
        continue
    met = {"yes": True, "NO": False}.get(cells[5])
    rows.append(("delivery: " + cells[0], cells[1], cells[2], cells[3], cells[4], met))

print(f"Google Benchmark figures are medians of {reps} repetitions; the scripts take medians of "
      "their own runs (see below). Ratio: ours / peer, except where it says \"faster\".")
print()
print("| figure | ours | peer | ratio | goal | met? |")
print("|---|---:|---:|---:|---|---|")
for figure, ours, peer, ratio, goal, met in rows:
    print(f"| {figure} | {ours} | {peer} | {ratio} | {goal} | "
          f"{'-' if met is None else 'yes' if met else '**NO**'} |")
missed = [r[0] for r in rows if r[5] is False]
print()
print("Goals missed: " + ("none" if not missed else "; ".join(missed)))
print()
print("## Output of each benchmark")
for name in ("uu_compare", "delivery_compare"):
    print()
    print(f"### {name}.sh")
    print()
    print("```")
    print(open(os.path.join(out, name + ".out")).read().rstrip())
    print("```")
for name in ("job_load_bench", "uu_encode_bench", "smtp_data_bench"):
    print()
    print(f"### {name} (medians)")
    print()
    print("```")
    for run, b in medians(name).items():
        extra = f"  {b['bytes_per_second'] / 1e9:.3f} GB/s" if "bytes_per_second" in b else ""
        label = f"  {b['label']}" if b.get("label") else ""
        print(f"{run:40s} {b['real_time']:12.3f} {b['time_unit']}{extra}{label}")
    print("```")
sys.exit(3 if missed else 0)
EOF
[ $rc -eq 0 ] || [ $rc -eq 3 ] || die "the report could not be made (exit $rc)"
cat "$OUT/report.md"
exit "$rc"
