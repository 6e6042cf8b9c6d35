// wickerpost-check, what its files share. The listing (wickerpost_check.cpp)
// walks the model and calls the checks: of the outputs
// (wickerpost_check_outputs.cpp), of piped commands
// (wickerpost_check_command.cpp), and of a Log block's file settings, which
// it also lists (wickerpost_check_rules.cpp).
#pragma once

#include <string>

#include "config/model.h"

namespace check {

// Problems found so far; each was printed when found.
extern int problems;

// Prints a problem to standard error and counts it.
__attribute__((format(printf, 1, 2))) void problem(const char *format, ...);

// A value as the listing shows it: as written, or in single quotes when it
// is empty or holds a blank, so that its extent is plain.
std::string shown(const char *value);

// The directory part of `path`: "." when it has none.
std::string directory_of(const std::string &path);

// Whether this process (its effective ids) may access `path` with `mode`.
bool accessible(const std::string &path, int mode);

struct FileIdentity;

// Whether `path` could be opened for appending, created if need be; else
// the reason. `id`, when given, receives the file's identity.
bool file_writable(const std::string &path, std::string *reason, FileIdentity *id);

// ---------------------------------------------------------------- outputs

// A File: writable, and no other File path naming the same file.
void check_file(const LogFile *file, const std::string &context);

// A pattern expanded for now, for the listing.
std::string expanded_now(const char *pattern);

// A DatedFile: its name for now writable, or its missing directories
// possible to make.
void check_dated_file(const LogFile *file, const std::string &context);

// A VhostDir: a directory files can be created in.
void check_vhostdir(const char *dir, const std::string &context);

// A StatsFile: not a directory, in a directory files can be created in.
void check_stats_file(const char *path);

// ------------------------------------------------------- piped commands

// What the listing says about the command's program; a problem for a
// program that cannot be started and for a file it cannot write.
std::string check_command(const LogFile *file, const std::string &context);

// ----------------------------------------------------------- file settings

// Lists the file settings of a Log block and checks the owner and group
// its files are given.
void list_rules(const FileRules *r, const std::string &context);

}  // namespace check
