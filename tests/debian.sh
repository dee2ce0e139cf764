# SPDX-License-Identifier: BSD-2-Clause
# Debian systems in chroots for the package and boot checks; source it.
#   deb_strap ROOT SUITE PKGS: debootstrap SUITE (minbase, plus the comma-separated PKGS) into ROOT
#   deb_run ROOT CMD...: run CMD in ROOT in a private mount namespace, /proc mounted, /proc/sys read-only
#   deb_apt ROOT ARGS...: apt-get -y ARGS in ROOT, the .debs taken from and kept in the package cache
#   deb_suite ROOT SUITE: point ROOT's apt at SUITE (for an upgrade: then deb_apt ROOT update, full-upgrade)
# MORLVANE_DEBCACHE is the package cache shared by all releases and runs
# (default ./debcache); MORLVANE_MIRROR the mirror (default the one this
# machine's apt uses for Debian, else deb.debian.org).
# /run is never bound: systemd's scripts act when /run/systemd/system exists.
deb_cache=$(mkdir -p "${MORLVANE_DEBCACHE:-debcache}" && cd "${MORLVANE_DEBCACHE:-debcache}" && pwd)

# The first Debian archive (a URI ending in /debian) in this machine's apt
# sources, in either format.
deb_host_mirror() {
	{
		sed -n 's/^URIs:[[:space:]]*//p' /etc/apt/sources.list.d/*.sources
		sed -n 's/^deb[[:space:]]\{1,\}\(\[[^]]*\][[:space:]]*\)\{0,1\}\([^[:space:]]*\).*/\2/p' \
		    /etc/apt/sources.list
	} 2>/dev/null | tr -s ' \t' '\n\n' | grep -m 1 '/debian/\{0,1\}$'
}
deb_mirror=${MORLVANE_MIRROR:-$(deb_host_mirror || echo http://deb.debian.org/debian)}

deb_strap() {
	_log=$(mktemp)
	# The first stage only downloads and unpacks; the second runs the
	# maintainer scripts, so it runs in the namespace that deb_run makes.
	# dpkg does not sync what it unpacks (the chroot is thrown away after a
	# crash): a check from a full cache took 2m56s so, 3m25s with the syncs.
	if ! debootstrap --variant=minbase --include="$3" --foreign \
	    --cache-dir="$deb_cache" "$2" "$1" "$deb_mirror" >"$_log" 2>&1 ||
	    ! echo force-unsafe-io >"$1/etc/dpkg/dpkg.cfg.d/morlvane-unsafe-io" ||
	    ! deb_run "$1" /debootstrap/debootstrap --second-stage >>"$_log" 2>&1; then
		cat "$_log" >&2
		rm -f "$_log"
		return 1
	fi
	rm -f "$_log"
	# No service starts in a chroot.
	printf '#!/bin/sh\nexit 101\n' >"$1/usr/sbin/policy-rc.d"
	chmod 755 "$1/usr/sbin/policy-rc.d"
	printf 'APT::Install-Recommends "false";\n' >"$1/etc/apt/apt.conf.d/90morlvane"
}

deb_run() {
	unshare -m --propagation private sh -euc '
		root=$1
		shift
		# Where debootstrap thinks it runs in a container (/.dockerenv), its
		# first stage makes proc a link to /proc; mounted through the link,
		# the chroot would get no /proc of ours and its second stage would
		# mount one with /proc/sys writable.
		if [ -L "$root/proc" ]; then rm "$root/proc" && mkdir "$root/proc"; fi
		mount -t proc proc "$root/proc"
		mount --bind "$root/proc/sys" "$root/proc/sys"
		mount -o remount,bind,ro "$root/proc/sys"
		mount -t sysfs -o ro sysfs "$root/sys"
		mount -t devpts -o newinstance,ptmxmode=0666 devpts "$root/dev/pts"
		exec chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin \
		    HOME=/root LC_ALL=C DEBIAN_FRONTEND=noninteractive "$@"' sh "$@"
}

# Links where it can (the cache and the chroot on one file system), copies
# where it cannot; never replaces a file already there.
deb_share() {
	ls "$1"/*.deb >/dev/null 2>&1 || return 0
	cp -ln "$1"/*.deb "$2/" 2>/dev/null || cp -n "$1"/*.deb "$2/"
}

deb_apt() {
	_root=$1
	shift
	deb_share "$deb_cache" "$_root/var/cache/apt/archives"
	_status=0
	deb_run "$_root" apt-get -y -q -o Dpkg::Options::=--force-confdef \
	    -o Dpkg::Options::=--force-confold "$@" || _status=$?
	deb_share "$_root/var/cache/apt/archives" "$deb_cache"
	return $_status
}

deb_suite() {
	echo "deb $deb_mirror $2 main" >"$1/etc/apt/sources.list"
}
