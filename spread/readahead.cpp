// Read-ahead: the reader thread of a session, which moves the socket's
// bytes into the ring and frames them, and the calls that start, stop and
// look at it (SP_read_ahead, SP_ready_fd, SP_buffered). The ring's offsets
// and invariants are described in readahead.h; its steps, which the thread
// takes, are in readahead_ring.cpp.
#include <errno.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sched.h>
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
#include <iterator>

#include "spread/readahead.h"

size_t sp_readahead_bytes = SP_READAHEAD_BYTES;

namespace {

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
//
// The ring's memory (readahead.h): a read is offered only room that is
// resident; right after the bytes of a read are published the reader
// attaches the room for the next one, faulting fresh frames in there if
// the backlog grows into memory the ring does not hold yet. While it
// holds more than an idle session needs, it looks after each read, and
// wakes from an idle wait, to give back what a quiet spell left unused.
void *reader_main(void *arg)
{
    SpReadAhead *ra = (SpReadAhead *)arg;
    reader_ask_short_slice();
    uint64_t last_bytes_at = 0;  // when a read last brought bytes; 0: never
    for (;;) {
        if (ra->stop_asked.load(std::memory_order_relaxed))
            return nullptr;
        struct iovec iov[SP_RING_AHEAD / SP_RING_CHUNK + 2];
        size_t pieces;
        size_t offered = sp_ring_room(ra, iov, std::size(iov), &pieces);
        if (offered == 0) {
            uint64_t filled = ra->filled.load(std::memory_order_relaxed);
            std::unique_lock<SessionLock> lk(ra->mu);
            // Sequentially consistent with sp_ring_commit: either it sees
            // reader_waits and wakes us, or we see the room it made.
            ra->reader_waits.store(true, std::memory_order_seq_cst);
            ra->cv.wait(lk, [&] {
                return ra->stop_asked.load(std::memory_order_relaxed) ||
                       ra->taken.load(std::memory_order_seq_cst) + ra->cap > filled;
            });
            ra->reader_waits.store(false, std::memory_order_relaxed);
            continue;
        }
        struct msghdr msg;
        memset(&msg, 0, sizeof msg);
        msg.msg_iov = iov;
        msg.msg_iovlen = pieces;
        ssize_t n = recvmsg(ra->fd, &msg, MSG_DONTWAIT);
        if (n > 0) {
            size_t completed;
            if (!sp_ring_read(ra, (size_t)n, &completed))
                return nullptr;
            if ((size_t)n == offered)
                continue;
            uint64_t now = sp_monotonic_ns();
            (void)sp_ring_trim(ra, now);
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
        int r = poll(p, 2, sp_ring_trim(ra, sp_monotonic_ns()));
        if (r < 0 && errno != EINTR)
            break;
        if (r == 0)
            (void)sp_ring_trim(ra, sp_monotonic_ns());
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
    // A stack for what the reader runs (a few small frames and system
    // calls), not the process's default of several MiB.
    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0)
        return SP_BUG;
    size_t stack = SP_READER_STACK_BYTES;
    if (stack < (size_t)PTHREAD_STACK_MIN)
        stack = (size_t)PTHREAD_STACK_MIN;
    (void)pthread_attr_setstacksize(&attr, stack);
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &old);
    int r = pthread_create(&ra->thread, &attr, reader_main, ra);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    pthread_attr_destroy(&attr);
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

}  // namespace

namespace {

// Read-ahead state for s, framing from where the application stands: at a
// message boundary, or after the header a *_TOO_SHORT return kept. Null when
// memory or descriptors cannot be had.
SpReadAhead *read_ahead_new(SpSession *s)
{
    uint64_t quiet_ns = SP_RING_QUIET_NS;
    if (const char *e = getenv(SP_RING_QUIET_TEST_ENV)) {
        char *end;
        unsigned long long ms = strtoull(e, &end, 10);
        if (*e && !*end)
            quiet_ns = ms * 1000000ull;
    }
    SpReadAhead *ra = sp_ring_new(sp_readahead_bytes, quiet_ns);
    if (!ra)
        return nullptr;
    ra->fd = s->fd;
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
    sp_ring_delete(s->ra);
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
        ra->taken_base = s->taken_messages;
        if (ra->end.load(std::memory_order_relaxed) == ReadEnd::none && reader_start(ra) != 0) {
            sp_ring_delete(ra);
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

extern "C" int SP_read_stats(mailbox mbox, sp_read_stats *stats)
{
    SpSession *s = sp_session_get(mbox);
    if (!s || !stats)
        return ILLEGAL_SESSION;
    *stats = sp_read_stats{};
    stats->messages_taken = s->taken_messages;
    stats->messages_framed = s->taken_messages;
    SpReadAhead *ra = s->ra;
    if (!ra)
        return 0;
    // whole and framed move together, under the lock; the walk below then
    // reads only [taken, whole), which the reader leaves alone (it writes
    // past filled and detaches below taken, which only this thread
    // moves), so the reader is never held up by it.
    uint64_t taken = ra->taken.load(std::memory_order_relaxed);
    uint64_t whole;
    {
        std::lock_guard<SessionLock> g(ra->mu);
        whole = ra->whole.load(std::memory_order_relaxed);
        stats->messages_framed = ra->framed.load(std::memory_order_relaxed);
    }
    stats->bytes_read = ra->filled.load(std::memory_order_acquire);
    stats->held_bytes = stats->bytes_read - taken;
    stats->held_whole_bytes = whole - taken;
    // Whole messages held, counted by walking their headers from taken to
    // whole, apart from the reader's count: a walk that does not end
    // exactly at whole, or a count that differs from framed less taken,
    // shows a fault in the books. A message whose header a *_TOO_SHORT
    // return kept starts headless.
    uint64_t at = taken, held = 0;
    if (s->has_cached && at < whole) {
        int64_t payload = wire_payload_size(&s->cached, true);
        at += payload > 0 ? (uint64_t)payload : 0;
        held++;
    }
    while (at + WIRE_HEADER_SIZE <= whole) {
        unsigned char raw[WIRE_HEADER_SIZE];
        sp_ring_copy(ra, (size_t)(at % ra->cap), raw, sizeof raw);
        WireHeader h;
        wire_header_decode(raw, raw + sizeof raw, &h);
        int64_t payload = wire_payload_size(&h, true);
        if (payload < 0)
            break;
        at += WIRE_HEADER_SIZE + (uint64_t)payload;
        held++;
    }
    stats->held_messages = at == whole ? held : ~0ull;
    // Messages received before reading ahead began were framed by their
    // receive.
    stats->messages_framed += ra->taken_base;
    stats->limit_bytes = ra->cap;
    stats->max_held_bytes = ra->max_held.load(std::memory_order_relaxed);
    return 0;
}
