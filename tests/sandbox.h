// SPDX-License-Identifier: BSD-2-Clause
#ifndef SANDBOX_H
#define SANDBOX_H

#include <chrono>
#include <functional>
#include <map>
#include <string>
#include <sys/types.h>
#include <vector>

// What one sandboxed run left behind.
struct outcome {
	bool sandboxed = false;   // the namespace and tmpfs were made
	int setup_status = -1;    // exit status of the setup script
	std::string setup_out;    // its standard output and error
	int status = -1;          // the tool's exit status; 128+N for signal N; -1 if not run
	std::string out, err;     // the tool's standard output and error
	bool conf_exists = false;
	mode_t conf_mode = 0;     // lstat of /etc/sysctl.conf afterwards
	std::string conf;         // its text (of the target, for a link)
	std::vector<std::string> etc;  // every name in /etc afterwards, sorted
	std::vector<std::string> temporaries() const;  // sysctl.conf.???? among them
	std::string file(const std::string &name) const;  // text of /etc/<name>
	std::string dir;          // where the copy of /etc is kept
};

// Runs setup with sh, then the tool with args, in a private mount namespace
// with a fresh tmpfs mounted over /etc with the given mount options; then
// copies /etc out for inspection. The script sees the tool's path in
// $MORLVANE and a private scratch directory outside /etc in $W. The machine's
// own /etc is never touched.
outcome sandbox(const std::string &setup, const std::vector<std::string> &args,
    const std::string &tmpfs_options = "size=4m");

// The same with no run of the tool but the script's own.
outcome sandbox_script(const std::string &script,
    const std::string &tmpfs_options = "size=4m");

// The same with fn run inside the namespace in place of a script; what it
// puts in report becomes setup_out and what it returns setup_status.
outcome sandbox_fn(const std::function<int(std::string &report)> &fn,
    const std::string &tmpfs_options = "size=4m");

// True when program is on the PATH.
bool installed(const char *program);

// True where sandbox() can work: root, with mount namespaces.
bool sandbox_possible();

extern const char *const morlvane_bin;

// Helpers for code that runs inside the namespace.

// Starts path with argv, standard input from /dev/null, output appended to
// the given files, in a process group of its own. A program that cannot be
// started exits with status 127.
pid_t spawn(const std::vector<std::string> &argv, const char *path,
    const std::string &out, const std::string &err);
// Waits for pid; returns its exit status, 128+N for signal N, or -2 after
// killing its group at a two-minute deadline.
int await(pid_t pid);
int run(const std::vector<std::string> &argv, const char *path,
    const std::string &out, const std::string &err);

std::string read_file(const std::string &path);
void write_file(const std::string &path, const std::string &text);
// The names in dir shaped like the tool's temporary files.
std::vector<std::string> temporaries_in(const std::string &dir);

extern const char conf[];  // /etc/sysctl.conf
// Puts text at the configuration path the way the tool does, so that a run
// still holding the old file cannot see it change.
void reset(const std::string &text);
// Removes the temporary files a run left in /etc and says how many there were.
size_t sweep();

// The file of a few megabytes (100,000 lines) that the crash tests rewrite,
// and the operands they rewrite it with.
std::string big_conf();
extern const std::vector<std::string> crash_args;
// The tool's argument vector for args.
std::vector<std::string> tool_argv(const std::vector<std::string> &args);

double seconds_since(std::chrono::steady_clock::time_point t);
// Reads "key=N" pairs out of a report.
std::map<std::string, long> figures(const std::string &report);

#endif
