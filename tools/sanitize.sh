#!/usr/bin/env bash
# Runs the whole test suite in an AddressSanitizer + UndefinedBehaviorSanitizer
# build, warnings as errors, and the file scan in parts under ThreadSanitizer;
# any report fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/deps.sh g++ cmake make libgtest-dev
cmake -S . -B build/sanitize -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBYTEHUNT_WERROR=ON \
    -DBYTEHUNT_SANITIZE=address,undefined >/dev/null
cmake --build build/sanitize -j"$(nproc)"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
    ctest --test-dir build/sanitize --output-on-failure

# The file searched in parts, under ThreadSanitizer: any data race fails it.
cmake -S . -B build/tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBYTEHUNT_WERROR=ON -DBYTEHUNT_SANITIZE=thread >/dev/null
cmake --build build/tsan -j"$(nproc)" --target unit_tests
TSAN_OPTIONS=halt_on_error=1 build/tsan/tests/unit_tests --gtest_filter='FileScan.*:FileScanInParts.*'
