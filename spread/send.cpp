// Sending: SP_join, SP_leave, SP_multicast, SP_multigroup_multicast.
#include <errno.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <cstring>

#include "spread/client.h"

int sp_send_message(SpSession *s, uint32_t type, int num_groups, const char *groups,
                    uint32_t hint_raw, const char *body, int body_len)
{
    if (num_groups < 0 || num_groups > WIRE_MAX_GROUPS || body_len < 0)
        return ILLEGAL_MESSAGE;
    unsigned char head[WIRE_HEADER_SIZE + WIRE_MAX_GROUPS * WIRE_GROUP_SIZE];
    WireHeader h;
    h.type = type;
    wire_group_slot(h.sender, s->private_group);
    h.num_groups = num_groups;
    h.hint_raw = hint_raw;
    h.data_len = body_len;
    h.foreign = false;
    wire_header_encode(&h, head);
    size_t group_bytes = (size_t)num_groups * WIRE_GROUP_SIZE;
    if (group_bytes)
        memcpy(head + WIRE_HEADER_SIZE, groups, group_bytes);

    struct iovec iov[2];
    iov[0].iov_base = head;
    iov[0].iov_len = WIRE_HEADER_SIZE + group_bytes;
    iov[1].iov_base = const_cast<char *>(body);
    iov[1].iov_len = body ? (size_t)body_len : 0;
    struct msghdr msg;
    memset(&msg, 0, sizeof msg);
    msg.msg_iov = iov;
    msg.msg_iovlen = iov[1].iov_len ? 2 : 1;
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

// Sends a data message to num_groups slots. Refuses what a real daemon would
// not survive or would kill the session for: more than 100 groups, or a
// message over 143200 bytes with its header and group slots.
int multicast(mailbox mbox, service service_type, int num_groups, const char *groups,
              int16 mess_type, int mess_len, const char *mess)
{
    SpSession *s = sp_session_get(mbox);
    if (!s)
        return ILLEGAL_SESSION;
    if (!(service_type & REGULAR_MESS) || (service_type & REJECT_MESS))
        return ILLEGAL_SERVICE;
    if (num_groups < 0 || num_groups > WIRE_MAX_GROUPS || (num_groups > 0 && !groups))
        return ILLEGAL_GROUP;
    if (mess_len < 0 || (mess_len > 0 && !mess))
        return ILLEGAL_MESSAGE;
    int64_t room = (int64_t)WIRE_MAX_STORED_MESSAGE - (int64_t)WIRE_HEADER_SIZE -
                   (int64_t)num_groups * (int64_t)WIRE_GROUP_SIZE;
    if ((int64_t)mess_len > room)
        return MESSAGE_TOO_LONG;
    if (s->broken)
        return NET_ERROR_ON_SESSION;
    int r = sp_send_message(s, (uint32_t)service_type, num_groups, groups,
                            wire_hint_encode(mess_type), mess, mess_len);
    return r != 0 ? r : mess_len;
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
    if (!group)
        return ILLEGAL_GROUP;
    char slot[MAX_GROUP_NAME];
    wire_group_slot(slot, group);
    return multicast(mbox, service_type, 1, slot, mess_type, mess_len, mess);
}

extern "C" int SP_multigroup_multicast(mailbox mbox, service service_type, int num_groups,
                                       const char groups[][MAX_GROUP_NAME], int16 mess_type,
                                       int mess_len, const char *mess)
{
    return multicast(mbox, service_type, num_groups, (const char *)groups, mess_type, mess_len,
                     mess);
}
