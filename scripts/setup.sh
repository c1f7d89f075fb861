#!/usr/bin/env bash
# Installs everything the build and the tests need on a fresh Debian 12 or 13
# machine: compilers and libraries from apt, build and test tools from pip.
set -euo pipefail

# `setup.sh --build-only` installs just what building the module needs (the main
# job); without it, everything the test suite needs as well.
packages=(build-essential cmake ninja-build pkg-config libssl-dev)
if [ "${1:-}" != "--build-only" ]; then
  packages+=(libgtest-dev libbenchmark-dev clang-14 libclang-rt-14-dev llvm-14 clang-format-14
             clang-tidy-14)
fi
need=()
for pkg in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || need+=("$pkg")
done
if ((${#need[@]})); then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${need[@]}"
fi

python3 -m pip install -q --upgrade pip
python3 -m pip install -q "scikit-build-core>=0.10" "cmake>=3.26" ninja build abi3audit
