// SPDX-License-Identifier: BSD-2-Clause
// Drives merge_config with arbitrary file bytes and arbitrary assignments of
// the kind the command line accepts, and checks its output against a plain
// model of the merge rules: unmatched lines byte for byte and in order,
// matched lines as their first entry's text, every entry that replaced no
// line appended once in list order, and so is every first entry of a name
// whose variable a copied line sets, in any spelling the readers of the file
// take, after the last line it replaced, unless a later entry of that name
// is appended anyway; a line feed before the first appended line if the text
// ended without one, and nothing else.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fuzzer/FuzzedDataProvider.h>
#include <string>
#include <unordered_map>
#include <vector>

#include "morlvane.h"

static bool white(char c)
{
	return strchr(" \t\n\v\f\r", c) != nullptr && c != '\0';
}

// Bends arbitrary bytes into a name that the command line would accept.
static std::string make_name(std::string s)
{
	for (char &c : s)
		if (c == '\0' || c == '=' || strchr("\t\n\r ", c) != nullptr)
			c = '_';
	if (s.find('.') == std::string::npos)
		s += '.';
	return s;
}

// Bends arbitrary bytes into a value that the command line would accept.
static std::string make_value(std::string s)
{
	std::string v;
	for (char c : s)
		if (c != '\0' && c != '\n' && !(v.empty() && white(c)))
			v += c;
	return v.empty() ? "v" : v;
}

// "." and "/" swapped in a name whose first separator is a "/".
static std::string dotted(std::string n)
{
	size_t sep = n.find_first_of("./");
	if (sep != std::string::npos && n[sep] == '/')
		for (char &c : n)
			c = c == '/' ? '.' : c == '.' ? '/' : c;
	return n;
}

// The variable a line sets as the readers take it, or "" for none: after
// leading whitespace, not a comment; at most one "-" and whitespace; the
// text up to the first "=" or ":", trailing whitespace dropped; no "*".
static std::string sets(const std::string &line)
{
	size_t p = 0;
	while (p < line.size() && white(line[p]))
		p++;
	if (p < line.size() && (line[p] == '#' || line[p] == ';'))
		return "";
	if (p < line.size() && line[p] == '-')
		for (p++; p < line.size() && white(line[p]); p++)
			;
	size_t q = line.find_first_of("=:", p);
	if (q == std::string::npos)
		return "";
	while (q > p && white(line[q - 1]))
		q--;
	std::string name = line.substr(p, q - p);
	if (name.find('*') != std::string::npos)
		return "";
	return dotted(name);
}

// The variable an operand's name stands for.
static std::string stands_for(const std::string &name)
{
	return dotted(name.size() > 0 && name[0] == '-' ? name.substr(1) : name);
}

static std::string model(const std::string &text,
    const std::vector<assignment> &list, std::vector<bool> &replaced)
{
	std::unordered_map<std::string, size_t> first;
	for (size_t i = list.size(); i-- > 0;)
		first[list[i].name] = i;
	std::vector<bool> outvoted(list.size());
	std::string out;
	size_t pos = 0;
	while (pos < text.size()) {
		size_t nl = text.find('\n', pos);
		size_t end = nl == std::string::npos ? text.size() : nl + 1;
		std::string line = text.substr(pos, end - pos);
		pos = end;
		size_t k = 0;
		while (k < line.size() && white(line[k]))
			k++;
		size_t eq = line.find('=', k);
		std::string key = line.substr(k, eq == std::string::npos ?
		    std::string::npos : eq - k);
		auto it = first.find(key);
		if (it == first.end()) {
			out += line;
			std::string var = sets(line);
			for (size_t i = 0; i < list.size(); i++)
				if (replaced[i] && !var.empty() &&
				    stands_for(list[i].name) == var)
					outvoted[i] = true;
			continue;
		}
		const assignment &a = list[it->second];
		out += a.name + "=" + a.value + (line.back() == '\n' ? "\n" : "");
		replaced[it->second] = true;
		outvoted[it->second] = false;
	}
	bool ended = text.empty() || text.back() == '\n';
	for (size_t i = 0; i < list.size(); i++) {
		bool later = false;
		for (size_t j = i + 1; j < list.size(); j++)
			later = later || list[j].name == list[i].name;
		if (replaced[i] && !(outvoted[i] && !later))
			continue;
		if (!ended)
			out += '\n';
		ended = true;
		out += list[i].name + "=" + list[i].value + "\n";
	}
	return out;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	FuzzedDataProvider fdp(data, size);
	std::vector<assignment> list;
	size_t n = fdp.ConsumeIntegralInRange<size_t>(0, 8);
	for (size_t i = 0; i < n; i++) {
		std::string name;
		if (!list.empty() && fdp.ConsumeBool())
			name = list[fdp.ConsumeIntegralInRange<size_t>(0,
			    list.size() - 1)].name;
		else
			name = make_name(fdp.ConsumeRandomLengthString(24));
		list.push_back({name,
		    make_value(fdp.ConsumeRandomLengthString(24)), false});
	}
	std::string text = fdp.ConsumeRemainingBytesAsString();

	std::vector<bool> replaced(list.size());
	std::string want = model(text, list, replaced);

	FILE *in = text.empty() ? fopen("/dev/null", "r") :
	    fmemopen(text.data(), text.size(), "r");
	char *buf = nullptr;
	size_t len = 0;
	FILE *out = open_memstream(&buf, &len);
	if (in == nullptr || out == nullptr)
		abort();
	merge_config(in, out, list);
	fclose(in);
	fclose(out);

	if (std::string(buf, len) != want) {
		fprintf(stderr, "merge output differs from the model\n");
		abort();
	}
	for (size_t i = 0; i < list.size(); i++)
		if (list[i].written != replaced[i]) {
			fprintf(stderr, "written flag of entry %zu is wrong\n", i);
			abort();
		}
	free(buf);
	return 0;
}
