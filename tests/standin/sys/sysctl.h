// SPDX-License-Identifier: BSD-2-Clause
// Stands in for the BSD header where the system has no sysctlbyname, so that
// the probe built on it compiles and runs here against a test's own answers.
#ifndef STANDIN_SYS_SYSCTL_H
#define STANDIN_SYS_SYSCTL_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif
int sysctlbyname(const char *name, void *oldp, size_t *oldlenp,
    const void *newp, size_t newlen);
#ifdef __cplusplus
}
#endif

#endif
