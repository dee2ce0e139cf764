#!/bin/sh
# SPDX-License-Identifier: BSD-2-Clause
# Cross-builds the tool for FreeBSD on x86-64 and arm64 (cmake/freebsd-build.sh)
# and checks what a FreeBSD system would get: the binary's ELF marks, the
# libraries it needs, the functions it imports, and the installed files.
#
# usage: freebsd_check.sh SOURCE_DIR WORK_DIR
set -eu
sh "$1/cmake/freebsd-build.sh" "$1" "$2"
src=$(cd "$1" && pwd) work=$(cd "$2" && pwd)

# Checks that a binary is a FreeBSD program for machine $3 that needs only
# base libraries and asks the kernel through sysctlbyname, with nothing of
# the /proc/sys probe in it; prints the libraries and the imported functions.
check() {
	bad=
	header=$(readelf -h "$1")
	echo "$header" | grep -q 'OS/ABI: *UNIX - FreeBSD$' || bad="$bad OS/ABI,"
	echo "$header" | grep -q "Machine: *$3\$" || bad="$bad machine,"
	readelf -l "$1" | grep -qF 'interpreter: /libexec/ld-elf.so.1]' || bad="$bad interpreter,"
	needed=$(readelf -d "$1" | sed -n 's/.*(NEEDED).*\[\(.*\)\]$/\1/p')
	imports=$(readelf -W --dyn-syms "$1" |
	    awk '$7 == "UND" && $8 != "" { sub(/@.*/, "", $8); print $8 }' | sort -u)
	echo "$2 needs:" $needed
	echo "$2 imports:" $imports
	for lib in $needed; do
		case $lib in libc.so.7 | libm.so.5 | libthr.so.3) ;; *) bad="$bad needs $lib," ;; esac
	done
	echo "$imports" | grep -qx sysctlbyname || bad="$bad no sysctlbyname,"
	for sym in faccessat fdopendir readdir; do
		if echo "$imports" | grep -qx $sym; then bad="$bad imports $sym,"; fi
	done
	if grep -qaF /proc/sys "$1"; then bad="$bad /proc/sys,"; fi
	[ -z "$bad" ] || { echo "FAIL: $2:$bad" >&2; return 1; }
}

for arch in x86_64:'Advanced Micro Devices X86-64' aarch64:AArch64; do
	machine=${arch#*:} arch=${arch%%:*}
	check "$work/build-$arch/morlvane" $arch-freebsd "$machine"
	sh "$src/tests/install_test.sh" files "$work/build-$arch" share/man/man8 share/zsh/site-functions
done
