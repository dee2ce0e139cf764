#ifndef INPUTS_H
#define INPUTS_H

// The generated configuration files and operands that the benchmarks share.

#include <cstdio>
#include <string>
#include <vector>

inline std::string key(int i)
{
	char b[32];
	snprintf(b, sizeof b, "bench.key%07d", i);
	return b;
}

// lines lines of about 30 bytes, each setting a variable of its own.
inline std::string make_text(int lines)
{
	std::string text;
	text.reserve(size_t(lines) * 30);
	char b[64];
	for (int i = 0; i < lines; i++) {
		snprintf(b, sizeof b, "%s=value%07d\n", key(i).c_str(), i);
		text += b;
	}
	return text;
}

// Half the operands replace lines spread evenly through the file, the rest
// are appended.
inline std::vector<std::string> make_operands(int lines, int operands)
{
	std::vector<std::string> ops;
	int replace = (operands + 1) / 2;
	for (int j = 0; j < replace; j++)
		ops.push_back(key(int((long(j) * lines) / replace)) + "=new" +
		    std::to_string(j));
	for (int j = replace; j < operands; j++)
		ops.push_back("bench.added" + std::to_string(j) + "=x" +
		    std::to_string(j));
	return ops;
}

#endif
