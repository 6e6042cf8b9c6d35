// minispread's state and the functions its files share. The daemon's
// state is one Daemon record, made by main and handed to every function
// that needs it; sessions and groups are records the Daemon holds.
//
//   main.cpp      options, signals, start-up and shut-down;
//   listen.cpp    the listeners, accepting sessions, the epoll loop;
//   sessions.cpp  handshakes, reading clients, delivering their messages,
//                 ending sessions;
//   groups.cpp    groups and their membership notices;
//   output.cpp    the sessions' output queues and their bounds, with the
//                 -S policy.
#pragma once

#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "tools/minispread/proto.h"

namespace minispread {

using namespace ms;

constexpr int MAX_SESSIONS = 997;           // more get REJECT_QUOTA at once
constexpr int MAX_QUEUED = 1000;            // -S: messages a receiver may have waiting
// Bytes a receiver may have waiting in the daemon by default (-q changes
// it): far beyond what any test, benchmark or the demo leaves unread.
constexpr size_t QUEUE_LIMIT = 256u << 20;
constexpr size_t QUEUE_LIMIT_MIN = 1u << 20;  // -q at least: the largest message fits many times
constexpr int64_t HANDSHAKE_MS = 5000;      // a connect and auth exchange must end within this
constexpr size_t IN_HANDSHAKE = 256;
constexpr size_t IN_READY = 192 * 1024;     // holds the largest legal message (48 + 143952 bytes)
// At most this much is read from a client at a time, so that every client
// with bytes waiting is read in each loop pass. A larger message is
// gathered over several reads.
constexpr size_t READ_SLICE = 32 * 1024;
constexpr size_t FLUSH_AT = 64 * 1024;      // pending bytes that trigger an early write
constexpr size_t OUT_KEEP = 1024 * 1024;    // output buffer kept allocated when empty
constexpr int SOCKET_BUFFER = 200 * 1024;   // Unix sockets, each way
// The largest segment TCP clients may send (TCP_MAXSEG on the listener),
// TCP's own default.  The kernel acknowledges at once every second segment
// of at least this size, in the client's own send on loopback: a stream of
// small messages is never held in the client's kernel waiting for an
// acknowledgement (see listen_tcp).
constexpr int TCP_SEGMENT = 536;
constexpr int RING = 1024;                  // message ends remembered per session
static_assert(RING > MAX_QUEUED && (RING & (RING - 1)) == 0);
constexpr size_t HEADER_SIZE = WIRE_HEADER_SIZE;
constexpr size_t SLOT = WIRE_GROUP_SIZE;

enum SessionState { SS_CONNECT, SS_AUTH, SS_READY };

struct Group;

struct Session {
    int fd = -1;
    SessionState state = SS_CONNECT;
    bool membership = false;       // asked for membership messages
    bool named = false;            // name reserved in Daemon::by_name
    bool dead = false;             // disconnected; freed at the end of the loop pass
    bool kill_pending = false;     // to be disconnected at the next safe point
    bool gone = false;             // a write failed: no more output, read to the end
    bool dirty = false;            // in Daemon::dirty: output not yet tried on the socket
    bool stalled = false;          // its socket refused bytes and has not been writable since
    bool header_checked = false;   // header at the front of `in` already validated
    int client_version = 0;
    int index = -1;                // position in Daemon::sessions
    char name[MAX_NAME + 1] = {};
    char pg[MAX_GROUP_NAME] = {};  // private group "#name#daemon"
    int64_t deadline = 0;          // end of the handshake allowance (ms)

    uint8_t *in = nullptr;         // bytes read and not yet handled: in[0, in_len)
    size_t in_len = 0, in_cap = 0;

    uint8_t *out = nullptr;        // bytes to write: out[out_off, out_len)
    size_t out_off = 0, out_len = 0, out_cap = 0;
    uint64_t out_total = 0;        // bytes ever queued
    uint64_t out_sent = 0;         // bytes ever written
    uint64_t ends[RING];           // -S, -1: out_total at the end of each unwritten message
    int ends_head = 0, ends_count = 0;

    uint32_t events = 0;           // current epoll interest
    uint64_t stamp = 0;            // last delivery that chose this session as target
    std::vector<Group *> groups;   // joined groups, sorted by name
};

struct Group {
    std::string name;
    std::vector<Session *> members;   // sorted by private group name
    int32_t counter = 0;              // membership changes since creation
};

struct Daemon {
    const char *name = "localhost";
    int port = 4803;
    bool count_queued = false;                               // -S: MAX_QUEUED messages at most per receiver
    size_t queue_limit = QUEUE_LIMIT;                        // bytes waiting per receiver at most (-q)
    bool one_per_write = false;                              // -1: each message its own send
    int epfd = -1, tcp_fd = -1, unix_fd = -1;
    std::string unix_path;
    int32_t id = 0, memb_time = 0;
    int64_t now = 0;
    uint64_t stamp = 0;
    int handshaking = 0;                                     // sessions not yet ready
    std::map<std::string, Session *, std::less<>> by_name;   // reserved private names
    std::map<std::string, Group *, std::less<>> groups;
    std::vector<Session *> sessions;                         // every open session
    std::vector<Session *> dirty, kills, graveyard, targets;
    std::vector<uint8_t> scratch;
};

// Set by the SIGTERM and SIGINT handler; the loop ends when it is set.
extern volatile sig_atomic_t stop_requested;

// realloc of a session's buffer to `cap` bytes; running out of memory ends
// the process with status 1.
inline uint8_t *grow_buffer(uint8_t *p, size_t cap)
{
    uint8_t *grown = (uint8_t *)realloc(p, cap);
    if (grown == nullptr) {
        fprintf(stderr, "minispread: out of memory\n");
        exit(1);
    }
    return grown;
}

inline int64_t now_ms()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

// --- listen.cpp ---------------------------------------------------------

// A listening socket on TCP 127.0.0.1:port; -1 after a message.
int listen_tcp(int port);
// A listening Unix socket at `path` (bound under a temporary name, then
// renamed over it, so a client that finds the file can connect at once);
// -1 after a message.
int listen_unix(const std::string &path);
// Adds the listener fd (d.tcp_fd or d.unix_fd) to the epoll set.
void add_listener(Daemon &d, int fd, bool tcp);
// Brings s's epoll interest up to date: input always, output while it has
// bytes queued.
void set_events(Daemon &d, Session *s);
// Runs the loop until stop_requested, then closes every session and
// listener and removes the Unix socket.
void run(Daemon &d);

// --- sessions.cpp -------------------------------------------------------

// Reads what s's socket holds (at most READ_SLICE) and handles every whole
// handshake step and message in it; the end of the stream ends s.
void on_readable(Daemon &d, Session *s);
// Disconnects every session scheduled to be killed.
void run_kills(Daemon &d);
// Grows s's input buffer to `cap` bytes.
void grow_input(Session *s, size_t cap);
// Closes handshakes that ran out of time; returns the epoll timeout until
// the next deadline (-1: none).
int expire_handshakes(Daemon &d);
// Frees the sessions that ended in this loop pass.
void bury_dead(Daemon &d);

// --- groups.cpp ---------------------------------------------------------

Group *find_group(Daemon &d, std::string_view name);
// s joins (nothing when a member already) or leaves the group `name`; the
// members that asked for membership messages are told.
void join_group(Daemon &d, Session *s, std::string_view name);
void leave_group(Daemon &d, Session *s, std::string_view name);
// Takes s out of g; deletes g when it is empty, else tells the members with
// the given cause.
void remove_member(Daemon &d, Group *g, Session *s, uint32_t cause);

// --- output.cpp ---------------------------------------------------------

// Schedules s to be disconnected at the next safe point.
void schedule_kill(Daemon &d, Session *s);
// Writes as much of s's queued output as its socket takes; nothing is
// tried on a stalled socket unless `force`.
void flush(Daemon &d, Session *s, bool force = false);
// Appends bytes that are not a message (handshake replies).
void queue_raw(Daemon &d, Session *s, const uint8_t *p, size_t n);
// Queues one message for s: a 48-byte header, then rest[0, rest_len).  A
// session whose socket will not take what waits for it, when the message
// would take that past d.queue_limit bytes (or, with -S, past MAX_QUEUED
// messages), is scheduled to be killed and gets nothing more.
void queue_message(Daemon &d, Session *s, const uint8_t *header, const uint8_t *rest, size_t rest_len);
// Tries the output of every session that was queued to since the last
// call, and runs the kills that causes.
void flush_dirty(Daemon &d);

}  // namespace minispread
