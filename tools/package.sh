#!/usr/bin/env bash
# Builds the Debian package, installs it, checks that the installed program
# and its man page work, and removes it again.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/deps.sh g++ cmake make dpkg-dev file
cmake -S . -B build/package -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr -DBUILD_TESTING=OFF \
    -DBYTEHUNT_WERROR="${BYTEHUNT_WERROR:-OFF}" >/dev/null
cmake --build build/package -j"$(nproc)" >/dev/null
(cd build/package && cpack >/dev/null)
deb=$(ls build/package/bytehunt_*.deb)
echo "built $deb"
contents=$(dpkg-deb --contents "$deb" | awk '{print $6}')
echo "$contents"
grep -qx './usr/share/man/man1/bytehunt.1.gz' <<<"$contents" || { echo "no man page in $deb" >&2; exit 1; }

sudo=()
[[ $(id -u) -ne 0 ]] && sudo=(sudo)
"${sudo[@]}" dpkg -i "$deb" >/dev/null
trap '"${sudo[@]}" dpkg -r bytehunt >/dev/null' EXIT
expected=$'Found at offset\n2 (0x2)\n6 (0x6)'
actual=$(/usr/bin/bytehunt 0d0a samples/sample.bin)
[[ $actual == "$expected" ]] || { echo "installed bytehunt printed: $actual" >&2; exit 1; }
echo "package: has the program and its man page; installed and ran"
