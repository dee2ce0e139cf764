#include <cstdlib>
#include <cstring>
#include <err.h>

#include "morlvane.h"

// Returns the first entry whose name equals the line's key, or nullptr. The
// key runs from the first non-white byte to the first "=", or to the end of
// the line, line feed included, when there is none.
static assignment *find_entry(const char *line, size_t len,
    std::vector<assignment> &list)
{
	const char *end = line + len;
	const char *key = line;
	while (key < end && is_space(*key))
		key++;
	const char *eq = static_cast<const char *>(memchr(key, '=', end - key));
	size_t keylen = (eq != nullptr ? eq : end) - key;
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
	if (fprintf(out, "%s=%s%s", a.name.c_str(), a.value.c_str(),
	    newline ? "\n" : "") < 0)
		err(1, "fprintf()");
}

// Copies in to out line by line, replacing every line whose key names an
// entry by that entry's first occurrence in list, then appends the entries
// that replaced no line. Lines are copied as bytes, zero bytes included. Ends
// the process on a read or write failure.
void merge_config(FILE *in, FILE *out, std::vector<assignment> &list)
{
	char *line = nullptr;
	size_t cap = 0;
	ssize_t len;
	bool ended = true;

	while ((len = getline(&line, &cap, in)) != -1) {
		ended = line[len - 1] == '\n';
		assignment *a = find_entry(line, len, list);
		if (a == nullptr) {
			put(line, len, out);
			continue;
		}
		put_assignment(*a, ended, out);
		a->written = true;
	}
	// getline also returns -1 when it runs out of memory, without always
	// marking the stream: only a clean end of file is the end of the text.
	if (ferror(in) || !feof(in))
		err(1, "getline()");
	free(line);

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
