#!/bin/sh
# SPDX-License-Identifier: BSD-2-Clause
# Installs the built tree the three ways a system gets it and checks the
# files that land each time: into a staging DESTDIR, into a prefix, and as a
# Debian package into a scratch root (never the machine's own /). A cross
# build (files) is staged and its file list checked; its binary cannot run.
#
# usage: install_test.sh tree|deb|files BUILD_DIR MAN_DIR ZSH_DIR [CPACK]
# (MAN_DIR and ZSH_DIR below the prefix: as the build placed them, or for
# files, where the target system looks)
set -u
mode=$1 build=$2 man_dir=$3 zsh_dir=$4 cpack=${5:-cpack}
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
failed=0

fail() {
	echo "FAIL: $*" >&2
	failed=1
}

# The files a system gets, below a prefix, one per line, sorted.
expected() {
	printf '%s\n' "$1/sbin/morlvane" "$1/share/bash-completion/completions/morlvane" \
	    "$1/$man_dir/morlvane.8" "$1/$zsh_dir/_morlvane" |
	    sort
}

# Checks that root holds exactly the files expected below prefix.
check_files() {
	what=$1 root=$2 prefix=$3
	got=$(cd "$root" && find . -type f | sed 's|^\.||' | grep -v '^/var/lib/dpkg/' | sort)
	want=$(expected "$prefix")
	[ "$got" = "$want" ] || fail "$what: installed
$got
expected
$want"
}

# Checks the files below prefix, and that the installed program is the tool
# (its usage text, which reads no file).
check_tree() {
	what=$1 root=$2 prefix=$3
	check_files "$what" "$root" "$prefix"
	usage=$("$root$prefix/sbin/morlvane" -h)
	status=$?
	[ $status -eq 1 ] && [ "${usage#Usage: morlvane -h}" != "$usage" ] ||
	    fail "$what: the installed morlvane -h gave status $status and '$usage'"
	[ -x "$root$prefix/sbin/morlvane" ] || fail "$what: morlvane is not executable"
}

case $mode in
tree)
	DESTDIR=$tmp/stage cmake --install "$build" --prefix /usr/local >/dev/null ||
	    fail "cmake --install with DESTDIR"
	check_tree DESTDIR "$tmp/stage" /usr/local
	cmake --install "$build" --prefix "$tmp/prefix" >/dev/null ||
	    fail "cmake --install --prefix"
	check_tree prefix "$tmp/prefix" ""
	;;
files)
	DESTDIR=$tmp/stage cmake --install "$build" --prefix /usr/local >/dev/null ||
	    fail "cmake --install with DESTDIR"
	check_files DESTDIR "$tmp/stage" /usr/local
	;;
deb)
	command -v dpkg >/dev/null || { echo "dpkg is not installed: skipped"; exit 77; }
	"$cpack" -G DEB --config "$build/CPackConfig.cmake" -B "$tmp/pkg" >/dev/null ||
	    { fail "cpack -G DEB"; exit 1; }
	deb=$(ls "$tmp"/pkg/morlvane_*.deb)
	root=$tmp/root
	mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
	: > "$root/var/lib/dpkg/status"
	dpkg --root="$root" --force-depends -i "$deb" >/dev/null 2>"$tmp/err" ||
	    fail "dpkg -i: $(cat "$tmp/err")"
	check_tree "dpkg -i" "$root" /usr
	dpkg --root="$root" -r morlvane >/dev/null 2>"$tmp/err" ||
	    fail "dpkg -r: $(cat "$tmp/err")"
	left=$(cd "$root" && find . -type f | grep -v '^\./var/lib/dpkg/')
	[ -z "$left" ] || fail "dpkg -r left $left"
	;;
*)
	echo "usage: install_test.sh tree|deb|files BUILD_DIR MAN_DIR ZSH_DIR [CPACK]" >&2
	exit 2
	;;
esac
[ $failed -eq 0 ] && echo "PASS: $mode"
exit $failed
