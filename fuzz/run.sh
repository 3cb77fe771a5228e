#!/bin/bash
# Runs every fuzz target of a build tree for a while on its seed corpus:
#   fuzz/run.sh BUILD_DIR SECONDS
# Seeds come from the mail corpus (MAIL_CORPUS or ../shared/corpus); each
# target's working corpus lives in BUILD_DIR/fuzz-corpus/NAME.
set -euo pipefail
build=$1
seconds=${2:-60}
here=$(cd "$(dirname "$0")/.." && pwd)
corpus=${MAIL_CORPUS:-$here/../shared/corpus}
status=0
for target in "$build"/bin/*_fuzzer; do
  [ -x "$target" ] || continue
  name=$(basename "$target")
  work="$build/fuzz-corpus/$name"
  mkdir -p "$work"
  seeds=()
  [ -d "$corpus/mime" ] && seeds+=("$corpus/mime")
  [ -d "$corpus/html" ] && seeds+=("$corpus/html")
  [ -d "$here/fuzz/seeds/$name" ] && seeds+=("$here/fuzz/seeds/$name")
  echo "-- $name for ${seconds}s"
  if ! "$target" -max_total_time="$seconds" -max_len=65536 -timeout=10 -rss_limit_mb=2048 \
      -print_final_stats=1 "$work" "${seeds[@]}" > "$build/$name.log" 2>&1; then
    tail -50 "$build/$name.log"
    status=1
  else
    grep -E "stat::number_of_executed_units|Done" "$build/$name.log" | tail -2 || true
  fi
done
exit $status
