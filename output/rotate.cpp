// The size limit of a file: rotated at a message boundary, NAME.1 ...
// NAME.Keep kept (see Size limit in output/file_rules.h).
#include "output/writer_internal.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "config/settings.h"

namespace writer {
namespace {

// Rotated files kept when a Log block gives MaxSize without Keep.
constexpr int default_keep = 7;

const char *const compressed_suffixes[] = {".zst", ".gz"};

int keep_of(const FileRules *rules)
{
    return file_rule(rules, FILE_RULE_KEEP) ? rules->keep : default_keep;
}

// rename(from, to) where a missing `from` is no error.
bool shift(const std::string &from, const std::string &to, int *error)
{
    if (rename(from.c_str(), to.c_str()) == 0 || errno == ENOENT)
        return true;
    *error = errno;
    return false;
}

// Whether rotated file i of `live` is there, in any of its forms.
bool number_taken(const std::string &live, int i)
{
    struct stat st;
    for (const char *suffix : {"", compressed_suffixes[0], compressed_suffixes[1]})
        if (lstat(rotated_name(live, i, suffix).c_str(), &st) == 0)
            return true;
    return false;
}

// Frees NAME.1 and moves NAME there. Only the run of numbers taken from
// NAME.1 up to the first free one moves, each file by one, from the
// oldest down, in the forms it has; when the run reaches Keep, NAME.Keep
// goes first. Why not every number up to Keep: a rotation then costs a
// rename per file there is, not three (plain, .zst, .gz) per number up to
// Keep, nearly all of them of names that are not there (some 3,000 calls
// per rotation with Keep = 1000). And a number freed by an operator (who
// removed or archived NAME.3, say) is filled by the next rotation, while
// the older files past it keep their numbers: nothing is renamed under
// someone working on them, and the numbers still run from newest to
// oldest. False with *error when a step failed; the numbers
// [*lowest, *highest] moved up by one all the same (a number moved past
// Keep was removed): no file is lost, the numbering may have a gap.
bool shift_names(const std::string &live, int keep, int *lowest, int *highest, int *error)
{
    int top = 0;
    while (top < keep && number_taken(live, top + 1))
        top++;
    *highest = top;
    *lowest = top + 1;
    if (top == keep) {
        for (const char *suffix : {"", compressed_suffixes[0], compressed_suffixes[1]})
            if (unlink(rotated_name(live, keep, suffix).c_str()) != 0 && errno != ENOENT) {
                *error = errno;
                return false;
            }
        *lowest = keep;
    }
    for (int i = top == keep ? keep - 1 : top; i >= 1; i--) {
        for (const char *suffix : {"", compressed_suffixes[0], compressed_suffixes[1]})
            if (!shift(rotated_name(live, i, suffix), rotated_name(live, i + 1, suffix), error))
                return false;
        *lowest = i;
    }
    return shift(live, rotated_name(live, 1), error);
}

// Opens the live name anew, as the file was opened: regular files only,
// no symlink for host files (their paths are built from messages).
int open_live(const Descriptor &d, int fd, int *error)
{
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0)
        flags = O_WRONLY | O_APPEND | O_NONBLOCK;
    flags = (flags & (O_ACCMODE | O_APPEND | O_NONBLOCK)) | O_CREAT | O_CLOEXEC;
    if (d.file == nullptr)
        flags |= O_NOFOLLOW;
    int fresh = open_making_room([&] { return open_created(AT_FDCWD, d.live.c_str(), flags, d.rules, d.output); });
    *error = errno;
    struct stat st;
    if (fresh >= 0 && (fstat(fresh, &st) != 0 || !S_ISREG(st.st_mode))) {
        close(fresh);
        *error = EINVAL;
        return -1;
    }
    return fresh;
}

// Rotates file fd: see the contract. The descriptor's record stays (same
// number), its size starts again from the new file's.
void rotate(int fd, Descriptor &d)
{
    flush_batch(fd);
    if (file_rule(d.rules, FILE_RULE_SYNC))
        sync_soon(fd);
    int keep = keep_of(d.rules);
    int error = 0;
    int fresh = -1;
    shift_rotated(d.live, keep,
                  [&](int *lowest, int *highest) { return shift_names(d.live, keep, lowest, highest, &error); });
    if (error == 0)
        fresh = open_live(d, fd, &error);
    if (fresh < 0) {
        fprintf(stderr, "Cannot rotate %s: %s\n", d.live.c_str(), strerror(error));
        d.size = 0;  // tried again after another limit's worth
        return;
    }
    output_lock_or_exit(fresh, d.live.c_str());
    // The old file's description (and its lock) ends with the dup3; the
    // new one, locked already, takes its number.
    if (dup3(fresh, fd, O_CLOEXEC) < 0) {
        fprintf(stderr, "Cannot rotate %s: %s\n", d.live.c_str(), strerror(errno));
        close(fresh);
        d.size = 0;
        return;
    }
    close(fresh);
    struct stat st;
    d.size = fstat(fd, &st) == 0 ? static_cast<unsigned long long>(st.st_size) : 0;
    if (Output *o = output_at(d.output)) {
        o->rotations++;
        o->file_opens++;
    }
    compress_rotated(d.output, d.rules, d.live, keep);
}

}  // namespace

std::string rotated_name(const std::string &live, int i, const char *suffix)
{
    if (i == 0)
        return live + suffix;
    return live + "." + std::to_string(i) + suffix;
}

void file_opened(int fd, const FileRules *rules, const char *path)
{
    Descriptor *d = descriptor_at(fd);
    if (d == nullptr || d->kind != KIND_FILE || rules == nullptr || rules->given == 0)
        return;
    if (pass_ms == 0)
        pass_ms = clock_ms();
    d->rules = rules;
    d->live = path;
    if (Output *o = output_at(d->output))
        o->has_rules = true;
    d->active = pass_ms;
    d->synced_at = pass_ms;
    struct stat st;
    d->size = fstat(fd, &st) == 0 ? static_cast<unsigned long long>(st.st_size) : 0;
    file_tracked(fd, *d);
    compress_recover(d->output, rules, d->live, keep_of(rules));
}

void follow_live_names()
{
    for (size_t fd = 0; fd < descriptors.size(); fd++) {
        Descriptor &d = descriptors[fd];
        if (d.kind != KIND_FILE || d.rules == nullptr || d.rules->max_size == 0)
            continue;
        struct stat held, named;
        if (fstat(static_cast<int>(fd), &held) != 0 ||
            (stat(d.live.c_str(), &named) == 0 && named.st_dev == held.st_dev && named.st_ino == held.st_ino))
            continue;
        // Rotated away by the daemon that handed over: its newer lines are
        // in the live file, which this descriptor must write after.
        int error = 0;
        int fresh = open_live(d, static_cast<int>(fd), &error);
        if (fresh < 0) {
            fprintf(stderr, "Cannot open %s: %s\n", d.live.c_str(), strerror(error));
            continue;
        }
        flush_batch(static_cast<int>(fd));
        if (!skip_locking && flock(fresh, LOCK_EX | LOCK_NB) != 0)
            fprintf(stderr, "Cannot lock %s, is another wickerpost running?\n", d.live.c_str());
        if (dup3(fresh, static_cast<int>(fd), O_CLOEXEC) >= 0)
            d.size = fstat(static_cast<int>(fd), &named) == 0 ? static_cast<unsigned long long>(named.st_size) : 0;
        close(fresh);
    }
}

void file_take(int fd, Descriptor &d, size_t length)
{
    if (d.rules->max_size != 0 && d.size > 0 && d.size + length > d.rules->max_size)
        rotate(fd, d);
    d.size += length;
    d.active = pass_ms;
    d.dirty = true;
}

}  // namespace writer
