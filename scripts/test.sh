#!/usr/bin/env bash
# The whole test suite, from a fresh machine: installs what it needs, then
#   1. builds the core and runs the GoogleTest suite and the fuzz-corpus replays,
#   2. runs the same suite built with AddressSanitizer and UBSan,
#   3. builds the one cp39-abi3 wheel and audits it,
#   4. installs that wheel into a fresh venv of each CPython 3.9 to 3.13 and runs pytest,
#   5. type-checks the stubs, the tools, the examples and the tests,
#   6. checks the formatting and runs clang-tidy over the sources,
#   7. fuzzes every target briefly on its committed corpus.
# FUZZ_SECONDS (default 60) sets the fuzzing time per target; 0 skips it.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
jobs=$(nproc)
fuzz_seconds=${FUZZ_SECONDS:-60}

bash scripts/setup.sh
source scripts/pythons.sh

step() { printf '\n==== %s ====\n' "$*"; }

step "C++ core: build and GoogleTest"
cmake -S . -B build/ci -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBREVANE_TESTS=ON \
  -DPython_EXECUTABLE="$(command -v python3)" >/dev/null
ninja -C build/ci -j"$jobs"
ctest --test-dir build/ci --output-on-failure -j"$jobs"

step "C++ core under AddressSanitizer and UBSan"
cmake -S . -B build/sanitize -G Ninja -DCMAKE_BUILD_TYPE=Debug -DBREVANE_TESTS=ON \
  -DBREVANE_PYTHON=OFF -DBREVANE_SANITIZE=ON >/dev/null
ninja -C build/sanitize -j"$jobs"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build/sanitize --output-on-failure -j"$jobs"

step "One abi3 wheel"
rm -rf dist
python3 -m pip wheel . --no-deps --no-build-isolation -w dist -q
wheel=$(ls dist/brevane-*-cp39-abi3-*.whl)
echo "built $wheel"
python3 -m abi3audit --strict --report "$wheel"

probe_dir=$(dirname "$(find build/ci -name '_brevane_fault_probe*.so' | head -n 1)")
step "pytest on every CPython"
for py in "${PYTHONS[@]}"; do
  version=$("$py" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
  venv="build/venv-$version"
  rm -rf "$venv"
  "$py" -m venv "$venv"
  "$venv/bin/python" -m pip install -q --upgrade pip
  extras="test"
  if [ "$version" != "3.9" ]; then extras="test,c2pa"; fi
  "$venv/bin/python" -m pip install -q "$wheel[$extras]"
  step "pytest on CPython $version"
  (cd "$root/tests" && BREVANE_FAULT_PROBE_DIR="$root/$probe_dir" BREVANE_REQUIRE_FAULT_PROBE=1 \
     "$root/$venv/bin/python" -m pytest -q -p no:cacheprovider "$root/tests/python")
done
# The resident-memory leak test is marked slow (about 19 s): once, on the last CPython.
(cd "$root/tests" && BREVANE_FAULT_PROBE_DIR="$root/$probe_dir" BREVANE_REQUIRE_FAULT_PROBE=1 \
   "$root/$venv/bin/python" -m pytest -q -p no:cacheprovider -m slow --runslow "$root/tests/python/test_leaks.py")

step "mypy --strict"
"build/venv-3.11/bin/python" -m pip install -q mypy
"build/venv-3.11/bin/python" -m mypy

step "clang-format and clang-tidy"
sources=$(git ls-files 'src/*.cpp' 'src/*.h')
clang-format-14 --dry-run --Werror $sources
for source in $(git ls-files 'src/*.cpp'); do
  clang-tidy-14 -p build/ci --quiet "$source"
done

if [ "$fuzz_seconds" != "0" ]; then
  step "Fuzzing each target for ${fuzz_seconds}s"
  CXX=clang++-14 cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DBREVANE_PYTHON=OFF -DBREVANE_FUZZ=ON >/dev/null
  ninja -C build/fuzz -j"$jobs"
  for target in fuzz/*_fuzz.cpp; do
    name=$(basename "$target" .cpp)
    corpus="fuzz/corpus/${name%_fuzz}"
    work="build/fuzz/work-${name%_fuzz}"
    mkdir -p "$work"
    dict=()
    [ -f fuzz/html.dict ] && dict=(-dict=fuzz/html.dict)
    echo "fuzzing $name"
    "build/fuzz/fuzz/$name" "${dict[@]}" -max_total_time="$fuzz_seconds" -print_final_stats=1 \
      -max_len=4096 -artifact_prefix="$work/" \
      -timeout=10 -rss_limit_mb=4096 "$work" "$corpus" 2>&1 | tail -n 12
  done
fi
echo
echo "all checks passed"
