#!/usr/bin/env bash
# Cross-builds the Windows programs with mingw-w64 and packages each as a
# .zip: the 32-bit console program (checked to be one: these machines cannot
# run 32-bit code) and a 64-bit one, which runs the end-to-end tests under
# wine, and one check of text on the console.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/deps.sh g++-mingw-w64-i686 g++-mingw-w64-x86-64 cmake make file wine64

for arch in i686 x86_64; do
    cmake -S . -B "build/windows-$arch" -DCMAKE_TOOLCHAIN_FILE="cmake/mingw-w64-$arch.cmake" \
        -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF -DBYTEHUNT_WERROR="${BYTEHUNT_WERROR:-OFF}" >/dev/null
    cmake --build "build/windows-$arch" -j"$(nproc)" >/dev/null
    (cd "build/windows-$arch" && cpack >/dev/null && ls bytehunt-*.zip)
done

expect_type() {
    local type
    type=$(file -b "$1")
    if [[ $type != "$2"* ]]; then
        echo "$1 is '$type', not '$2'" >&2
        exit 1
    fi
    echo "$1: $type"
}
expect_type build/windows-i686/bytehunt.exe "PE32 executable (console) Intel 80386"
expect_type build/windows-x86_64/bytehunt.exe "PE32+ executable (console) x86-64"

# Only DLLs that every Windows has: the compiler's runtimes are linked in.
for arch in i686 x86_64; do
    dlls=$("$arch-w64-mingw32-objdump" -p "build/windows-$arch/bytehunt.exe" | awk '/DLL Name:/ {print $3}')
    if grep -qivE '^(kernel32|msvcrt|shell32)\.dll$' <<<"$dlls"; then
        echo "build/windows-$arch/bytehunt.exe needs DLLs beyond the system's:" $dlls >&2
        exit 1
    fi
done

# A prefix of our own, and a persistent server so that each run starts fast.
WINEPREFIX=$(mktemp -d)
export WINEPREFIX WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
trap '/usr/lib/wine/wineserver64 -k 2>/dev/null || true; rm -rf "$WINEPREFIX"' EXIT
/usr/lib/wine/wineserver64 -p
/usr/lib/wine/wine64 wineboot --init >/dev/null 2>&1 || true
BYTEHUNT_E2E_PLATFORM=windows bash tests/end_to_end.sh /usr/lib/wine/wine64 build/windows-x86_64/bytehunt.exe

# The console: wine gives the program one when its output is a terminal, so
# under a pseudo-terminal the path must show as typed, not as its UTF-8
# bytes read in the console's code page.
bash tools/deps.sh bsdutils
path='Документ-café.bin'
shown=$(timeout 120 script -qec "/usr/lib/wine/wine64 build/windows-x86_64/bytehunt.exe 41 '$path'" /dev/null \
    </dev/null | sed 's/\x1b\[[0-9;?]*[A-Za-z]//g' | tr -d '\r') || true  # the program exits 2 here
if [[ $shown != "Cannot open $path" ]]; then
    echo "console showed: $shown" >&2
    exit 1
fi
echo "console: non-ASCII path shown as typed"
