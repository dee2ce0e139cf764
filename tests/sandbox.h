#ifndef SANDBOX_H
#define SANDBOX_H

#include <string>
#include <sys/types.h>
#include <vector>

// What one sandboxed run left behind.
struct outcome {
	bool sandboxed = false;   // the namespace and tmpfs were made
	int setup_status = -1;    // exit status of the setup script
	std::string setup_out;    // its standard output and error
	int status = -1;          // the tool's exit status; 128+N for signal N; -1 if not run
	std::string out, err;     // the tool's standard output and error
	bool conf_exists = false;
	mode_t conf_mode = 0;     // lstat of /etc/sysctl.conf afterwards
	std::string conf;         // its text (of the target, for a link)
	std::vector<std::string> etc;  // every name in /etc afterwards, sorted
	std::vector<std::string> temporaries() const;  // sysctl.conf.???? among them
	std::string file(const std::string &name) const;  // text of /etc/<name>
	std::string dir;          // where the copy of /etc is kept
};

// Runs setup with sh, then the tool with args, in a private mount namespace
// with a fresh tmpfs mounted over /etc with the given mount options; then
// copies /etc out for inspection. The script sees the tool's path in
// $MORLVANE and a private scratch directory outside /etc in $W. The machine's
// own /etc is never touched.
outcome sandbox(const std::string &setup, const std::vector<std::string> &args,
    const std::string &tmpfs_options = "size=4m");

// The same with no run of the tool but the script's own.
outcome sandbox_script(const std::string &script,
    const std::string &tmpfs_options = "size=4m");

// True where sandbox() can work: root, with mount namespaces.
bool sandbox_possible();

extern const char *const morlvane_bin;

#endif
