/*
 * sp.h: the Spread client API, as programs written for Spread 4.x/5.x expect
 * it. Compiles as C and as C++ (C linkage).
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
 * and interrupt their waits. It asks to be scheduled before ordinary work
 * (SCHED_FIFO at the lowest real-time priority where the process may, else
 * niceness -10 where it may): it only moves bytes from the socket into the
 * buffer and then blocks, and a daemon that drops a session with 1000
 * messages waiting leaves it milliseconds at full rate.
 */
#ifndef WKP_SPREAD_SP_H
#define WKP_SPREAD_SP_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef short int16;
typedef int int32;
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

#define LOW_PRIORITY 0
#define MEDIUM_PRIORITY 1
#define HIGH_PRIORITY 2

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

/* Also defined by sp_events.h, which may come first. */
#ifndef WKP_SPREAD_SP_TIME
#define WKP_SPREAD_SP_TIME
typedef struct dummy_time {
    long sec;
    long usec;
} sp_time;
#endif

typedef struct {
    int32 id[3];
} group_id;

typedef struct {
    unsigned int num_members;
    unsigned int members_offset; /* byte offset of the first member name in the message */
} vs_set_info;

typedef struct {
    group_id gid;
    char changed_member[MAX_GROUP_NAME];
    unsigned int num_vs_sets;
    vs_set_info my_vs_set;
} membership_info;

/* Sessions. spread_name: NULL or "" (port 4803 on the Unix socket), "PORT"
 * (Unix socket /tmp/PORT) or "PORT@HOST" (TCP). private_name: up to 10
 * characters (longer names are cut), NULL for a name the daemon invents.
 * On ACCEPT_SESSION *mbox is the new mailbox and private_group (room for
 * MAX_GROUP_NAME bytes) holds the session's private group name. */
int SP_connect(const char *spread_name, const char *private_name, int priority,
               int group_membership, mailbox *mbox, char *private_group);
/* As SP_connect, with an overall deadline; {0, 0} means none. */
int SP_connect_timeout(const char *spread_name, const char *private_name, int priority,
                       int group_membership, mailbox *mbox, char *private_group,
                       sp_time time_out);
/* Tells the daemon goodbye (unless the session is broken), closes the socket
 * and forgets the mailbox. */
int SP_disconnect(mailbox mbox);
/* Closes the socket and forgets the mailbox without telling the daemon. */
void SP_kill(mailbox mbox);

int SP_join(mailbox mbox, const char *group);
int SP_leave(mailbox mbox, const char *group);

/* Both return the number of body bytes sent. */
int SP_multicast(mailbox mbox, service service_type, const char *group, int16 mess_type,
                 int mess_len, const char *mess);
int SP_multigroup_multicast(mailbox mbox, service service_type, int num_groups,
                            const char groups[][MAX_GROUP_NAME], int16 mess_type, int mess_len,
                            const char *mess);

/* Receives one message. *service_type is read on entry: DROP_RECV asks that
 * what does not fit be cut off instead of kept for a later call. */
int SP_receive(mailbox mbox, service *service_type, char sender[MAX_GROUP_NAME], int max_groups,
               int *num_groups, char groups[][MAX_GROUP_NAME], int16 *mess_type,
               int *endian_mismatch, int max_mess_len, char *mess);
/* Bytes readable on the socket plus those read ahead and held. */
int SP_poll(mailbox mbox);

/* Read-ahead: our extensions of the API, for programs that must never let
 * the daemon find the session's queue full (a real daemon drops a session
 * that has 1000 messages waiting: milliseconds at full rate), whatever
 * stalls their own thread.
 *
 * SP_read_ahead(mbox, 1) starts a reader thread for the session. It reads
 * the socket as data comes, in large batches, into a buffer of up to 32 MiB
 * and keeps track of where messages end; when the buffer is full it stops
 * reading until messages are taken out (nothing is dropped or reordered).
 * SP_receive then takes the next whole message from the buffer, waiting only
 * while there is none and the session has not ended. With read-ahead a
 * header no daemon sends (negative counts, or a message over 1 MiB) ends
 * the stream: every whole message before it is received, then
 * ILLEGAL_MESSAGE, then CONNECTION_CLOSED.
 * SP_read_ahead(mbox, 0) stops reading: the reader thread ends, nothing more
 * is read from the socket, the messages already buffered are received in
 * order, and then SP_receive returns CONNECTION_CLOSED at once. On a session
 * that never read ahead it does nothing. Calling it again with the same
 * value does nothing; 1 after 0 reads on.
 * Returns 0, ILLEGAL_SESSION, NET_ERROR_ON_SESSION (the connection is lost)
 * or SP_BUG (no thread or memory: the session goes on without read-ahead).
 * SP_disconnect and SP_kill end the reader thread first. */
int SP_read_ahead(mailbox mbox, int on);
/* The descriptor to wait on for the session. With read-ahead, a descriptor
 * of the library's (close-on-exec; do not read or close it) that is
 * readable exactly while a whole message is buffered or the session has
 * ended (end of file, socket error, corrupt stream, reading stopped with
 * nothing left), so that SP_receive on a ready session never waits.
 * Without read-ahead, the mailbox itself. ILLEGAL_SESSION for an unknown
 * mailbox. */
int SP_ready_fd(mailbox mbox);
/* Bytes of whole messages read ahead and buffered, known without a system
 * call (0 without read-ahead): a mailbox with some is ready whatever its
 * descriptors say. ILLEGAL_SESSION for an unknown mailbox. */
int SP_buffered(mailbox mbox);

/* Parses the body of a membership message received into memb_mess. Returns 1,
 * or ILLEGAL_MESSAGE for other messages and malformed bodies. */
int SP_get_memb_info(const char *memb_mess, const service service_type,
                     membership_info *memb_info);
int SP_equal_group_ids(group_id g1, group_id g2);

/* Writes "SP_error: (code) text" to standard error. */
void SP_error(int error);
const char *SP_strerror(int error);
int SP_version(int *major_version, int *minor_version, int *patch_version);

#ifdef __cplusplus
}
#endif

/* The event loop and the time helpers. */
#include "sp_events.h"

#endif
