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
#include <errno.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "spcat_follow.h"

namespace spcat {
namespace follow {

bool term_seen(const Follower &f)
{
    pollfd p{f.term_fd, POLLIN, 0};
    return poll(&p, 1, 0) > 0;
}

}  // namespace follow

using namespace follow;

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
