// The StatsListen endpoint: a scrape against the file, bad clients bounded
// while lines land, the addresses the daemon refuses, the endpoint kept
// through a hand-over. Real processes: minispread, wickerpost, spcat, and
// Python's urllib as a client; every file is read by the prometheus_client
// library's parser.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <chrono>

#include "support/metrics.h"
#include "support/scenario.h"

using namespace wkp_test;

namespace {

// A connection to 127.0.0.1:port, blocking; -1 when refused.
int connect_local(int port)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Sends what the peer takes of `bytes` (a peer that closed ends it).
void send_some(int fd, const std::string &bytes)
{
    for (size_t done = 0; done < bytes.size();) {
        ssize_t n = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0)
            return;
        done += static_cast<size_t>(n);
    }
}

// Reads until the peer closes (or resets) the connection; false when it
// had not within timeout_ms.
bool read_to_end(int fd, std::string *got, int timeout_ms = 60000)
{
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        int left = static_cast<int>(
            std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now()).count());
        if (left <= 0)
            return false;
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, left) <= 0)
            continue;
        char buffer[65536];
        ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0)
            return true;
        got->append(buffer, static_cast<size_t>(n));
    }
}

// One request on a new connection; the whole answer.
std::string ask(int port, const std::string &request)
{
    int fd = connect_local(port);
    if (fd < 0)
        return "(refused)";
    send_some(fd, request);
    std::string got;
    if (!read_to_end(fd, &got))
        got += "(no end)";
    close(fd);
    return got;
}

std::string status_line_of(const std::string &answer) { return answer.substr(0, answer.find("\r\n")); }

// The metrics a real client gets: Python's urllib, written to `path`.
bool scrape_to(int port, const std::string &path)
{
    Process p;
    run(p, {python, "-c",
            "import sys, urllib.request\n"
            "body = urllib.request.urlopen('http://127.0.0.1:%s/metrics' % sys.argv[1], timeout=60).read()\n"
            "open(sys.argv[2], 'wb').write(body)\n",
            std::to_string(port), path});
    return p.exit_code() == 0;
}

// The samples of the daemon's own families (the process series change
// between two readings).
std::vector<Sample> own_samples(const Parsed &m)
{
    std::vector<Sample> own;
    for (const Sample &s : m.samples)
        if (s.name.rfind("wickerpost_", 0) == 0)
            own.push_back(s);
    return own;
}

std::string listen_setting(int port) { return "StatsListen = 127.0.0.1:" + std::to_string(port) + "\n"; }

}  // namespace

// A scrape with Python's urllib returns the text of the file: once the
// lines are in and a new file was written, both hold the same families and
// the same samples of the daemon's own series, and the scrape has the
// process series too.
TEST(MetricsHttp, ScrapeEqualsTheFile)
{
    Scenario s;
    const int http = free_port();
    const std::string stats = s.dir.file("wickerpost.prom"), log = s.dir.file("web.log");
    s.start_daemon("StatsFile = " + stats + "\nStatsInterval = 1\n" + listen_setting(http) +
                   s.spread_block("  Log {\n    Group = web\n    File = " + log + "\n    Match = ^GET\n  }\n"));
    std::string lines;
    for (int i = 0; i < 200; i++)
        lines += (i % 4 ? "GET " : "PUT ") + numbered_line(i, 30);
    s.send(lines, {"web"});
    StatsReader reader{stats};
    ASSERT_TRUE(reader.wait_for([&](const Parsed &m) {
        return m.value("wickerpost_spread_received_messages_total", {{"daemon", std::to_string(s.port)}}) == "200";
    })) << reader.last.error;
    // Nothing more comes: the next file and a scrape tell the same.
    ASSERT_TRUE(reader.wait_for([](const Parsed &) { return true; }));
    ASSERT_TRUE(scrape_to(http, s.dir.file("scraped.prom")));
    Parsed scraped = parse_metrics(s.dir.file("scraped.prom"));
    ASSERT_TRUE(scraped.ok) << scraped.error;
    EXPECT_EQ(scraped.families, reader.last.families);
    EXPECT_EQ(own_samples(scraped), own_samples(reader.last));
    EXPECT_EQ(scraped.value("wickerpost_output_filtered_messages_total", output_labels(log, "file")), "50");
    EXPECT_NE(scraped.value("process_open_fds"), "");

    // The head of the answer, as a client sees it.
    std::string answer = ask(http, "GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    EXPECT_EQ(status_line_of(answer), "HTTP/1.1 200 OK");
    EXPECT_NE(answer.find("\r\nContent-Type: text/plain; version=0.0.4; charset=utf-8\r\n"), std::string::npos)
        << answer;
    s.terminate_daemon();
}

// Bad clients, each answered within its bound or closed, while lines go on
// landing: nothing a client does holds the loop. Then a scrape still
// works, and every line sent is in the file.
TEST(MetricsHttp, BadClientsAreBoundedWhileLinesLand)
{
    Scenario s;
    const int http = free_port();
    const std::string log = s.dir.file("web.log");
    s.start_daemon(listen_setting(http) + s.spread_block("  Log {\n    Group = web\n    File = " + log + "\n  }\n"));
    size_t sent = 0;
    // A batch of lines, and the wait for them to be written.
    auto lines_land = [&] {
        std::string lines;
        for (int i = 0; i < 500; i++)
            lines += numbered_line(static_cast<int>(sent) + i, 40);
        sent += 500;
        s.send(lines, {"web"});
        return s.wait_lines(log, sent);
    };

    struct Row {
        const char *what;
        std::string request;
        std::string status;  // "" when closing without an answer is the bound
    } rows[] = {
        {"POST", "POST /metrics HTTP/1.1\r\nContent-Length: 5\r\n\r\nhello", "HTTP/1.1 405 Method Not Allowed"},
        {"another path", "GET /admin HTTP/1.1\r\n\r\n", "HTTP/1.1 404 Not Found"},
        {"not HTTP", "hello\r\n\r\n", "HTTP/1.1 400 Bad Request"},
        {"1 MB header", "GET /metrics HTTP/1.1\r\nX-Big: " + std::string(1 << 20, 'a') + "\r\n\r\n",
         "HTTP/1.1 431 Request Header Fields Too Large"},
        {"HEAD", "HEAD /metrics HTTP/1.1\r\n\r\n", "HTTP/1.1 200 OK"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        std::string answer = ask(http, row.request);
        // A client still sending when the answer came may see the
        // connection reset before it: closed, then, which is the bound too.
        if (!answer.empty() || std::string(row.what) != "1 MB header") {
            EXPECT_EQ(status_line_of(answer), row.status) << answer.substr(0, 200);
        }
        if (std::string(row.what) == "HEAD") {
            EXPECT_NE(answer.find("Content-Length: "), std::string::npos);
            EXPECT_EQ(answer.substr(answer.find("\r\n\r\n") + 4), "");
        }
        ASSERT_TRUE(lines_land());
    }

    // A slow client sending one byte a second is closed after the request
    // bound, long before its head is whole; lines land meanwhile.
    {
        int fd = connect_local(http);
        ASSERT_GE(fd, 0);
        const std::string head = "GET /metrics HTTP/1.1\r\nHost: slow.example\r\n\r\n";
        auto start = std::chrono::steady_clock::now();
        size_t given = 0;
        bool closed = false;
        std::string got;
        while (given < head.size() && !closed) {
            send_some(fd, head.substr(given, 1));
            given++;
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, 1000) > 0)
                closed = read_to_end(fd, &got, 1000);
            if (given == 2) {
                ASSERT_TRUE(lines_land());  // while the slow client holds its connection
            }
        }
        close(fd);
        EXPECT_TRUE(closed);
        EXPECT_LT(given, head.size());
        EXPECT_EQ(got, "");
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
    }

    // 200 connections at once, each asking: every one is answered or
    // closed, none left hanging; lines land meanwhile.
    {
        std::vector<int> fds;
        for (int i = 0; i < 200; i++) {
            int fd = connect_local(http);
            if (fd >= 0) {
                send_some(fd, "GET /metrics HTTP/1.1\r\n\r\n");
                fds.push_back(fd);
            }
        }
        ASSERT_TRUE(lines_land());
        size_t answered = 0, closed = 0;
        for (int fd : fds) {
            std::string got;
            EXPECT_TRUE(read_to_end(fd, &got));
            if (status_line_of(got) == "HTTP/1.1 200 OK")
                answered++;
            else if (got.empty())
                closed++;
            close(fd);
        }
        EXPECT_EQ(answered + closed, fds.size());
        EXPECT_GE(answered, 1u);
    }

    // Still serving, and nothing lost.
    EXPECT_EQ(status_line_of(ask(http, "GET /metrics HTTP/1.1\r\n\r\n")), "HTTP/1.1 200 OK");
    ASSERT_TRUE(lines_land());
    s.terminate_daemon();
    EXPECT_EQ(count_lines(read_file(log)), sent);
}

// StatsListen values the daemon refuses, and an address it cannot listen
// on, stop it at start-up with status 255 before anything is opened.
TEST(MetricsHttp, RefusedAddresses)
{
    TempDir dir;
    const std::string log = dir.file("web.log");
    const std::string spread = "Spread {\n  Log {\n    Group = web\n    File = " + log + "\n  }\n}\n";
    const std::string syntax =
        "StatsListen must be ADDRESS:PORT, a numeric address (IPv6 in brackets) and a port from 1 to 65535\n";
    // Held by another socket.
    int held = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(held, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
    ASSERT_EQ(listen(held, 1), 0);
    socklen_t length = sizeof a;
    getsockname(held, reinterpret_cast<sockaddr *>(&a), &length);
    const std::string busy = "127.0.0.1:" + std::to_string(ntohs(a.sin_port));
    struct Case {
        std::string value, err;
    } cases[] = {
        {"127.0.0.1", syntax + "Parser error on or before line 0\nOffending token: 127.0.0.1\n"},
        {"127.0.0.1:0", syntax + "Parser error on or before line 0\nOffending token: 127.0.0.1:0\n"},
        {"127.0.0.1:65536", syntax + "Parser error on or before line 0\nOffending token: 127.0.0.1:65536\n"},
        {"localhost:9108", syntax + "Parser error on or before line 0\nOffending token: localhost:9108\n"},
        {"::1:9108", syntax + "Parser error on or before line 0\nOffending token: ::1:9108\n"},
        {"'[::1]:x'", syntax + "Parser error on or before line 0\nOffending token: '[::1]:x\n"},
        {busy, "Cannot listen on " + busy + ": Address already in use\n"},
        {"192.0.2.1:9108", "Cannot listen on 192.0.2.1:9108: Cannot assign requested address\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.value);
        write_file(dir.file("c.conf"), "StatsListen = " + c.value + "\n" + spread);
        Process p;
        run(p, {bin("wickerpost"), "-D", "-c", dir.file("c.conf")});
        EXPECT_EQ(p.exit_code(), 255);
        EXPECT_EQ(p.err(), c.err);
    }
    close(held);
}

// A hand-over keeps the endpoint: the daemon taking over listens on the
// same address while the old one still does (no "Cannot listen"), and
// answers once the old one has gone, with its own counts.
TEST(MetricsHttp, HandOverKeepsTheEndpoint)
{
    Scenario s;
    const int http = free_port();
    const std::string log = s.dir.file("web.log");
    s.start_daemon(listen_setting(http) + s.spread_block("  Log {\n    Group = web\n    File = " + log + "\n  }\n"));
    s.send("one\ntwo\n", {"web"});
    ASSERT_TRUE(s.wait_lines(log, 2));
    ASSERT_EQ(status_line_of(ask(http, "GET /metrics HTTP/1.1\r\n\r\n")), "HTTP/1.1 200 OK");

    s.daemon->signal(SIGUSR2);
    pid_t next = -1;
    ASSERT_TRUE(wait_until([&] {
        std::string err = s.daemon->err();
        size_t at = err.find("Handing over to new daemon ");
        if (at != std::string::npos)
            next = std::stoi(err.substr(at + 27));
        return err.find("Took over from daemon ") != std::string::npos;
    })) << s.daemon->err();
    ASSERT_TRUE(s.daemon->wait());
    EXPECT_EQ(s.daemon->exit_code(), 0);
    ASSERT_GT(next, 0);
    EXPECT_EQ(s.daemon->err().find("Cannot listen"), std::string::npos) << s.daemon->err();

    s.send("three\n", {"web"});
    ASSERT_TRUE(s.wait_lines(log, 3));
    // The new daemon's counts go on from the old one's: three lines.
    std::string answer;
    ASSERT_TRUE(wait_until([&] {
        answer = ask(http, "GET /metrics HTTP/1.1\r\n\r\n");
        return answer.find("\nwickerpost_spread_received_messages_total{daemon=\"" + std::to_string(s.port) +
                           "\"} 3\n") != std::string::npos;
    })) << answer;
    EXPECT_EQ(status_line_of(answer), "HTTP/1.1 200 OK");
    kill(next, SIGTERM);
    EXPECT_TRUE(wait_until([&] { return ended(next); }));
    EXPECT_EQ(read_file(log), "one\ntwo\nthree\n");
}
