// Output: each session has a byte queue.  Messages are appended and written
// out in large batches.  Senders are never slowed down for a receiver: every
// client is read as soon as its bytes arrive, and what a slow receiver's
// socket does not take waits here, in the daemon's memory.  A receiver is
// killed ("not reading") only when a message comes that would take what
// waits for it past d.queue_limit bytes (QUEUE_LIMIT, 256 MiB, unless -q
// says otherwise).  With -S, the real daemon's policy, a receiver is killed
// as soon as it has MAX_QUEUED messages waiting and another one comes,
// however briefly it was away.
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>

#include "tools/minispread/daemon.h"

namespace minispread {

void schedule_kill(Daemon &d, Session *s)
{
    if (s->dead || s->kill_pending)
        return;
    s->kill_pending = true;
    d.kills.push_back(s);
}

// Drops a session's output for good once a write to its socket failed: the
// client is gone or going.  What it sent is still read to the end of the
// stream, and the session disconnected there (on_readable).
static void end_output(Session *s)
{
    s->gone = true;
    s->out_off = s->out_len = 0;
    s->ends_head = s->ends_count = 0;
    free(s->out);
    s->out = nullptr;
    s->out_cap = 0;
}

// Writes as much queued output as the socket takes: in one send, or with
// -1 one send per message (bytes that are not a message go with the
// message after them).  A socket that refused bytes is tried again only
// once the loop saw it writable (or when `force`): a receiver that lags
// costs no write per message.
void flush(Daemon &d, Session *s, bool force)
{
    if (force)
        s->stalled = false;
    while (s->out_len > s->out_off && !s->dead && !s->stalled) {
        size_t len = s->out_len - s->out_off;
        if (d.one_per_write && s->ends_count > 0 && s->ends[s->ends_head] - s->out_sent < len)
            len = (size_t)(s->ends[s->ends_head] - s->out_sent);
        ssize_t n = send(s->fd, s->out + s->out_off, len, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            s->out_off += (size_t)n;
            s->out_sent += (uint64_t)n;
            while (s->ends_count > 0 && s->ends[s->ends_head] <= s->out_sent) {
                s->ends_head = (s->ends_head + 1) & (RING - 1);
                s->ends_count--;
            }
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            s->stalled = true;
            break;
        }
        end_output(s);
        break;
    }
    while (s->ends_count > 0 && s->ends[s->ends_head] <= s->out_sent) {
        s->ends_head = (s->ends_head + 1) & (RING - 1);
        s->ends_count--;
    }
    if (s->out_off == s->out_len) {
        s->out_off = s->out_len = 0;
        if (s->out_cap > OUT_KEEP) {   // give back what a backlog made it grow to
            free(s->out);
            s->out = nullptr;
            s->out_cap = 0;
        }
    }
    set_events(d, s);
}

// Makes room for n more bytes of output.  Written bytes at the front are
// reclaimed only when they are at least half the buffer, so a long backlog
// is not moved for every message appended to it.
static void out_reserve(Session *s, size_t n)
{
    if (s->out_cap - s->out_len >= n)
        return;
    if (s->out_off > 0 && s->out_off >= s->out_cap / 2) {
        memmove(s->out, s->out + s->out_off, s->out_len - s->out_off);
        s->out_len -= s->out_off;
        s->out_off = 0;
        if (s->out_cap - s->out_len >= n)
            return;
    }
    size_t cap = s->out_cap ? s->out_cap : 64 * 1024;
    while (cap - s->out_len < n)
        cap *= 2;
    s->out = grow_buffer(s->out, cap);
    s->out_cap = cap;
}

static void mark_dirty(Daemon &d, Session *s)
{
    if (!s->dirty) {
        s->dirty = true;
        d.dirty.push_back(s);
    }
}

// Appends bytes that are not a message (handshake replies).
void queue_raw(Daemon &d, Session *s, const uint8_t *p, size_t n)
{
    if (s->gone)
        return;
    out_reserve(s, n);
    memcpy(s->out + s->out_len, p, n);
    s->out_len += n;
    s->out_total += n;
    mark_dirty(d, s);
}

// True when s may not take a message of n more bytes: with -S when
// MAX_QUEUED messages wait for it, always when the bytes waiting would go
// past the bound.
static bool queue_full(const Daemon &d, const Session *s, size_t n)
{
    if (d.count_queued && s->ends_count >= MAX_QUEUED)
        return true;
    return s->out_len - s->out_off + n > d.queue_limit;
}

// Queues one message for s: a 48-byte header, then rest[0, rest_len).  A
// session whose socket will not take what waits for it, when the message
// would take that past its bound, is scheduled to be killed and gets
// nothing more.
void queue_message(Daemon &d, Session *s, const uint8_t *header, const uint8_t *rest, size_t rest_len)
{
    if (s->dead || s->kill_pending || s->gone)
        return;
    size_t n = HEADER_SIZE + rest_len;
    if (queue_full(d, s, n)) {
        flush(d, s, true);
        if (s->gone)
            return;
        if (queue_full(d, s, n)) {
            fprintf(stderr, "minispread: killing session %s for not reading\n", s->pg);
            schedule_kill(d, s);
            return;
        }
    }
    out_reserve(s, n);
    memcpy(s->out + s->out_len, header, HEADER_SIZE);
    if (rest_len > 0)
        memcpy(s->out + s->out_len + HEADER_SIZE, rest, rest_len);
    s->out_len += n;
    s->out_total += n;
    // With -S every message's end is kept (never more than MAX_QUEUED);
    // with -1 alone, those of the first RING waiting: past them a lagging
    // receiver's rest goes in sends as large as its socket takes.
    if (d.count_queued || (d.one_per_write && s->ends_count < RING)) {
        s->ends[(s->ends_head + s->ends_count) & (RING - 1)] = s->out_total;
        s->ends_count++;
    }
    mark_dirty(d, s);
    if (s->out_len - s->out_off >= FLUSH_AT)
        flush(d, s);
}

void flush_dirty(Daemon &d)
{
    // flush(d) may schedule kills, whose notices dirty more sessions.
    while (!d.dirty.empty()) {
        std::vector<Session *> batch;
        batch.swap(d.dirty);
        for (Session *s : batch) {
            s->dirty = false;
            flush(d, s);
        }
        run_kills(d);
    }
}

}  // namespace minispread
