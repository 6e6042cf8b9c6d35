// Listeners and the loop: one thread, one epoll loop, non-blocking
// sockets.  The listeners are told apart from sessions by their tokens.
#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "tools/minispread/daemon.h"

namespace minispread {

void set_events(Daemon &d, Session *s)
{
    if (s->dead)
        return;
    uint32_t want = EPOLLIN;
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

static void on_accept(Daemon &d, int listen_fd, bool tcp)
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

// The TCP listener.  Its sessions inherit a small largest segment
// (TCP_SEGMENT).  Loopback's is 64 kB, and a kernel that receives segments
// smaller than the largest one it has seen delays their acknowledgement
// until the daemon reads or writes: a client streaming small messages then
// fills its congestion window and keeps its next messages in its own
// kernel.  If it ends with copies of its own unread, its kernel resets the
// connection and throws those messages away, which no daemon can deliver.
// With the small segment every second one is acknowledged at once, within
// the client's own send on loopback, and the client's kernel holds nothing
// back (large messages still go as one loopback packet of many segments).
int listen_tcp(int port)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        fprintf(stderr, "minispread: socket: %s\n", strerror(errno));
        return -1;
    }
    int one = 1, segment = TCP_SEGMENT;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (setsockopt(fd, IPPROTO_TCP, TCP_MAXSEG, &segment, sizeof segment) != 0) {
        fprintf(stderr, "minispread: setsockopt TCP_MAXSEG: %s\n", strerror(errno));
        close(fd);
        return -1;
    }
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

void add_listener(Daemon &d, int fd, bool tcp)
{
    epoll_event ev{};
    ev.events = EPOLLIN;
    // Listeners are told apart from sessions by these two tokens.
    ev.data.ptr = tcp ? (void *)&d.tcp_fd : (void *)&d.unix_fd;
    epoll_ctl(d.epfd, EPOLL_CTL_ADD, fd, &ev);
}

static void shutdown_all(Daemon &d)
{
    for (Session *s : d.sessions) {
        flush(d, s, true);   // one last try for what is queued
        close(s->fd);
        d.graveyard.push_back(s);
    }
    d.sessions.clear();
    bury_dead(d);
    for (auto &entry : d.groups)
        delete entry.second;
    d.groups.clear();
    close(d.tcp_fd);
    close(d.unix_fd);
    close(d.epfd);
    unlink(d.unix_path.c_str());
}

void run(Daemon &d)
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
                on_accept(d, d.tcp_fd, true);
                continue;
            }
            if (tag == &d.unix_fd) {
                on_accept(d, d.unix_fd, false);
                continue;
            }
            Session *s = (Session *)tag;
            uint32_t ev = events[i].events;
            if (s->dead)
                continue;
            if (ev & EPOLLOUT)
                flush(d, s, true);
            if (s->dead || s->kill_pending)
                continue;
            // Every sender is read as soon as its bytes arrive, whatever
            // waits for the receivers: nothing is left in its kernel.
            if (ev & (EPOLLIN | EPOLLHUP | EPOLLERR))
                on_readable(d, s);
        }
        run_kills(d);
        flush_dirty(d);
        timeout = expire_handshakes(d);
        bury_dead(d);
    }
    shutdown_all(d);
}

}  // namespace minispread
