// spcat: sends standard input to Spread groups, one message per line,
// follows files and sends their lines, or writes what the groups receive to
// standard output.
//
//     spcat [-s DAEMON] [-n NAME] [-t SERVICE] [-q BYTES] [-w SECONDS] -g GROUP [-g GROUP]... [GROUP]...
//     spcat -f FILE [-f FILE]... -p POSITION_FILE [-P PREFIX] [-s DAEMON] [-n NAME] [-t SERVICE] -g GROUP...
//     spcat -r [-s DAEMON] [-n NAME] -g GROUP [-g GROUP]... [GROUP]...
//
// Sending: each line of standard input, its newline included, becomes one
// message to all the groups (one multicast per line); a last line without a
// newline is sent as it is, and a line longer than the largest message is
// sent in pieces of that size.  Following (-f): the same for the lines of
// files, across their rotation, from a position kept in a file
// (spcat_follow.cpp).  Receiving: joins the groups and writes the
// bytes of every regular message to standard output as it arrives, nothing
// added.  DAEMON is "PORT" (Unix socket /tmp/PORT) or "PORT@HOST" (TCP),
// default "4803".  Exit status 0, or 1 with a message on standard error.
//
// A sender outlasts its daemon's absence.  Two threads share one queue of
// whole messages (Shared):
//   - the reader (read_input) reads standard input into the queue as fast
//     as it comes, whatever the daemon does, so that a writer never blocks
//     on spcat; past the bound (-q) a message is dropped whole and counted.
//     It also takes SIGTERM (through a signalfd: no handler) and, when the
//     daemon does not take the queue in time, shuts the socket down under
//     the sender.
//   - the sender (send_lines, the main thread) connects, sends the queue in
//     order with the library's blocking calls, and when the daemon is lost
//     or cannot be reached, retries every second, the queue waiting.
// A thread that only reads keeps the library's blocking sends as they are;
// one poll loop would need sends that never block, which SP_multicast does
// not offer.
#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "spcat.h"
#include "spread/sp.h"

using namespace spcat;

namespace {

constexpr int MAX_GROUPS = 100;
constexpr size_t READ_BLOCK = 256 * 1024;
constexpr int RECEIVE_BUFFER = 144000;     // the largest body a daemon accepts

struct ServiceName {
    const char *name;
    service svc;
};
constexpr ServiceName services[] = {
    {"unreliable", UNRELIABLE_MESS}, {"reliable", RELIABLE_MESS}, {"fifo", FIFO_MESS},
    {"causal", CAUSAL_MESS},         {"agreed", AGREED_MESS},     {"safe", SAFE_MESS},
};

[[noreturn]] void usage()
{
    fprintf(stderr,
            "usage: spcat [-s DAEMON] [-n NAME] [-t SERVICE] [-q BYTES] [-w SECONDS] -g GROUP [-g GROUP]...\n"
            "       spcat -f FILE [-f FILE]... -p POSITION_FILE [-P PREFIX] [-s DAEMON] [-n NAME] [-t SERVICE] -g GROUP...\n"
            "       spcat -r [-s DAEMON] [-n NAME] -g GROUP [-g GROUP]...\n"
            "  DAEMON   PORT or PORT@HOST (default 4803)\n"
            "  SERVICE  unreliable, reliable, fifo, causal, agreed (default) or safe\n"
            "  BYTES    lines kept while the daemon is away (default 67108864)\n"
            "  SECONDS  retrying after the end of input (default 10)\n"
            "  PREFIX   put with a space before each line of the -f files after it\n");
    exit(1);
}

bool legal_group(const char *g)
{
    size_t n = strlen(g);
    if (n == 0 || n >= MAX_GROUP_NAME)
        return false;
    for (size_t i = 0; i < n; i++)
        if ((unsigned char)g[i] < '$' || (unsigned char)g[i] > '~')
            return false;
    return true;
}

// A decimal number from `min` to `max`; false for anything else.
bool parse_number(const char *s, unsigned long long min, unsigned long long max, unsigned long long *out)
{
    char *end;
    errno = 0;
    unsigned long long v = strtoull(s, &end, 10);
    if (*s < '0' || *s > '9' || *end != '\0' || errno != 0 || v < min || v > max)
        return false;
    *out = v;
    return true;
}

void parse_options(int argc, char **argv, Options *o)
{
    int opt;
    unsigned long long v;
    opterr = 0;
    const char *prefix = "";
    while ((opt = getopt(argc, argv, "rs:n:g:t:q:w:f:p:P:")) != -1) {
        switch (opt) {
        case 'r': o->receive = true; break;
        case 'f':
            if (*optarg == '\0')
                usage();
            for (const FollowArg &f : o->follow)
                if (f.path == optarg) {
                    fprintf(stderr, "spcat: \"%s\" followed twice\n", optarg);
                    exit(1);
                }
            o->follow.push_back({optarg, prefix});
            break;
        case 'p':
            if (*optarg == '\0')
                usage();
            o->position = optarg;
            break;
        case 'P':
            for (const char *c = optarg; *c; c++)
                if ((unsigned char)*c <= ' ' || *c == 0x7f) {
                    fprintf(stderr, "spcat: illegal prefix \"%s\" (one word of printable characters)\n", optarg);
                    exit(1);
                }
            prefix = optarg;
            break;
        case 's': o->daemon = optarg; break;
        case 'n': o->name = optarg; break;
        case 'g': o->groups.push_back(optarg); break;
        case 't': {
            bool found = false;
            for (const ServiceName &s : services)
                if (strcmp(optarg, s.name) == 0) {
                    o->svc = s.svc;
                    found = true;
                }
            if (!found) {
                fprintf(stderr, "spcat: unknown service \"%s\"\n", optarg);
                exit(1);
            }
            break;
        }
        case 'q':
            if (!parse_number(optarg, 1, SIZE_MAX / 2, &v)) {
                fprintf(stderr, "spcat: illegal buffer bound \"%s\" (1 byte or more)\n", optarg);
                exit(1);
            }
            o->queue_limit = (size_t)v;
            break;
        case 'w':
            if (!parse_number(optarg, 0, 1000000, &v)) {
                fprintf(stderr, "spcat: illegal wait \"%s\" (0 to 1000000 seconds)\n", optarg);
                exit(1);
            }
            o->wait_seconds = (int)v;
            break;
        default: usage();
        }
    }
    for (int i = optind; i < argc; i++)
        o->groups.push_back(argv[i]);
    if (o->groups.empty())
        usage();
    if (o->receive && (!o->follow.empty() || o->position))
        usage();
    if (!o->follow.empty() && o->position == nullptr) {
        fprintf(stderr, "spcat: -f needs a position file (-p)\n");
        exit(1);
    }
    if (o->follow.empty() && o->position != nullptr) {
        fprintf(stderr, "spcat: a position file (-p) is for -f\n");
        exit(1);
    }
    if ((int)o->groups.size() > MAX_GROUPS) {
        fprintf(stderr, "spcat: too many groups (at most %d)\n", MAX_GROUPS);
        exit(1);
    }
    for (const char *g : o->groups)
        if (!legal_group(g)) {
            fprintf(stderr, "spcat: illegal group name \"%s\" (1 to 31 characters from '$' to '~')\n", g);
            exit(1);
        }
}

}  // namespace

// ------------------------------------------------- what the modes share

namespace spcat {

int connect_daemon(const Options *o, mailbox *mbox)
{
    char private_group[MAX_GROUP_NAME];
    sp_time limit = {1, 0};
    return SP_connect_timeout(o->daemon, o->name, 0, 0, mbox, private_group, limit);
}

// The daemon sends a sender nothing else it could be waiting to read.
bool peer_gone(int fd)
{
    pollfd p{fd, POLLRDHUP, 0};
    return poll(&p, 1, 0) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR));
}

bool retryable(int ret, bool was_connected)
{
    return ret == COULD_NOT_CONNECT || ret == CONNECTION_CLOSED || ret == REJECT_QUOTA ||
           ret == NET_ERROR_ON_SESSION || (was_connected && ret == REJECT_NOT_UNIQUE);
}

Multicaster::Multicaster(const Options *o) : o(o), rows(o->groups.size() * MAX_GROUP_NAME, 0)
{
    for (size_t i = 0; i < o->groups.size(); i++)
        strncpy(&rows[i * MAX_GROUP_NAME], o->groups[i], MAX_GROUP_NAME - 1);
}

int Multicaster::operator()(mailbox mbox, const char *p, size_t n) const
{
    int ngroups = (int)o->groups.size();
    return ngroups == 1 ? SP_multicast(mbox, o->svc, o->groups[0], 0, (int)n, p)
                        : SP_multigroup_multicast(mbox, o->svc, ngroups, (const char(*)[MAX_GROUP_NAME])rows.data(),
                                                  0, (int)n, p);
}

}  // namespace spcat

namespace {

// ------------------------------------------------------------- sending

// What the reader and the sender share, under `lock`.
struct Shared {
    std::mutex lock;
    std::condition_variable changed;   // the queue, the end of input, SIGTERM, `done`
    // Messages read and not yet sent, oldest first.  The reader appends;
    // the sender reads the front without the lock (push_back leaves
    // references to elements valid) and pops it once it is sent.
    std::deque<std::string> queue;
    size_t queued_bytes = 0;           // bytes in `queue`, at most Options::queue_limit
    unsigned long long dropped = 0;    // messages dropped and not yet reported
    bool input_ended = false;          // end of input (or a read error) seen
    Clock::time_point input_ended_at;  // when
    bool read_failed = false;          // standard input gave an error
    bool terminating = false;          // SIGTERM came
    bool done = false;                 // the sender has finished
    int live_fd = -1;                  // the sender's connected socket, -1 when none
};

// Reads standard input into sh.queue, cutting it into messages (lines, or
// pieces of `limit` bytes of a longer line), until the end of input; then
// waits for SIGTERM on `sigfd`.  After SIGTERM it reads no more input,
// gives the sender TERM_GRACE to send what waits, and shuts the socket down
// under a sender still blocked then, so that its send returns.
void read_input(Shared *sh, const Options *o, size_t limit, int sigfd)
{
    std::vector<char> buf(READ_BLOCK + limit);
    size_t len = 0;
    bool dropping_line = false;   // a piece of the current line was dropped
    std::vector<std::pair<const char *, size_t>> cut;

    // Queues the messages in `cut`, each whole or not at all.
    auto enqueue = [&]() {
        std::lock_guard<std::mutex> g(sh->lock);
        bool was_empty = sh->queue.empty();
        for (auto [p, n] : cut) {
            bool ends_line = p[n - 1] == '\n';
            if (dropping_line || sh->queued_bytes + n > o->queue_limit) {
                sh->dropped++;
                dropping_line = !ends_line;
                continue;
            }
            sh->queue.emplace_back(p, n);
            sh->queued_bytes += n;
        }
        cut.clear();
        if (was_empty && !sh->queue.empty())
            sh->changed.notify_all();
    };

    bool open = true;
    for (;;) {
        pollfd fds[2] = {{sigfd, POLLIN, 0}, {0, POLLIN, 0}};
        if (poll(fds, open ? 2 : 1, -1) < 0) {
            if (errno == EINTR)
                continue;
            fprintf(stderr, "spcat: poll: %s\n", strerror(errno));
            break;
        }
        if (fds[0].revents)
            break;   // SIGTERM
        if (!open || fds[1].revents == 0)
            continue;
        ssize_t n = read(0, buf.data() + len, buf.size() - len);
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (n <= 0) {
            if (n < 0)
                fprintf(stderr, "spcat: cannot read standard input: %s\n", strerror(errno));
            if (len > 0)
                cut.emplace_back(buf.data(), len);
            enqueue();
            std::lock_guard<std::mutex> g(sh->lock);
            sh->input_ended = true;
            sh->input_ended_at = Clock::now();
            sh->read_failed = n < 0;
            sh->changed.notify_all();
            open = false;
            continue;
        }
        len += (size_t)n;
        size_t start = 0;
        for (;;) {
            const char *nl = (const char *)memchr(buf.data() + start, '\n', len - start);
            size_t line = nl ? (size_t)(nl - (buf.data() + start)) + 1 : 0;
            if (nl == nullptr || line > limit) {
                if (len - start >= limit) {   // overlong line: a full piece
                    cut.emplace_back(buf.data() + start, limit);
                    start += limit;
                    continue;
                }
                break;
            }
            cut.emplace_back(buf.data() + start, line);
            start += line;
        }
        enqueue();
        memmove(buf.data(), buf.data() + start, len - start);
        len -= start;
    }

    std::unique_lock<std::mutex> g(sh->lock);
    sh->terminating = true;
    sh->changed.notify_all();
    if (!sh->changed.wait_for(g, TERM_GRACE, [sh] { return sh->done; }) && sh->live_fd >= 0)
        shutdown(sh->live_fd, SHUT_WR);
}

// Sends the queue to the daemon until the end of input (or SIGTERM) and
// returns the exit status.  Connects at once; while the daemon is away it
// tries again every second, says so once, and sends the queue, in order,
// once it is back.  A message whose send failed was not wholly handed to
// the socket, so the daemon cannot have it: it stays first in the queue
// and goes again, and nothing is sent twice.
int send_lines(Shared *sh, const Options *o)
{
    const Multicaster send_one(o);
    auto multicast = [&](mailbox mbox, const std::string &m) { return send_one(mbox, m.data(), m.size()); };

    mailbox mbox = -1;
    bool was_connected = false;    // a session existed at some point
    bool announced = false;        // "...; retrying" said since the last session
    Clock::time_point next_try = Clock::now();
    Clock::time_point away_since;  // start of the current absence
    int status = 0;

    auto report_dropped = [&](unsigned long long n) {
        if (n > 0) {
            fprintf(stderr, "spcat: dropped %llu lines while \"%s\" was unreachable\n", n, o->daemon);
            status = 1;
        }
    };

    std::unique_lock<std::mutex> g(sh->lock);
    // Ends the session, the lock held.  A session that failed, or one
    // ended by SIGTERM, is only closed (the daemon sees the end of the
    // stream, as for a KILL): a KILL message could block on a daemon that
    // takes nothing.  At the end of input it gets its KILL; the socket
    // stays in live_fd meanwhile, so that SIGTERM can still cut that send
    // short (no other thread opens a descriptor that could take its number
    // once it is closed).
    auto end_session = [&](bool disconnect) {
        if (!disconnect)
            sh->live_fd = -1;
        g.unlock();
        if (disconnect)
            SP_disconnect(mbox);
        else
            SP_kill(mbox);
        g.lock();
        sh->live_fd = -1;
        mbox = -1;
    };
    for (;;) {
        if (mbox < 0 && !sh->terminating && Clock::now() >= next_try) {
            g.unlock();
            mailbox m = -1;
            int ret = connect_daemon(o, &m);
            next_try = Clock::now() + RETRY;
            g.lock();
            if (ret == ACCEPT_SESSION) {
                mbox = m;
                sh->live_fd = m;
                was_connected = true;
                if (announced)
                    fprintf(stderr, "spcat: reconnected to Spread daemon \"%s\"\n", o->daemon);
                announced = false;
                report_dropped(sh->dropped);
                sh->dropped = 0;
            } else if (!retryable(ret, was_connected)) {
                fprintf(stderr, "spcat: cannot connect to Spread daemon \"%s\": %s\n", o->daemon, SP_strerror(ret));
                if (!was_connected)
                    _exit(1);   // as before a session: nothing was read for anyone
                status = 1;
                break;
            } else if (!announced) {
                fprintf(stderr, "spcat: cannot connect to Spread daemon \"%s\": %s; retrying\n", o->daemon,
                        SP_strerror(ret));
                announced = true;
                away_since = Clock::now();
            }
        }
        if (mbox >= 0 && !sh->queue.empty()) {
            const std::string &m = sh->queue.front();
            g.unlock();
            int ret = peer_gone(mbox) ? CONNECTION_CLOSED : multicast(mbox, m);
            g.lock();
            if (ret >= 0) {
                sh->queued_bytes -= m.size();
                sh->queue.pop_front();
                continue;
            }
            end_session(false);
            if (sh->terminating)
                break;
            fprintf(stderr, "spcat: lost Spread daemon \"%s\": %s; retrying\n", o->daemon, SP_strerror(ret));
            announced = true;
            away_since = Clock::now();
            next_try = away_since;   // once at once, then every second
            continue;
        }
        // Nothing to send now: finished, given up, or waiting.
        if (sh->queue.empty() && (sh->input_ended || sh->terminating))
            break;
        if (mbox < 0 && sh->terminating)
            break;
        Clock::time_point wake = Clock::time_point::max();
        if (mbox < 0)
            wake = next_try;
        if (mbox < 0 && sh->input_ended) {
            // -w counts from the later of the end of input and the loss.
            if (sh->input_ended_at > away_since)
                away_since = sh->input_ended_at;
            Clock::time_point give_up = away_since + std::chrono::seconds(o->wait_seconds);
            if (Clock::now() >= give_up)
                break;
            wake = std::min(wake, give_up);
        }
        if (wake == Clock::time_point::max())
            sh->changed.wait(g);
        else
            sh->changed.wait_until(g, wake);
    }

    if (!sh->queue.empty()) {
        fprintf(stderr, "spcat: %zu lines not sent: \"%s\" unreachable\n", sh->queue.size(), o->daemon);
        status = 1;
    }
    report_dropped(sh->dropped);
    if (sh->read_failed)
        status = 1;
    if (mbox >= 0)
        end_session(!sh->terminating);
    sh->done = true;
    sh->changed.notify_all();
    return status;
}

// ----------------------------------------------------------- receiving

void write_all(const char *p, size_t n)
{
    while (n > 0) {
        ssize_t w = write(1, p, n);
        if (w < 0 && errno == EINTR)
            continue;
        if (w < 0) {
            fprintf(stderr, "spcat: cannot write standard output: %s\n", strerror(errno));
            exit(1);
        }
        p += w;
        n -= (size_t)w;
    }
}

[[noreturn]] void receive_messages(const Options *o)
{
    mailbox mbox;
    char private_group[MAX_GROUP_NAME];
    int ret = SP_connect(o->daemon, o->name, 0, 0, &mbox, private_group);
    if (ret != ACCEPT_SESSION) {
        fprintf(stderr, "spcat: cannot connect to Spread daemon \"%s\": %s\n", o->daemon, SP_strerror(ret));
        exit(1);
    }
    for (const char *g : o->groups) {
        ret = SP_join(mbox, g);
        if (ret < 0) {
            fprintf(stderr, "spcat: cannot join group \"%s\": %s\n", g, SP_strerror(ret));
            SP_disconnect(mbox);
            exit(1);
        }
    }
    std::vector<char> body(RECEIVE_BUFFER);
    static char groups[MAX_GROUPS][MAX_GROUP_NAME];
    for (;;) {
        service svc = DROP_RECV;
        char sender[MAX_GROUP_NAME];
        int num_groups = 0, endian_mismatch = 0;
        int16 mess_type = 0;
        ret = SP_receive(mbox, &svc, sender, MAX_GROUPS, &num_groups, groups, &mess_type, &endian_mismatch,
                         (int)body.size(), body.data());
        if (ret < 0) {
            fprintf(stderr, "spcat: lost Spread daemon \"%s\": %s\n", o->daemon, SP_strerror(ret));
            SP_disconnect(mbox);
            exit(1);
        }
        if (Is_regular_mess(svc))
            write_all(body.data(), (size_t)ret);
    }
}

// Follow mode's SIGTERM: says so on term_fd at once, and after TERM_GRACE
// shuts the socket down under a send that a daemon taking nothing blocks.
void watch_term(int sigfd, int term_fd, std::atomic<int> *live_fd)
{
    signalfd_siginfo si;
    while (read(sigfd, &si, sizeof si) < 0 && errno == EINTR) {
    }
    uint64_t one = 1;
    (void)!write(term_fd, &one, sizeof one);
    std::this_thread::sleep_for(TERM_GRACE);
    int fd = live_fd->load();
    if (fd >= 0)
        shutdown(fd, SHUT_RDWR);
}

}  // namespace

int main(int argc, char **argv)
{
    Options o;
    parse_options(argc, argv, &o);
    if (o.receive)
        receive_messages(&o);

    // SIGTERM is taken by a thread of its own through a signalfd; blocked
    // here before that thread starts, so in every thread.
    sigset_t term;
    sigemptyset(&term);
    sigaddset(&term, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &term, nullptr);
    int sigfd = signalfd(-1, &term, SFD_CLOEXEC);
    if (sigfd < 0) {
        fprintf(stderr, "spcat: signalfd: %s\n", strerror(errno));
        return 1;
    }
    if (!o.follow.empty()) {
        int term_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (term_fd < 0) {
            fprintf(stderr, "spcat: eventfd: %s\n", strerror(errno));
            return 1;
        }
        // Leaked on purpose, as the thread is: it may still be sleeping
        // when main ends the process.
        auto *live_fd = new std::atomic<int>(-1);
        std::thread(watch_term, sigfd, term_fd, live_fd).detach();
        int status = follow_files(&o, term_fd, live_fd);
        _exit(status);
    }
    // Leaked on purpose: the reader may still be polling when main ends
    // the process.
    Shared *sh = new Shared;
    std::thread reader(read_input, sh, &o, (size_t)max_body((int)o.groups.size()), sigfd);
    reader.detach();
    int status = send_lines(sh, &o);
    fflush(stdout);
    _exit(status);
}
