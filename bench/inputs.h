// SPDX-License-Identifier: BSD-2-Clause
#ifndef INPUTS_H
#define INPUTS_H

// The generated configuration files and operands that the benchmarks share,
// in three kinds of names:
//  - plain: "bench.key0000042", all below one directory the kernel lacks and
//    different only at their ends;
//  - interfaces: "net.ipv4.conf.eth000042.rp_filter", per-interface settings
//    that share their length and their first and last bytes and differ only
//    in the middle, for interfaces the kernel does not have, right below its
//    existing net/ipv4/conf;
//  - missing: "net.fake.d042.key0000042", spread over a thousand parent
//    directories below four ancestors the kernel lacks (net/fake, vm/fake,
//    kernel/fake, fs/fake) that sit below directories it has: settings
//    pushed to a host without the module that provides them;
//  - spelled: plain names, where every fourth line sets the variable of the
//    line three before it again in one of the other spellings that the
//    readers take ("name = v", "-name=v", "name: v", "bench/key...=v").

#include <cstdio>
#include <string>
#include <vector>

enum class names { plain, interfaces, missing, spelled };

inline const char *names_what(names kind)
{
	switch (kind) {
	case names::interfaces:
		return "per-interface names";
	case names::missing:
		return "names below missing directories";
	case names::spelled:
		return "plain names, a fourth respelled";
	default:
		return "plain names";
	}
}

// The name of the i-th line's variable; appended ones (added) are names that
// no line of the file sets.
inline std::string key(int i, names kind = names::plain, bool added = false)
{
	static const char *const ancestors[] = {"net", "vm", "kernel", "fs"};
	char b[64];
	switch (kind) {
	case names::interfaces:
		snprintf(b, sizeof b, "net.ipv4.conf.%s%06d.rp_filter",
		    added ? "vth" : "eth", i % 1000000);
		break;
	case names::missing: {
		// Scattered, so that lines at any stride fall in many directories.
		unsigned d = (unsigned(i) * 2654435761u >> 12) % 1000;
		snprintf(b, sizeof b, "%s.fake.d%03u.%s%07d", ancestors[d % 4],
		    d / 4, added ? "add" : "key", i);
		break;
	}
	default:
		snprintf(b, sizeof b, added ? "bench.added%d" : "bench.key%07d", i);
		break;
	}
	return b;
}

// lines lines, each setting a variable of its own.
inline std::string make_text(int lines, names kind = names::plain)
{
	std::string text;
	text.reserve(size_t(lines) * 40);
	static const char *const spellings[] = {" = ", "=", ": ", "="};
	for (int i = 0; i < lines; i++) {
		char b[32];
		int s = i / 4 % 4;
		bool respelled = kind == names::spelled && i % 4 == 3;
		snprintf(b, sizeof b, "%svalue%07d\n", respelled ? spellings[s] : "=",
		    i);
		std::string k = key(respelled ? i - 3 : i, kind);
		if (respelled && s == 1)
			k = "-" + k;
		if (respelled && s == 3)
			k[k.find('.')] = '/';
		text += k;
		text += b;
	}
	return text;
}

// Half the operands replace lines spread evenly through the file, the rest
// are appended.
inline std::vector<std::string> make_operands(int lines, int operands,
    names kind = names::plain)
{
	std::vector<std::string> ops;
	int replace = (operands + 1) / 2;
	for (int j = 0; j < replace; j++)
		ops.push_back(key(int((long(j) * lines) / replace), kind) + "=new" +
		    std::to_string(j));
	for (int j = replace; j < operands; j++)
		ops.push_back(key(j, kind, true) + "=x" + std::to_string(j));
	return ops;
}

#endif
