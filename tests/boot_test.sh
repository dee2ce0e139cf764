#!/bin/sh
# SPDX-License-Identifier: BSD-2-Clause
# Boots what administrators run and reads vm.swappiness at boot, after the
# package was installed and the tool recorded vm.swappiness=10 in the
# chroot: fresh Debian 12; that system upgraded to 13 in the chroot; fresh
# Debian 13; that system after a "vm.swappiness = 60" line was added below
# the recorded one and the tool recorded 10 again. Each boot is under qemu
# (TCG: KVM here cannot boot Debian's kernels) from an ext4 image of the
# tree, with the tree's own kernel and initrd, no network, and a time limit
# that fails the case.
#
# usage: boot_test.sh BUILD_DIR [CPACK]   (MORLVANE_DEBCACHE: see debian.sh)
set -eu
build=$(cd "$1" && pwd) cpack=${2:-cpack}
. "$(dirname "$0")/debian.sh"
want=10 limit=300
pkgs=linux-image-amd64,initramfs-tools,systemd-sysv,udev,procps,kmod
# In the build tree, so that a run killed before its trap is cleaned by the next.
work=$build/boot-test
rm -rf --one-file-system "$work"
mkdir -p "$work"
trap 'rm -rf --one-file-system "$work"' EXIT
failed=0 times=

# Runs CMD, adding LABEL and its time to the case's; on failure shows its
# output and ends the test.
step() {
	label=$1 start=$(date +%s)
	shift
	if ! "$@" >"$work/log" 2>&1; then
		cat "$work/log" >&2
		echo "FAIL: $label: $*" >&2
		exit 1
	fi
	times="$times$label $(($(date +%s) - start)) s, "
}

# Boots ROOT: a oneshot unit after multi-user.target writes the value to
# the console (a serial getty's vhangup would cut it off) and powers off.
boot() {
	sd=$1/etc/systemd/system start=$(date +%s)
	mkdir -p "$sd/multi-user.target.wants"
	printf '%s\n' '[Unit]' 'After=multi-user.target' '[Service]' 'Type=oneshot' \
	    "ExecStart=/bin/sh -c 'echo \"boot: vm.swappiness=\$(cat /proc/sys/vm/swappiness)\" >/dev/console'" \
	    'ExecStartPost=/bin/systemctl --no-block poweroff' >"$sd/boot-report.service"
	ln -sf ../boot-report.service "$sd/multi-user.target.wants/"
	ln -sf /dev/null "$sd/serial-getty@ttyS0.service"
	rm -f "$1"/var/cache/apt/archives/*.deb
	mkfs.ext4 -q -F -d "$1" "$work/img" "$(($(du -sm "$1" | cut -f1) * 5 / 4 + 200))M" >/dev/null
	times="${times}image $(($(date +%s) - start)) s, " start=$(date +%s)
	timeout "$limit" qemu-system-x86_64 -accel tcg -m 1024 -nic none -no-reboot \
	    -display none -monitor none -serial stdio -kernel "$1/vmlinuz" \
	    -initrd "$1/initrd.img" -drive "file=$work/img,format=raw,if=virtio" \
	    -append "root=/dev/vda rw console=ttyS0 panic=-1" </dev/null >"$work/console" 2>&1
}

# Boots ROOT for case NAME and compares the value at boot with the recorded one.
check() {
	status=0
	boot "$2" || status=$?
	rm -f "$work/img"
	tr -d '\r' <"$work/console" >"$work/log"
	got=$(sed -n 's/^boot: vm\.swappiness=//p' "$work/log")
	kernel=$(sed -n 's/.*Linux version \([^ ]*\).*/\1/p' "$work/log" | head -n 1)
	echo "$1: ${times}boot $(($(date +%s) - start)) s (Linux ${kernel:-?}):" \
	    "vm.swappiness ${got:-not shown} at boot, $want recorded"
	times=
	if [ "$got" != "$want" ]; then
		[ $status -ne 124 ] || echo "FAIL: $1: no power-off within $limit s" >&2
		tail -n 25 "$work/console" >&2
		failed=1
	fi
}

upgrade() {
	deb_suite "$1" trixie && deb_apt "$1" update && deb_apt "$1" full-upgrade
}

step package "$cpack" -G DEB --config "$build/CPackConfig.cmake" -B "$work/pkg"
deb=$(ls "$work"/pkg/morlvane_*.deb) times=
for rel in 12:bookworm 13:trixie; do
	root=$work/${rel%:*}
	step debootstrap deb_strap "$root" "${rel#*:}" "$pkgs"
	cp "$deb" "$root/tmp/morlvane.deb"
	step install deb_apt "$root" install /tmp/morlvane.deb
	step tool deb_run "$root" morlvane vm.swappiness=$want
	check "Debian ${rel%:*}" "$root"
	if [ "${rel%:*}" = 12 ]; then
		step upgrade upgrade "$root"
		check "Debian 12 upgraded to 13" "$root"
	else
		echo 'vm.swappiness = 60' >>"$root/etc/sysctl.conf"
		step tool deb_run "$root" morlvane vm.swappiness=$want
		check "Debian 13 with a later 'vm.swappiness = 60'" "$root"
	fi
	rm -rf --one-file-system "$root"
done
exit $failed
