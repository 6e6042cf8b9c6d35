// What spcat's modes share: the command line's options and the Spread
// session's helpers (spcat.cpp), used by the sender of standard input, the
// receiver (spcat.cpp) and the follower of files (spcat_follow.*).
#pragma once

#include <atomic>
#include <chrono>
#include <string>
#include <vector>

#include "spread/sp.h"

namespace spcat {

using Clock = std::chrono::steady_clock;

// Trying an absent daemon again this often.
constexpr auto RETRY = std::chrono::seconds(1);
// After SIGTERM what waits has this long to go out, so that spcat is gone
// within 2 s.
constexpr auto TERM_GRACE = std::chrono::milliseconds(1800);

// One -f: a file to follow, and the text put before each of its lines
// (with a space after it) when -P was given before it.
struct FollowArg {
    std::string path;
    std::string prefix;   // empty: nothing put before the lines
};

struct Options {
    const char *daemon = "4803";
    const char *name = nullptr;             // anonymous by default
    service svc = AGREED_MESS;
    bool receive = false;
    size_t queue_limit = 64u << 20;         // -q: bytes of messages waiting at most
    int wait_seconds = 10;                  // -w: retrying after the end of input
    std::vector<const char *> groups;
    std::vector<FollowArg> follow;          // -f, in the order given
    const char *position = nullptr;         // -p: the position file of -f
};

// The largest body our library sends to `groups` groups.
inline int max_body(int groups) { return 143152 - 32 * groups; }

// Connects, bounded by a second so that a daemon that never answers is
// retried (and SIGTERM heard) in time.
int connect_daemon(const Options *o, mailbox *mbox);

// True when the daemon has closed its end of the connection (or reset it):
// a send now would go nowhere.
bool peer_gone(int fd);

// Connection failures worth waiting out: no daemon there, one that closed
// during the handshake, one that is full; and after a loss, a daemon that
// still holds the session that was lost under our name.
bool retryable(int ret, bool was_connected);

// Multicasts one message to all of o's groups; SP_multicast's result.
struct Multicaster {
    explicit Multicaster(const Options *o);
    int operator()(mailbox mbox, const char *p, size_t n) const;

    const Options *o;
    std::vector<char> rows;   // the group names, MAX_GROUP_NAME bytes each
};

// Follows o->follow until SIGTERM (readable on term_fd, an eventfd), and
// returns the exit status.  `live_fd` is kept at the connected socket (-1
// when none), so that the thread that took SIGTERM can shut it down under a
// send that a daemon taking nothing has blocked.
int follow_files(const Options *o, int term_fd, std::atomic<int> *live_fd);

}  // namespace spcat
