/*
 * sp.h: the Spread client API, as programs written for Spread 4.x/5.x expect
 * it. Compiles as C and as C++ (C linkage). This header holds the types and
 * constants, and includes the two others at its end: sp_events.h (sp_time,
 * the event loop and the time helpers) and sp_func.h (the SP_* calls).
 * Programs include sp.h only.
 *
 * A session ("mailbox") is one stream socket to one Spread daemon; the
 * mailbox value is the socket's descriptor, so callers may wait on it with
 * select() or poll(). SP_receive reads from the socket exactly the bytes of
 * one message, so the descriptor stays readable while messages remain. A
 * session may instead ask for read-ahead (SP_read_ahead, below): a thread of
 * the library's own then reads the socket into a buffer, and callers wait on
 * SP_ready_fd instead of the mailbox.
 *
 * Results: 0 or more on success (ACCEPT_SESSION for SP_connect), otherwise
 * one of the negative error codes below.
 *
 * Threads: one application thread at a time may use a given mailbox (calls
 * on different mailboxes may run at once). A session's reader thread is the
 * library's business: every call stays valid while it runs, and SP_poll,
 * SP_multicast, SP_join and the others work as without it. The reader
 * thread blocks every signal, so signals reach the application's threads
 * and interrupt their waits. It asks for no real-time scheduling and no
 * raised priority: it runs at the policy and niceness of the thread that
 * started it, and asks only for short time slices (100 us, sched_setattr)
 * where the kernel takes that request from any process (Linux 6.12 on), so
 * that it runs soon after it wakes without a larger share of the processor.
 */
#ifndef WKP_SPREAD_SP_H
#define WKP_SPREAD_SP_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Macros, not typedefs: programs write "unsigned int16" and test
 * "#ifdef int32". One a program defined first is kept. */
#ifndef int16
#define int16 short
#endif
#ifndef int32
#define int32 int
#endif

typedef int mailbox;
typedef int service;

#define Flip_int16(t) ((int16)((((t) >> 8) & 0x00ff) | (((t) << 8) & 0xff00)))
#define Flip_int32(t) \
    ((int32)((((t) >> 24) & 0x000000ff) | (((t) >> 8) & 0x0000ff00) | \
             (((t) << 8) & 0x00ff0000) | (((t) << 24) & 0xff000000)))

#define DEFAULT_SPREAD_PORT 4803
#define SPREAD_VERSION ((5 << 24) | (0 << 16) | 0)

#define MAX_GROUP_NAME 32
#define MAX_PRIVATE_NAME 10
#define MAX_PROC_NAME 20
#define MAX_CLIENT_SCATTER_ELEMENTS 100

/* Service types. */
#define UNRELIABLE_MESS 0x00000001
#define RELIABLE_MESS 0x00000002
#define FIFO_MESS 0x00000004
#define CAUSAL_MESS 0x00000008
#define AGREED_MESS 0x00000010
#define SAFE_MESS 0x00000020
#define REGULAR_MESS 0x0000003f

#define SELF_DISCARD 0x00000040
#define DROP_RECV 0x01000000

#define REG_MEMB_MESS 0x00001000
#define TRANSITION_MESS 0x00002000
#define CAUSED_BY_JOIN 0x00000100
#define CAUSED_BY_LEAVE 0x00000200
#define CAUSED_BY_DISCONNECT 0x00000400
#define CAUSED_BY_NETWORK 0x00000800
#define MEMBERSHIP_MESS 0x00003f00

#define ENDIAN_RESERVED 0x80000080
#define RESERVED 0x003fc000
#define REJECT_MESS 0x00400000

/* Results and error codes. */
#define ACCEPT_SESSION 1
#define ILLEGAL_SPREAD -1
#define COULD_NOT_CONNECT -2
#define REJECT_QUOTA -3
#define REJECT_NO_NAME -4
#define REJECT_ILLEGAL_NAME -5
#define REJECT_NOT_UNIQUE -6
#define REJECT_VERSION -7
#define CONNECTION_CLOSED -8
#define REJECT_AUTH -9
#define ILLEGAL_SESSION -11
#define ILLEGAL_SERVICE -12
#define ILLEGAL_MESSAGE -13
#define ILLEGAL_GROUP -14
#define BUFFER_TOO_SHORT -15
#define GROUPS_TOO_SHORT -16
#define MESSAGE_TOO_LONG -17
#define NET_ERROR_ON_SESSION -18
#define SP_BUG -19
#define ILLEGAL_TIME -20

/* Tests on a service type as SP_receive returns it. */
#define Is_unreliable_mess(type) ((type) & UNRELIABLE_MESS)
#define Is_reliable_mess(type) ((type) & RELIABLE_MESS)
#define Is_fifo_mess(type) ((type) & FIFO_MESS)
#define Is_causal_mess(type) ((type) & CAUSAL_MESS)
#define Is_agreed_mess(type) ((type) & AGREED_MESS)
#define Is_safe_mess(type) ((type) & SAFE_MESS)
#define Is_regular_mess(type) (((type) & REGULAR_MESS) && !((type) & REJECT_MESS))
#define Is_self_discard(type) ((type) & SELF_DISCARD)
#define Is_membership_mess(type) (((type) & MEMBERSHIP_MESS) && !((type) & REJECT_MESS))
#define Is_reg_memb_mess(type) ((type) & REG_MEMB_MESS)
#define Is_transition_mess(type) ((type) & TRANSITION_MESS)
#define Is_caused_join_mess(type) ((type) & CAUSED_BY_JOIN)
#define Is_caused_leave_mess(type) ((type) & CAUSED_BY_LEAVE)
#define Is_caused_disconnect_mess(type) ((type) & CAUSED_BY_DISCONNECT)
#define Is_caused_network_mess(type) ((type) & CAUSED_BY_NETWORK)
#define Is_reject_mess(type) ((type) & REJECT_MESS)
#define Is_self_leave(type) \
    (((type) & CAUSED_BY_LEAVE) && !((type) & (REG_MEMB_MESS | TRANSITION_MESS)))

/* A message body in pieces: SP_scat_multicast sends the elements one
 * after the other, SP_scat_receive fills them in order. At most
 * MAX_CLIENT_SCATTER_ELEMENTS elements. */
typedef struct dummy_scat_element {
    char *buf;
    size_t len;
} scat_element;

typedef struct dummy_scatter {
    size_t num_elements;
    scat_element elements[MAX_CLIENT_SCATTER_ELEMENTS];
} scatter;

typedef struct dummy_group_id {
    int32 id[3];
} group_id;

/* One vs-set of a membership message: num_members names of MAX_GROUP_NAME
 * bytes, the first at members_offset bytes from the start of the body. */
typedef struct dummy_vs_set_info {
    unsigned int num_members;
    unsigned int members_offset;
} vs_set_info;

typedef struct dummy_membership_info {
    group_id gid;
    char changed_member[MAX_GROUP_NAME];
    unsigned int num_vs_sets;
    vs_set_info my_vs_set;
} membership_info;

#ifdef __cplusplus
}
#endif

/* The event loop and the time helpers (sp_time), then the calls. */
#include "sp_events.h"
#include "sp_func.h"

#endif
