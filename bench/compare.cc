// SPDX-License-Identifier: BSD-2-Clause
// Times whole runs of morlvane side by side with a plain copy of the file
// (the floor), sed -i and an awk merge, on generated files in /etc. Meant to
// run in a private mount namespace with a tmpfs over /etc (see compare.sh):
// it overwrites /etc/sysctl.conf.
//
// usage: compare MORLVANE COPY AWK [ROUNDS_SCALE [ONLY]]
// AWK is the awk binary itself: /etc/alternatives is out of sight in the
// namespace. ONLY runs the scenarios whose label contains it.

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <vector>

#include "inputs.h"

namespace {

const char conf[] = "/etc/sysctl.conf";

struct scenario {
	const char *what;
	int lines;
	int operands;
	int rounds;
	bool with_sed;
	names kind;
	int fewer;  // also time morlvane with this many operands, interleaved
};

struct tool {
	std::string name;
	std::vector<std::string> argv;
	std::vector<double> ms;
	long max_rss_kb = 0;
	std::string output;
};

std::string sed_escape(const std::string &s)
{
	std::string e;
	for (char c : s) {
		if (strchr(".[]*^$\\/&", c) != nullptr)
			e += '\\';
		e += c;
	}
	return e;
}

std::vector<std::string> sed_argv(const std::vector<std::string> &ops,
    int replace)
{
	std::vector<std::string> argv = {"sed", "-i"};
	for (int j = 0; j < replace; j++) {
		size_t eq = ops[j].find('=');
		std::string name = ops[j].substr(0, eq);
		argv.push_back("-e");
		argv.push_back("s/^[[:space:]]*" + sed_escape(name) + "=.*/" +
		    sed_escape(ops[j]) + "/");
	}
	if (size_t(replace) < ops.size()) {
		std::string append = "$a\\";
		for (size_t j = replace; j < ops.size(); j++)
			append += "\n" + ops[j] + (j + 1 < ops.size() ? "\\" : "");
		argv.push_back("-e");
		argv.push_back(append);
	}
	argv.push_back(conf);
	return argv;
}

const char awk_operands[] = "/etc/bench-operands";
const char awk_merge[] =
    "BEGIN { while ((getline op < ops) > 0) { eq = index(op, \"=\");"
    "    k = substr(op, 1, eq - 1);"
    "    if (!(k in val)) { val[k] = substr(op, eq + 1); order[++m] = k } } }"
    "{ line = $0; sub(/^[ \\t\\r\\v\\f]+/, \"\", line); eq = index(line, \"=\");"
    "  if (eq) { k = substr(line, 1, eq - 1);"
    "    if (k in val) { print k \"=\" val[k]; done[k] = 1; next } }"
    "  print }"
    "END { for (i = 1; i <= m; i++) if (!(order[i] in done))"
    "  print order[i] \"=\" val[order[i]] }";

// The operands go to awk in a file: as one argument they would pass the
// kernel's limit for one.
std::vector<std::string> awk_argv(const std::string &awk,
    const std::vector<std::string> &ops)
{
	FILE *f = fopen(awk_operands, "w");
	for (const std::string &op : ops)
		fprintf(f, "%s\n", op.c_str());
	if (fclose(f) != 0) {
		perror(awk_operands);
		exit(1);
	}
	std::string script = "\"$1\" -v ops=" + std::string(awk_operands) +
	    " '" + awk_merge + "' /etc/sysctl.conf > /etc/sysctl.conf.awk && "
	    "mv /etc/sysctl.conf.awk /etc/sysctl.conf";
	return {"sh", "-c", script, "sh", awk};
}

void put(const std::string &text)
{
	FILE *f = fopen("/etc/sysctl.conf.reset", "w");
	if (f == nullptr || fwrite(text.data(), 1, text.size(), f) != text.size() ||
	    fclose(f) != 0 || rename("/etc/sysctl.conf.reset", conf) != 0) {
		perror("reset");
		exit(1);
	}
}

std::string get()
{
	std::string s;
	FILE *f = fopen(conf, "r");
	if (f == nullptr)
		return s;
	char b[1 << 16];
	size_t n;
	while ((n = fread(b, 1, sizeof b, f)) > 0)
		s.append(b, n);
	fclose(f);
	return s;
}

double now_ms()
{
	struct timespec ts;
	clock_gettime(CLOCK_MONOTONIC, &ts);
	return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

// Programs are started by a small process forked before any input is built:
// a child's peak RSS counts what it inherited before its exec, and a fork of
// a large process costs time of its own.
int spawn_request = -1, spawn_reply = -1;

struct result {
	int status;
	double ms;
	long max_rss_kb;
};

void transfer(ssize_t (*io)(int, void *, size_t), int fd, void *p, size_t n)
{
	char *c = static_cast<char *>(p);
	while (n > 0) {
		ssize_t k = io(fd, c, n);
		if (k <= 0)
			_exit(3);
		c += k;
		n -= size_t(k);
	}
}

ssize_t write_some(int fd, void *p, size_t n)
{
	return write(fd, p, n);
}

[[noreturn]] void serve(int request, int reply)
{
	for (;;) {
		size_t n;
		transfer(read, request, &n, sizeof n);
		std::string blob(n, '\0');
		transfer(read, request, blob.data(), n);
		std::vector<char *> v;
		for (size_t at = 0; at < n; at += strlen(&blob[at]) + 1)
			v.push_back(&blob[at]);
		v.push_back(nullptr);
		double start = now_ms();
		pid_t pid = fork();
		if (pid == 0) {
			int null = open("/dev/null", O_RDWR);
			dup2(null, 0);
			dup2(null, 1);
			dup2(null, 2);
			execvp(v[0], v.data());
			_exit(127);
		}
		int status;
		struct rusage ru;
		wait4(pid, &status, 0, &ru);
		result r = {status, now_ms() - start, ru.ru_maxrss};
		transfer(write_some, reply, &r, sizeof r);
	}
}

void start_spawner()
{
	int request[2], reply[2];
	if (pipe(request) == -1 || pipe(reply) == -1) {
		perror("pipe");
		exit(1);
	}
	if (fork() == 0) {
		close(request[1]);
		close(reply[0]);
		serve(request[0], reply[1]);
	}
	close(request[0]);
	close(reply[1]);
	spawn_request = request[1];
	spawn_reply = reply[0];
}

// Runs the tool once with its output discarded; returns its wall time.
double time_run(tool &t)
{
	std::string blob;
	for (const std::string &a : t.argv)
		blob.append(a.c_str(), a.size() + 1);
	size_t n = blob.size();
	transfer(write_some, spawn_request, &n, sizeof n);
	transfer(write_some, spawn_request, blob.data(), n);
	result r;
	transfer(read, spawn_reply, &r, sizeof r);
	if (!WIFEXITED(r.status) || WEXITSTATUS(r.status) != 0) {
		fprintf(stderr, "%s failed\n", t.name.c_str());
		exit(1);
	}
	t.max_rss_kb = std::max(t.max_rss_kb, r.max_rss_kb);
	return r.ms;
}

double median(std::vector<double> v)
{
	std::sort(v.begin(), v.end());
	return v[v.size() / 2];
}

void measure(const scenario &s, const char *morlvane, const char *copy,
    const char *awk, double scale)
{
	std::string text = make_text(s.lines, s.kind);
	std::vector<std::string> ops = make_operands(s.lines, s.operands, s.kind);
	std::vector<tool> tools;
	std::vector<std::string> argv = {morlvane};
	argv.insert(argv.end(), ops.begin(), ops.end());
	tools.push_back({"morlvane", argv, {}, 0, {}});
	tools.push_back({"copy", {copy}, {}, 0, {}});
	if (s.with_sed)
		tools.push_back({"sed -i", sed_argv(ops, (s.operands + 1) / 2), {},
		    0, {}});
	tools.push_back({"awk", awk_argv(awk, ops), {}, 0, {}});
	if (s.fewer > 0) {
		std::vector<std::string> few = {morlvane};
		for (const std::string &op : make_operands(s.lines, s.fewer, s.kind))
			few.push_back(op);
		tools.push_back({"morlvane, " + std::to_string(s.fewer), few,
		    {}, 0, {}});
	}

	// One run each first, to check that they agree and to warm the caches.
	for (tool &t : tools) {
		put(text);
		time_run(t);
		t.output = get();
	}
	int rounds = std::max(3, int(s.rounds * scale));
	for (int r = 0; r < rounds; r++)
		for (tool &t : tools) {
			put(text);
			t.ms.push_back(time_run(t));
		}

	double floor = median(tools[1].ms);
	printf("\n%s: %d lines (%.1f MB), %d operands, %s, median of %d "
	       "interleaved runs\n", s.what, s.lines, text.size() / 1e6, s.operands,
	    names_what(s.kind), rounds);
	printf("| %-13s | %10s | %8s | %12s | %-22s |\n", "program", "median ms",
	    "vs copy", "peak RSS KB", "output");
	printf("|---------------|-----------:|---------:|-------------:|"
	       "------------------------|\n");
	for (const tool &t : tools) {
		const char *same = &t == &tools[1] ? "the input unchanged" :
		    s.fewer > 0 && &t == &tools.back() ? "fewer operands" :
		    t.output == tools[0].output ? "same as morlvane" :
		    "DIFFERS from morlvane";
		printf("| %-13s | %10.3f | %7.2fx | %12ld | %-22s |\n",
		    t.name.c_str(), median(t.ms), median(t.ms) / floor, t.max_rss_kb,
		    same);
	}
	if (s.fewer > 0)
		printf("%d operands take %.2f times as long as %d\n", s.operands,
		    median(tools[0].ms) / median(tools.back().ms), s.fewer);
	fflush(stdout);
}

} // namespace

int main(int argc, char *argv[])
{
	if (argc < 4) {
		fprintf(stderr,
		    "usage: compare MORLVANE COPY AWK [ROUNDS_SCALE [ONLY]]\n");
		return 2;
	}
	start_spawner();
	double scale = argc > 4 ? atof(argv[4]) : 1.0;
	const char *only = argc > 5 ? argv[5] : "";
	const scenario scenarios[] = {
		{"small", 60, 3, 400, true, names::plain, 0},
		{"medium", 100000, 100, 30, true, names::plain, 0},
		{"large", 1000000, 10000, 15, false, names::plain, 100},
		{"large, few operands", 1000000, 3, 15, false, names::plain, 0},
		{"interfaces", 1000000, 10000, 15, false, names::interfaces, 100},
		{"missing", 1000000, 10000, 15, false, names::missing, 100},
	};
	for (const scenario &s : scenarios)
		if (strstr(s.what, only) != nullptr)
			measure(s, argv[1], argv[2], argv[3], scale);
	return 0;
}
