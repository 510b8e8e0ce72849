#!/usr/bin/env bash
# Builds velmora.exe a second time, in another directory, and fails unless it
# is byte for byte the exe under test.
set -euo pipefail
source_dir=$1
exe=$2
other=$(mktemp -d)
trap 'rm -rf "$other"' EXIT
cmake -S "$source_dir" -B "$other" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$source_dir/cmake/mingw-i686.cmake" \
    -DCMAKE_BUILD_TYPE=MinSizeRel -DBUILD_TESTING=OFF >/dev/null
cmake --build "$other" --target velmora >/dev/null
cmp "$exe" "$other/velmora.exe"
echo "reproducible: $(sha256sum < "$exe" | cut -d' ' -f1)"
