// wickerpost-check: the checks of the outputs (File, DatedFile, VhostDir,
// StatsFile), made without opening, creating or locking anything.
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "config/dated.h"
#include "config/model.h"
#include "wickerpost_check.h"

namespace check {

// Identity of the file a File path opens, to find two paths naming one
// file: the file's device and inode when it exists, else its directory's
// and its own name.
struct FileIdentity {
    dev_t dev;
    ino_t ino;
    std::string name;  // empty when the file exists
    const LogFile *file;
    std::string context;
};

namespace {

std::vector<FileIdentity> identities;

}  // namespace

std::string directory_of(const std::string &path)
{
    size_t slash = path.find_last_of('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

bool accessible(const std::string &path, int mode)
{
    return faccessat(AT_FDCWD, path.c_str(), mode, AT_EACCESS) == 0;
}

// Whether `path` could be opened for appending, created if need be; else
// the reason. `id`, when given, receives the file's identity.
bool file_writable(const std::string &path, std::string *reason, FileIdentity *id)
{
    struct stat st;
    if (path.empty()) {
        *reason = strerror(ENOENT);
        return false;
    }
    if (stat(path.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode)) {
            *reason = strerror(EISDIR);
            return false;
        }
        if (!accessible(path, W_OK)) {
            *reason = strerror(errno);
            return false;
        }
        if (id != nullptr)
            *id = FileIdentity{st.st_dev, st.st_ino, "", nullptr, ""};
        return true;
    }
    if (errno != ENOENT) {
        *reason = strerror(errno);
        return false;
    }
    std::string dir = directory_of(path);
    if (stat(dir.c_str(), &st) != 0) {
        *reason = "directory " + dir + ": " + strerror(errno);
        return false;
    }
    if (!S_ISDIR(st.st_mode)) {
        *reason = "directory " + dir + ": " + strerror(ENOTDIR);
        return false;
    }
    if (!accessible(dir, W_OK | X_OK)) {
        *reason = "directory " + dir + ": " + strerror(errno);
        return false;
    }
    if (id != nullptr)
        *id = FileIdentity{st.st_dev, st.st_ino, path.substr(path.find_last_of('/') + 1), nullptr, ""};
    return true;
}

void check_file(const LogFile *file, const std::string &context)
{
    std::string reason;
    FileIdentity id;
    if (!file_writable(file->filename, &reason, &id)) {
        problem("Cannot write %s (%s): %s\n", file->filename, context.c_str(), reason.c_str());
        return;
    }
    id.file = file;
    id.context = context;
    for (const FileIdentity &seen : identities)
        if (seen.dev == id.dev && seen.ino == id.ino && seen.name == id.name) {
            problem("File %s (%s) is the file %s (%s) again: its lock would fail\n", file->filename,
                    context.c_str(), seen.file->filename, seen.context.c_str());
            return;
        }
    identities.push_back(id);
}

// A pattern expanded for now, for the listing.
std::string expanded_now(const char *pattern)
{
    char name[PATH_MAX];
    return dated_expand(pattern, time(nullptr), name, sizeof name) > 0 ? std::string(name) : std::string();
}

namespace {

// The directory a dated name's missing directories are made in: the
// pattern's fixed part.
std::string fixed_directory(const char *pattern)
{
    size_t fixed = dated_fixed_length(pattern);
    if (fixed > 0)
        return std::string(pattern, fixed);
    return pattern[0] == '/' ? "/" : ".";
}

// Why no file can be created in `dir`; "" when one can.
std::string cannot_create_in(const std::string &dir)
{
    struct stat st;
    if (stat(dir.c_str(), &st) != 0)
        return strerror(errno);
    if (!S_ISDIR(st.st_mode))
        return strerror(ENOTDIR);
    if (!accessible(dir, W_OK | X_OK))
        return strerror(errno);
    return "";
}

}  // namespace

void check_dated_file(const LogFile *file, const std::string &context)
{
    std::string now = expanded_now(file->filename);
    struct stat st;
    std::string reason;
    if (stat(directory_of(now).c_str(), &st) == 0) {
        // This period's directory is there: the file itself, as a File.
        if (!file_writable(now, &reason, nullptr))
            problem("Cannot write %s for DatedFile %s (%s): %s\n", now.c_str(), file->filename, context.c_str(),
                    reason.c_str());
        return;
    }
    std::string dir = fixed_directory(file->filename);
    reason = cannot_create_in(dir);
    if (!reason.empty())
        problem("Cannot create directories in %s for DatedFile %s (%s): %s\n", dir.c_str(), file->filename,
                context.c_str(), reason.c_str());
}

void check_vhostdir(const char *dir, const std::string &context)
{
    std::string reason = cannot_create_in(dir);
    if (!reason.empty())
        problem("Cannot create files in VhostDir %s (%s): %s\n", dir, context.c_str(), reason.c_str());
}

void check_stats_file(const char *path)
{
    std::string dir = directory_of(path), reason;
    struct stat st;
    if (stat(path, &st) == 0 && S_ISDIR(st.st_mode))
        reason = strerror(EISDIR);
    else if (stat(dir.c_str(), &st) != 0)
        reason = "directory " + dir + ": " + strerror(errno);
    else if (!S_ISDIR(st.st_mode))
        reason = "directory " + dir + ": " + strerror(ENOTDIR);
    else if (!accessible(dir, W_OK | X_OK))
        reason = "directory " + dir + ": " + strerror(errno);
    if (!reason.empty())
        problem("Cannot write StatsFile %s: %s\n", path, reason.c_str());
}

}  // namespace check
