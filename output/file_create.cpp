// Files and directories made with the modes and owners of their Log block
// (see Creation in output/file_rules.h).
#include "output/writer_internal.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace writer {
namespace {

// Outputs whose failed fchown or fchmod was said already.
std::vector<int> said_for;

// fchown then fchmod (a chown clears set-id bits, so the mode goes last)
// of a file or directory just made; a refusal said once per output.
void apply_owner_and_mode(int fd, const char *path, const FileRules *rules, unsigned mode, bool has_mode, int out)
{
    int error = 0;
    if (file_rule(rules, FILE_RULE_OWNER) || file_rule(rules, FILE_RULE_GROUP)) {
        uid_t uid = file_rule(rules, FILE_RULE_OWNER) ? static_cast<uid_t>(rules->owner) : static_cast<uid_t>(-1);
        gid_t gid = file_rule(rules, FILE_RULE_GROUP) ? static_cast<gid_t>(rules->group) : static_cast<gid_t>(-1);
        if (fchown(fd, uid, gid) != 0)
            error = errno;
    }
    if (has_mode && fchmod(fd, mode) != 0 && error == 0)
        error = errno;
    if (error == 0)
        return;
    for (int seen : said_for)
        if (seen == out)
            return;
    said_for.push_back(out);
    fprintf(stderr, "Cannot set owner or mode of %s: %s\n", path, strerror(error));
}

// Settings that need to know whether the file was made here.
bool creation_rules(const FileRules *rules)
{
    return file_rule(rules, FILE_RULE_FILE_MODE) || file_rule(rules, FILE_RULE_OWNER) ||
           file_rule(rules, FILE_RULE_GROUP) || file_rule(rules, FILE_RULE_SYNC);
}

}  // namespace

int open_created(int dir, const char *path, int flags, const FileRules *rules, int out)
{
    if (!creation_rules(rules))
        return openat(dir, path, flags, 0644);
    bool has_mode = file_rule(rules, FILE_RULE_FILE_MODE);
    unsigned mode = has_mode ? rules->file_mode : 0644;
    // Only a file made here gets the settings: the first open does not
    // create; a file made by someone else in between is opened as it is.
    for (int attempt = 0; attempt < 10; attempt++) {
        int fd = openat(dir, path, flags & ~O_CREAT);
        if (fd >= 0 || errno != ENOENT)
            return fd;
        fd = openat(dir, path, flags | O_CREAT | O_EXCL, mode);
        if (fd >= 0) {
            apply_owner_and_mode(fd, path, rules, mode, has_mode, out);
            if (file_rule(rules, FILE_RULE_SYNC))
                sync_directory_soon(dir, path);
            return fd;
        }
        if (errno != EEXIST)
            return -1;
    }
    return openat(dir, path, flags, mode);
}

int make_directory(int dir, const char *name, const FileRules *rules, int out)
{
    bool has_mode = file_rule(rules, FILE_RULE_DIR_MODE);
    unsigned mode = has_mode ? rules->dir_mode : 0755;
    if (mkdirat(dir, name, mode) != 0)
        return errno == EEXIST ? 0 : -1;
    if (file_rule(rules, FILE_RULE_SYNC))
        sync_directory_soon(dir, name);
    if (has_mode || file_rule(rules, FILE_RULE_OWNER) || file_rule(rules, FILE_RULE_GROUP)) {
        int fd = openat(dir, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd >= 0) {
            apply_owner_and_mode(fd, name, rules, mode, has_mode, out);
            close(fd);
        }
    }
    return 0;
}

}  // namespace writer
