// Read-ahead: the ring's steps apart from the socket and the threads
// (readahead.h): making and freeing the ring, the reader's side (the room
// for a read, the bytes read and framed, the frames given back) and the
// application's side (the ring given back), and the check of its
// invariants. The reader thread (readahead.cpp) and SP_receive work the
// ring through these.
#include <errno.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <mutex>
#include <new>
#include <vector>

#include "spread/readahead.h"

void sp_update_ready(SpReadAhead *ra)
{
    bool ready = ra->whole.load(std::memory_order_relaxed) > ra->taken.load(std::memory_order_relaxed) ||
                 ra->end.load(std::memory_order_relaxed) != ReadEnd::none ||
                 ra->stopped.load(std::memory_order_relaxed);
    if (ready == ra->signalled)
        return;
    uint64_t v = 1;
    ssize_t r;
    do
        r = ready ? write(ra->ready_fd, &v, sizeof v) : read(ra->ready_fd, &v, sizeof v);
    while (r < 0 && errno == EINTR);
    ra->signalled = ready;
}

void sp_ring_copy(const SpReadAhead *ra, size_t i, void *out, size_t n)
{
    unsigned char *to = (unsigned char *)out;
    while (n > 0) {
        size_t off = i % SP_RING_CHUNK;
        size_t m = SP_RING_CHUNK - off < n ? SP_RING_CHUNK - off : n;
        memcpy(to, ra->chunks[i / SP_RING_CHUNK].load(std::memory_order_relaxed) + off, m);
        to += m;
        n -= m;
        i += m;
        if (i == ra->cap)
            i = 0;
    }
}

uint64_t sp_monotonic_ns()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (uint64_t)ts.tv_sec * 1000000000u + (uint64_t)ts.tv_nsec;
}

namespace {

// Faults a cold frame in, a write to each of its pages, so that no read
// into it has to.
unsigned char *frame_touch(unsigned char *frame)
{
    static const size_t page = (size_t)sysconf(_SC_PAGESIZE);
    for (size_t o = 0; o < SP_RING_CHUNK; o += page)
        ((volatile unsigned char *)frame)[o] = 0;
    return frame;
}

// The reader's side (and the creator's, before the reader starts): brings
// the attached chunks in line with taken and filled. Chunks the application
// has passed are detached (their frames to the warm list); the room up to
// SP_RING_AHEAD past filled (within the ring's bound) is attached, warm
// frames first.
void ring_fit(SpReadAhead *ra, uint64_t filled, uint64_t taken)
{
    while (ra->att_from < ra->att_to && (ra->att_from + 1) * SP_RING_CHUNK <= taken) {
        uint64_t c = ra->att_from++;
        // Chunk c + nslots, still attached, shares the slot.
        if (c + ra->nslots >= ra->att_to) {
            std::atomic<unsigned char *> &slot = ra->chunks[c % ra->nslots];
            ra->warm[ra->nwarm++] = slot.load(std::memory_order_relaxed);
            slot.store(nullptr, std::memory_order_relaxed);
        }
    }
    uint64_t limit = filled + SP_RING_AHEAD < taken + ra->cap ? filled + SP_RING_AHEAD : taken + ra->cap;
    while (ra->att_to * SP_RING_CHUNK < limit) {
        uint64_t c = ra->att_to++;
        // Attached already through chunk c - nslots.
        if (c >= ra->att_from + ra->nslots)
            continue;
        unsigned char *frame = ra->nwarm > 0 ? ra->warm[--ra->nwarm] : frame_touch(ra->cold[--ra->ncold]);
        ra->chunks[c % ra->nslots].store(frame, std::memory_order_relaxed);
    }
}

// Frames resident beyond the SP_RING_RESIDENT that a session keeps.
bool ring_holds_more(const SpReadAhead *ra)
{
    return ra->nslots - ra->ncold > SP_RING_RESIDENT / SP_RING_CHUNK;
}

// A wait of ns nanoseconds for poll: whole ms, at least 1.
int poll_ms(uint64_t ns)
{
    uint64_t ms = (ns + 999999) / 1000000;
    return ms < 1 ? 1 : ms > (uint64_t)INT_MAX ? INT_MAX : (int)ms;
}

// The reader's side: notes a large backlog, and once the backlog has stayed
// small for quiet_ns, detaches what the application has passed and gives
// back warm frames while more than SP_RING_RESIDENT is resident. Returns how long until that
// is due, in ms, for the reader's wait: -1 when nothing is left to give
// back.
int ring_trim(SpReadAhead *ra, uint64_t now)
{
    uint64_t filled = ra->filled.load(std::memory_order_relaxed);
    uint64_t taken = ra->taken.load(std::memory_order_acquire);
    if (filled - taken > SP_RING_SMALL)
        ra->busy_at = now;
    if (!ring_holds_more(ra))
        return -1;
    if (now - ra->busy_at < ra->quiet_ns)
        return poll_ms(ra->busy_at + ra->quiet_ns - now);
    ring_fit(ra, filled, taken);
    while (ra->nwarm > 0 && ring_holds_more(ra)) {
        unsigned char *frame = ra->warm[--ra->nwarm];
        (void)madvise(frame, SP_RING_CHUNK, MADV_DONTNEED);
        ra->cold[ra->ncold++] = frame;
    }
    // What is still resident beyond that holds the backlog: looked at again
    // after another quiet spell.
    ra->busy_at = now;
    return ring_holds_more(ra) ? poll_ms(ra->quiet_ns) : -1;
}

// The reader's side: frames the bytes that came in, from msg_start up to
// filled, and counts the messages completed into *completed. Publishes how
// far whole messages reach; false when a corrupt header was found (the
// reader must stop).
bool reader_frame(SpReadAhead *ra, uint64_t filled, size_t *completed)
{
    uint64_t whole = ra->whole.load(std::memory_order_relaxed);
    bool corrupt = false;
    for (;;) {
        if (!ra->header_known) {
            if (filled - ra->msg_start < WIRE_HEADER_SIZE)
                break;
            unsigned char raw[WIRE_HEADER_SIZE];
            sp_ring_copy(ra, (size_t)(ra->msg_start % ra->cap), raw, sizeof raw);
            WireHeader h;
            wire_header_decode(raw, raw + sizeof raw, &h);
            int64_t payload = wire_payload_size(&h, true);
            if (payload < 0 || (uint64_t)payload > SP_LARGEST_MESSAGE - WIRE_HEADER_SIZE) {
                corrupt = true;
                break;
            }
            ra->msg_end = ra->msg_start + WIRE_HEADER_SIZE + (uint64_t)payload;
            ra->header_known = true;
        }
        if (filled < ra->msg_end)
            break;
        whole = ra->msg_end;
        ++*completed;
        ra->msg_start = ra->msg_end;
        ra->header_known = false;
    }
    if (whole != ra->whole.load(std::memory_order_relaxed) || corrupt) {
        std::lock_guard<SessionLock> g(ra->mu);
        ra->framed.store(ra->framed.load(std::memory_order_relaxed) + *completed, std::memory_order_relaxed);
        ra->whole.store(whole, std::memory_order_release);
        if (corrupt)
            ra->end.store(ReadEnd::corrupt, std::memory_order_relaxed);
        sp_update_ready(ra);
        if (ra->receiver_waits)
            ra->cv.notify_all();
    }
    return !corrupt;
}

}  // namespace

size_t sp_ring_room(SpReadAhead *ra, struct iovec *iov, size_t max_pieces, size_t *pieces)
{
    uint64_t filled = ra->filled.load(std::memory_order_relaxed);
    uint64_t taken = ra->taken.load(std::memory_order_acquire);
    size_t free_bytes = ra->cap - (size_t)(filled - taken);
    *pieces = 0;
    if (free_bytes == 0)
        return 0;
    ring_fit(ra, filled, taken);
    // The room offered: resident, less than SP_RING_AHEAD plus one chunk
    // from filled on (ring_fit attaches no further), so at most
    // SP_RING_AHEAD / SP_RING_CHUNK + 2 pieces of chunks.
    size_t offered = (size_t)(ra->att_to * SP_RING_CHUNK - filled);
    if (offered > free_bytes)
        offered = free_bytes;
    size_t given = 0;
    for (size_t i = (size_t)(filled % ra->cap), left = offered; left > 0 && *pieces < max_pieces; ++*pieces) {
        size_t off = i % SP_RING_CHUNK;
        size_t m = SP_RING_CHUNK - off < left ? SP_RING_CHUNK - off : left;
        iov[*pieces] = {ra->chunks[i / SP_RING_CHUNK].load(std::memory_order_relaxed) + off, m};
        left -= m;
        given += m;
        i += m;
        if (i == ra->cap)
            i = 0;
    }
    return given;
}

bool sp_ring_read(SpReadAhead *ra, size_t n, size_t *completed)
{
    uint64_t filled = ra->filled.load(std::memory_order_relaxed) + (uint64_t)n;
    ra->filled.store(filled, std::memory_order_release);
    uint64_t held = filled - ra->taken.load(std::memory_order_relaxed);
    if (held > ra->max_held.load(std::memory_order_relaxed))
        ra->max_held.store(held, std::memory_order_relaxed);
    *completed = 0;
    if (!reader_frame(ra, filled, completed))
        return false;
    // The room for the next read, now that the messages are out.
    ring_fit(ra, filled, ra->taken.load(std::memory_order_acquire));
    return true;
}

int sp_ring_trim(SpReadAhead *ra, uint64_t now_ns) { return ring_trim(ra, now_ns); }

void sp_ring_commit(SpReadAhead *ra, uint64_t at)
{
    ra->taken.store(at, std::memory_order_seq_cst);
    if (ra->whole.load(std::memory_order_seq_cst) > at && !ra->reader_waits.load(std::memory_order_seq_cst))
        return;
    std::lock_guard<SessionLock> g(ra->mu);
    sp_update_ready(ra);
    if (ra->reader_waits.load(std::memory_order_relaxed))
        ra->cv.notify_all();
}

void sp_ring_delete(SpReadAhead *ra)
{
    if (ra->ready_fd >= 0)
        close(ra->ready_fd);
    if (ra->wake_fd >= 0)
        close(ra->wake_fd);
    if (ra->region)
        munmap(ra->region, ra->cap);
    delete[] ra->chunks;
    delete[] ra->warm;
    delete[] ra->cold;
    delete ra;
}

SpReadAhead *sp_ring_new(size_t bytes, uint64_t quiet_ns)
{
    SpReadAhead *ra = new (std::nothrow) SpReadAhead();
    if (!ra)
        return nullptr;
    size_t cap = bytes > SP_LARGEST_MESSAGE ? bytes : SP_LARGEST_MESSAGE;
    ra->cap = (cap + SP_RING_CHUNK - 1) / SP_RING_CHUNK * SP_RING_CHUNK;
    ra->nslots = ra->cap / SP_RING_CHUNK;
    ra->quiet_ns = quiet_ns;
    // One mapping for every frame, reserved now and touched only as the
    // backlog needs it. Its faults are then taken under the mapping's own
    // lock, not the whole memory map's, as long as nothing changes the
    // mapping; no huge pages, which would make a frame's first byte cost
    // 2 MiB.
    void *region = mmap(nullptr, ra->cap, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (region != MAP_FAILED) {
        ra->region = (unsigned char *)region;
        (void)madvise(region, ra->cap, MADV_NOHUGEPAGE);
    }
    ra->chunks = new (std::nothrow) std::atomic<unsigned char *>[ra->nslots]();
    ra->warm = new (std::nothrow) unsigned char *[ra->nslots];
    ra->cold = new (std::nothrow) unsigned char *[ra->nslots];
    ra->ready_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    ra->wake_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (!ra->region || !ra->chunks || !ra->warm || !ra->cold || ra->ready_fd < 0 || ra->wake_fd < 0) {
        sp_ring_delete(ra);
        return nullptr;
    }
    // Frames are taken from the start of the mapping first.
    for (size_t k = 0; k < ra->nslots; k++)
        ra->cold[k] = ra->region + (ra->nslots - 1 - k) * SP_RING_CHUNK;
    ra->ncold = ra->nslots;
    // The room of the first reads, and the rest of what the ring keeps
    // resident, faulted in here, before the reader runs.
    ring_fit(ra, 0, 0);
    while (ra->ncold > 0 && ra->nslots - ra->ncold < SP_RING_RESIDENT / SP_RING_CHUNK)
        ra->warm[ra->nwarm++] = frame_touch(ra->cold[--ra->ncold]);
    ra->busy_at = sp_monotonic_ns();
    return ra;
}

const char *sp_ring_check(const SpReadAhead *ra)
{
    uint64_t filled = ra->filled.load(std::memory_order_relaxed);
    uint64_t whole = ra->whole.load(std::memory_order_relaxed);
    uint64_t taken = ra->taken.load(std::memory_order_relaxed);
    if (!(taken <= whole && whole <= filled && filled - taken <= ra->cap))
        return "taken <= whole <= filled <= taken + cap";
    if (ra->msg_start != whole || (ra->header_known && ra->msg_end < ra->msg_start))
        return "the message being framed starts at whole";
    if (!(ra->att_from <= taken / SP_RING_CHUNK && ra->att_to * SP_RING_CHUNK >= filled))
        return "the attached chunks cover [taken, filled)";
    if (ra->att_to - ra->att_from > ra->nslots + 1)
        return "at most one slot is shared";
    // Every frame is in exactly one place: a slot (a shared slot counts
    // once), the warm list or the cold list; a slot holds a frame exactly
    // while an attached chunk lies in it.
    std::vector<bool> used(ra->nslots);
    for (uint64_t c = ra->att_from; c < ra->att_to; c++)
        used[c % ra->nslots] = true;
    size_t attached = 0;
    for (size_t slot = 0; slot < ra->nslots; slot++) {
        bool in_use = used[slot];
        unsigned char *frame = ra->chunks[slot].load(std::memory_order_relaxed);
        if (in_use != (frame != nullptr))
            return "a slot holds a frame exactly while a chunk in it is attached";
        attached += in_use;
    }
    if (attached + ra->nwarm + ra->ncold != ra->nslots)
        return "every frame is attached, warm or cold";
    std::vector<const unsigned char *> frames;
    for (size_t slot = 0; slot < ra->nslots; slot++)
        if (const unsigned char *f = ra->chunks[slot].load(std::memory_order_relaxed))
            frames.push_back(f);
    frames.insert(frames.end(), ra->warm, ra->warm + ra->nwarm);
    frames.insert(frames.end(), ra->cold, ra->cold + ra->ncold);
    std::sort(frames.begin(), frames.end());
    for (size_t k = 0; k < frames.size(); k++)
        if (frames[k] != ra->region + k * SP_RING_CHUNK)
            return "each frame of the mapping once";
    if (ra->nslots - ra->ncold < SP_RING_RESIDENT / SP_RING_CHUNK && ra->ncold > 0)
        return "SP_RING_RESIDENT stays resident";
    return nullptr;
}
