#!/bin/bash
# Throughput of `emlscan dump` (or `check`) beside GMime's own parse-and-decode
# loop, on the same mails in the same run (only the ratio travels between
# machines):
#   [STAGE=parts] [COMMAND=check] bench/emlscan_bench.sh BUILD_DIR [MAIL_DIR] [REPEAT]
# STAGE (headers, parts, text, html; all by default) stops breaking there;
# COMMAND=check judges every mail with the shipped rules instead of dumping it.
# emlscan reads each mail from its file (the page cache, after a warm-up run)
# and is timed twice: from start to exit, and by its own summary line, which
# times the breaking loop alone (after the plug-in is loaded and set up, file
# reads and output included). The peer reads every mail into memory first and
# times only its parse loop. Each side's figure is its best of REPEAT rounds
# taken in turn. Peak memory is the maximum resident set size of emlscan
# runs beside the timed ones, under /usr/bin/time.
set -euo pipefail
export LC_NUMERIC=C  # $EPOCHREALTIME and awk agree on the decimal point
build=${1:?usage: emlscan_bench.sh BUILD_DIR [MAIL_DIR] [REPEAT]}
here=$(cd "$(dirname "$0")/.." && pwd)
mails=${2:-$here/../shared/corpus/bench}
repeat=${3:-3}
peers=$here/../shared/peers
count=$(find "$mails" -type f | wc -l)
bytes=$(find "$mails" -type f -printf '%s\n' | awk '{s+=$1} END {print s}')

"$build/bin/emlscan" dump -q "$mails" > /dev/null 2>&1 || true  # warm the page cache

timing=$(mktemp)
summary=$(mktemp)
trap 'rm -f "$timing" "$summary"' EXIT
if [ "${COMMAND:-dump}" = check ]; then
  dump_args=(check)  # then -j JOBS and the mail folder
else
  dump_args=(dump --stage "${STAGE:-all}")
fi
once() {  # once JOBS -> prints "seconds loop_seconds" of one emlscan run
  # Wall time from bash's own clock in microseconds (time's %e has only
  # centiseconds, too coarse for a third of a second; `date` in a command
  # substitution would add its own start and exit, 3-5 ms here, to each run).
  # emlscan runs on its own: under /usr/bin/time each run took 3.6 ms longer,
  # time's own start, which is not emlscan's.
  local start end
  start=$EPOCHREALTIME
  "$build/bin/emlscan" "${dump_args[@]}" -j "$1" "$mails" > /dev/null 2> "$summary" || true
  end=$EPOCHREALTIME
  local loop
  loop=$(tail -1 "$summary" | sed -nE 's/.* in ([0-9.]+) s .*/\1/p')
  awk -v a="$start" -v b="$end" -v l="${loop:-0}" 'BEGIN {printf "%.4f %.4f\n", b - a, l}'
}
peak() {  # peak JOBS -> prints the peak resident set of one emlscan run, in KiB
  /usr/bin/time -o "$timing" -f "%M" "$build/bin/emlscan" "${dump_args[@]}" -j "$1" "$mails" \
      > /dev/null 2>&1 || true
  tail -1 "$timing"
}

# The machine's speed drifts within seconds, so the three runs take turns,
# REPEAT rounds of them, and each keeps its best: a slow spell then costs
# every side alike instead of whichever ran during it.
peer_build=${TMPDIR:-/tmp}/peers-build
make -s -C "$peers" BUILD="$peer_build" > /dev/null
# The machine's own scaling to two cores: two GMime peers at once against one,
# a longer loop (-n 3) so that the two overlap. On a VM whose two vCPUs share a
# core this is well below 2, and it bounds what emlscan -j2 can reach.
peer_rate() { sed -E 's/.* ([0-9.]+) mails\/s.*/\1/'; }
# emlscan allocates through the malloc it is linked with (jemalloc unless built
# with EMLB_ALLOCATOR=system); the peer is also timed with that one preloaded, so
# that the allocator's share of the ratio shows.
allocator=$(ldd "$build/bin/emlscan" | awk '/libjemalloc/ {print $3}')
one=; two=; loop1=; loop2=; gmime_rate=0; gmime_alloc=0; peak1=0; peak2=0; solo3=0; pair3=0
for _ in $(seq "$repeat"); do
  read -r secs loop < <(once 1)
  if [ -z "$one" ] || awk "BEGIN {exit !($secs < $one)}"; then one=$secs; fi
  if [ -z "$loop1" ] || awk "BEGIN {exit !($loop < $loop1)}"; then loop1=$loop; fi
  kib=$(peak 1)
  [ "$kib" -gt "$peak1" ] && peak1=$kib
  read -r secs loop < <(once 2)
  if [ -z "$two" ] || awk "BEGIN {exit !($secs < $two)}"; then two=$secs; fi
  if [ -z "$loop2" ] || awk "BEGIN {exit !($loop < $loop2)}"; then loop2=$loop; fi
  kib=$(peak 2)
  [ "$kib" -gt "$peak2" ] && peak2=$kib
  rate=$("$peer_build/gmime_parse" -n 1 "$mails" | peer_rate)
  if awk "BEGIN {exit !($rate > $gmime_rate)}"; then gmime_rate=$rate; fi
  if [ -n "$allocator" ]; then
    rate=$(LD_PRELOAD=$allocator "$peer_build/gmime_parse" -n 1 "$mails" | peer_rate)
    if awk "BEGIN {exit !($rate > $gmime_alloc)}"; then gmime_alloc=$rate; fi
  fi
  rate=$("$peer_build/gmime_parse" -n 3 "$mails" | peer_rate)
  if awk "BEGIN {exit !($rate > $solo3)}"; then solo3=$rate; fi
  rate=$( ("$peer_build/gmime_parse" -n 3 "$mails" & "$peer_build/gmime_parse" -n 3 "$mails"; wait) |
      peer_rate | awk '{s += $1} END {print s}')
  if awk "BEGIN {exit !($rate > $pair3)}"; then pair3=$rate; fi
done

awk -v n="$count" -v b="$bytes" -v one="$one" -v two="$two" -v l1="$loop1" -v l2="$loop2" -v g="$gmime_rate" \
    -v p1="$peak1" -v p2="$peak2" -v s3="$solo3" -v d3="$pair3" -v ga="$gmime_alloc" 'BEGIN {
  r1 = n / one; r2 = n / two;
  printf "emlscan -j1: %d mails, %.1f MB, %.3f s, %.0f mails/s, %.1f MB/s, peak %d KiB\n", n, b/1e6, one, r1, b/1e6/one, p1;
  printf "emlscan -j2: %d mails, %.1f MB, %.3f s, %.0f mails/s, %.1f MB/s, peak %d KiB, %.2fx of -j1\n", n, b/1e6, two, r2, b/1e6/two, p2, r2/r1;
  if (l1 > 0 && l2 > 0)
    printf "loop only:   -j1 %.3f s, %.0f mails/s; -j2 %.3f s, %.0f mails/s, %.2fx of -j1 (start-up %.0f ms)\n", l1, n/l1, l2, n/l2, l1/l2, (one - l1) * 1000;
  printf "gmime:       %.0f mails/s (best round)   ratio (emlscan -j1 / gmime) %.2f\n", g, r1/g;
  if (ga > 0) printf "gmime+jemalloc: %.0f mails/s (the peer with emlscan'"'"'s malloc)   ratio %.2f\n", ga, r1/ga;
  printf "gmime x2:    two peers at once give %.2fx of one (the machine'"'"'s two-core scaling)\n", d3/s3;
}'

# The machine's scaling for the two kinds of work a mail costs, threads against
# processes: emlscan's workers are threads, the peers above are processes.
if [ -x "$build/bin/scaling_probe" ]; then
  "$build/bin/scaling_probe" "$(find "$mails" -type f | head -1)" "$repeat" | sed 's/^/probe:       /'
fi
