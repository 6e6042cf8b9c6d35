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
#pragma once

#include <pthread.h>

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
    unsigned char *ring = nullptr;     // cap bytes, malloc'd
    size_t cap = 0;
    int fd = -1;                       // the session's socket
    int ready_fd = -1;                 // eventfd: see above
    int wake_fd = -1;                  // eventfd: interrupts the reader's poll
    pthread_t thread;
    bool running = false;              // thread is joinable (application's thread only)

    // Written by the reader.
    alignas(64) std::atomic<uint64_t> filled{0};
    std::atomic<uint64_t> whole{0};    // under mu
    std::atomic<ReadEnd> end{ReadEnd::none};  // under mu
    std::atomic<bool> reader_waits{false};  // for free space; set under mu
    // The reader's framing state: the message being completed starts at
    // msg_start; once its header is in (header_known) it ends at msg_end.
    uint64_t msg_start = 0;
    uint64_t msg_end = 0;
    bool header_known = false;

    // Written by the application.
    alignas(64) std::atomic<uint64_t> taken{0};
    std::atomic<bool> stopped{false};  // SP_read_ahead(mbox, 0); under mu
    std::atomic<bool> stop_asked{false};  // tells the reader thread to return

    alignas(64) SessionLock mu;
    std::condition_variable cv;
    bool signalled = false;            // ready_fd holds a count; under mu
    bool receiver_waits = false;       // SP_receive waits for a whole message; under mu
};

// Brings the ready descriptor in line with the state. Called under mu.
void sp_update_ready(SpReadAhead *ra);

// Copies n bytes (n <= cap) out of the ring from index i on.
void sp_ring_copy(const SpReadAhead *ra, size_t i, void *out, size_t n);
