// SPDX-License-Identifier: BSD-2-Clause
// The file survives whatever happens to a run: many runs at once, a SIGKILL
// at any moment, any system call failing, any byte on the command line.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <cstdio>
#include <map>
#include <random>
#include <set>
#include <regex>
#include <signal.h>
#include <sstream>
#include <thread>
#include <unistd.h>

#include "sandbox.h"

namespace {

class Reliability : public ::testing::Test {
protected:
	void SetUp() override
	{
		ASSERT_TRUE(sandbox_possible())
		    << "run the tests as root: they need a private mount namespace";
	}
};

void expect_ran(const outcome &o)
{
	ASSERT_TRUE(o.sandboxed) << "could not make the namespace";
	ASSERT_EQ(o.setup_status, 0) << o.setup_out;
}

bool well_formed(const std::string &text)
{
	if (!text.empty() && text.back() != '\n')
		return false;
	std::istringstream in(text);
	std::string line;
	while (std::getline(in, line))
		if (line.empty() || (line[0] != '#' && (line.find('=') == 0 ||
		    line.find('=') == std::string::npos)))
			return false;
	return true;
}

// Rounds of 32 runs that each set a name of their own and 8 that all set one
// shared name, started together against one file.
TEST_F(Reliability, ConcurrentRunsLoseNothing)
{
	const int rounds = 5, distinct = 32, shared = 8;
	for (int round = 0; round < rounds; round++) {
		SCOPED_TRACE(round);
		outcome o = sandbox_script(
		    "seq 1 5000 | sed 's/.*/pad.v&=&/' > /etc/sysctl.conf && "
		    "for i in $(seq 1 " + std::to_string(distinct) + "); do "
		    "{ $MORLVANE stress.v$i=$i 2>/dev/null; echo exit=$?; } & done; "
		    "for i in $(seq 1 " + std::to_string(shared) + "); do "
		    "{ $MORLVANE shared.v=$i 2>/dev/null; echo exit=$?; } & done; "
		    "wait");
		expect_ran(o);
		int zeros = 0;
		for (size_t at = 0; (at = o.setup_out.find("exit=0\n", at)) !=
		    std::string::npos; at++)
			zeros++;
		EXPECT_EQ(zeros, distinct + shared) << o.setup_out;
		for (int i = 1; i <= distinct; i++) {
			std::string line = "\nstress.v" + std::to_string(i) + "=" +
			    std::to_string(i) + "\n";
			size_t at = o.conf.find(line);
			EXPECT_NE(at, std::string::npos) << line;
			EXPECT_EQ(o.conf.find(line, at + 1), std::string::npos) << line;
		}
		size_t at = o.conf.find("\nshared.v=");
		EXPECT_NE(at, std::string::npos);
		EXPECT_EQ(o.conf.find("\nshared.v=", at + 1), std::string::npos);
		EXPECT_EQ(std::count(o.conf.begin(), o.conf.end(), '\n'),
		    5000 + distinct + 1);
		EXPECT_TRUE(well_formed(o.conf));
		EXPECT_EQ(o.temporaries().size(), 0u);
	}
}

// Kills runs with SIGKILL at delays drawn uniformly over the length of an
// unkilled run: the file must always be the whole old or the whole new text.
TEST_F(Reliability, KilledRunLeavesOldOrNewText)
{
	outcome o = sandbox_fn(
	    [](std::string &report) {
		    const std::string old = big_conf();
		    std::vector<std::string> argv = tool_argv(crash_args);
		    std::vector<double> lengths;
		    std::string fresh;
		    for (int i = 0; i < 7; i++) {
			    reset(old);
			    auto t = std::chrono::steady_clock::now();
			    if (run(argv, morlvane_bin, "/dev/null", "/dev/null") != 0)
				    return 1;
			    lengths.push_back(seconds_since(t));
			    fresh = read_file(conf);
		    }
		    std::sort(lengths.begin(), lengths.end());
		    double length = lengths[lengths.size() / 2];

		    unsigned seed = std::random_device()();
		    std::mt19937 gen(seed);
		    std::uniform_real_distribution<double> delay(0, length);
		    int kills = 300, olds = 0, news = 0, others = 0;
		    size_t left = 0;
		    for (int i = 0; i < kills; i++) {
			    reset(old);
			    pid_t pid = spawn(argv, morlvane_bin, "/dev/null",
				"/dev/null");
			    std::this_thread::sleep_for(
				std::chrono::duration<double>(delay(gen)));
			    kill(pid, SIGKILL);
			    await(pid);
			    std::string now = read_file(conf);
			    olds += now == old;
			    news += now == fresh;
			    others += now != old && now != fresh;
			    left += sweep();
		    }
		    report = "kills=" + std::to_string(kills) +
			" old=" + std::to_string(olds) +
			" new=" + std::to_string(news) +
			" other=" + std::to_string(others) +
			" temporaries=" + std::to_string(left) +
			" run_us=" + std::to_string(long(length * 1e6)) +
			" seed=" + std::to_string(seed) +
			" changed=" + std::to_string(fresh != old) + "\n";
		    return 0;
	    },
	    "size=64m");
	expect_ran(o);
	std::map<std::string, long> f = figures(o.setup_out);
	printf("%s", o.setup_out.c_str());
	EXPECT_EQ(f["changed"], 1);
	EXPECT_EQ(f["kills"], 300);
	EXPECT_EQ(f["other"], 0) << o.setup_out;
	EXPECT_GT(f["old"], 0) << o.setup_out;
	EXPECT_GT(f["new"], 0) << o.setup_out;
	EXPECT_GT(f["temporaries"], 0) << o.setup_out;
}

// The temporary file reaches stable storage before it is renamed into place,
// and the directory after.
TEST_F(Reliability, TemporaryIsSyncedBeforeTheRenameAndTheDirectoryAfter)
{
	ASSERT_TRUE(installed("strace")) << "strace is not installed";
	outcome o = sandbox_script("printf 'a.b=1\\n' > /etc/sysctl.conf && "
	    "ASAN_OPTIONS=detect_leaks=0 strace -qq -o $W/trace "
	    "-e trace=openat,fsync,rename,renameat,renameat2 "
	    "$MORLVANE vm.swappiness=1 && cat $W/trace");
	expect_ran(o);
	std::smatch m;
	std::string t = std::regex_replace(o.setup_out, std::regex("\\) +="), ") =");
	ASSERT_TRUE(std::regex_search(t, m, std::regex(
	    "openat\\(AT_FDCWD, \"(/etc/sysctl\\.conf\\.[A-Za-z0-9]{4})\", "
	    "O_RDWR\\|O_CREAT\\|O_EXCL, 0600\\) = ([0-9]+)"))) << t;
	std::string tmp = m[1], fd = m[2];
	size_t created = m.position(0);
	size_t synced = t.find("fsync(" + fd + ") = 0", created);
	size_t renamed = t.find("rename(\"" + tmp + "\", \"/etc/sysctl.conf\") = 0");
	ASSERT_TRUE(std::regex_search(t, m, std::regex(
	    "openat\\(AT_FDCWD, \"/etc\", O_RDONLY[^)]*\\) = ([0-9]+)"))) << t;
	size_t dir_opened = m.position(0);
	size_t dir_synced = t.find("fsync(" + std::string(m[1]) + ") = 0",
	    dir_opened);
	EXPECT_NE(synced, std::string::npos) << t;
	EXPECT_NE(renamed, std::string::npos) << t;
	EXPECT_NE(dir_synced, std::string::npos) << t;
	EXPECT_LT(synced, renamed) << t;
	EXPECT_LT(renamed, dir_opened) << t;
}

// The system calls that handle files, the ones a run is judged by when they
// fail. Memory and signal calls are left out: under the sanitizers they are
// the sanitizer runtime's as much as the tool's.
const std::set<std::string> file_calls = {"openat", "open", "read", "pread64",
    "write", "close", "newfstatat", "fstat", "statx", "lseek", "flock", "fcntl",
    "fsync", "fdatasync", "chmod", "fchmodat", "rename", "renameat",
    "renameat2", "unlink", "unlinkat", "getrandom", "faccessat", "faccessat2",
    "access"};

// Every file system call of a run fails in turn, each occurrence of it once:
// the file is then the old or the new text, no temporary file is left, and
// the run exits 0 only with the new text in place.
TEST_F(Reliability, EverySystemCallFailingInTurn)
{
	ASSERT_TRUE(installed("strace")) << "strace is not installed";
	outcome o = sandbox_fn([](std::string &report) {
		const std::string old = "# tuned\nvm.swappiness=60\nkernel.x=1";
		std::vector<std::string> args = {"vm.swappiness=1", "net.new.v=2"};
		std::string log = std::string(getenv("W")) + "/calls";
		setenv("ASAN_OPTIONS", "detect_leaks=0", 1);

		reset(old);
		std::vector<std::string> argv = {"strace", "-qq", "-o", log,
		    morlvane_bin};
		argv.insert(argv.end(), args.begin(), args.end());
		if (run(argv, "/usr/bin/strace", "/dev/null", "/dev/null") != 0)
			return 1;
		std::string fresh = read_file(conf);
		std::map<std::string, int> calls;
		std::istringstream trace(read_file(log));
		std::string line;
		while (std::getline(trace, line)) {
			size_t paren = line.find('(');
			if (paren == std::string::npos || line[0] == '+' ||
			    line[0] == '-')
				continue;
			std::string name = line.substr(0, paren);
			if (file_calls.count(name) != 0)
				calls[name]++;
		}

		int injected = 0, succeeded = 0, olds = 0, news = 0, others = 0;
		int false_success = 0, hangs = 0;
		size_t left = 0;
		for (const auto &[name, count] : calls) {
			std::string error = name == "write" ? "ENOSPC" : "EIO";
			for (int k = 1; k <= count; k++) {
				reset(old);
				std::vector<std::string> inject = {"strace", "-qq", "-o",
				    "/dev/null", "-e", "trace=" + name, "-e",
				    "inject=" + name + ":error=" + error + ":when=" +
					std::to_string(k), morlvane_bin};
				inject.insert(inject.end(), args.begin(), args.end());
				int status = run(inject, "/usr/bin/strace", "/dev/null",
				    "/dev/null");
				std::string now = read_file(conf);
				injected++;
				succeeded += status == 0;
				hangs += status == -2;
				olds += now == old;
				news += now == fresh;
				others += now != old && now != fresh;
				false_success += status == 0 && now != fresh;
				if (size_t n = sweep()) {
					left += n;
					report += "left by " + name + " #" +
					    std::to_string(k) + "\n";
				}
				if (now != old && now != fresh)
					report += "damaged by " + name + " #" +
					    std::to_string(k) + "\n";
			}
		}
		report += "syscalls=" + std::to_string(calls.size()) +
		    " injected=" + std::to_string(injected) +
		    " exit0=" + std::to_string(succeeded) +
		    " old=" + std::to_string(olds) + " new=" + std::to_string(news) +
		    " other=" + std::to_string(others) +
		    " false_success=" + std::to_string(false_success) +
		    " hangs=" + std::to_string(hangs) +
		    " temporaries=" + std::to_string(left) + "\n";
		return 0;
	});
	expect_ran(o);
	printf("%s", o.setup_out.c_str());
	std::map<std::string, long> f = figures(o.setup_out);
	EXPECT_GT(f["injected"], 20);
	EXPECT_EQ(f["other"], 0) << o.setup_out;
	EXPECT_EQ(f["false_success"], 0) << o.setup_out;
	EXPECT_EQ(f["hangs"], 0) << o.setup_out;
	EXPECT_EQ(f["temporaries"], 0) << o.setup_out;
	EXPECT_GT(f["old"], 0);
	EXPECT_GT(f["new"], 0);
}

struct call_case {
	const char *syscall;
	const char *after;  // the call is the first one after a line matching this
	const char *line;   // and matching this
	const char *error;
	const char *message;  // a regular expression
	bool replaced;        // the new text is in place all the same
};

// Each failure the tool reports, provoked by making the one system call
// behind it fail.
const call_case call_cases[] = {
	{"newfstatat", "^execve", "AT_FDCWD, \"/etc/sysctl.conf\"", "EIO",
	    "stat\\(/etc/sysctl.conf\\): Input/output error", false},
	{"openat", "^execve", "\"/etc/sysctl.conf\", O_RDWR\\)", "EACCES",
	    "fopen\\(/etc/sysctl.conf\\): Permission denied", false},
	{"flock", "^execve", "", "ENOLCK", "flock\\(\\): No locks available",
	    false},
	{"newfstatat", "^flock", "AT_EMPTY_PATH", "EIO",
	    "fstat\\(\\): Input/output error", false},
	{"openat", "^flock", "sysctl\\.conf\\.[A-Za-z0-9]{4}\", O_RDWR\\|O_CREAT",
	    "EACCES", "mkstemp\\(\\): Permission denied", false},
	{"fcntl", "O_CREAT\\|O_EXCL", "F_GETFL", "EIO",
	    "fdopen\\(\\): Input/output error", false},
	{"read", "O_CREAT\\|O_EXCL", "", "EIO",
	    "getline\\(\\): Input/output error", false},
	{"write", "O_CREAT\\|O_EXCL", "", "ENOSPC",
	    "fflush\\(\\): No space left on device", false},
	{"fsync", "O_CREAT\\|O_EXCL", "", "EIO",
	    "fsync\\(\\): Input/output error", false},
	{"close", "^fsync", "", "EIO", "fclose\\(\\): Input/output error", false},
	{"chmod", "^execve", "", "EPERM",
	    "chmod\\(/etc/sysctl\\.conf\\.[A-Za-z0-9]{4}, 33188\\): "
	    "Operation not permitted", false},
	{"rename", "^execve", "", "EXDEV",
	    "rename\\(\\): Invalid cross-device link", false},
	{"openat", "^rename", "\"/etc\", O_RDONLY", "EACCES",
	    "fsync\\(/etc\\): Permission denied", true},
	{"fsync", "^rename", "", "EIO", "fsync\\(/etc\\): Input/output error",
	    true},
	// A file system that has shut down refuses the status of /etc.
	{"newfstatat", "^rename", "AT_EMPTY_PATH", "EIO",
	    "fsync\\(/etc\\): Input/output error", true},
};

// Says which occurrence of c.syscall in the trace is the call of the case.
int occurrence(const std::string &trace, const call_case &c)
{
	std::istringstream in(trace);
	std::string line;
	std::regex after(c.after), match(c.line);
	bool past = false;
	int k = 0;
	while (std::getline(in, line)) {
		if (line.compare(0, strlen(c.syscall) + 1,
		    std::string(c.syscall) + "(") == 0) {
			k++;
			if (past && std::regex_search(line, match))
				return k;
		}
		past = past || std::regex_search(line, after);
	}
	return 0;
}

const std::string call_old = "# keep\nvm.swappiness=60\n";
const std::string put_call_old = "printf '" + call_old +
    "' > /etc/sysctl.conf && chmod 644 /etc/sysctl.conf && "
    "export ASAN_OPTIONS=detect_leaks=0 && ";

// The system calls of one successful run, as strace shows them.
std::string call_trace()
{
	outcome o = sandbox_script(put_call_old +
	    "strace -qq -o $W/trace $MORLVANE vm.swappiness=1 && cat $W/trace");
	return o.setup_status == 0 ? o.setup_out : "";
}

// Runs the tool with the k-th call of syscall failing from then on (or just
// that once), then prints the exit status.
std::string injected(const std::string &syscall, const std::string &error,
    int k, bool onwards)
{
	return put_call_old + "strace -qq -o $W/trace -e inject=" + syscall +
	    ":error=" + error + ":when=" + std::to_string(k) +
	    (onwards ? "+" : "") + " $MORLVANE vm.swappiness=1; echo status=$?";
}

TEST_F(Reliability, EachFailureReportsItsCall)
{
	ASSERT_TRUE(installed("strace")) << "strace is not installed";
	std::string trace = call_trace();
	outcome before = sandbox_script(put_call_old + "true");
	for (const call_case &c : call_cases) {
		SCOPED_TRACE(c.message);
		int k = occurrence(trace, c);
		ASSERT_GT(k, 0) << trace;
		outcome o = sandbox_script(injected(c.syscall, c.error, k, false));
		ASSERT_TRUE(o.sandboxed);
		EXPECT_TRUE(std::regex_match(o.setup_out, std::regex(
		    std::string("morlvane: ") + c.message + "\nstatus=1\n")))
		    << o.setup_out;
		EXPECT_EQ(o.conf, c.replaced ? "# keep\nvm.swappiness=1\n" : call_old);
		EXPECT_EQ(o.etc, before.etc);
	}
}

// When every name it draws is taken, the run gives up after 100 of them.
TEST_F(Reliability, TemporaryNameGivesUpAfterAHundredTries)
{
	ASSERT_TRUE(installed("strace")) << "strace is not installed";
	const call_case &mkstemp = call_cases[4];
	int k = occurrence(call_trace(), mkstemp);
	ASSERT_GT(k, 0);
	outcome o = sandbox_script(injected("openat", "EEXIST", k, true) +
	    "; grep -c 'sysctl.conf\\.[A-Za-z0-9]\\{4\\}\", O_RDWR|O_CREAT|O_EXCL' "
	    "$W/trace");
	expect_ran(o);
	EXPECT_EQ(o.setup_out, "morlvane: mkstemp(): File exists\nstatus=1\n100\n");
	EXPECT_EQ(o.conf, call_old);
}

std::string warning(const std::string &name)
{
	return "morlvane: Warning: Unknown sysctl name '" + name + "'\n";
}

const std::string sample = "# keep\nvm.swappiness=60\n";
const std::string write_sample =
    "printf '# keep\\nvm.swappiness=60\\n' > /etc/sysctl.conf";

// Every byte but zero, in a name and in a value. The bytes that a name or a
// value refuses are run one by one; all the others in one run, where each
// operand must come out as a line of its own, exactly as given.
TEST_F(Reliability, EveryByteInNamesAndValues)
{
	std::vector<std::string> accepted;
	std::string want_err, want_conf = sample;
	auto accept = [&](const std::string &operand, const std::string &name,
	    const std::string &line) {
		accepted.push_back(operand);
		want_err += warning(name);
		want_conf += line + "\n";
	};
	for (int b = 1; b < 256; b++) {
		char hex[8];
		snprintf(hex, sizeof hex, "%02x", b);
		std::string byte(1, char(b));
		SCOPED_TRACE(hex);

		std::string name = "by.te" + byte + hex;
		if (std::string("\t\n\r ").find(char(b)) != std::string::npos) {
			outcome o = sandbox(write_sample, {name + "=v"});
			expect_ran(o);
			EXPECT_EQ(o.status, 1);
			EXPECT_EQ(o.err, "morlvane: Error: Invalid sysctl name\n");
			EXPECT_EQ(o.conf, sample);
		} else if (b == '=') {
			accept(name + "=v", "by.te", name + "=v");
		} else {
			accept(name + "=v", name, name + "=v");
		}

		std::string key = std::string("va.lue") + hex;
		if (b == '\n') {
			outcome o = sandbox(write_sample, {key + "=a\nb"});
			expect_ran(o);
			EXPECT_EQ(o.status, 1);
			EXPECT_EQ(o.err, "morlvane: Error: Invalid value for '" + key +
			    "'\n");
			EXPECT_EQ(o.conf, sample);
		} else {
			accept(key + "=a" + byte + "b", key, key + "=a" + byte + "b");
		}
		bool leading_white =
		    std::string(" \t\n\v\f\r").find(char(b)) != std::string::npos;
		accept(key + "x=" + byte + "b", key + "x",
		    key + "x=" + (leading_white ? "" : byte) + "b");
	}
	outcome o = sandbox(write_sample, accepted);
	expect_ran(o);
	EXPECT_EQ(o.status, 0);
	EXPECT_EQ(o.err, want_err);
	EXPECT_EQ(o.conf, want_conf);
}

TEST_F(Reliability, LargestOperandAndManyOperands)
{
	// Linux takes at most 128 KiB, the terminating zero included, for one
	// argument.
	std::string big = "big.v=" + std::string(131071 - 6, 'x');
	outcome o = sandbox(write_sample, {big});
	expect_ran(o);
	EXPECT_EQ(o.status, 0);
	EXPECT_EQ(o.err, warning("big.v"));
	EXPECT_EQ(o.conf, sample + big + "\n");

	std::vector<std::string> many;
	std::string want_err, want_conf = sample;
	for (int i = 0; i < 10000; i++) {
		std::string name = "many.v" + std::to_string(i);
		many.push_back(name + "=" + std::to_string(i));
		want_err += warning(name);
		want_conf += many.back() + "\n";
	}
	o = sandbox(write_sample, many);
	expect_ran(o);
	EXPECT_EQ(o.status, 0);
	EXPECT_EQ(o.err, want_err);
	EXPECT_EQ(o.conf, want_conf);
}

} // namespace
