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
#ifdef __APPLE__
#include <sys/random.h>
#endif

#include "morlvane.h"

static const char conf_path[] = "/etc/sysctl.conf";
static const char conf_dir[] = "/etc";
static char tmp_path[] = "/etc/sysctl.conf.XXXX";

// Set while tmp_path names a file of ours that has not yet been renamed.
static volatile sig_atomic_t tmp_live;

// The signals whose default action ends the process, but the two that cannot
// be caught and SIGXFSZ, which is ignored instead.
static bool fatal(int sig)
{
	switch (sig) {
	case SIGKILL: case SIGSTOP: case SIGXFSZ:
	case SIGCHLD: case SIGCONT: case SIGURG: case SIGWINCH:
	case SIGTSTP: case SIGTTIN: case SIGTTOU:
#ifdef SIGINFO
	case SIGINFO:
#endif
#ifdef SIGTHR
	case SIGTHR:
#endif
#ifdef SIGLIBRT
	case SIGLIBRT:
#endif
		return false;
	default:
		return true;
	}
}

static sigset_t guarded;

// The one clean-up of the temporary file, run by exit and by a fatal signal.
static void remove_tmp()
{
	if (tmp_live)
		unlink(tmp_path);
}

static void on_fatal_signal(int sig)
{
	remove_tmp();
	signal(sig, SIG_DFL);
	raise(sig);
}

// Makes every way out of the process but SIGKILL remove the temporary file
// until it has been renamed into place. Signals the caller ignores (nohup, a
// background job) stay ignored, and handlers already in place stay too.
static void guard_tmp()
{
	struct sigaction sa = {}, old;
	sa.sa_handler = on_fatal_signal;
	sigfillset(&sa.sa_mask);
	sigemptyset(&guarded);
	for (int sig = 1; sig < NSIG; sig++) {
		if (!fatal(sig) || sigaction(sig, nullptr, &old) == -1 ||
		    old.sa_handler != SIG_DFL)
			continue;
		if (sigaction(sig, &sa, nullptr) == 0)
			sigaddset(&guarded, sig);
	}
	// Past the file size limit a write should fail and be reported, not
	// kill the process.
	signal(SIGXFSZ, SIG_IGN);
	atexit(remove_tmp);
}

static void block_signals(int how)
{
	sigprocmask(how, &guarded, nullptr);
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

static char random_char()
{
	static const char chars[] =
	    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
	unsigned char r;
	if (getentropy(&r, 1) == -1) {
		struct timespec ts;
		clock_gettime(CLOCK_MONOTONIC, &ts);
		r = static_cast<unsigned char>(ts.tv_nsec ^ getpid());
	}
	return chars[r % (sizeof chars - 1)];
}

// Creates tmp_path with four random letters or digits for its last four
// characters, new and owner-only, and returns its descriptor; ends the
// process when no free name turns up in 100 tries.
static int make_tmp()
{
	char *x = tmp_path + sizeof tmp_path - 5;
	for (int tries = 0; tries < 100; tries++) {
		for (int i = 0; i < 4; i++)
			x[i] = random_char();
		int fd = open(tmp_path, O_RDWR | O_CREAT | O_EXCL, 0600);
		if (fd != -1) {
			tmp_live = 1;
			return fd;
		}
		if (errno != EEXIST)
			break;
	}
	err(1, "mkstemp()");
}

// Makes the rename itself durable: until the directory is synced a power
// cut can bring the old file back.
static void sync_dir()
{
	int fd = open(conf_dir, O_RDONLY);
	if (fd == -1 || fsync(fd) == -1)
		err(1, "fsync(%s)", conf_dir);
}

// Replaces the configuration file with the merge of its current text and
// list: under an exclusive lock, through a synced temporary file beside it
// that takes the old file's permission bits and one rename. Returns only once
// the new file is in place and durable; every failure ends the process with
// the old file untouched and no temporary file left.
void update_config(std::vector<assignment> &list)
{
	struct stat st;
	FILE *in = lock_config(&st);

	guard_tmp();
	// A signal between creating the file and marking it would leave it.
	block_signals(SIG_BLOCK);
	int fd = make_tmp();
	block_signals(SIG_UNBLOCK);
	FILE *out = fdopen(fd, "w");
	if (out == nullptr)
		err(1, "fdopen()");
	merge_config(in, out, list);
	if (fflush(out) == EOF)
		err(1, "fflush()");
	if (fsync(fileno(out)) == -1)
		err(1, "fsync()");
	if (fclose(out) == EOF)
		err(1, "fclose()");
	if (chmod(tmp_path, st.st_mode) == -1)
		err(1, "chmod(%s, %u)", tmp_path, static_cast<unsigned>(st.st_mode));

	// A signal between the rename and the flag would remove the new file's
	// former name, which another run may already have taken.
	block_signals(SIG_BLOCK);
	if (rename(tmp_path, conf_path) == -1) {
		warn("rename()");
		exit(1);
	}
	tmp_live = 0;
	block_signals(SIG_UNBLOCK);
	sync_dir();
}
