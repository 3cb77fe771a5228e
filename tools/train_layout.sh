#!/bin/bash
# Rebuilds the shipped layout centres (data/as2graph.dat) from the mail corpus:
#   tools/train_layout.sh BUILD_DIR [CORPUS]
# CORPUS holds ham/ and spam/ (default: MAIL_CORPUS or ../shared/corpus). Every fifth
# mail of each folder is held out of training and classified with the new file; the
# table on standard error is the held-out accuracy. The same corpus and build give the
# same file, byte for byte.
set -euo pipefail
build=$1
here=$(cd "$(dirname "$0")/.." && pwd)
corpus=${2:-${MAIL_CORPUS:-$here/../shared/corpus}}
"$build/bin/emlscan" -c "$here/data/emlscan.toml" train-layout \
  --ham "$corpus/ham" --spam "$corpus/spam" --holdout 5 -j 2 \
  -o "$here/data/as2graph.dat"
