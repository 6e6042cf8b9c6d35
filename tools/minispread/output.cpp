// Output: each session has a byte queue.  Messages are appended and written
// out in large batches; a session that has MAX_QUEUED messages its socket
// would not take when another one arrives is killed ("not reading").  So
// that a receiver that keeps up on average survives being off the CPU for a
// moment, reading from clients pauses while some session has SOFT_QUEUED or
// more messages waiting, but each session may hold the senders back for at
// most HOLD_BUDGET_MS in any HOLD_WINDOW_MS: a receiver that stops reading,
// or reads more slowly than the senders write, is still killed.  With -S
// reading never pauses, as in a real daemon, which never slows senders down
// for a receiver: a receiver is killed as soon as it has MAX_QUEUED messages
// waiting and another one comes, however briefly it was away.
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
// message after them).
void flush(Daemon &d, Session *s)
{
    while (s->out_len > s->out_off && !s->dead) {
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
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            break;
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
    if (s->ends_count >= SOFT_QUEUED && !s->backlogged && !d.never_hold) {
        s->backlogged = true;
        d.backlog.push_back(s);
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

// Queues one message for s: a 48-byte header, then rest[0, rest_len).  A
// session that already has MAX_QUEUED messages its socket will not take is
// scheduled to be killed and gets nothing more.
void queue_message(Daemon &d, Session *s, const uint8_t *header, const uint8_t *rest, size_t rest_len)
{
    if (s->dead || s->kill_pending || s->gone)
        return;
    if (s->ends_count >= MAX_QUEUED) {
        flush(d, s);
        if (s->gone)
            return;
        if (s->ends_count >= MAX_QUEUED) {
            fprintf(stderr, "minispread: killing session %s for not reading\n", s->pg);
            schedule_kill(d, s);
            return;
        }
    }
    size_t n = HEADER_SIZE + rest_len;
    out_reserve(s, n);
    memcpy(s->out + s->out_len, header, HEADER_SIZE);
    if (rest_len > 0)
        memcpy(s->out + s->out_len + HEADER_SIZE, rest, rest_len);
    s->out_len += n;
    s->out_total += n;
    s->ends[(s->ends_head + s->ends_count) & (RING - 1)] = s->out_total;
    s->ends_count++;
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

// Recomputes whether reading from clients is paused for a backlogged
// receiver, charging the time paused since the last call to the sessions
// that were holding; returns the epoll timeout that the pause needs (-1:
// none).
int update_pause(Daemon &d)
{
    int64_t elapsed = d.now - d.pause_checked;
    d.pause_checked = d.now;
    bool paused = false;
    int64_t wake = -1;
    for (size_t i = 0; i < d.backlog.size();) {
        Session *s = d.backlog[i];
        if (s->holding && d.paused)
            s->hold_used += elapsed;
        if (d.now - s->hold_window >= HOLD_WINDOW_MS) {
            s->hold_window = d.now;
            s->hold_used = 0;
        }
        if (s->dead || s->ends_count < SOFT_QUEUED) {
            s->backlogged = s->holding = false;
            d.backlog[i] = d.backlog.back();
            d.backlog.pop_back();
            continue;
        }
        int64_t left = HOLD_BUDGET_MS - s->hold_used;
        s->holding = left > 0;
        if (s->holding) {
            paused = true;
            if (wake < 0 || left < wake)
                wake = left;
        }
        i++;
    }
    if (paused != d.paused) {
        d.paused = paused;
        for (Session *s : d.sessions)
            set_events(d, s);
    }
    return (int)wake;
}

}  // namespace minispread
