#!/bin/bash
# Installs BUILD_DIR into a fresh prefix and uses it as a filter developer and
# an administrator would: the probe built with pkg-config and with
# find_package(emlbreaker), the installed emlscan on the installed samples,
# and the man page.
#   bash tests/install/run.sh BUILD_DIR
set -euo pipefail
build=$(cd "${1:?usage: run.sh BUILD_DIR}" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
tmp=$(mktemp -d "${TMPDIR:-/tmp}/emlb-install.XXXXXX")
trap 'rm -rf "$tmp"' EXIT
prefix=$tmp/prefix

echo "== install into $prefix"
cmake --install "$build" --prefix "$prefix" >/dev/null

echo "== probe with pkg-config"
export PKG_CONFIG_PATH=$prefix/lib/pkgconfig
plugin=$(pkg-config --variable=plugin emlbreaker)
test "$plugin" = "$prefix/lib/emlbreaker/libemlbreaker.so"
# shellcheck disable=SC2046
c++ -o "$tmp/probe-pc" "$here/probe.cc" -DEMLBREAKER_PLUGIN="\"$plugin\"" \
  $(pkg-config --cflags --libs emlbreaker) -ldl
test "$("$tmp/probe-pc")" = "emlbreaker $(pkg-config --modversion emlbreaker)"

echo "== probe with find_package(emlbreaker)"
cmake -S "$here" -B "$tmp/probe-cmake" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$tmp/probe-cmake" >/dev/null
test "$("$tmp/probe-cmake/probe")" = "emlbreaker 2.5.16"

echo "== installed emlscan on the installed samples"
# Nothing of the build or source tree may be used: the config, rules, plug-in
# and companions must all come from the prefix.
env -u EMLSCAN_CONFIG "$prefix/bin/emlscan" info | grep -qx "config    $prefix/share/emlbreaker/emlscan.toml"
env -u EMLSCAN_CONFIG "$prefix/bin/emlscan" check -q "$prefix/share/emlbreaker/samples" >"$tmp/check.txt"
grep -q ': phishing ' "$tmp/check.txt"
grep -q ': spam ' "$tmp/check.txt"
env -u EMLSCAN_CONFIG "$prefix/bin/emlscan" lint >/dev/null 2>&1

echo "== man page and docs"
page=$prefix/share/man/man1/emlscan.1
test -s "$page"
if command -v man >/dev/null; then
  warnings=$(MANWIDTH=80 man --warnings -E UTF-8 -l "$page" 2>&1 >"$tmp/man.txt")
  test -z "$warnings" || { echo "$warnings"; exit 1; }
  grep -q 'EXIT STATUS' "$tmp/man.txt"
else
  echo "(no man(1) here: the page is checked as troff text only)"
  head -n 3 "$page" | grep -q '^\.TH emlscan 1 '
fi
test -s "$prefix/share/doc/emlbreaker/LICENSE"
test -s "$prefix/share/doc/emlbreaker/HOST.md"
echo "install: ok"
