// SPDX-License-Identifier: BSD-2-Clause
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <dirent.h>
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
// is a dot (eth0/1 is the interface eth0.1), unless the first separator of
// the name is a slash, which makes the name a path already, dots kept
// (net/ipv4/conf/eth0.1/rp_filter). Returns false for a name with an empty,
// "." or ".." component, which could name nothing beneath /proc/sys.
static bool proc_path(const char *name, char *path)
{
	char sep = name[strcspn(name, "./")] == '/' ? '/' : '.';
	char *comp = path;
	for (const char *p = name;; p++) {
		if (*p == sep || *p == '\0') {
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

namespace {

// What lookups have found of one path below /proc/sys: a directory, or a path
// below which nothing can exist, since it is missing or not a directory.
struct node {
	int fd = -1;      // the directory, held open; -1 if it is not
	int err = 0;      // ENOENT or ENOTDIR when nothing lies below it
	int asked = 0;    // its entries looked up by system calls
	bool listed = false;
	std::unordered_map<std::string, unsigned char> entries;  // name, d_type
};

} // namespace

// Lookups in one directory after which reading its listing once costs less
// than asking on.
static const int asked_before_listing = 4;

static int root = -1;
static node top;  // /proc/sys itself
static std::unordered_map<std::string, node> known;  // by path below it
static size_t deepest;  // the most components of any path in known
static std::string key;  // the path or name being looked up in a map
static rlim_t open_left;  // directories that may still be held open

// Looks up the entry of d that runs from begin to stop in path, relative to
// d's descriptor, or by the whole path when d is not held open. With fd, only
// a directory will do, and it is opened into *fd.
static int ask(node &d, char *path, size_t begin, size_t stop, int *fd)
{
	char end = path[stop];
	path[stop] = '\0';
	int at = d.fd != -1 ? d.fd : root;
	const char *name = d.fd != -1 ? path + begin : path;
	int e;
	if (fd == nullptr) {
		e = look(at, name);
	} else {
		*fd = openat(at, name, O_PATH | O_DIRECTORY | O_CLOEXEC);
		e = *fd == -1 ? errno : 0;
	}
	path[stop] = end;
	d.asked++;
	return e;
}

// Reads the names in d, whose path is the first len bytes of path, so that
// lookups in it cost no system call; leaves it unlisted on any failure.
static void list(node &d, char *path, size_t len)
{
	d.asked = 0;
	char end = path[len];
	path[len] = '\0';
	int fd = openat(d.fd != -1 ? d.fd : root, d.fd != -1 ? "." : path,
	    O_RDONLY | O_DIRECTORY | O_CLOEXEC);
	path[len] = end;
	DIR *dir = fd == -1 ? nullptr : fdopendir(fd);
	if (dir == nullptr) {
		if (fd != -1)
			close(fd);
		return;
	}
	try {
		for (;;) {
			errno = 0;
			struct dirent *e = readdir(dir);
			if (e == nullptr)
				break;
			d.entries.emplace(e->d_name, e->d_type);
		}
	} catch (const std::bad_alloc &) {
		errno = ENOMEM;
	}
	d.listed = errno == 0;
	if (!d.listed)
		d.entries.clear();
	closedir(dir);
}

// Returns the error number of the lookup of path below /proc/sys, 0 if it
// exists or if there is no /proc/sys to ask. Every lookup is remembered: the
// directories, each held open up to a share of the descriptors, so that an
// entry costs one call relative to its directory; the paths below which
// nothing exists, so that every name beneath them costs none; and the listing
// of a directory asked about often, read once to answer the rest. Paths are
// compared by whole component: a missing net/ipv says nothing of net/ipv4.
static int walk(char *path)
{
	size_t len = strlen(path);
	// The deepest directory above the entry that is known already, looked
	// for only as deep as any known path goes.
	size_t end = 0;
	for (size_t slashes = 0; end < len; end++)
		if (path[end] == '/' && ++slashes > deepest)
			break;
	node *d = &top;
	size_t begin = 0;
	for (size_t k = end; k-- > 0;) {
		if (path[k] != '/')
			continue;
		key.assign(path, k);
		auto it = known.find(key);
		if (it != known.end()) {
			d = &it->second;
			begin = k + 1;
			break;
		}
	}
	// Then down from it, one entry at a time.
	for (;;) {
		if (d->err != 0)
			return d->err;
		const char *slash = strchr(path + begin, '/');
		size_t stop = slash != nullptr ? slash - path : len;
		if (d->listed) {
			key.assign(path + begin, stop - begin);
			auto it = d->entries.find(key);
			if (it == d->entries.end())
				return ENOENT;
			if (slash == nullptr)
				return 0;
			if (it->second == DT_REG)
				return ENOTDIR;
		}
		int fd = -1;
		int e = ask(*d, path, begin, stop, slash != nullptr ? &fd : nullptr);
		if (!d->listed && d->asked >= asked_before_listing)
			list(*d, path, begin > 0 ? begin - 1 : 0);
		if (slash == nullptr)
			return e;
		if (e != 0 && e != ENOENT && e != ENOTDIR)
			return look(root, path);  // out of descriptors, say
		node &next = known[std::string(path, stop)];
		next.err = e;
		deepest = std::max<size_t>(deepest,
		    std::count(path, path + stop, '/') + 1);
		if (fd != -1 && open_left > 0) {
			next.fd = fd;
			open_left--;
		} else if (fd != -1) {
			close(fd);
		}
		d = &next;
		begin = stop + 1;
	}
}

static int lookup(char *path)
{
	static bool started;
	if (!started) {
		started = true;
		root = top.fd = open("/proc/sys", O_PATH | O_DIRECTORY | O_CLOEXEC);
		open_left = open_dirs_allowed();
	}
	if (root == -1)
		return 0;
	try {
		return walk(path);
	} catch (const std::bad_alloc &) {
		return look(root, path);
	}
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
