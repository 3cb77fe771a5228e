#!/bin/bash
# Throughput of `emlscan dump` beside GMime's own parse-and-decode loop, on the
# same mails in the same run (only the ratio travels between machines):
#   [STAGE=parts] bench/emlscan_bench.sh BUILD_DIR [MAIL_DIR] [REPEAT]
# STAGE (headers, parts, text, html; all by default) stops breaking there.
# emlscan reads each mail from its file (the page cache, after a warm-up run);
# the peer reads every mail into memory first. Peak memory is the maximum
# resident set size of each emlscan run.
set -euo pipefail
build=${1:?usage: emlscan_bench.sh BUILD_DIR [MAIL_DIR] [REPEAT]}
here=$(cd "$(dirname "$0")/.." && pwd)
mails=${2:-$here/../shared/corpus/bench}
repeat=${3:-3}
peers=$here/../shared/peers
count=$(find "$mails" -type f | wc -l)
bytes=$(find "$mails" -type f -printf '%s\n' | awk '{s+=$1} END {print s}')

"$build/bin/emlscan" dump -q "$mails" > /dev/null 2>&1 || true  # warm the page cache

timing=$(mktemp)
trap 'rm -f "$timing"' EXIT
run() {  # run JOBS -> prints "seconds peak_kib"
  local jobs=$1 best=
  local peak=0
  for _ in $(seq "$repeat"); do
    # Wall time from the shell's clock in nanoseconds (time's %e has only
    # centiseconds, too coarse for a third of a second); peak memory from time.
    local start end kib secs
    start=$(date +%s%N)
    /usr/bin/time -o "$timing" -f "%M" "$build/bin/emlscan" dump -q --stage "${STAGE:-all}" -j "$jobs" "$mails" \
        > /dev/null 2> /dev/null || true
    end=$(date +%s%N)
    kib=$(tail -1 "$timing")
    secs=$(awk -v a="$start" -v b="$end" 'BEGIN {printf "%.4f", (b - a) / 1e9}')
    if [ -z "$best" ] || awk "BEGIN {exit !($secs < $best)}"; then best=$secs; fi
    [ "$kib" -gt "$peak" ] && peak=$kib
  done
  echo "$best $peak"
}

read -r one peak1 < <(run 1)
read -r two peak2 < <(run 2)
gmime_line=$(BUILD=${TMPDIR:-/tmp}/peers-build "$peers/run.sh" -n "$repeat" "$mails" | grep '^gmime:' | head -1)
gmime_rate=$(echo "$gmime_line" | sed -E 's/.* ([0-9.]+) mails\/s.*/\1/')

awk -v n="$count" -v b="$bytes" -v one="$one" -v two="$two" -v g="$gmime_rate" \
    -v p1="$peak1" -v p2="$peak2" 'BEGIN {
  r1 = n / one; r2 = n / two;
  printf "emlscan -j1: %d mails, %.1f MB, %.3f s, %.0f mails/s, %.1f MB/s, peak %d KiB\n", n, b/1e6, one, r1, b/1e6/one, p1;
  printf "emlscan -j2: %d mails, %.1f MB, %.3f s, %.0f mails/s, %.1f MB/s, peak %d KiB, %.2fx of -j1\n", n, b/1e6, two, r2, b/1e6/two, p2, r2/r1;
  printf "gmime:       %.0f mails/s   ratio (emlscan -j1 / gmime) %.2f\n", g, r1/g;
}'
