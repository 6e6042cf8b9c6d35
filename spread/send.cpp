// Sending: SP_join, SP_leave, and the multicasts, plain and scatter: a plain
// body goes out as a scatter of one element.
#include <errno.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <cstring>

#include "spread/client.h"

int sp_send_message(SpSession *s, uint32_t type, int num_groups, const char *groups,
                    uint32_t hint_raw, const scat_element *body, size_t count)
{
    if (num_groups < 0 || num_groups > WIRE_MAX_GROUPS || count > MAX_CLIENT_SCATTER_ELEMENTS)
        return ILLEGAL_MESSAGE;
    size_t body_len = 0;
    for (size_t i = 0; i < count; i++) {
        if (body[i].len > (size_t)WIRE_MAX_DATA_LEN - body_len)
            return ILLEGAL_MESSAGE;
        body_len += body[i].len;
    }
    unsigned char head[WIRE_HEADER_SIZE + WIRE_MAX_GROUPS * WIRE_GROUP_SIZE];
    WireHeader h;
    h.type = type;
    wire_group_slot(h.sender, s->private_group);
    h.num_groups = num_groups;
    h.hint_raw = hint_raw;
    h.data_len = (int32_t)body_len;
    h.foreign = false;
    wire_header_encode(&h, head);
    size_t group_bytes = (size_t)num_groups * WIRE_GROUP_SIZE;
    if (group_bytes)
        memcpy(head + WIRE_HEADER_SIZE, groups, group_bytes);

    // The header and group slots from here, then each element from where
    // the caller has it.
    struct iovec iov[1 + MAX_CLIENT_SCATTER_ELEMENTS];
    iov[0].iov_base = head;
    iov[0].iov_len = WIRE_HEADER_SIZE + group_bytes;
    size_t n_iov = 1;
    for (size_t i = 0; i < count; i++)
        if (body[i].len) {
            iov[n_iov].iov_base = body[i].buf;
            iov[n_iov].iov_len = body[i].len;
            n_iov++;
        }
    struct msghdr msg;
    memset(&msg, 0, sizeof msg);
    msg.msg_iov = iov;
    msg.msg_iovlen = n_iov;
    // A signal can cut a blocking send short; carry on where it stopped.
    while (msg.msg_iovlen > 0) {
        ssize_t n = sendmsg(s->fd, &msg, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) {  // caller made the socket non-blocking
                struct pollfd p = {s->fd, POLLOUT, 0};
                if (poll(&p, 1, -1) >= 0 || errno == EINTR)
                    continue;
            }
            s->broken = true;
            return CONNECTION_CLOSED;
        }
        size_t left = (size_t)n;
        while (msg.msg_iovlen > 0 && left >= msg.msg_iov[0].iov_len) {
            left -= msg.msg_iov[0].iov_len;
            msg.msg_iov++;
            msg.msg_iovlen--;
        }
        if (msg.msg_iovlen > 0) {
            msg.msg_iov[0].iov_base = (char *)msg.msg_iov[0].iov_base + left;
            msg.msg_iov[0].iov_len -= left;
        }
    }
    return 0;
}

namespace {

// Joins or leaves: the group name must be 1..31 characters from '$'..'~'.
int group_op(mailbox mbox, const char *group, uint32_t type)
{
    SpSession *s = sp_session_get(mbox);
    if (!s)
        return ILLEGAL_SESSION;
    if (!wire_group_name_legal(group))
        return ILLEGAL_GROUP;
    if (s->broken)
        return NET_ERROR_ON_SESSION;
    char slot[MAX_GROUP_NAME];
    wire_group_slot(slot, group);
    return sp_send_message(s, type, 1, slot, wire_hint_encode(0), nullptr, 0);
}

// A body as the caller gave it: a scatter's elements, or one plain buffer
// as a single element. legal is false for one no message has (a negative
// length, bytes without a buffer, too many elements).
struct Body {
    const scat_element *elems;
    size_t count;
    bool legal;
};

Body plain_body(int mess_len, const char *mess, scat_element *one)
{
    one->buf = const_cast<char *>(mess);
    one->len = mess_len > 0 ? (size_t)mess_len : 0;
    return Body{one, 1, mess_len >= 0 && (mess_len == 0 || mess)};
}

Body scatter_body(const scatter *scat)
{
    if (!scat || scat->num_elements > MAX_CLIENT_SCATTER_ELEMENTS)
        return Body{nullptr, 0, false};
    for (size_t i = 0; i < scat->num_elements; i++)
        if (scat->elements[i].len && !scat->elements[i].buf)
            return Body{nullptr, 0, false};
    return Body{scat->elements, scat->num_elements, true};
}

// Sends a data message to num_groups slots. Refuses what a real daemon would
// not survive or would kill the session for: more than 100 groups, or a
// message over 143200 bytes with its header and group slots.
int multicast(mailbox mbox, service service_type, int num_groups, const char *groups,
              int16 mess_type, const Body &body)
{
    SpSession *s = sp_session_get(mbox);
    if (!s)
        return ILLEGAL_SESSION;
    if (!(service_type & REGULAR_MESS) || (service_type & REJECT_MESS))
        return ILLEGAL_SERVICE;
    if (num_groups < 0 || num_groups > WIRE_MAX_GROUPS || (num_groups > 0 && !groups))
        return ILLEGAL_GROUP;
    if (!body.legal)
        return ILLEGAL_MESSAGE;
    size_t room = (size_t)WIRE_MAX_STORED_MESSAGE - WIRE_HEADER_SIZE -
                  (size_t)num_groups * WIRE_GROUP_SIZE;
    size_t mess_len = 0;
    for (size_t i = 0; i < body.count; i++) {
        if (body.elems[i].len > room - mess_len)
            return MESSAGE_TOO_LONG;
        mess_len += body.elems[i].len;
    }
    if (s->broken)
        return NET_ERROR_ON_SESSION;
    int r = sp_send_message(s, (uint32_t)service_type, num_groups, groups,
                            wire_hint_encode(mess_type), body.elems, body.count);
    return r != 0 ? r : (int)mess_len;
}

// To one group, its name cut to 31 characters.
int multicast_one(mailbox mbox, service service_type, const char *group, int16 mess_type,
                  const Body &body)
{
    if (!group)
        return ILLEGAL_GROUP;
    char slot[MAX_GROUP_NAME];
    wire_group_slot(slot, group);
    return multicast(mbox, service_type, 1, slot, mess_type, body);
}

}  // namespace

extern "C" int SP_join(mailbox mbox, const char *group)
{
    return group_op(mbox, group, WIRE_JOIN_MESS);
}

extern "C" int SP_leave(mailbox mbox, const char *group)
{
    return group_op(mbox, group, WIRE_LEAVE_MESS);
}

extern "C" int SP_multicast(mailbox mbox, service service_type, const char *group,
                            int16 mess_type, int mess_len, const char *mess)
{
    scat_element one;
    return multicast_one(mbox, service_type, group, mess_type, plain_body(mess_len, mess, &one));
}

extern "C" int SP_scat_multicast(mailbox mbox, service service_type, const char *group,
                                 int16 mess_type, const scatter *scat_mess)
{
    return multicast_one(mbox, service_type, group, mess_type, scatter_body(scat_mess));
}

extern "C" int SP_multigroup_multicast(mailbox mbox, service service_type, int num_groups,
                                       const char groups[][MAX_GROUP_NAME], int16 mess_type,
                                       int mess_len, const char *mess)
{
    scat_element one;
    return multicast(mbox, service_type, num_groups, (const char *)groups, mess_type,
                     plain_body(mess_len, mess, &one));
}

extern "C" int SP_multigroup_scat_multicast(mailbox mbox, service service_type, int num_groups,
                                            const char groups[][MAX_GROUP_NAME],
                                            int16 mess_type, const scatter *scat_mess)
{
    return multicast(mbox, service_type, num_groups, (const char *)groups, mess_type,
                     scatter_body(scat_mess));
}
