// Receiving: SP_receive and SP_scat_receive (a plain buffer is received as
// a scatter of one element), SP_poll, SP_buffered, and the read-ahead a
// session may ask for (SP_read_ahead, SP_ready_fd) with its reader thread.
//
// Without read-ahead SP_receive reads from the socket exactly the bytes of
// one message (the header, then in one go the rest: a reject's old type, the
// group slots, the body), waiting until that message is whole, and nothing
// more. The socket stays readable while messages remain in it, so callers
// that wait on the mailbox with select() or poll() take one message per
// readable descriptor, as with the real library.
//
// With read-ahead a reader thread moves the socket's bytes into a ring (one
// recv into its free space at a time) and decodes each header as it
// completes, so that it knows where whole messages end. SP_receive then takes
// the next whole message from the ring, waiting only while there is none and
// the session has not ended. Positions are byte offsets in the stream since
// read-ahead began; the ring index of offset o is o % cap.
//
//   taken <= whole <= filled,  filled - taken <= cap
//
// - [taken, whole): whole messages (or the rest of the one whose header a
//   *_TOO_SHORT return kept); only the application reads them, and only it
//   moves taken.
// - [whole, filled): the start of a message not all here yet; only the
//   reader touches it.
// - [filled, taken + cap): free; the reader recvs into it.
// - The ready descriptor holds a count exactly while whole > taken, or the
//   reader ended, or reading was stopped (under mu: signalled). Only the
//   transitions cost a system call, and only they take the lock on the
//   application's side: a busy stream costs neither per message.
//
// A header with a negative group count or length, or announcing more than
// SP_LARGEST_MESSAGE with read-ahead, leaves no way to find the next message:
// SP_receive returns ILLEGAL_MESSAGE (after every whole message before it)
// and shuts the connection, so the next call returns CONNECTION_CLOSED (and
// NET_ERROR_ON_SESSION after that, until SP_disconnect), as after any other
// loss. End of file or a socket error is reported the same way once the
// whole messages that came before it have been taken.
#include <errno.h>
#include <limits.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>

#include "spread/client.h"

size_t sp_readahead_bytes = SP_READAHEAD_BYTES;

namespace {

// Why the reader ended for good.
enum class ReadEnd : int {
    none,     // still reading (or stopped by the application, see stopped)
    closed,   // end of file or a socket error
    corrupt,  // a header no daemon sends; the stream lost its framing
};

// The session's lock. The reader thread runs at a higher priority than the
// application (see reader_raise_priority) and takes this lock whenever
// whole messages come in; if an application thread holding it were
// preempted by ordinary work, the reader would wait as long, and the daemon
// would find the session's queue full. So the lock passes its waiter's
// priority on to its holder (priority inheritance).
class SessionLock {
public:
    SessionLock()
    {
        pthread_mutexattr_t attr;
        pthread_mutexattr_init(&attr);
        pthread_mutexattr_setprotocol(&attr, PTHREAD_PRIO_INHERIT);
        pthread_mutex_init(&m_, &attr);
        pthread_mutexattr_destroy(&attr);
    }
    ~SessionLock() { pthread_mutex_destroy(&m_); }
    SessionLock(const SessionLock &) = delete;
    SessionLock &operator=(const SessionLock &) = delete;
    void lock() { pthread_mutex_lock(&m_); }
    void unlock() { pthread_mutex_unlock(&m_); }

private:
    pthread_mutex_t m_;
};

}  // namespace

// Fields are grouped by the thread that writes them, each group on cache
// lines of its own, so that the two threads do not pull one line back and
// forth on every message.
struct SpReadAhead {
    // Set up before the reader starts; read by both.
    unsigned char *ring = nullptr;     // cap bytes, malloc'd
    size_t cap = 0;
    int fd = -1;                       // the session's socket
    int ready_fd = -1;                 // eventfd: see above
    int wake_fd = -1;                  // eventfd: interrupts the reader's poll
    pthread_t thread;
    bool running = false;              // thread is joinable (application's thread only)

    // Written by the reader.
    alignas(64) std::atomic<uint64_t> filled{0};
    std::atomic<uint64_t> whole{0};    // under mu
    std::atomic<ReadEnd> end{ReadEnd::none};  // under mu
    std::atomic<bool> reader_waits{false};  // for free space; set under mu
    // The reader's framing state: the message being completed starts at
    // msg_start; once its header is in (header_known) it ends at msg_end.
    uint64_t msg_start = 0;
    uint64_t msg_end = 0;
    bool header_known = false;

    // Written by the application.
    alignas(64) std::atomic<uint64_t> taken{0};
    std::atomic<bool> stopped{false};  // SP_read_ahead(mbox, 0); under mu
    std::atomic<bool> stop_asked{false};  // tells the reader thread to return

    alignas(64) SessionLock mu;
    std::condition_variable_any cv;
    bool signalled = false;            // ready_fd holds a count; under mu
    bool receiver_waits = false;       // SP_receive waits for a whole message; under mu
};

namespace {

// Brings the ready descriptor in line with the state. Called under mu.
void update_ready(SpReadAhead *ra)
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

// Copies n bytes (n <= cap) out of the ring from index i on.
void ring_copy(const SpReadAhead *ra, size_t i, void *out, size_t n)
{
    size_t first = ra->cap - i < n ? ra->cap - i : n;
    memcpy(out, ra->ring + i, first);
    memcpy((unsigned char *)out + first, ra->ring, n - first);
}

// The reader's side: frames the bytes that came in, from msg_start up to
// filled. Publishes how far whole messages reach; false when a corrupt
// header was found (the reader must stop).
bool reader_frame(SpReadAhead *ra, uint64_t filled)
{
    uint64_t whole = ra->whole.load(std::memory_order_relaxed);
    bool corrupt = false;
    for (;;) {
        if (!ra->header_known) {
            if (filled - ra->msg_start < WIRE_HEADER_SIZE)
                break;
            unsigned char raw[WIRE_HEADER_SIZE];
            ring_copy(ra, (size_t)(ra->msg_start % ra->cap), raw, sizeof raw);
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
        ra->msg_start = ra->msg_end;
        ra->header_known = false;
    }
    if (whole != ra->whole.load(std::memory_order_relaxed) || corrupt) {
        std::lock_guard<SessionLock> g(ra->mu);
        ra->whole.store(whole, std::memory_order_release);
        if (corrupt)
            ra->end.store(ReadEnd::corrupt, std::memory_order_relaxed);
        update_ready(ra);
        if (ra->receiver_waits)
            ra->cv.notify_all();
    }
    return !corrupt;
}

void reader_finish(SpReadAhead *ra, ReadEnd why)
{
    std::lock_guard<SessionLock> g(ra->mu);
    ra->end.store(why, std::memory_order_relaxed);
    update_ready(ra);
    if (ra->receiver_waits)
        ra->cv.notify_all();
}

// Niceness asked for the reader thread when real-time scheduling is not
// allowed (and lowering it is).
constexpr int reader_nice = -10;

// A daemon that drops a session with 1000 messages waiting leaves the
// reader a few milliseconds at full rate, whatever else the host runs. So
// the reader asks to be scheduled before ordinary work: first-in first-out
// real-time scheduling at the lowest real-time priority, where the process
// may (root, CAP_SYS_NICE or RLIMIT_RTPRIO), else a lower niceness, else
// nothing. It only ever runs to move bytes from the socket to the ring and
// then blocks, so it cannot hold a processor for long: the time it takes
// is bounded by what the daemon sends.
void reader_raise_priority()
{
    struct sched_param param;
    memset(&param, 0, sizeof param);
    param.sched_priority = sched_get_priority_min(SCHED_FIFO);
    if (pthread_setschedparam(pthread_self(), SCHED_FIFO, &param) != 0)
        (void)setpriority(PRIO_PROCESS, (id_t)gettid(), reader_nice);
}

// The reader thread: reads the socket into the ring's free space until end
// of file, a socket error, a corrupt header, or stop_asked. Waits in poll
// for the socket or the wake descriptor, and on the condition variable while
// the ring is full. All signals are blocked in it (by its creator).
void *reader_main(void *arg)
{
    SpReadAhead *ra = (SpReadAhead *)arg;
    reader_raise_priority();
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
            if (!reader_frame(ra, filled))
                return nullptr;
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            struct pollfd p[2] = {{ra->fd, POLLIN, 0}, {ra->wake_fd, POLLIN, 0}};
            if (poll(p, 2, -1) >= 0 || errno == EINTR)
                continue;
        }
        reader_finish(ra, ReadEnd::closed);
        return nullptr;
    }
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
    if (s->has_cached) {
        int64_t payload = wire_payload_size(&s->cached, true);
        ra->header_known = true;
        ra->msg_end = (uint64_t)payload;
        if (payload < 0 || (uint64_t)payload > SP_LARGEST_MESSAGE - WIRE_HEADER_SIZE) {
            std::lock_guard<SessionLock> g(ra->mu);
            ra->end.store(ReadEnd::corrupt, std::memory_order_relaxed);
            update_ready(ra);
        }
    }
    return ra;
}

// Where SP_receive takes a message's bytes from: the socket, or the ring
// from offset at (index at % cap) on.
struct Source {
    int fd;
    SpReadAhead *ra;  // null: the socket
    uint64_t at;
    size_t index;
};

// A stretch of the message: n bytes into dst, or dropped when dst is null.
struct Piece {
    void *dst;
    uint64_t n;
};

// Reads the pieces, in order, from the socket: as few recvs as the kernel
// allows (dropped bytes land in a scratch area), waiting until they are all
// there. False on end of file or a socket error.
bool socket_read(int fd, Piece *pieces, int count)
{
    unsigned char scratch[16384];
    constexpr int MAX_IOV = 64;
    constexpr uint64_t MAX_CHUNK = 1u << 30;
    int i = 0;
    uint64_t off = 0;  // already read of pieces[i]
    while (i < count) {
        struct iovec iov[MAX_IOV];
        int k = 0;
        uint64_t o = off;
        for (int j = i; j < count && k < MAX_IOV;) {
            uint64_t left = pieces[j].n - o;
            if (left == 0) {
                j++;
                o = 0;
                continue;
            }
            uint64_t len = pieces[j].dst ? (left < MAX_CHUNK ? left : MAX_CHUNK)
                                         : (left < sizeof scratch ? left : sizeof scratch);
            iov[k].iov_base = pieces[j].dst ? (unsigned char *)pieces[j].dst + o : scratch;
            iov[k].iov_len = (size_t)len;
            k++;
            o += len;
        }
        if (k == 0)
            return true;
        struct msghdr msg;
        memset(&msg, 0, sizeof msg);
        msg.msg_iov = iov;
        msg.msg_iovlen = (size_t)k;
        ssize_t n = recvmsg(fd, &msg, MSG_WAITALL);
        if (n > 0) {
            uint64_t got = (uint64_t)n;
            while (got > 0) {
                uint64_t left = pieces[i].n - off;
                if (got < left) {
                    off += got;
                    break;
                }
                got -= left;
                i++;
                off = 0;
            }
            continue;
        }
        if (n == 0)
            return false;
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            // The caller made the socket non-blocking: wait for it here.
            struct pollfd p = {fd, POLLIN, 0};
            if (poll(&p, 1, -1) >= 0 || errno == EINTR)
                continue;
        }
        return false;
    }
    return true;
}

// Takes the pieces from the source. From the ring it never fails nor
// waits: SP_receive reads only whole messages there.
bool take(Source *src, Piece *pieces, int count)
{
    if (!src->ra)
        return socket_read(src->fd, pieces, count);
    for (int i = 0; i < count; i++) {
        size_t n = (size_t)pieces[i].n;
        if (pieces[i].dst)
            ring_copy(src->ra, src->index, pieces[i].dst, n);
        src->at += n;
        src->index += n;
        if (src->index >= src->ra->cap)
            src->index -= src->ra->cap;
    }
    return true;
}

int lost(SpSession *s)
{
    s->broken.store(true, std::memory_order_relaxed);
    s->has_cached = false;
    return CONNECTION_CLOSED;
}

// The stream lost its framing: shut the socket (the daemon sees the session
// end, and the descriptor turns readable); the next receive reports the loss.
int corrupt(SpSession *s)
{
    s->has_cached = false;
    s->shut = true;
    shutdown(s->fd, SHUT_RDWR);
    return ILLEGAL_MESSAGE;
}

// With read-ahead: waits until a whole message is in the ring or the
// session has ended. Returns 0 with whole messages from src->at on, or what
// the receive returns at the end.
int ring_wait(SpSession *s, Source *src)
{
    SpReadAhead *ra = s->ra;
    src->at = ra->taken.load(std::memory_order_relaxed);
    src->index = (size_t)(src->at % ra->cap);
    if (ra->whole.load(std::memory_order_acquire) > src->at)
        return 0;
    std::unique_lock<SessionLock> lk(ra->mu);
    ra->receiver_waits = true;
    ra->cv.wait(lk, [&] {
        return ra->whole.load(std::memory_order_relaxed) > src->at ||
               ra->end.load(std::memory_order_relaxed) != ReadEnd::none ||
               ra->stopped.load(std::memory_order_relaxed);
    });
    ra->receiver_waits = false;
    if (ra->whole.load(std::memory_order_relaxed) > src->at)
        return 0;
    if (ra->end.load(std::memory_order_relaxed) == ReadEnd::corrupt) {
        lk.unlock();
        return corrupt(s);
    }
    lk.unlock();
    return lost(s);
}

// With read-ahead: gives back the ring up to src->at. While whole messages
// remain and the reader does not wait for room, nothing else changes: no
// lock is taken. Otherwise, under the lock, the ready descriptor is cleared
// when the last whole message went, and the reader woken.
void ring_commit(SpSession *s, const Source *src)
{
    SpReadAhead *ra = s->ra;
    ra->taken.store(src->at, std::memory_order_seq_cst);
    if (ra->whole.load(std::memory_order_seq_cst) > src->at &&
        !ra->reader_waits.load(std::memory_order_seq_cst))
        return;
    std::lock_guard<SessionLock> g(ra->mu);
    update_ready(ra);
    if (ra->reader_waits.load(std::memory_order_relaxed))
        ra->cv.notify_all();
}

// Where the caller wants the body: elements filled in order, room bytes in
// all (their total length, at most INT_MAX); where is what the caller gave
// (its buffer or its scatter), for the membership calls.
struct Dest {
    const scat_element *elems;
    size_t count;
    int room;
    const void *where;
    bool scattered;
};

int receive(SpSession *s, Source *src, service *service_type, char *sender, int max_groups,
            int *num_groups, char *groups, int16 *mess_type, int *endian_mismatch, const Dest &dest)
{
    int max_mess_len = dest.room;
    bool drop = (*service_type & DROP_RECV) != 0;
    WireHeader h;
    if (s->has_cached) {
        h = s->cached;
    } else {
        unsigned char raw[WIRE_HEADER_SIZE];
        Piece p = {raw, sizeof raw};
        if (!take(src, &p, 1))
            return lost(s);
        wire_header_decode(raw, raw + sizeof raw, &h);
    }
    if (h.num_groups < 0 || h.data_len < 0)
        return corrupt(s);
    bool with_hint = (h.type & REGULAR_MESS) || (h.type & REJECT_MESS);
    bool groups_short = h.num_groups > max_groups;
    bool body_short = h.data_len > max_mess_len;

    if (!drop && (groups_short || body_short)) {
        // Keep the header; the rest stays queued for a call with more room.
        s->cached = h;
        s->has_cached = true;
        *service_type = (service)h.type;
        memcpy(sender, h.sender, MAX_GROUP_NAME);
        *mess_type = with_hint ? wire_hint_mess_type(h.hint_raw, nullptr) : 0;
        *num_groups = groups_short ? -h.num_groups : 0;
        *endian_mismatch = body_short ? -h.data_len : 0;
        return groups_short ? GROUPS_TOO_SHORT : BUFFER_TOO_SHORT;
    }
    s->has_cached = false;

    // The rest of the message in one read: the old type of a reject, the
    // group slots (those beyond max_groups dropped), the body into the
    // elements in order (what does not fit dropped).
    unsigned char old[WIRE_OLD_TYPE_SIZE];
    int given = groups_short ? max_groups : h.num_groups;
    int body = body_short ? max_mess_len : h.data_len;
    Piece pieces[4 + MAX_CLIENT_SCATTER_ELEMENTS];
    int count = 0;
    if (h.type & REJECT_MESS)
        pieces[count++] = {old, sizeof old};
    pieces[count++] = {given ? groups : nullptr, (uint64_t)given * WIRE_GROUP_SIZE};
    pieces[count++] = {nullptr, (uint64_t)(h.num_groups - given) * WIRE_GROUP_SIZE};
    size_t left = (size_t)body;
    for (size_t i = 0; i < dest.count && left > 0; i++) {
        size_t n = dest.elems[i].len < left ? dest.elems[i].len : left;
        if (n)
            pieces[count++] = {dest.elems[i].buf, (uint64_t)n};
        left -= n;
    }
    pieces[count++] = {nullptr, (uint64_t)(h.data_len - body)};
    if (!take(src, pieces, count))
        return lost(s);

    if (with_hint) {
        bool swapped;
        *mess_type = wire_hint_mess_type(h.hint_raw, &swapped);
        *endian_mismatch = swapped ? 1 : 0;
    } else {
        *mess_type = -1;
        *endian_mismatch = 0;
    }
    memcpy(sender, h.sender, MAX_GROUP_NAME);
    uint32_t type = h.type;
    if (h.type & REJECT_MESS)
        type = wire_old_type_decode(old, h.foreign) | REJECT_MESS;
    *num_groups = groups_short ? -h.num_groups : h.num_groups;

    if ((h.type & REG_MEMB_MESS) && !groups_short)
        *mess_type = (int16)wire_group_index(groups, given, s->private_group);
    if ((h.type & REG_MEMB_MESS) && h.foreign) {
        WireBody b = {dest.elems, dest.count, (size_t)body};
        wire_memb_swap(&b);
    }
    *service_type = (service)type;
    sp_note_received(dest.where, dest.scattered, (size_t)body, (service)type, s->private_group);
    return body_short ? BUFFER_TOO_SHORT : h.data_len;
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

namespace {

// SP_receive and SP_scat_receive: the checks, the wait for a whole message
// with read-ahead, the receive, and the ring given back.
int receive_call(mailbox mbox, service *service_type, char *sender, int max_groups, int *num_groups,
                 char *groups, int16 *mess_type, int *endian_mismatch, const Dest *dest)
{
    SpSession *s = sp_session_get(mbox);
    if (!s)
        return ILLEGAL_SESSION;
    if (s->broken.load(std::memory_order_relaxed))
        return NET_ERROR_ON_SESSION;
    if (!service_type || !sender || !num_groups || !mess_type || !endian_mismatch || !dest)
        return ILLEGAL_MESSAGE;
    if (max_groups < 0 || !groups)
        max_groups = 0;
    if (s->shut)
        return lost(s);
    Source src = {s->fd, s->ra, 0, 0};
    if (s->ra) {
        int r = ring_wait(s, &src);
        if (r != 0)
            return r;
    }
    int r = receive(s, &src, service_type, sender, max_groups, num_groups, groups, mess_type,
                    endian_mismatch, *dest);
    if (s->ra && (r >= 0 || r == BUFFER_TOO_SHORT || r == GROUPS_TOO_SHORT))
        ring_commit(s, &src);
    return r;
}

}  // namespace

extern "C" int SP_receive(mailbox mbox, service *service_type, char sender[MAX_GROUP_NAME],
                          int max_groups, int *num_groups, char groups[][MAX_GROUP_NAME],
                          int16 *mess_type, int *endian_mismatch, int max_mess_len, char *mess)
{
    if (max_mess_len < 0 || !mess)
        max_mess_len = 0;
    scat_element one = {mess, (size_t)max_mess_len};
    Dest dest = {&one, 1, max_mess_len, mess, false};
    return receive_call(mbox, service_type, sender, max_groups, num_groups, (char *)groups,
                        mess_type, endian_mismatch, &dest);
}

extern "C" int SP_scat_receive(mailbox mbox, service *service_type, char sender[MAX_GROUP_NAME],
                               int max_groups, int *num_groups, char groups[][MAX_GROUP_NAME],
                               int16 *mess_type, int *endian_mismatch, scatter *scat_mess)
{
    // A scatter that cannot hold a body is refused like missing outputs,
    // after the session's own checks.
    bool legal = scat_mess && scat_mess->num_elements <= MAX_CLIENT_SCATTER_ELEMENTS;
    size_t room = 0;
    for (size_t i = 0; legal && i < scat_mess->num_elements; i++) {
        const scat_element &e = scat_mess->elements[i];
        if (e.len && !e.buf)
            legal = false;
        room += e.len < (size_t)INT_MAX - room ? e.len : (size_t)INT_MAX - room;
    }
    Dest dest = {legal ? scat_mess->elements : nullptr, legal ? scat_mess->num_elements : 0,
                 (int)room, scat_mess, true};
    return receive_call(mbox, service_type, sender, max_groups, num_groups, (char *)groups,
                        mess_type, endian_mismatch, legal ? &dest : nullptr);
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
        update_ready(ra);
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
    update_ready(ra);
    return 0;
}

extern "C" int SP_ready_fd(mailbox mbox)
{
    SpSession *s = sp_session_get(mbox);
    if (!s)
        return ILLEGAL_SESSION;
    return s->ra ? s->ra->ready_fd : mbox;
}

extern "C" int SP_poll(mailbox mbox)
{
    SpSession *s = sp_session_get(mbox);
    if (!s)
        return ILLEGAL_SESSION;
    if (s->broken.load(std::memory_order_relaxed))
        return NET_ERROR_ON_SESSION;
    if (s->shut)
        return 0;
    uint64_t held = 0;
    bool reading = true;
    if (SpReadAhead *ra = s->ra) {
        uint64_t taken = ra->taken.load(std::memory_order_relaxed);
        if (ra->end.load(std::memory_order_acquire) != ReadEnd::none ||
            ra->stopped.load(std::memory_order_relaxed)) {
            held = ra->whole.load(std::memory_order_acquire) - taken;
            reading = false;
        } else {
            held = ra->filled.load(std::memory_order_acquire) - taken;
        }
    }
    int readable = 0;
    if (reading && ioctl(s->fd, FIONREAD, &readable) < 0)
        readable = 0;
    uint64_t total = held + (uint64_t)(readable > 0 ? readable : 0);
    return total > (uint64_t)INT_MAX ? INT_MAX : (int)total;
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
