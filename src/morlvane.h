// SPDX-License-Identifier: BSD-2-Clause
#ifndef MORLVANE_H
#define MORLVANE_H

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

// One accepted name=value operand; written is set once it has replaced a line.
struct assignment {
	std::string name;
	std::string value;
	bool written;
};

// The accepted operands, in command-line order, duplicates kept.
extern std::vector<assignment> assignments;

[[noreturn]] void usage();
void add_assignment(std::string_view name, std::string_view value);
void probe_name(const char *name);
void merge_config(FILE *in, FILE *out, std::vector<assignment> &list);
void update_config(std::vector<assignment> &list);

// Whitespace as the POSIX locale classes it; bytes with the high bit set never are.
inline bool is_space(unsigned char c)
{
	return c == ' ' || (c >= '\t' && c <= '\r');
}

#endif
