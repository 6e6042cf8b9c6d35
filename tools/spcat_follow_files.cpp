// spcat's follow mode: the followed files and the batch read from them.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "spcat_follow.h"

namespace spcat::follow {
namespace {

// Says `text` about a path once, until something else is said of it.
void say_once(Followed &p, const std::string &text)
{
    if (p.said == text)
        return;
    p.said = text;
    fprintf(stderr, "%s\n", text.c_str());
}

void watch_file(Follower &f, OpenFile &file)
{
    if (f.inotify_fd < 0)
        return;
    // The descriptor's link names the inode, whatever its name is now.
    char link[64];
    snprintf(link, sizeof link, "/proc/self/fd/%d", file.fd);
    file.wd = inotify_add_watch(f.inotify_fd, link, FILE_EVENTS);
}

void close_file(Follower &f, OpenFile &file)
{
    if (file.wd >= 0 && f.inotify_fd >= 0)
        inotify_rm_watch(f.inotify_fd, file.wd);
    close(file.fd);
    file.fd = -1;
}

// Whether the first `len` bytes of fd hash to `hash`.
bool same_start(int fd, uint32_t len, uint64_t hash)
{
    char buf[POS_FP_MAX];
    return pread(fd, buf, len, 0) == (ssize_t)len && pos_fingerprint(buf, len) == hash;
}

// Opens `name` in dirfd (AT_FDCWD for a path) if it is still the regular
// file `st` says; -1 otherwise, errno set.
int open_same(int dirfd, const char *name, const struct stat &st)
{
    int fd = openat(dirfd, name, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return -1;
    struct stat now;
    if (fstat(fd, &now) != 0 || now.st_dev != st.st_dev || now.st_ino != st.st_ino || !S_ISREG(now.st_mode)) {
        close(fd);
        errno = ESTALE;
        return -1;
    }
    return fd;
}

OpenFile opened(int fd, const struct stat &st)
{
    OpenFile file;
    file.fd = fd;
    file.dev = (uint64_t)st.st_dev;
    file.ino = (uint64_t)st.st_ino;
    file.size = (uint64_t)st.st_size;
    file.nlink = st.st_nlink;
    file.grew_at = Clock::now();
    return file;
}

// The file `e` names, found at the path or, renamed, in its directory, and
// checked by its fingerprint; false when it is not there.  *at_path tells
// where it was found; *reused that the path's inode holds another file.
bool find_file(const Followed &p, const PosEntry &e, OpenFile *out, bool *at_path, bool *reused)
{
    struct stat st;
    *at_path = *reused = false;
    if (stat(p.arg.path.c_str(), &st) == 0 && (uint64_t)st.st_dev == e.dev && (uint64_t)st.st_ino == e.ino) {
        int fd = open_same(AT_FDCWD, p.arg.path.c_str(), st);
        if (fd >= 0 && same_start(fd, e.fp_len, e.fp_hash)) {
            *out = opened(fd, st);
            *at_path = true;
            return true;
        }
        if (fd >= 0) {
            close(fd);
            *reused = true;
            return false;
        }
    }
    DIR *d = opendir(p.dir.c_str());
    if (d == nullptr)
        return false;
    bool found = false;
    while (dirent *de = readdir(d)) {
        if (fstatat(dirfd(d), de->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode) ||
            (uint64_t)st.st_dev != e.dev || (uint64_t)st.st_ino != e.ino)
            continue;
        int fd = open_same(dirfd(d), de->d_name, st);
        if (fd >= 0 && same_start(fd, e.fp_len, e.fp_hash)) {
            *out = opened(fd, st);
            found = true;
        } else if (fd >= 0) {
            close(fd);
        }
        break;
    }
    closedir(d);
    return found;
}

// Whether a rotated file may be closed once read to its end.
bool may_close(const Followed &p, size_t i, Clock::time_point now)
{
    const OpenFile &file = p.files[i];
    if (!file.rotated || now - file.grew_at < ROTATED_IDLE)
        return false;
    if (file.nlink == 0)
        return true;
    for (size_t j = i + 1; j < p.files.size(); j++)
        if (p.files[j].size > 0)
            return true;
    return false;
}

void add_message(Follower &f, const Followed &p, const char *data, size_t n)
{
    size_t start = f.batch.bytes.size();
    if (!p.arg.prefix.empty()) {
        f.batch.bytes += p.arg.prefix;
        f.batch.bytes += ' ';
    }
    f.batch.bytes.append(data, n);
    f.batch.messages.emplace_back(start, f.batch.bytes.size() - start);
}

// Reads what `file` holds past its offset into the batch: whole lines,
// pieces of lines longer than a message, and the last line without its
// newline when the file is to be closed.  False after a read error (said).
bool read_file(Follower &f, Followed &p, size_t i, bool closing)
{
    OpenFile &file = p.files[i];
    const size_t room = f.limit - (p.arg.prefix.empty() ? 0 : p.arg.prefix.size() + 1);
    std::string data;
    size_t used = 0;             // bytes of `data` in the batch
    uint64_t pos = file.batch_end;  // the file's byte at data[0]
    // The file read to its end as it is now: what it holds is in the batch,
    // but for a last line without its newline, which goes as it is only
    // when the file is to be closed.
    auto at_end = [&] {
        file.dirty = false;
        if (closing) {
            if (used < data.size())
                add_message(f, p, data.data() + used, data.size() - used);
            used = data.size();
            file.close_after = true;
            f.batch.closes = true;
        }
    };
    for (;;) {
        ssize_t n = pread(file.fd, f.chunk.data(), f.chunk.size(), (off_t)(pos + data.size()));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            fprintf(stderr, "spcat: cannot read %s: %s\n", quoted(p.arg.path).c_str(), strerror(errno));
            return false;
        }
        if (n == 0) {
            if (data.empty() && file.offset > 0 && file.batch_end == file.offset) {
                struct stat st;
                if (fstat(file.fd, &st) == 0 && (uint64_t)st.st_size < file.offset) {
                    // Truncated: from its start.  Nothing is in the batch
                    // for this file yet, so its offset can move now.
                    fprintf(stderr, "spcat: %s truncated; following it from its start\n",
                            quoted(p.arg.path).c_str());
                    file.offset = file.fp_len = 0;
                    file.fp_hash = pos_fingerprint("", 0);
                    file.batch_end = 0;
                    file.size = (uint64_t)st.st_size;
                    pos = 0;
                    continue;
                }
            }
            at_end();
            break;
        }
        data.append(f.chunk.data(), (size_t)n);
        if (pos + data.size() > file.size) {
            file.size = pos + data.size();
            file.grew_at = Clock::now();
        }
        while (!f.batch.full()) {
            const char *start = data.data() + used;
            size_t left = data.size() - used;
            const char *nl = (const char *)memchr(start, '\n', std::min(left, room));
            size_t line = nl ? (size_t)(nl - start) + 1 : left >= room ? room : 0;
            if (line == 0)
                break;
            add_message(f, p, start, line);
            used += line;
        }
        if (f.batch.full())
            break;
        if ((size_t)n < f.chunk.size()) {   // the end, without a read that says so
            at_end();
            break;
        }
        // Keep only the line being read.
        pos += used;
        data.erase(0, used);
        used = 0;
    }
    file.batch_end = pos + used;
    return true;
}

}  // namespace

// Takes up the files of the position file's entries, each at its offset.
void restore(Follower &f, const std::vector<PosEntry> &entries)
{
    for (Followed &p : f.paths)
        for (const PosEntry &e : entries) {
            if (e.path != p.arg.path)
                continue;
            OpenFile file;
            bool at_path, reused;
            if (!find_file(p, e, &file, &at_path, &reused)) {
                if (reused)
                    fprintf(stderr, "spcat: %s is not the file read before (truncated, or a new file on its inode); "
                                    "following it from its start\n", quoted(p.arg.path).c_str());
                else if (e.offset > 0)
                    fprintf(stderr, "spcat: the file read before as %s (inode %llu) is gone; lines after its byte "
                                    "%llu were not sent\n", quoted(p.arg.path).c_str(), (unsigned long long)e.ino,
                            (unsigned long long)e.offset);
                continue;
            }
            bool twice = false;
            for (const OpenFile &other : p.files)
                twice |= other.dev == file.dev && other.ino == file.ino;
            if (twice) {
                close(file.fd);
                continue;
            }
            file.rotated = !at_path;
            file.offset = e.offset;
            file.fp_len = e.fp_len;
            file.fp_hash = e.fp_hash;
            if (file.size < file.offset) {
                fprintf(stderr, "spcat: %s truncated; following it from its start\n", quoted(p.arg.path).c_str());
                file.offset = file.fp_len = 0;
                file.fp_hash = pos_fingerprint("", 0);
            }
            file.batch_end = file.offset;
            watch_file(f, file);
            p.files.push_back(file);
        }
    // A file found at the path must come last: files found renamed were
    // read before it.
    for (Followed &p : f.paths)
        std::stable_partition(p.files.begin(), p.files.end(), [](const OpenFile &file) { return file.rotated; });
}

// Looks at every path and every open file: a new file at a path, a file
// gone from its path, sizes, removals, truncations.
void look(Follower &f)
{
    Clock::time_point now = Clock::now();
    for (Followed &p : f.paths) {
        struct stat st;
        OpenFile *last = p.files.empty() ? nullptr : &p.files.back();
        if (stat(p.arg.path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
            bool known = false;
            for (OpenFile &file : p.files)
                if (file.dev == (uint64_t)st.st_dev && file.ino == (uint64_t)st.st_ino)
                    known = true;
            if (!known) {
                int fd = open_same(AT_FDCWD, p.arg.path.c_str(), st);
                if (fd < 0 && errno != ESTALE && errno != ENOENT) {
                    say_once(p, "spcat: cannot open " + quoted(p.arg.path) + ": " + strerror(errno));
                } else if (fd >= 0) {
                    p.said.clear();
                    if (last && !last->rotated) {
                        last->rotated = true;
                        last->grew_at = now;
                    }
                    OpenFile file = opened(fd, st);
                    file.fp_hash = pos_fingerprint("", 0);
                    watch_file(f, file);
                    p.files.push_back(file);
                }
            }
        } else if (last && !last->rotated) {
            last->rotated = true;
            last->grew_at = now;
        }
        for (OpenFile &file : p.files) {
            if (fstat(file.fd, &st) != 0)
                continue;
            if ((uint64_t)st.st_size != file.size) {
                file.dirty = true;
                if ((uint64_t)st.st_size > file.size)
                    file.grew_at = now;
            }
            file.size = (uint64_t)st.st_size;
            file.nlink = st.st_nlink;
        }
    }
}

// Adds to the batch what the files that changed hold past what is in it,
// oldest file first.  False after a read error.
bool read_batch(Follower &f)
{
    Clock::time_point now = Clock::now();
    for (Followed &p : f.paths)
        for (size_t i = 0; i < p.files.size(); i++) {
            OpenFile &file = p.files[i];
            bool closing = may_close(p, i, now);
            if (f.batch.full() || file.close_after || (!file.dirty && !closing))
                continue;
            if (!read_file(f, p, i, closing))
                return false;
        }
    return true;
}

// Drops the batch (not taken): its lines are read again.
void drop_batch(Follower &f)
{
    f.batch.bytes.clear();
    f.batch.messages.clear();
    f.batch.closes = false;
    for (Followed &p : f.paths)
        for (OpenFile &file : p.files) {
            file.batch_end = file.offset;
            file.close_after = false;
            file.dirty = true;
        }
}

// Applies the batch the daemon took: offsets, fingerprints, closings.
void commit(Follower &f)
{
    for (Followed &p : f.paths) {
        for (OpenFile &file : p.files) {
            file.offset = file.batch_end;
            uint32_t want = (uint32_t)std::min<uint64_t>(file.offset, POS_FP_MAX);
            if (file.fp_len < want) {
                char buf[POS_FP_MAX];
                if (pread(file.fd, buf, want, 0) == (ssize_t)want) {
                    file.fp_len = want;
                    file.fp_hash = pos_fingerprint(buf, want);
                }
            }
            if (file.close_after)
                close_file(f, file);
        }
        p.files.erase(std::remove_if(p.files.begin(), p.files.end(), [](const OpenFile &file) { return file.fd < 0; }),
                      p.files.end());
    }
    f.batch.bytes.clear();
    f.batch.messages.clear();
    f.batch.closes = false;
}

}  // namespace spcat::follow
