/* Compiled as C: sp.h must serve C programs written for the Spread API. */
#include <string.h>

#include "spread/sp.h"

/* Fills out[] with macro results and returns a bit mask of type checks, so
 * the C++ test can compare them with the values C computed. */
int spread_c_api_values(long out[8])
{
    membership_info m;
    group_id a, b;
    sp_time t = {5, 200000}, d = {7, 500000}, r;
    int (*connect_fn)(const char *, const char *, int, int, mailbox *, char *) = SP_connect;
    int (*mgroup_fn)(mailbox, service, int, const char[][MAX_GROUP_NAME], int16, int,
                     const char *) = SP_multigroup_multicast;

    memset(&m, 0, sizeof m);
    memset(&a, 0, sizeof a);
    b = a;
    r = E_sub_time(t, d);
    out[0] = (long)sizeof(membership_info);
    out[1] = (long)sizeof(group_id);
    out[2] = r.sec;
    out[3] = r.usec;
    out[4] = SP_equal_group_ids(a, b);
    out[5] = MAX_GROUP_NAME;
    out[6] = (long)sizeof(int16) * 10 + (long)sizeof(int32);
    out[7] = (connect_fn != 0) + (mgroup_fn != 0);
    return (Is_regular_mess(AGREED_MESS | SELF_DISCARD) ? 1 : 0) |
           (Is_regular_mess(REJECT_MESS | AGREED_MESS) ? 2 : 0) |
           (Is_membership_mess(REG_MEMB_MESS | AGREED_MESS) ? 4 : 0) |
           (Is_self_leave(CAUSED_BY_LEAVE) ? 8 : 0) |
           (Is_self_leave(CAUSED_BY_LEAVE | REG_MEMB_MESS) ? 16 : 0) |
           (Is_membership_mess(REJECT_MESS | CAUSED_BY_JOIN) ? 32 : 0);
}
