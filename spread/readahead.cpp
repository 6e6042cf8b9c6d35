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
#include <sys/mman.h>
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
    unsigned char *to = (unsigned char *)out;
    while (n > 0) {
        size_t off = i % SP_RING_CHUNK;
        size_t m = SP_RING_CHUNK - off < n ? SP_RING_CHUNK - off : n;
        memcpy(to, ra->chunks[i / SP_RING_CHUNK].load(std::memory_order_relaxed) + off, m);
        to += m;
        n -= m;
        i += m;
        if (i == ra->cap)
            i = 0;
    }
}

namespace {

uint64_t monotonic_ns()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (uint64_t)ts.tv_sec * 1000000000u + (uint64_t)ts.tv_nsec;
}

// Faults a cold frame in, a write to each of its pages, so that no read
// into it has to.
unsigned char *frame_touch(unsigned char *frame)
{
    static const size_t page = (size_t)sysconf(_SC_PAGESIZE);
    for (size_t o = 0; o < SP_RING_CHUNK; o += page)
        ((volatile unsigned char *)frame)[o] = 0;
    return frame;
}

// The reader's side (and the creator's, before the reader starts): brings
// the attached chunks in line with taken and filled. Chunks the application
// has passed are detached (their frames to the warm list); the room up to
// SP_RING_AHEAD past filled (within the ring's bound) is attached, warm
// frames first.
void ring_fit(SpReadAhead *ra, uint64_t filled, uint64_t taken)
{
    while (ra->att_from < ra->att_to && (ra->att_from + 1) * SP_RING_CHUNK <= taken) {
        uint64_t c = ra->att_from++;
        // Chunk c + nslots, still attached, shares the slot.
        if (c + ra->nslots >= ra->att_to) {
            std::atomic<unsigned char *> &slot = ra->chunks[c % ra->nslots];
            ra->warm[ra->nwarm++] = slot.load(std::memory_order_relaxed);
            slot.store(nullptr, std::memory_order_relaxed);
        }
    }
    uint64_t limit = filled + SP_RING_AHEAD < taken + ra->cap ? filled + SP_RING_AHEAD : taken + ra->cap;
    while (ra->att_to * SP_RING_CHUNK < limit) {
        uint64_t c = ra->att_to++;
        // Attached already through chunk c - nslots.
        if (c >= ra->att_from + ra->nslots)
            continue;
        unsigned char *frame = ra->nwarm > 0 ? ra->warm[--ra->nwarm] : frame_touch(ra->cold[--ra->ncold]);
        ra->chunks[c % ra->nslots].store(frame, std::memory_order_relaxed);
    }
}

// Frames resident beyond the SP_RING_RESIDENT that a session keeps.
bool ring_holds_more(const SpReadAhead *ra)
{
    return ra->nslots - ra->ncold > SP_RING_RESIDENT / SP_RING_CHUNK;
}

// A wait of ns nanoseconds for poll: whole ms, at least 1.
int poll_ms(uint64_t ns)
{
    uint64_t ms = (ns + 999999) / 1000000;
    return ms < 1 ? 1 : ms > (uint64_t)INT_MAX ? INT_MAX : (int)ms;
}

// The reader's side: notes a large backlog, and once the backlog has stayed
// small for quiet_ns, detaches what the application has passed and gives
// back warm frames while more than SP_RING_RESIDENT is resident. Returns how long until that
// is due, in ms, for the reader's wait: -1 when nothing is left to give
// back.
int ring_trim(SpReadAhead *ra, uint64_t now)
{
    uint64_t filled = ra->filled.load(std::memory_order_relaxed);
    uint64_t taken = ra->taken.load(std::memory_order_acquire);
    if (filled - taken > SP_RING_SMALL)
        ra->busy_at = now;
    if (!ring_holds_more(ra))
        return -1;
    if (now - ra->busy_at < ra->quiet_ns)
        return poll_ms(ra->busy_at + ra->quiet_ns - now);
    ring_fit(ra, filled, taken);
    while (ra->nwarm > 0 && ring_holds_more(ra)) {
        unsigned char *frame = ra->warm[--ra->nwarm];
        (void)madvise(frame, SP_RING_CHUNK, MADV_DONTNEED);
        ra->cold[ra->ncold++] = frame;
    }
    // What is still resident beyond that holds the backlog: looked at again
    // after another quiet spell.
    ra->busy_at = now;
    return ring_holds_more(ra) ? poll_ms(ra->quiet_ns) : -1;
}

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
        ra->framed.store(ra->framed.load(std::memory_order_relaxed) + *completed, std::memory_order_relaxed);
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
        ring_fit(ra, filled, ra->taken.load(std::memory_order_acquire));
        // The room offered: resident, less than SP_RING_AHEAD plus one
        // chunk from filled on (ring_fit attaches no further), so at most
        // SP_RING_AHEAD / SP_RING_CHUNK + 2 pieces of chunks.
        size_t offered = (size_t)(ra->att_to * SP_RING_CHUNK - filled);
        if (offered > free_bytes)
            offered = free_bytes;
        struct iovec iov[SP_RING_AHEAD / SP_RING_CHUNK + 2];
        size_t pieces = 0;
        for (size_t i = (size_t)(filled % ra->cap), left = offered; left > 0 && pieces < std::size(iov); pieces++) {
            size_t off = i % SP_RING_CHUNK;
            size_t m = SP_RING_CHUNK - off < left ? SP_RING_CHUNK - off : left;
            iov[pieces] = {ra->chunks[i / SP_RING_CHUNK].load(std::memory_order_relaxed) + off, m};
            left -= m;
            i += m;
            if (i == ra->cap)
                i = 0;
        }
        struct msghdr msg;
        memset(&msg, 0, sizeof msg);
        msg.msg_iov = iov;
        msg.msg_iovlen = pieces;
        ssize_t n = recvmsg(ra->fd, &msg, MSG_DONTWAIT);
        if (n > 0) {
            filled += (uint64_t)n;
            ra->filled.store(filled, std::memory_order_release);
            uint64_t held = filled - ra->taken.load(std::memory_order_relaxed);
            if (held > ra->max_held.load(std::memory_order_relaxed))
                ra->max_held.store(held, std::memory_order_relaxed);
            size_t completed = 0;
            if (!reader_frame(ra, filled, &completed))
                return nullptr;
            // The room for the next read, now that the messages are out.
            ring_fit(ra, filled, ra->taken.load(std::memory_order_acquire));
            if ((size_t)n == offered)
                continue;
            uint64_t now = monotonic_ns();
            (void)ring_trim(ra, now);
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
        int r = poll(p, 2, ring_trim(ra, monotonic_ns()));
        if (r < 0 && errno != EINTR)
            break;
        if (r == 0)
            (void)ring_trim(ra, monotonic_ns());
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

void read_ahead_delete(SpReadAhead *ra)
{
    if (ra->ready_fd >= 0)
        close(ra->ready_fd);
    if (ra->wake_fd >= 0)
        close(ra->wake_fd);
    if (ra->region)
        munmap(ra->region, ra->cap);
    delete[] ra->chunks;
    delete[] ra->warm;
    delete[] ra->cold;
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
    size_t cap = sp_readahead_bytes > SP_LARGEST_MESSAGE ? sp_readahead_bytes : SP_LARGEST_MESSAGE;
    ra->cap = (cap + SP_RING_CHUNK - 1) / SP_RING_CHUNK * SP_RING_CHUNK;
    ra->nslots = ra->cap / SP_RING_CHUNK;
    ra->quiet_ns = SP_RING_QUIET_NS;
    if (const char *e = getenv(SP_RING_QUIET_TEST_ENV)) {
        char *end;
        unsigned long long ms = strtoull(e, &end, 10);
        if (*e && !*end)
            ra->quiet_ns = ms * 1000000ull;
    }
    // One mapping for every frame, reserved now and touched only as the
    // backlog needs it. Its faults are then taken under the mapping's own
    // lock, not the whole memory map's, as long as nothing changes the
    // mapping; no huge pages, which would make a frame's first byte cost
    // 2 MiB.
    void *region = mmap(nullptr, ra->cap, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (region != MAP_FAILED) {
        ra->region = (unsigned char *)region;
        (void)madvise(region, ra->cap, MADV_NOHUGEPAGE);
    }
    ra->chunks = new (std::nothrow) std::atomic<unsigned char *>[ra->nslots]();
    ra->warm = new (std::nothrow) unsigned char *[ra->nslots];
    ra->cold = new (std::nothrow) unsigned char *[ra->nslots];
    ra->ready_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    ra->wake_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (!ra->region || !ra->chunks || !ra->warm || !ra->cold || ra->ready_fd < 0 || ra->wake_fd < 0) {
        read_ahead_delete(ra);
        return nullptr;
    }
    // Frames are taken from the start of the mapping first.
    for (size_t k = 0; k < ra->nslots; k++)
        ra->cold[k] = ra->region + (ra->nslots - 1 - k) * SP_RING_CHUNK;
    ra->ncold = ra->nslots;
    // The room of the first reads, and the rest of what the ring keeps
    // resident, faulted in here, before the reader runs.
    ring_fit(ra, 0, 0);
    while (ra->ncold > 0 && ra->nslots - ra->ncold < SP_RING_RESIDENT / SP_RING_CHUNK)
        ra->warm[ra->nwarm++] = frame_touch(ra->cold[--ra->ncold]);
    ra->busy_at = monotonic_ns();
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
        ra->taken_base = s->taken_messages;
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
    std::lock_guard<SessionLock> g(ra->mu);
    uint64_t taken = ra->taken.load(std::memory_order_relaxed);
    uint64_t whole = ra->whole.load(std::memory_order_relaxed);
    stats->bytes_read = ra->filled.load(std::memory_order_acquire);
    stats->messages_framed = ra->framed.load(std::memory_order_relaxed);
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
