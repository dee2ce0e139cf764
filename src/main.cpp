// SPDX-License-Identifier: BSD-2-Clause
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <err.h>
#include <new>
#include <unistd.h>

#include "morlvane.h"

// glibc's getopt moves options found after operands to the front unless told
// not to; options are only options before the first operand.
#ifdef __GLIBC__
static const char optstring[] = "+h";
#else
static const char optstring[] = "h";
#endif

std::vector<assignment> assignments;

void usage()
{
	fflush(stderr);
	printf("Usage: %s -h\n       %s var1=val1 var2=val2 ...\n", "morlvane",
	    "morlvane");
	exit(1);
}

// Appends one assignment holding copies of name and value; ends the process
// if memory runs out.
void add_assignment(std::string_view name, std::string_view value)
{
	try {
		assignments.emplace_back();
	} catch (const std::bad_alloc &) {
		errno = ENOMEM;
		err(1, "realloc()");
	}
	assignment &a = assignments.back();
	try {
		a.name = name;
		a.value = value;
	} catch (const std::bad_alloc &) {
		errno = ENOMEM;
		err(1, "strdup()");
	}
	a.written = false;
}

// Checks one operand, splitting it in place at its first "=", probes its name
// and stores it; any bad operand ends the process.
static void accept_operand(char *op)
{
	char *eq = strchr(op, '=');
	if (eq == nullptr)
		usage();
	*eq = '\0';
	const char *name = op;
	if (strpbrk(name, "\t\n\r ") != nullptr || strchr(name, '.') == nullptr)
		errx(1, "Error: Invalid sysctl name");
	const char *value = eq + 1;
	while (is_space(*value))
		value++;
	if (*value == '\0')
		errx(1, "Error: No value defined for '%s'", name);
	// A line feed would split the value into a second line of the file.
	if (strchr(value, '\n') != nullptr)
		errx(1, "Error: Invalid value for '%s'", name);
	probe_name(name);
	add_assignment(name, value);
}

int main(int argc, char *argv[])
{
	// The warnings go out together before the file is touched, not in a
	// write for every piece of every message.
	static char errbuf[BUFSIZ];
	setvbuf(stderr, errbuf, _IOFBF, sizeof errbuf);
	if (getopt(argc, argv, optstring) != -1)
		usage();
	if (optind >= argc)
		usage();
	try {
		assignments.reserve(argc - optind);
	} catch (const std::bad_alloc &) {
		errno = ENOMEM;
		err(1, "realloc()");
	}
	for (int i = optind; i < argc; i++)
		accept_operand(argv[i]);
	fflush(stderr);
	update_config(assignments);
	return 0;
}
