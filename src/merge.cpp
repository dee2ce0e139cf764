// SPDX-License-Identifier: BSD-2-Clause
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <err.h>
#include <new>
#include <string_view>
#include <unordered_map>
#ifdef __SSE2__
#include <emmintrin.h>
#endif

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
	// The first entries whose name is spelled otherwise than the variable
	// it stands for (in slash form, or after a "-"), by that variable, whose
	// hash is in the filter too; the texts that their keys point into.
	std::unordered_multimap<hashed_key, assignment *, by_hash> respelled;
	std::vector<std::string> dotted;
	// By entry: the flags below; for a few entries without an allocation.
	unsigned char *marks = nullptr;
	unsigned char few[128];
	std::vector<unsigned char> many;
	// Some line has been replaced: copied lines are read for what they set.
	bool voting = false;
	// No memory was left to tell which entries were outvoted.
	bool unsure = false;
	// No entry is spelled otherwise (respelled is empty).
	bool as_named = true;
	std::string scratch;
};

// A copied line has set the entry's variable after the last line that the
// entry replaced.
const unsigned char outvoted = 1;
// A later entry has the same name, and is appended in any case.
const unsigned char repeated = 2;

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

// The name as the readers of the file take a name in slash form (its first
// separator a "/"): "." and "/" swapped; else the name itself.
static std::string_view dot_form(std::string_view name, std::string &buf)
{
	size_t sep = name.find_first_of("./");
	if (sep == std::string_view::npos || name[sep] == '.')
		return name;
	buf.assign(name.data(), name.size());
	for (char &c : buf)
		c = c == '.' ? '/' : c == '/' ? '.' : c;
	return buf;
}

static void add_filter(name_index &idx, uint64_t h)
{
	uint64_t bit = h >> idx.shift;
	idx.filter[bit / 64] |= uint64_t(1) << (bit % 64);
}

// The bytes of w equal to c, as the top bit of each; the lowest is exact.
static uint64_t has_byte(uint64_t w, unsigned char c)
{
	uint64_t x = w ^ (0x0101010101010101u * c);
	return (x - 0x0101010101010101u) & ~x & 0x8080808080808080u;
}

// Whether a name is spelled otherwise than the variable it stands for: with
// a leading "-", or in slash form. Its first separator is looked for in its
// first eight bytes at once, where it nearly always is.
static bool respelled_name(std::string_view name)
{
	if (!name.empty() && name[0] == '-')
		return true;
	if (name.size() >= 8) {
		uint64_t w = word(name.data());
		uint64_t slashes = has_byte(w, '/'), seps = has_byte(w, '.') | slashes;
		if (seps != 0)
			return (slashes & seps & -seps) != 0;
	}
	for (char c : name)
		if (c == '.' || c == '/')
			return c == '/';
	return false;
}

// The variable that a name spelled otherwise stands for: one leading "-"
// dropped, in dot form.
static std::string variable_of(std::string_view name)
{
	if (!name.empty() && name[0] == '-')
		name.remove_prefix(1);
	std::string buf;
	std::string_view v = dot_form(name, buf);
	return v.data() == buf.data() ? buf : std::string(v);
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
		if (list.size() <= sizeof idx.few) {
			memset(idx.few, 0, list.size());
			idx.marks = idx.few;
		} else {
			idx.many.assign(list.size(), 0);
			idx.marks = idx.many.data();
		}
		std::vector<assignment *> spelled;
		for (assignment &a : list) {
			uint64_t h = key_hash(a.name.data(), a.name.size());
			auto [it, fresh] = idx.first.emplace(hashed_key{a.name, h}, &a);
			if (!fresh) {
				idx.marks[it->second - list.data()] |= repeated;
				continue;
			}
			add_filter(idx, h);
			if (!respelled_name(a.name))
				continue;
			// A pattern ("*") stands for no one variable, and no line sets it.
			std::string v = variable_of(a.name);
			if (v.find('*') == std::string::npos) {
				idx.dotted.push_back(v);
				spelled.push_back(&a);
			}
		}
		// Only now that the texts stay where they are.
		for (size_t i = 0; i < spelled.size(); i++) {
			const std::string &v = idx.dotted[i];
			uint64_t h = key_hash(v.data(), v.size());
			idx.respelled.emplace(hashed_key{v, h}, spelled[i]);
			add_filter(idx, h);
			idx.as_named = false;
		}
		idx.built = true;
	} catch (const std::bad_alloc &) {
		idx.first.clear();
		idx.respelled.clear();
	}
}

static const char *key_start(const char *line, const char *end)
{
	while (line < end && is_space(*line))
		line++;
	return line;
}

// The key of a line: from its first non-white byte to its first "=", or to
// its end, line feed included, when it has none (eq is then nullptr); with
// its hash where the index is built. Where lines are read for what they set
// (voting), as_written tells that the line outvotes no entry: its key, not
// empty, with no ":" or "/", no "-" first and no whitespace last (nor any
// other byte up to a blank, as it may as well), names what it sets, and no
// entry is spelled otherwise.
struct line_key {
	const char *key, *eq, *end;
	uint64_t hash;
	bool as_written;
};

#ifdef __SSE2__
// The positions of "=", ":" and "/" among the sixteen bytes at p, as bits.
static unsigned signs(const char *p)
{
	__m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
	return unsigned(_mm_movemask_epi8(_mm_or_si128(_mm_or_si128(
	    _mm_cmpeq_epi8(x, _mm_set1_epi8('=')),
	    _mm_cmpeq_epi8(x, _mm_set1_epi8(':'))),
	    _mm_cmpeq_epi8(x, _mm_set1_epi8('/')))));
}
#endif

// The first "=", ":" or "/" from p to end, or nullptr: one pass over the
// key where lines are read for what they set, in place of the search for
// its "=" alone; sixteen bytes at a time where the processor can, the last
// sixteen of the line overlapping the ones before.
[[gnu::always_inline]] static inline const char *find_sign(const char *p,
    const char *end)
{
#ifdef __SSE2__
	if (end - p >= 16) {
		for (; end - p > 16; p += 16)
			if (unsigned m = signs(p))
				return p + __builtin_ctz(m);
		p = end - 16;
		unsigned m = signs(p);
		return m != 0 ? p + __builtin_ctz(m) : nullptr;
	}
#endif
	for (; p < end; p++)
		if (*p == '=' || *p == ':' || *p == '/')
			return p;
	return nullptr;
}

// Returns the first entry whose name equals the key of keylen bytes at key,
// or nullptr; h is the key's hash, which the filter let through, where the
// index is built.
[[gnu::noinline]] static assignment *find_entry(const char *key,
    size_t keylen, uint64_t h, std::vector<assignment> &list,
    const name_index &idx)
{
	if (idx.built) {
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

// The name that a line sets as its readers take it, from key, its first
// byte after leading whitespace, to end: after at most one "-" and the
// whitespace behind it, the text up to the first "=" or ":", whitespace
// before that trimmed. False for a line that sets nothing: a comment, a line
// without either sign, an empty name or one holding a "*" (a pattern).
static bool set_name(const char *key, const char *end, std::string_view &name)
{
	const char *p = key;
	if (p < end && (*p == '#' || *p == ';'))
		return false;
	if (p < end && *p == '-')
		for (p++; p < end && is_space(*p); p++)
			;
	const char *q = p;
	while (q < end && *q != '=' && *q != ':')
		q++;
	if (q == end)
		return false;
	while (q > p && is_space(q[-1]))
		q--;
	if (q == p || memchr(p, '*', q - p) != nullptr)
		return false;
	name = std::string_view(p, q - p);
	return true;
}

static void outvote(assignment *a, std::vector<assignment> &list,
    name_index &idx)
{
	if (a->written)
		idx.marks[a - list.data()] |= outvoted;
}

// Marks the entries that have replaced a line for the variable called
// name, in dot form, whose hash is h.
static void outvote_all(std::string_view name, uint64_t h,
    std::vector<assignment> &list, name_index &idx)
{
	if (!filter_has(idx, h))
		return;
	hashed_key k{name, h};
	auto it = idx.first.find(k);
	// An entry filed under its own name stands for it unless it begins
	// with a "-"; one in slash form never has a dot-form name.
	if (it != idx.first.end() && it->second->name[0] != '-')
		outvote(it->second, list, idx);
	for (auto [i, e] = idx.respelled.equal_range(k); i != e; ++i)
		outvote(i->second, list, idx);
}

static bool has_sign(const char *key, const char *eq)
{
	for (; key < eq; key++)
		if (*key == ':' || *key == '/')
			return true;
	return false;
}

// Notes which entries a copied line that is not as_written outvotes. One
// whose key names what it sets can only set the variable of an entry that
// is spelled otherwise. Kept out of the loop over the lines, which it would
// otherwise swell.
[[gnu::noinline]] static void vote(const line_key &k,
    std::vector<assignment> &list, name_index &idx)
{
	const char *key = k.key, *eq = k.eq, *end = k.end;
	if (eq != nullptr && eq > key && *key != '-' &&
	    static_cast<unsigned char>(eq[-1]) > ' ' && !has_sign(key, eq)) {
		if (*key != '#' && *key != ';')
			outvote_all(std::string_view(key, eq - key), k.hash, list, idx);
		return;
	}
	std::string_view name;
	if (!set_name(key, end, name))
		return;
	try {
		name = dot_form(name, idx.scratch);
		outvote_all(name, key_hash(name.data(), name.size()), list, idx);
	} catch (const std::bad_alloc &) {
		idx.unsure = true;
	}
}

// Replaces the line of len bytes at the buffer's start if its key names an
// entry, else leaves it to be copied with its neighbours; moves past it.
[[gnu::always_inline]] static inline void merge_line(line_buffer &b,
    size_t len, bool newline,
    std::vector<assignment> &list, name_index &idx, FILE *out)
{
	line_key k;
	k.end = b.data + b.start + len;
	const char *key = k.key = key_start(b.data + b.start, k.end);
	const char *eq;
	k.as_written = false;
	if (idx.voting) {
		eq = find_sign(key, k.end);
		if (eq != nullptr && *eq != '=')
			eq = static_cast<const char *>(memchr(eq, '=', k.end - eq));
		else if (eq != nullptr && eq != key)
			k.as_written = (*key != '-') &
			    (static_cast<unsigned char>(eq[-1]) > ' ') & idx.as_named;
	} else {
		eq = static_cast<const char *>(memchr(key, '=', k.end - key));
	}
	k.eq = eq;
	size_t keylen = (eq != nullptr ? eq : k.end) - key;
	assignment *a = nullptr;
	k.hash = 0;
	if (!idx.built || filter_has(idx, k.hash = key_hash(key, keylen)))
		a = find_entry(key, keylen, k.hash, list, idx);
	if (a != nullptr) {
		put_copied(b, out);
		put_assignment(*a, newline, out);
		a->written = true;
		b.copied = b.start + len;
		if (idx.built) {
			idx.marks[a - list.data()] &= ~outvoted;
			idx.voting = true;
		}
	} else if (idx.voting && !k.as_written) {
		vote(k, list, idx);
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

// Whether an entry that replaced a line is appended too, to have the last
// word: a copied line set its variable after the last line it replaced, and
// no later entry of its name is appended anyway. Without memory to tell, it
// is, which gives it the last word in any case.
static bool again(const name_index &idx, size_t i)
{
	if (!idx.built)
		return true;
	return (idx.unsure || idx.marks[i] & outvoted) && !(idx.marks[i] & repeated);
}

// Copies in to out, replacing every line whose key names an entry by that
// entry's first occurrence in list, then appends the entries that replaced no
// line, and in their order those that a later line outvoted (see again).
// Lines are copied as bytes, zero bytes included, and runs of unchanged lines
// in bulk. Ends the process on a read or write failure.
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

	for (size_t i = 0; i < list.size(); i++) {
		const assignment &a = list[i];
		if (a.written && !again(idx, i))
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
