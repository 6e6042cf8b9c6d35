// minispread: a single-node Spread daemon for tests, benchmarks and demos.
//
//     minispread [-S] [-p PORT] [-n NAME]
//
// Listens on TCP 127.0.0.1:PORT and on the Unix socket /tmp/PORT (default
// 4803), names itself NAME (default "localhost") in private group names, and
// runs in the foreground until SIGTERM or SIGINT, which close every session
// and remove the socket file.  The Unix socket is created after the TCP
// listener, so once /tmp/PORT exists both accept connections.  -S treats
// slow receivers as a real Spread daemon does (below).
//
// One thread, one epoll loop, non-blocking sockets.  Every message a client
// sends is handled completely (delivered to the output queue of each
// target) before the next one is read, so all sessions see one total order
// of data and membership changes.
//
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
//
// A client that goes away without a KILL message loses nothing it sent: its
// session is disconnected (and the other members told) only once reading
// from its socket gives end of file or an error, that is after every byte
// it holds was read and every whole message in them delivered.  A write to
// it that fails only ends its output.
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "tools/ms_proto.h"

using namespace ms;

namespace {

constexpr int MAX_SESSIONS = 997;           // more get REJECT_QUOTA at once
constexpr int MAX_QUEUED = 1000;            // messages a receiver may have waiting
constexpr int SOFT_QUEUED = 300;            // from here reading from clients pauses...
constexpr int64_t HOLD_BUDGET_MS = 100;     // ...for at most this long per receiver
constexpr int64_t HOLD_WINDOW_MS = 1000;    // in any window of this length
constexpr int64_t HANDSHAKE_MS = 5000;      // a connect and auth exchange must end within this
constexpr size_t IN_HANDSHAKE = 256;
constexpr size_t IN_READY = 192 * 1024;     // holds the largest legal message (48 + 143952 bytes)
// At most this much is read from a client at a time, so that one read's
// messages cannot take a receiver from the pause threshold (SOFT_QUEUED)
// past MAX_QUEUED before the pause is looked at: 32 kB holds at most 409
// of the smallest messages. A larger message is gathered over several reads.
constexpr size_t READ_SLICE = 32 * 1024;
constexpr size_t FLUSH_AT = 64 * 1024;      // pending bytes that trigger an early write
constexpr size_t OUT_KEEP = 1024 * 1024;    // output buffer kept allocated when empty
constexpr int SOCKET_BUFFER = 200 * 1024;   // Unix sockets, each way
constexpr int RING = 1024;                  // message ends remembered per session
static_assert(RING > MAX_QUEUED && (RING & (RING - 1)) == 0);
constexpr size_t HEADER_SIZE = WIRE_HEADER_SIZE;
constexpr size_t SLOT = WIRE_GROUP_SIZE;
static_assert(SOFT_QUEUED + READ_SLICE / (HEADER_SIZE + SLOT) < MAX_QUEUED);

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
    bool backlogged = false;       // in Daemon::backlog
    bool holding = false;          // reading is paused for this session's sake
    bool header_checked = false;   // header at the front of `in` already validated
    int client_version = 0;
    int index = -1;                // position in Daemon::sessions
    char name[MAX_NAME + 1] = {};
    char pg[MAX_GROUP_NAME] = {};  // private group "#name#daemon"
    int64_t deadline = 0;          // end of the handshake allowance (ms)
    int64_t hold_window = 0;       // start of the current hold window (ms)
    int64_t hold_used = 0;         // ms of pause spent on this session in that window

    uint8_t *in = nullptr;         // bytes read and not yet handled: in[0, in_len)
    size_t in_len = 0, in_cap = 0;

    uint8_t *out = nullptr;        // bytes to write: out[out_off, out_len)
    size_t out_off = 0, out_len = 0, out_cap = 0;
    uint64_t out_total = 0;        // bytes ever queued
    uint64_t out_sent = 0;         // bytes ever written
    uint64_t ends[RING];           // out_total at the end of each unwritten message
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

bool by_group_name(const Group *a, const Group *b) { return a->name < b->name; }
bool by_private_group(const Session *a, const Session *b) { return strcmp(a->pg, b->pg) < 0; }

struct Daemon {
    const char *name = "localhost";
    int port = 4803;
    bool never_hold = false;                                 // -S: reading never pauses
    int epfd = -1, tcp_fd = -1, unix_fd = -1;
    std::string unix_path;
    int32_t id = 0, memb_time = 0;
    int64_t now = 0;
    uint64_t stamp = 0;
    bool paused = false;                                     // reading from clients paused
    int64_t pause_checked = 0;                               // last update_pause (ms)
    int handshaking = 0;                                     // sessions not yet ready
    std::map<std::string, Session *, std::less<>> by_name;   // reserved private names
    std::map<std::string, Group *, std::less<>> groups;
    std::vector<Session *> sessions;                         // every open session
    std::vector<Session *> dirty, kills, backlog, graveyard, targets;
    std::vector<uint8_t> scratch;
};

Daemon d;
volatile sig_atomic_t stop_requested = 0;

void on_stop_signal(int) { stop_requested = 1; }

int64_t now_ms()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

// ---------------------------------------------------------------- epoll

void set_events(Session *s)
{
    if (s->dead)
        return;
    uint32_t want = 0;
    if (!(d.paused && s->state == SS_READY))
        want |= EPOLLIN;
    if (s->out_len > s->out_off)
        want |= EPOLLOUT;
    if (want == s->events)
        return;
    epoll_event ev{};
    ev.events = want;
    ev.data.ptr = s;
    if (epoll_ctl(d.epfd, EPOLL_CTL_MOD, s->fd, &ev) == 0)
        s->events = want;
}

// ---------------------------------------------------------------- output

void schedule_kill(Session *s)
{
    if (s->dead || s->kill_pending)
        return;
    s->kill_pending = true;
    d.kills.push_back(s);
}

// Drops a session's output for good once a write to its socket failed: the
// client is gone or going.  What it sent is still read to the end of the
// stream, and the session disconnected there (on_readable).
void end_output(Session *s)
{
    s->gone = true;
    s->out_off = s->out_len = 0;
    s->ends_head = s->ends_count = 0;
    free(s->out);
    s->out = nullptr;
    s->out_cap = 0;
}

// Writes as much queued output as the socket takes.
void flush(Session *s)
{
    while (s->out_len > s->out_off && !s->dead) {
        ssize_t n = send(s->fd, s->out + s->out_off, s->out_len - s->out_off, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            s->out_off += (size_t)n;
            s->out_sent += (uint64_t)n;
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
    set_events(s);
}

// Makes room for n more bytes of output.  Written bytes at the front are
// reclaimed only when they are at least half the buffer, so a long backlog
// is not moved for every message appended to it.
void out_reserve(Session *s, size_t n)
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
    uint8_t *p = (uint8_t *)realloc(s->out, cap);
    if (p == nullptr) {
        fprintf(stderr, "minispread: out of memory\n");
        exit(1);
    }
    s->out = p;
    s->out_cap = cap;
}

void mark_dirty(Session *s)
{
    if (!s->dirty) {
        s->dirty = true;
        d.dirty.push_back(s);
    }
}

// Appends bytes that are not a message (handshake replies).
void queue_raw(Session *s, const uint8_t *p, size_t n)
{
    if (s->gone)
        return;
    out_reserve(s, n);
    memcpy(s->out + s->out_len, p, n);
    s->out_len += n;
    s->out_total += n;
    mark_dirty(s);
}

// Queues one message for s: a 48-byte header, then rest[0, rest_len).  A
// session that already has MAX_QUEUED messages its socket will not take is
// scheduled to be killed and gets nothing more.
void queue_message(Session *s, const uint8_t *header, const uint8_t *rest, size_t rest_len)
{
    if (s->dead || s->kill_pending || s->gone)
        return;
    if (s->ends_count >= MAX_QUEUED) {
        flush(s);
        if (s->gone)
            return;
        if (s->ends_count >= MAX_QUEUED) {
            fprintf(stderr, "minispread: killing session %s for not reading\n", s->pg);
            schedule_kill(s);
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
    mark_dirty(s);
    if (s->out_len - s->out_off >= FLUSH_AT)
        flush(s);
}

// ---------------------------------------------------------------- groups

Group *find_group(std::string_view name)
{
    auto it = d.groups.find(name);
    return it == d.groups.end() ? nullptr : it->second;
}

// Sends the join/leave/disconnect notice for `changed` to every member of g
// that asked for membership messages.
void send_membership(Group *g, uint32_t cause, const Session *changed)
{
    size_t n = g->members.size();
    d.scratch.resize(HEADER_SIZE + n * SLOT + WIRE_MEMB_BODY_SIZE);
    uint8_t *m = d.scratch.data();
    ms_put_header(m, REG_MEMB_MESS | cause, g->name.c_str(), (int32_t)n, wire_hint_encode(0),
                  (int32_t)WIRE_MEMB_BODY_SIZE);
    for (size_t i = 0; i < n; i++)
        wire_group_slot((char *)m + HEADER_SIZE + i * SLOT, g->members[i]->pg);
    int32 gid[3] = {d.id, d.memb_time, g->counter};
    wire_memb_body_encode(m + HEADER_SIZE + n * SLOT, gid, changed->pg);
    for (Session *member : g->members)
        if (member->membership)
            queue_message(member, m, m + HEADER_SIZE, n * SLOT + WIRE_MEMB_BODY_SIZE);
}

void join_group(Session *s, std::string_view name)
{
    Group *g = find_group(name);
    if (g == nullptr) {
        g = new Group;
        g->name = std::string(name);
        d.groups.emplace(g->name, g);
    } else if (std::binary_search(g->members.begin(), g->members.end(), s, by_private_group)) {
        return;   // already a member: nothing happens
    }
    g->members.insert(std::lower_bound(g->members.begin(), g->members.end(), s, by_private_group), s);
    s->groups.insert(std::lower_bound(s->groups.begin(), s->groups.end(), g, by_group_name), g);
    g->counter++;
    send_membership(g, CAUSED_BY_JOIN, s);
}

// Takes s out of g; deletes g when it is empty, else tells the members with
// the given cause.
void remove_member(Group *g, Session *s, uint32_t cause)
{
    g->members.erase(std::lower_bound(g->members.begin(), g->members.end(), s, by_private_group));
    if (g->members.empty()) {
        d.groups.erase(g->name);
        delete g;
        return;
    }
    g->counter++;
    send_membership(g, cause, s);
}

void leave_group(Session *s, std::string_view name)
{
    Group *g = find_group(name);
    if (g == nullptr || !std::binary_search(g->members.begin(), g->members.end(), s, by_private_group))
        return;
    if (s->membership) {
        // Self-leave: a bare CAUSED_BY_LEAVE with the group as sender.
        uint8_t h[HEADER_SIZE];
        ms_put_header(h, CAUSED_BY_LEAVE, g->name.c_str(), 0, wire_hint_encode(0), 0);
        queue_message(s, h, nullptr, 0);
    }
    s->groups.erase(std::lower_bound(s->groups.begin(), s->groups.end(), g, by_group_name));
    remove_member(g, s, CAUSED_BY_LEAVE);
}

// ---------------------------------------------------------------- sessions

void close_socket(Session *s)
{
    epoll_ctl(d.epfd, EPOLL_CTL_DEL, s->fd, nullptr);
    close(s->fd);
}

void forget(Session *s)
{
    s->dead = true;
    if (s->state != SS_READY)
        d.handshaking--;
    if (s->named) {
        d.by_name.erase(s->name);
        s->named = false;
    }
    Session *last = d.sessions.back();
    d.sessions[s->index] = last;
    last->index = s->index;
    d.sessions.pop_back();
    d.graveyard.push_back(s);
}

// Ends a session: closes its socket, drops its output, takes it out of its
// groups in name order (notifying the remaining members) and frees its name.
void disconnect(Session *s)
{
    if (s->dead)
        return;
    close_socket(s);
    std::vector<Group *> groups;
    groups.swap(s->groups);
    forget(s);
    for (Group *g : groups)
        remove_member(g, s, CAUSED_BY_DISCONNECT);
}

void run_kills()
{
    while (!d.kills.empty()) {
        Session *s = d.kills.back();
        d.kills.pop_back();
        disconnect(s);
    }
}

// Refuses a handshake with a one-byte code and closes.  Input still waiting
// is read first so that closing does not reset a TCP connection before the
// client has seen the code.
void reject(Session *s, int code)
{
    int8_t c = (int8_t)code;
    (void)!send(s->fd, &c, 1, MSG_NOSIGNAL | MSG_DONTWAIT);
    uint8_t sink[4096];
    for (int i = 0; i < 16 && recv(s->fd, sink, sizeof sink, MSG_DONTWAIT) > 0; i++) {
    }
    close_socket(s);
    forget(s);
}

void grow_input(Session *s, size_t cap)
{
    if (s->in_cap >= cap)
        return;
    uint8_t *p = (uint8_t *)realloc(s->in, cap);
    if (p == nullptr) {
        fprintf(stderr, "minispread: out of memory\n");
        exit(1);
    }
    s->in = p;
    s->in_cap = cap;
}

void accept_session(Session *s)
{
    snprintf(s->pg, sizeof s->pg, "#%s#%s", s->name, d.name);
    uint8_t reply[8 + MAX_GROUP_NAME];
    size_t n = ms_put_accept(reply, s->client_version, s->pg);
    queue_raw(s, reply, n);
    s->state = SS_READY;
    d.handshaking--;
    grow_input(s, IN_READY);
    set_events(s);
}

// Handles a complete connect message; false when the session was refused.
bool start_session(Session *s, const MsConnect *req)
{
    s->client_version = req->version;
    s->membership = req->membership;
    if (req->name_len > 0) {
        if (d.by_name.count(req->name)) {
            reject(s, REJECT_NOT_UNIQUE);
            return false;
        }
        memcpy(s->name, req->name, sizeof s->name);
    } else {
        // Anonymous: "r<random>-<socket>", cut to 9 characters, until unique.
        do {
            char buf[32];
            snprintf(buf, sizeof buf, "r%d-%d", (int)(random() % 9999), s->fd);
            buf[9] = '\0';
            memcpy(s->name, buf, sizeof s->name);
        } while (d.by_name.count(s->name));
    }
    d.by_name.emplace(s->name, s);
    s->named = true;
    if (s->client_version < AUTH_LIST_SINCE) {
        accept_session(s);
    } else {
        uint8_t list[8];
        queue_raw(s, list, ms_put_auth_list(list));
        s->state = SS_AUTH;
    }
    return true;
}

// Delivers a data message to every session it names, each once.  `rest` is
// the destination slots followed by the body, as the sender wrote them.
void deliver(Session *sender, const WireHeader *h, const uint8_t *rest)
{
    d.stamp++;
    d.targets.clear();
    auto add = [](Session *t) {
        if (t->stamp != d.stamp && !t->dead && t->state == SS_READY) {
            t->stamp = d.stamp;
            d.targets.push_back(t);
        }
    };
    for (int i = 0; i < h->num_groups; i++) {
        const uint8_t *slot = rest + (size_t)i * SLOT;
        std::string_view name((const char *)slot, ms_slot_len(slot));
        if (!name.empty() && name[0] == '#') {
            // Private group "#name#daemon" of a session on this daemon.
            size_t mid = name.find('#', 1);
            if (mid == std::string_view::npos || name.substr(mid + 1) != d.name)
                continue;
            auto it = d.by_name.find(name.substr(1, mid - 1));
            if (it != d.by_name.end())
                add(it->second);
        } else if (Group *g = find_group(name)) {
            for (Session *m : g->members)
                add(m);
        }
    }
    if (d.targets.empty())
        return;
    uint8_t header[HEADER_SIZE];
    ms_put_header(header, h->type, sender->pg, h->num_groups, h->hint_raw, h->data_len);
    size_t rest_len = (size_t)h->num_groups * SLOT + (size_t)h->data_len;
    bool discard_self = (h->type & SELF_DISCARD) != 0;
    for (Session *t : d.targets)
        if (!(discard_self && t == sender))
            queue_message(t, header, rest, rest_len);
}

// Acts on one complete message from s (header already checked).
void handle_message(Session *s, const WireHeader *h, const uint8_t *rest)
{
    if (h->type & WIRE_JOIN_MESS) {
        if (h->num_groups > 0)
            join_group(s, std::string_view((const char *)rest, ms_slot_len(rest)));
    } else if (h->type & WIRE_LEAVE_MESS) {
        if (h->num_groups > 0)
            leave_group(s, std::string_view((const char *)rest, ms_slot_len(rest)));
    } else if (h->type & WIRE_KILL_MESS) {
        schedule_kill(s);
    } else {
        deliver(s, h, rest);
    }
}

// Handles every complete handshake step and message in s's input.
void process_input(Session *s)
{
    size_t pos = 0;
    while (!s->dead && !s->kill_pending) {
        const uint8_t *p = s->in + pos;
        size_t avail = s->in_len - pos;
        if (s->state == SS_CONNECT) {
            MsConnect req;
            int code = 0;
            MsParse r = ms_parse_connect(p, avail, &req, &code);
            if (r == MS_NEED_MORE)
                break;
            if (r == MS_REJECT) {
                reject(s, code);
                return;
            }
            pos += req.consumed;
            if (!start_session(s, &req))
                return;
        } else if (s->state == SS_AUTH) {
            if (avail < AUTH_REPLY_SIZE)
                break;
            if (!ms_auth_ok(p)) {
                reject(s, REJECT_AUTH);
                return;
            }
            pos += AUTH_REPLY_SIZE;
            accept_session(s);
        } else {
            if (avail < HEADER_SIZE)
                break;
            WireHeader h;
            wire_header_decode(p, p + avail, &h);
            if (!s->header_checked) {
                MsHeaderFault f = ms_check_header(&h, s->name, d.name);
                if (f != MS_HEADER_OK) {
                    fprintf(stderr, "minispread: killing session %s: %s\n", s->pg, ms_header_fault_text(f));
                    schedule_kill(s);
                    break;
                }
                s->header_checked = true;
            }
            size_t need = HEADER_SIZE + (size_t)h.num_groups * SLOT + (size_t)h.data_len;
            if (avail < need)
                break;
            s->header_checked = false;
            handle_message(s, &h, p + HEADER_SIZE);
            pos += need;
            run_kills();
        }
    }
    if (s->dead)
        return;
    if (pos > 0) {
        memmove(s->in, s->in + pos, s->in_len - pos);
        s->in_len -= pos;
    }
}

void on_readable(Session *s)
{
    if (s->in_len == s->in_cap) {
        schedule_kill(s);   // cannot happen: a whole legal message always fits
        run_kills();
        return;
    }
    size_t room = s->in_cap - s->in_len;
    ssize_t n = recv(s->fd, s->in + s->in_len, room < READ_SLICE ? room : READ_SLICE, MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
        return;
    if (n > 0) {
        s->in_len += (size_t)n;
        process_input(s);
    } else if (!s->dead && s->state != SS_READY) {
        close_socket(s);   // gave up during the handshake
        forget(s);
    } else {
        // End of stream or a socket error, which the kernel gives only
        // once everything that arrived before it was read.
        schedule_kill(s);
    }
    run_kills();
}

void on_accept(int listen_fd, bool tcp)
{
    for (;;) {
        int fd = accept4(listen_fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED)
                continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK)
                fprintf(stderr, "minispread: accept: %s\n", strerror(errno));
            return;
        }
        if ((int)d.sessions.size() >= MAX_SESSIONS) {
            int8_t c = REJECT_QUOTA;
            (void)!send(fd, &c, 1, MSG_NOSIGNAL | MSG_DONTWAIT);
            close(fd);
            continue;
        }
        // TCP keeps the kernel's automatic buffer sizing: with fixed 200 kB
        // buffers, a receiver that kept up on the Unix socket fell behind on
        // loopback TCP and was killed.
        int size = SOCKET_BUFFER, one = 1;
        if (tcp) {
            setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof one);
        } else {
            setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
            setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
        }
        Session *s = new Session;
        s->fd = fd;
        s->deadline = d.now + HANDSHAKE_MS;
        grow_input(s, IN_HANDSHAKE);
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.ptr = s;
        if (epoll_ctl(d.epfd, EPOLL_CTL_ADD, fd, &ev) != 0) {
            fprintf(stderr, "minispread: epoll_ctl: %s\n", strerror(errno));
            close(fd);
            free(s->in);
            delete s;
            continue;
        }
        s->events = EPOLLIN;
        s->index = (int)d.sessions.size();
        d.sessions.push_back(s);
        d.handshaking++;
    }
}

// ---------------------------------------------------------------- loop

// Recomputes whether reading from clients is paused for a backlogged
// receiver, charging the time paused since the last call to the sessions
// that were holding; returns the epoll timeout that the pause needs (-1:
// none).
int update_pause()
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
            set_events(s);
    }
    return (int)wake;
}

// Closes handshakes that ran out of time; returns the epoll timeout until
// the next deadline (-1: none).
int expire_handshakes()
{
    int64_t wake = -1;
    if (d.handshaking == 0)
        return -1;
    for (size_t i = 0; i < d.sessions.size();) {
        Session *s = d.sessions[i];
        if (s->state == SS_READY) {
            i++;
            continue;
        }
        int64_t left = s->deadline - d.now;
        if (left <= 0) {
            close_socket(s);
            forget(s);   // moves another session into slot i
            continue;
        }
        if (wake < 0 || left < wake)
            wake = left;
        i++;
    }
    return (int)wake;
}

void flush_dirty()
{
    // flush() may schedule kills, whose notices dirty more sessions.
    while (!d.dirty.empty()) {
        std::vector<Session *> batch;
        batch.swap(d.dirty);
        for (Session *s : batch) {
            s->dirty = false;
            flush(s);
        }
        run_kills();
    }
}

void bury_dead()
{
    for (Session *s : d.graveyard) {
        free(s->in);
        free(s->out);
        delete s;
    }
    d.graveyard.clear();
}

int listen_tcp(int port)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        fprintf(stderr, "minispread: socket: %s\n", strerror(errno));
        return -1;
    }
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons((uint16_t)port);
    if (bind(fd, (sockaddr *)&addr, sizeof addr) != 0 || listen(fd, 128) != 0) {
        fprintf(stderr, "minispread: cannot listen on 127.0.0.1:%d: %s\n", port, strerror(errno));
        close(fd);
        return -1;
    }
    return fd;
}

// Listens on the Unix socket `path`.  The socket is bound and listening
// under a temporary name first and then renamed over `path` (replacing any
// old file), so a client that finds the file can connect at once.
int listen_unix(const std::string &path)
{
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        fprintf(stderr, "minispread: socket: %s\n", strerror(errno));
        return -1;
    }
    std::string tmp = path + ".new" + std::to_string(getpid());
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    snprintf(addr.sun_path, sizeof addr.sun_path, "%s", tmp.c_str());
    unlink(tmp.c_str());
    if (bind(fd, (sockaddr *)&addr, sizeof addr) != 0 || listen(fd, 128) != 0 ||
        chmod(tmp.c_str(), 0666) != 0 || rename(tmp.c_str(), path.c_str()) != 0) {
        fprintf(stderr, "minispread: cannot listen on %s: %s\n", path.c_str(), strerror(errno));
        unlink(tmp.c_str());
        close(fd);
        return -1;
    }
    return fd;
}

void add_listener(int fd, bool tcp)
{
    epoll_event ev{};
    ev.events = EPOLLIN;
    // Listeners are told apart from sessions by these two tokens.
    ev.data.ptr = tcp ? (void *)&d.tcp_fd : (void *)&d.unix_fd;
    epoll_ctl(d.epfd, EPOLL_CTL_ADD, fd, &ev);
}

void shutdown_all()
{
    for (Session *s : d.sessions) {
        flush(s);   // one last try for what is queued
        close(s->fd);
        d.graveyard.push_back(s);
    }
    d.sessions.clear();
    bury_dead();
    for (auto &entry : d.groups)
        delete entry.second;
    d.groups.clear();
    close(d.tcp_fd);
    close(d.unix_fd);
    close(d.epfd);
    unlink(d.unix_path.c_str());
}

void run()
{
    sigset_t blocked, during_wait;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGTERM);
    sigaddset(&blocked, SIGINT);
    sigprocmask(SIG_BLOCK, &blocked, &during_wait);
    sigdelset(&during_wait, SIGTERM);
    sigdelset(&during_wait, SIGINT);

    epoll_event events[256];
    int timeout = -1;
    while (!stop_requested) {
        int n = epoll_pwait(d.epfd, events, 256, timeout, &during_wait);
        if (n < 0 && errno != EINTR) {
            fprintf(stderr, "minispread: epoll_wait: %s\n", strerror(errno));
            break;
        }
        d.now = now_ms();
        for (int i = 0; i < n; i++) {
            void *tag = events[i].data.ptr;
            if (tag == &d.tcp_fd) {
                on_accept(d.tcp_fd, true);
                continue;
            }
            if (tag == &d.unix_fd) {
                on_accept(d.unix_fd, false);
                continue;
            }
            Session *s = (Session *)tag;
            uint32_t ev = events[i].events;
            if (s->dead)
                continue;
            if (ev & EPOLLOUT)
                flush(s);
            if (s->dead || s->kill_pending)
                continue;
            // While paused a ready session is read only when it is going away
            // (so that the hangup is not reported over and over).
            bool hangup = (ev & (EPOLLHUP | EPOLLERR)) != 0;
            if ((ev & EPOLLIN) || hangup) {
                if (!d.paused || s->state != SS_READY || hangup)
                    on_readable(s);
            }
        }
        run_kills();
        flush_dirty();
        int t1 = update_pause();
        int t2 = expire_handshakes();
        timeout = t1 < 0 ? t2 : (t2 < 0 ? t1 : std::min(t1, t2));
        bury_dead();
    }
    shutdown_all();
}

void usage()
{
    fprintf(stderr, "usage: minispread [-S] [-p PORT] [-n NAME]\n");
    exit(1);
}

}  // namespace

int main(int argc, char **argv)
{
    int opt;
    opterr = 0;
    while ((opt = getopt(argc, argv, "Sp:n:")) != -1) {
        switch (opt) {
        case 'S':
            d.never_hold = true;
            break;
        case 'p': {
            char *end;
            long p = strtol(optarg, &end, 10);
            if (*optarg == '\0' || *end != '\0' || p < 1 || p > 65535) {
                fprintf(stderr, "minispread: illegal port \"%s\"\n", optarg);
                return 1;
            }
            d.port = (int)p;
            break;
        }
        case 'n':
            if (!ms_legal_name(optarg, strlen(optarg), MAX_DAEMON_NAME)) {
                fprintf(stderr, "minispread: illegal daemon name \"%s\" (1 to %d characters from '$' to '~')\n",
                        optarg, MAX_DAEMON_NAME);
                return 1;
            }
            d.name = optarg;
            break;
        default:
            usage();
        }
    }
    if (optind != argc)
        usage();

    signal(SIGPIPE, SIG_IGN);
    struct sigaction sa{};
    sa.sa_handler = on_stop_signal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);

    rlimit rl;
    if (getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur < rl.rlim_max) {
        rl.rlim_cur = rl.rlim_max;
        setrlimit(RLIMIT_NOFILE, &rl);
    }

    srandom((unsigned)time(nullptr) ^ (unsigned)getpid());
    d.id = ms_daemon_id(d.name);
    d.memb_time = (int32_t)time(nullptr);
    d.now = now_ms();
    d.unix_path = "/tmp/" + std::to_string(d.port);
    d.epfd = epoll_create1(EPOLL_CLOEXEC);
    if (d.epfd < 0) {
        fprintf(stderr, "minispread: epoll_create1: %s\n", strerror(errno));
        return 1;
    }
    d.tcp_fd = listen_tcp(d.port);
    if (d.tcp_fd < 0)
        return 1;
    d.unix_fd = listen_unix(d.unix_path);
    if (d.unix_fd < 0)
        return 1;
    add_listener(d.tcp_fd, true);
    add_listener(d.unix_fd, false);
    run();
    return 0;
}
