#!/bin/sh
# SPDX-License-Identifier: BSD-2-Clause
# Times morlvane against a plain copy of the file, sed -i and an awk merge on
# generated files, in a private mount namespace with a tmpfs over /etc: the
# machine's own /etc is never written. Needs root and a built tree.
#
# usage: bench/compare.sh [BUILD_DIR] [ROUNDS_SCALE] [ONLY]
# ONLY picks the scenarios whose label contains it ("interfaces", say).
set -eu
build=$(realpath "${1:-build}")
scale=${2:-1}
only=${3:-}
for f in "$build/morlvane" "$build/bench/copy" "$build/bench/compare"; do
	[ -x "$f" ] || { echo "compare.sh: $f is not built" >&2; exit 1; }
done
# Programs find their shared libraries through the loader's cache, which
# lives in /etc; the tmpfs gets a copy of it so that every program starts as
# it would on the machine.
awk=$(readlink -f "$(command -v awk)")
cache=$(mktemp)
trap 'rm -f "$cache"' EXIT
cp /etc/ld.so.cache "$cache" 2>/dev/null || : > "$cache"
unshare -m --propagation private sh -c '
	mount -t tmpfs -o size=1g tmpfs /etc &&
	cp "$1" /etc/ld.so.cache &&
	exec "$2/bench/compare" "$2/morlvane" "$2/bench/copy" "$3" "$4" "$5"' \
	sh "$cache" "$build" "$awk" "$scale" "$only"
