#!/usr/bin/env bash
# Times the attachment encoder tool against GNU sharutils uuencode on the same 64 MiB random
# file, output to /dev/null, runs of the two interleaved; prints the median wall time of each
# and the ratio. Builds nothing.
#
# usage: uu_compare.sh PATH/TO/uuenc [RUNS]     (RUNS >= 5, default 9)
# Exit status: 0 when uuenc is at least 3 times faster, 3 when it is not, 1 on errors.
set -euo pipefail

if [[ $# -lt 1 || $# -gt 2 ]]; then
    echo "usage: $0 PATH/TO/uuenc [RUNS]" >&2
    exit 1
fi
tool=$1
runs=${2:-9}
if (( runs < 5 )); then
    runs=5
fi
if [[ ! -x $tool ]]; then
    echo "$0: $tool is not an executable (build the uuenc target first)" >&2
    exit 1
fi
for program in uuencode uudecode; do
    if ! command -v "$program" >/dev/null; then
        echo "$0: $program (GNU sharutils) is not installed" >&2
        exit 1
    fi
done

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
input=$tmp/random.bin
head -c $((64 * 1024 * 1024)) /dev/urandom >"$input"
sync "$input" # no write-back of the new file during the timed runs

# The tool's text must decode to the file (this also brings the file into the page cache).
"$tool" "$input" >"$tmp/random.uu"
uudecode -o "$tmp/decoded.bin" "$tmp/random.uu"
if ! cmp -s "$input" "$tmp/decoded.bin"; then
    echo "$0: the text written by $tool does not decode to the input file" >&2
    exit 1
fi
rm -f "$tmp/random.uu" "$tmp/decoded.bin"
uuencode "$input" random.bin >/dev/null

# Wall time of one run in microseconds, left in $elapsed (EPOCHREALTIME and no command
# substitution: no extra process around the run).
elapsed=0
time_run() {
    local start=$EPOCHREALTIME
    "$@" >/dev/null
    local end=$EPOCHREALTIME
    elapsed=$(( ${end/./} - ${start/./} ))
}

median() {
    printf '%s\n' "$@" | sort -n | awk '{ v[NR] = $1 } END {
        if (NR % 2) print v[(NR + 1) / 2]; else print int((v[NR / 2] + v[NR / 2 + 1]) / 2) }'
}

ours=()
gnu=()
for (( i = 0; i < runs; i++ )); do
    time_run "$tool" "$input"
    ours+=("$elapsed")
    time_run uuencode "$input" random.bin
    gnu+=("$elapsed")
done

ours_median=$(median "${ours[@]}")
gnu_median=$(median "${gnu[@]}")
ms() { awk -v us="$1" 'BEGIN { printf "%.1f", us / 1000 }'; }

echo "64 MiB random file, output to /dev/null, $runs runs each (ms)"
printf '%-10s %10s %10s\n' "run" "uuenc" "uuencode"
for (( i = 0; i < runs; i++ )); do
    printf '%-10s %10s %10s\n' "$((i + 1))" "$(ms "${ours[i]}")" "$(ms "${gnu[i]}")"
done
printf '%-10s %10s %10s\n' "median" "$(ms "$ours_median")" "$(ms "$gnu_median")"
ratio=$(awk -v a="$gnu_median" -v b="$ours_median" 'BEGIN { printf "%.2f", a / b }')
echo "ratio uuencode/uuenc: ${ratio}x (target: 3x or more)"
awk -v r="$ratio" 'BEGIN { exit !(r >= 3) }' || exit 3
