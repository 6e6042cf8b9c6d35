// Idle files closed and written files synced (see "Idle files and sync"
// in output/file_rules.h). The syncs run on a thread of their own: the
// loop hands it a duplicate of a descriptor and never waits for it; the
// thread hands back what each sync gave through a queue the loop drains
// at its next tick.
#include "output/writer_internal.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <deque>
#include <mutex>
#include <thread>

namespace writer {

bool final_close = false;
long pass_ms = 0;

namespace {

// The files with settings, by descriptor number (a number closed since is
// found without rules and dropped from the list).
std::vector<int> &tracked = *new std::vector<int>;
// Clock (milliseconds) of the last pass over them, made ten times a second.
long ticked_at = never;
constexpr long tick_every_ms = 100;

// One sync for the thread: a duplicate descriptor it owns and closes.
struct SyncJob {
    int fd;
    int output;
};
// What a sync gave, for the loop.
struct SyncDone {
    int output;
    int error;     // 0, or fdatasync's errno
    time_t when;   // wall clock when it ended
};

// Shared with the sync thread, under `lock`: the jobs waiting, those done,
// and how many are being synced now. Never destroyed (the thread may
// outlive main's return until exit ends it).
struct SyncQueue {
    std::mutex lock;
    std::condition_variable wake;      // a job came
    std::condition_variable idle;      // the queue ran empty
    std::deque<SyncJob> waiting;
    std::vector<SyncDone> done;
    int running = 0;
    pid_t started_by = 0;              // the process the thread runs in
};
SyncQueue &queue = *new SyncQueue;

void sync_thread()
{
    std::unique_lock<std::mutex> hold(queue.lock);
    for (;;) {
        queue.wake.wait(hold, [] { return !queue.waiting.empty(); });
        SyncJob job = queue.waiting.front();
        queue.waiting.pop_front();
        queue.running++;
        hold.unlock();
        int error = 0;
        while (fdatasync(job.fd) != 0) {
            if (errno != EINTR) {
                error = errno;
                break;
            }
        }
        close(job.fd);
        hold.lock();
        queue.running--;
        queue.done.push_back(SyncDone{job.output, error, time(nullptr)});
        if (queue.waiting.empty() && queue.running == 0)
            queue.idle.notify_all();
    }
}

// Starts the thread in this process if it does not run here (a thread does
// not survive a fork: the daemon detaches after its outputs are opened).
void ensure_thread()
{
    pid_t self = getpid();
    if (queue.started_by == self)
        return;
    queue.started_by = self;
    std::thread(sync_thread).detach();
}

// The results of the syncs done since the last call: the time of the last
// one per output, and failures said.
void take_sync_results()
{
    std::vector<SyncDone> done;
    {
        std::lock_guard<std::mutex> hold(queue.lock);
        done.swap(queue.done);
    }
    for (const SyncDone &d : done) {
        Output *o = output_at(d.output);
        if (o == nullptr)
            continue;
        if (d.error == 0) {
            o->synced_at = d.when;
        } else if (d.error != o->sync_errno) {
            fprintf(stderr, "Cannot sync %s: %s\n", o->path, strerror(d.error));
        }
        o->syncs++;
        o->sync_errno = d.error;
    }
}

}  // namespace

void sync_soon(int fd)
{
    Descriptor *d = descriptor_at(fd);
    if (d == nullptr)
        return;
    d->dirty = false;
    d->synced_at = pass_ms;
    if (final_close) {
        // The daemon ends or hands its outputs over: the disk is waited
        // for before the lock is given up.
        while (fdatasync(fd) != 0 && errno == EINTR) {
        }
        return;
    }
    int copy = fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (copy < 0)
        return;
    ensure_thread();
    std::lock_guard<std::mutex> hold(queue.lock);
    queue.waiting.push_back(SyncJob{copy, d->output});
    queue.wake.notify_one();
}

void sync_directory_soon(int dir, const char *path)
{
    const char *slash = strrchr(path, '/');
    int fd;
    if (slash == nullptr)
        fd = dir == AT_FDCWD ? open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC) : fcntl(dir, F_DUPFD_CLOEXEC, 0);
    else if (slash == path)
        fd = open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    else
        fd = openat(dir, std::string(path, static_cast<size_t>(slash - path)).c_str(),
                    O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return;
    if (final_close) {
        (void)fsync(fd);
        close(fd);
        return;
    }
    ensure_thread();
    std::lock_guard<std::mutex> hold(queue.lock);
    queue.waiting.push_back(SyncJob{fd, 0});
    queue.wake.notify_one();
}

void sync_finish()
{
    std::unique_lock<std::mutex> hold(queue.lock);
    if (queue.started_by != getpid())
        return;
    queue.idle.wait(hold, [] { return queue.waiting.empty() && queue.running == 0; });
}

void file_tracked(int fd, Descriptor &)
{
    for (int known : tracked)
        if (known == fd)
            return;
    tracked.push_back(fd);
}

void files_tick(long now)
{
    pass_ms = now;
    if (ticked_at != never && now - ticked_at < tick_every_ms)
        return;
    ticked_at = now;
    take_sync_results();
    compress_results();
    close_idle_vhost_files(now);
    for (size_t i = 0; i < tracked.size();) {
        int fd = tracked[i];
        Descriptor *d = descriptor_at(fd);
        if (d == nullptr || d->rules == nullptr) {
            tracked[i] = tracked.back();
            tracked.pop_back();
            continue;
        }
        i++;
        const FileRules *r = d->rules;
        if (file_rule(r, FILE_RULE_IDLE_CLOSE) && d->file != nullptr && now - d->active >= r->idle_close * 1000L) {
            // A DatedFile closed as at the end of its period: synced first
            // when it has SyncInterval (close_descriptor), opened again by
            // its next message. Host files: close_idle_vhost_files.
            if (Output *o = output_at(d->output))
                o->idle_closes++;
            output_close_log_file(d->file);
            continue;
        }
        if (file_rule(r, FILE_RULE_SYNC) && d->dirty && now - d->synced_at >= r->sync_interval * 1000L) {
            flush_batch(fd);
            sync_soon(fd);
        }
    }
}

}  // namespace writer

using namespace writer;

void output_files_for_each(void (*visit)(const OutputFileStatus *status, void *arg), void *arg)
{
    for (int id = 1; const Output *o = output_at(id); id++) {
        if (!o->has_rules)
            continue;
        OutputFileStatus status{};
        status.path = o->path;
        status.kind = o->kind;
        for (const Descriptor &d : descriptors)
            status.open += d.kind == KIND_FILE && d.output == id;
        status.opens = o->file_opens;
        status.idle_closes = o->idle_closes;
        status.evictions = o->evictions;
        status.rotations = o->rotations;
        status.compressed = o->compressed;
        status.compress_failed = o->compress_failed;
        status.compress_bytes_before = o->compress_bytes_before;
        status.compress_bytes_after = o->compress_bytes_after;
        status.synced_at = o->synced_at;
        visit(&status, arg);
    }
}

size_t output_compress_waiting()
{
    return compress_waiting();
}

void output_follow_live_names()
{
    follow_live_names();
}
