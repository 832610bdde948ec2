#!/usr/bin/env bash
# The Windows target in one command (Debian 12, as root): installs what is
# missing, builds ACE and GoogleTest for i686-w64-mingw32 once (cached under
# ~/.cache/agent_stub), cross-builds agent_stub.dll, its import library,
# agentcli.exe, the C host example and the test suite into build-win/,
# checks the DLL's and agentcli.exe's headers, and runs the suite under Wine
# from ctest (agentcli.exe against a Linux reference agent built natively
# into build-win-agent/).
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

# agentcli.exe's test talks to the reference agent, a Linux program:
# AGENT_REFERENCE_AGENT names one already built, else it is built here.
reference_agent="${AGENT_REFERENCE_AGENT:-}"
if [ -z "$reference_agent" ]; then
    bash scripts/install-deps.sh >/dev/null
    agent_build="${AGENT_NATIVE_BUILD_DIR:-build-win-agent}"
    cmake -S . -B "$agent_build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DAGENT_BUILD_TESTS=OFF >/dev/null
    cmake --build "$agent_build" -j"$jobs" --target reference-agent
    reference_agent="$PWD/$agent_build/tools/reference-agent/reference-agent"
fi
reference_agent=$(realpath "$reference_agent")

cmake -S . -B "$build_dir" \
    -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake \
    -DAGENT_REFERENCE_AGENT="$reference_agent" \
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

cli="$build_dir/agentcli.exe"
cli_headers=$(i686-w64-mingw32-objdump -p "$cli")
grep -q 'Magic[[:space:]]*010b' <<<"$cli_headers" || { log "$cli is not PE32"; exit 1; }
grep -q 'DLL Name: agent_stub.dll' <<<"$cli_headers" || { log "$cli does not use agent_stub.dll"; exit 1; }
if grep -Ei 'DLL Name: lib' <<<"$cli_headers"; then
    log "$cli needs a MinGW runtime DLL"
    exit 1
fi
log "$cli: PE32, imports $(grep 'DLL Name' <<<"$cli_headers" | awk '{print $3}' | xargs)"

if [ "$run_tests" -eq 1 ]; then
    prefix="$PWD/$build_dir/wineprefix"
    status=0
    (cd "$build_dir" && ctest --output-on-failure -j"$jobs") || status=$?
    bash scripts/wine-run-windows.sh --prefix "$prefix" --stop
    exit "$status"
fi
