#include "output/writer.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "config/settings.h"

namespace {

constexpr long never = LONG_MIN;

// The counters of one output (see "Outputs" in the header).
struct Output {
    char *path;                                  // owned copy
    const char *kind;                            // static text
    unsigned long messages;                      // written whole
    unsigned long long bytes;                    // written
    unsigned long dropped[OUTPUT_DROP_REASONS];  // since start
    unsigned long pending[OUTPUT_DROP_REASONS];  // since the last report
    long reported_at[OUTPUT_DROP_REASONS];       // clock of the last report, or never
    int write_errno;                             // last write error, its text for reports
    int open_errno;                              // last open error said, 0 after a success
    long open_said_at;                           // clock when it was said
    int restarts;                                // command restarts in the current window
    long restart_window_at;                      // clock when that window began
    bool vhost;                                  // a VhostDir
};

// The module's tables live as long as the process and are never destroyed,
// not even by exit(): a daemon process that ends never tears them down
// while something may still count a drop.
std::vector<Output> &outputs = *new std::vector<Output>;  // number n is outputs[n - 1]
size_t pending_reports = 0;   // (output, reason) pairs with a pending count
long clock_now = 0;           // seconds, monotonic; read once per loop pass
bool clock_read = false;
long last_scan = never;       // clock of output_tick's last look at the counts

long monotonic_seconds()
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC_COARSE, &t);
    return t.tv_sec;
}

long monotonic_ms()
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1000L + t.tv_nsec / 1000000L;
}

void ensure_clock()
{
    if (!clock_read) {
        clock_now = monotonic_seconds();
        clock_read = true;
    }
}

Output *output_at(int id)
{
    if (id <= 0 || static_cast<size_t>(id) > outputs.size())
        return nullptr;
    return &outputs[id - 1];
}

const char *reason_text(const Output &o, int reason)
{
    if (reason == OUTPUT_DROP_WRITE_ERROR)
        return strerror(o.write_errno);
    return output_drop_names[reason];
}

void report(Output &o, int reason, unsigned long count)
{
    fprintf(stderr, "Dropped %lu messages for %s: %s\n", count, o.path, reason_text(o, reason));
    o.reported_at[reason] = clock_now;
}

void count_written(int id, size_t length)
{
    if (Output *o = output_at(id)) {
        o->messages++;
        o->bytes += length;
    }
}

// "Cannot open %s: %s\n", at a retry only when the error changed or a
// report interval passed since it was last said for this output.
void say_cannot_open(int id, const char *path, int error, OutputOpenTime when)
{
    Output *o = output_at(id);
    ensure_clock();
    if (o && when == OUTPUT_OPEN_RETRY && error == o->open_errno &&
        clock_now - o->open_said_at < output_report_interval)
        return;
    fprintf(stderr, "Cannot open %s: %s\n", path, strerror(error));
    if (o) {
        o->open_errno = error;
        o->open_said_at = clock_now;
    }
}

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

enum Kind : unsigned char { KIND_NONE, KIND_FILE, KIND_STREAM };

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
};

std::vector<Descriptor> &descriptors = *new std::vector<Descriptor>;  // by descriptor number
std::vector<int> &streams = *new std::vector<int>;                    // registered stream descriptors
bool exiting = false;                 // output_drain runs: no restarts

Descriptor *descriptor_at(int fd)
{
    if (fd < 0 || static_cast<size_t>(fd) >= descriptors.size() || descriptors[fd].kind == KIND_NONE)
        return nullptr;
    return &descriptors[fd];
}

void forget_descriptor(int fd)
{
    Descriptor *d = descriptor_at(fd);
    if (!d)
        return;
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

// Unlocks (unless skip_locking) and closes a descriptor, and forgets it.
void close_descriptor(int fd)
{
    forget_descriptor(fd);
    if (!skip_locking)
        (void)flock(fd, LOCK_UN);
    (void)close(fd);
}

// --- Vhost files and the descriptor budget ----------------------------------------

VhostSlot *lru_head = nullptr;  // most recently used open vhost file
VhostSlot *lru_tail = nullptr;  // least recently used
int vhost_open = 0;             // slots in the list
int vhost_cap = -1;             // -1: not planned yet
unsigned use_clock = 0;

bool linked(const VhostSlot *slot)
{
    return slot->lru_prev || slot->lru_next || lru_head == slot;
}

void unlink_slot(VhostSlot *slot)
{
    if (!linked(slot))
        return;
    if (slot->lru_prev)
        slot->lru_prev->lru_next = slot->lru_next;
    else
        lru_head = slot->lru_next;
    if (slot->lru_next)
        slot->lru_next->lru_prev = slot->lru_prev;
    else
        lru_tail = slot->lru_prev;
    slot->lru_prev = slot->lru_next = nullptr;
    vhost_open--;
}

void push_front(VhostSlot *slot)
{
    slot->lru_prev = nullptr;
    slot->lru_next = lru_head;
    if (lru_head)
        lru_head->lru_prev = slot;
    else
        lru_tail = slot;
    lru_head = slot;
    vhost_open++;
}

// Closes the least recently used vhost file; false when none is open.
bool close_least_recent()
{
    if (!lru_tail)
        return false;
    output_vhost_close(lru_tail);
    return true;
}

// Open descriptors of the process, from /proc/self/fd; without it, the
// standard streams and the descriptors registered here.
long open_descriptor_count()
{
    DIR *dir = opendir("/proc/self/fd");
    if (!dir) {
        long count = 3;
        for (const Descriptor &d : descriptors)
            count += d.kind != KIND_NONE;
        return count;
    }
    long count = -1;  // the directory's own descriptor
    while (dirent *entry = readdir(dir))
        count += entry->d_name[0] != '.';
    closedir(dir);
    return count;
}

// --- Writing ---------------------------------------------------------------------

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

// Files (a File path that is a regular file, a vhost file):
// - EINTR and short writes: the rest is written, so a message lands whole.
// - Any error (ENOSPC, EDQUOT, EFBIG, EIO, even EAGAIN): the bytes of the
//   message that landed are cut off again (cut_back), so the file never
//   holds a torn line; the message is dropped and counted under the error.
//   Nothing is retried: the next message tries afresh, so logging resumes
//   by itself when space returns. The truncation runs only after a
//   failure: a message that is written costs its write alone.
int write_file(int fd, int id, const char *data, size_t length)
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
        int error = n < 0 ? errno : EIO;
        if (done > 0)
            cut_back(fd, done);
        output_drop(id, OUTPUT_DROP_WRITE_ERROR, error);
        return -1;
    }
    count_written(id, length);
    return 0;
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
        if (descriptors[fd].backlog && !descriptors[fd].backlog->empty()) {
            if (flush_backlog(fd) == EPIPE) {
                fd = reader_ended(fd);
                if (fd < 0) {
                    output_drop(id, OUTPUT_DROP_NOT_OPEN);
                    return -1;
                }
                if (descriptors[fd].kind != KIND_STREAM)
                    return write_file(fd, id, data, length);
                continue;
            }
        }
        Descriptor &d = descriptors[fd];
        if (d.backlog && !d.backlog->empty()) {
            if (d.backlog->size() + length > output_backlog_max || !backlog_add(d.backlog, data, length, false)) {
                output_drop(id, OUTPUT_DROP_BACKLOG_FULL);
                return -1;
            }
            return 0;
        }
        size_t done = 0;
        int error = 0;
        while (done < length) {
            ssize_t n = write(fd, data + done, length - done);
            if (n > 0) {
                done += static_cast<size_t>(n);
                continue;
            }
            if (n < 0 && errno == EINTR)
                continue;
            error = n < 0 ? errno : EIO;
            break;
        }
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

// A FIFO opened again (SIGHUP) while a retired descriptor of ours still
// writes its backlog to the same FIFO: two writers on one pipe could
// interleave parts of messages, and the retired one holds the FIFO's lock.
// The new descriptor takes the backlog over, a partly written first
// message included (it is the same pipe), and the retired one is closed
// before the new one is locked.
void take_over_retired(int fd)
{
    Descriptor &d = descriptors[fd];
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

}  // namespace

// --- Outputs ---------------------------------------------------------------

int output_of(int *id, const char *path, const char *kind)
{
    if (output_at(*id))
        return *id;
    bool vhost = strcmp(kind, "vhost directory") == 0;
    for (size_t i = 0; i < outputs.size(); i++) {
        if (outputs[i].vhost == vhost && strcmp(outputs[i].path, path) == 0) {
            *id = static_cast<int>(i + 1);
            return *id;
        }
    }
    Output o;
    memset(&o, 0, sizeof o);
    o.path = strdup(path ? path : "");
    o.kind = kind;
    o.vhost = vhost;
    for (long &at : o.reported_at)
        at = never;
    o.open_said_at = never;
    o.restart_window_at = never;
    outputs.push_back(o);
    *id = static_cast<int>(outputs.size());
    return *id;
}

void output_drop(int id, OutputDrop reason, int error, unsigned long count)
{
    Output *o = output_at(id);
    if (!o || count == 0)
        return;
    if (reason == OUTPUT_DROP_WRITE_ERROR)
        o->write_errno = error;
    o->dropped[reason] += count;
    ensure_clock();
    if (o->pending[reason] == 0 &&
        (o->reported_at[reason] == never || clock_now - o->reported_at[reason] >= output_report_interval)) {
        report(*o, reason, count);
        return;
    }
    if (o->pending[reason] == 0)
        pending_reports++;
    o->pending[reason] += count;
}

void output_for_each(void (*visit)(const OutputStatus *status, void *arg), void *arg)
{
    for (size_t i = 0; i < outputs.size(); i++) {
        const Output &o = outputs[i];
        OutputStatus status;
        status.path = o.path;
        status.kind = o.kind;
        status.messages = o.messages;
        status.bytes = o.bytes;
        memcpy(status.dropped, o.dropped, sizeof status.dropped);
        status.backlog = 0;
        for (int fd : streams)
            if (descriptors[fd].output == static_cast<int>(i + 1) && descriptors[fd].backlog)
                status.backlog += descriptors[fd].backlog->size();
        visit(&status, arg);
    }
}

// --- Opening and closing -------------------------------------------------

void output_close(int fd)
{
    close_descriptor(fd);
}

int output_start_command(const char *filename)
{
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0)
        return -1;
    // Our end only: the command reads its standard input blocking.
    (void)fcntl(ends[1], F_SETFL, O_NONBLOCK);
    // Everything the child needs is ready before the fork: between fork and
    // exec it calls only async-signal-safe functions.
    const char *command = filename + 1;
    struct sigaction default_action, ignore_action;
    memset(&default_action, 0, sizeof default_action);
    memset(&ignore_action, 0, sizeof ignore_action);
    default_action.sa_handler = SIG_DFL;
    ignore_action.sa_handler = SIG_IGN;
    sigemptyset(&default_action.sa_mask);
    sigemptyset(&ignore_action.sa_mask);

    pid_t pid = fork();
    if (pid < 0) {
        int saved = errno;
        close(ends[0]);
        close(ends[1]);
        errno = saved;
        return -1;
    }
    if (pid > 0) {
        close(ends[0]);
        return ends[1];
    }

    close(ends[1]);
    if (ends[0] == 0) {
        // Already standard input (the daemon runs without one): only the
        // close-on-exec flag has to go.
        fcntl(0, F_SETFD, 0);
    } else {
        dup2(ends[0], 0);
        close(ends[0]);
    }
    sigaction(SIGCHLD, &default_action, nullptr);
    sigaction(SIGHUP, &ignore_action, nullptr);
    // The daemon ignores SIGPIPE and SIGXFSZ, and an ignored signal stays ignored across
    // exec: give the command the usual behaviour on a closed pipe.
    sigaction(SIGPIPE, &default_action, nullptr);
    sigaction(SIGXFSZ, &default_action, nullptr);
    execl("/bin/sh", "/bin/sh", "-c", command, (char *)nullptr);
    _exit(127);
}

int output_open_log_file(LogFile *file, OutputOpenTime when)
{
    bool command = file->filename[0] == '|';
    int id = output_of(&file->output, file->filename, command ? "command" : "file");
    ensure_clock();
    if (command && when == OUTPUT_OPEN_RETRY) {
        Output &o = outputs[id - 1];
        if (o.restart_window_at == never || clock_now - o.restart_window_at >= output_restart_window) {
            o.restart_window_at = clock_now;
            o.restarts = 0;
        }
        if (o.restarts >= output_restart_burst) {
            errno = EAGAIN;
            return -1;
        }
        o.restarts++;
    }
    int fd;
    for (;;) {
        fd = command ? output_start_command(file->filename)
                     : open(file->filename, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0644);
        if (fd >= 0 || (errno != EMFILE && errno != ENFILE) || !close_least_recent())
            break;
    }
    if (fd < 0) {
        int error = errno;
        say_cannot_open(id, file->filename, error, when);
        errno = error;
        return -1;
    }
    Kind kind = KIND_STREAM;
    struct stat st;
    if (!command)
        kind = fstat(fd, &st) != 0 || S_ISREG(st.st_mode) ? KIND_FILE : KIND_STREAM;
    Output &o = outputs[id - 1];
    o.kind = command ? "command" : kind == KIND_STREAM ? "stream" : "file";
    o.open_errno = 0;
    register_descriptor(fd, kind, id, file);
    if (!command && kind == KIND_STREAM) {
        descriptors[fd].dev = st.st_dev;
        descriptors[fd].ino = st.st_ino;
        take_over_retired(fd);
    }
    return fd;
}

void output_lock_or_exit(int fd, const char *path)
{
    if (!skip_locking && flock(fd, LOCK_EX | LOCK_NB) == -1) {
        fprintf(stderr, "Cannot lock %s, is another wickerpost running?\n", path);
        exit(1);
    }
}

void output_close_log_file(LogFile *file)
{
    if (file->fd <= 0)
        return;
    int fd = file->fd;
    file->fd = -1;
    Descriptor *d = descriptor_at(fd);
    if (d && d->kind == KIND_STREAM && d->backlog && !d->backlog->empty()) {
        ensure_clock();
        d->retired = true;
        d->file = nullptr;
        d->retire_until = clock_now + output_retire_seconds;
        return;
    }
    close_descriptor(fd);
}

int output_open_vhost_file(int *id, const char *dir, const char *path)
{
    int out = output_of(id, dir, "vhost directory");
    if (vhost_cap < 0)
        output_plan_descriptors();
    while (vhost_open >= vhost_cap && close_least_recent()) {
    }
    int fd;
    for (;;) {
        fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0644);
        if (fd >= 0 || (errno != EMFILE && errno != ENFILE) || !close_least_recent())
            break;
    }
    if (fd < 0) {
        int error = errno;
        if (error == ELOOP || error == EISDIR || error == ENXIO) {
            // A symlink (O_NOFOLLOW), a directory, a FIFO without a reader.
            output_drop(out, OUTPUT_DROP_NOT_REGULAR);
        } else if (error == EMFILE || error == ENFILE) {
            output_drop(out, OUTPUT_DROP_NO_DESCRIPTOR);
        } else {
            say_cannot_open(out, path, error, OUTPUT_OPEN_RETRY);
            output_drop(out, OUTPUT_DROP_NOT_OPEN);
        }
        return -1;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        output_drop(out, OUTPUT_DROP_NOT_REGULAR);
        return -1;
    }
    output_lock_or_exit(fd, path);
    register_descriptor(fd, KIND_FILE, out, nullptr);
    return fd;
}

void output_vhost_link(VhostSlot *slot)
{
    slot->last_use = ++use_clock;
    if (linked(slot))
        unlink_slot(slot);
    push_front(slot);
}

void output_vhost_touch(VhostSlot *slot)
{
    slot->last_use = ++use_clock;
    if (slot == lru_head)
        return;
    if (!linked(slot)) {
        push_front(slot);
        return;
    }
    // Out of its place (it has a predecessor, being linked and not first)...
    slot->lru_prev->lru_next = slot->lru_next;
    if (slot->lru_next)
        slot->lru_next->lru_prev = slot->lru_prev;
    else
        lru_tail = slot->lru_prev;
    // ...and to the front.
    slot->lru_prev = nullptr;
    slot->lru_next = lru_head;
    lru_head->lru_prev = slot;
    lru_head = slot;
}

void output_vhost_close(VhostSlot *slot)
{
    unlink_slot(slot);
    if (slot->fd >= 0)
        close_descriptor(slot->fd);
    slot->fd = -1;
}

void output_plan_descriptors()
{
    struct rlimit limit;
    long soft = INT_MAX;
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur < (rlim_t)INT_MAX)
        soft = static_cast<long>(limit.rlim_cur);
    long reserve = soft / 4 < output_fd_reserve ? soft / 4 : output_fd_reserve;
    long cap = soft - reserve - (open_descriptor_count() - vhost_open);
    vhost_cap = cap < 1 ? 1 : cap > INT_MAX ? INT_MAX : static_cast<int>(cap);
}

void output_set_vhost_cap(int cap)
{
    vhost_cap = cap < 1 ? 1 : cap;
}

int output_vhost_open_count()
{
    return vhost_open;
}

int output_vhost_cap()
{
    return vhost_cap;
}

// --- Writing -------------------------------------------------------------

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
    return write_file(fd, d->output, data, length);
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
    output_tick_at(monotonic_seconds());
}

void output_tick_at(long now)
{
    clock_now = now;
    clock_read = true;
    if (now == last_scan)
        return;
    last_scan = now;
    if (pending_reports > 0) {
        for (Output &o : outputs) {
            for (int reason = 0; reason < OUTPUT_DROP_REASONS; reason++) {
                if (o.pending[reason] == 0 || now - o.reported_at[reason] < output_report_interval)
                    continue;
                report(o, reason, o.pending[reason]);
                o.pending[reason] = 0;
                pending_reports--;
            }
        }
    }
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

void output_report_pending()
{
    ensure_clock();
    for (Output &o : outputs) {
        for (int reason = 0; reason < OUTPUT_DROP_REASONS; reason++) {
            if (o.pending[reason] == 0)
                continue;
            report(o, reason, o.pending[reason]);
            o.pending[reason] = 0;
        }
    }
    pending_reports = 0;
}

void output_drain(int timeout_ms)
{
    exiting = true;
    long deadline = monotonic_ms() + timeout_ms;
    std::vector<pollfd> set;
    for (;;) {
        set.clear();
        output_poll_backlogs(&set);
        long left = deadline - monotonic_ms();
        if (set.empty() || left <= 0)
            break;
        int ready = poll(set.data(), set.size(), static_cast<int>(left));
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
