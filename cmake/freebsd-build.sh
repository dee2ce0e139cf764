#!/bin/sh
# SPDX-License-Identifier: BSD-2-Clause
# Cross-builds the tool for FreeBSD on x86-64 and arm64 with the pinned Zig
# in a virtual environment of its own under WORK_DIR, one build tree per
# platform (WORK_DIR/build-x86_64, WORK_DIR/build-aarch64), warnings as
# errors. The binaries run on FreeBSD 14 and later, not here.
#
# usage: freebsd-build.sh SOURCE_DIR WORK_DIR
set -eu
mkdir -p "$2"
src=$(cd "$1" && pwd) work=$(cd "$2" && pwd)
export ZIG_GLOBAL_CACHE_DIR="$work/zig-cache" PIP_DISABLE_PIP_VERSION_CHECK=1
[ -x "$work/venv/bin/pip" ] || /usr/bin/python3 -m venv "$work/venv"
"$work/venv/bin/pip" install -q --no-cache-dir --require-hashes \
    -r "$src/cmake/ziglang-requirements.txt"
export PATH="$work/venv/bin:$PATH"
echo "Zig $(python3 -m ziglang version)"
for arch in x86_64 aarch64; do
	cmake -S "$src" -B "$work/build-$arch" -DCMAKE_TOOLCHAIN_FILE="$src/cmake/freebsd.cmake" \
	    -DMORLVANE_FREEBSD_ARCH=$arch -DCMAKE_BUILD_TYPE=Release \
	    -DCMAKE_COMPILE_WARNING_AS_ERROR=ON -DBUILD_TESTING=OFF \
	    -DMORLVANE_BENCH=OFF -DMORLVANE_FUZZ=OFF >/dev/null
	cmake --build "$work/build-$arch" -j2 >/dev/null
done
