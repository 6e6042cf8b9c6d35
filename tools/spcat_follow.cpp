// spcat's follow mode (-f): the lines of files, one message each, across
// their rotation, from a position kept in a file (-p).
//
// One thread, one poll loop: SIGTERM (an eventfd that watch_term in
// spcat.cpp writes), inotify, the Spread session.  The files themselves are
// the queue: nothing is read while the daemon is away, and what waits stays
// on disk, in files kept open, however long the absence.
//
// A followed path has a list of open files, oldest first (Followed::files).
// The last is the file at the path, unless the path now names no file or
// another; the others were renamed or removed while spcat had lines of them
// to send, or while a server could still be writing them.  Each pass of
// the loop:
//   1. looks at the paths when inotify said something changed in their
//      directories, after an inotify queue overflow, and every second
//      anyway (every 250 ms without inotify): a new file at a path is
//      opened and followed from its first byte, after the file before it;
//   2. reads the whole lines that the files that changed hold, in the
//      files' order, into a batch (at most BATCH_MESSAGES messages,
//      BATCH_BYTES bytes), at once: a line read is safe from a truncation;
//   3. once the batch is full, or GATHER after the last batch, sends it,
//      then a message of its own to spcat's private group, and waits for
//      that message to come back: the daemon has then taken every line of
//      the batch;
//   4. only then moves the offsets on and writes the position file whole
//      (a temporary name, then rename).
// So a spcat killed at any point re-sends on its next start at most the
// batch that was in flight (at most 1024 lines), and skips nothing; a
// daemon lost before the batch came back gets the whole batch again from
// the next session.
//
// A file no longer at its path (renamed, removed) is read on, whoever
// still writes to it, and closed once read to its end, not grown for
// ROTATED_IDLE, and either removed or followed by a file that has bytes.
// A truncated file (its size below the offset) is read from its start.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "spcat.h"
#include "spcat_position.h"

namespace spcat {
namespace {

constexpr auto ROTATED_IDLE = std::chrono::seconds(5);
constexpr auto RESCAN = std::chrono::seconds(1);
constexpr auto POLL_RESCAN = std::chrono::milliseconds(250);
constexpr size_t BATCH_MESSAGES = 1024;
constexpr size_t BATCH_BYTES = 1u << 20;
constexpr size_t READ_CHUNK = 128 * 1024;
// After a batch that was not full, the next waits this long, so that lines
// written one at a time go in batches of a few (one position file written
// for each batch, not for each line); a full batch is followed at once.
constexpr auto GATHER = std::chrono::milliseconds(10);
constexpr int RECEIVE_BUFFER = 144000;
constexpr uint32_t DIR_EVENTS = IN_CREATE | IN_MOVED_TO | IN_MOVED_FROM | IN_DELETE;
constexpr uint32_t FILE_EVENTS = IN_MODIFY | IN_ATTRIB;

// One open file of a followed path.
struct OpenFile {
    int fd = -1;
    int wd = -1;                 // its inotify watch (on the inode), -1 when none
    uint64_t dev = 0, ino = 0;
    uint64_t offset = 0;         // the byte after the last line sent and taken
    uint32_t fp_len = 0;         // the fingerprint of what was sent (spcat_position.h)
    uint64_t fp_hash = 0;
    bool rotated = false;        // no longer the file at the path
    bool dirty = true;           // may hold bytes past what was read
    uint64_t size = 0;           // st_size at the last look
    nlink_t nlink = 1;           // st_nlink at the last look: 0 once removed
    Clock::time_point grew_at;   // when it last grew, or was rotated
    // The batch being gathered or in flight (read_batch), applied by commit
    // once it is taken; both as after the last commit when there is none.
    uint64_t batch_end = 0;      // the offset then: what was read of the file
    bool close_after = false;    // the batch ends it: closed once taken
};

// One -f.
struct Followed {
    FollowArg arg;
    std::string dir, base;         // where inotify looks for it, and its name there
    int dir_wd = -1;
    std::vector<OpenFile> files;   // oldest first
    std::string said;              // the last failure reported for the path, "" when none
};

// The batch in flight: messages one after the other in `bytes`.
struct Batch {
    std::string bytes;
    std::vector<std::pair<size_t, size_t>> messages;   // offset in `bytes`, length
    bool closes = false;                               // some file is closed once taken
    bool full() const { return messages.size() >= BATCH_MESSAGES || bytes.size() >= BATCH_BYTES; }
    bool empty() const { return messages.empty() && !closes; }
};

struct Follower {
    const Options *o;
    int term_fd;
    std::atomic<int> *live_fd;
    Multicaster multicast;
    size_t limit;                  // the longest message: pieces of longer lines
    int inotify_fd = -1;
    bool need_rescan = true;
    std::vector<Followed> paths;
    std::string written;           // the position file's content as last written
    std::string tmp_path;          // the position file's temporary name
    Batch batch;
    std::vector<char> chunk = std::vector<char>(READ_CHUNK);
    // The Spread session.
    mailbox mbox = -1;
    std::string private_group;
    bool was_connected = false;    // a session existed at some point
    bool announced = false;        // "...; retrying" said since the last session
    Clock::time_point next_try;
    Clock::time_point gather_until;   // no batch before then (GATHER)
    unsigned long long acks = 0;   // markers sent
    std::vector<char> body = std::vector<char>(RECEIVE_BUFFER);

    Follower(const Options *o, int term_fd, std::atomic<int> *live_fd)
        : o(o), term_fd(term_fd), live_fd(live_fd), multicast(o), limit((size_t)max_body((int)o->groups.size()))
    {
    }
};

bool term_seen(const Follower &f)
{
    pollfd p{f.term_fd, POLLIN, 0};
    return poll(&p, 1, 0) > 0;
}

// Says `text` about a path once, until something else is said of it.
void say_once(Followed &p, const std::string &text)
{
    if (p.said == text)
        return;
    p.said = text;
    fprintf(stderr, "%s\n", text.c_str());
}

std::string quoted(const std::string &path) { return "\"" + path + "\""; }

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

// Writes the position file whole, if it changed.  False after a failure
// (said).
bool write_position(Follower &f)
{
    std::vector<PosEntry> entries;
    for (const Followed &p : f.paths)
        for (const OpenFile &file : p.files)
            entries.push_back({p.arg.path, file.offset, file.dev, file.ino, file.fp_len, file.fp_hash});
    std::string text = pos_encode(entries);
    if (text == f.written)
        return true;
    const char *what = "open";
    int fd = open(f.tmp_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    bool ok = fd >= 0;
    size_t done = 0;
    while (ok && done < text.size()) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        ok = n > 0;
        what = "write";
        if (n == 0)
            errno = EIO;
        done += ok ? (size_t)n : 0;
    }
    if (fd >= 0 && close(fd) != 0 && ok) {
        ok = false;
        what = "close";
    }
    if (ok && rename(f.tmp_path.c_str(), f.o->position) != 0) {
        ok = false;
        what = "rename";
    }
    if (!ok) {
        fprintf(stderr, "spcat: cannot write position file \"%s\" (%s): %s\n", f.o->position, what,
                strerror(errno));
        unlink(f.tmp_path.c_str());
        return false;
    }
    f.written = std::move(text);
    return true;
}

// ------------------------------------------------------ the session

// Connects; false while the daemon is away.  *status becomes 1 when it
// refuses for good.
bool try_connect(Follower &f, int *status)
{
    mailbox m = -1;
    char pg[MAX_GROUP_NAME] = {};
    sp_time limit = {1, 0};
    int ret = SP_connect_timeout(f.o->daemon, f.o->name, 0, 0, &m, pg, limit);
    f.next_try = Clock::now() + RETRY;
    if (ret == ACCEPT_SESSION) {
        f.mbox = m;
        f.private_group = pg;
        f.live_fd->store(m);
        f.was_connected = true;
        if (f.announced)
            fprintf(stderr, "spcat: reconnected to Spread daemon \"%s\"\n", f.o->daemon);
        f.announced = false;
        return true;
    }
    if (!retryable(ret, f.was_connected)) {
        fprintf(stderr, "spcat: cannot connect to Spread daemon \"%s\": %s\n", f.o->daemon, SP_strerror(ret));
        *status = 1;
    } else if (!f.announced) {
        fprintf(stderr, "spcat: cannot connect to Spread daemon \"%s\": %s; retrying\n", f.o->daemon,
                SP_strerror(ret));
        f.announced = true;
    }
    return false;
}

void lose_session(Follower &f, int ret)
{
    f.live_fd->store(-1);
    SP_kill(f.mbox);
    f.mbox = -1;
    if (term_seen(f))
        return;
    fprintf(stderr, "spcat: lost Spread daemon \"%s\": %s; retrying\n", f.o->daemon, SP_strerror(ret));
    f.announced = true;
    f.next_try = Clock::now();   // once at once, then every second
}

// Sends the batch and waits until the daemon hands back the marker sent
// after it: the batch is then taken.  0, or the library's error.
int send_batch(Follower &f)
{
    // A daemon gone is seen here once a batch, not once a line: a send to
    // a socket whose peer has left fails soon anyway, and the batch goes
    // again whole.
    if (peer_gone(f.mbox))
        return CONNECTION_CLOSED;
    for (auto [at, n] : f.batch.messages) {
        int ret = f.multicast(f.mbox, f.batch.bytes.data() + at, n);
        if (ret < 0)
            return ret;
    }
    if (f.batch.messages.empty())
        return 0;
    char marker[48];
    int len = snprintf(marker, sizeof marker, "spcat-taken %llu", ++f.acks);
    int ret = SP_multicast(f.mbox, f.o->svc, f.private_group.c_str(), 0, len, marker);
    if (ret < 0)
        return ret;
    for (;;) {
        service svc = DROP_RECV;
        char sender[MAX_GROUP_NAME];
        char groups[1][MAX_GROUP_NAME];
        int num_groups = 0, endian_mismatch = 0;
        int16 mess_type = 0;
        ret = SP_receive(f.mbox, &svc, sender, 1, &num_groups, groups, &mess_type, &endian_mismatch,
                         (int)f.body.size(), f.body.data());
        if (ret < 0 && ret != BUFFER_TOO_SHORT && ret != GROUPS_TOO_SHORT)
            return ret;
        if (ret == len && Is_regular_mess(svc) && memcmp(f.body.data(), marker, (size_t)len) == 0 &&
            f.private_group == sender)
            return 0;
    }
}

// What came from the daemon while nothing was asked of it: only the end of
// the session is of interest.  0, or the library's error.
int idle_receive(Follower &f)
{
    if (peer_gone(f.mbox))
        return CONNECTION_CLOSED;
    service svc = DROP_RECV;
    char sender[MAX_GROUP_NAME];
    char groups[1][MAX_GROUP_NAME];
    int num_groups = 0, endian_mismatch = 0;
    int16 mess_type = 0;
    int ret = SP_receive(f.mbox, &svc, sender, 1, &num_groups, groups, &mess_type, &endian_mismatch,
                         (int)f.body.size(), f.body.data());
    return ret < 0 && ret != BUFFER_TOO_SHORT && ret != GROUPS_TOO_SHORT ? ret : 0;
}

// ------------------------------------------------------ watching

// Falls back to looking at the files on a timer.
void stop_watching(Follower &f, const char *call, int err)
{
    fprintf(stderr, "spcat: cannot watch files (%s: %s); looking at them every 250 ms\n", call, strerror(err));
    if (f.inotify_fd >= 0)
        close(f.inotify_fd);
    f.inotify_fd = -1;
    for (Followed &p : f.paths) {
        p.dir_wd = -1;
        for (OpenFile &file : p.files)
            file.wd = -1;
    }
}

// Sets up inotify on the paths' directories.  False when a directory
// cannot be watched for a reason that polling would not cure (said).
bool start_watching(Follower &f)
{
    for (Followed &p : f.paths) {
        struct stat st;
        if (stat(p.dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
            fprintf(stderr, "spcat: cannot follow %s: no directory %s\n", quoted(p.arg.path).c_str(),
                    quoted(p.dir).c_str());
            return false;
        }
    }
    if (getenv("SPCAT_NO_INOTIFY") != nullptr) {
        f.inotify_fd = -1;
        return true;
    }
    f.inotify_fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (f.inotify_fd < 0) {
        stop_watching(f, "inotify_init1", errno);
        return true;
    }
    for (Followed &p : f.paths) {
        p.dir_wd = inotify_add_watch(f.inotify_fd, p.dir.c_str(), DIR_EVENTS | IN_ONLYDIR);
        if (p.dir_wd < 0) {
            if (errno == ENOSPC || errno == ENOMEM) {
                stop_watching(f, "inotify_add_watch", errno);
                return true;
            }
            fprintf(stderr, "spcat: cannot watch directory %s: %s\n", quoted(p.dir).c_str(), strerror(errno));
            return false;
        }
    }
    return true;
}

// Takes what inotify has: files that changed are read again, paths looked
// at again when their directory changed, everything after an overflow.
void take_events(Follower &f)
{
    alignas(inotify_event) char buf[64 * 1024];
    for (;;) {
        ssize_t n = read(f.inotify_fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        for (char *p = buf; p < buf + n;) {
            const inotify_event *ev = (const inotify_event *)p;
            p += sizeof(inotify_event) + ev->len;
            if (ev->mask & IN_Q_OVERFLOW) {
                f.need_rescan = true;
                for (Followed &fp : f.paths)
                    for (OpenFile &file : fp.files)
                        file.dirty = true;
                continue;
            }
            for (Followed &fp : f.paths) {
                if (ev->wd == fp.dir_wd && ev->len > 0 && fp.base == ev->name)
                    f.need_rescan = true;
                for (OpenFile &file : fp.files)
                    if (ev->wd == file.wd) {
                        file.dirty = true;
                        if (ev->mask & IN_ATTRIB)
                            f.need_rescan = true;
                    }
            }
        }
    }
}

// Reads the position file; false when it cannot be used (said).
bool read_position(const Options *o, std::vector<PosEntry> *entries)
{
    int fd = open(o->position, O_RDONLY | O_CLOEXEC);
    if (fd < 0 && errno == ENOENT)
        return true;
    std::string text;
    bool ok = fd >= 0;
    char buf[65536];
    while (ok) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        ok = n >= 0;
        if (n <= 0)
            break;
        text.append(buf, (size_t)n);
    }
    if (!ok) {
        fprintf(stderr, "spcat: cannot read position file \"%s\": %s\n", o->position, strerror(errno));
        if (fd >= 0)
            close(fd);
        return false;
    }
    close(fd);
    std::string error;
    if (!pos_decode(text, entries, &error)) {
        fprintf(stderr, "spcat: unusable position file \"%s\": %s\n", o->position, error.c_str());
        return false;
    }
    return true;
}

}  // namespace

int follow_files(const Options *o, int term_fd, std::atomic<int> *live_fd)
{
    Follower f(o, term_fd, live_fd);
    f.tmp_path = std::string(o->position) + ".tmp";
    for (const FollowArg &a : o->follow) {
        Followed p;
        p.arg = a;
        size_t slash = a.path.rfind('/');
        p.dir = slash == std::string::npos ? "." : slash == 0 ? "/" : a.path.substr(0, slash);
        p.base = slash == std::string::npos ? a.path : a.path.substr(slash + 1);
        if (p.base.empty()) {
            fprintf(stderr, "spcat: cannot follow %s: not a file name\n", quoted(a.path).c_str());
            return 1;
        }
        f.paths.push_back(std::move(p));
    }
    std::vector<PosEntry> entries;
    if (!read_position(o, &entries) || !start_watching(f))
        return 1;
    restore(f, entries);
    look(f);
    if (!write_position(f))
        return 1;

    int status = 0;
    Clock::time_point next_look = Clock::now();
    f.next_try = Clock::now();
    while (!term_seen(f)) {
        Clock::time_point now = Clock::now();
        if (f.need_rescan || now >= next_look) {
            look(f);
            f.need_rescan = false;
            next_look = now + (f.inotify_fd >= 0 ? RESCAN : POLL_RESCAN);
        }
        if (f.mbox < 0 && now >= f.next_try && !try_connect(f, &status) && status != 0)
            break;
        if (f.mbox >= 0) {
            // Read at once, whenever a file changed (a line read is safe
            // from a truncation); sent once the batch is full or gathered.
            if (!read_batch(f)) {
                status = 1;
                break;
            }
            if (!f.batch.empty() && (f.batch.full() || now >= f.gather_until)) {
                bool full = f.batch.full();
                int ret = send_batch(f);
                if (ret < 0) {
                    drop_batch(f);
                    lose_session(f, ret);
                    continue;
                }
                commit(f);
                if (!write_position(f)) {
                    status = 1;
                    break;
                }
                if (!full)
                    f.gather_until = Clock::now() + GATHER;
                continue;
            }
        }
        // Nothing to send: wait for a change, a look, a retry, a closing.
        Clock::time_point wake = next_look;
        if (f.mbox < 0)
            wake = std::min(wake, f.next_try);
        else if (!f.batch.empty())
            wake = std::min(wake, f.gather_until);
        for (const Followed &p : f.paths)
            for (const OpenFile &file : p.files)
                if (file.rotated)
                    wake = std::min(wake, file.grew_at + ROTATED_IDLE);
        auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(wake - Clock::now()).count();
        pollfd fds[3] = {{term_fd, POLLIN, 0}, {f.inotify_fd, POLLIN, 0}, {f.mbox, POLLIN | POLLRDHUP, 0}};
        int nfds = f.mbox >= 0 ? 3 : 2;
        if (poll(fds, (nfds_t)nfds, (int)std::clamp<long long>(ms + 1, 0, 60000)) < 0 && errno != EINTR) {
            fprintf(stderr, "spcat: poll: %s\n", strerror(errno));
            status = 1;
            break;
        }
        if (fds[1].revents)
            take_events(f);
        if (f.mbox >= 0 && fds[2].revents) {
            int ret = idle_receive(f);
            if (ret < 0)
                lose_session(f, ret);
        }
    }
    if (f.mbox >= 0) {
        f.live_fd->store(-1);
        if (status == 0)
            SP_disconnect(f.mbox);
        else
            SP_kill(f.mbox);
    }
    return status;
}

}  // namespace spcat
