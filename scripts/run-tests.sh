#!/usr/bin/env bash
# Installs what is missing, builds and runs the whole test suite: a normal
# build, then the same suite under AddressSanitizer and UBSan, then under
# ThreadSanitizer, then every fuzz target for a short run (AGENT_FUZZ_SECONDS
# each, 60 by default), then the Windows DLL under Wine when its script is
# present.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
jobs=$(nproc)

run_suite() { # build-dir, extra cmake args...
  local dir=$1; shift
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@"
  cmake --build "$dir" -j"$jobs"
  (cd "$dir" && ctest --output-on-failure -j"$jobs")
}

run_suite build
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  run_suite build-asan -DAGENT_SANITIZE=ON
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
  run_suite build-tsan -DAGENT_TSAN=ON
bash scripts/run-fuzz.sh "${AGENT_FUZZ_SECONDS:-60}"

if [[ -f scripts/ci-windows.sh ]]; then
  bash scripts/ci-windows.sh
fi
