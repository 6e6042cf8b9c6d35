/*
 * sp_func.h: the calls of the Spread client API (see sp.h for the types,
 * constants, results and threads). sp.h includes it at its end; included
 * first, it brings sp.h in. Compiles as C and as C++ (C linkage).
 */
#ifndef WKP_SPREAD_SP_FUNC_H
#define WKP_SPREAD_SP_FUNC_H

#include "sp.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Sessions. spread_name: NULL or "" (port 4803 on the Unix socket), "PORT"
 * (Unix socket /tmp/PORT) or "PORT@HOST" (TCP). private_name: up to 10
 * characters (longer names are cut), NULL for a name the daemon invents.
 * On ACCEPT_SESSION *mbox is the new mailbox and private_group (room for
 * MAX_GROUP_NAME bytes) holds the session's private group name. */
/* Authentication methods, for every session SP_connect opens from then on
 * in the process. A method is a name (up to 29 characters) and the function
 * that runs the client's side of it: after the names are sent,
 * auth_function(socket, auth_data) runs for each method in order and
 * returns non-zero when it succeeded. "NULL", the default, exchanges
 * nothing (its function may be null). SP_connect offers the registered
 * names; it returns REJECT_AUTH, having sent nothing, when the daemon does
 * not list one of them (a daemon as shipped lists "NULL" only), and
 * REJECT_AUTH when the daemon refuses them or a function fails.
 * SP_set_auth_method registers one method, SP_set_auth_methods one to
 * three, in place of those before. Both return 1, or 0 with nothing
 * changed for a null or too long name, a null function (other than
 * NULL's), or a count outside 1..3. */
int SP_set_auth_method(const char *auth_name, int (*auth_function)(int, void *), void *auth_data);
int SP_set_auth_methods(int num_methods, const char *auth_name[],
                        int (*auth_function[])(int, void *), void *auth_data[]);

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

/* All four return the number of body bytes sent. The scatter forms send
 * the elements one after the other as one body; they refuse a null
 * scatter, more than MAX_CLIENT_SCATTER_ELEMENTS elements or an element
 * with a length and no buffer (ILLEGAL_MESSAGE), and otherwise give what
 * the plain forms give for a body of the elements' total length. */
int SP_multicast(mailbox mbox, service service_type, const char *group, int16 mess_type,
                 int mess_len, const char *mess);
int SP_scat_multicast(mailbox mbox, service service_type, const char *group, int16 mess_type,
                      const scatter *scat_mess);
int SP_multigroup_multicast(mailbox mbox, service service_type, int num_groups,
                            const char groups[][MAX_GROUP_NAME], int16 mess_type, int mess_len,
                            const char *mess);
int SP_multigroup_scat_multicast(mailbox mbox, service service_type, int num_groups,
                                 const char groups[][MAX_GROUP_NAME], int16 mess_type,
                                 const scatter *scat_mess);

/* Receives one message. *service_type is read on entry: DROP_RECV asks that
 * what does not fit be cut off instead of kept for a later call. */
int SP_receive(mailbox mbox, service *service_type, char sender[MAX_GROUP_NAME], int max_groups,
               int *num_groups, char groups[][MAX_GROUP_NAME], int16 *mess_type,
               int *endian_mismatch, int max_mess_len, char *mess);
/* The same, with the body received into the scatter's elements in order,
 * each filled before the next; the room for the body is the elements'
 * total length. Refuses the scatters SP_scat_multicast refuses
 * (ILLEGAL_MESSAGE). */
int SP_scat_receive(mailbox mbox, service *service_type, char sender[MAX_GROUP_NAME],
                    int max_groups, int *num_groups, char groups[][MAX_GROUP_NAME],
                    int16 *mess_type, int *endian_mismatch, scatter *scat_mess);
/* Bytes readable on the socket plus those read ahead and held. */
int SP_poll(mailbox mbox);

/* Read-ahead: our extensions of the API, for programs that must never let
 * the daemon find the session's queue full (a real daemon drops a session
 * that has 1000 messages waiting: milliseconds at full rate), whatever
 * stalls their own thread.
 *
 * SP_read_ahead(mbox, 1) starts a reader thread for the session. It reads
 * the socket as data comes, in large batches, into a buffer of at most
 * 32 MiB and keeps track of where messages end; when the buffer is full it
 * stops reading until messages are taken out (nothing is dropped or
 * reordered). The buffer keeps 1 MiB resident, touched at the start, and
 * takes more as its backlog grows, 64 KiB at a time, faulted in by the
 * reader right after it hands on what it read (so that no read waits for a
 * page fault); what it took beyond the 1 MiB goes back to the system once
 * the backlog has stayed under 256 KiB for 10 s. While messages keep coming it gathers them: after each read
 * it pauses up to 1 ms (less at rates where more than 64 messages or 8 KiB
 * would arrive meanwhile) before reading again, so that at a daemon's rhythm of one
 * write per message neither it nor the application wakes for every
 * message. A message after a quiet spell is read at once; one in a stream
 * becomes receivable at most about 1 ms after it came.
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
/* What a session has read and handed on since it was connected, so that a
 * caller can account for every message: bytes read from the socket by the
 * reader thread, messages it found whole in them, messages SP_receive and
 * SP_scat_receive returned (whole, or cut short with DROP_RECV; a
 * *_TOO_SHORT return that kept the message counts when the message is
 * finally taken), what is held now (bytes read and not taken, of them the
 * bytes of whole messages, and whole messages, counted by walking them:
 * ULLONG_MAX when they do not end where the whole ones end), the
 * read-ahead's bound and the most it held at once. Messages received
 * without read-ahead count as framed by their receive, so that the books
 * of a sound session always say messages_framed = messages_taken +
 * held_messages.
 * Returns 0, or ILLEGAL_SESSION for an unknown mailbox (stats untouched).
 * Safe to call from the thread that receives on the session only. */
typedef struct {
    unsigned long long bytes_read;
    unsigned long long messages_framed;
    unsigned long long messages_taken;
    unsigned long long held_bytes;
    unsigned long long held_whole_bytes;
    unsigned long long held_messages;
    unsigned long long limit_bytes;
    unsigned long long max_held_bytes;
} sp_read_stats;
int SP_read_stats(mailbox mbox, sp_read_stats *stats);

/* Membership messages. memb_mess is the body as SP_receive put it in the
 * caller's buffer (or SP_scat_receive in a scatter's elements). Bodies are
 * read no further than their real length when the buffer (or scatter) is
 * the one the calling thread's last receive filled, else no further than
 * the largest body a daemon sends.
 *
 * SP_get_memb_info returns 1, or ILLEGAL_MESSAGE for a message that is not
 * a membership message and for a malformed body. A regular membership
 * gives the group id, the vs-set count, the receiver's vs-set and (join,
 * leave, disconnect) the member that changed; a transitional one the group
 * id. A self-leave has no body: gid zero, no vs-sets, and the member that
 * left, the receiver itself, as changed_member when the buffer is the one
 * the last receive filled (empty otherwise). */
int SP_get_memb_info(const char *memb_mess, const service service_type,
                     membership_info *memb_info);
/* Fills vs_sets with every vs-set of a regular membership body and
 * *my_vs_set_index (when not null) with the index of the receiver's.
 * Returns their number, BUFFER_TOO_SHORT when there are more than
 * num_vs_sets (nothing is filled), or ILLEGAL_MESSAGE for a body that does
 * not hold them all. */
int SP_get_vs_sets_info(const char *memb_mess, vs_set_info *vs_sets, int num_vs_sets,
                        unsigned int *my_vs_set_index);
/* Copies the names of one vs-set (as SP_get_vs_sets_info gave it) into
 * member_names, NUL-terminated. Returns their number, BUFFER_TOO_SHORT when
 * there are more than member_names_count (nothing is copied), or
 * ILLEGAL_MESSAGE when the names lie beyond the body. */
int SP_get_vs_set_members(const char *memb_mess, const vs_set_info *vs_set,
                          char member_names[][MAX_GROUP_NAME], int member_names_count);
/* The same three on a body received into a scatter. */
int SP_scat_get_memb_info(const scatter *memb_mess_scat, const service service_type,
                          membership_info *memb_info);
int SP_scat_get_vs_sets_info(const scatter *memb_mess_scat, vs_set_info *vs_sets,
                             int num_vs_sets, unsigned int *my_vs_set_index);
int SP_scat_get_vs_set_members(const scatter *memb_mess_scat, const vs_set_info *vs_set,
                               char member_names[][MAX_GROUP_NAME], int member_names_count);
int SP_equal_group_ids(group_id g1, group_id g2);

/* Writes "SP_error: (code) text" to standard error. */
void SP_error(int error);
const char *SP_strerror(int error);
int SP_version(int *major_version, int *minor_version, int *patch_version);

#ifdef __cplusplus
}
#endif

#endif
