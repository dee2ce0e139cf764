// SPDX-License-Identifier: BSD-2-Clause
// Power cuts under ext4 and xfs: the file system, on a loop device, is shut
// down without flushing its journal, right after a run or in the middle of
// one, then mounted again so that its journal is replayed.

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <linux/types.h>
#include <random>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <thread>
#include <unistd.h>

#include "sandbox.h"

namespace {

struct fs_kind {
	const char *name, *mkfs, *check;
};

// A command run on an image, the texts before and after it, and what the
// cuts found. A held command stops at its open of /etc, under strace.
struct rig {
	fs_kind fs;
	std::string image, log, path, old, fresh;
	std::vector<std::string> argv;
	bool held = false;
	std::map<std::string, int> found;
};

int sh(const rig &r, const std::string &cmd)
{
	return run({"sh", "-c", cmd}, "/bin/sh", r.log, r.log);
}

// Mounts the image at /etc through a loop device that goes with the mount,
// and puts the old text there, durable; returns a descriptor of /etc, or -1.
int mount_old(const rig &r)
{
	if (sh(r, "mount -o loop " + r.image + " /etc") != 0)
		return -1;
	reset(r.old);
	int fd = open("/etc", O_RDONLY | O_CLOEXEC);
	return syncfs(fd) == 0 ? fd : -1;
}

// The state letter of a process: 't' while strace holds it, 'Z' once it
// has ended.
char state(const std::string &proc)
{
	std::string s = read_file(proc + "/stat");
	size_t at = s.rfind(") ");
	return at == std::string::npos ? '?' : s[at + 2];
}

// True while strace holds the tool with a descriptor of /etc open.
bool held_at_etc(const std::string &proc)
{
	std::error_code ec;
	for (const auto &e : std::filesystem::directory_iterator(proc + "/fd", ec))
		if (std::filesystem::read_symlink(e.path(), ec) == "/etc")
			return state(proc) == 't';
	return false;
}

// Runs the command on the old text and cuts the power after delay seconds,
// as soon as it exits when delay is negative, or while it is held with /etc
// open; then replays the journal, runs the tool once more if asked, and
// checks the image. Returns what kept the harness from working, or "".
std::string cut_once(rig &r, double delay, bool rerun)
{
	int fd = mount_old(r), status = -1;
	if (fd == -1)
		return "no mount of the image (no loop device?): " + read_file(r.log);
	std::string err = r.log + ".err";
	pid_t pid = spawn(r.argv, r.path.c_str(), "/dev/null", err);
	std::string proc = "/proc/" + std::to_string(pid);
	while (r.held && !held_at_etc(proc)) {
		if (state(proc) == 'Z')
			return "a run was not held at its open of /etc";
		std::this_thread::yield();
	}
	if (delay < 0)
		status = await(pid);
	std::this_thread::sleep_for(std::chrono::duration<double>(delay));
	// FS_IOC_SHUTDOWN, flag 2: the journal left unflushed (Debian 12's
	// headers lack both names).
	__u32 flags = 2;
	if (ioctl(fd, _IOR('X', 125, __u32), &flags) == -1)
		return std::string("the FS_IOC_SHUTDOWN ioctl failed: ") +
		    strerror(errno);
	close(fd);
	std::map<std::string, int> &f = r.found;
	if (r.held) {
		// Still stopped by strace; killing strace lets it go.
		f["stopped"] += state(proc) == 't';
		std::string s = read_file(proc + "/status");
		size_t at = s.find("TracerPid:");
		if (at != std::string::npos && atoi(s.c_str() + at + 10) > 0)
			kill(atoi(s.c_str() + at + 10), SIGKILL);
	}
	status = delay < 0 ? status : await(pid);
	// A held run fails, if at all, at the sync, after the names' warnings.
	std::string said = "\n" + read_file(err),
	    sync_failed = "\nmorlvane: fsync(/etc): Input/output error\n";
	if (r.held)
		f["misreported"] += status != 0 && (status != 1 ||
		    said.rfind(sync_failed) != said.size() - sync_failed.size());
	unlink(err.c_str());
	if (umount("/etc") == -1 || sh(r, "mount -o loop " + r.image + " /etc"))
		return "no mount after the cut: " + read_file(r.log);
	std::string now = read_file(conf);
	std::vector<std::string> left = temporaries_in("/etc");
	if (rerun)
		f["reruns_failed"] += run(tool_argv(crash_args), morlvane_bin,
		    "/dev/null", "/dev/null") != 0 || read_file(conf) != r.fresh ||
		    temporaries_in("/etc") != left;
	f["temporaries"] += sweep();
	f["unclean"] += umount("/etc") == -1 ||
	    sh(r, std::string(r.fs.check) + " " + r.image) != 0;
	f["cuts"]++;
	f["exit0"] += status == 0;
	f["old"] += now == r.old;
	f["new"] += now == r.fresh;
	f["other"] += now != r.old && now != r.fresh;
	f["false_exit0"] += status == 0 && now != r.fresh;
	return "";
}

// Cuts n times at moments drawn uniformly over [0, length], or right after
// each run when length is negative; adds what it found to report as
// "phase_key=N". Returns the first failure of the harness, or "".
std::string cuts(rig r, int n, double length, bool rerun,
    const std::string &phase, std::string &report)
{
	static std::mt19937 gen(std::random_device{}());
	std::uniform_real_distribution<double> moment(0, std::max(length, 0.0));
	std::string failure;
	for (int i = 0; i < n && failure.empty(); i++)
		failure = cut_once(r, length < 0 ? -1 : moment(gen), rerun);
	for (const auto &[key, count] : r.found)
		report += phase + "_" + key + "=" + std::to_string(count) + " ";
	return failure;
}

// Makes the file system in a sparse image on a tmpfs of the namespace, which
// takes the image with it however the test ends, and runs the tool five times
// uncut for the new text. Returns the median length of a run (spawn to
// waitpid), or -1.
double prepare(rig &r)
{
	std::string dir = std::string(getenv("W")) + "/disk";
	r.image = dir + "/fs.img", r.log = dir + ".log", r.old = big_conf();
	if (sh(r, "mkdir " + dir + " && mount -t tmpfs -o size=512m tmpfs " + dir +
	    " && truncate -s 300M " + r.image + " && " + r.fs.mkfs + " " +
	    r.image) != 0)
		return -1;
	std::vector<double> lengths;
	for (int i = 0; i < 5; i++) {
		int fd = mount_old(r);
		if (fd == -1)
			return -1;
		close(fd);
		auto t = std::chrono::steady_clock::now();
		run(r.argv, r.path.c_str(), "/dev/null", "/dev/null");
		lengths.push_back(seconds_since(t));
		r.fresh = read_file(conf);
		umount("/etc");
	}
	std::sort(lengths.begin(), lengths.end());
	return lengths[2];
}

const fs_kind kinds[] = {{"ext4", "mkfs.ext4 -q -F", "e2fsck -fn"},
    {"xfs", "mkfs.xfs -q -f", "xfs_repair -n"}};
const int after_cuts = 15, during_cuts = 60, held_cuts = 10;

class PowerCut : public ::testing::TestWithParam<fs_kind> {};

// After: a run that exited 0 keeps its new text. During: a cut drawn
// uniformly over a run leaves the old or the new text, and the next run goes
// through whatever was left. Held: a cut after the rename, while the run
// holds /etc open to sync it, fails the run with the sync's message. In
// every phase exit 0 means the new text, for runs the cut caught too: a
// failing disk cuts with the machine alive. And the harness finds the fault
// it is for: runs whose fsync calls do nothing lose their change. With
// MORLVANE_CUT_SED set it also measures the README's sed -i recipe, cut
// right after it returns, without asserting on it.
TEST_P(PowerCut, AfterAndDuringARun)
{
	ASSERT_TRUE(sandbox_possible()) << "run the tests as root";
	ASSERT_EQ(access("/dev/loop-control", F_OK), 0)
	    << "no loop devices: /dev/loop-control is missing";
	const fs_kind kind = GetParam();
	outcome o = sandbox_fn([kind](std::string &report) {
		rig r;
		r.fs = kind, r.path = morlvane_bin, r.argv = tool_argv(crash_args);
		double length = prepare(r);
		if (length < 0) {
			report = "no image: " + read_file(r.log);
			return 1;
		}
		std::string trace = std::string(getenv("W")) + "/trace";
		rig nofsync = r, sed = r, held = r;
		// With -D the process started becomes the tool, and its status is
		// the run's; the tracer, a grandchild, holds the open of /etc for
		// 100 s or until it is killed.
		held.path = "/usr/bin/strace", held.held = true;
		held.argv = {"strace", "-D", "-qq", "-o", "/dev/null", "-P", "/etc",
		    "-e", "trace=openat", "-e", "inject=openat:delay_exit=100000000",
		    morlvane_bin};
		held.argv.insert(held.argv.end(), crash_args.begin(), crash_args.end());
		nofsync.path = "/usr/bin/strace";
		nofsync.argv = {"strace", "-f", "-qq", "-A", "-o", trace, "-e",
		    "trace=fsync", "-e", "inject=fsync:retval=0", morlvane_bin};
		nofsync.argv.insert(nofsync.argv.end(), crash_args.begin(),
		    crash_args.end());
		std::string failure = cuts(r, after_cuts, -1, false, "after", report);
		if (failure.empty())
			failure = cuts(r, during_cuts, length, true, "during", report);
		setenv("ASAN_OPTIONS", "detect_leaks=0", 1);  // no leak check under strace
		if (failure.empty())
			failure = cuts(nofsync, after_cuts, -1, false, "nofsync", report);
		if (failure.empty())
			failure = cuts(held, held_cuts, 0, false, "held", report);
		if (failure.empty() && getenv("MORLVANE_CUT_SED") != nullptr) {
			sed.path = "/bin/sed", sed.fresh = r.old;
			sed.argv = {"sed", "-i", "s/^crash.key10=.*/crash.key10=a/", conf};
			std::string line = "\ncrash.key10=value10\n";
			sed.fresh.replace(sed.fresh.find(line), line.size(),
			    "\ncrash.key10=a\n");
			failure = cuts(sed, after_cuts, -1, false, "sed", report);
		}
		// Every run under strace had both of its fsync calls voided.
		int injected_wrong = sh(r, "test $(grep -c INJECTED " + trace +
		    ") = " + std::to_string(2 * after_cuts));
		int loops_left = sh(r, "test -z \"$(losetup -j " + r.image + ")\"");
		report += "changed=" + std::to_string(r.fresh != r.old) +
		    " run_us=" + std::to_string(long(length * 1e6)) +
		    " injected_wrong=" + std::to_string(injected_wrong) +
		    " loops_left=" + std::to_string(loops_left) + "\n" + failure;
		return failure.empty() ? 0 : 1;
	});
	ASSERT_TRUE(o.sandboxed) << "could not make the namespace";
	ASSERT_EQ(o.setup_status, 0) << o.setup_out;
	printf("%s %s\n", kind.name, o.setup_out.c_str());
	std::map<std::string, long> f = figures(o.setup_out);
	for (const char *key : {"after_unclean", "during_unclean",
	    "nofsync_unclean", "held_unclean", "during_other", "held_other",
	    "after_false_exit0", "during_false_exit0", "held_false_exit0",
	    "held_misreported", "during_reruns_failed",
	    "injected_wrong", "loops_left"})
		EXPECT_EQ(f[key], 0) << key;
	EXPECT_EQ(f["changed"], 1);
	EXPECT_EQ(f["after_new"], after_cuts);
	EXPECT_EQ(f["during_cuts"], during_cuts);
	EXPECT_GT(f["during_old"], 0) << "no cut came before the rename";
	EXPECT_GT(f["during_new"], 0) << "no cut came after the sync of /etc";
	EXPECT_EQ(f["held_stopped"], held_cuts) << "a run went on before the cut";
	EXPECT_GT(f["held_old"], 0) << "no held run had a rename still to lose";
	EXPECT_EQ(f["nofsync_exit0"], after_cuts);
	EXPECT_GT(f["nofsync_false_exit0"], 0)
	    << "the cuts missed runs that skip fsync";
}

INSTANTIATE_TEST_SUITE_P(FileSystems, PowerCut, ::testing::ValuesIn(kinds),
    [](const ::testing::TestParamInfo<fs_kind> &info) {
	    return std::string(info.param.name);
    });

} // namespace
