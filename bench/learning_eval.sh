#!/bin/bash
# Detection with and without the statistical classifier, on mail it never learned:
#   bench/learning_eval.sh BUILD [CORPUS] [--cv]
# CORPUS (../shared/corpus by default) holds ham/ and spam/. Each mail goes to the
# training part or, for a quarter of them, to the held-out part, by the MD5 of its file
# name, so the same corpus always splits the same way. The classifier learns the
# training part; `emlscan check` then judges the held-out part with the shipped rules
# alone and with the classifier, and the script prints spam caught and ham flagged.
# With --cv it judges the training part instead, in two folds (learn one half, check
# the other, both ways): the figure to tune rule scores by, so that the held-out mail
# stays unseen. Work files go under $TMPDIR (else /tmp) and are removed at the end.
set -euo pipefail
build=${1:?usage: learning_eval.sh BUILD [CORPUS] [--cv]}
shift
corpus=$(dirname "$0")/../../shared/corpus
cv=false
for arg in "$@"; do
  if [ "$arg" = "--cv" ]; then cv=true; else corpus=$arg; fi
done
emlscan="$build/bin/emlscan"
[ -x "$emlscan" ] || { echo "learning_eval: no $emlscan" >&2; exit 2; }
[ -d "$corpus/ham" ] && [ -d "$corpus/spam" ] || { echo "learning_eval: no ham/ and spam/ in $corpus" >&2; exit 2; }
work=$(mktemp -d "${TMPDIR:-/tmp}/learning-eval.XXXXXX")
trap 'rm -rf "$work"' EXIT

# Symbolic links: train-ham, held-ham, ... and, for --cv, the two halves of training.
python3 - "$corpus" "$work" <<'EOF'
import hashlib, os, sys
corpus, work = sys.argv[1], sys.argv[2]
for cls in ("ham", "spam"):
    for part in ("train", "held", "half0", "half1"):
        os.makedirs(f"{work}/{part}-{cls}")
    kept = 0
    for name in sorted(os.listdir(f"{corpus}/{cls}")):
        path = os.path.abspath(f"{corpus}/{cls}/{name}")
        if not os.path.isfile(path):
            continue
        held = int(hashlib.md5(name.encode()).hexdigest(), 16) % 4 == 0
        os.symlink(path, f"{work}/{'held' if held else 'train'}-{cls}/{name}")
        if not held:
            os.symlink(path, f"{work}/half{kept % 2}-{cls}/{name}")
            kept += 1
EOF

# Prints "caught/total" for spam or "flagged/total" for ham of one check run.
judge() {  # STORE FOLDER
  local set=()
  [ -n "$1" ] && set=(--set "/emlscan/learning/Database=$1")
  "$emlscan" "${set[@]}" check --json -q -j 2 "$2" 2>/dev/null |
    python3 -c 'import json,sys
rows=[json.loads(l) for l in sys.stdin]
print(sum(r["verdict"]!="legitimate" for r in rows), len(rows))'
}
learn() {  # STORE SPAM HAM
  "$emlscan" learn --db "$1" --spam "$2" --ham "$3" -q
}
report() {  # LABEL SPAM_COUNTS HAM_COUNTS
  read -r s_hit s_all <<<"$2"
  read -r h_hit h_all <<<"$3"
  awk -v l="$1" -v a="$s_hit" -v b="$s_all" -v c="$h_hit" -v d="$h_all" 'BEGIN {
    printf "%-22s spam caught %d/%d (%.1f%%), ham flagged %d/%d (%.2f%%)\n", l, a, b,
      100 * a / b, c, d, 100 * c / d }'
}

if $cv; then
  total() { awk '{ a += $1; b += $2 } END { print a, b }'; }
  for fold in 0 1; do
    learn "$work/fold$fold.lmdb" "$work/half$fold-spam" "$work/half$fold-ham"
  done
  spam=$( { judge "" "$work/half1-spam"; judge "" "$work/half0-spam"; } | total)
  ham=$( { judge "" "$work/half1-ham"; judge "" "$work/half0-ham"; } | total)
  report "rules alone (cv)" "$spam" "$ham"
  spam=$( { judge "$work/fold0.lmdb" "$work/half1-spam"; judge "$work/fold1.lmdb" "$work/half0-spam"; } | total)
  ham=$( { judge "$work/fold0.lmdb" "$work/half1-ham"; judge "$work/fold1.lmdb" "$work/half0-ham"; } | total)
  report "with classifier (cv)" "$spam" "$ham"
else
  start=$(date +%s.%N)
  learn "$work/tokens.lmdb" "$work/train-spam" "$work/train-ham"
  end=$(date +%s.%N)
  trained=$(find "$work/train-spam" "$work/train-ham" -type l | wc -l)
  awk -v n="$trained" -v s="$start" -v e="$end" 'BEGIN {
    printf "learned %d mails in %.2f s (%.0f mails/s)\n", n, e - s, n / (e - s) }'
  report "rules alone" "$(judge "" "$work/held-spam")" "$(judge "" "$work/held-ham")"
  report "with classifier" "$(judge "$work/tokens.lmdb" "$work/held-spam")" \
    "$(judge "$work/tokens.lmdb" "$work/held-ham")"
fi
