#include <gtest/gtest.h>

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
	// Directories already looked up answer again, both ways.
	{"kernel.osrelease", false},
	{"kernel.ostype.y", true},
	{"no.such.other", true},
	{"net.ipv4.conf.lo.forwarding", false},
	{"net.ipv4.conf.lo.no_such", true},
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

} // namespace
