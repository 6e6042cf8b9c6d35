// Receiving: the per-session read-ahead ring, SP_receive and SP_poll.
//
// Every SP_receive first drains the socket without waiting into the ring
// (one recvmsg into its free space), then takes the message from the ring,
// waiting for more bytes only when the message is not all there yet. The
// bytes are taken in arrival order, so order within a session is unchanged.
// End of file or a socket error is remembered and reported once the bytes
// that came before it have been taken.
//
// A header with a negative group count or length leaves no way to find the
// next message: SP_receive returns ILLEGAL_MESSAGE and shuts the connection,
// so the next call returns CONNECTION_CLOSED (and NET_ERROR_ON_SESSION after
// that, until SP_disconnect), as after any other loss.
#include <errno.h>
#include <limits.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <cstdlib>
#include <cstring>

#include "spread/client.h"

size_t sp_readahead_bytes = SP_READAHEAD_BYTES;

namespace {

// The buffer the calling thread's last SP_receive filled, so that
// SP_get_memb_info can check the body it parses against its real length.
thread_local const char *last_mess = nullptr;
thread_local size_t last_mess_len = 0;

// Reads into the ring's free space. With wait, blocks until at least one
// byte or end of file. Sets eof on end of file or a socket error.
void ring_fill(SpSession *s, bool wait)
{
    if (s->eof || s->count == s->cap)
        return;
    if (s->count == 0)
        s->head = 0;
    size_t tail = s->head + s->count;
    if (tail >= s->cap)
        tail -= s->cap;
    size_t free_bytes = s->cap - s->count;
    struct iovec iov[2];
    size_t first = s->cap - tail < free_bytes ? s->cap - tail : free_bytes;
    iov[0].iov_base = s->ring + tail;
    iov[0].iov_len = first;
    iov[1].iov_base = s->ring;
    iov[1].iov_len = free_bytes - first;
    struct msghdr msg;
    memset(&msg, 0, sizeof msg);
    msg.msg_iov = iov;
    msg.msg_iovlen = iov[1].iov_len ? 2 : 1;
    for (;;) {
        ssize_t n = recvmsg(s->fd, &msg, wait ? 0 : MSG_DONTWAIT);
        if (n > 0) {
            s->count += (size_t)n;
            return;
        }
        if (n == 0) {
            s->eof = true;
            return;
        }
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            if (!wait)
                return;
            // The caller made the socket non-blocking: wait for it here.
            struct pollfd p = {s->fd, POLLIN, 0};
            if (poll(&p, 1, -1) >= 0 || errno == EINTR)
                continue;
        }
        s->eof = true;
        return;
    }
}

// Takes n bytes from the ring into dst (or discards them when dst is null),
// waiting for the socket as needed. False when the connection ended first.
bool take(SpSession *s, void *dst, uint64_t n)
{
    unsigned char *out = (unsigned char *)dst;
    while (n > 0) {
        if (s->count == 0) {
            ring_fill(s, true);
            if (s->count == 0)
                return false;
        }
        size_t chunk = s->cap - s->head;
        if (chunk > s->count)
            chunk = s->count;
        if (chunk > n)
            chunk = (size_t)n;
        if (out) {
            memcpy(out, s->ring + s->head, chunk);
            out += chunk;
        }
        s->head += chunk;
        if (s->head == s->cap)
            s->head = 0;
        s->count -= chunk;
        n -= chunk;
    }
    return true;
}

int lost(SpSession *s)
{
    s->broken = true;
    s->has_cached = false;
    return CONNECTION_CLOSED;
}

}  // namespace

extern "C" int SP_receive(mailbox mbox, service *service_type, char sender[MAX_GROUP_NAME],
                          int max_groups, int *num_groups, char groups[][MAX_GROUP_NAME],
                          int16 *mess_type, int *endian_mismatch, int max_mess_len, char *mess)
{
    SpSession *s = sp_session_get(mbox);
    if (!s)
        return ILLEGAL_SESSION;
    if (s->broken)
        return NET_ERROR_ON_SESSION;
    if (!service_type || !sender || !num_groups || !mess_type || !endian_mismatch)
        return ILLEGAL_MESSAGE;
    if (max_groups < 0 || !groups)
        max_groups = 0;
    if (max_mess_len < 0 || !mess)
        max_mess_len = 0;
    if (!s->ring) {
        size_t cap = sp_readahead_bytes ? sp_readahead_bytes : 1;
        s->ring = (unsigned char *)malloc(cap);
        if (!s->ring)
            return SP_BUG;
        s->cap = cap;
    }
    ring_fill(s, false);

    bool drop = (*service_type & DROP_RECV) != 0;
    WireHeader h;
    if (s->has_cached) {
        h = s->cached;
    } else {
        unsigned char raw[WIRE_HEADER_SIZE];
        if (!take(s, raw, sizeof raw))
            return lost(s);
        wire_header_decode(raw, raw + sizeof raw, &h);
    }
    if (h.num_groups < 0 || h.data_len < 0) {
        // No way to find where the next message starts: treat it as a lost
        // connection. Shut the socket (the daemon sees the session end, and
        // the descriptor turns readable) and drop what is buffered; the next
        // receive reports CONNECTION_CLOSED.
        s->has_cached = false;
        shutdown(s->fd, SHUT_RDWR);
        s->eof = true;
        s->count = 0;
        s->head = 0;
        return ILLEGAL_MESSAGE;
    }
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
    if (h.type & REJECT_MESS) {
        unsigned char old[WIRE_OLD_TYPE_SIZE];
        if (!take(s, old, sizeof old))
            return lost(s);
        type = wire_old_type_decode(old, h.foreign) | REJECT_MESS;
    }

    int given = groups_short ? max_groups : h.num_groups;
    if (!take(s, given ? groups : nullptr, (uint64_t)given * WIRE_GROUP_SIZE) ||
        !take(s, nullptr, (uint64_t)(h.num_groups - given) * WIRE_GROUP_SIZE))
        return lost(s);
    *num_groups = groups_short ? -h.num_groups : h.num_groups;

    int body = body_short ? max_mess_len : h.data_len;
    if (!take(s, body ? mess : nullptr, (uint64_t)body))
        return lost(s);
    last_mess = mess;
    last_mess_len = (size_t)body;

    if ((h.type & REG_MEMB_MESS) && !groups_short)
        *mess_type = (int16)wire_group_index((const char *)groups, given, s->private_group);
    if ((h.type & REG_MEMB_MESS) && h.foreign)
        wire_memb_swap((unsigned char *)mess, (size_t)body);
    *service_type = (service)type;

    if (body_short) {
        if (!take(s, nullptr, (uint64_t)(h.data_len - body)))
            return lost(s);
        return BUFFER_TOO_SHORT;
    }
    return h.data_len;
}

extern "C" int SP_poll(mailbox mbox)
{
    SpSession *s = sp_session_get(mbox);
    if (!s)
        return ILLEGAL_SESSION;
    if (s->broken)
        return NET_ERROR_ON_SESSION;
    int readable = 0;
    if (!s->eof && ioctl(s->fd, FIONREAD, &readable) < 0)
        readable = 0;
    size_t total = s->count + (size_t)(readable > 0 ? readable : 0);
    return total > (size_t)INT_MAX ? INT_MAX : (int)total;
}

extern "C" int SP_buffered(mailbox mbox)
{
    SpSession *s = sp_session_get(mbox);
    if (!s)
        return ILLEGAL_SESSION;
    return s->count > (size_t)INT_MAX ? INT_MAX : (int)s->count;
}

extern "C" int SP_get_memb_info(const char *memb_mess, const service service_type,
                                membership_info *memb_info)
{
    if (!memb_mess || !memb_info)
        return ILLEGAL_MESSAGE;
    // The body length is known when the buffer is the one the last receive
    // filled; otherwise trust no more than the largest body a daemon sends.
    size_t len = memb_mess == last_mess ? last_mess_len : (size_t)WIRE_MAX_DATA_LEN;
    if (wire_memb_info((const unsigned char *)memb_mess, len, (uint32_t)service_type, memb_info) != 0)
        return ILLEGAL_MESSAGE;
    return 1;
}

extern "C" int SP_equal_group_ids(group_id g1, group_id g2)
{
    return g1.id[0] == g2.id[0] && g1.id[1] == g2.id[1] && g1.id[2] == g2.id[2];
}
