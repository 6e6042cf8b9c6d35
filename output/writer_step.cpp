// The write step: messages written whole or not at all, following the
// failure policy of their descriptor's kind: the batches of files, and the
// streams, written at once or queued in their backlogs, with a reader that
// ended replaced; the outputs' status.
#include "output/writer_internal.h"

#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace writer {

// Batches: the bytes of every batched message, in the order taken, in one
// arena that is reused once every batch is written; the descriptors with a
// batch; the clock (milliseconds) at the end of the loop pass that began
// the present batches, once output_tick has seen them.
static char *arena = nullptr;
static size_t arena_used = 0;
std::vector<int> &batched = *new std::vector<int>;
bool batches_timed = false;
long batches_since_ms = 0;

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

}  // namespace

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

// Writes the batch of descriptor fd, if it has one.
void flush_batch(int fd)
{
    Descriptor *d = descriptor_at(fd);
    if (!d || d->batch.empty())
        return;
    write_batch(fd, *d);
    unlist_batch(fd);
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
    if (d->rules)
        file_take(fd, *d, length);
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
        status.filtered = o->filtered;
        status.backlog = backlog_bytes(id);
        status.last_write_ms = o->last_write_ms;
        visit(&status, arg);
    }
}
