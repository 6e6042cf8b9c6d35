// Internals of the Spread client library shared by its source files, and the
// few entry points that tests and tools use beyond sp.h.
#pragma once

#include <atomic>
#include <cstddef>

#include "spread/sp.h"
#include "spread/wire.h"

// Bound of the read-ahead buffer of one session (SP_read_ahead). The reader
// thread moves what the socket holds into it as long as there is room;
// messages are then taken from it in arrival order. When it is full the
// reader stops reading the socket until the application has taken messages
// out: the kernel buffer and then the daemon's queue for the session fill up.
// Memory is taken as the backlog needs it and given back after it (see
// SP_RING_CHUNK): an idle session holds 1 MiB of it. At 90,000
// messages a second of 200 bytes on the wire, 32 MiB hold about 1.8 s of
// a stalled application.
constexpr size_t SP_READAHEAD_BYTES = 32u << 20;
// The read-ahead buffer's memory (readahead.h): frames of SP_RING_CHUNK
// bytes, resident only while the stream needs them, but for the first
// SP_RING_RESIDENT bytes, touched when reading starts and kept: the
// backlog of an ordinary stall (a reopening, a command started, a busy
// processor) never waits for a page fault. Before each read the reader has
// the room up to SP_RING_AHEAD past the last byte it read resident (a read
// offers no more than that; a read that fills it is followed by another at
// once). Frames the application has emptied are kept for reuse; once the
// backlog (bytes read and not yet received) has stayed at most
// SP_RING_SMALL for SP_RING_QUIET_NS, those beyond SP_RING_RESIDENT are
// given back to the system.
constexpr size_t SP_RING_CHUNK = 64u << 10;
constexpr size_t SP_RING_RESIDENT = 1u << 20;
constexpr size_t SP_RING_AHEAD = 128u << 10;
constexpr size_t SP_RING_SMALL = 256u << 10;
constexpr unsigned long long SP_RING_QUIET_NS = 10000000000ull;
// For tests only: this environment variable, when set to a number of
// milliseconds as a session's read-ahead starts, replaces SP_RING_QUIET_NS
// for that session, so that a test sees the memory given back without
// waiting 10 s.
constexpr const char SP_RING_QUIET_TEST_ENV[] = "WKP_TEST_READAHEAD_QUIET_MS";
// The largest message read-ahead accepts, header included: a data message
// (at most 48 + 4 + 32 * 100 + 144000 bytes) or the membership message of a
// group of more than 16000 members fits many times over. The buffer is
// never smaller, so a whole message always fits in it; a header announcing
// more is treated as a corrupt stream (ILLEGAL_MESSAGE). Without read-ahead
// messages of any size stream through SP_receive.
constexpr size_t SP_LARGEST_MESSAGE = 1u << 20;
// Gathering by the reader thread (readahead.cpp): while bytes keep coming
// it pauses at most SP_GATHER_NS after each read, and less when more than
// SP_GATHER_MESSAGES messages or SP_GATHER_BYTES bytes would arrive
// meanwhile at the rate the last read showed; a pause under
// SP_GATHER_MIN_NS is not taken. A Unix stream socket holds 167 messages of
// 200 to 700 bytes written one by one (278 of fewer bytes, 93 of 1000)
// before the daemon's write would block, so the socket keeps well over half
// of its room for the times the reader is not running.
constexpr unsigned long long SP_GATHER_NS = 1000000;
constexpr size_t SP_GATHER_MESSAGES = 64;
constexpr size_t SP_GATHER_BYTES = 8192;
constexpr unsigned long long SP_GATHER_MIN_NS = 50000;
// The time slice the reader thread asks the scheduler for (readahead.cpp):
// the shortest a kernel grants, so that it is run soon after it wakes.
constexpr unsigned long long SP_READER_SLICE_NS = 100000;

// The reader thread's stack: it runs a few small frames and system calls.
constexpr size_t SP_READER_STACK_BYTES = 64u << 10;

// The bound given to a session when its read-ahead starts (at least
// SP_LARGEST_MESSAGE). Tests make it small to see the buffer fill and wrap
// around; nothing else changes it.
extern size_t sp_readahead_bytes;

// Most sessions one process may hold at once (REJECT_QUOTA beyond).
constexpr int SP_MAX_SESSIONS = 1024;

// Where a daemon name points: a Unix socket /tmp/PORT or TCP HOST:PORT.
struct SpDaemonAddress {
    bool tcp;
    unsigned short port;
    char host[72];  // TCP only, NUL-terminated
};

// Parses a daemon name: NULL or "" for "4803", "PORT" for the Unix socket,
// "PORT@HOST" for TCP. PORT is 1 to 5 decimal digits up to 65535, with
// nothing before it; anything after it must be '@' and a non-empty host.
// Returns 0, or ILLEGAL_SPREAD.
int sp_parse_daemon_name(const char *name, SpDaemonAddress *out);

// The read-ahead state of a session (receive.cpp): its buffer, its reader
// thread and its ready descriptor.
struct SpReadAhead;

// One session. The library owns it from a successful connect until
// SP_disconnect or SP_kill. Every field but broken belongs to the
// application's thread; the reader thread sees only fd and *ra.
struct SpSession {
    int fd;                               // the socket; also the mailbox value
    std::atomic<bool> broken{false};      // a connection error happened: only
                                          // SP_disconnect and SP_kill still work
    bool shut;                            // ILLEGAL_MESSAGE shut the socket: the
                                          // next receive reports the loss
    char private_group[MAX_GROUP_NAME];   // NUL-terminated
    bool has_cached;                      // a *_TOO_SHORT return kept a header
    WireHeader cached;                    // ... this one, continued by the next receive
    SpReadAhead *ra;                      // null until SP_read_ahead(mbox, 1)
    uint64_t taken_messages;              // messages received whole or cut short
};

// Session registry, indexed by mailbox. sp_session_get gives null for an
// unknown mailbox. sp_session_add takes ownership of a session allocated with
// new and gives REJECT_QUOTA when SP_MAX_SESSIONS are open, else 0;
// sp_session_remove unregisters it, ends its read-ahead, closes its socket
// and frees it.
SpSession *sp_session_get(mailbox mbox);
int sp_session_add(SpSession *s);
void sp_session_remove(mailbox mbox);

// Stops and joins the session's reader thread, if any, and frees its
// read-ahead state (buffer, descriptors); s->ra is null afterwards.
void sp_read_ahead_free(SpSession *s);

// Registers an already connected socket whose handshake is done, as if
// SP_connect had returned it, with the given private group name. The library
// owns fd afterwards. Returns 0 or REJECT_QUOTA (fd then left open).
int sp_session_adopt(int fd, const char *private_group);

// Sends one message (header, group slots, body) on a session, all of it,
// marking the session broken on failure. groups holds num_groups 32-byte
// slots; the body is the count elements (at most
// MAX_CLIENT_SCATTER_ELEMENTS) one after the other, sent from where they
// are. Returns 0, ILLEGAL_MESSAGE for counts no message has, or
// CONNECTION_CLOSED.
int sp_send_message(SpSession *s, uint32_t type, int num_groups, const char *groups,
                    uint32_t hint_raw, const scat_element *body, size_t count);

// Notes, for the membership calls, the body the calling thread's receive
// just delivered: where the caller gave it (its buffer, or its scatter when
// scattered), its length, the message's service type and the private group
// of the session that received it. Kept per thread until its next receive.
void sp_note_received(const void *where, bool scattered, size_t len, service service_type,
                      const char *private_group);
