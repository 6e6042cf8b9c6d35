#include "daemon/metrics_http.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "config/settings.h"
#include "daemon/metrics.h"
#include "output/clock.h"

namespace {

int listen_fd = -1;
int wake_fd = -1;  // eventfd written by the thread, read by the loop

// The request and its answer, between the thread and the loop. Never
// destroyed: the thread may still wait on it while the process exits.
struct Exchange {
    std::mutex lock;
    std::condition_variable answered;
    unsigned long long asked = 0;     // the thread's last request
    unsigned long long given = 0;     // the request the text answers
    std::string text;
};
Exchange &exchange = *new Exchange;
// Set by the thread after it asked, cleared by the loop as it answers.
std::atomic<bool> wanted{false};

bool starts_with(std::string_view s, std::string_view prefix) { return s.substr(0, prefix.size()) == prefix; }

// The text for a scrape: the loop's families, asked for and waited for
// within http_loop_wait_ms, then the process series; false when the loop
// did not answer in time.
bool scrape_text(std::string *text)
{
    std::unique_lock<std::mutex> hold(exchange.lock);
    unsigned long long request = ++exchange.asked;
    hold.unlock();
    // The eventfd first: the loop that sees the flag drains it, so it is
    // never left readable under a loop that has nothing to answer.
    uint64_t one = 1;
    (void)!write(wake_fd, &one, sizeof one);
    wanted.store(true, std::memory_order_release);
    hold.lock();
    if (!exchange.answered.wait_for(hold, std::chrono::milliseconds(http_loop_wait_ms),
                                    [&] { return exchange.given >= request; }))
        return false;
    *text = exchange.text;
    hold.unlock();
    metrics_process_block(text);
    return true;
}

// One client connection.
struct Client {
    int fd;
    std::string in;              // the request's bytes so far
    std::string out;             // the answer, once known
    size_t sent = 0;
    long long deadline_ms;       // of the request's head, then of the answer
    bool answering = false;
};

std::string status_answer(const char *status, const char *extra_headers, const char *body)
{
    std::string answer = "HTTP/1.1 ";
    answer += status;
    answer += "\r\nContent-Type: text/plain; charset=utf-8\r\nContent-Length: ";
    answer += std::to_string(strlen(body));
    answer += "\r\n";
    answer += extra_headers;
    answer += "Connection: close\r\n\r\n";
    answer += body;
    return answer;
}

std::string answer_for(HttpAnswer what)
{
    switch (what) {
    case HTTP_METRICS:
    case HTTP_METRICS_HEAD: {
        std::string text;
        if (!scrape_text(&text))
            return status_answer("503 Service Unavailable", "", "The daemon's loop did not answer in time.\n");
        std::string answer = "HTTP/1.1 200 OK\r\nContent-Type: text/plain; version=0.0.4; charset=utf-8\r\n"
                             "Content-Length: " +
                             std::to_string(text.size()) + "\r\nConnection: close\r\n\r\n";
        if (what == HTTP_METRICS)
            answer += text;
        return answer;
    }
    case HTTP_NOT_FOUND:
        return status_answer("404 Not Found", "", "Not found: the metrics are at /metrics.\n");
    case HTTP_NOT_ALLOWED:
        return status_answer("405 Method Not Allowed", "Allow: GET, HEAD\r\n", "Only GET and HEAD are answered.\n");
    case HTTP_TOO_LARGE:
        return status_answer("431 Request Header Fields Too Large", "", "Request head too large.\n");
    case HTTP_BAD_REQUEST:
    case HTTP_INCOMPLETE:
        break;
    }
    return status_answer("400 Bad Request", "", "Bad request.\n");
}

void finish(Client &c)
{
    // What the client sent beyond its head and has arrived is read and
    // forgotten (64 KiB at most: a client that keeps sending is not
    // followed), so that closing does not reset the connection under the
    // answer.
    char sink[4096];
    (void)!shutdown(c.fd, SHUT_WR);
    for (int i = 0; i < 16 && read(c.fd, sink, sizeof sink) > 0; i++) {
    }
    close(c.fd);
    c.fd = -1;
}

// Reads what the client sent; decides the answer once the head is whole.
void take_input(Client &c)
{
    char buffer[4096];
    for (;;) {
        ssize_t n = read(c.fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno == EAGAIN)
            break;
        if (n <= 0) {  // ended before its head did, or failed
            close(c.fd);
            c.fd = -1;
            return;
        }
        c.in.append(buffer, static_cast<size_t>(n));
        if (c.in.size() > http_request_max)
            break;
    }
    HttpAnswer what = metrics_http_request(c.in);
    if (what == HTTP_INCOMPLETE)
        return;
    c.out = answer_for(what);
    c.answering = true;
    c.deadline_ms = clock_ms() + http_response_ms;
}

// Writes what the client takes of the answer; closes when all was taken.
void give_output(Client &c)
{
    while (c.sent < c.out.size()) {
        ssize_t n = send(c.fd, c.out.data() + c.sent, c.out.size() - c.sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno == EAGAIN)
            return;
        if (n <= 0) {
            close(c.fd);
            c.fd = -1;
            return;
        }
        c.sent += static_cast<size_t>(n);
    }
    finish(c);
}

void accept_clients(std::vector<Client> &clients, long long now)
{
    for (int i = 0; i < 64; i++) {
        int fd = accept4(listen_fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0)
            return;  // none left (EAGAIN), or EMFILE and the like: tried again later
        if (clients.size() >= static_cast<size_t>(http_connections_max)) {
            close(fd);  // one too many: closed at once
            continue;
        }
        clients.push_back(Client{fd, {}, {}, 0, now + http_request_ms, false});
    }
}

void *serve(void *)
{
    std::vector<Client> clients;
    std::vector<pollfd> set;
    long long listen_paused_until = 0;
    for (;;) {
        long long now = clock_ms();
        set.clear();
        bool listening = now >= listen_paused_until;
        set.push_back(pollfd{listening ? listen_fd : -1, POLLIN, 0});
        long long next = now + 60000;
        for (const Client &c : clients) {
            set.push_back(pollfd{c.fd, static_cast<short>(c.answering ? POLLOUT : POLLIN), 0});
            if (c.deadline_ms < next)
                next = c.deadline_ms;
        }
        if (!listening && listen_paused_until < next)
            next = listen_paused_until;
        int timeout = next > now ? static_cast<int>(next - now) : 0;
        if (poll(set.data(), set.size(), timeout) < 0 && errno != EINTR) {
            // Cannot happen with valid descriptors; a pause keeps it from spinning.
            poll(nullptr, 0, 100);
            continue;
        }
        now = clock_ms();
        for (size_t k = 0; k < clients.size(); k++) {
            Client &c = clients[k];
            short revents = set[k + 1].revents;
            if (revents != 0 && !c.answering)
                take_input(c);
            if (c.fd >= 0 && c.answering)
                give_output(c);
            if (c.fd >= 0 && clock_ms() >= c.deadline_ms) {
                close(c.fd);  // too slow to ask, or to take the answer
                c.fd = -1;
            }
        }
        std::erase_if(clients, [](const Client &c) { return c.fd < 0; });
        if (listening && set[0].revents != 0) {
            size_t before = clients.size();
            accept_clients(clients, now);
            // Readable and nothing accepted: out of descriptors; look again soon.
            if (clients.size() == before && (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM))
                listen_paused_until = now + 100;
        }
    }
}

}  // namespace

HttpAnswer metrics_http_request(std::string_view request)
{
    size_t end = request.find("\r\n\r\n");
    size_t bare = request.find("\n\n");
    if (bare < end)
        end = bare;
    if (end == std::string_view::npos)
        return request.size() > http_request_max ? HTTP_TOO_LARGE : HTTP_INCOMPLETE;
    if (end > http_request_max)
        return HTTP_TOO_LARGE;
    std::string_view line = request.substr(0, request.find('\n'));
    if (!line.empty() && line.back() == '\r')
        line.remove_suffix(1);
    // METHOD SP TARGET SP HTTP/1.x
    size_t first = line.find(' ');
    size_t second = first == std::string_view::npos ? first : line.find(' ', first + 1);
    if (first == 0 || second == std::string_view::npos || second == first + 1)
        return HTTP_BAD_REQUEST;
    std::string_view method = line.substr(0, first), target = line.substr(first + 1, second - first - 1),
                     version = line.substr(second + 1);
    if (version.size() != 8 || !starts_with(version, "HTTP/1.") || version[7] < '0' || version[7] > '9')
        return HTTP_BAD_REQUEST;
    std::string_view path = target.substr(0, target.find('?'));
    if (path != "/metrics")
        return HTTP_NOT_FOUND;
    if (method == "GET")
        return HTTP_METRICS;
    if (method == "HEAD")
        return HTTP_METRICS_HEAD;
    return HTTP_NOT_ALLOWED;
}

bool metrics_http_listen(bool taking_over)
{
    if (stats_listen == nullptr)
        return true;
    sockaddr_storage address;
    socklen_t length;
    if (!stats_listen_address(stats_listen, &address, &length)) {
        fprintf(stderr, "Cannot listen on %s: %s\n", stats_listen, strerror(EINVAL));
        return false;
    }
    int one = 1;
    int fd = -1;
    if (!taking_over) {
        // Nobody listens there: a bind without SO_REUSEPORT would fail.
        int probe = socket(address.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (probe < 0 || setsockopt(probe, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0 ||
            bind(probe, reinterpret_cast<sockaddr *>(&address), length) != 0) {
            fprintf(stderr, "Cannot listen on %s: %s\n", stats_listen, strerror(errno));
            if (probe >= 0)
                close(probe);
            return false;
        }
        close(probe);
    }
    fd = socket(address.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd >= 0) {
        if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) == 0 &&
            setsockopt(fd, SOL_SOCKET, SO_REUSEPORT, &one, sizeof one) == 0 &&
            (address.ss_family != AF_INET6 || setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one) == 0) &&
            bind(fd, reinterpret_cast<sockaddr *>(&address), length) == 0 && listen(fd, 64) == 0) {
            listen_fd = fd;
            return true;
        }
    }
    fprintf(stderr, "Cannot listen on %s: %s\n", stats_listen, strerror(errno));
    if (fd >= 0)
        close(fd);
    return false;
}

void metrics_http_start()
{
    if (listen_fd < 0)
        return;
    wake_fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wake_fd < 0) {
        fprintf(stderr, "Cannot serve metrics on %s: %s\n", stats_listen, strerror(errno));
        return;
    }
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &old);
    pthread_t thread;
    int error = pthread_create(&thread, nullptr, serve, nullptr);
    if (error == 0)
        pthread_detach(thread);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    if (error != 0) {
        fprintf(stderr, "Cannot serve metrics on %s: %s\n", stats_listen, strerror(error));
        close(wake_fd);
        wake_fd = -1;
    }
}

int metrics_http_poll_fd() { return wake_fd; }

void metrics_http_pass()
{
    if (!wanted.load(std::memory_order_acquire))
        return;
    wanted.store(false, std::memory_order_relaxed);
    uint64_t count;
    (void)!read(wake_fd, &count, sizeof count);
    std::unique_lock<std::mutex> hold(exchange.lock);
    unsigned long long request = exchange.asked;
    hold.unlock();
    // Computed after the request was seen: what the files hold now.
    std::string text = metrics_loop_text();
    hold.lock();
    exchange.text = std::move(text);
    exchange.given = request;
    hold.unlock();
    exchange.answered.notify_all();
}
