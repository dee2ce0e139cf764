// SPDX-License-Identifier: BSD-2-Clause
#include "sandbox.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sstream>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

const char *const morlvane_bin = MORLVANE_BIN;

// Every run gets a directory below one root, removed when the tests end.
static std::string work_root()
{
	static std::string root;
	if (root.empty()) {
		char tmpl[] = "/tmp/morlvane-tests.XXXXXX";
		if (mkdtemp(tmpl) == nullptr)
			abort();
		root = tmpl;
		atexit([] {
			std::string cmd = "rm -rf '" + root + "'";
			if (system(cmd.c_str()) != 0)
				perror("rm");
		});
	}
	return root;
}

std::string read_file(const std::string &path)
{
	std::ifstream f(path, std::ios::binary);
	std::stringstream ss;
	ss << f.rdbuf();
	return ss.str();
}

void write_file(const std::string &path, const std::string &text)
{
	std::ofstream(path, std::ios::binary) << text;
}

static int decode(int wstatus)
{
	if (WIFEXITED(wstatus))
		return WEXITSTATUS(wstatus);
	if (WIFSIGNALED(wstatus))
		return 128 + WTERMSIG(wstatus);
	return -1;
}

// posix_spawn, not fork: a forked child would copy the page tables of a test
// process that has grown large (under AddressSanitizer, its quarantine), at a
// cost that came to half of a power-cut test's time.
pid_t spawn(const std::vector<std::string> &argv, const char *path,
    const std::string &out, const std::string &err)
{
	posix_spawn_file_actions_t files;
	posix_spawn_file_actions_init(&files);
	posix_spawn_file_actions_addopen(&files, 0, "/dev/null", O_RDONLY, 0);
	posix_spawn_file_actions_addopen(&files, 1, out.c_str(),
	    O_WRONLY | O_CREAT | O_APPEND, 0644);
	posix_spawn_file_actions_addopen(&files, 2, err.c_str(),
	    O_WRONLY | O_CREAT | O_APPEND, 0644);
	posix_spawnattr_t attr;
	posix_spawnattr_init(&attr);
	posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
	posix_spawnattr_setpgroup(&attr, 0);
	std::vector<char *> v;
	for (const std::string &a : argv)
		v.push_back(const_cast<char *>(a.c_str()));
	v.push_back(nullptr);
	pid_t pid;
	// A program that cannot start still leaves a child to wait for, as a
	// failed exec did after a fork: -1 would mean every process to kill().
	if (posix_spawn(&pid, path, &files, &attr, v.data(), environ) != 0 &&
	    (pid = fork()) == 0)
		_exit(127);
	posix_spawn_file_actions_destroy(&files);
	posix_spawnattr_destroy(&attr);
	return pid;
}

int await(pid_t pid)
{
	const int deadline_ms = 120 * 1000;
	for (int waited = 0;; waited++) {
		int ws;
		pid_t r = waitpid(pid, &ws, WNOHANG);
		if (r == pid)
			return decode(ws);
		if (r == -1 && errno != EINTR)
			return -1;
		if (waited >= deadline_ms) {
			kill(-pid, SIGKILL);
			waitpid(pid, &ws, 0);
			return -2;
		}
		struct timespec ms = {0, 1000000};
		nanosleep(&ms, nullptr);
	}
}

int run(const std::vector<std::string> &argv, const char *path,
    const std::string &out, const std::string &err)
{
	return await(spawn(argv, path, out, err));
}

std::vector<std::string> temporaries_in(const std::string &dir)
{
	std::vector<std::string> t;
	if (DIR *d = opendir(dir.c_str())) {
		while (struct dirent *e = readdir(d))
			if (strlen(e->d_name) == 16 &&
			    strncmp(e->d_name, "sysctl.conf.", 12) == 0)
				t.push_back(e->d_name);
		closedir(d);
	}
	return t;
}

const char conf[] = "/etc/sysctl.conf";

void reset(const std::string &text)
{
	write_file("/etc/reset", text);
	rename("/etc/reset", conf);
}

size_t sweep()
{
	std::vector<std::string> t = temporaries_in("/etc");
	for (const std::string &name : t)
		unlink(("/etc/" + name).c_str());
	return t.size();
}

std::string big_conf()
{
	std::string text = "# generated\n";
	for (int i = 0; i < 100000; i++)
		text += "crash.key" + std::to_string(i) + "=value" +
		    std::to_string(i) + "\n";
	return text;
}

const std::vector<std::string> crash_args = {"crash.key10=a",
    "crash.key50000=b", "crash.key99999=c", "crash.new1=d", "crash.new2=e"};

std::vector<std::string> tool_argv(const std::vector<std::string> &args)
{
	std::vector<std::string> argv = {"morlvane"};
	argv.insert(argv.end(), args.begin(), args.end());
	return argv;
}

double seconds_since(std::chrono::steady_clock::time_point t)
{
	return std::chrono::duration<double>(std::chrono::steady_clock::now() - t)
	    .count();
}

std::map<std::string, long> figures(const std::string &report)
{
	std::map<std::string, long> f;
	std::istringstream in(report);
	std::string word;
	while (in >> word) {
		size_t eq = word.find('=');
		if (eq != std::string::npos)
			f[word.substr(0, eq)] = atol(word.c_str() + eq + 1);
	}
	return f;
}

using step = std::function<int(const std::string &w)>;

static int inside(const std::string &w, const step &setup,
    const std::vector<std::string> *args, const std::string &options)
{
	if (unshare(CLONE_NEWNS) == -1 ||
	    mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == -1 ||
	    mount("tmpfs", "/etc", "tmpfs", 0, options.c_str()) == -1)
		return 1;
	write_file(w + "/sandboxed", "");
	setenv("MORLVANE", morlvane_bin, 1);
	setenv("W", w.c_str(), 1);
	int s = setup(w);
	write_file(w + "/setup.status", std::to_string(s));
	if (args != nullptr) {
		std::vector<std::string> argv = {"morlvane"};
		argv.insert(argv.end(), args->begin(), args->end());
		s = run(argv, morlvane_bin, w + "/out", w + "/err");
		write_file(w + "/status", std::to_string(s));
	}
	std::string copy = "cp -a /etc '" + w + "/etc'";
	return system(copy.c_str()) == 0 ? 0 : 2;
}

static int number(const std::string &path)
{
	std::string s = read_file(path);
	return s.empty() ? -1 : atoi(s.c_str());
}

static outcome contain(const step &setup,
    const std::vector<std::string> *args, const std::string &tmpfs_options)
{
	outcome o;
	std::string tmpl = work_root() + "/run.XXXXXX";
	if (mkdtemp(tmpl.data()) == nullptr)
		return o;
	std::string w = tmpl;
	pid_t pid = fork();
	if (pid == 0)
		_exit(inside(w, setup, args, tmpfs_options));
	int ws;
	waitpid(pid, &ws, 0);
	o.sandboxed = access((w + "/sandboxed").c_str(), F_OK) == 0 &&
	    decode(ws) == 0;
	o.setup_status = number(w + "/setup.status");
	o.setup_out = read_file(w + "/setup.out");
	o.status = number(w + "/status");
	o.out = read_file(w + "/out");
	o.err = read_file(w + "/err");
	o.dir = w + "/etc";

	struct stat st;
	std::string conf = o.dir + "/sysctl.conf";
	if (lstat(conf.c_str(), &st) == 0) {
		o.conf_exists = true;
		o.conf_mode = st.st_mode;
		if (S_ISREG(st.st_mode))
			o.conf = read_file(conf);
	}
	if (DIR *d = opendir(o.dir.c_str())) {
		while (struct dirent *e = readdir(d))
			if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0)
				o.etc.push_back(e->d_name);
		closedir(d);
	}
	std::sort(o.etc.begin(), o.etc.end());
	return o;
}

static step shell(const std::string &script)
{
	return [script](const std::string &w) {
		return run({"sh", "-c", script}, "/bin/sh", w + "/setup.out",
		    w + "/setup.out");
	};
}

outcome sandbox(const std::string &setup, const std::vector<std::string> &args,
    const std::string &tmpfs_options)
{
	return contain(shell(setup), &args, tmpfs_options);
}

outcome sandbox_script(const std::string &script,
    const std::string &tmpfs_options)
{
	return contain(shell(script), nullptr, tmpfs_options);
}

outcome sandbox_fn(const std::function<int(std::string &report)> &fn,
    const std::string &tmpfs_options)
{
	return contain(
	    [&fn](const std::string &w) {
		    std::string report;
		    int s = fn(report);
		    write_file(w + "/setup.out", report);
		    return s;
	    },
	    nullptr, tmpfs_options);
}

std::vector<std::string> outcome::temporaries() const
{
	return temporaries_in(dir);
}

std::string outcome::file(const std::string &name) const
{
	struct stat st;
	std::string path = dir + "/" + name;
	if (lstat(path.c_str(), &st) == -1 || !S_ISREG(st.st_mode))
		return "<not a regular file>";
	return read_file(path);
}

bool sandbox_possible()
{
	return geteuid() == 0;
}

bool installed(const char *program)
{
	std::string cmd = "command -v " + std::string(program) + " > /dev/null";
	return system(cmd.c_str()) == 0;
}
