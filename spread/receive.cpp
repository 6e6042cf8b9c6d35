// Receiving: SP_receive and SP_scat_receive (a plain buffer is received as
// a scatter of one element), and SP_poll. The read-ahead a session may ask
// for, with its reader thread, is in readahead.cpp; with it, messages are
// taken from its ring here (the offsets and invariants: readahead.h).
//
// Without read-ahead SP_receive reads from the socket exactly the bytes of
// one message (the header, then in one go the rest: a reject's old type, the
// group slots, the body), waiting until that message is whole, and nothing
// more. The socket stays readable while messages remain in it, so callers
// that wait on the mailbox with select() or poll() take one message per
// readable descriptor, as with the real library.
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
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <cstring>
#include <mutex>

#include "spread/readahead.h"

namespace {

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
            sp_ring_copy(src->ra, src->index, pieces[i].dst, n);
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
    sp_update_ready(ra);
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
    bool took = r >= 0 || r == BUFFER_TOO_SHORT || r == GROUPS_TOO_SHORT;
    if (took && !s->has_cached)
        s->taken_messages++;
    if (s->ra && took)
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
