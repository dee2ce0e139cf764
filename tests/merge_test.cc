// SPDX-License-Identifier: BSD-2-Clause
#include <gtest/gtest.h>

#include <cstdio>

#include "morlvane.h"

namespace {

FILE *stream_of(const std::string &text)
{
	FILE *f = tmpfile();
	fwrite(text.data(), 1, text.size(), f);
	rewind(f);
	return f;
}

std::string text_of(FILE *f)
{
	std::string s;
	rewind(f);
	char buf[4096];
	size_t n;
	while ((n = fread(buf, 1, sizeof buf, f)) > 0)
		s.append(buf, n);
	return s;
}

std::vector<assignment> list_of(
    const std::vector<std::pair<std::string, std::string>> &pairs)
{
	std::vector<assignment> list;
	for (const auto &[name, value] : pairs)
		list.push_back({name, value, false});
	return list;
}

std::string merge(const std::string &input, std::vector<assignment> &list)
{
	FILE *in = stream_of(input);
	FILE *out = tmpfile();
	merge_config(in, out, list);
	std::string s = text_of(out);
	fclose(in);
	fclose(out);
	return s;
}

struct merge_case {
	const char *what;
	std::string input;
	std::vector<std::pair<std::string, std::string>> list;
	std::string want;
	std::vector<bool> written;
};

using namespace std::string_literals;

const merge_case merge_cases[] = {
	{"a matching line is replaced, others copied",
	    "a.b=1\nc.d=2\n", {{"a.b", "9"}}, "a.b=9\nc.d=2\n", {true}},
	{"leading blanks and tabs before the key are dropped",
	    " \ta.b=1\n", {{"a.b", "9"}}, "a.b=9\n", {true}},
	{"vertical tab and form feed are leading whitespace too",
	    "\v\fa.b=1\n", {{"a.b", "9"}}, "a.b=9\n", {true}},
	{"a high-bit byte is not whitespace",
	    "\xa0" "a.b=1\n", {{"a.b", "9"}}, "\xa0" "a.b=1\na.b=9\n", {false}},
	{"a blank before the equals sign prevents the match",
	    "a.b =1\n", {{"a.b", "9"}}, "a.b =1\na.b=9\n", {false}},
	{"text after the value goes with the replaced line",
	    "a.b=1 # old\n", {{"a.b", "9"}}, "a.b=9\n", {true}},
	{"a comment line is copied", "#a.b=1\n", {{"a.b", "9"}},
	    "#a.b=1\na.b=9\n", {false}},
	{"a replaced line ends in a line feed alone, copied lines keep CR",
	    "a.b=1\r\nc.d=2\r\n", {{"a.b", "9"}}, "a.b=9\nc.d=2\r\n", {true}},
	{"a matching last line without a line feed stays without",
	    "x.y=0\na.b=1", {{"a.b", "9"}}, "x.y=0\na.b=9", {true}},
	{"a line without equals and with a line feed never matches",
	    "a.b\n", {{"a.b", "9"}}, "a.b\na.b=9\n", {false}},
	{"an unterminated last line that is exactly the name matches",
	    "  a.b", {{"a.b", "9"}}, "a.b=9", {true}},
	{"a replaced unterminated last line is held apart from an append",
	    "x.y=0\na.b=1", {{"a.b", "9"}, {"c.d", "2"}},
	    "x.y=0\na.b=9\nc.d=2\n", {true, false}},
	{"an empty input yields the appended lines in order",
	    "", {{"a.b", "1"}, {"c.d", "2"}}, "a.b=1\nc.d=2\n", {false, false}},
	{"every line with the key is replaced",
	    "a.b=1\nx.y=2\na.b=3\n", {{"a.b", "9"}}, "a.b=9\nx.y=2\na.b=9\n",
	    {true}},
	{"the first of a duplicated name replaces, the second is appended",
	    "a.b=1\n", {{"a.b", "2"}, {"a.b", "3"}}, "a.b=2\na.b=3\n",
	    {true, false}},
	{"a duplicated name absent from the file is appended twice",
	    "", {{"a.b", "2"}, {"a.b", "3"}}, "a.b=2\na.b=3\n", {false, false}},
	{"an unchanged value is written again", "a.b=1\n", {{"a.b", "1"}},
	    "a.b=1\n", {true}},
	{"a line feed keeps an unterminated last line from the appended one",
	    "x.y=0", {{"a.b", "1"}}, "x.y=0\na.b=1\n", {false}},
	{"without appends an unterminated last line stays so",
	    "x.y=0", {}, "x.y=0", {}},
	{"case counts", "A.B=1\n", {{"a.b", "9"}}, "A.B=1\na.b=9\n", {false}},
	{"a longer key sharing the name as prefix does not match",
	    "a.bc=1\na.b=2\n", {{"a.b", "9"}}, "a.bc=1\na.b=9\n", {true}},
	{"a key that is a prefix of the name does not match",
	    "a.=1\n", {{"a.b", "9"}}, "a.=1\na.b=9\n", {false}},
	{"zero bytes are copied whole", "a\0b=1\nc.d=\0\n"s, {{"x.y", "1"}},
	    "a\0b=1\nc.d=\0\nx.y=1\n"s, {false}},
	{"a zero byte in a key is a byte like any other", "a.b\0=1\n"s,
	    {{"a.b", "9"}}, "a.b\0=1\na.b=9\n"s, {false}},
	{"copied lines are never formats", "%s%n%d\n", {{"a.b", "%n"}},
	    "%s%n%d\na.b=%n\n", {false}},
	{"blank and empty lines are copied", "\n   \n\t\n", {{"a.b", "1"}},
	    "\n   \n\t\na.b=1\n", {false}},
	{"a value with equals signs is written as given", "a.b=1\n",
	    {{"a.b", "x=y"}}, "a.b=x=y\n", {true}},
	{"a key after whitespace-only text and equals is empty", " =1\n",
	    {{"a.b", "9"}}, " =1\na.b=9\n", {false}},
	{"names alike at both ends are told apart by their middle",
	    "net.ipv4.conf.eth0.rp_filter=1\nnet.ipv4.conf.eth1.rp_filter=1\n"
	    "net.ipv4.conf.eth2.rp_filter=1\n",
	    {{"net.ipv4.conf.eth1.rp_filter", "2"}},
	    "net.ipv4.conf.eth0.rp_filter=1\nnet.ipv4.conf.eth1.rp_filter=2\n"
	    "net.ipv4.conf.eth2.rp_filter=1\n", {true}},
	{"a later line in another spelling gets the operand appended again",
	    "kernel.ostype=1\nkernel.ostype = 2\n", {{"kernel.ostype", "X"}},
	    "kernel.ostype=X\nkernel.ostype = 2\nkernel.ostype=X\n", {true}},
	{"a spelling before the last replaced line changes nothing",
	    "kernel.ostype = 2\nkernel.ostype=1\n", {{"kernel.ostype", "X"}},
	    "kernel.ostype = 2\nkernel.ostype=X\n", {true}},
	{"a spelling between replaced lines is outvoted by the last of them",
	    "kernel.ostype=1\nkernel.ostype = 2\nkernel.ostype=3\n",
	    {{"kernel.ostype", "X"}},
	    "kernel.ostype=X\nkernel.ostype = 2\nkernel.ostype=X\n", {true}},
	{"a later operand of the name, appended anyway, has the last word",
	    "kernel.ostype=1\nkernel.ostype = 2\n",
	    {{"kernel.ostype", "A"}, {"kernel.ostype", "B"}},
	    "kernel.ostype=A\nkernel.ostype = 2\nkernel.ostype=B\n", {true, false}},
	{"comments, patterns and lines without = or : set nothing",
	    "a.b=1\n# a.b = 2\n;a.b=2\n-#a.b=2\na.* = 2\na.b 2\n- a.b\n",
	    {{"a.b", "9"}},
	    "a.b=9\n# a.b = 2\n;a.b=2\n-#a.b=2\na.* = 2\na.b 2\n- a.b\n", {true}},
	{"each spelling of the readers counts, appended in operand order",
	    "a.b=1\nc.d=1\ne.f=1\ng.h=1\ni.j=1\n-a.b=2\n- \tc.d=2\ne/f=2\n"
	    "g.h: 2\ni.j\v=2\n",
	    {{"a.b", "9"}, {"c.d", "9"}, {"new.one", "1"}, {"e.f", "9"},
	     {"g.h", "9"}, {"i.j", "9"}},
	    "a.b=9\nc.d=9\ne.f=9\ng.h=9\ni.j=9\n-a.b=2\n- \tc.d=2\ne/f=2\n"
	    "g.h: 2\ni.j\v=2\na.b=9\nc.d=9\nnew.one=1\ne.f=9\ng.h=9\ni.j=9\n",
	    {true, true, false, true, true, true}},
	{"operands in slash form or with a dash stand for their dot form",
	    "a/b.c=1\n-d.e=1\nf/g.h=1\na.b/c=2\nd.e=2\nf.g/h.i=2\n",
	    {{"a/b.c", "9"}, {"-d.e", "9"}, {"f/g.h", "9"}},
	    "a/b.c=9\n-d.e=9\nf/g.h=9\na.b/c=2\nd.e=2\nf.g/h.i=2\na/b.c=9\n"
	    "-d.e=9\n", {true, true, true}},
	{"the appended line is held apart from an unterminated spelling",
	    "kernel.ostype=1\nkernel.ostype = 2", {{"kernel.ostype", "X"}},
	    "kernel.ostype=X\nkernel.ostype = 2\nkernel.ostype=X\n", {true}},
	{"keys of every size up to a few words are found, whatever follows them",
	    "a.cdefg=1\na.cdefgh=\na.cdefghi=1\na.cdefghijklmnop=x\n"
	    "a.cdefghijklmnopq\na.cdefghijklmnopqrstuvwxyz0123456= 1\n"
	    "a.cdefghijklmnopq",
	    {{"a.cdefg", "2"}, {"a.cdefgh", "2"}, {"a.cdefghi", "2"},
	     {"a.cdefghijklmnop", "2"}, {"a.cdefghijklmnopq", "2"},
	     {"a.cdefghijklmnopqrstuvwxyz0123456", "2"}},
	    "a.cdefg=2\na.cdefgh=2\na.cdefghi=2\na.cdefghijklmnop=2\n"
	    "a.cdefghijklmnopq\na.cdefghijklmnopqrstuvwxyz0123456=2\n"
	    "a.cdefghijklmnopq=2", {true, true, true, true, true, true}},
};

TEST(Merge, Cases)
{
	for (const merge_case &c : merge_cases) {
		SCOPED_TRACE(c.what);
		std::vector<assignment> list = list_of(c.list);
		EXPECT_EQ(merge(c.input, list), c.want);
		std::vector<bool> written;
		for (const assignment &a : list)
			written.push_back(a.written);
		EXPECT_EQ(written, c.written);
	}
}

TEST(Merge, LongLinesAreCopiedWhole)
{
	std::string big(1 << 20, 'x');
	std::vector<assignment> list = list_of({{"a.b", big}});
	std::string input = "c.d=" + big + "\na.b=1\n";
	EXPECT_EQ(merge(input, list), "c.d=" + big + "\na.b=" + big + "\n");
}

// Lines of every length from 1 to 120 bytes, a megabyte of them, so that
// lines straddle every way the input is read in pieces; every seventh one is
// replaced, and set again in another spelling three lines later.
TEST(Merge, LinesAcrossReadBoundaries)
{
	std::string input, want, again;
	std::vector<assignment> list;
	for (int i = 0; input.size() < (3u << 20) / 2; i++) {
		std::string name = "k." + std::to_string(i);
		std::string line = name + "=" + std::string(i % 120, 'v') + "\n";
		if (i % 7 == 3) {
			line = "k." + std::to_string(i - 3) + ":" + line;
			again += "k." + std::to_string(i - 3) + "=new\n";
		}
		input += line;
		if (i % 7 == 0) {
			list.push_back({name, "new", false});
			want += name + "=new\n";
		} else {
			want += line;
		}
	}
	list.push_back({"last.one", "x", false});
	EXPECT_EQ(merge(input.substr(0, input.size() - 1), list),
	    want.substr(0, want.size() - 1) + "\n" + again + "last.one=x\n");
}

TEST(MergeDeath, WriteFailureReportsFprintf)
{
	std::vector<assignment> list = list_of({{"a.b", "1"}});
	EXPECT_EXIT(
	    {
		    FILE *in = stream_of("c.d=2\n");
		    FILE *out = fopen("/dev/full", "w");
		    setvbuf(out, nullptr, _IONBF, 0);
		    merge_config(in, out, list);
	    },
	    ::testing::ExitedWithCode(1), "fprintf\\(\\): No space left on device");
}

TEST(MergeDeath, ReadFailureReportsGetline)
{
	std::vector<assignment> list = list_of({{"a.b", "1"}});
	EXPECT_EXIT(
	    {
		    FILE *in = fopen("/", "r");
		    merge_config(in, tmpfile(), list);
	    },
	    ::testing::ExitedWithCode(1), "getline\\(\\): Is a directory");
}

} // namespace
