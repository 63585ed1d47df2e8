#!/usr/bin/env bash
# Static checks: every C++ file follows .clang-format, and the sources pass
# the clang-tidy checks chosen in .clang-tidy.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/deps.sh clang-format clang-tidy cmake make g++
mapfile -t files < <(git ls-files '*.cpp' '*.hpp')
clang-format --dry-run --Werror "${files[@]}"
cmake -S . -B build/tidy -DCMAKE_EXPORT_COMPILE_COMMANDS=ON -DBYTEHUNT_TESTS=OFF >/dev/null
mapfile -t sources < <(git ls-files 'src/*.cpp')
# WarningsAsErrors in .clang-tidy turns any finding into a failure.
if ! findings=$(clang-tidy --quiet -p build/tidy "${sources[@]}" 2>&1); then
    grep -v 'warnings generated' <<<"$findings"
    exit 1
fi
echo "lint: clang-format and clang-tidy clean on ${#files[@]} files"
