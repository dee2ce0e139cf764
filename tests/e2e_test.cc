// SPDX-License-Identifier: BSD-2-Clause
// End-to-end runs of the real binary against a tmpfs over /etc in a private
// mount namespace.

#include <gtest/gtest.h>
#include <regex>
#include <csignal>
#include <sys/stat.h>

#include "sandbox.h"

namespace {

const std::string usage_text =
    "Usage: morlvane -h\n       morlvane var1=val1 var2=val2 ...\n";
const std::string sample =
    "vm.swappiness=60\n# keep\nkernel.domainname=old\n";
const std::string write_sample = "printf '" +
    std::string("vm.swappiness=60\\n# keep\\nkernel.domainname=old\\n") +
    "' > /etc/sysctl.conf";

class E2e : public ::testing::Test {
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

struct cli_case {
	const char *what;
	std::vector<std::string> args;
	int status;
	std::string out;
	std::string err;
	std::string conf;
};

const cli_case cli_cases[] = {
	{"dash h alone prints the usage and fails", {"-h"}, 1, usage_text, "",
	    sample},
	{"no operand prints the usage", {}, 1, usage_text, "", sample},
	{"an option outside the option string is reported by the parser",
	    {"-x"}, 1, usage_text, "morlvane: invalid option -- 'x'\n", sample},
	{"dash h after an assignment is an operand without equals",
	    {"vm.swappiness=1", "-h"}, 1, usage_text, "", sample},
	{"an option after an operand is an operand",
	    {"vm.swappiness=1", "-x=2"}, 1, "",
	    "morlvane: Error: Invalid sysctl name\n", sample},
	{"two dashes end the options", {"--", "-a.b=1"}, 0, "",
	    "morlvane: Warning: Unknown sysctl name '-a.b'\n", sample + "-a.b=1\n"},
	{"an operand without equals prints the usage", {"vm.swappiness"}, 1,
	    usage_text, "", sample},
	{"a name without a dot is invalid even when the kernel has it",
	    {"swappiness=1"}, 1, "", "morlvane: Error: Invalid sysctl name\n",
	    sample},
	{"a name in slash form without a dot is invalid", {"vm/swappiness=1"},
	    1, "", "morlvane: Error: Invalid sysctl name\n", sample},
	{"an empty name is invalid", {"=1"}, 1, "",
	    "morlvane: Error: Invalid sysctl name\n", sample},
	{"a blank in a name is invalid", {"vm.swap piness=1"}, 1, "",
	    "morlvane: Error: Invalid sysctl name\n", sample},
	{"a tab in a name is invalid", {"vm.swap\tpiness=1"}, 1, "",
	    "morlvane: Error: Invalid sysctl name\n", sample},
	{"a carriage return in a name is invalid", {"vm.swappiness\r=1"}, 1, "",
	    "morlvane: Error: Invalid sysctl name\n", sample},
	{"a line feed in a name is invalid", {"vm.\nswappiness=1"}, 1, "",
	    "morlvane: Error: Invalid sysctl name\n", sample},
	{"a vertical tab in a name passes the check", {"vm.swap\vx=1"}, 0, "",
	    "morlvane: Warning: Unknown sysctl name 'vm.swap\vx'\n",
	    sample + "vm.swap\vx=1\n"},
	{"an empty value is refused", {"vm.swappiness="}, 1, "",
	    "morlvane: Error: No value defined for 'vm.swappiness'\n", sample},
	{"a value of whitespace only is refused", {"vm.swappiness= \t\v\f\r"},
	    1, "", "morlvane: Error: No value defined for 'vm.swappiness'\n",
	    sample},
	{"a line feed in a value is refused", {"vm.swappiness=1\nkernel.x=2"},
	    1, "", "morlvane: Error: Invalid value for 'vm.swappiness'\n", sample},
	{"a line feed in a value is refused before the name is probed",
	    {"no.such.var=1\nx"}, 1, "",
	    "morlvane: Error: Invalid value for 'no.such.var'\n", sample},
	{"leading whitespace of a value is dropped, the rest kept",
	    {"vm.swappiness= \t 10 20 "}, 0, "", "",
	    "vm.swappiness=10 20 \n# keep\nkernel.domainname=old\n"},
	{"an operand is split at its first equals",
	    {"kernel.domainname=a=b"}, 0, "", "",
	    "vm.swappiness=60\n# keep\nkernel.domainname=a=b\n"},
	{"a name the kernel lacks warns and is stored", {"no.such.var=1"}, 0,
	    "", "morlvane: Warning: Unknown sysctl name 'no.such.var'\n",
	    sample + "no.such.var=1\n"},
	{"a name below a leaf is unknown", {"kernel.domainname.x=1"}, 0, "",
	    "morlvane: Warning: Unknown sysctl name 'kernel.domainname.x'\n",
	    sample + "kernel.domainname.x=1\n"},
	{"a failing operand after a warning leaves the file",
	    {"no.such.var=1", "bad=2"}, 1, "",
	    "morlvane: Warning: Unknown sysctl name 'no.such.var'\n"
	    "morlvane: Error: Invalid sysctl name\n",
	    sample},
	{"lines are replaced and new names appended",
	    {"kernel.domainname=new", "net.ipv4.ip_forward=1"}, 0, "", "",
	    "vm.swappiness=60\n# keep\nkernel.domainname=new\n"
	    "net.ipv4.ip_forward=1\n"},
	{"a name given twice replaces with the first, appends the second",
	    {"vm.swappiness=1", "vm.swappiness=2"}, 0, "", "",
	    "vm.swappiness=1\n# keep\nkernel.domainname=old\nvm.swappiness=2\n"},
};

TEST_F(E2e, CommandLine)
{
	for (const cli_case &c : cli_cases) {
		SCOPED_TRACE(c.what);
		outcome o = sandbox(write_sample, c.args);
		expect_ran(o);
		EXPECT_EQ(o.status, c.status);
		EXPECT_EQ(o.out, c.out);
		EXPECT_EQ(o.err, c.err);
		EXPECT_EQ(o.conf, c.conf);
		EXPECT_EQ(o.temporaries().size(), 0u);
	}
}

struct failure_case {
	const char *what;
	std::string setup;
	std::string tmpfs_options;
	std::string err;  // a regular expression
};

const failure_case failure_cases[] = {
	{"a missing file is not created", "true", "size=4m",
	    "morlvane: stat\\(/etc/sysctl.conf\\): No such file or directory\n"},
	{"a dangling link is a missing file", "ln -s /etc/none /etc/sysctl.conf",
	    "size=4m",
	    "morlvane: stat\\(/etc/sysctl.conf\\): No such file or directory\n"},
	{"a read-only /etc fails the open for writing",
	    write_sample + " && mount -o remount,ro /etc", "size=4m",
	    "morlvane: fopen\\(/etc/sysctl.conf\\): Read-only file system\n"},
	{"a read-only file in a writable /etc fails the open",
	    write_sample + " && mount --bind /etc/sysctl.conf /etc/sysctl.conf"
	    " && mount -o remount,bind,ro /etc/sysctl.conf", "size=4m",
	    "morlvane: fopen\\(/etc/sysctl.conf\\): Read-only file system\n"},
	{"a directory fails the open", "mkdir /etc/sysctl.conf", "size=4m",
	    "morlvane: fopen\\(/etc/sysctl.conf\\): Is a directory\n"},
	{"a FIFO is refused before it is opened", "mkfifo /etc/sysctl.conf",
	    "size=4m",
	    "morlvane: Error: '/etc/sysctl.conf' is not a regular file\n"},
	{"a link to a FIFO is refused",
	    "mkfifo /etc/fifo && ln -s fifo /etc/sysctl.conf", "size=4m",
	    "morlvane: Error: '/etc/sysctl.conf' is not a regular file\n"},
	{"a link to a device is refused", "ln -s /dev/zero /etc/sysctl.conf",
	    "size=4m",
	    "morlvane: Error: '/etc/sysctl.conf' is not a regular file\n"},
	{"no inode left for the temporary file", write_sample,
	    "size=4m,nr_inodes=2",
	    "morlvane: mkstemp\\(\\): No space left on device\n"},
	{"no space left while the new text is written",
	    "head -c 40000 /dev/zero | tr '\\0' x > /etc/sysctl.conf", "size=64k",
	    "morlvane: fprintf\\(\\): No space left on device\n"},
	{"no space left when the last of the new text is flushed",
	    write_sample, "size=4k",
	    "morlvane: fflush\\(\\): No space left on device\n"},
	{"a refused rename removes the temporary file",
	    write_sample + " && mount --bind /etc/sysctl.conf /etc/sysctl.conf",
	    "size=4m", "morlvane: rename\\(\\): Device or resource busy\n"},
};

TEST_F(E2e, FailuresKeepTheOldFileAndLeaveNoTemporary)
{
	for (const failure_case &c : failure_cases) {
		SCOPED_TRACE(c.what);
		outcome before = sandbox_script(c.setup, c.tmpfs_options);
		outcome o = sandbox(c.setup, {"vm.swappiness=1"}, c.tmpfs_options);
		expect_ran(o);
		EXPECT_EQ(o.status, 1);
		EXPECT_EQ(o.out, "");
		EXPECT_TRUE(std::regex_search(o.err, std::regex(c.err)))
		    << "stderr: " << o.err;
		EXPECT_EQ(o.conf_exists, before.conf_exists);
		EXPECT_EQ(o.conf_mode, before.conf_mode);
		EXPECT_EQ(o.conf, before.conf);
		EXPECT_EQ(o.etc, before.etc);
	}
}

TEST_F(E2e, NewFileTakesTheOldPermissionBits)
{
	for (mode_t mode : {0644, 0600, 0640, 0444, 0755}) {
		SCOPED_TRACE(mode);
		char chmod[32];
		snprintf(chmod, sizeof chmod, " && chmod %o /etc/sysctl.conf", mode);
		outcome o = sandbox(write_sample + chmod, {"vm.swappiness=1"});
		expect_ran(o);
		EXPECT_EQ(o.status, 0) << o.err;
		EXPECT_TRUE(S_ISREG(o.conf_mode));
		EXPECT_EQ(o.conf_mode & 07777, mode);
		EXPECT_EQ(o.conf, "vm.swappiness=1\n# keep\nkernel.domainname=old\n");
	}
}

TEST_F(E2e, LinkIsReplacedByAFileAndItsTargetKept)
{
	outcome o = sandbox("printf 'vm.swappiness=60\\n' > /etc/real.conf && "
			    "chmod 640 /etc/real.conf && "
			    "ln -s real.conf /etc/sysctl.conf",
	    {"vm.swappiness=1"});
	expect_ran(o);
	EXPECT_EQ(o.status, 0) << o.err;
	EXPECT_TRUE(S_ISREG(o.conf_mode));
	EXPECT_EQ(o.conf_mode & 07777, 0640u);
	EXPECT_EQ(o.conf, "vm.swappiness=1\n");
	EXPECT_EQ(o.file("real.conf"), "vm.swappiness=60\n");
}

TEST_F(E2e, FileIsReplacedEvenWhenNothingChanges)
{
	outcome o = sandbox_script(write_sample + " && "
	    "ls -i /etc/sysctl.conf > $W/before && "
	    "$MORLVANE vm.swappiness=60 && "
	    "ls -i /etc/sysctl.conf > $W/after && "
	    "! cmp -s $W/before $W/after");
	expect_ran(o);
	EXPECT_EQ(o.conf, sample);
}

// A run that finds the file locked waits: the holder appends a line through
// the descriptor it locked, after the run has started, and the run must merge
// the file with that line.
TEST_F(E2e, RunWaitsForTheLock)
{
	outcome o = sandbox_script(write_sample + " && "
	    "{ exec 9>> /etc/sysctl.conf; flock -x 9; sleep 1; "
	    "echo held.v=1 >&9; } & "
	    "sleep 0.3; $MORLVANE vm.swappiness=5; wait");
	expect_ran(o);
	EXPECT_EQ(o.conf,
	    "vm.swappiness=5\n# keep\nkernel.domainname=old\nheld.v=1\n");
}

// A run that waited for the lock while the file was replaced must merge into
// the file that the path names now, not the one it first opened.
TEST_F(E2e, RunAfterAReplacementMergesTheNewFile)
{
	outcome o = sandbox_script(write_sample + " && "
	    "exec 9< /etc/sysctl.conf && flock -x 9 && "
	    "{ $MORLVANE kernel.domainname=mine 9<&- & } && sleep 0.3 && "
	    "printf 'kernel.domainname=theirs\\nvm.swappiness=1\\n' > /etc/new && "
	    "mv /etc/new /etc/sysctl.conf && exec 9<&- && wait");
	expect_ran(o);
	EXPECT_EQ(o.conf, "kernel.domainname=mine\nvm.swappiness=1\n");
}

// An interface called l.o has its settings under conf/l.o, which the name
// spells with a slash, or with its dot where the name is in slash form.
TEST_F(E2e, SlashInANameIsADotInTheKernelPath)
{
	outcome o = sandbox_script(write_sample + " && "
	    "unshare -n sh -c 'ip link set lo name l.o && "
	    "$MORLVANE net.ipv4.conf.l.rp_filter=1 net.ipv4.conf.l/o.rp_filter=1 "
	    "net.ipv4.conf.lo.rp_filter=1 net/ipv4/conf/l.o/rp_filter=1 "
	    "net/ipv4/conf/l.o/../l.o/rp_filter=1'");
	expect_ran(o);
	// A missing conf/l says nothing of conf/l.o.
	EXPECT_EQ(o.setup_out,
	    "morlvane: Warning: Unknown sysctl name 'net.ipv4.conf.l.rp_filter'\n"
	    "morlvane: Warning: Unknown sysctl name 'net.ipv4.conf.lo.rp_filter'\n"
	    "morlvane: Warning: Unknown sysctl name "
	    "'net/ipv4/conf/l.o/../l.o/rp_filter'\n");
	EXPECT_EQ(o.conf, sample + "net.ipv4.conf.l.rp_filter=1\n"
	    "net.ipv4.conf.l/o.rp_filter=1\nnet.ipv4.conf.lo.rp_filter=1\n"
	    "net/ipv4/conf/l.o/rp_filter=1\nnet/ipv4/conf/l.o/../l.o/rp_filter=1\n");
}

// Names in many kernel directories under a low descriptor limit: the probe
// keeps only a share of the descriptors, and the update still gets its own.
TEST_F(E2e, ManyKernelDirectoriesUnderALowDescriptorLimit)
{
	outcome o = sandbox_script(write_sample + " && "
	    "names=$(find /proc/sys -mindepth 1 -type d | grep -v '^/proc/sys/.*[.]' |"
	    " head -n 100 | sed 's|^/proc/sys/||; s|/|.|g; s|$|.no_such=1|') && "
	    "set -- $names && n=$# && "
	    "(ulimit -n 20 && exec $MORLVANE \"$@\" 2>$W/err); s=$? && "
	    "warned=$(grep -c 'Unknown sysctl name' $W/err); "
	    "stored=$(grep -c 'no_such=1$' /etc/sysctl.conf); "
	    "echo status=$s missing=$((n - warned)) unstored=$((n - stored)) "
	    "enough=$([ $n -ge 40 ] && echo yes)");
	expect_ran(o);
	EXPECT_EQ(o.setup_out, "status=0 missing=0 unstored=0 enough=yes\n");
	EXPECT_TRUE(o.temporaries().empty());
}

// Past the file size limit the write fails and is reported, rather than the
// run being killed with its temporary file left behind.
TEST_F(E2e, FileSizeLimitIsAReportedFailure)
{
	std::string big = "head -c 600000 /dev/zero | tr '\\0' x > /etc/sysctl.conf";
	outcome before = sandbox_script(big);
	outcome o = sandbox_script(big + " && ulimit -f 100 && "
	    "$MORLVANE vm.swappiness=1; echo status=$?");
	expect_ran(o);
	EXPECT_EQ(o.setup_out,
	    "morlvane: fprintf(): File too large\nstatus=1\n");
	EXPECT_EQ(o.conf, before.conf);
	EXPECT_EQ(o.etc, before.etc);
}

// A signal that arrives while the new text is written waits until the new
// file is in place, then takes effect: the file is whole and no temporary
// file is left. When the run fails meanwhile, the signal takes effect once
// the failure is reported and the temporary file removed. A signal that the
// caller ignores (a shell starts background jobs with SIGINT ignored) stays
// ignored. strace holds the run in its fsync so that the signal lands there.
TEST_F(E2e, SignalDuringTheWrite)
{
	ASSERT_TRUE(installed("strace")) << "strace is not installed";
	struct signal_case {
		const char *sig;
		int number;
		bool ignored;
		bool fsync_fails;
	};
	for (signal_case c : {signal_case{"TERM", SIGTERM, false, false},
	    {"INT", SIGINT, true, false}, {"HUP", SIGHUP, false, false},
	    {"USR1", SIGUSR1, false, false}, {"PIPE", SIGPIPE, false, false},
	    {"HUP", SIGHUP, true, false}, {"TERM", SIGTERM, false, true},
	    {"INT", SIGINT, true, true}}) {
		SCOPED_TRACE(std::string(c.sig) + (c.ignored ? " ignored" : "") +
		    (c.fsync_fails ? ", fsync fails" : ""));
		outcome before = sandbox_script(write_sample);
		outcome o = sandbox_script(write_sample + " && " +
		    (c.ignored ? "trap '' " + std::string(c.sig) + "; " : "") +
		    "{ ASAN_OPTIONS=detect_leaks=0 strace -o /dev/null -e trace=fsync "
		    "-e inject=fsync:delay_enter=1s:when=1" +
		    (c.fsync_fails ? ":error=EIO " : " ") +
		    "$MORLVANE vm.swappiness=1 & } && s=$! && sleep 0.5 && "
		    "ls /etc > $W/during && kill -" + std::string(c.sig) +
		    " $(pgrep -P $s) && { wait $s; echo status $?; } && "
		    "grep -q 'sysctl.conf\\.' $W/during");
		expect_ran(o);
		int status = c.ignored ? (c.fsync_fails ? 1 : 0) : 128 + c.number;
		EXPECT_NE(o.setup_out.find("status " + std::to_string(status)),
		    std::string::npos) << o.setup_out;
		EXPECT_EQ(o.setup_out.find("morlvane: fsync(): Input/output error\n") !=
		    std::string::npos, c.fsync_fails) << o.setup_out;
		EXPECT_EQ(o.conf, c.fsync_fails ? sample :
		    "vm.swappiness=1\n# keep\nkernel.domainname=old\n");
		EXPECT_EQ(o.etc, before.etc);
	}
}

} // namespace
