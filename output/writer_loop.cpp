// The loop's calls into the write path: the backlogs polled and written as
// their readers take them, the tick once per pass (batches that are due,
// drop reports, retired streams whose time is up), and the drain at exit.
#include "output/writer_internal.h"

#include <vector>

namespace writer {

bool exiting = false;  // output_drain runs: no restarts

}  // namespace writer

using namespace writer;

void output_poll_backlogs(std::vector<pollfd> *set)
{
    for (int fd : streams)
        if (descriptors[fd].backlog && !descriptors[fd].backlog->empty())
            set->push_back(pollfd{fd, POLLOUT, 0});
}

void output_write_backlogs(const pollfd *fds, size_t n)
{
    for (size_t i = 0; i < n; i++) {
        Descriptor *d = descriptor_at(fds[i].fd);
        if (fds[i].revents != 0 && d && d->kind == KIND_STREAM)
            service_stream(fds[i].fd);
    }
}

void output_tick()
{
    // Batches are timed from the end of the pass that began them, not from
    // the clock read before it: after a wait, that read is old.
    long now = clock_ms();
    if (!batched.empty()) {
        if (!batches_timed) {
            batches_since_ms = now;
            batches_timed = true;
        } else if (now - batches_since_ms >= output_batch_ms) {
            output_flush();
        }
    }
    output_tick_at(now / 1000);
    output_dated_tick();
    files_tick(now);
}

void output_tick_at(long now)
{
    if (clock_tick(now))
        close_expired_retired(now);
}

void output_drain(int stall_ms, int total_ms)
{
    output_flush();
    exiting = true;
    long now = clock_ms();
    long deadline = now + total_ms;
    // Per stream being drained: when it last took bytes, and how many its
    // backlog held then. Descriptors are neither opened nor reused while
    // the daemon ends (no command is restarted), so numbers stay theirs.
    struct Progress {
        int fd;
        size_t size;
        long since;
    };
    std::vector<Progress> progress;
    std::vector<pollfd> set;
    for (;;) {
        set.clear();
        output_poll_backlogs(&set);
        now = clock_ms();
        // Forget the streams that are done, note those that took bytes,
        // give up on those that took nothing for stall_ms.
        std::vector<Progress> next;
        long wake = deadline;
        for (size_t i = 0; i < set.size();) {
            int fd = set[i].fd;
            size_t size = descriptors[fd].backlog->size();
            Progress p{fd, size, now};
            for (const Progress &seen : progress)
                if (seen.fd == fd && seen.size <= size)
                    p.since = seen.since;
            if (now - p.since >= stall_ms) {
                abandon_backlog(fd);
                if (descriptors[fd].retired)
                    close_descriptor(fd);
                set[i] = set.back();
                set.pop_back();
                continue;
            }
            if (p.since + stall_ms < wake)
                wake = p.since + stall_ms;
            next.push_back(p);
            i++;
        }
        progress.swap(next);
        if (set.empty() || now >= deadline)
            break;
        // Sleeps until a reader takes bytes, or a stream's stall bound or
        // the overall bound is reached: never a busy wait.
        int ready = poll(set.data(), set.size(), static_cast<int>(wake - now));
        if (ready > 0)
            output_write_backlogs(set.data(), set.size());
    }
    std::vector<int> left = streams;
    for (int fd : left) {
        abandon_backlog(fd);
        if (descriptors[fd].retired)
            close_descriptor(fd);
    }
    exiting = false;
    // The outputs are closed next, for good: the syncs asked are waited
    // for, and the files closed from now on are synced before their locks
    // are given up.
    final_close = true;
    sync_finish();
}
