#!/usr/bin/env bash
# The pytest suite under Valgrind's memcheck, for one CPython (3.12, or
# PYTHON=...): any invalid read or write, any use of an uninitialised value and
# any definitely lost block that the module allocated fails the run. The interpreter's own allocator is
# switched off (PYTHONMALLOC=malloc) so that every object is a malloc block
# that memcheck watches. CPython 3.12 runs clean under memcheck by itself; the
# 3.11 build here does not (uninitialised reads inside the interpreter with no
# module loaded), so it makes a poor witness.
#
#   scripts/valgrind.sh                   # the whole suite but the RSS leak test
#   scripts/valgrind.sh -k hardening      # extra arguments go to pytest
#
# The RSS leak test (test_leaks.py) is left out: it makes ten million calls and
# measures the resident set, which means nothing under memcheck. Hypothesis
# runs its "valgrind" profile (few examples, no deadline). Slow tests stay
# skipped. 4 to 8 minutes on one core.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
source scripts/pythons.sh
build=${BUILD:-build/valgrind}
# A venv of its own for the test tools; its python is the interpreter itself,
# not a launcher script such as a pyenv shim, which memcheck would watch instead.
if [ ! -x "$build/venv/bin/python" ]; then
  "${PYTHON:-${PYTHONS[3]}}" -m venv "$build/venv"
  "$build/venv/bin/python" -m pip install -q pytest hypothesis
fi
python=$("$build/venv/bin/python" -c 'import sys; print(sys.executable)')

command -v valgrind >/dev/null || {
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq && apt-get install -y -qq --no-install-recommends valgrind
}

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBREVANE_TESTS=ON \
  -DPython_EXECUTABLE="$python" >/dev/null
ninja -C "$build" brevane _brevane_fault_probe >/dev/null
module_dir=$(dirname "$(find "$build/src" -name 'brevane*.so' | head -n 1)")
probe_dir=$(dirname "$(find "$build" -name '_brevane_fault_probe*.so' | head -n 1)")

log="$build/valgrind.log"
cd tests
status=0
BREVANE_BUILD_DIR="$root/$module_dir" BREVANE_FAULT_PROBE_DIR="$root/$probe_dir" \
  PYTHONPATH="$root/python" PYTHONMALLOC=malloc HYPOTHESIS_PROFILE=valgrind \
  valgrind --tool=memcheck --error-exitcode=97 --leak-check=full --child-silent-after-fork=yes \
  --show-leak-kinds=definite --errors-for-leak-kinds=none --track-origins=yes --fullpath-after= \
  --num-callers=40 --suppressions="$root/scripts/valgrind-python.supp" --log-file="$root/$log" \
  "$python" -m pytest -q -p no:cacheprovider --ignore=python/test_leaks.py "$@" \
  "$root/tests/python" || status=$?
cd "$root"
# The interpreter does not free everything at exit, so a definitely lost block
# counts only when the module's own code allocated it: a loss record with a
# frame in src/ or in the fault probe.
ours=$(awk '/are definitely lost in loss record/ { record = 1; text = ""; next }
            record && /^==[0-9]+== *$/ { if (text ~ /\/src\/|fault_probe/) n++; record = 0; next }
            record { text = text $0 }
            END { print n + 0 }' "$log")
grep -E "ERROR SUMMARY|definitely lost:" "$log" || true
echo "definitely lost blocks allocated by the module: $ours"
echo "valgrind log: $log (pytest and memcheck exit status $status)"
if ((ours > 0)); then status=1; fi
exit "$status"
