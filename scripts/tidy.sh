#!/bin/sh
# clang-tidy over the project's code: the engine from the host build, the
# Windows code from the win64 build (clang is pointed at MinGW's headers).
set -eu
cd "$(dirname "$0")/.."
gcc_dir=/usr/lib/gcc/x86_64-w64-mingw32/12-posix
mingw_args="--extra-arg=--target=x86_64-w64-mingw32"
for dir in "$gcc_dir/include/c++" "$gcc_dir/include/c++/x86_64-w64-mingw32"; do
  mingw_args="$mingw_args --extra-arg=-isystem$dir"
done
clang-tidy --quiet -p build/host engine/*.cpp
# shellcheck disable=SC2086
clang-tidy --quiet -p build/win64 $mingw_args $(ls platform/*.cpp platform/foreign/*.cpp ui/*.cpp 2>/dev/null)
