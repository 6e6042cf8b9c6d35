// Sessions: the connect and auth handshake, reading what clients send and
// acting on it (joins, leaves, kills, data messages delivered to their
// targets), and ending sessions.
//
// Every message a client sends is handled completely (delivered to the
// output queue of each target) before the next one is read, so all
// sessions see one total order of data and membership changes.
//
// A client that goes away without a KILL message loses nothing it sent: its
// session is disconnected (and the other members told) only once reading
// from its socket gives end of file or an error, that is after every byte
// it holds was read and every whole message in them delivered.  A write to
// it that fails only ends its output.
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "tools/minispread/daemon.h"

namespace minispread {

static void close_socket(Daemon &d, Session *s)
{
    epoll_ctl(d.epfd, EPOLL_CTL_DEL, s->fd, nullptr);
    close(s->fd);
}

static void forget(Daemon &d, Session *s)
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
static void disconnect(Daemon &d, Session *s)
{
    if (s->dead)
        return;
    close_socket(d, s);
    std::vector<Group *> groups;
    groups.swap(s->groups);
    forget(d, s);
    for (Group *g : groups)
        remove_member(d, g, s, CAUSED_BY_DISCONNECT);
}

void run_kills(Daemon &d)
{
    while (!d.kills.empty()) {
        Session *s = d.kills.back();
        d.kills.pop_back();
        disconnect(d, s);
    }
}

// Refuses a handshake with a one-byte code and closes.  Input still waiting
// is read first so that closing does not reset a TCP connection before the
// client has seen the code.
static void reject(Daemon &d, Session *s, int code)
{
    int8_t c = (int8_t)code;
    (void)!send(s->fd, &c, 1, MSG_NOSIGNAL | MSG_DONTWAIT);
    uint8_t sink[4096];
    for (int i = 0; i < 16 && recv(s->fd, sink, sizeof sink, MSG_DONTWAIT) > 0; i++) {
    }
    close_socket(d, s);
    forget(d, s);
}

void grow_input(Session *s, size_t cap)
{
    if (s->in_cap >= cap)
        return;
    s->in = grow_buffer(s->in, cap);
    s->in_cap = cap;
}

static void accept_session(Daemon &d, Session *s)
{
    snprintf(s->pg, sizeof s->pg, "#%s#%s", s->name, d.name);
    uint8_t reply[8 + MAX_GROUP_NAME];
    size_t n = ms_put_accept(reply, s->client_version, s->pg);
    queue_raw(d, s, reply, n);
    s->state = SS_READY;
    d.handshaking--;
    grow_input(s, IN_READY);
    set_events(d, s);
}

// Handles a complete connect message; false when the session was refused.
static bool start_session(Daemon &d, Session *s, const MsConnect *req)
{
    s->client_version = req->version;
    s->membership = req->membership;
    if (req->name_len > 0) {
        if (d.by_name.count(req->name)) {
            reject(d, s, REJECT_NOT_UNIQUE);
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
        accept_session(d, s);
    } else {
        uint8_t list[8];
        queue_raw(d, s, list, ms_put_auth_list(list));
        s->state = SS_AUTH;
    }
    return true;
}

// Delivers a data message to every session it names, each once.  `rest` is
// the destination slots followed by the body, as the sender wrote them.
static void deliver(Daemon &d, Session *sender, const WireHeader *h, const uint8_t *rest)
{
    d.stamp++;
    d.targets.clear();
    auto add = [&d](Session *t) {
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
        } else if (Group *g = find_group(d, name)) {
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
            queue_message(d, t, header, rest, rest_len);
}

// Acts on one complete message from s (header already checked).
static void handle_message(Daemon &d, Session *s, const WireHeader *h, const uint8_t *rest)
{
    if (h->type & WIRE_JOIN_MESS) {
        if (h->num_groups > 0)
            join_group(d, s, std::string_view((const char *)rest, ms_slot_len(rest)));
    } else if (h->type & WIRE_LEAVE_MESS) {
        if (h->num_groups > 0)
            leave_group(d, s, std::string_view((const char *)rest, ms_slot_len(rest)));
    } else if (h->type & WIRE_KILL_MESS) {
        schedule_kill(d, s);
    } else {
        deliver(d, s, h, rest);
    }
}

// Handles every complete handshake step and message in s's input.
static void process_input(Daemon &d, Session *s)
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
                reject(d, s, code);
                return;
            }
            pos += req.consumed;
            if (!start_session(d, s, &req))
                return;
        } else if (s->state == SS_AUTH) {
            if (avail < AUTH_REPLY_SIZE)
                break;
            if (!ms_auth_ok(p)) {
                reject(d, s, REJECT_AUTH);
                return;
            }
            pos += AUTH_REPLY_SIZE;
            accept_session(d, s);
        } else {
            if (avail < HEADER_SIZE)
                break;
            WireHeader h;
            wire_header_decode(p, p + avail, &h);
            if (!s->header_checked) {
                MsHeaderFault f = ms_check_header(&h, s->name, d.name);
                if (f != MS_HEADER_OK) {
                    fprintf(stderr, "minispread: killing session %s: %s\n", s->pg, ms_header_fault_text(f));
                    schedule_kill(d, s);
                    break;
                }
                s->header_checked = true;
            }
            size_t need = HEADER_SIZE + (size_t)h.num_groups * SLOT + (size_t)h.data_len;
            if (avail < need)
                break;
            s->header_checked = false;
            handle_message(d, s, &h, p + HEADER_SIZE);
            pos += need;
            run_kills(d);
        }
    }
    if (s->dead)
        return;
    if (pos > 0) {
        memmove(s->in, s->in + pos, s->in_len - pos);
        s->in_len -= pos;
    }
}

void on_readable(Daemon &d, Session *s)
{
    if (s->in_len == s->in_cap) {
        schedule_kill(d, s);   // cannot happen: a whole legal message always fits
        run_kills(d);
        return;
    }
    size_t room = s->in_cap - s->in_len;
    ssize_t n = recv(s->fd, s->in + s->in_len, room < READ_SLICE ? room : READ_SLICE, MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
        return;
    if (n > 0) {
        s->in_len += (size_t)n;
        process_input(d, s);
    } else if (!s->dead && s->state != SS_READY) {
        close_socket(d, s);   // gave up during the handshake
        forget(d, s);
    } else {
        // End of stream or a socket error, which the kernel gives only
        // once everything that arrived before it was read.
        schedule_kill(d, s);
    }
    run_kills(d);
}

// Closes handshakes that ran out of time; returns the epoll timeout until
// the next deadline (-1: none).
int expire_handshakes(Daemon &d)
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
            close_socket(d, s);
            forget(d, s);   // moves another session into slot i
            continue;
        }
        if (wake < 0 || left < wake)
            wake = left;
        i++;
    }
    return (int)wake;
}

void bury_dead(Daemon &d)
{
    for (Session *s : d.graveyard) {
        free(s->in);
        free(s->out);
        delete s;
    }
    d.graveyard.clear();
}

}  // namespace minispread
