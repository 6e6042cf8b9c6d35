/* Compiled as C: sp.h must serve C programs written for the Spread API.
 * Built with incompatible pointer types as errors, so that every call
 * assigned to a pointer of its documented type below has that type. */
#include <string.h>

#include "spread/sp.h"

/* Programs test for these and use them as type names with modifiers. */
#ifndef int16
#error "int16 is not a macro"
#endif
#ifndef int32
#error "int32 is not a macro"
#endif

/* The calls as programs written for Spread 5.x declare them. */
static int (*const connect_fn)(const char *, const char *, int, int, mailbox *, char *) = SP_connect;
static int (*const connect_timeout_fn)(const char *, const char *, int, int, mailbox *, char *,
                                       sp_time) = SP_connect_timeout;
static void (*const kill_fn)(mailbox) = SP_kill;
static int (*const mgroup_fn)(mailbox, service, int, const char[][MAX_GROUP_NAME], int16, int,
                              const char *) = SP_multigroup_multicast;
static int (*const scat_fn)(mailbox, service, const char *, int16, const scatter *) = SP_scat_multicast;
static int (*const mgroup_scat_fn)(mailbox, service, int, const char[][MAX_GROUP_NAME], int16,
                                   const scatter *) = SP_multigroup_scat_multicast;
static int (*const scat_receive_fn)(mailbox, service *, char[MAX_GROUP_NAME], int, int *,
                                    char[][MAX_GROUP_NAME], int16 *, int *, scatter *) = SP_scat_receive;
static int (*const vs_sets_fn)(const char *, vs_set_info *, int, unsigned int *) = SP_get_vs_sets_info;
static int (*const vs_members_fn)(const char *, const vs_set_info *, char[][MAX_GROUP_NAME], int) =
    SP_get_vs_set_members;
static int (*const scat_memb_fn)(const scatter *, const service, membership_info *) = SP_scat_get_memb_info;
static int (*const scat_vs_sets_fn)(const scatter *, vs_set_info *, int, unsigned int *) =
    SP_scat_get_vs_sets_info;
static int (*const scat_vs_members_fn)(const scatter *, const vs_set_info *, char[][MAX_GROUP_NAME], int) =
    SP_scat_get_vs_set_members;
static int (*const auth_fn)(const char *, int (*)(int, void *), void *) = SP_set_auth_method;
static int (*const auths_fn)(int, const char *[], int (*[])(int, void *), void *[]) = SP_set_auth_methods;

/* Fills out[] with macro results and returns a bit mask of type checks, so
 * the C++ test can compare them with the values C computed. */
int spread_c_api_values(long out[12])
{
    membership_info m;
    group_id a, b;
    sp_time t = {5, 200000}, d = {7, 500000}, r;
    unsigned int16 u16 = 65535;
    unsigned int32 u32 = 4294967295u;
    scatter s;
    const void *calls[] = {(const void *)connect_fn,     (const void *)connect_timeout_fn,
                           (const void *)kill_fn,        (const void *)mgroup_fn,
                           (const void *)scat_fn,        (const void *)mgroup_scat_fn,
                           (const void *)scat_receive_fn, (const void *)vs_sets_fn,
                           (const void *)vs_members_fn,  (const void *)scat_memb_fn,
                           (const void *)scat_vs_sets_fn, (const void *)scat_vs_members_fn,
                           (const void *)auth_fn,        (const void *)auths_fn};
    size_t i;

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
    out[7] = 0;
    for (i = 0; i < sizeof calls / sizeof calls[0]; i++)
        out[7] += calls[i] != 0;
    out[8] = (long)u16 + (long)u32;
    out[9] = (long)sizeof s.elements / (long)sizeof s.elements[0];
    out[10] = (long)sizeof(scat_element);
    out[11] = (long)sizeof(vs_set_info) * 100 + (long)sizeof(sp_time);
    return (Is_regular_mess(AGREED_MESS | SELF_DISCARD) ? 1 : 0) |
           (Is_regular_mess(REJECT_MESS | AGREED_MESS) ? 2 : 0) |
           (Is_membership_mess(REG_MEMB_MESS | AGREED_MESS) ? 4 : 0) |
           (Is_self_leave(CAUSED_BY_LEAVE) ? 8 : 0) |
           (Is_self_leave(CAUSED_BY_LEAVE | REG_MEMB_MESS) ? 16 : 0) |
           (Is_membership_mess(REJECT_MESS | CAUSED_BY_JOIN) ? 32 : 0);
}
