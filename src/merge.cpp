// SPDX-License-Identifier: BSD-2-Clause
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <err.h>
#include <new>
#include <string_view>
#include <unordered_map>

#include "morlvane.h"

namespace {

// A key with the hash it was filed under.
struct hashed_key {
	std::string_view key;
	uint64_t hash;
	bool operator==(const hashed_key &o) const { return key == o.key; }
};

struct by_hash {
	size_t operator()(const hashed_key &k) const { return size_t(k.hash); }
};

// The first entry of each name, so that a line costs one lookup whatever the
// number of entries, behind a filter of the names' hashes that most lines
// miss for the cost of hashing their key. Without memory for it the entries
// are searched in order instead.
struct name_index {
	std::unordered_map<hashed_key, assignment *, by_hash> first;
	std::vector<uint64_t> filter;
	int shift = 0;
	bool built = false;
};

// A read buffer holding whole lines; grows only for a line longer than it.
struct line_buffer {
	char *data = nullptr;
	size_t cap = 0;
	size_t end = 0;     // bytes read into it
	size_t start = 0;   // the first byte not yet looked at
	size_t copied = 0;  // the first byte not yet written out
};

// Small enough to come from the heap rather than a mapping of its own.
const size_t read_size = 1 << 16;

} // namespace

static uint64_t word(const char *p)
{
	uint64_t w;
	memcpy(&w, p, 8);
	return w;
}

// A hash of every byte of a key, so that names alike at both ends and
// different only in the middle still differ. Each multiplication carries
// every bit of a word into the top bits, which the filter uses.
static uint64_t key_hash(const char *key, size_t len)
{
	const uint64_t k1 = 0x9e3779b97f4a7c15u, k2 = 0xbf58476d1ce4e5b9u;
	uint64_t h = len;
	if (len < 8) {
		uint64_t w = 0;
		memcpy(&w, key, len);
		return (h + w) * k1;
	}
	const char *end = key + len;
	for (; end - key > 16; key += 16)
		h = (h + word(key)) * k1 + word(key + 8) * k2;
	// The last one to sixteen bytes, as two words that may overlap each
	// other or the bytes before them, never the bytes after the key.
	const char *a = end - key >= 8 ? key : end - 16;
	return (h + word(a)) * k1 + word(end - 8) * k2;
}

static bool filter_has(const name_index &idx, uint64_t h)
{
	uint64_t bit = h >> idx.shift;
	return idx.filter[bit / 64] >> (bit % 64) & 1;
}

static void build_index(std::vector<assignment> &list, name_index &idx)
{
	// About 64 filter bits a name: one line in sixty-four that names no entry
	// still reaches the table.
	int bits = 12;
	while (bits < 26 && (size_t(1) << bits) < 64 * list.size())
		bits++;
	try {
		idx.filter.assign((size_t(1) << bits) / 64, 0);
		idx.shift = 64 - bits;
		idx.first.reserve(list.size());
		for (assignment &a : list) {
			uint64_t h = key_hash(a.name.data(), a.name.size());
			idx.first.emplace(hashed_key{a.name, h}, &a);
			uint64_t bit = h >> idx.shift;
			idx.filter[bit / 64] |= uint64_t(1) << (bit % 64);
		}
		idx.built = true;
	} catch (const std::bad_alloc &) {
		idx.first.clear();
	}
}

// Returns the first entry whose name equals the line's key, or nullptr. The
// key runs from the first non-white byte to the first "=", or to the end of
// the line, line feed included, when there is none.
static assignment *find_entry(const char *line, size_t len,
    std::vector<assignment> &list, const name_index &idx)
{
	const char *end = line + len;
	const char *key = line;
	while (key < end && is_space(*key))
		key++;
	const char *eq = static_cast<const char *>(memchr(key, '=', end - key));
	size_t keylen = (eq != nullptr ? eq : end) - key;
	if (idx.built) {
		uint64_t h = key_hash(key, keylen);
		if (!filter_has(idx, h))
			return nullptr;
		auto it = idx.first.find(hashed_key{std::string_view(key, keylen), h});
		return it == idx.first.end() ? nullptr : it->second;
	}
	for (assignment &a : list)
		if (a.name.size() == keylen && memcmp(a.name.data(), key, keylen) == 0)
			return &a;
	return nullptr;
}

static void put(const char *s, size_t len, FILE *out)
{
	if (len > 0 && fwrite(s, 1, len, out) != len)
		err(1, "fprintf()");
}

static void put_assignment(const assignment &a, bool newline, FILE *out)
{
	put(a.name.data(), a.name.size(), out);
	put("=", 1, out);
	put(a.value.data(), a.value.size(), out);
	if (newline)
		put("\n", 1, out);
}

// Writes out the lines looked at since the last write, unchanged.
static void put_copied(line_buffer &b, FILE *out)
{
	put(b.data + b.copied, b.start - b.copied, out);
	b.copied = b.start;
}

// Replaces the line of len bytes at the buffer's start if its key names an
// entry, else leaves it to be copied with its neighbours; moves past it.
static void merge_line(line_buffer &b, size_t len, bool newline,
    std::vector<assignment> &list, const name_index &idx, FILE *out)
{
	assignment *a = find_entry(b.data + b.start, len, list, idx);
	if (a != nullptr) {
		put_copied(b, out);
		put_assignment(*a, newline, out);
		a->written = true;
		b.copied = b.start + len;
	}
	b.start += len;
}

// Reads more input behind the unfinished line, which is first moved to the
// front of the buffer; returns false at the end of the input.
static bool refill(line_buffer &b, FILE *in, FILE *out)
{
	put_copied(b, out);
	memmove(b.data, b.data + b.start, b.end - b.start);
	b.end -= b.start;
	b.start = b.copied = 0;
	if (b.end == b.cap) {
		size_t cap = b.cap == 0 ? read_size : 2 * b.cap;
		char *grown = static_cast<char *>(realloc(b.data, cap));
		if (grown == nullptr)
			err(1, "getline()");
		b.data = grown;
		b.cap = cap;
	}
	size_t n = fread(b.data + b.end, 1, b.cap - b.end, in);
	b.end += n;
	if (n > 0)
		return true;
	// Only a clean end of file ends the text; anything else is a failed read.
	if (ferror(in) || !feof(in))
		err(1, "getline()");
	return false;
}

// Copies in to out, replacing every line whose key names an entry by that
// entry's first occurrence in list, then appends the entries that replaced no
// line. Lines are copied as bytes, zero bytes included, and runs of unchanged
// lines in bulk. Ends the process on a read or write failure.
void merge_config(FILE *in, FILE *out, std::vector<assignment> &list)
{
	name_index idx;
	build_index(list, idx);
	line_buffer b;
	b.data = static_cast<char *>(malloc(read_size));
	if (b.data == nullptr)
		err(1, "getline()");
	b.cap = read_size;
	bool ended = true;

	while (refill(b, in, out)) {
		const char *nl;
		while ((nl = static_cast<const char *>(memchr(b.data + b.start, '\n',
		    b.end - b.start))) != nullptr)
			merge_line(b, nl + 1 - (b.data + b.start), true, list, idx, out);
		ended = b.start == b.end;
	}
	if (b.start < b.end)
		merge_line(b, b.end - b.start, false, list, idx, out);
	put_copied(b, out);
	free(b.data);

	for (const assignment &a : list) {
		if (a.written)
			continue;
		// Keeps an unterminated last line from running into the first
		// appended one.
		if (!ended) {
			put("\n", 1, out);
			ended = true;
		}
		put_assignment(a, true, out);
	}
}
