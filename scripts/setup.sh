#!/usr/bin/env bash
# Installs what building and testing brevane need on a fresh Debian 12 or 13
# machine, with apt-get only. Nothing Python is installed globally (Debian's
# python3 is "externally managed", PEP 668): every Python package goes into a
# venv under build/, the module's build tools (scikit-build-core, cmake, ninja)
# into pip's isolated build environment.
#
#   bash scripts/setup.sh --build-only   what the main job needs (scripts/demo.sh)
#   bash scripts/setup.sh                also what the test suite needs, and the
#                                        tools venv build/venv-tools (nox)
#
# Adding a dependency of the tests:
#   - a Debian package (a browser and its driver, say): APT_TEST below;
#   - a Python package that the tests import (sphinx, selenium, requests...): the
#     `test` extra in pyproject.toml, or a new extra listed in noxfile.py's EXTRAS;
#     each interpreter's test venv installs the wheel with those extras;
#   - a Python tool that drives the run rather than being imported by the tests:
#     TOOLS below (it lands in build/venv-tools/bin).
set -euo pipefail
cd "$(dirname "$0")/.."

# ---- Debian packages: the main job --------------------------------------------
APT_BUILD=(
  build-essential   # g++
  libssl-dev        # OpenSSL's libcrypto and headers
  python3-dev       # Python.h for Debian's python3 (pyenv's interpreters carry their own)
  python3-venv      # `python3 -m venv` on Debian's python3
  ca-certificates   # pip over HTTPS
)
# ---- Debian packages: the test suite ------------------------------------------
APT_TEST=(
  cmake ninja-build                           # the C++ builds outside pip
  libgtest-dev libbenchmark-dev               # GoogleTest, Google Benchmark
  clang-14 libclang-rt-14-dev llvm-14         # libFuzzer and the sanitizers
  clang-format-14 clang-tidy-14
  git                                         # the list of sources to format-check
  pkg-config rustc                            # consumers of the installed C library
  chromium chromium-driver                    # the site report's tests, in headless Chromium
  nginx apache2                               # serving signed sites on loopback (the header form's rules)
  python3-doc postgresql-doc                  # real documentation sites (Sphinx, DocBook) to sign and mirror
)
# ---- Python tools in build/venv-tools -------------------------------------------
TOOLS=(
  "nox>=2024.4"   # one session per interpreter (noxfile.py)
)

packages=("${APT_BUILD[@]}")
if [ "${1:-}" != "--build-only" ]; then
  packages+=("${APT_TEST[@]}")
fi
need=()
for pkg in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || need+=("$pkg")
done
if ((${#need[@]})); then
  sudo=()
  if [ "$(id -u)" != 0 ]; then
    command -v sudo >/dev/null || {
      echo "setup: please install as root: apt-get install ${need[*]}" >&2; exit 2; }
    sudo=(sudo)
  fi
  echo "setup: apt-get install ${need[*]}"
  export DEBIAN_FRONTEND=noninteractive
  "${sudo[@]}" apt-get update -qq
  "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
fi

if [ "${1:-}" != "--build-only" ]; then
  # The tools venv, made with the python3 that runs the scripts; remade when that
  # interpreter changes or the venv no longer runs.
  python=${PYTHON:-python3}
  want=$("$python" -c 'import sys; print(sys.executable, sys.version)')
  if [ "$(cat build/venv-tools/.made-by 2>/dev/null)" != "$want" ] ||
     ! build/venv-tools/bin/python -c '' 2>/dev/null; then
    rm -rf build/venv-tools
    "$python" -m venv build/venv-tools
    echo "$want" >build/venv-tools/.made-by
  fi
  build/venv-tools/bin/python -m pip install -q --disable-pip-version-check "${TOOLS[@]}"
fi
