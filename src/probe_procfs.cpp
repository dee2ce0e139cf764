#include <cerrno>
#include <err.h>
#include <fcntl.h>
#include <string>
#include <unistd.h>

#include "morlvane.h"

// Maps a variable name to its path below /proc/sys: dots separate the
// components and a slash inside a component is a dot (eth0/1 is the
// interface eth0.1). Returns false for a name with an empty, "." or ".."
// component, which could name nothing beneath /proc/sys.
static bool proc_path(const char *name, std::string &path)
{
	path.clear();
	size_t start = 0;
	for (const char *p = name;; p++) {
		if (*p == '.' || *p == '\0') {
			std::string_view comp(path.data() + start, path.size() - start);
			if (comp.empty() || comp == "." || comp == "..")
				return false;
			if (*p == '\0')
				return true;
			path += '/';
			start = path.size();
		} else {
			path += *p == '/' ? '.' : *p;
		}
	}
}

// Returns 0 if path exists below /proc/sys, else the error number of the
// lookup. The directory is opened once for all names, so each lookup walks
// only the name's own components.
static int lookup(const std::string &path)
{
	static int dir = -1;
	static int dir_errno = -1;
	if (dir_errno == -1) {
		dir = open("/proc/sys", O_PATH | O_DIRECTORY | O_CLOEXEC);
		dir_errno = dir == -1 ? errno : 0;
	}
	if (dir == -1)
		return dir_errno;
	return faccessat(dir, path.c_str(), F_OK, 0) == -1 ? errno : 0;
}

// Warns when the kernel has no variable called name. Only asks whether its
// file exists: the file is never opened, so no variable with side effects on
// reading is read.
void probe_name(const char *name)
{
	static std::string path;
	int e = proc_path(name, path) ? lookup(path) : ENOENT;
	if (e == ENOENT || e == ENOTDIR)
		warnx("Warning: Unknown sysctl name '%s'", name);
}
