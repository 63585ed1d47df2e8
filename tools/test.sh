#!/usr/bin/env bash
# Builds and runs every test. Set BYTEHUNT_WERROR=ON to fail on warnings.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/deps.sh g++ cmake make libgtest-dev
cmake -S . -B build/test -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBYTEHUNT_WERROR="${BYTEHUNT_WERROR:-OFF}" >/dev/null
cmake --build build/test -j"$(nproc)"
ctest --test-dir build/test --output-on-failure
