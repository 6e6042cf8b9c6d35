// Dated file names: a DatedFile or VhostFile pattern is a path whose
// strftime(3) conversions are expanded in local time (the daemon's TZ, as
// the timestamp rewriting uses it). A file's period ends when the expanded
// name changes.
//
// The fixed part of a pattern is what comes before its first path
// component that holds a '%': it must exist; the directories below it are
// created (mode 0755) as the expanded names need them.
#pragma once

#include <ctime>
#include <cstddef>

// Expands `pattern` for the time `when` into buf[0, size); the length of
// the name, or 0 when it is empty or does not fit (size - 1 bytes at most).
size_t dated_expand(const char *pattern, time_t when, char *buf, size_t size);

// Length of the pattern's fixed part: the bytes before the '/' that ends
// the last component without a '%' in front of the first one holding one
// ("/var/log/web/%Y/x.log" gives 12, "/var/log/web"; "%Y.log" gives 0).
size_t dated_fixed_length(const char *pattern);

// Why `pattern` cannot be a DatedFile (vhost_file false) or a VhostFile
// (true), or null when it can: a DatedFile naming a piped command, a
// VhostFile that is absolute, an empty or ".." component, a name that
// expands (now) to nothing or to more than PATH_MAX bytes. The text ends
// with a newline.
const char *dated_pattern_error(const char *pattern, bool vhost_file);
