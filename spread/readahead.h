// The read-ahead of a session, shared by the two halves of receiving
// inside the library: readahead.cpp runs the reader thread that fills the
// ring, receive.cpp takes whole messages out of it.
//
// With read-ahead a reader thread moves the socket's bytes into a ring (one
// recv into its free space at a time) and decodes each header as it
// completes, so that it knows where whole messages end. SP_receive then takes
// the next whole message from the ring, waiting only while there is none and
// the session has not ended. Positions are byte offsets in the stream since
// read-ahead began; the ring index of offset o is o % cap.
//
//   taken <= whole <= filled,  filled - taken <= cap
//
// - [taken, whole): whole messages (or the rest of the one whose header a
//   *_TOO_SHORT return kept); only the application reads them, and only it
//   moves taken.
// - [whole, filled): the start of a message not all here yet; only the
//   reader touches it.
// - [filled, taken + cap): free; the reader recvs into it.
// - The ready descriptor holds a count exactly while whole > taken, or the
//   reader ended, or reading was stopped (under mu: signalled). Only the
//   transitions cost a system call, and only they take the lock on the
//   application's side: a busy stream costs neither per message.
//
// The ring's memory is taken as it is needed. The ring index space (cap
// bytes) is cut into slots of SP_RING_CHUNK bytes; a slot holds a frame
// (SP_RING_CHUNK bytes of one mapping reserved whole at the start, not
// touched) only while bytes of the stream need it. Slot s holds the bytes
// of every offset o with (o % cap) / SP_RING_CHUNK == s. Stream chunk c
// (offsets [c * SP_RING_CHUNK, (c + 1) * SP_RING_CHUNK)) lies in slot c % nslots.
// Only the reader attaches and detaches frames, so it alone owns the frame
// lists; the application reads chunks[] only for slots under [taken,
// whole), which the reader attached before it published whole and detaches
// only after taken passed them:
//
//   att_from <= taken / SP_RING_CHUNK,  att_to * SP_RING_CHUNK >= filled
//
// - Stream chunks [att_from, att_to) have their slot's frame attached (two
//   of them, c and c + nslots, may share one slot: the tail of the oldest
//   and the head of the newest, as in any ring).
// - The reader keeps the room up to SP_RING_AHEAD past filled attached
//   before it reads, and attaches more right after it published what it
//   read: a fresh frame is touched (faulted in) there, never inside the
//   recv, and only while the backlog grows into memory it never held.
// - A frame whose chunk the application has passed goes to the warm list
//   (resident, reused first); frames never touched or given back are cold.
//   SP_RING_RESIDENT bytes of frames are touched at the start and always
//   kept. Once the backlog has stayed under SP_RING_SMALL for quiet_ns,
//   warm frames beyond those are given back to the system (MADV_DONTNEED)
//   and become cold.
#pragma once

#include <pthread.h>
#include <sys/uio.h>

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>

#include "spread/client.h"

// Why the reader ended for good.
enum class ReadEnd : int {
    none,     // still reading (or stopped by the application, see stopped)
    closed,   // end of file or a socket error
    corrupt,  // a header no daemon sends; the stream lost its framing
};

// The session's lock. The reader thread and the application run at the
// same scheduling policy and niceness, and each holds it only to publish or
// take a count, so a plain mutex does: no priority needs passing on.
using SessionLock = std::mutex;

// Fields are grouped by the thread that writes them, each group on cache
// lines of its own, so that the two threads do not pull one line back and
// forth on every message.
struct SpReadAhead {
    // Set up before the reader starts; read by both.
    unsigned char *region = nullptr;   // cap bytes reserved with mmap: the frames
    size_t cap = 0;                    // a multiple of SP_RING_CHUNK
    size_t nslots = 0;                 // cap / SP_RING_CHUNK
    std::atomic<unsigned char *> *chunks = nullptr;  // per slot: its frame, or null
    uint64_t quiet_ns = 0;             // see SP_RING_QUIET_NS
    int fd = -1;                       // the session's socket
    int ready_fd = -1;                 // eventfd: see above
    int wake_fd = -1;                  // eventfd: interrupts the reader's poll
    pthread_t thread;
    bool running = false;              // thread is joinable (application's thread only)

    // Written by the reader.
    alignas(64) std::atomic<uint64_t> filled{0};
    std::atomic<uint64_t> whole{0};    // under mu
    std::atomic<ReadEnd> end{ReadEnd::none};  // under mu
    // Accounting, for SP_read_stats: the whole messages framed since
    // reading began, and the most bytes held at once (filled - taken just
    // after a read).
    std::atomic<uint64_t> framed{0};
    std::atomic<uint64_t> max_held{0};
    std::atomic<bool> reader_waits{false};  // for free space; set under mu
    // The reader's framing state: the message being completed starts at
    // msg_start; once its header is in (header_known) it ends at msg_end.
    uint64_t msg_start = 0;
    uint64_t msg_end = 0;
    bool header_known = false;
    // The reader's frames (above): the stream chunks attached, the frames
    // not attached (warm: resident; cold: not), and when the backlog was
    // last seen over SP_RING_SMALL.
    uint64_t att_from = 0;
    uint64_t att_to = 0;
    unsigned char **warm = nullptr;    // nslots entries, nwarm used
    size_t nwarm = 0;
    unsigned char **cold = nullptr;    // nslots entries, ncold used
    size_t ncold = 0;
    uint64_t busy_at = 0;              // CLOCK_MONOTONIC ns

    // Written by the application.
    alignas(64) std::atomic<uint64_t> taken{0};
    std::atomic<bool> stopped{false};  // SP_read_ahead(mbox, 0); under mu
    std::atomic<bool> stop_asked{false};  // tells the reader thread to return
    uint64_t taken_base = 0;           // the session's taken_messages when reading began

    alignas(64) SessionLock mu;
    std::condition_variable cv;
    bool signalled = false;            // ready_fd holds a count; under mu
    bool receiver_waits = false;       // SP_receive waits for a whole message; under mu
};

// Brings the ready descriptor in line with the state. Called under mu.
void sp_update_ready(SpReadAhead *ra);

// Now on CLOCK_MONOTONIC, in ns: the reader's and the ring's clock.
uint64_t sp_monotonic_ns();

// Copies n bytes (n <= cap) out of the ring from index i on. The slots
// under them must hold their frames.
void sp_ring_copy(const SpReadAhead *ra, size_t i, void *out, size_t n);

// --- The ring apart from the socket and the threads ------------------------
// The reader thread and SP_receive work the ring through these; a test
// drives them alone, one step at a time.

// A ring of `bytes` (at least SP_LARGEST_MESSAGE, rounded up to whole
// chunks), with SP_RING_RESIDENT touched and its first room attached, no
// socket; frames given back after quiet_ns of a small backlog. Null when
// memory or descriptors cannot be had.
SpReadAhead *sp_ring_new(size_t bytes, uint64_t quiet_ns);
// Frees the ring: mapping, descriptors, record.
void sp_ring_delete(SpReadAhead *ra);
// The reader's side: the room for the next read, resident, as at most
// max_pieces pieces (*pieces of them set); returns its bytes, 0 when the
// ring is full.
size_t sp_ring_room(SpReadAhead *ra, struct iovec *iov, size_t max_pieces, size_t *pieces);
// The reader's side: n bytes were read into that room. Publishes them,
// frames the messages they complete (*completed of them) and attaches the
// room of the next read. False on a header no daemon sends: the stream
// has lost its framing and the reader must stop.
bool sp_ring_read(SpReadAhead *ra, size_t n, size_t *completed);
// The reader's side: at now_ns (CLOCK_MONOTONIC), notes a large backlog
// or, after quiet_ns of a small one, gives warm frames beyond
// SP_RING_RESIDENT back. Returns the ms until that is due, -1 when
// nothing is left to give back.
int sp_ring_trim(SpReadAhead *ra, uint64_t now_ns);
// The application's side: the ring is given back up to offset `at` (the
// end of the messages taken). While whole messages remain and the reader
// does not wait for room, nothing else changes: no lock is taken.
// Otherwise, under the lock, the ready descriptor is cleared when the last
// whole message went, and the reader woken.
void sp_ring_commit(SpReadAhead *ra, uint64_t at);
// The invariants above, and of the frames (each frame of the mapping in
// exactly one place: a slot, the warm or the cold list; SP_RING_RESIDENT
// kept): null when they hold, else the one that does not. For tests, with
// neither thread running.
const char *sp_ring_check(const SpReadAhead *ra);

