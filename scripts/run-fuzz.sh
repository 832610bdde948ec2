#!/usr/bin/env bash
# Builds every libFuzzer target (build-fuzz/, clang, ASan + UBSan) and runs
# each for SECONDS (default 60) from its checked-in corpus
# (<dir>/corpus/<name>/ for fuzz_<name>, anywhere in the tree). Fails on the
# first crash, leak, time-out or sanitizer report; the reproducer is left in
# build-fuzz/artifacts/. New corpus units go to build-fuzz/corpus/<name>/.
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
mkdir -p "$build/artifacts"
for target in "${targets[@]}"; do
  name=${target#fuzz_}
  exe=$(find "$build" -type f -name "$target" -perm -u+x | head -n 1)
  seeds=$(find . -path ./.git -prune -o -path "./build*" -prune -o -type d -path "*/corpus/$name" -print | head -n 1)
  work="$build/corpus/$name"
  mkdir -p "$work"
  echo "== $target: ${seconds}s, seeds ${seeds:-none}"
  # The work dir comes first: libFuzzer adds new units to the first one only.
  "$exe" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=65536 -print_final_stats=1 \
    -artifact_prefix="$build/artifacts/$name-" "$work" ${seeds:+"$seeds"} 2>&1 |
    grep -v -E '^#[0-9]+\s+(NEW|REDUCE)' || { echo "run-fuzz: $target failed" >&2; exit 1; }
done
echo "run-fuzz: every target ran ${seconds}s without a finding"
