// SPDX-License-Identifier: BSD-2-Clause
#include <cerrno>
#include <cstring>
#include <gtest/gtest.h>
#include <sys/sysctl.h>

#include "morlvane.h"

namespace {

// The kernel's answers: a known name, a missing one, one the caller may not
// see, one whose query fails for want of memory.
struct answer {
	const char *name;
	int error;
};
const answer answers[] = {
	{"kern.ostype", 0},
	{"kern.no_such_variable", ENOENT},
	{"security.jail.param", EPERM},
	{"vm.stats.busy", ENOMEM},
};

bool changed_or_read;

} // namespace

extern "C" int sysctlbyname(const char *name, void *oldp, size_t *oldlenp,
    const void *newp, size_t newlen)
{
	if (oldp != nullptr || oldlenp != nullptr || newp != nullptr ||
	    newlen != 0)
		changed_or_read = true;
	for (const answer &a : answers)
		if (strcmp(a.name, name) == 0) {
			errno = a.error;
			return a.error == 0 ? 0 : -1;
		}
	errno = ENOENT;
	return -1;
}

namespace {

// Only "no such name" warns; the kernel is asked, never read or changed.
TEST(ProbeSysctl, WarnsOnlyWhenTheKernelHasNoSuchName)
{
	for (const answer &a : answers) {
		SCOPED_TRACE(a.name);
		changed_or_read = false;
		testing::internal::CaptureStderr();
		probe_name(a.name);
		std::string warned = testing::internal::GetCapturedStderr();
		if (a.error == ENOENT)
			EXPECT_NE(warned.find(
			    std::string(": Warning: Unknown sysctl name '") + a.name +
			    "'\n"), std::string::npos) << warned;
		else
			EXPECT_EQ(warned, "");
		EXPECT_FALSE(changed_or_read);
	}
}

} // namespace
