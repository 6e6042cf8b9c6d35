// The metrics over HTTP: with StatsListen = ADDRESS:PORT the daemon answers
// GET /metrics (and HEAD) with the text of the metrics file, computed at
// the request, for Prometheus to scrape without node_exporter.
//
// Threads
// -------
// The endpoint runs on a thread of its own, so that no client, slow or
// hostile, can hold the reading or writing of lines: the loop never
// touches a client's socket. The counters, though, belong to the loop and
// are written by it without locks, and the text must tell what the files
// hold (batches written first), which only the loop can do. So the thread
// asks, the loop answers:
//   1. the thread notes a request (a generation number, under a mutex),
//      sets an atomic flag and writes an eventfd;
//   2. the loop looks at the flag once per pass (one relaxed load, no
//      system call: under load the loop may not wait at all), and the
//      eventfd wakes its wait when it is idle; it then computes the text
//      (metrics_loop_text), hands it over under the mutex, which it holds
//      for a move only, and signals a condition variable;
//   3. the thread waits for the answer http_loop_wait_ms at most; a loop
//      that does not answer in time (stopped, or writing out its backlogs
//      at SIGTERM) gets the client a 503, never a stale text.
// The process series are read by the thread itself from /proc, outside the
// loop. The loop's cost is thus nothing while nobody scrapes, and one text
// a scrape (about what writing the file costs) when somebody does.
// A snapshot published by the loop every pass was the other way: it costs
// every pass, scraped or not, and is as old as the last pass.
//
// Bounds
// ------
// At most http_connections_max clients at once: one more is accepted and
// closed at once. A request's head (request line and headers) must come
// whole within http_request_max bytes (else 431) and http_request_ms of the
// connection (else the connection is closed: a client sending one byte a
// second holds its slot that long at most); the answer must be taken
// within http_response_ms. One request per connection ("Connection:
// close"); a body is never read. GET or HEAD of /metrics (a query is
// ignored) is answered 200; another path 404, another method on /metrics
// 405, a request line that is not HTTP/1.x 400.
//
// Hand-over
// ---------
// The socket is bound with SO_REUSEPORT, so that the daemon taking over
// binds the same address while the old one still serves it (the kernel
// shares the connections between them until the old one exits). A daemon
// started otherwise first checks, with a socket bound without it, that
// nobody listens there yet, so a second daemon on the same address is a
// configuration error as any other.
#pragma once

#include <string_view>

// Milliseconds and bytes of the bounds above.
constexpr int http_connections_max = 16;
constexpr size_t http_request_max = 8192;
constexpr int http_request_ms = 5000;
constexpr int http_response_ms = 10000;
constexpr int http_loop_wait_ms = 2000;

// What a request's bytes ask for.
enum HttpAnswer {
    HTTP_INCOMPLETE,     // the head has not ended yet, within the bound
    HTTP_METRICS,        // 200 with the text
    HTTP_METRICS_HEAD,   // 200, headers only
    HTTP_BAD_REQUEST,    // 400
    HTTP_NOT_FOUND,      // 404
    HTTP_NOT_ALLOWED,    // 405, Allow: GET, HEAD
    HTTP_TOO_LARGE,      // 431: no end of head within http_request_max bytes
};

// The answer to the bytes received so far on a connection: pure, reads
// only [request.data(), request.data() + request.size()).
HttpAnswer metrics_http_request(std::string_view request);

// Before the daemon detaches: with StatsListen, binds and listens on its
// address (close-on-exec), the reuse check made unless `taking_over`. A
// failure prints "Cannot listen on %s: %s\n" (the address as configured,
// the call's error) and returns false: a configuration error. True
// without StatsListen, nothing done.
[[nodiscard]] bool metrics_http_listen(bool taking_over);

// After the daemon detached: starts the endpoint's thread (with every
// signal blocked, so that signals reach the loop). Nothing without
// StatsListen. A thread that cannot be started is said ("Cannot serve
// metrics on %s: %s\n") and the daemon goes on without it.
void metrics_http_start();

// The descriptor whose input wakes the loop's wait for a request; -1
// without StatsListen. The loop watches it when it is going to block.
int metrics_http_poll_fd();

// Once per loop pass (metrics_pass): answers a request that is waiting.
void metrics_http_pass();
