#!/usr/bin/env bash
# Static checks: every C++ file follows .clang-format, and the sources pass
# the clang-tidy checks chosen in .clang-tidy.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/deps.sh clang-format clang-tidy cmake make g++
mapfile -t files < <(git ls-files '*.cpp' '*.hpp')
clang-format --dry-run --Werror "${files[@]}"
cmake -S . -B build/tidy -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_EXPORT_COMPILE_COMMANDS=ON -DBUILD_TESTING=OFF >/dev/null
# Only the files this machine builds: a kernel for another CPU (NEON) is
# checked by its cross build, warnings as errors.
mapfile -t sources < <(git ls-files 'src/*.cpp' | while read -r f; do
    grep -q "\"file\": \"$PWD/$f\"" build/tidy/compile_commands.json && echo "$f"
done)
# WarningsAsErrors in .clang-tidy turns any finding into a failure.
if ! findings=$(clang-tidy --quiet -p build/tidy "${sources[@]}" 2>&1); then
    grep -v 'warnings generated' <<<"$findings"
    exit 1
fi
echo "lint: clang-format and clang-tidy clean on ${#files[@]} files"
