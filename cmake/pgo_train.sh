#!/bin/bash
# The training run of a profile-guided build (cmake/ProfileGuided.cmake):
#   pgo_train.sh EMLSCAN CONFIG PGO_ROOT HEADER --ham=DIRS --spam=DIRS MAIL_DIR...
# EMLSCAN is the instrumented host; it judges every mail of the MAIL_DIRs (and the
# ham and spam) with the shipped settings CONFIG, as `check -j 1` does. With ham and
# spam (each a ;-separated list, as CMake passes lists), it also learns them into a
# scratch token store and judges them again with it, so the classifier's paths are
# trained as well. The instrumented code writes its profiles into PGO_ROOT/raw; a
# complete run moves them to PGO_ROOT/profile, touches PGO_ROOT/trained and, when the
# profiles changed, rewrites HEADER, which names their digest and which every object
# of the optimised build includes: new profiles compile everything again.
set -euo pipefail
emlscan=$1 config=$2 root=$3 header=$4
shift 4
ham= spam=
mails=()
for arg in "$@"; do
  case $arg in
    --ham=*) ham=${arg#--ham=} ;;
    --spam=*) spam=${arg#--spam=} ;;
    *) [ -n "$arg" ] && mails+=("$arg") ;;
  esac
done
IFS=';' read -r -a ham_dirs <<< "$ham"
IFS=';' read -r -a spam_dirs <<< "$spam"

rm -rf "$root/raw"
mkdir -p "$root/raw"
scratch=$(mktemp -d "${TMPDIR:-/tmp}/emlb-pgo.XXXXXX")
trap 'rm -rf "$scratch"' EXIT

# Verdicts do not matter here, only that the code runs as on real mail: a mail
# that fails to break still trains the paths it took, and check's exit status 1
# (some mails could not be read) is not a failure.
run() {  # WHAT ARGS...: emlscan with the shipped settings, failing on status 2 and up
  local what=$1 status=0
  shift
  "$emlscan" -c "$config" "$@" > /dev/null 2> "$scratch/err" || status=$?
  if [ "$status" -gt 1 ]; then
    echo "pgo_train: emlscan $what failed ($status):" >&2
    cat "$scratch/err" >&2
    exit 1
  fi
}
judge() { run check "$@" check -q -j 1 "${dirs[@]}"; }
dirs=("${mails[@]}" "${ham_dirs[@]}" "${spam_dirs[@]}")
[ ${#dirs[@]} -gt 0 ] || { echo "pgo_train: no training mail" >&2; exit 1; }
echo "pgo_train: judging ${dirs[*]}"
judge
if [ ${#ham_dirs[@]} -gt 0 ] && [ ${#spam_dirs[@]} -gt 0 ]; then
  echo "pgo_train: learning and judging with a token store"
  spam_args=() ham_args=()
  for d in "${spam_dirs[@]}"; do spam_args+=(--spam "$d"); done
  for d in "${ham_dirs[@]}"; do ham_args+=(--ham "$d"); done
  run learn learn --db "$scratch/tokens.lmdb" -q "${spam_args[@]}" "${ham_args[@]}"
  dirs=("${ham_dirs[@]}" "${spam_dirs[@]}")
  judge --set "/emlscan/learning/Database=$scratch/tokens.lmdb"
fi

count=$(find "$root/raw" -name '*.gcda' | wc -l)
if [ "$count" -eq 0 ]; then
  echo "pgo_train: the run wrote no profiles into $root/raw" >&2
  exit 1
fi
rm -rf "$root/profile"
mv "$root/raw" "$root/profile"
digest=$(cd "$root/profile" && find . -name '*.gcda' -print0 | sort -z | xargs -0 md5sum | md5sum | cut -d' ' -f1)
printf '/* profiles of the training run: %s files, digest %s */\n' "$count" "$digest" > "$header.new"
if cmp -s "$header.new" "$header"; then
  rm "$header.new"
else
  mv "$header.new" "$header"
fi
touch "$root/trained"
echo "pgo_train: $count profiles"
