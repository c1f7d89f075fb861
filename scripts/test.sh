#!/usr/bin/env bash
# The whole test suite, from a fresh Debian machine: installs what it needs
# (scripts/setup.sh: apt-get, and venvs under build/), then
#   1. builds the core and runs the GoogleTest suite and the fuzz-corpus replays,
#   2. runs the same suite built with AddressSanitizer and UBSan,
#      then installs the C and C++ library and builds and runs its consumers
#      (scripts/native.sh: CMake, pkg-config, C, C++, Rust),
#   3. builds the sdist and from it the one cp39-abi3 wheel, repairs it into a
#      manylinux wheel and audits it (abi3audit --strict, auditwheel show),
#   4. installs the repaired wheel into a fresh venv of each CPython from 3.9 on
#      that this machine has (scripts/pythons.sh) and runs pytest,
#   5. installs the sdist from an empty directory and runs the tests it carries,
#   6. type-checks the stubs, the tools, the examples and the tests,
#   7. checks the formatting and runs clang-tidy over the sources,
#   8. fuzzes every target briefly on its committed corpus.
# Steps 3 to 6 are nox sessions (noxfile.py). At least one CPython 3.9+ must be
# there; BREVANE_REQUIRE_PYTHONS="3.9 3.10 ..." makes each named one required
# (CI requires 3.9 to 3.13). FUZZ_SECONDS (default 60) sets the fuzzing time per
# target; 0 skips it.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
jobs=$(nproc)
fuzz_seconds=${FUZZ_SECONDS:-60}

bash scripts/setup.sh
BREVANE_ANY_PYTHONS=1 source scripts/pythons.sh
echo "CPythons found: ${PYTHON_VERSIONS[*]}"

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

step "The C and C++ library: install, exports, consumers (CMake, pkg-config, Rust)"
bash scripts/native.sh

probe_dir=$(dirname "$(find build/ci -name '_brevane_fault_probe*.so' | head -n 1)")
step "Wheel and sdist, pytest on CPython ${PYTHON_VERSIONS[*]}, mypy (nox)"
sessions=(wheel)
for version in "${PYTHON_VERSIONS[@]}"; do sessions+=("tests-$version"); done
sessions+=(sdist mypy)
BREVANE_FAULT_PROBE_DIR="$root/$probe_dir" BREVANE_REQUIRE_FAULT_PROBE=1 \
  build/venv-tools/bin/nox --no-color --error-on-missing-interpreters -s "${sessions[@]}"
# The resident-memory leak test is marked slow (about 19 s): once, on the newest CPython.
BREVANE_FAULT_PROBE_DIR="$root/$probe_dir" BREVANE_REQUIRE_FAULT_PROBE=1 \
  build/venv-tools/bin/nox --no-color --reuse-existing-virtualenvs -s "tests-${PYTHON_VERSIONS[-1]}" -- \
  -m slow --runslow -k test_leaks

step "clang-format and clang-tidy"
sources=$(git ls-files 'src/*.cpp' 'src/*.h' 'include/*.h' 'include/*.hpp')
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
echo "all checks passed; pytest ran with the repaired wheel on:"
for version in "${PYTHON_VERSIONS[@]}"; do
  # The interpreter that nox took (it prefers its own for the version it runs on).
  cfg="build/nox/tests-${version//./-}/pyvenv.cfg"
  echo "  CPython $(sed -n 's/^version = //p' "$cfg")  $(sed -n 's/^base-executable = //p' "$cfg")"
done
missing=()
for minor in "${BREVANE_MINORS[@]}"; do
  [ -n "${PYTHON_FOR[3.$minor]:-}" ] || missing+=("3.$minor")
done
if ((${#missing[@]})); then echo "not found on this machine, so not tested: ${missing[*]}"; fi
