// spcat's follow mode (-f), what its files share: the followed files, the
// batch and the follower's state, and the steps the loop (spcat_follow.cpp)
// takes: the files and the batch (spcat_follow_files.cpp), the position
// file (spcat_follow_position.cpp), the Spread session
// (spcat_follow_session.cpp), the watch on the files (spcat_follow_watch.cpp).
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <sys/inotify.h>
#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <string>
#include <utility>
#include <vector>

#include "spcat.h"
#include "spcat_position.h"

namespace spcat::follow {

constexpr auto ROTATED_IDLE = std::chrono::seconds(5);
constexpr auto RESCAN = std::chrono::seconds(1);
constexpr auto POLL_RESCAN = std::chrono::milliseconds(250);
constexpr size_t BATCH_MESSAGES = 1024;
constexpr size_t BATCH_BYTES = 1u << 20;
constexpr size_t READ_CHUNK = 128 * 1024;
// After a batch that was not full, the next waits this long, so that lines
// written one at a time go in batches of a few (one position file written
// for each batch, not for each line); a full batch is followed at once.
constexpr auto GATHER = std::chrono::milliseconds(10);
constexpr int RECEIVE_BUFFER = 144000;
constexpr uint32_t DIR_EVENTS = IN_CREATE | IN_MOVED_TO | IN_MOVED_FROM | IN_DELETE;
constexpr uint32_t FILE_EVENTS = IN_MODIFY | IN_ATTRIB;

// One open file of a followed path.
struct OpenFile {
    int fd = -1;
    int wd = -1;                 // its inotify watch (on the inode), -1 when none
    uint64_t dev = 0, ino = 0;
    uint64_t offset = 0;         // the byte after the last line sent and taken
    uint32_t fp_len = 0;         // the fingerprint of what was sent (spcat_position.h)
    uint64_t fp_hash = 0;
    bool rotated = false;        // no longer the file at the path
    bool dirty = true;           // may hold bytes past what was read
    uint64_t size = 0;           // st_size at the last look
    nlink_t nlink = 1;           // st_nlink at the last look: 0 once removed
    Clock::time_point grew_at;   // when it last grew, or was rotated
    // The batch being gathered or in flight (read_batch), applied by commit
    // once it is taken; both as after the last commit when there is none.
    uint64_t batch_end = 0;      // the offset then: what was read of the file
    bool close_after = false;    // the batch ends it: closed once taken
};

// One -f.
struct Followed {
    FollowArg arg;
    std::string dir, base;         // where inotify looks for it, and its name there
    int dir_wd = -1;
    std::vector<OpenFile> files;   // oldest first
    std::string said;              // the last failure reported for the path, "" when none
};

// The batch in flight: messages one after the other in `bytes`.
struct Batch {
    std::string bytes;
    std::vector<std::pair<size_t, size_t>> messages;   // offset in `bytes`, length
    bool closes = false;                               // some file is closed once taken
    bool full() const { return messages.size() >= BATCH_MESSAGES || bytes.size() >= BATCH_BYTES; }
    bool empty() const { return messages.empty() && !closes; }
};

struct Follower {
    const Options *o;
    int term_fd;
    std::atomic<int> *live_fd;
    Multicaster multicast;
    size_t limit;                  // the longest message: pieces of longer lines
    int inotify_fd = -1;
    bool need_rescan = true;
    std::vector<Followed> paths;
    std::string written;           // the position file's content as last written
    std::string tmp_path;          // the position file's temporary name
    Batch batch;
    std::vector<char> chunk = std::vector<char>(READ_CHUNK);
    // The Spread session.
    mailbox mbox = -1;
    std::string private_group;
    bool was_connected = false;    // a session existed at some point
    bool announced = false;        // "...; retrying" said since the last session
    Clock::time_point next_try;
    Clock::time_point gather_until;   // no batch before then (GATHER)
    unsigned long long acks = 0;   // markers sent
    std::vector<char> body = std::vector<char>(RECEIVE_BUFFER);

    Follower(const Options *o, int term_fd, std::atomic<int> *live_fd)
        : o(o), term_fd(term_fd), live_fd(live_fd), multicast(o), limit((size_t)max_body((int)o->groups.size()))
    {
    }
};

// Whether SIGTERM came (term_fd readable).
bool term_seen(const Follower &f);

inline std::string quoted(const std::string &path) { return "\"" + path + "\""; }

// ------------------------------------------------------ the files

// Takes up the files of the position file's entries, each at its offset.
void restore(Follower &f, const std::vector<PosEntry> &entries);

// Looks at every path and every open file: a new file at a path, a file
// gone from its path, sizes, removals, truncations.
void look(Follower &f);

// Adds to the batch what the files that changed hold past what is in it,
// oldest file first.  False after a read error.
bool read_batch(Follower &f);

// Drops the batch (not taken): its lines are read again.
void drop_batch(Follower &f);

// Applies the batch the daemon took: offsets, fingerprints, closings.
void commit(Follower &f);

// ------------------------------------------------------ the position file

// Reads the position file; false when it cannot be used (said).
bool read_position(const Options *o, std::vector<PosEntry> *entries);

// Writes the position file whole, if it changed.  False after a failure
// (said).
bool write_position(Follower &f);

// ------------------------------------------------------ the session

// Connects; false while the daemon is away.  *status becomes 1 when it
// refuses for good.
bool try_connect(Follower &f, int *status);

// Ends the session lost with `ret` and says so (unless SIGTERM came); the
// next try comes at once.
void lose_session(Follower &f, int ret);

// Sends the batch and waits until the daemon hands back the marker sent
// after it: the batch is then taken.  0, or the library's error.
int send_batch(Follower &f);

// What came from the daemon while nothing was asked of it: only the end of
// the session is of interest.  0, or the library's error.
int idle_receive(Follower &f);

// ------------------------------------------------------ watching

// Sets up inotify on the paths' directories.  False when a directory
// cannot be watched for a reason that polling would not cure (said).
bool start_watching(Follower &f);

// Takes what inotify has: files that changed are read again, paths looked
// at again when their directory changed, everything after an overflow.
void take_events(Follower &f);

}  // namespace spcat::follow
