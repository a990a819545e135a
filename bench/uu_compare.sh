#!/usr/bin/env bash
# Times the attachment encoder tool against GNU sharutils uuencode on the same 64 MiB random
# file, output to /dev/null, runs of the two interleaved; prints each run, the median wall time
# of each ("median <uuenc ms> <uuencode ms>") and the ratio. Builds nothing.
#
# usage: uu_compare.sh PATH/TO/uuenc [RUNS]     (RUNS >= 5, default 9)
# Exit status: 0 when uuenc is at least 3 times faster, 3 when it is not, 1 on errors.
set -euo pipefail

[[ $# -ge 1 && $# -le 2 && -x $1 ]] || { echo "usage: $0 PATH/TO/uuenc [RUNS]" >&2; exit 1; }
command -v uuencode >/dev/null && command -v uudecode >/dev/null ||
    { echo "$0: GNU sharutils (uuencode, uudecode) is not installed" >&2; exit 1; }
tool=$1
runs=$(( ${2:-9} < 5 ? 5 : ${2:-9} ))
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
head -c $((64 * 1024 * 1024)) /dev/urandom >"$tmp/random.bin"
sync "$tmp/random.bin" # no write-back of the new file during the timed runs

# The tool's text must decode to the file (this also brings the file into the page cache).
"$tool" "$tmp/random.bin" >"$tmp/random.uu"
uudecode -o "$tmp/decoded.bin" "$tmp/random.uu"
cmp -s "$tmp/random.bin" "$tmp/decoded.bin" ||
    { echo "$0: the text of $tool does not decode to the input file" >&2; exit 1; }
rm -f "$tmp/random.uu" "$tmp/decoded.bin"
uuencode "$tmp/random.bin" random.bin >/dev/null

# Wall time of one run in microseconds (EPOCHREALTIME: no process around the run).
us() {
    local start=$EPOCHREALTIME
    "$@" >/dev/null
    local end=$EPOCHREALTIME
    echo $(( ${end/./} - ${start/./} ))
}
median() { printf '%s\n' "$@" | sort -n | awk '{ v[NR] = $1 } END { print (v[int((NR + 1) / 2)] + v[int(NR / 2) + 1]) / 2 }'; }
ms() { awk -v us="$1" 'BEGIN { printf "%.1f", us / 1000 }'; }

ours=() gnu=()
for (( i = 0; i < runs; i++ )); do
    ours+=("$(us "$tool" "$tmp/random.bin")")
    gnu+=("$(us uuencode "$tmp/random.bin" random.bin)")
done
echo "64 MiB random file, output to /dev/null, $runs runs each (ms)"
printf '%-10s %10s %10s\n' "run" "uuenc" "uuencode"
for (( i = 0; i < runs; i++ )); do
    printf '%-10s %10s %10s\n' "$((i + 1))" "$(ms "${ours[i]}")" "$(ms "${gnu[i]}")"
done
ours_median=$(median "${ours[@]}") gnu_median=$(median "${gnu[@]}")
printf '%-10s %10s %10s\n' "median" "$(ms "$ours_median")" "$(ms "$gnu_median")"
ratio=$(awk -v a="$gnu_median" -v b="$ours_median" 'BEGIN { printf "%.2f", a / b }')
echo "ratio uuencode/uuenc: ${ratio}x (target: 3x or more)"
awk -v r="$ratio" 'BEGIN { exit !(r >= 3) }' || exit 3
