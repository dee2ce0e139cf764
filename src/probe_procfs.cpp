#include <cerrno>
#include <climits>
#include <cstring>
#include <err.h>
#include <fcntl.h>
#include <new>
#include <string>
#include <sys/resource.h>
#include <unordered_map>
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

static int look(int dir, const char *path)
{
	return faccessat(dir, path, F_OK, 0) == -1 ? errno : 0;
}

// How many directories may stay open: they are held to the end of the run,
// and the file update after the probes needs descriptors of its own.
static rlim_t open_dirs_allowed()
{
	struct rlimit rl;
	if (getrlimit(RLIMIT_NOFILE, &rl) == -1 || rl.rlim_cur == RLIM_INFINITY)
		return 64;
	return rl.rlim_cur / 4 < 64 ? rl.rlim_cur / 4 : 64;
}

// Returns the error number of the lookup of path below /proc/sys, 0 if it
// exists or if there is no /proc/sys to ask. Each directory that holds
// variables is looked up once and, up to a few dozen, kept open, so a name
// costs the lookup of its last component alone, and names below a directory
// that does not exist cost nothing more.
static int lookup(const char *path)
{
	static int root = open("/proc/sys", O_PATH | O_DIRECTORY | O_CLOEXEC);
	static std::unordered_map<std::string, int> dirs;  // a descriptor or -errno
	static rlim_t open_left = open_dirs_allowed();
	if (root == -1)
		return 0;
	const char *slash = strrchr(path, '/');
	if (slash == nullptr)
		return look(root, path);
	int dir;
	try {
		std::string parent(path, slash - path);
		auto it = dirs.find(parent);
		if (it == dirs.end()) {
			if (open_left == 0)
				return look(root, path);
			dir = openat(root, parent.c_str(),
			    O_PATH | O_DIRECTORY | O_CLOEXEC);
			if (dir == -1) {
				// Out of descriptors, or some other trouble: ask in full.
				if (errno != ENOENT && errno != ENOTDIR)
					return look(root, path);
				dir = -errno;
			} else {
				open_left--;
			}
			dirs.emplace(parent, dir);
		} else {
			dir = it->second;
		}
	} catch (const std::bad_alloc &) {
		return look(root, path);
	}
	if (dir < 0)
		return -dir;
	return look(dir, slash + 1);
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
