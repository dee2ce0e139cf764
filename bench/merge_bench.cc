// Throughput of merge_config alone, from memory to /dev/null, by file size
// and operand count.

#include <benchmark/benchmark.h>

#include <cstdio>

#include "inputs.h"
#include "morlvane.h"

static void merge(benchmark::State &state)
{
	int lines = int(state.range(0)), operands = int(state.range(1));
	std::string text = make_text(lines);
	std::vector<assignment> list;
	for (const std::string &op : make_operands(lines, operands)) {
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
    ->ArgNames({"lines", "operands"})
    ->ArgsProduct({{60, 100000, 1000000}, {3, 100, 10000}})
    ->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
