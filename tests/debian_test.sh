#!/bin/sh
# SPDX-License-Identifier: BSD-2-Clause
# The Debian package on fresh Debian 12 and 13 (minbase with systemd-sysv and
# procps) in chroots: installed with apt-get, the tool run there, and
# systemd-sysctl must list the recorded setting as the one in effect at boot;
# then the Debian 12 system is upgraded to 13, and the setting must still be.
# lintian checks the package first.
#
# usage: debian_test.sh BUILD_DIR [CPACK]
set -eu
build=$1 cpack=${2:-cpack}
. "$(dirname "$0")/debian.sh"
# In the build tree, so that a run killed before its trap is cleaned by the next.
tmp=$PWD/debian-test
rm -rf --one-file-system "$tmp"
mkdir "$tmp"
trap 'rm -rf --one-file-system "$tmp"' EXIT
trap 'exit 1' HUP INT TERM
"$cpack" -G DEB --config "$build/CPackConfig.cmake" -B "$tmp/pkg" >"$tmp/log" 2>&1 ||
    { cat "$tmp/log"; exit 1; }

fail() {
	echo "FAIL: $*" >&2
	exit 1
}

# No error but the project's placeholder address, which lintian calls bogus.
TMPDIR=$tmp lintian --fail-on error --suppress-tags bogus-mail-host,bogus-mail-host-in-debian-changelog \
    "$tmp"/pkg/morlvane_*.deb >"$tmp/log" 2>&1 || fail "lintian: $(cat "$tmp/log")"

# The last vm.swappiness line that systemd-sysctl would apply in root is $2.
listed() {
	conf=$(deb_run "$1" /usr/lib/systemd/systemd-sysctl --cat-config) ||
	    fail "$1: systemd-sysctl --cat-config failed"
	got=$(echo "$conf" | grep '^vm\.swappiness' | tail -n 1)
	[ "$got" = "vm.swappiness=$2" ] || fail "$1: systemd-sysctl applies '$got', not $2"
}

deb_strap "$tmp/12" bookworm systemd-sysv,procps & pid12=$!
status13=0
deb_strap "$tmp/13" trixie systemd-sysv,procps || status13=$?
wait $pid12 || fail "debootstrap bookworm"
[ $status13 -eq 0 ] || fail "debootstrap trixie"
for release in 12 13; do
	cp "$tmp"/pkg/morlvane_*.deb "$tmp/$release/tmp/morlvane.deb"
	deb_apt "$tmp/$release" install /tmp/morlvane.deb >"$tmp/log" 2>&1 ||
	    fail "Debian $release: apt-get install: $(cat "$tmp/log")"
	deb_run "$tmp/$release" morlvane vm.swappiness=10
	listed "$tmp/$release" 10
	echo "PASS: Debian $release"
done

deb_suite "$tmp/12" trixie
deb_apt "$tmp/12" update >"$tmp/log" 2>&1 &&
    deb_apt "$tmp/12" full-upgrade >"$tmp/log" 2>&1 || fail "upgrade: $(cat "$tmp/log")"
grep -E '^morlvane:|sysctl\.conf' "$tmp/log" || true
listed "$tmp/12" 10
deb_run "$tmp/12" morlvane vm.swappiness=20
listed "$tmp/12" 20
echo "PASS: Debian 12 upgraded to 13"
