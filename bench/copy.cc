// SPDX-License-Identifier: BSD-2-Clause
// The floor that morlvane is measured against: copies /etc/sysctl.conf to a
// temporary file beside it, syncs it and renames it into place, and nothing
// else. Written as plain C.

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

int main(void)
{
	static char buf[1 << 17];
	int in = open("/etc/sysctl.conf", O_RDONLY);
	int out = open("/etc/sysctl.conf.copy", O_WRONLY | O_CREAT | O_EXCL, 0644);
	if (in == -1 || out == -1)
		return 1;
	ssize_t n;
	while ((n = read(in, buf, sizeof buf)) > 0)
		if (write(out, buf, n) != n)
			return 1;
	if (n == -1 || fsync(out) == -1 || close(out) == -1 ||
	    rename("/etc/sysctl.conf.copy", "/etc/sysctl.conf") == -1)
		return 1;
	return 0;
}
