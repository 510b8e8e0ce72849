#!/usr/bin/env bash
# Builds an exe a second time, in another directory, and fails unless it is
# byte for byte the exe under test: velmora.exe by default, or the target
# named with its toolchain and build type.
#   check_reproducible.sh SOURCE EXE [TOOLCHAIN BUILD_TYPE TARGET]
set -euo pipefail
source_dir=$1
exe=$2
toolchain=${3:-$source_dir/cmake/mingw-i686.cmake}
build_type=${4:-MinSizeRel}
target=${5:-velmora}
other=$(mktemp -d)
trap 'rm -rf "$other"' EXIT
cmake -S "$source_dir" -B "$other" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    -DCMAKE_BUILD_TYPE="$build_type" -DBUILD_TESTING=OFF >/dev/null
cmake --build "$other" --target "$target" >/dev/null
cmp "$exe" "$other/$target.exe"
echo "reproducible: $(sha256sum < "$exe" | cut -d' ' -f1)"
