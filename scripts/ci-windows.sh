#!/usr/bin/env bash
# The Windows target in one command (Debian 12, as root): installs what is
# missing, builds ACE and GoogleTest for i686-w64-mingw32 once (cached under
# ~/.cache/agent_stub), cross-builds agent_stub.dll, its import library, the
# C host example and the test suite into build-win/, checks the DLL's
# headers, and runs the suite under Wine from ctest.
#
#   bash scripts/ci-windows.sh            build and test
#   bash scripts/ci-windows.sh --no-test  build only (the DLL is build-win/agent_stub.dll)
set -euo pipefail
cd "$(dirname "$0")/.."

run_tests=1
[ "${1:-}" = "--no-test" ] && run_tests=0
build_dir="${AGENT_WIN_BUILD_DIR:-build-win}"
jobs="${AGENT_STUB_JOBS:-2}"

log() { printf '[ci-windows] %s\n' "$*"; }

bash scripts/install-windows-deps.sh >/dev/null
ace_root=$(bash scripts/build-ace-mingw.sh | tail -n 1)
gtest_root=$(bash scripts/build-gtest-windows.sh | tail -n 1)
log "ACE: $ace_root"
log "GoogleTest: $gtest_root"

cmake -S . -B "$build_dir" \
    -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake \
    -DCMAKE_BUILD_TYPE=Release \
    -DACE_ROOT="$ace_root" \
    -DGTEST_ROOT="$gtest_root" \
    -DGTest_DIR="$gtest_root/lib/cmake/GTest"
cmake --build "$build_dir" -j"$jobs"

dll="$build_dir/agent_stub.dll"
headers=$(i686-w64-mingw32-objdump -p "$dll")
grep -q 'Magic[[:space:]]*010b' <<<"$headers" || { log "$dll is not PE32"; exit 1; }
if grep -Ei 'DLL Name: lib' <<<"$headers"; then
    log "$dll needs a MinGW runtime DLL"
    exit 1
fi
log "$dll: PE32, $(grep -c 'Export RVA' <<<"$headers") exports, imports $(grep 'DLL Name' <<<"$headers" | awk '{print $3}' | xargs)"

if [ "$run_tests" -eq 1 ]; then
    prefix="$PWD/$build_dir/wineprefix"
    status=0
    (cd "$build_dir" && ctest --output-on-failure -j"$jobs") || status=$?
    bash scripts/wine-run-windows.sh --prefix "$prefix" --stop
    exit "$status"
fi
