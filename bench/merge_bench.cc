// SPDX-License-Identifier: BSD-2-Clause
// Throughput of merge_config alone, from memory to /dev/null, by file size,
// operand count and kind of names (0 plain, 1 per-interface, 2 below missing
// directories, 3 plain with a fourth of the lines respelled; see inputs.h).

#include <benchmark/benchmark.h>

#include <cstdio>

#include "inputs.h"
#include "morlvane.h"

static void merge(benchmark::State &state)
{
	int lines = int(state.range(0)), operands = int(state.range(1));
	names kind = names(state.range(2));
	std::string text = make_text(lines, kind);
	std::vector<assignment> list;
	for (const std::string &op : make_operands(lines, operands, kind)) {
		size_t eq = op.find('=');
		list.push_back({op.substr(0, eq), op.substr(eq + 1), false});
	}
	FILE *in = fmemopen(text.data(), text.size(), "r");
	FILE *out = fopen("/dev/null", "w");
	for (auto _ : state) {
		rewind(in);
		for (assignment &a : list)
			a.written = false;
		merge_config(in, out, list);
		fflush(out);
	}
	state.SetBytesProcessed(int64_t(state.iterations()) * text.size());
	fclose(in);
	fclose(out);
}

BENCHMARK(merge)
    ->ArgNames({"lines", "operands", "names"})
    ->ArgsProduct({{60, 100000, 1000000}, {3, 100, 10000}, {0}})
    ->ArgsProduct({{1000000}, {100, 10000}, {1, 2}})
    ->ArgsProduct({{1000000}, {3, 10000}, {3}})
    ->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
