// The registered descriptors: every descriptor the module opened, with its
// kind and output, and the streams retired with a backlog, written out as
// their readers take it until their time is up.
#include "output/writer_internal.h"

#include <sys/file.h>
#include <unistd.h>

#include "config/settings.h"

namespace writer {

// The module's tables live as long as the process and are never destroyed,
// not even by exit() (see writer_drops.cpp).
std::vector<Descriptor> &descriptors = *new std::vector<Descriptor>;  // by descriptor number
std::vector<int> &streams = *new std::vector<int>;                    // registered stream descriptors

namespace {

// Forgets a descriptor. A batch it still holds (only a number closed
// behind our back and reused has one here: close_descriptor writes it
// first) cannot be written anywhere: dropped and counted.
void forget_descriptor(int fd)
{
    Descriptor *d = descriptor_at(fd);
    if (!d)
        return;
    if (!d->batch.empty()) {
        output_drop(d->output, OUTPUT_DROP_NOT_OPEN, 0, d->batch.size());
        d->batch.clear();
        unlist_batch(fd);
    }
    if (d->kind == KIND_STREAM) {
        for (size_t i = 0; i < streams.size(); i++) {
            if (streams[i] == fd) {
                streams[i] = streams.back();
                streams.pop_back();
                break;
            }
        }
    }
    delete d->backlog;
    *d = Descriptor();
}

}  // namespace

void register_descriptor(int fd, Kind kind, int id, LogFile *file)
{
    if (fd < 0)
        return;
    forget_descriptor(fd);  // a number reused behind our back
    size_t needed = static_cast<size_t>(fd) + 1;
    if (needed > descriptors.size())
        descriptors.resize(needed > descriptors.size() * 2 ? needed : descriptors.size() * 2);
    Descriptor &d = descriptors[fd];
    d.kind = kind;
    d.output = id;
    d.file = file;
    if (kind == KIND_STREAM)
        streams.push_back(fd);
}

void close_descriptor(int fd)
{
    flush_batch(fd);
    // A file with SyncInterval is synced when it is closed (rotated,
    // period ended, idle, SIGHUP): on the sync thread, or at once when
    // the daemon ends or hands its outputs over (see file_sync.cpp).
    if (Descriptor *d = descriptor_at(fd))
        if (d->dirty && file_rule(d->rules, FILE_RULE_SYNC))
            sync_soon(fd);
    forget_descriptor(fd);
    if (!skip_locking)
        (void)flock(fd, LOCK_UN);
    (void)close(fd);
}

long registered_descriptors()
{
    long count = 0;
    for (const Descriptor &d : descriptors)
        count += d.kind != KIND_NONE;
    return count;
}

void take_over_retired(int fd, dev_t dev, ino_t ino)
{
    Descriptor &d = descriptors[fd];
    d.dev = dev;
    d.ino = ino;
    for (int other : streams) {
        Descriptor &r = descriptors[other];
        if (other == fd || !r.retired || r.dev != d.dev || r.ino != d.ino || (r.dev == 0 && r.ino == 0))
            continue;
        d.backlog = r.backlog;
        r.backlog = nullptr;
        close_descriptor(other);
        return;
    }
}

bool retire_stream(int fd)
{
    Descriptor *d = descriptor_at(fd);
    if (!d || d->kind != KIND_STREAM || !d->backlog || d->backlog->empty())
        return false;
    ensure_clock();
    d->retired = true;
    d->file = nullptr;
    d->retire_until = clock_now + output_retire_seconds;
    return true;
}

// Ends the retired streams whose time is up at clock `now`: what their
// backlogs hold is dropped and counted ("abandoned"), and they are closed.
void close_expired_retired(long now)
{
    for (size_t i = 0; i < streams.size();) {
        int fd = streams[i];
        Descriptor &d = descriptors[fd];
        if (d.retired && now >= d.retire_until) {
            abandon_backlog(fd);
            close_descriptor(fd);  // takes it out of streams
            continue;
        }
        i++;
    }
}

}  // namespace writer
