// SPDX-License-Identifier: BSD-2-Clause
// Built only where the system's <sys/sysctl.h> declares sysctlbyname: the
// stand-in's declaration of it comes second, and any difference between the
// two is a conflicting declaration of one C function, a compile error.
#include <sys/types.h>
#include <sys/sysctl.h>

#include "sys/sysctl.h"
