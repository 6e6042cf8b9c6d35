// minispread: a single-node Spread daemon for tests, benchmarks and demos.
//
//     minispread [-S] [-1] [-p PORT] [-n NAME] [-q BYTES]
//
// Listens on TCP 127.0.0.1:PORT and on the Unix socket /tmp/PORT (default
// 4803), names itself NAME (default "localhost") in private group names, and
// runs in the foreground until SIGTERM or SIGINT, which close every session
// and remove the socket file.  The Unix socket is created after the TCP
// listener, so once /tmp/PORT exists both accept connections.  A slow
// receiver may have up to BYTES waiting for it in the daemon (default
// QUEUE_LIMIT); -S treats slow receivers as a real Spread daemon does
// (output.cpp).  -1 writes each message to a receiver with a send of its
// own, as a real daemon does, instead of as many as the socket takes in one
// (benchmarks).
//
// The work is spread over the files of this folder (see daemon.h); the
// daemon's state is one Daemon record, made here.
#include <errno.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <string>

#include "tools/minispread/daemon.h"

using namespace minispread;

volatile sig_atomic_t minispread::stop_requested = 0;

static void on_stop_signal(int) { stop_requested = 1; }

[[noreturn]] static void usage()
{
    fprintf(stderr, "usage: minispread [-S] [-1] [-p PORT] [-n NAME] [-q BYTES]\n");
    exit(1);
}

int main(int argc, char **argv)
{
    Daemon d;
    int opt;
    opterr = 0;
    while ((opt = getopt(argc, argv, "S1p:n:q:")) != -1) {
        switch (opt) {
        case 'S':
            d.count_queued = true;
            break;
        case 'q': {
            char *end;
            errno = 0;
            unsigned long long q = strtoull(optarg, &end, 10);
            if (*optarg < '0' || *optarg > '9' || *end != '\0' || errno != 0 || q < QUEUE_LIMIT_MIN || q > SIZE_MAX / 4) {
                fprintf(stderr, "minispread: illegal queue bound \"%s\" (at least %zu bytes)\n", optarg, QUEUE_LIMIT_MIN);
                return 1;
            }
            d.queue_limit = (size_t)q;
            break;
        }
        case '1':
            d.one_per_write = true;
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
    add_listener(d, d.tcp_fd, true);
    add_listener(d, d.unix_fd, false);
    run(d);
    return 0;
}
