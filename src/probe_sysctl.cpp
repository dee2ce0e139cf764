// SPDX-License-Identifier: BSD-2-Clause
#include <sys/types.h>
#include <sys/sysctl.h>

#include <cerrno>
#include <err.h>

#include "morlvane.h"

// Warns when the kernel has no variable called name; reads and changes
// nothing, and any other answer is not the caller's concern.
void probe_name(const char *name)
{
	if (sysctlbyname(name, nullptr, nullptr, nullptr, 0) == -1 &&
	    errno == ENOENT)
		warnx("Warning: Unknown sysctl name '%s'", name);
}
