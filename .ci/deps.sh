#!/bin/bash
# Installs what the project builds and tests with on a fresh Debian 12.
set -euo pipefail
packages=(
  build-essential cmake pkg-config ccache clang-14 libclang-rt-14-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  libgmime-3.0-dev libpcre2-dev flex bison
  libtomlplusplus-dev libcli11-dev nlohmann-json3-dev libjemalloc-dev python3
  go-md2man
  libmilter-dev miltertest postfix liblmdb-dev libsqlite3-dev libhiredis-dev redis-server
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
