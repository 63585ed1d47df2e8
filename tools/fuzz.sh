#!/usr/bin/env bash
# Builds the libFuzzer targets and runs each for SECONDS (default 60), from
# the committed seed corpora. A crash, a sanitizer report or a disagreement
# with the reference fails the run; the input that caused it is kept under
# build/fuzz/findings.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
bash tools/deps.sh clang libclang-rt-14-dev cmake make
CXX=clang++ cmake -S . -B build/fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBYTEHUNT_FUZZ=ON -DBUILD_TESTING=OFF \
    -DBYTEHUNT_SANITIZE=address,undefined -DBYTEHUNT_WERROR=ON >/dev/null
cmake --build build/fuzz -j"$(nproc)"
mkdir -p build/fuzz/findings
for target in parse search; do
    work=build/fuzz/corpus-$target
    mkdir -p "$work"
    echo "fuzzing $target for $seconds s"
    build/fuzz/fuzz/${target}_fuzz -max_total_time="$seconds" -max_len=4096 -print_final_stats=1 \
        -artifact_prefix=build/fuzz/findings/ "$work" "fuzz/corpus/$target" 2>&1 | tail -n 12
done
