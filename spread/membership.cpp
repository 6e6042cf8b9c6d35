// Membership messages: SP_get_memb_info, SP_get_vs_sets_info,
// SP_get_vs_set_members and their scatter forms, over the body as a
// receive left it in the caller's buffer or scatter; SP_equal_group_ids.
//
// The calls get no length with the body. The receive records, per thread,
// where it put the last body and how long it was: a body at that place is
// read no further than that; any other no further than the largest body a
// daemon sends.
#include <climits>
#include <cstring>

#include "spread/client.h"

namespace {

// What the calling thread's last receive delivered (see sp_note_received).
struct LastBody {
    const void *where = nullptr;
    bool scattered = false;
    size_t len = 0;
    service type = 0;
    char receiver[MAX_GROUP_NAME] = {};
};
thread_local LastBody last;

// The body of a plain buffer.
WireBody plain_body(const char *memb_mess, scat_element *piece)
{
    bool known = memb_mess == last.where && !last.scattered;
    return wire_body_of((const unsigned char *)memb_mess, known ? last.len : (size_t)WIRE_MAX_DATA_LEN,
                        piece);
}

// The body of a scatter; false for one that cannot hold a body.
bool scatter_body(const scatter *scat, WireBody *b)
{
    if (!scat || scat->num_elements > MAX_CLIENT_SCATTER_ELEMENTS)
        return false;
    size_t room = 0;
    for (size_t i = 0; i < scat->num_elements; i++) {
        if (scat->elements[i].len && !scat->elements[i].buf)
            return false;
        room += scat->elements[i].len < SIZE_MAX - room ? scat->elements[i].len : SIZE_MAX - room;
    }
    size_t len = scat == last.where && last.scattered ? last.len : (size_t)WIRE_MAX_DATA_LEN;
    *b = WireBody{scat->elements, scat->num_elements, len < room ? len : room};
    return true;
}

// A self-leave carries no body: nothing but the member that left, the
// receiver itself, and that only when the body is the one the last receive
// delivered, a self-leave too.
int self_leave_info(const void *where, bool scattered, membership_info *info)
{
    memset(info, 0, sizeof *info);
    if (where == last.where && scattered == last.scattered && Is_self_leave(last.type))
        memcpy(info->changed_member, last.receiver, MAX_GROUP_NAME);
    return 1;
}

bool self_leave(service service_type)
{
    return Is_self_leave(service_type) && !Is_reject_mess(service_type);
}

int parse_memb_info(const WireBody *b, service service_type, membership_info *info)
{
    return wire_memb_info(b, (uint32_t)service_type, info) == 0 ? 1 : ILLEGAL_MESSAGE;
}

int vs_sets_info(const WireBody *b, vs_set_info *vs_sets, int num_vs_sets, unsigned int *my_index)
{
    size_t room = vs_sets && num_vs_sets > 0 ? (size_t)num_vs_sets : 0;
    int r = wire_vs_sets(b, vs_sets, room, my_index);
    return r == -1 ? ILLEGAL_MESSAGE : r == -2 ? BUFFER_TOO_SHORT : r;
}

int vs_set_members(const WireBody *b, const vs_set_info *vs_set, char member_names[][MAX_GROUP_NAME],
                   int count)
{
    if (!vs_set)
        return ILLEGAL_MESSAGE;
    size_t room = member_names && count > 0 ? (size_t)count : 0;
    int r = wire_vs_set_members(b, vs_set, member_names, room);
    return r == -1 ? ILLEGAL_MESSAGE : r == -2 ? BUFFER_TOO_SHORT : r;
}

}  // namespace

void sp_note_received(const void *where, bool scattered, size_t len, service service_type,
                      const char *private_group)
{
    last.where = where;
    last.scattered = scattered;
    last.len = len;
    last.type = service_type;
    memcpy(last.receiver, private_group, MAX_GROUP_NAME);
    last.receiver[MAX_GROUP_NAME - 1] = '\0';
}

extern "C" int SP_get_memb_info(const char *memb_mess, const service service_type,
                                membership_info *memb_info)
{
    if (!memb_mess || !memb_info)
        return ILLEGAL_MESSAGE;
    if (self_leave(service_type))
        return self_leave_info(memb_mess, false, memb_info);
    scat_element piece;
    WireBody b = plain_body(memb_mess, &piece);
    return parse_memb_info(&b, service_type, memb_info);
}

extern "C" int SP_scat_get_memb_info(const scatter *memb_mess_scat, const service service_type,
                                     membership_info *memb_info)
{
    WireBody b;
    if (!memb_info || !scatter_body(memb_mess_scat, &b))
        return ILLEGAL_MESSAGE;
    if (self_leave(service_type))
        return self_leave_info(memb_mess_scat, true, memb_info);
    return parse_memb_info(&b, service_type, memb_info);
}

extern "C" int SP_get_vs_sets_info(const char *memb_mess, vs_set_info *vs_sets, int num_vs_sets,
                                   unsigned int *my_vs_set_index)
{
    if (!memb_mess)
        return ILLEGAL_MESSAGE;
    scat_element piece;
    WireBody b = plain_body(memb_mess, &piece);
    return vs_sets_info(&b, vs_sets, num_vs_sets, my_vs_set_index);
}

extern "C" int SP_scat_get_vs_sets_info(const scatter *memb_mess_scat, vs_set_info *vs_sets,
                                        int num_vs_sets, unsigned int *my_vs_set_index)
{
    WireBody b;
    if (!scatter_body(memb_mess_scat, &b))
        return ILLEGAL_MESSAGE;
    return vs_sets_info(&b, vs_sets, num_vs_sets, my_vs_set_index);
}

extern "C" int SP_get_vs_set_members(const char *memb_mess, const vs_set_info *vs_set,
                                     char member_names[][MAX_GROUP_NAME], int member_names_count)
{
    if (!memb_mess)
        return ILLEGAL_MESSAGE;
    scat_element piece;
    WireBody b = plain_body(memb_mess, &piece);
    return vs_set_members(&b, vs_set, member_names, member_names_count);
}

extern "C" int SP_scat_get_vs_set_members(const scatter *memb_mess_scat, const vs_set_info *vs_set,
                                          char member_names[][MAX_GROUP_NAME],
                                          int member_names_count)
{
    WireBody b;
    if (!scatter_body(memb_mess_scat, &b))
        return ILLEGAL_MESSAGE;
    return vs_set_members(&b, vs_set, member_names, member_names_count);
}

extern "C" int SP_equal_group_ids(group_id g1, group_id g2)
{
    return g1.id[0] == g2.id[0] && g1.id[1] == g2.id[1] && g1.id[2] == g2.id[2];
}
