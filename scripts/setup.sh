#!/usr/bin/env bash
# Installs everything the build and the tests need on a fresh Debian 12 or 13
# machine: compilers and libraries from apt, build and test tools from pip.
set -euo pipefail

need=()
for pkg in build-essential cmake ninja-build pkg-config libssl-dev libgtest-dev libbenchmark-dev \
           clang-14 libclang-rt-14-dev llvm-14 clang-format-14 clang-tidy-14; do
  dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || need+=("$pkg")
done
if ((${#need[@]})); then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${need[@]}"
fi

python3 -m pip install -q --upgrade pip
python3 -m pip install -q "scikit-build-core>=0.10" "cmake>=3.26" ninja build abi3audit
