#include <cerrno>
#include <climits>
#include <cstring>
#include <err.h>
#include <fcntl.h>
#include <unistd.h>

#include "morlvane.h"

// Maps a variable name to its path below /proc/sys in path, which holds
// PATH_MAX bytes: dots separate the components and a slash inside a component
// is a dot (eth0/1 is the interface eth0.1). Returns false for a name with an
// empty, "." or ".." component, which could name nothing beneath /proc/sys.
static bool proc_path(const char *name, char *path)
{
	char *comp = path;
	for (const char *p = name;; p++) {
		if (*p == '.' || *p == '\0') {
			size_t len = path - comp;
			if (len == 0 || (comp[0] == '.' && (len == 1 ||
			    (len == 2 && comp[1] == '.'))))
				return false;
			if (*p == '\0') {
				*path = '\0';
				return true;
			}
			*path++ = '/';
			comp = path;
		} else {
			*path++ = *p == '/' ? '.' : *p;
		}
	}
}

// Returns the error number of the lookup of path below /proc/sys, 0 if it
// exists or if there is no /proc/sys to ask. The directory is opened once for
// all names, so each lookup walks only the name's own components.
static int lookup(const char *path)
{
	static int dir = open("/proc/sys", O_PATH | O_DIRECTORY | O_CLOEXEC);
	if (dir == -1)
		return 0;
	return faccessat(dir, path, F_OK, 0) == -1 ? errno : 0;
}

// Warns when the kernel has no variable called name. Only asks whether its
// file exists: the file is never opened, so no variable with side effects on
// reading is read. A name too long for any path gets no answer and no warning.
void probe_name(const char *name)
{
	static char path[PATH_MAX];
	if (strlen(name) >= sizeof path)
		return;
	int e = proc_path(name, path) ? lookup(path) : ENOENT;
	if (e == ENOENT || e == ENOTDIR)
		warnx("Warning: Unknown sysctl name '%s'", name);
}
