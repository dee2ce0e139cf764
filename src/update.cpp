// SPDX-License-Identifier: BSD-2-Clause
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <err.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "morlvane.h"

static const char conf_path[] = "/etc/sysctl.conf";
static const char conf_dir[] = "/etc";
static char tmp_path[] = "/etc/sysctl.conf.XXXX";

// Set while tmp_path names a file of ours that has not yet been renamed.
static bool tmp_live;
// The signal mask of the caller, restored once the new file is in place.
static sigset_t caller_mask;

// The one clean-up, run on every exit: removes the temporary file if it is
// still ours, then lets a signal held back meanwhile take effect, after the
// message of a failure has gone out. A write past the file size limit has
// been reported as such; the SIGXFSZ it raised is dropped.
static void clean_up()
{
	if (tmp_live)
		unlink(tmp_path);
	fflush(stderr);
	signal(SIGXFSZ, SIG_IGN);
	sigprocmask(SIG_SETMASK, &caller_mask, nullptr);
}

// Holds back every signal that a fault does not raise until the new file is
// in place: a signal that ended the run while the temporary file exists would
// leave it behind, and one that ended it between the rename and the clearing
// of tmp_live would remove a name another run may have taken. A hold of
// SIGXFSZ also turns a write past the file size limit into a reported
// failure. Stores the caller's mask in caller_mask.
static void hold_signals()
{
	sigset_t held;
	sigfillset(&held);
	for (int sig : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGSYS, SIGABRT})
		sigdelset(&held, sig);
	sigprocmask(SIG_BLOCK, &held, &caller_mask);
}

static void refuse_special(mode_t mode)
{
	if (!S_ISREG(mode) && !S_ISDIR(mode))
		errx(1, "Error: '%s' is not a regular file", conf_path);
}

// Opens the configuration file and locks it exclusively, waiting for any
// other holder. The lock is only good if the path still names the locked file
// once it is held: a holder may have renamed a new file over it meanwhile,
// and merging the old one would lose that update. Stores the locked file's
// status in st.
static FILE *lock_config(struct stat *st)
{
	for (;;) {
		struct stat now;
		if (stat(conf_path, &now) == -1)
			err(1, "stat(%s)", conf_path);
		refuse_special(now.st_mode);
		FILE *in = fopen(conf_path, "r+");
		if (in == nullptr)
			err(1, "fopen(%s)", conf_path);
		if (flock(fileno(in), LOCK_EX) == -1)
			err(1, "flock()");
		if (fstat(fileno(in), st) == -1)
			err(1, "fstat()");
		refuse_special(st->st_mode);
		if (stat(conf_path, &now) == 0 && now.st_dev == st->st_dev &&
		    now.st_ino == st->st_ino)
			return in;
		fclose(in);
	}
}

// Draws the four characters that end tmp_path.
static void draw_name()
{
	static const char chars[] =
	    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
	unsigned char r[4];
	if (getentropy(r, sizeof r) == -1) {
		// Without entropy the clock, the process and the try still give
		// names that differ.
		static unsigned long tries;
		struct timespec ts;
		clock_gettime(CLOCK_REALTIME, &ts);
		unsigned long v = (static_cast<unsigned long>(ts.tv_nsec) ^
		    static_cast<unsigned long>(getpid()) << 30 ^ ++tries << 50) *
		    0x9e3779b97f4a7c15u;
		for (int i = 0; i < 4; i++)
			r[i] = static_cast<unsigned char>(v >> (40 + 6 * i));
	}
	char *x = tmp_path + sizeof tmp_path - 5;
	for (int i = 0; i < 4; i++)
		x[i] = chars[r[i] % (sizeof chars - 1)];
}

// Creates tmp_path with four random letters or digits for its last four
// characters, new and owner-only, and returns its descriptor; ends the
// process when no free name turns up in 100 tries.
static int make_tmp()
{
	for (int tries = 0; tries < 100; tries++) {
		draw_name();
		int fd = open(tmp_path, O_RDWR | O_CREAT | O_EXCL, 0600);
		if (fd != -1) {
			tmp_live = true;
			return fd;
		}
		if (errno != EEXIST)
			break;
	}
	err(1, "mkstemp()");
}

// Makes the rename itself durable: until the directory is synced a power
// cut can bring the old file back. A file system that has shut down can
// answer the sync with success though nothing was written (xfs does); it
// refuses the directory's status then, so a sync counts only once the
// status that follows it is given.
static void sync_dir()
{
	struct stat st;
	int fd = open(conf_dir, O_RDONLY);
	if (fd == -1 || fsync(fd) == -1 || fstat(fd, &st) == -1)
		err(1, "fsync(%s)", conf_dir);
}

// Replaces the configuration file with the merge of its current text and
// list: under an exclusive lock, through a synced temporary file beside it
// that takes the old file's permission bits and one rename. Returns only once
// the new file is in place and durable; every failure ends the process with
// the old file untouched and no temporary file left. Signals wait while the
// temporary file exists.
void update_config(std::vector<assignment> &list)
{
	struct stat st;
	FILE *in = lock_config(&st);

	hold_signals();
	atexit(clean_up);
	int fd = make_tmp();
	FILE *out = fdopen(fd, "w");
	if (out == nullptr)
		err(1, "fdopen()");
	// A large file goes out in few writes. The buffer stays small beside the
	// text so that a failure to write it shows where it happens, in the
	// writes of the merge, not in the final flush.
	static char outbuf[1 << 18];
	size_t size = std::min<size_t>(st.st_size / 16, sizeof outbuf);
	if (size > BUFSIZ)
		setvbuf(out, outbuf, _IOFBF, size);
	merge_config(in, out, list);
	if (fflush(out) == EOF)
		err(1, "fflush()");
	if (fsync(fileno(out)) == -1)
		err(1, "fsync()");
	if (fclose(out) == EOF)
		err(1, "fclose()");
	if (chmod(tmp_path, st.st_mode) == -1)
		err(1, "chmod(%s, %u)", tmp_path, static_cast<unsigned>(st.st_mode));

	if (rename(tmp_path, conf_path) == -1) {
		warn("rename()");
		exit(1);
	}
	tmp_live = false;
	sync_dir();
	// A signal that arrived meanwhile takes effect now.
	sigprocmask(SIG_SETMASK, &caller_mask, nullptr);
}
