#!/usr/bin/env bash
# Installs what is missing, builds the library and shows a logon and logoff
# against the test agent.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j"$(nproc)"
build/tests/test_logon --gtest_brief=0
