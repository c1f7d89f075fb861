#!/usr/bin/env bash
# A longer fuzzing campaign than the CI smoke run: every libFuzzer target (or
# the ones named) for a set time, at most JOBS at once and niced so that the
# machine stays usable, then the inputs that reach new coverage are merged
# into the committed corpus fuzz/corpus/<target>/, and a summary is printed.
#
#   scripts/fuzz_campaign.sh 1800                     # every target, 30 min each
#   scripts/fuzz_campaign.sh 3600 association=2400    # per-target times
#   JOBS=1 MERGE=0 scripts/fuzz_campaign.sh 600 scan  # one target, no merge
#
# Crashes, leaks and timeouts land in $BUILD/campaign/<target>/artifacts/; the
# script exits non-zero when there is any. Work corpora stay in $BUILD/campaign.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=${BUILD:-build/fuzz-campaign}
jobs=${JOBS:-2}
merge=${MERGE:-1}
default_seconds=${1:-1800}
shift || true

# BREVANE_FUZZ instruments the core as well as the targets.
CXX=clang++-14 cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DBREVANE_PYTHON=OFF -DBREVANE_FUZZ=ON >/dev/null
nice -n 10 ninja -C "$build" -j"$jobs" >/dev/null

plan=()
if (($# == 0)); then
  for source in fuzz/*_fuzz.cpp; do
    name=$(basename "$source" _fuzz.cpp)
    plan+=("$name=$default_seconds")
  done
else
  for arg in "$@"; do
    [[ $arg == *=* ]] && plan+=("$arg") || plan+=("$arg=$default_seconds")
  done
fi

dict=()
[ -f fuzz/html.dict ] && dict=(-dict="$root/fuzz/html.dict")

run_one() {
  local name=$1 seconds=$2
  local dir="$build/campaign/$name"
  mkdir -p "$dir/corpus" "$dir/artifacts"
  # bash's own timer gives the CPU seconds that the run really had.
  {
    TIMEFORMAT="cpu: user %U s, system %S s, wall %R s"
    time nice -n 10 "$build/fuzz/${name}_fuzz" "${dict[@]}" -max_total_time="$seconds" \
      -max_len=4096 -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
      -artifact_prefix="$dir/artifacts/" "$dir/corpus" "fuzz/corpus/$name" >"$dir/run.log" 2>&1 ||
      echo "fuzzer exited with $?"
  } 2>>"$dir/run.log" >>"$dir/run.log"
}

running=0
for entry in "${plan[@]}"; do
  if ((running >= jobs)); then
    wait -n || true
    running=$((running - 1))
  fi
  echo "fuzzing ${entry%%=*} for ${entry#*=} s"
  run_one "${entry%%=*}" "${entry#*=}" &
  running=$((running + 1))
done
wait

status=0
printf '\n%-12s %12s %8s %6s %6s %7s %9s %s\n' target execs exec/s cov ft files bytes artifacts
for entry in "${plan[@]}"; do
  name=${entry%%=*}
  dir="$build/campaign/$name"
  if [ "$merge" = 1 ]; then
    # Only inputs that reach an edge that the committed corpus misses join it,
    # a greedy smallest set of them: with hit counts as features too, a long
    # run would add hundreds of files for counts alone.
    "$build/fuzz/${name}_fuzz" -set_cover_merge=1 -use_counters=0 -max_len=4096 -timeout=10 \
      "fuzz/corpus/$name" "$dir/corpus" >"$dir/merge.log" 2>&1
  fi
  log="$dir/run.log"
  execs=$(awk '/stat::number_of_executed_units:/ {print $2}' "$log")
  rate=$(awk '/stat::average_exec_per_sec:/ {print $2}' "$log")
  last=$(grep -E '^#[0-9]+' "$log" | tail -n 1)
  cov=$(grep -o 'cov: [0-9]*' <<<"$last" | awk '{print $2}')
  ft=$(grep -o 'ft: [0-9]*' <<<"$last" | awk '{print $2}')
  files=$(find "fuzz/corpus/$name" -type f | wc -l)
  bytes=$(du -sb "fuzz/corpus/$name" | cut -f1)
  artifacts=$(find "$dir/artifacts" -type f | wc -l)
  printf '%-12s %12s %8s %6s %6s %7s %9s %s\n' "$name" "${execs:-?}" "${rate:-?}" "${cov:-?}" \
    "${ft:-?}" "$files" "$bytes" "$artifacts"
  grep '^cpu:' "$log" | sed "s/^/  $name /"
  if ((artifacts > 0)); then
    status=1
    find "$dir/artifacts" -type f | sed 's/^/  /'
  fi
done
exit "$status"
