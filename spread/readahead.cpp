// Read-ahead: the reader thread of a session, which moves the socket's
// bytes into the ring and frames them, and the calls that start, stop and
// look at it (SP_read_ahead, SP_ready_fd, SP_buffered). The ring's offsets
// and invariants are described in readahead.h.
#include <errno.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sched.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>

#include "spread/readahead.h"

size_t sp_readahead_bytes = SP_READAHEAD_BYTES;

void sp_update_ready(SpReadAhead *ra)
{
    bool ready = ra->whole.load(std::memory_order_relaxed) > ra->taken.load(std::memory_order_relaxed) ||
                 ra->end.load(std::memory_order_relaxed) != ReadEnd::none ||
                 ra->stopped.load(std::memory_order_relaxed);
    if (ready == ra->signalled)
        return;
    uint64_t v = 1;
    ssize_t r;
    do
        r = ready ? write(ra->ready_fd, &v, sizeof v) : read(ra->ready_fd, &v, sizeof v);
    while (r < 0 && errno == EINTR);
    ra->signalled = ready;
}

void sp_ring_copy(const SpReadAhead *ra, size_t i, void *out, size_t n)
{
    size_t first = ra->cap - i < n ? ra->cap - i : n;
    memcpy(out, ra->ring + i, first);
    memcpy((unsigned char *)out + first, ra->ring, n - first);
}

namespace {

// The reader's side: frames the bytes that came in, from msg_start up to
// filled, and counts the messages completed into *completed. Publishes how
// far whole messages reach; false when a corrupt header was found (the
// reader must stop).
bool reader_frame(SpReadAhead *ra, uint64_t filled, size_t *completed)
{
    uint64_t whole = ra->whole.load(std::memory_order_relaxed);
    bool corrupt = false;
    for (;;) {
        if (!ra->header_known) {
            if (filled - ra->msg_start < WIRE_HEADER_SIZE)
                break;
            unsigned char raw[WIRE_HEADER_SIZE];
            sp_ring_copy(ra, (size_t)(ra->msg_start % ra->cap), raw, sizeof raw);
            WireHeader h;
            wire_header_decode(raw, raw + sizeof raw, &h);
            int64_t payload = wire_payload_size(&h, true);
            if (payload < 0 || (uint64_t)payload > SP_LARGEST_MESSAGE - WIRE_HEADER_SIZE) {
                corrupt = true;
                break;
            }
            ra->msg_end = ra->msg_start + WIRE_HEADER_SIZE + (uint64_t)payload;
            ra->header_known = true;
        }
        if (filled < ra->msg_end)
            break;
        whole = ra->msg_end;
        ++*completed;
        ra->msg_start = ra->msg_end;
        ra->header_known = false;
    }
    if (whole != ra->whole.load(std::memory_order_relaxed) || corrupt) {
        std::lock_guard<SessionLock> g(ra->mu);
        ra->whole.store(whole, std::memory_order_release);
        if (corrupt)
            ra->end.store(ReadEnd::corrupt, std::memory_order_relaxed);
        sp_update_ready(ra);
        if (ra->receiver_waits)
            ra->cv.notify_all();
    }
    return !corrupt;
}

void reader_finish(SpReadAhead *ra, ReadEnd why)
{
    std::lock_guard<SessionLock> g(ra->mu);
    ra->end.store(why, std::memory_order_relaxed);
    sp_update_ready(ra);
    if (ra->receiver_waits)
        ra->cv.notify_all();
}

// Asks the scheduler for short time slices for the calling thread (the
// reader), where the kernel takes a request (Linux 6.12 on, EEVDF): a task
// with a shorter slice gets an earlier deadline, so it runs sooner when it
// wakes, while its share of the processor (its niceness) stays what it
// was. Any process may ask; it is neither real-time scheduling nor a
// raised priority. Left alone when the thread runs another policy than
// SCHED_OTHER; a kernel that refuses changes nothing.
void reader_ask_short_slice()
{
    struct {
        uint32_t size, policy;
        uint64_t flags;
        int32_t nice;
        uint32_t priority;
        uint64_t runtime, deadline, period;  // runtime: the slice, for SCHED_OTHER
    } attr;
    static_assert(sizeof attr == 48, "the first layout of struct sched_attr");
    if (sched_getscheduler(0) != SCHED_OTHER)
        return;
    errno = 0;
    int nice = getpriority(PRIO_PROCESS, (id_t)gettid());
    if (errno != 0)
        return;
    memset(&attr, 0, sizeof attr);
    attr.size = sizeof attr;
    attr.policy = SCHED_OTHER;
    attr.nice = nice;
    attr.runtime = SP_READER_SLICE_NS;
    (void)syscall(SYS_sched_setattr, 0, &attr, 0);
}

uint64_t monotonic_ns()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (uint64_t)ts.tv_sec * 1000000000u + (uint64_t)ts.tv_nsec;
}

// How long the reader pauses after a read that brought bytes while bytes
// keep coming, so that the next read gathers what arrives meanwhile. A read
// that came since_last_ns after the one before and brought n bytes, m
// messages completed, shows the rate; the next pause is shortened so that
// at that rate at most SP_GATHER_BYTES and SP_GATHER_MESSAGES arrive during
// it. 0: read again at once.
uint64_t gather_pause(uint64_t since_last_ns, size_t n, size_t m)
{
    uint64_t pause = SP_GATHER_NS;
    if (n > SP_GATHER_BYTES)
        pause = since_last_ns * SP_GATHER_BYTES / n;
    if (m > SP_GATHER_MESSAGES && since_last_ns * SP_GATHER_MESSAGES / m < pause)
        pause = since_last_ns * SP_GATHER_MESSAGES / m;
    if (pause > SP_GATHER_NS)
        pause = SP_GATHER_NS;
    return pause < SP_GATHER_MIN_NS ? 0 : pause;
}

// The reader thread: reads the socket into the ring's free space until end
// of file, a socket error, a corrupt header, or stop_asked. Runs at the
// process's own scheduling policy and niceness.
//
// A daemon writes each message on its own, so at a steady rate a reader
// that waited on the socket after every read would wake for every message,
// and so would the application after it. Instead, a read that follows
// another within two pauses (bytes are streaming) is followed by a pause of
// at most SP_GATHER_NS, bounded further so that the socket holds no more
// than SP_GATHER_MESSAGES and SP_GATHER_BYTES of gathered input when the
// reader looks again: the socket (a Unix socket takes 167 messages of 200
// to 700 bytes, 278 smaller ones, TCP many more) and then the daemon's
// queue for the session (1000 messages) keep nearly all of their room for
// the times the reader is not on a processor.
// A message after a quiet spell is read and published as soon as it comes;
// the messages after it wait at most one pause. A read that filled all the
// free space it was offered is followed by another at once: the socket may
// hold more. A shorter read emptied the socket, so the reader then waits in
// poll without trying it again first.
//
// It waits in poll for the socket or the wake descriptor, in ppoll on the
// wake descriptor alone while it pauses, and on the condition variable
// while the ring is full. All signals are blocked in it (by its creator).
void *reader_main(void *arg)
{
    SpReadAhead *ra = (SpReadAhead *)arg;
    reader_ask_short_slice();
    uint64_t last_bytes_at = 0;  // when a read last brought bytes; 0: never
    for (;;) {
        if (ra->stop_asked.load(std::memory_order_relaxed))
            return nullptr;
        uint64_t filled = ra->filled.load(std::memory_order_relaxed);
        size_t free_bytes = ra->cap - (size_t)(filled - ra->taken.load(std::memory_order_acquire));
        if (free_bytes == 0) {
            std::unique_lock<SessionLock> lk(ra->mu);
            // Sequentially consistent with ring_commit: either it sees
            // reader_waits and wakes us, or we see the room it made.
            ra->reader_waits.store(true, std::memory_order_seq_cst);
            ra->cv.wait(lk, [&] {
                return ra->stop_asked.load(std::memory_order_relaxed) ||
                       ra->taken.load(std::memory_order_seq_cst) + ra->cap > filled;
            });
            ra->reader_waits.store(false, std::memory_order_relaxed);
            continue;
        }
        size_t tail = (size_t)(filled % ra->cap);
        size_t first = ra->cap - tail < free_bytes ? ra->cap - tail : free_bytes;
        struct iovec iov[2] = {{ra->ring + tail, first}, {ra->ring, free_bytes - first}};
        struct msghdr msg;
        memset(&msg, 0, sizeof msg);
        msg.msg_iov = iov;
        msg.msg_iovlen = iov[1].iov_len ? 2 : 1;
        ssize_t n = recvmsg(ra->fd, &msg, MSG_DONTWAIT);
        if (n > 0) {
            filled += (uint64_t)n;
            ra->filled.store(filled, std::memory_order_release);
            size_t completed = 0;
            if (!reader_frame(ra, filled, &completed))
                return nullptr;
            if ((size_t)n == free_bytes)
                continue;
            uint64_t now = monotonic_ns();
            uint64_t since = now - last_bytes_at;
            last_bytes_at = now;
            if (since <= 2 * SP_GATHER_NS) {
                if (uint64_t pause = gather_pause(since, (size_t)n, completed)) {
                    struct pollfd p = {ra->wake_fd, POLLIN, 0};
                    struct timespec ts = {(time_t)(pause / 1000000000u), (long)(pause % 1000000000u)};
                    (void)ppoll(&p, 1, &ts, nullptr);
                }
                continue;
            }
            // A read after a quiet spell: the socket is empty now.
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
            break;
        }
        struct pollfd p[2] = {{ra->fd, POLLIN, 0}, {ra->wake_fd, POLLIN, 0}};
        if (poll(p, 2, -1) < 0 && errno != EINTR)
            break;
    }
    reader_finish(ra, ReadEnd::closed);
    return nullptr;
}

// Starts the reader thread with every signal blocked (a new thread inherits
// its creator's mask), so that signals always reach the application's
// threads and interrupt their waits. Returns 0 or SP_BUG.
int reader_start(SpReadAhead *ra)
{
    uint64_t v;
    while (read(ra->wake_fd, &v, sizeof v) > 0) {
    }
    ra->stop_asked.store(false, std::memory_order_relaxed);
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &old);
    int r = pthread_create(&ra->thread, nullptr, reader_main, ra);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    if (r != 0)
        return SP_BUG;
    pthread_setname_np(ra->thread, "sp-reader");
    ra->running = true;
    return 0;
}

// Ends and joins the reader thread, if one runs.
void reader_stop(SpReadAhead *ra)
{
    if (!ra->running)
        return;
    {
        std::lock_guard<SessionLock> g(ra->mu);
        ra->stop_asked.store(true, std::memory_order_relaxed);
        ra->cv.notify_all();
    }
    uint64_t one = 1;
    while (write(ra->wake_fd, &one, sizeof one) < 0 && errno == EINTR) {
    }
    pthread_join(ra->thread, nullptr);
    ra->running = false;
}

void read_ahead_delete(SpReadAhead *ra)
{
    if (ra->ready_fd >= 0)
        close(ra->ready_fd);
    if (ra->wake_fd >= 0)
        close(ra->wake_fd);
    free(ra->ring);
    delete ra;
}

// Read-ahead state for s, framing from where the application stands: at a
// message boundary, or after the header a *_TOO_SHORT return kept. Null when
// memory or descriptors cannot be had.
SpReadAhead *read_ahead_new(SpSession *s)
{
    SpReadAhead *ra = new (std::nothrow) SpReadAhead();
    if (!ra)
        return nullptr;
    ra->fd = s->fd;
    ra->cap = sp_readahead_bytes > SP_LARGEST_MESSAGE ? sp_readahead_bytes : SP_LARGEST_MESSAGE;
    ra->ring = (unsigned char *)malloc(ra->cap);
    ra->ready_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    ra->wake_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (!ra->ring || ra->ready_fd < 0 || ra->wake_fd < 0) {
        read_ahead_delete(ra);
        return nullptr;
    }
    // Every page of the ring is touched now, once: the reader never takes a
    // page fault while it reads, which could make it wait for the process's
    // memory map while another thread changes it (a malloc growing the heap)
    // and is preempted. The ring is resident from here on, as it would be
    // after its first round anyway.
    memset(ra->ring, 0, ra->cap);
    if (s->has_cached) {
        int64_t payload = wire_payload_size(&s->cached, true);
        ra->header_known = true;
        ra->msg_end = (uint64_t)payload;
        if (payload < 0 || (uint64_t)payload > SP_LARGEST_MESSAGE - WIRE_HEADER_SIZE) {
            std::lock_guard<SessionLock> g(ra->mu);
            ra->end.store(ReadEnd::corrupt, std::memory_order_relaxed);
            sp_update_ready(ra);
        }
    }
    return ra;
}

}  // namespace

void sp_read_ahead_free(SpSession *s)
{
    if (!s->ra)
        return;
    reader_stop(s->ra);
    read_ahead_delete(s->ra);
    s->ra = nullptr;
}

extern "C" int SP_read_ahead(mailbox mbox, int on)
{
    SpSession *s = sp_session_get(mbox);
    if (!s)
        return ILLEGAL_SESSION;
    SpReadAhead *ra = s->ra;
    if (!on) {
        if (!ra || ra->stopped.load(std::memory_order_relaxed))
            return 0;
        reader_stop(ra);
        std::lock_guard<SessionLock> g(ra->mu);
        ra->stopped.store(true, std::memory_order_relaxed);
        sp_update_ready(ra);
        return 0;
    }
    if (s->broken.load(std::memory_order_relaxed) || s->shut)
        return NET_ERROR_ON_SESSION;
    if (!ra) {
        ra = read_ahead_new(s);
        if (!ra)
            return SP_BUG;
        if (ra->end.load(std::memory_order_relaxed) == ReadEnd::none && reader_start(ra) != 0) {
            read_ahead_delete(ra);
            return SP_BUG;
        }
        s->ra = ra;
        return 0;
    }
    if (!ra->stopped.load(std::memory_order_relaxed))
        return 0;
    // Reading again after a stop: on from where the reader left off.
    if (ra->end.load(std::memory_order_relaxed) == ReadEnd::none && reader_start(ra) != 0)
        return SP_BUG;
    std::lock_guard<SessionLock> g(ra->mu);
    ra->stopped.store(false, std::memory_order_relaxed);
    sp_update_ready(ra);
    return 0;
}

extern "C" int SP_ready_fd(mailbox mbox)
{
    SpSession *s = sp_session_get(mbox);
    if (!s)
        return ILLEGAL_SESSION;
    return s->ra ? s->ra->ready_fd : mbox;
}

extern "C" int SP_buffered(mailbox mbox)
{
    SpSession *s = sp_session_get(mbox);
    if (!s)
        return ILLEGAL_SESSION;
    SpReadAhead *ra = s->ra;
    if (!ra)
        return 0;
    uint64_t n = ra->whole.load(std::memory_order_acquire) - ra->taken.load(std::memory_order_relaxed);
    return n > (uint64_t)INT_MAX ? INT_MAX : (int)n;
}
