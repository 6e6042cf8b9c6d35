#include "config/dated.h"

#include <climits>
#include <cstdlib>
#include <cstring>

size_t dated_expand(const char *pattern, time_t when, char *buf, size_t size)
{
    struct tm local;
    if (size == 0 || localtime_r(&when, &local) == nullptr)
        return 0;
    // strftime gives 0 both for an empty result and for one that does not
    // fit; either way there is no name.
    return strftime(buf, size, pattern, &local);
}

size_t dated_fixed_length(const char *pattern)
{
    const char *percent = strchr(pattern, '%');
    if (percent == nullptr)
        percent = pattern + strlen(pattern);
    size_t end = 0;
    for (const char *p = pattern; p < percent; p++)
        if (*p == '/')
            end = static_cast<size_t>(p - pattern);
    return end;
}

// True when a component of `path` (split at '/') is empty or "..". A
// leading '/' is the root, not an empty component.
static bool bad_component(const char *path)
{
    const char *p = *path == '/' ? path + 1 : path;
    for (;;) {
        const char *slash = strchr(p, '/');
        size_t n = slash ? static_cast<size_t>(slash - p) : strlen(p);
        if (n == 0 || (n == 2 && p[0] == '.' && p[1] == '.'))
            return true;
        if (slash == nullptr)
            return false;
        p = slash + 1;
    }
}

const char *dated_pattern_error(const char *pattern, bool vhost_file)
{
    if (!vhost_file && pattern[0] == '|')
        return "DatedFile cannot name a piped command\n";
    if (vhost_file && pattern[0] == '/')
        return "VhostFile must be a relative path\n";
    if (bad_component(pattern))
        return "Empty or .. component in a file name pattern\n";
    // Expanded behind one byte of our own, so that a result of 0 can only
    // mean one that does not fit, and 1 an empty name.
    size_t length = strlen(pattern);
    char *marked = static_cast<char *>(malloc(length + 2));
    if (marked == nullptr)
        return "Out of memory while building the configuration\n";
    marked[0] = 'x';
    memcpy(marked + 1, pattern, length + 1);
    char name[PATH_MAX + 1];
    size_t n = dated_expand(marked, time(nullptr), name, sizeof name);
    free(marked);
    if (n == 0)
        return "File name pattern expands to a name longer than PATH_MAX\n";
    if (n == 1)
        return "File name pattern expands to an empty name\n";
    if (bad_component(name + 1))
        return "Empty or .. component in a file name pattern\n";
    return nullptr;
}
