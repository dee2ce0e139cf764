// SPDX-License-Identifier: BSD-2-Clause
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include "morlvane.h"

namespace {

struct probe_case {
	const char *name;
	bool warns;
};

// Names are looked up in this machine's /proc/sys, which has kernel.ostype
// and the loopback interface's settings wherever the tests run.
const probe_case probe_cases[] = {
	{"kernel.ostype", false},
	{"net.ipv4.conf.lo.rp_filter", false},
	{"kernel.no_such_variable", true},
	{"no.such.tree", true},
	{"kernel.ostype.x", true},        // below a leaf
	{"kernel..ostype", true},         // empty component
	{".kernel.ostype", true},
	{"kernel.ostype.", true},
	{"kernel./.ostype", true},        // a "." component once mapped
	{"kernel.//.kernel.ostype", true}, // a ".." component once mapped
	{"kernel./ostype", true},         // maps to kernel/.ostype
	// A name whose first separator is a slash is a path already.
	{"kernel/ostype", false},
	{"net/ipv4/conf/lo/rp_filter", false},
	{"/kernel/ostype", true},
	{"kernel//ostype", true},
	{"kernel/./ostype", true},
	{"kernel/../kernel/ostype", true},
	// Directories already looked up answer again, both ways.
	{"kernel.osrelease", false},
	{"kernel.ostype.y", true},
	{"no.such.other", true},
	{"net.ipv4.conf.lo.forwarding", false},
	{"net.ipv4.conf.lo.no_such", true},
	// What is remembered as missing, or as no directory, covers whole
	// components only.
	{"net.ipv.x", true},
	{"net.ipv4.ip_forward", false},
	{"net.ipv4.conf.lo/1.forwarding", true},  // conf/lo.1
	{"net.ipv4.conf.lo.rp_filter", false},
	{"kernel.printk.x", true},                // printk is a file
	{"kernel.printk_delay", false},
	// Enough lookups in one directory to read its listing, then answers
	// from it: a directory, a file, a missing entry, below a file.
	{"net.ipv4.conf.no_such_a.x", true},
	{"net.ipv4.conf.no_such_b.x", true},
	{"net.ipv4.conf.no_such_c.x", true},
	{"net.ipv4.conf.no_such_d.x", true},
	{"net.ipv4.conf.all.forwarding", false},
	{"net.ipv4.conf.l.forwarding", true},
	{"kernel.osrelease", false},
	{"kernel.no_such_other", true},
	{"kernel.osrelease.x", true},
	{"kernel.random.uuid", false},
};

TEST(Probe, WarnsOnlyForNamesTheKernelLacks)
{
	for (const probe_case &c : probe_cases) {
		SCOPED_TRACE(c.name);
		::testing::internal::CaptureStderr();
		probe_name(c.name);
		std::string err = ::testing::internal::GetCapturedStderr();
		EXPECT_EQ(err, c.warns ? "probe_test: Warning: Unknown sysctl name '" +
			std::string(c.name) + "'\n" : "");
	}
}

// Every entry of a few directories, and names one step off each (a byte
// more, a byte less, one below it), probed many to a directory so that
// remembered answers and listings are used: the warning is exactly what a
// fresh lookup of the path says.
TEST(Probe, AnswersAsAFreshLookupWould)
{
	for (std::string dir : {"kernel", "net/ipv4", "net/ipv4/conf", "vm", "fs"}) {
		DIR *d = opendir(("/proc/sys/" + dir).c_str());
		ASSERT_NE(d, nullptr) << dir;
		std::vector<std::string> paths;
		while (struct dirent *e = readdir(d)) {
			std::string n = e->d_name;
			if (n == "." || n == "..")
				continue;
			for (const std::string &v : {n, n + "x", n.substr(0, n.size() - 1),
			    n + "/x"})
				if (!v.empty())
					paths.push_back(dir + "/" + v);
		}
		closedir(d);
		for (const std::string &path : paths) {
			std::string name = path;
			for (char &c : name)
				c = c == '/' ? '.' : c == '.' ? '/' : c;
			SCOPED_TRACE(name);
			int fresh = faccessat(AT_FDCWD, ("/proc/sys/" + path).c_str(), F_OK,
			    0) == 0 ? 0 : errno;
			::testing::internal::CaptureStderr();
			probe_name(name.c_str());
			bool warned = !::testing::internal::GetCapturedStderr().empty();
			EXPECT_EQ(warned, fresh == ENOENT || fresh == ENOTDIR);
		}
	}
}

} // namespace
