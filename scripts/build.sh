#!/usr/bin/env bash
# Builds the Windows program dist/TesmoraBackup.exe and its unit tests with
# MinGW-w64, and the native core with its unit tests. Needs scripts/setup.sh
# to have run once on this machine (it builds the cached libraries).
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib/deps.sh

mingw=$(tesmora_mingw_prefix)
native=$(tesmora_native_prefix)
for prefix in "$mingw" "$native" "$(tesmora_mingw_archive_prefix)"; do
    [ -f "$prefix/STAMP" ] || { echo "missing $prefix: run scripts/setup.sh first" >&2; exit 1; }
done

generator=()
command -v ninja >/dev/null && generator=(-G Ninja)
tesmora_use_compiler_cache

cmake -S . -B build/native "${generator[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DTESMORA_DEPS_PREFIX="$native" >/dev/null
cmake --build build/native

cmake -S . -B build/windows "${generator[@]}" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/mingw-w64-x86_64.cmake" -DTESMORA_DEPS_PREFIX="$mingw" \
    -DTESMORA_ARCHIVE_PREFIX="$(tesmora_mingw_archive_prefix)" >/dev/null
cmake --build build/windows

mkdir -p dist
cp build/windows/TesmoraBackup.exe dist/TesmoraBackup.exe

# A portable program may import only DLLs that every Windows has.
system_dlls='^(kernel32|user32|gdi32|advapi32|shell32|ole32|oleaut32|comctl32|comdlg32|ws2_32|crypt32|bcrypt|msvcrt|shlwapi|uxtheme|rpcrt4|secur32|version|psapi)\.dll$'
imports=$(x86_64-w64-mingw32-objdump -p dist/TesmoraBackup.exe | sed -n 's/^\s*DLL Name: //p')
foreign=$(printf '%s\n' "$imports" | tr 'A-Z' 'a-z' | grep -v -E "$system_dlls" || true)
if [ -n "$foreign" ]; then
    echo "dist/TesmoraBackup.exe imports non-system DLLs: $foreign" >&2
    exit 1
fi
echo "built dist/TesmoraBackup.exe ($(stat -c %s dist/TesmoraBackup.exe) bytes; imports: $(printf '%s ' $imports))"
