#!/usr/bin/env bash
# Builds every libFuzzer target (build-fuzz/, clang, ASan + UBSan) and runs
# each for SECONDS (default 60) from its checked-in corpus
# (<dir>/corpus/<name>/ for fuzz_<name>, anywhere in the tree). Fails on the
# first crash, leak, time-out or sanitizer report; the reproducer is left in
# build-fuzz/artifacts/. New corpus units go to build-fuzz/corpus/<name>/,
# each target's output to build-fuzz/logs/<name>.log. Targets run side by
# side, one per core.
#
#   bash scripts/run-fuzz.sh 60            # CI: about a minute per target
#   nice -n 19 bash scripts/run-fuzz.sh 3600
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
build=build-fuzz
jobs=$(nproc)

cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DAGENT_FUZZ=ON -DAGENT_BUILD_TESTS=OFF \
  -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_C_COMPILER=clang >/dev/null
mapfile -t targets < <(cmake --build "$build" --target help | sed -n 's/^\.\.\. \(fuzz_[A-Za-z0-9_]*\).*/\1/p' | sort -u)
if ((${#targets[@]} == 0)); then
  echo "run-fuzz: no fuzz_* targets" >&2
  exit 1
fi
cmake --build "$build" -j"$jobs" --target "${targets[@]}"

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:allocator_may_return_null=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
mkdir -p "$build/artifacts" "$build/logs"

run_target() { # target; its log goes to build-fuzz/logs/
  local target=$1 name=${1#fuzz_} exe seeds work
  exe=$(find "$build" -type f -name "$target" -perm -u+x | head -n 1)
  seeds=$(find . -path ./.git -prune -o -path "./build*" -prune -o -type d -path "*/corpus/$name" -print | head -n 1)
  work="$build/corpus/$name"
  mkdir -p "$work"
  # The work dir comes first: libFuzzer adds new units to the first one only.
  "$exe" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=65536 -print_final_stats=1 \
    -artifact_prefix="$build/artifacts/$name-" "$work" ${seeds:+"$seeds"} >"$build/logs/$name.log" 2>&1
}

# One target per core at a time.
failed=()
pids=() names=()
for target in "${targets[@]}"; do
  if ((${#pids[@]} >= jobs)); then
    wait "${pids[0]}" || failed+=("${names[0]}")
    pids=("${pids[@]:1}") names=("${names[@]:1}")
  fi
  echo "== $target: ${seconds}s"
  run_target "$target" &
  pids+=($!) names+=("$target")
done
for i in "${!pids[@]}"; do
  wait "${pids[$i]}" || failed+=("${names[$i]}")
done

for target in "${targets[@]}"; do
  log="$build/logs/${target#fuzz_}.log"
  echo "== $target: $(grep -m1 -o 'stat::number_of_executed_units: [0-9]*' "$log" || echo 'no final stats')"
done
if ((${#failed[@]})); then
  for target in "${failed[@]}"; do
    echo "== $target failed; the end of its log ($build/logs/${target#fuzz_}.log):"
    tail -n 60 "$build/logs/${target#fuzz_}.log"
  done
  echo "run-fuzz: failed: ${failed[*]}" >&2
  exit 1
fi
echo "run-fuzz: every target ran ${seconds}s without a finding"
