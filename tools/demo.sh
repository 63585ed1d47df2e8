#!/usr/bin/env bash
# Sets up, builds a release binary and searches the sample file for CR LF.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/deps.sh g++ cmake make
cmake -S . -B build/release -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build build/release -j"$(nproc)" >/dev/null
echo "\$ bytehunt 0d0a samples/sample.bin"
build/release/bytehunt 0d0a samples/sample.bin
