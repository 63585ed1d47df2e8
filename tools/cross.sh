#!/usr/bin/env bash
# Cross-builds for other Linux machines (64-bit ARM, 32-bit ARM, 32-bit x86,
# big-endian s390x) and runs the unit tests and the end-to-end tests of each
# under qemu-user. Emulation checks behaviour only, never speed. Arguments
# choose the machines (default: all four).
set -euo pipefail
cd "$(dirname "$0")/.."
machines=("$@")
[[ ${#machines[@]} -gt 0 ]] || machines=(aarch64 armhf i686 s390x)
declare -A triple=([aarch64]=aarch64-linux-gnu [armhf]=arm-linux-gnueabihf [i686]=i686-linux-gnu
    [s390x]=s390x-linux-gnu)
packages=(cmake make libgtest-dev qemu-user-static)
for machine in "${machines[@]}"; do packages+=("g++-${triple[$machine]}"); done
bash tools/deps.sh "${packages[@]}"

for machine in "${machines[@]}"; do
    echo "== $machine"
    dir=build/cross-$machine
    cmake -S . -B "$dir" -DCMAKE_TOOLCHAIN_FILE="cmake/linux-$machine.cmake" -DCMAKE_BUILD_TYPE=Release \
        -DBYTEHUNT_WERROR="${BYTEHUNT_WERROR:-OFF}" >/dev/null
    cmake --build "$dir" -j"$(nproc)" >/dev/null
    ctest --test-dir "$dir" --output-on-failure -j"$(nproc)" | tail -n 3
done
