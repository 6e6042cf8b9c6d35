// Sessions: the registry of mailboxes, daemon names, the authentication
// methods, the connect handshake, SP_disconnect and SP_kill.
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/param.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

#include "spread/client.h"

namespace {

// The registry. Guarded by registry_lock; a session itself is used by one
// application thread at a time, beside its own reader thread (see sp.h).
std::mutex registry_lock;
std::vector<SpSession *> registry;  // indexed by mailbox
int registry_count = 0;

constexpr unsigned char LIB_MAJOR = 5, LIB_MINOR = 0, LIB_PATCH = 1;
constexpr size_t AUTH_SLOT = 30;        // one method name, NUL-padded
constexpr int MAX_AUTH_METHODS = 3;
constexpr size_t AUTH_REPLY_SIZE = AUTH_SLOT * MAX_AUTH_METHODS;
constexpr int MAX_AUTH_LIST = 90;

// The authentication methods SP_connect offers, for the whole process
// (SP_set_auth_method). Guarded by auth_lock; a connect works on a copy.
struct AuthMethod {
    char name[AUTH_SLOT];  // NUL-terminated, 1..29 characters
    int (*func)(int, void *);  // null for NULL's, which exchanges nothing
    void *data;
};
struct AuthMethods {
    AuthMethod m[MAX_AUTH_METHODS];
    int count;
};
std::mutex auth_lock;
AuthMethods auth_methods = {{{"NULL", nullptr, nullptr}}, 1};

// Checks one method as SP_set_auth_method(s) takes it; false to refuse.
bool auth_method_valid(const char *name, int (*func)(int, void *))
{
    if (!name)
        return false;
    size_t n = strnlen(name, AUTH_SLOT);
    if (n == 0 || n >= AUTH_SLOT)
        return false;
    return func || strcmp(name, "NULL") == 0;
}

// Milliseconds left before deadline (a time in ms of CLOCK_MONOTONIC), -1
// for no deadline, 0 once it has passed.
long long now_ms()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (long long)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

int remaining_ms(long long deadline)
{
    if (deadline < 0)
        return -1;
    long long left = deadline - now_ms();
    if (left <= 0)
        return 0;
    return left > 1000000000 ? 1000000000 : (int)left;
}

// Waits for events on fd until the deadline. Returns 1 when ready, 0 on
// timeout, -1 on error.
int wait_fd(int fd, short events, long long deadline)
{
    for (;;) {
        struct pollfd p = {fd, events, 0};
        int r = poll(&p, 1, remaining_ms(deadline));
        if (r > 0)
            return 1;
        if (r == 0)
            return 0;
        if (errno != EINTR)
            return -1;
    }
}

// Reads exactly n handshake bytes. Returns 0, CONNECTION_CLOSED on end of
// file or error, COULD_NOT_CONNECT when the deadline passes.
int read_exact(int fd, unsigned char *buf, size_t n, long long deadline)
{
    size_t got = 0;
    while (got < n) {
        int w = wait_fd(fd, POLLIN, deadline);
        if (w == 0)
            return COULD_NOT_CONNECT;
        if (w < 0)
            return CONNECTION_CLOSED;
        ssize_t r = recv(fd, buf + got, n - got, MSG_DONTWAIT);
        if (r > 0)
            got += (size_t)r;
        else if (r == 0)
            return CONNECTION_CLOSED;
        else if (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK)
            return CONNECTION_CLOSED;
    }
    return 0;
}

// Sends one handshake message. The real daemon reads each one with a single
// non-blocking read, so it goes out in one send; the loop only finishes a
// send the kernel cut short.
int write_all(int fd, const unsigned char *buf, size_t n, long long deadline)
{
    size_t sent = 0;
    while (sent < n) {
        ssize_t r = send(fd, buf + sent, n - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (r > 0) {
            sent += (size_t)r;
            continue;
        }
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            int w = wait_fd(fd, POLLOUT, deadline);
            if (w == 0)
                return COULD_NOT_CONNECT;
            if (w > 0)
                continue;
        }
        return CONNECTION_CLOSED;
    }
    return 0;
}

// Connects a blocking socket, bounded by the deadline. Returns 0 or -1.
int connect_fd(int fd, const struct sockaddr *addr, socklen_t len, long long deadline)
{
    int flags = fcntl(fd, F_GETFL);
    if (deadline >= 0 && flags >= 0)
        fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    int r = connect(fd, addr, len);
    // A Unix socket whose daemon is busy answers EAGAIN while non-blocking:
    // try again until the deadline.
    while (r < 0 && errno == EAGAIN && addr->sa_family == AF_UNIX && remaining_ms(deadline) != 0) {
        usleep(1000);
        r = connect(fd, addr, len);
    }
    if (r < 0 && (errno == EINPROGRESS || errno == EINTR)) {
        if (wait_fd(fd, POLLOUT, deadline) != 1)
            return -1;
        int err = 0;
        socklen_t el = sizeof err;
        if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &el) < 0 || err != 0)
            return -1;
        r = 0;
    }
    if (flags >= 0)
        fcntl(fd, F_SETFL, flags);
    return r < 0 ? -1 : 0;
}

// Opens the socket to the daemon. Returns the descriptor, or ILLEGAL_SPREAD
// or COULD_NOT_CONNECT.
int open_socket(const SpDaemonAddress *a, long long deadline)
{
    if (!a->tcp) {
        struct sockaddr_un sun;
        memset(&sun, 0, sizeof sun);
        sun.sun_family = AF_UNIX;
        snprintf(sun.sun_path, sizeof sun.sun_path, "/tmp/%u", (unsigned)a->port);
        int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0)
            return COULD_NOT_CONNECT;
        if (connect_fd(fd, (struct sockaddr *)&sun, sizeof sun, deadline) < 0) {
            close(fd);
            return COULD_NOT_CONNECT;
        }
        return fd;
    }
    struct addrinfo hints;
    memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    char port[8];
    snprintf(port, sizeof port, "%u", (unsigned)a->port);
    struct addrinfo *res = nullptr;
    int g = getaddrinfo(a->host, port, &hints, &res);
    if (g != 0)
        return (g == EAI_NONAME || g == EAI_NODATA) ? ILLEGAL_SPREAD : COULD_NOT_CONNECT;
    struct addrinfo *ai = res;
    while (ai && ai->ai_family != AF_INET && ai->ai_family != AF_INET6)
        ai = ai->ai_next;
    if (!ai) {
        freeaddrinfo(res);
        return ILLEGAL_SPREAD;
    }
    int fd = socket(ai->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || connect_fd(fd, ai->ai_addr, ai->ai_addrlen, deadline) < 0) {
        if (fd >= 0)
            close(fd);
        freeaddrinfo(res);
        return COULD_NOT_CONNECT;
    }
    freeaddrinfo(res);
    int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    return fd;
}

// True when the space-separated method list names method.
bool lists_method(const unsigned char *list, size_t n, const char *method)
{
    size_t len = strlen(method);
    size_t i = 0;
    while (i < n) {
        while (i < n && list[i] == ' ')
            i++;
        size_t start = i;
        while (i < n && list[i] != ' ')
            i++;
        if (i - start == len && memcmp(list + start, method, len) == 0)
            return true;
    }
    return false;
}

// The handshake on a connected socket. Returns ACCEPT_SESSION with the
// private group in pg (NUL-terminated), or an error code.
int handshake(int fd, const char *private_name, int priority, int group_membership,
              char pg[MAX_GROUP_NAME], long long deadline)
{
    unsigned char msg[5 + MAX_PRIVATE_NAME];
    size_t n = private_name ? strnlen(private_name, MAX_PRIVATE_NAME) : 0;
    msg[0] = LIB_MAJOR;
    msg[1] = LIB_MINOR;
    msg[2] = LIB_PATCH;
    msg[3] = (unsigned char)((group_membership ? 1 : 0) | ((priority >= 1 ? 1 : 0) << 4));
    msg[4] = (unsigned char)n;
    if (n)
        memcpy(msg + 5, private_name, n);
    int r = write_all(fd, msg, 5 + n, deadline);
    if (r != 0)
        return r;

    // The authentication methods, or a reject code in place of their length.
    unsigned char b;
    if ((r = read_exact(fd, &b, 1, deadline)) != 0)
        return r;
    int len = (signed char)b;
    if (len < 0)
        return len;
    if (len > MAX_AUTH_LIST)
        return CONNECTION_CLOSED;
    unsigned char list[MAX_AUTH_LIST];
    if ((r = read_exact(fd, list, (size_t)len, deadline)) != 0)
        return r;
    // Every method offered must be one the daemon lists; if not, nothing
    // is sent. Then the names, and each method's own exchange.
    AuthMethods methods;
    {
        std::lock_guard<std::mutex> g(auth_lock);
        methods = auth_methods;
    }
    unsigned char reply[AUTH_REPLY_SIZE] = {};
    for (int i = 0; i < methods.count; i++) {
        if (!lists_method(list, (size_t)len, methods.m[i].name))
            return REJECT_AUTH;
        memcpy(reply + AUTH_SLOT * (size_t)i, methods.m[i].name, strlen(methods.m[i].name));
    }
    if ((r = write_all(fd, reply, sizeof reply, deadline)) != 0)
        return r;
    for (int i = 0; i < methods.count; i++)
        if (methods.m[i].func && !methods.m[i].func(fd, methods.m[i].data))
            return REJECT_AUTH;

    // Accept byte, daemon version, private group.
    if ((r = read_exact(fd, &b, 1, deadline)) != 0)
        return r;
    if ((signed char)b != ACCEPT_SESSION)
        return (signed char)b;
    unsigned char v[4];
    if ((r = read_exact(fd, v, 4, deadline)) != 0)
        return r;
    int major = (signed char)v[0], minor = (signed char)v[1], patch = (signed char)v[2];
    int m = (signed char)v[3];
    if (major < 0 || minor < 0 || patch < 0 || m < 0 || m >= MAX_GROUP_NAME)
        return CONNECTION_CLOSED;
    if (major < 3)
        return REJECT_VERSION;
    if (priority > 0 && major * 10000 + minor * 100 + patch < 30800)
        return REJECT_VERSION;
    unsigned char name[MAX_GROUP_NAME];
    if ((r = read_exact(fd, name, (size_t)m, deadline)) != 0)
        return r;
    memcpy(pg, name, (size_t)m);
    pg[m] = '\0';
    return ACCEPT_SESSION;
}

}  // namespace

int sp_parse_daemon_name(const char *name, SpDaemonAddress *out)
{
    if (!name || !*name)
        name = "4803";
    size_t len = strnlen(name, MAXHOSTNAMELEN + 7);
    if (len > MAXHOSTNAMELEN + 6)
        return ILLEGAL_SPREAD;
    size_t i = 0;
    unsigned long port = 0;
    while (name[i] >= '0' && name[i] <= '9' && i < 5)
        port = port * 10 + (unsigned long)(name[i++] - '0');
    if (i == 0 || port > 65535 || (name[i] >= '0' && name[i] <= '9'))
        return ILLEGAL_SPREAD;
    memset(out, 0, sizeof *out);
    out->port = (unsigned short)port;
    if (name[i] == '\0')
        return 0;
    if (name[i] != '@' || name[i + 1] == '\0')
        return ILLEGAL_SPREAD;
    out->tcp = true;
    memcpy(out->host, name + i + 1, len - i - 1);  // len <= 70 < sizeof host
    out->host[len - i - 1] = '\0';
    return 0;
}

SpSession *sp_session_get(mailbox mbox)
{
    std::lock_guard<std::mutex> g(registry_lock);
    if (mbox < 0 || (size_t)mbox >= registry.size())
        return nullptr;
    return registry[(size_t)mbox];
}

int sp_session_add(SpSession *s)
{
    std::lock_guard<std::mutex> g(registry_lock);
    if (registry_count >= SP_MAX_SESSIONS)
        return REJECT_QUOTA;
    if ((size_t)s->fd >= registry.size())
        registry.resize((size_t)s->fd + 1, nullptr);
    registry[(size_t)s->fd] = s;
    registry_count++;
    return 0;
}

void sp_session_remove(mailbox mbox)
{
    SpSession *s;
    {
        std::lock_guard<std::mutex> g(registry_lock);
        if (mbox < 0 || (size_t)mbox >= registry.size() || !registry[(size_t)mbox])
            return;
        s = registry[(size_t)mbox];
        registry[(size_t)mbox] = nullptr;
        registry_count--;
    }
    // The reader thread uses the socket: it ends before the socket closes.
    sp_read_ahead_free(s);
    close(s->fd);
    delete s;
}

int sp_session_adopt(int fd, const char *private_group)
{
    SpSession *s = new SpSession();
    s->fd = fd;
    wire_group_slot(s->private_group, private_group);
    int r = sp_session_add(s);
    if (r != 0)
        delete s;
    return r;
}

extern "C" int SP_set_auth_method(const char *auth_name, int (*auth_function)(int, void *),
                                  void *auth_data)
{
    return SP_set_auth_methods(1, &auth_name, &auth_function, &auth_data);
}

extern "C" int SP_set_auth_methods(int num_methods, const char *auth_name[],
                                   int (*auth_function[])(int, void *), void *auth_data[])
{
    if (num_methods < 1 || num_methods > MAX_AUTH_METHODS || !auth_name)
        return 0;
    AuthMethods methods = {};
    for (int i = 0; i < num_methods; i++) {
        int (*func)(int, void *) = auth_function ? auth_function[i] : nullptr;
        if (!auth_method_valid(auth_name[i], func))
            return 0;
        AuthMethod &m = methods.m[i];
        memcpy(m.name, auth_name[i], strlen(auth_name[i]) + 1);
        m.func = func;
        m.data = auth_data ? auth_data[i] : nullptr;
    }
    methods.count = num_methods;
    std::lock_guard<std::mutex> g(auth_lock);
    auth_methods = methods;
    return 1;
}

extern "C" int SP_connect_timeout(const char *spread_name, const char *private_name,
                                  int priority, int group_membership, mailbox *mbox,
                                  char *private_group, sp_time time_out)
{
    if (time_out.sec < 0 || time_out.usec < 0 || time_out.usec >= 1000000)
        return ILLEGAL_TIME;
    long long deadline = -1;
    if (time_out.sec != 0 || time_out.usec != 0)
        deadline = now_ms() + (long long)time_out.sec * 1000 + time_out.usec / 1000;

    SpDaemonAddress addr;
    if (sp_parse_daemon_name(spread_name, &addr) != 0)
        return ILLEGAL_SPREAD;
    {
        std::lock_guard<std::mutex> g(registry_lock);
        if (registry_count >= SP_MAX_SESSIONS)
            return REJECT_QUOTA;
    }
    int fd = open_socket(&addr, deadline);
    if (fd < 0)
        return fd;
    char pg[MAX_GROUP_NAME];
    int r = handshake(fd, private_name, priority, group_membership, pg, deadline);
    if (r != ACCEPT_SESSION) {
        close(fd);
        return r;
    }
    SpSession *s = new SpSession();
    s->fd = fd;
    memcpy(s->private_group, pg, MAX_GROUP_NAME);
    if ((r = sp_session_add(s)) != 0) {
        close(fd);
        delete s;
        return r;
    }
    if (mbox)
        *mbox = fd;
    if (private_group)
        memcpy(private_group, pg, strlen(pg) + 1);
    return ACCEPT_SESSION;
}

extern "C" int SP_connect(const char *spread_name, const char *private_name, int priority,
                          int group_membership, mailbox *mbox, char *private_group)
{
    sp_time none = {0, 0};
    return SP_connect_timeout(spread_name, private_name, priority, group_membership, mbox,
                              private_group, none);
}

extern "C" int SP_disconnect(mailbox mbox)
{
    SpSession *s = sp_session_get(mbox);
    if (!s)
        return ILLEGAL_SESSION;
    if (!s->broken) {
        char slot[MAX_GROUP_NAME];
        wire_group_slot(slot, s->private_group);
        sp_send_message(s, WIRE_KILL_MESS, 1, slot, wire_hint_encode(0), nullptr, 0);
    }
    sp_session_remove(mbox);
    return 0;
}

extern "C" void SP_kill(mailbox mbox) { sp_session_remove(mbox); }
