// The write step: every descriptor the module opened, registered with its
// kind and output; messages written whole or not at all, following the
// failure policy of their descriptor's kind; the batches of files, the
// backlogs of streams, the streams retired with one, and the drain at exit.
#include "output/writer_internal.h"

#include <sys/file.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "config/settings.h"

namespace writer {

namespace {

// --- Backlogs ----------------------------------------------------------------

// Messages waiting for a stream, oldest first: their bytes in
// bytes[start, end), the bytes still to write of each in lengths[first..].
// head_taken: some bytes of the first message were written already, so
// its rest may go nowhere but to the same descriptor.
struct Backlog {
    char *bytes = nullptr;
    size_t start = 0, end = 0, capacity = 0;
    std::vector<uint32_t> lengths;
    size_t first = 0;
    bool head_taken = false;

    ~Backlog() { free(bytes); }
    size_t size() const { return end - start; }
    size_t messages() const { return lengths.size() - first; }
    bool empty() const { return end == start; }
};

void backlog_clear(Backlog *b)
{
    b->start = b->end = 0;
    b->lengths.clear();
    b->first = 0;
    b->head_taken = false;
}

// Appends one message (or the rest of one, `taken` when part of it was
// written already, then into an empty backlog only). False when memory
// ran out; nothing is appended then.
bool backlog_add(Backlog *b, const char *data, size_t length, bool taken)
{
    if (b->empty())
        backlog_clear(b);
    if (b->end + length > b->capacity && b->start > 0) {
        memmove(b->bytes, b->bytes + b->start, b->size());
        b->end -= b->start;
        b->start = 0;
    }
    if (b->end + length > b->capacity) {
        size_t capacity = b->capacity ? b->capacity : 65536;
        while (capacity < b->end + length)
            capacity *= 2;
        char *grown = static_cast<char *>(realloc(b->bytes, capacity));
        if (!grown)
            return false;
        b->bytes = grown;
        b->capacity = capacity;
    }
    memcpy(b->bytes + b->end, data, length);
    b->end += length;
    if (b->first > 4096 && b->first * 2 > b->lengths.size()) {
        b->lengths.erase(b->lengths.begin(), b->lengths.begin() + b->first);
        b->first = 0;
    }
    b->lengths.push_back(static_cast<uint32_t>(length));
    if (taken)
        b->head_taken = true;
    return true;
}

// n bytes from the front were written: messages finished on the way count
// as written for output `id`.
void backlog_advance(Backlog *b, size_t n, int id)
{
    b->start += n;
    if (Output *o = output_at(id))
        o->bytes += n;
    while (n > 0) {
        uint32_t &left = b->lengths[b->first];
        size_t take = n < left ? n : left;
        left -= static_cast<uint32_t>(take);
        n -= take;
        b->head_taken = true;
        if (left == 0) {
            b->first++;
            b->head_taken = false;
            if (Output *o = output_at(id))
                o->messages++;
        }
    }
    if (b->empty())
        backlog_clear(b);
}

// Removes the (rest of the) first message.
void backlog_drop_head(Backlog *b)
{
    b->start += b->lengths[b->first];
    b->first++;
    b->head_taken = false;
    if (b->empty())
        backlog_clear(b);
}

// --- Descriptors ---------------------------------------------------------------

// What the module knows of one open descriptor.
struct Descriptor {
    Kind kind = KIND_NONE;
    bool retired = false;        // closed with a backlog: written out, then closed
    int output = 0;              // its output's number
    LogFile *file = nullptr;     // the LogFile holding it (File outputs, until retired)
    Backlog *backlog = nullptr;  // streams, from their first queued message; owned
    long retire_until = 0;       // clock when a retired stream gives up
    dev_t dev = 0;               // streams named by a path: the FIFO or device itself
    ino_t ino = 0;
    std::vector<iovec> batch;    // files: messages copied into the arena, not written yet
    size_t batch_bytes = 0;
};

// The module's tables live as long as the process and are never destroyed,
// not even by exit() (see writer_drops.cpp).
std::vector<Descriptor> &descriptors = *new std::vector<Descriptor>;  // by descriptor number
std::vector<int> &streams = *new std::vector<int>;                    // registered stream descriptors
bool exiting = false;                                                 // output_drain runs: no restarts

// Batches: the bytes of every batched message, in the order taken, in one
// arena that is reused once every batch is written; the descriptors with a
// batch; the clock (milliseconds) at the end of the loop pass that began
// the present batches, once output_tick has seen them.
char *arena = nullptr;
size_t arena_used = 0;
std::vector<int> &batched = *new std::vector<int>;
bool batches_timed = false;
long batches_since_ms = 0;

Descriptor *descriptor_at(int fd)
{
    if (fd < 0 || static_cast<size_t>(fd) >= descriptors.size() || descriptors[fd].kind == KIND_NONE)
        return nullptr;
    return &descriptors[fd];
}

void unlist_batch(int fd)
{
    for (size_t i = 0; i < batched.size(); i++) {
        if (batched[i] == fd) {
            batched.erase(batched.begin() + static_cast<long>(i));
            break;
        }
    }
    if (batched.empty()) {
        arena_used = 0;
        batches_timed = false;
    }
}

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

static void flush_batch(int fd);

void close_descriptor(int fd)
{
    flush_batch(fd);
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

// --- Writing ---------------------------------------------------------------------

namespace {

// Writes [data, data + length) with as many write() calls as it takes,
// going on after EINTR and short writes. Returns the bytes written: all of
// them, or fewer with the error that stopped it in *error (EIO for a write
// that took nothing and said nothing).
size_t write_all(int fd, const char *data, size_t length, int *error)
{
    size_t done = 0;
    while (done < length) {
        ssize_t n = write(fd, data + done, length - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        *error = n < 0 ? errno : EIO;
        break;
    }
    return done;
}

// Cuts a file back to where the message began after `written` of its bytes
// landed: with O_APPEND (and our lock) the offset is the end of those bytes.
void cut_back(int fd, size_t written)
{
    off_t end = lseek(fd, 0, SEEK_CUR);
    if (end < static_cast<off_t>(written))
        return;
    while (ftruncate(fd, end - static_cast<off_t>(written)) != 0 && errno == EINTR) {
    }
}

// Files (a File path that is a regular file, a vhost file): messages
// v[0, n) for output id, in order, with as many writev() calls as it takes.
// - EINTR and short writes: the rest is written, so a message lands whole.
// - Any error (ENOSPC, EDQUOT, EFBIG, EIO, even EAGAIN): the bytes of the
//   message that landed are cut off again (cut_back), so the file never
//   holds a torn line and every whole message before it stays; the message
//   is dropped and counted under the error. It is not retried: the next
//   message tries afresh, so logging resumes by itself when space returns.
//   The truncation runs only after a failure: messages that are written
//   cost their writes alone.
// Returns the messages dropped.
unsigned long write_messages(int fd, int id, iovec *v, size_t n)
{
    size_t i = 0, landed = 0;  // message i, of which `landed` bytes are written
    unsigned long dropped = 0;
    while (i < n) {
        iovec whole = v[i];
        v[i].iov_base = static_cast<char *>(v[i].iov_base) + landed;
        v[i].iov_len -= landed;
        ssize_t written = writev(fd, v + i, static_cast<int>(n - i < IOV_MAX ? n - i : IOV_MAX));
        v[i] = whole;
        if (written > 0) {
            for (size_t left = static_cast<size_t>(written); left > 0;) {
                size_t rest = v[i].iov_len - landed;
                if (left < rest) {
                    landed += left;
                    break;
                }
                left -= rest;
                count_written(id, v[i].iov_len);
                i++;
                landed = 0;
            }
            continue;
        }
        if (written < 0 && errno == EINTR)
            continue;
        int error = written < 0 ? errno : EIO;
        if (landed > 0)
            cut_back(fd, landed);
        output_drop(id, OUTPUT_DROP_WRITE_ERROR, error);
        dropped++;
        i++;
        landed = 0;
    }
    return dropped;
}

// One message for a file, at once (see write_messages): 0, or -1 when it
// was dropped.
int write_file(int fd, int id, const char *data, size_t length)
{
    iovec message{const_cast<char *>(data), length};
    return write_messages(fd, id, &message, 1) == 0 ? 0 : -1;
}

// Writes the batch of file fd (see write_messages) and empties it. Returns
// the messages dropped.
unsigned long write_batch(int fd, Descriptor &d)
{
    unsigned long dropped = write_messages(fd, d.output, d.batch.data(), d.batch.size());
    d.batch.clear();
    d.batch_bytes = 0;
    return dropped;
}

// Adds a message to the batch of file fd, writing batches first where a
// bound is reached. False when it cannot be batched (longer than a batch,
// or no memory for the arena): then fd's batch is written and the message
// is not taken.
bool batch_message(int fd, Descriptor &d, const char *data, size_t length)
{
    if (length > output_batch_bytes || (!arena && !(arena = static_cast<char *>(malloc(output_batch_total))))) {
        flush_batch(fd);
        return false;
    }
    if (d.batch_bytes + length > output_batch_bytes || d.batch.size() >= IOV_MAX)
        flush_batch(fd);
    if (arena_used + length > output_batch_total)
        output_flush();
    if (d.batch.empty())
        batched.push_back(fd);
    char *copy = arena + arena_used;
    memcpy(copy, data, length);
    arena_used += length;
    d.batch.push_back(iovec{copy, length});
    d.batch_bytes += length;
    return true;
}

// Writes from the backlog of stream fd until it is empty or the reader
// takes no more. Returns 0, EPIPE when the reader ended (nothing done about
// it yet), or another errno after dropping and counting the whole backlog.
int flush_backlog(int fd)
{
    Descriptor &d = descriptors[fd];
    Backlog *b = d.backlog;
    while (b && !b->empty()) {
        ssize_t n = write(fd, b->bytes + b->start, b->size());
        if (n > 0) {
            backlog_advance(b, static_cast<size_t>(n), d.output);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return 0;
        int error = n < 0 ? errno : EIO;
        if (error == EPIPE)
            return EPIPE;
        output_drop(d.output, OUTPUT_DROP_WRITE_ERROR, error, b->messages());
        backlog_clear(b);
        return error;
    }
    return 0;
}

// Hands the whole messages of `b` (none of them begun) to the new
// descriptor of an output: a stream without a backlog takes `b` itself,
// one with a backlog (taken over from a retired descriptor, so older) gets
// them after its own, as far as the bound allows; a file (a FIFO path
// that became a regular file) gets them written one by one. Takes
// ownership of `b`.
void adopt_backlog(int fd, Backlog *b)
{
    Descriptor &d = descriptors[fd];
    if (d.kind == KIND_STREAM && !d.backlog) {
        d.backlog = b;
        return;
    }
    for (size_t i = b->first; i < b->lengths.size(); i++) {
        const char *message = b->bytes + b->start;
        size_t length = b->lengths[i];
        b->start += length;
        if (d.kind != KIND_STREAM)
            write_file(fd, d.output, message, length);
        else if (d.backlog->size() + length > output_backlog_max || !backlog_add(d.backlog, message, length, false))
            output_drop(d.output, OUTPUT_DROP_BACKLOG_FULL);
    }
    delete b;
}

// The reader of stream fd ended (EPIPE). The rest of a message it took in
// part is dropped and counted; the descriptor is closed. A File output's
// command is started anew (its FIFO opened anew) and locked as at
// start-up, and takes the whole messages of the backlog. Returns the new
// descriptor, or -1 when there is none (a retired stream, the exit, or the
// output could not be opened: its backlog is dropped and counted then).
int reader_ended(int fd)
{
    Descriptor &d = descriptors[fd];
    int id = d.output;
    Backlog *b = d.backlog;
    d.backlog = nullptr;
    if (b && b->head_taken) {
        output_drop(id, OUTPUT_DROP_READER_ENDED);
        backlog_drop_head(b);
    }
    LogFile *file = d.retired ? nullptr : d.file;
    close_descriptor(fd);
    if (file)
        file->fd = -1;
    if (exiting)
        file = nullptr;  // no command is started while the daemon ends
    int new_fd = -1;
    if (file) {
        new_fd = output_open_log_file(file, OUTPUT_OPEN_RETRY);
        if (new_fd >= 0)
            output_lock_or_exit(new_fd, file->filename);
        file->fd = new_fd;
    }
    if (b && !b->empty()) {
        if (new_fd >= 0) {
            adopt_backlog(new_fd, b);
            return new_fd;
        }
        output_drop(id, file ? OUTPUT_DROP_NOT_OPEN : OUTPUT_DROP_READER_ENDED, 0, b->messages());
    }
    delete b;
    return new_fd;
}

// The message for stream fd after its backlog was written as far as the
// reader took it: queued whole behind what the backlog still holds, else
// written directly, the rest queued when the reader is slow (see
// write_stream). Returns 0 when written or queued, -1 when dropped
// (counted), EPIPE when the reader ended before it took any of it.
int write_or_queue(int fd, const char *data, size_t length)
{
    Descriptor &d = descriptors[fd];
    int id = d.output;
    if (d.backlog && !d.backlog->empty()) {
        if (d.backlog->size() + length > output_backlog_max || !backlog_add(d.backlog, data, length, false)) {
            output_drop(id, OUTPUT_DROP_BACKLOG_FULL);
            return -1;
        }
        return 0;
    }
    int error = 0;
    size_t done = write_all(fd, data, length, &error);
    if (done == length) {
        count_written(id, length);
        return 0;
    }
    if (done > 0)
        if (Output *o = output_at(id))
            o->bytes += done;
    if (error == EAGAIN || error == EWOULDBLOCK) {
        if (!d.backlog)
            d.backlog = new Backlog;
        if (backlog_add(d.backlog, data + done, length - done, done > 0))
            return 0;
        error = ENOMEM;
    }
    if (error != EPIPE) {
        output_drop(id, OUTPUT_DROP_WRITE_ERROR, error);
        return -1;
    }
    if (done > 0) {
        output_drop(id, OUTPUT_DROP_READER_ENDED);
        reader_ended(fd);
        return -1;
    }
    return EPIPE;
}

// Streams (a piped command's pipe, a FIFO or device File):
// - The backlog goes first: what waits is written before the new message,
//   so order holds and the rest of a partly written message is always the
//   next thing written to that descriptor.
// - A backlog that still holds bytes takes the message whole if it fits
//   under output_backlog_max; otherwise it is dropped and counted
//   ("backlog full").
// - Written directly otherwise; EINTR and short writes go on; EAGAIN (the
//   reader is slow) puts the rest in the backlog, which is empty then, so
//   no message is ever torn or refused part-way.
// - EPIPE (the reader ended): a message the reader took in part is dropped
//   and counted ("reader ended"), never resent; otherwise the message goes
//   whole to the command started anew (reader_ended), after the backlog.
//   A second EPIPE, or no new command, drops it.
// - Any other error drops and counts the message.
int write_stream(int fd, const char *data, size_t length)
{
    for (int attempt = 0; attempt < 2; attempt++) {
        int id = descriptors[fd].output;
        Backlog *b = descriptors[fd].backlog;
        if (!b || b->empty() || flush_backlog(fd) != EPIPE) {
            int result = write_or_queue(fd, data, length);
            if (result != EPIPE)
                return result;
        }
        // The reader ended before it took any of the message.
        fd = reader_ended(fd);
        if (fd < 0) {
            output_drop(id, OUTPUT_DROP_NOT_OPEN);
            return -1;
        }
        if (descriptors[fd].kind != KIND_STREAM)
            return write_file(fd, id, data, length);
    }
    output_drop(descriptors[fd].output, OUTPUT_DROP_READER_ENDED);
    return -1;
}

// Writes what stream fd's reader takes now; a retired stream is closed
// once empty; a reader that ended is replaced (once per call).
void service_stream(int fd)
{
    for (int round = 0; round < 2 && fd >= 0; round++) {
        if (flush_backlog(fd) == EPIPE) {
            fd = reader_ended(fd);
            continue;
        }
        Descriptor &d = descriptors[fd];
        if (d.retired && (!d.backlog || d.backlog->empty()))
            close_descriptor(fd);
        return;
    }
}

// Drops and counts what a stream's backlog still holds (its partly written
// first message included) as abandoned.
void abandon_backlog(int fd)
{
    Descriptor &d = descriptors[fd];
    if (d.backlog && !d.backlog->empty()) {
        output_drop(d.output, OUTPUT_DROP_ABANDONED, 0, d.backlog->messages());
        backlog_clear(d.backlog);
    }
}

}  // namespace

// Writes the batch of descriptor fd, if it has one.
static void flush_batch(int fd)
{
    Descriptor *d = descriptor_at(fd);
    if (!d || d->batch.empty())
        return;
    write_batch(fd, *d);
    unlist_batch(fd);
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

// Bytes waiting in the backlogs of output `id`, retired streams included.
static size_t backlog_bytes(int id)
{
    size_t bytes = 0;
    for (int fd : streams)
        if (descriptors[fd].output == id && descriptors[fd].backlog)
            bytes += descriptors[fd].backlog->size();
    return bytes;
}

// Ends the retired streams whose time is up at clock `now`: what their
// backlogs hold is dropped and counted ("abandoned"), and they are closed.
static void close_expired_retired(long now)
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

using namespace writer;

int output_write(int fd, const char *data, size_t length)
{
    Descriptor *d = descriptor_at(fd);
    if (length == 0) {
        count_written(d ? d->output : 0, 0);
        return 0;
    }
    if (!d)
        return write_file(fd, 0, data, length);
    if (d->kind == KIND_STREAM)
        return write_stream(fd, data, length);
    if (batch_message(fd, *d, data, length))
        return 0;
    return write_file(fd, d->output, data, length);
}

int output_flush()
{
    unsigned long dropped = 0;
    for (int fd : batched)
        dropped += write_batch(fd, descriptors[fd]);
    batched.clear();
    arena_used = 0;
    batches_timed = false;
    return dropped > 0 ? -1 : 0;
}

void output_for_each(void (*visit)(const OutputStatus *status, void *arg), void *arg)
{
    for (int id = 1; const Output *o = output_at(id); id++) {
        OutputStatus status;
        status.path = o->path;
        status.kind = o->kind;
        status.messages = o->messages;
        status.bytes = o->bytes;
        memcpy(status.dropped, o->dropped, sizeof status.dropped);
        status.backlog = backlog_bytes(id);
        visit(&status, arg);
    }
}

// --- The loop ------------------------------------------------------------

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
    long now = monotonic_ms();
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
    long now = monotonic_ms();
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
        now = monotonic_ms();
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
}
