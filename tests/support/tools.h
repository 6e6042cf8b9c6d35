// Helpers for the tests of minispread and spcat: a minispread process on a
// free port, raw protocol clients (for what the library never sends), and a
// bounded receive through the client library.
#pragma once

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "spread/sp.h"
#include "process.h"

namespace tools_test {

using namespace wkp_test;

// A minispread on a free port.  Stopped with SIGTERM on destruction, so its
// socket file goes away with it.
struct Minispread {
    Process proc;
    int port = -1;

    // On a free port, or on `on_port` (a restart on the same port).
    bool start(const std::vector<std::string> &extra = {}, int on_port = -1)
    {
        port = on_port > 0 ? on_port : free_port();
        std::vector<std::string> argv = {bin("minispread"), "-p", std::to_string(port)};
        argv.insert(argv.end(), extra.begin(), extra.end());
        if (!proc.start(argv))
            return false;
        return wait_until([&] { return file_exists(socket_path()) || !proc.running(); }) &&
               proc.running();
    }
    std::string socket_path() const { return "/tmp/" + std::to_string(port); }
    std::string unix_name() const { return std::to_string(port); }
    std::string tcp_name() const { return std::to_string(port) + "@127.0.0.1"; }
    void stop()
    {
        if (proc.running()) {
            proc.signal(SIGTERM);
            proc.wait();
        }
    }
    ~Minispread() { stop(); }
};

// --------------------------------------------------------- raw clients

inline int raw_socket(int port)
{
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    snprintf(addr.sun_path, sizeof addr.sun_path, "/tmp/%d", port);
    if (connect(fd, (sockaddr *)&addr, sizeof addr) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

inline bool send_bytes(int fd, const std::string &b)
{
    size_t off = 0;
    while (off < b.size()) {
        ssize_t n = send(fd, b.data() + off, b.size() - off, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        off += (size_t)n;
    }
    return true;
}

// Reads exactly n bytes within timeout_ms; false on timeout, EOF or error.
inline bool recv_bytes(int fd, size_t n, std::string *out, int timeout_ms = 30000)
{
    out->clear();
    while (out->size() < n) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, timeout_ms) <= 0)
            return false;
        char buf[65536];
        ssize_t r = recv(fd, buf, std::min(sizeof buf, n - out->size()), 0);
        if (r <= 0)
            return false;
        out->append(buf, (size_t)r);
    }
    return true;
}

// Reads and discards until end of stream; false if the stream stays open
// (or keeps delivering) for timeout_ms.
inline bool wait_closed(int fd, int timeout_ms = 30000)
{
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, timeout_ms) <= 0)
            return false;
        char buf[65536];
        ssize_t r = recv(fd, buf, sizeof buf, 0);
        if (r <= 0)
            return true;
    }
}

// The connect message of a 5.0.1 library.
inline std::string connect_message(const std::string &name, bool membership = true, int major = 5,
                                   int minor = 0, int patch = 1)
{
    std::string m;
    m += (char)major;
    m += (char)minor;
    m += (char)patch;
    m += (char)(membership ? 1 : 0);
    m += (char)name.size();
    return m + name;
}

inline std::string null_auth() { return std::string("NULL") + std::string(86, '\0'); }

// Runs the whole handshake on a raw socket; returns the socket with
// *private_group set, or -1.
inline int raw_session(int port, const std::string &name, std::string *private_group, bool membership = true)
{
    int fd = raw_socket(port);
    std::string b;
    if (fd < 0 || !send_bytes(fd, connect_message(name, membership)) || !recv_bytes(fd, 6, &b) ||
        b != std::string("\x05NULL ", 6) || !send_bytes(fd, null_auth()) || !recv_bytes(fd, 5, &b) ||
        b[0] != 1 || !recv_bytes(fd, (unsigned char)b[4], private_group)) {
        if (fd >= 0)
            close(fd);
        return -1;
    }
    return fd;
}

inline std::string le32(uint32_t v)
{
    std::string s(4, '\0');
    for (int i = 0; i < 4; i++)
        s[i] = (char)(v >> (8 * i));
    return s;
}

inline std::string slot(const std::string &name)
{
    std::string s = name.substr(0, 32);
    s.resize(32, '\0');
    return s;
}

// A little-endian message header as a client writes it; type and hint get
// the endian marker ORed in unless raw is set.
inline std::string header(uint32_t type, const std::string &sender, int32_t num_groups, uint32_t hint,
                          int32_t data_len, bool raw = false)
{
    uint32_t mark = raw ? 0 : 0x80000080u;
    return le32(type | mark) + slot(sender) + le32((uint32_t)num_groups) + le32(hint | mark) +
           le32((uint32_t)data_len);
}

// Raw bytes of a join of `group` from the session whose private group is pg.
inline std::string raw_join(const std::string &pg, const std::string &group)
{
    return header(0x00010000, pg, 1, 0, 0) + slot(group);
}

// The number of a numbered_line, -1 for any other body.
inline int line_number(const std::string &body)
{
    if (body.size() < 8 || body[7] != ' ')
        return -1;
    for (int i = 0; i < 7; i++)
        if (body[i] < '0' || body[i] > '9')
            return -1;
    return atoi(body.substr(0, 7).c_str());
}

// ----------------------------------------------------- library receive

// One message as SP_receive gave it.
struct Received {
    int ret = 0;              // SP_receive's result, or TIMED_OUT
    service svc = 0;
    std::string sender;
    int num_groups = 0;
    std::vector<std::string> groups;
    int16 mess_type = 0;
    int endian_mismatch = 0;
    std::string body;         // the bytes delivered into the buffer
};

constexpr int TIMED_OUT = 1000000;

// Waits up to timeout_ms for something to receive, then calls SP_receive
// with the given flags (service_type on entry) and buffer sizes.
inline Received receive(mailbox m, int timeout_ms = 30000, service flags = 0, int max_groups = 100,
                        int max_len = 150000)
{
    Received r;
    if (SP_poll(m) <= 0) {
        pollfd p{m, POLLIN, 0};
        if (poll(&p, 1, timeout_ms) <= 0) {
            r.ret = TIMED_OUT;
            return r;
        }
    }
    std::vector<char> body((size_t)max_len + 1);
    std::vector<char> groups((size_t)std::max(max_groups, 1) * MAX_GROUP_NAME);
    char sender[MAX_GROUP_NAME] = {};
    r.svc = flags;
    r.ret = SP_receive(m, &r.svc, sender, max_groups, &r.num_groups, (char(*)[MAX_GROUP_NAME])groups.data(),
                       &r.mess_type, &r.endian_mismatch, max_len, body.data());
    r.sender.assign(sender, strnlen(sender, MAX_GROUP_NAME));
    int delivered_groups = std::min(std::abs(r.num_groups), max_groups);
    if (r.ret >= 0 || (r.ret == BUFFER_TOO_SHORT && (flags & DROP_RECV)))
        for (int i = 0; i < delivered_groups; i++) {
            const char *g = &groups[(size_t)i * MAX_GROUP_NAME];
            r.groups.emplace_back(g, strnlen(g, MAX_GROUP_NAME));
        }
    if (r.ret >= 0)
        r.body.assign(body.data(), (size_t)std::min(r.ret, max_len));
    else if (r.ret == BUFFER_TOO_SHORT && (flags & DROP_RECV))
        r.body.assign(body.data(), (size_t)max_len);
    return r;
}

// Connects through the library; -1 on failure.
inline mailbox connect_as(const std::string &daemon, const char *name, bool membership = true,
                          std::string *private_group = nullptr)
{
    mailbox m = -1;
    char pg[MAX_GROUP_NAME] = {};
    if (SP_connect(daemon.c_str(), name, 0, membership ? 1 : 0, &m, pg) != ACCEPT_SESSION)
        return -1;
    if (private_group)
        *private_group = pg;
    return m;
}

// Returns once the daemon has handled everything m sent so far (joins
// included): m sends a message to its own private group pg and waits for it,
// passing over membership messages.  False if anything else arrives first.
inline bool settle(mailbox m, const std::string &pg)
{
    if (SP_multicast(m, AGREED_MESS, pg.c_str(), 0, 6, "settle") != 6)
        return false;
    for (;;) {
        Received r = receive(m);
        if (r.ret == TIMED_OUT || r.ret < 0)
            return false;
        if (Is_regular_mess(r.svc))
            return r.body == "settle" && r.sender == pg;
    }
}

// True when nothing more was on its way to m: a message m sends to its own
// private group pg is the next thing it receives, membership messages
// included.  What the daemon handled before that message and meant for m
// would have come first.
inline bool nothing_else_for(mailbox m, const std::string &pg)
{
    if (SP_multicast(m, AGREED_MESS, pg.c_str(), 0, 4, "last") != 4)
        return false;
    Received r = receive(m);
    return Is_regular_mess(r.svc) && r.body == "last" && r.sender == pg;
}

}  // namespace tools_test
