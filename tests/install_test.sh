#!/bin/sh
# SPDX-License-Identifier: BSD-2-Clause
# Installs the built tree the three ways a system gets it and checks the
# files that land each time: into a staging DESTDIR, into a prefix, and as a
# Debian package into a scratch root (never the machine's own /).
#
# usage: install_test.sh tree|deb BUILD_DIR MAN_DIR ZSH_DIR [CPACK]
# (MAN_DIR and ZSH_DIR as the build placed them below the prefix)
set -u
mode=$1 build=$2 man_dir=$3 zsh_dir=$4 cpack=${5:-cpack}
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
failed=0

fail() {
	echo "FAIL: $*" >&2
	failed=1
}

# The files and links a system gets, below a prefix, one per line, sorted;
# the package adds its documentation, the link through which systemd-sysctl
# reads /etc/sysctl.conf, and that file where it was missing.
expected() {
	if [ "$mode" = deb ]; then
		printf '%s\n' "$1/$man_dir/morlvane.8.gz" "$1/share/doc/morlvane/copyright" \
		    "$1/share/doc/morlvane/changelog.gz" /etc/sysctl.conf \
		    "$1/lib/sysctl.d/99-sysctl.conf -> /etc/sysctl.conf"
	else
		printf '%s\n' "$1/$man_dir/morlvane.8"
	fi
	printf '%s\n' "$1/sbin/morlvane" "$1/share/bash-completion/completions/morlvane" \
	    "$1/$zsh_dir/_morlvane"
}

# Checks that root holds exactly the files expected below prefix, and that
# the installed program is the tool (its usage text, which reads no file).
check_tree() {
	what=$1 root=$2 prefix=$3
	got=$(cd "$root" && find . -type l -printf '%p -> %l\n' -o ! -type d -printf '%p\n' |
	    sed 's|^\.||' | grep -v '^/var/lib/dpkg/' | sort)
	want=$(expected "$prefix" | sort)
	[ "$got" = "$want" ] || fail "$what: installed
$got
expected
$want"
	usage=$("$root$prefix/sbin/morlvane" -h)
	status=$?
	[ $status -eq 1 ] && [ "${usage#Usage: morlvane -h}" != "$usage" ] ||
	    fail "$what: the installed morlvane -h gave status $status and '$usage'"
	[ -x "$root$prefix/sbin/morlvane" ] || fail "$what: morlvane is not executable"
}

# dpkg on the scratch root. It has no shell, so the maintainer scripts run
# outside it, with DPKG_ROOT naming it, in a private mount namespace whose
# /etc is an empty tmpfs: a script that ignored DPKG_ROOT would write there,
# not into the machine's /etc, and is caught by the check that it stays empty.
dpkg_root() {
	unshare -m --propagation private sh -c 'mount -t tmpfs tmpfs /etc &&
	    dpkg --root="$0" --force-script-chrootless --force-depends "$@" &&
	    { [ -z "$(ls -A /etc)" ] || { echo "written to /etc: $(ls -A /etc)" >&2; exit 1; }; }' \
	    "$root" "$@" >"$tmp/out" 2>"$tmp/err"
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
deb)
	command -v dpkg >/dev/null || { echo "dpkg is not installed: skipped"; exit 77; }
	"$cpack" -G DEB --config "$build/CPackConfig.cmake" -B "$tmp/pkg" >/dev/null 2>"$tmp/err" ||
	    { fail "cpack -G DEB: $(cat "$tmp/err")"; exit 1; }
	deb=$(ls "$tmp"/pkg/morlvane_*.deb)
	# Each row: the file that /etc holds before (none, the administrator's,
	# or one that procps's upgrade to Debian 13 set aside: the first while
	# half upgraded, the second after), and what /etc holds after purge. The
	# package makes /etc/sysctl.conf only where it is missing, from the file
	# set aside if there is one, and keeps it on removal and purge.
	for row in "-:sysctl.conf" "sysctl.conf:sysctl.conf" \
	    "sysctl.conf.dpkg-backup:sysctl.conf sysctl.conf.dpkg-backup" \
	    "sysctl.conf.dpkg-bak:sysctl.conf"; do
		seed=${row%%:*} after=${row#*:}
		root=$tmp/root
		rm -rf "$root"
		mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates" "$root/etc"
		: > "$root/var/lib/dpkg/status"
		[ "$seed" = - ] || echo "vm.swappiness=10" > "$root/etc/$seed"
		dpkg_root -i "$deb" || fail "dpkg -i: $(cat "$tmp/err")"
		[ "$seed" != - ] || check_tree "dpkg -i" "$root" /usr
		conf=$(cat "$root/etc/sysctl.conf")
		[ "$seed" = - ] || [ "$conf" = "vm.swappiness=10" ] ||
		    fail "dpkg -i with /etc/$seed made /etc/sysctl.conf '$conf'"
		dpkg_root -r morlvane || fail "dpkg -r: $(cat "$tmp/err")"
		grep -q "no longer reads it at boot" "$tmp/out" ||
		    fail "dpkg -r did not say that the file is no longer read: $(cat "$tmp/out")"
		dpkg_root -P morlvane || fail "dpkg -P: $(cat "$tmp/err")"
		left=$(cd "$root/etc" && echo *)
		[ "$left" = "$after" ] && [ "$(cat "$root/etc/sysctl.conf")" = "$conf" ] ||
		    fail "with /etc/$seed, dpkg -r and -P left '$left' with '$(cat "$root/etc/sysctl.conf")'"
	done
	;;
*)
	echo "usage: install_test.sh tree|deb BUILD_DIR MAN_DIR ZSH_DIR [CPACK]" >&2
	exit 2
	;;
esac
[ $failed -eq 0 ] && echo "PASS: $mode"
exit $failed
