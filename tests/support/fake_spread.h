// A scripted fake Spread daemon for the client library's tests: a listener
// on TCP 127.0.0.1 and on /tmp/PORT, whose side of each connection is played
// by the test (or a thread of it) on the accepted socket; messages built
// byte by byte as a daemon of either byte order sends them; SP_receive with
// its results gathered; and scoped guards for the library's process-wide
// settings a test changes.
//
// Threads a test starts here are std::jthread, and a writer shuts its socket
// before it is joined: a failed assertion that leaves a test early leaves
// no thread behind, no socket open and no setting changed.
#pragma once

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <climits>
#include <cstdint>
#include <cstring>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "spread/client.h"
#include "spread/sp.h"
#include "tools.h"

namespace spread_test {

using tools_test::recv_bytes;
using tools_test::send_bytes;
using tools_test::slot;

inline std::string to_hex(const std::string &s)
{
    static const char digits[] = "0123456789abcdef";
    std::string h;
    for (unsigned char c : s) {
        h += digits[c >> 4];
        h += digits[c & 15];
    }
    return h;
}

// Bytes until end of file. The bound (60 s without a byte) only stops a
// test that hangs: a peer that closes may be slow to on a loaded machine.
inline std::string read_to_eof(int fd)
{
    std::string all;
    char buf[4096];
    for (;;) {
        struct pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, 60000) <= 0)
            return all + "<timeout>";
        ssize_t r = recv(fd, buf, sizeof buf, 0);
        if (r <= 0)
            return all;
        all.append(buf, (size_t)r);
    }
}

// The listener. port is -1 when it could not listen.
struct FakeDaemon {
    int tcp_fd = -1;
    int unix_fd = -1;
    int port = -1;
    std::string unix_path;

    FakeDaemon()
    {
        tcp_fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (bind(tcp_fd, (sockaddr *)&a, sizeof a) != 0 || listen(tcp_fd, 8) != 0 ||
            getsockname(tcp_fd, (sockaddr *)&a, &len) != 0)
            return;
        // Ports from bind(0) are above those the other tests draw, and this
        // one stays bound as long as its Unix socket exists.
        int p = ntohs(a.sin_port);
        unix_path = "/tmp/" + std::to_string(p);
        if (wkp_test::file_exists(unix_path))
            return;
        unix_fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un u{};
        u.sun_family = AF_UNIX;
        snprintf(u.sun_path, sizeof u.sun_path, "%s", unix_path.c_str());
        if (bind(unix_fd, (sockaddr *)&u, sizeof u) != 0 || listen(unix_fd, 8) != 0)
            return;
        port = p;
    }
    FakeDaemon(const FakeDaemon &) = delete;
    FakeDaemon &operator=(const FakeDaemon &) = delete;
    ~FakeDaemon()
    {
        if (port >= 0)
            unlink(unix_path.c_str());
        close(tcp_fd);
        close(unix_fd);
    }
    std::string name(bool tcp) const
    {
        return tcp ? std::to_string(port) + "@127.0.0.1" : std::to_string(port);
    }
    // The next connection, or -1 when none comes within 5 s.
    int accept_one(bool tcp) const
    {
        struct pollfd p = {tcp ? tcp_fd : unix_fd, POLLIN, 0};
        if (poll(&p, 1, 5000) != 1)
            return -1;
        return accept4(p.fd, nullptr, nullptr, SOCK_CLOEXEC);
    }
};

inline std::string accept_reply(const std::string &pg)
{
    return std::string("\x01\x05\x00\x01", 4) + (char)pg.size() + pg;
}

// The daemon's side of a good handshake: the connect message as the first
// read got it, and the authentication reply.
struct Handshake {
    std::string connect_msg, auth_reply;
    bool ok = false;
};

// Plays a handshake that lists the given methods ("NULL " by default) and
// accepts whatever reply comes.
inline Handshake good_handshake(int fd, const std::string &pg, const std::string &methods = "NULL ")
{
    Handshake h;
    char buf[100];
    ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n <= 0)
        return h;
    h.connect_msg.assign(buf, (size_t)n);
    if (!send_bytes(fd, (char)methods.size() + methods) || !recv_bytes(fd, 90, &h.auth_reply))
        return h;
    h.ok = send_bytes(fd, accept_reply(pg));
    return h;
}

// One connected session; srv is the daemon's end, owned by the test.
struct Live {
    mailbox mbox = -1;
    int srv = -1;
    int result = 0;
    char pg[MAX_GROUP_NAME] = {};
    Handshake hs;
    Live() = default;
    Live(const Live &) = delete;
    Live &operator=(const Live &) = delete;
    ~Live()
    {
        if (mbox >= 0)
            SP_kill(mbox);
        if (srv >= 0)
            close(srv);
    }
};

// Connects a session through the library while the fake daemon accepts it
// with a good handshake. l->result is what SP_connect returned.
inline void open_live(Live *l, FakeDaemon &d, const char *name = "alice", int priority = 0, int membership = 1,
                      bool tcp = false)
{
    std::jthread t([&] {
        l->srv = d.accept_one(tcp);
        if (l->srv >= 0)
            l->hs = good_handshake(l->srv, std::string("#") + (name ? name : "r1-2") + "#localhost");
    });
    l->result = SP_connect(d.name(tcp).c_str(), name, priority, membership, &l->mbox, l->pg);
}

// A message as a daemon sends it.
struct Msg {
    uint32_t type = AGREED_MESS;
    std::string sender = "#bob#localhost";
    std::vector<std::string> groups = {"grp"};
    int16 mess_type = 0;
    std::string body;
    bool big_endian = false;       // the daemon's byte order
    bool hint_big_endian = false;  // the original sender's byte order
    uint32_t old_type = 0;         // reject messages
    int64_t num_groups = UNSET;    // override of groups.size()
    int64_t data_len = UNSET;      // override of body.size()
    static constexpr int64_t UNSET = INT64_MIN;
};

inline void put32(std::string &s, uint32_t v, bool big)
{
    for (int i = 0; i < 4; i++)
        s += (char)(big ? (v >> (24 - 8 * i)) & 0xff : (v >> (8 * i)) & 0xff);
}

inline std::string build(const Msg &m)
{
    std::string s;
    put32(s, m.big_endian ? m.type : m.type | 0x80000080u, m.big_endian);
    s += slot(m.sender);
    put32(s, (uint32_t)(m.num_groups != Msg::UNSET ? m.num_groups : (int64_t)m.groups.size()), m.big_endian);
    uint32_t hint = ((uint32_t)(uint16_t)m.mess_type << 8) | (m.hint_big_endian ? 0 : 0x80000080u);
    put32(s, hint, m.hint_big_endian);
    put32(s, (uint32_t)(m.data_len != Msg::UNSET ? m.data_len : (int64_t)m.body.size()), m.big_endian);
    if (m.type & REJECT_MESS)
        put32(s, m.big_endian ? m.old_type : m.old_type | 0x80000080u, m.big_endian);
    for (const std::string &g : m.groups)
        s += slot(g);
    return s + m.body;
}

// A data message whose body is i in decimal, padded with dots to body_size.
inline std::string numbered(int i, size_t body_size)
{
    Msg m;
    m.body = std::to_string(i);
    m.body.resize(body_size, '.');
    return build(m);
}

// What one SP_receive gave.
struct Got {
    int ret = 0;
    service type = 0;
    std::string sender;
    int num_groups = 0;
    std::vector<std::string> groups;
    int16 mess_type = 0;
    int endian = 0;
    std::string body;
};

// Fills g from what a receive left in sender, the group slots and the
// body's room `delivered` (all of it, of which g.ret bytes are the body).
inline void gather(Got *g, service in_type, const char *sender, const std::vector<char> &groups, int max_groups,
                   const std::string &delivered)
{
    g->sender.assign(sender, strnlen(sender, MAX_GROUP_NAME));
    int shown = g->num_groups < 0 ? max_groups : g->num_groups;
    if (g->ret >= 0 || g->ret == BUFFER_TOO_SHORT)
        for (int i = 0; i < shown && i < max_groups; i++)
            g->groups.emplace_back(&groups[(size_t)i * MAX_GROUP_NAME]);
    if (g->ret >= 0)
        g->body = delivered.substr(0, (size_t)g->ret);
    else if (g->ret == BUFFER_TOO_SHORT && (in_type & DROP_RECV))
        g->body = delivered;
}

inline Got receive(mailbox m, service in_type, int max_groups, int max_len)
{
    Got g;
    char sender[MAX_GROUP_NAME];
    memset(sender, 0, sizeof sender);
    std::vector<char> groups((size_t)(max_groups > 0 ? max_groups : 1) * MAX_GROUP_NAME, 0);
    std::vector<char> body((size_t)(max_len > 0 ? max_len : 1), 0);
    g.type = in_type;
    g.ret = SP_receive(m, &g.type, sender, max_groups, &g.num_groups, (char(*)[MAX_GROUP_NAME])groups.data(),
                       &g.mess_type, &g.endian, max_len, body.data());
    gather(&g, in_type, sender, groups, max_groups, std::string(body.data(), (size_t)(max_len > 0 ? max_len : 0)));
    return g;
}

inline Got receive(mailbox m, int max_groups = 10, int max_len = 1000) { return receive(m, 0, max_groups, max_len); }

// A thread writing to the daemon's end of a session. Should the test leave
// before joining it, the destructor shuts that end, so that the writer's
// sends fail and it ends, and then joins it.
struct Writer {
    int fd;
    std::jthread thread;
    explicit Writer(int fd) : fd(fd) {}
    template <class Fn> Writer(int fd, Fn fn) : fd(fd), thread(std::move(fn)) {}
    Writer(const Writer &) = delete;
    Writer &operator=(const Writer &) = delete;
    ~Writer()
    {
        if (thread.joinable())
            shutdown(fd, SHUT_RDWR);
    }
    template <class Fn> void start(Fn fn) { thread = std::jthread(std::move(fn)); }
    void join() { thread.join(); }
};

// The read-ahead bound given to sessions that start reading ahead while it
// lives (sp_readahead_bytes); the one before comes back on destruction.
struct ReadAheadBound {
    size_t saved;
    explicit ReadAheadBound(size_t bytes) : saved(sp_readahead_bytes) { sp_readahead_bytes = bytes; }
    ReadAheadBound(const ReadAheadBound &) = delete;
    ReadAheadBound &operator=(const ReadAheadBound &) = delete;
    ~ReadAheadBound() { sp_readahead_bytes = saved; }
};

// The authentication methods SP_connect offers while it lives; the default
// (NULL alone) comes back on destruction.
struct AuthMethodsSet {
    int result;
    AuthMethodsSet(int num, const char *names[], int (*funcs[])(int, void *), void *data[])
        : result(SP_set_auth_methods(num, names, funcs, data))
    {
    }
    AuthMethodsSet(const char *name, int (*func)(int, void *), void *data)
        : result(SP_set_auth_method(name, func, data))
    {
    }
    AuthMethodsSet(const AuthMethodsSet &) = delete;
    AuthMethodsSet &operator=(const AuthMethodsSet &) = delete;
    ~AuthMethodsSet() { SP_set_auth_method("NULL", nullptr, nullptr); }
};

// The fixture of the client library's session tests: a fake daemon
// listening.
class SpreadSession : public ::testing::Test {
protected:
    FakeDaemon daemon;
    void SetUp() override { ASSERT_GE(daemon.port, 0) << "fake daemon could not listen"; }
};

}  // namespace spread_test
