// Read-ahead of the client library against the scripted fake daemon
// (tests/support/fake_spread.h): the default receive without it, the
// reader thread draining the socket, messages of many shapes, the ready
// descriptor, the ends of the stream, stopping, disconnecting, and the
// reader thread's signals and scheduling.
#include <gtest/gtest.h>

#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <csignal>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "spread/client.h"
#include "spread/sp.h"
#include "support/fake_spread.h"
#include "support/process.h"

namespace {

using namespace spread_test;

bool readable(int fd)
{
    struct pollfd p = {fd, POLLIN, 0};
    return poll(&p, 1, 0) == 1;
}

// Bytes waiting in a socket's receive queue.
int socket_bytes(int fd)
{
    int n = -1;
    ioctl(fd, FIONREAD, &n);
    return n;
}

std::vector<std::string> list_entries(const char *dir)
{
    std::vector<std::string> names;
    if (DIR *d = opendir(dir)) {
        while (struct dirent *e = readdir(d))
            if (e->d_name[0] != '.')
                names.emplace_back(e->d_name);
        closedir(d);
    }
    return names;
}

// Threads (/proc/self/task) or open descriptors (/proc/self/fd) of this
// process; the count of the latter includes the one that lists them.
size_t count_entries(const char *dir) { return list_entries(dir).size(); }

}  // namespace

// Without read-ahead a receive takes one message's bytes from the socket and
// no more: a select()-driven receiver gets a burst one message per readable
// descriptor, and SP_poll is what the socket holds.
TEST_F(SpreadSession, DefaultReceiveTakesOneMessagePerReadableDescriptor)
{
    Live l;
    open_live(&l, daemon);
    ASSERT_EQ(l.result, ACCEPT_SESSION);
    EXPECT_EQ(SP_ready_fd(l.mbox), l.mbox);
    std::string all;
    for (int i = 0; i < 100; i++)
        all += numbered(i, 100);
    ASSERT_TRUE(send_bytes(l.srv, all));
    int got = 0;
    for (;;) {
        fd_set fds;
        FD_ZERO(&fds);
        FD_SET(l.mbox, &fds);
        struct timeval none = {0, 0};
        if (select(l.mbox + 1, &fds, nullptr, nullptr, &none) != 1)
            break;
        EXPECT_EQ(SP_poll(l.mbox), (int)(all.size() - (size_t)got * all.size() / 100));
        Got g = receive(l.mbox, 1, 100);
        ASSERT_EQ(g.ret, 100);
        EXPECT_EQ(std::stoi(g.body), got);
        EXPECT_EQ(SP_buffered(l.mbox), 0);
        got++;
    }
    EXPECT_EQ(got, 100);
    EXPECT_EQ(SP_poll(l.mbox), 0);
}

// With read-ahead the reader thread empties the socket while the
// application takes nothing, up to the bound; the peer writes far more than
// the socket buffers hold. Every message then arrives once, in order, across
// many wrap-arounds of the ring.
TEST_F(SpreadSession, ReadAheadDrainsWhileTheApplicationSleeps)
{
    ReadAheadBound bound(2u << 20);
    Live l;
    open_live(&l, daemon);
    ASSERT_EQ(l.result, ACCEPT_SESSION);
    ASSERT_EQ(SP_read_ahead(l.mbox, 1), 0);
    const int body_size = 1000;
    const size_t msg_size = WIRE_HEADER_SIZE + WIRE_GROUP_SIZE + body_size;
    const int total = (int)(3 * sp_readahead_bytes / msg_size);
    std::atomic<size_t> written{0};
    Writer writer(l.srv, [&] {
        std::string chunk;
        for (int i = 0; i < total; i++) {
            chunk += numbered(i, body_size);
            if (chunk.size() > 50000 || i == total - 1) {
                if (!send_bytes(l.srv, chunk))
                    break;
                written += chunk.size();
                chunk.clear();
            }
        }
    });
    usleep(500000);
    ASSERT_TRUE(wkp_test::wait_until([&] { return SP_buffered(l.mbox) > (int)(sp_readahead_bytes - msg_size); }));
    int sndbuf = 0, rcvbuf = 0;
    socklen_t len = sizeof sndbuf;
    getsockopt(l.srv, SOL_SOCKET, SO_SNDBUF, &sndbuf, &len);
    getsockopt(l.mbox, SOL_SOCKET, SO_RCVBUF, &rcvbuf, &len);
    EXPECT_GT(written.load(), 2 * (size_t)(sndbuf + rcvbuf)) << "the peer could write past the socket buffers";
    EXPECT_LE(SP_buffered(l.mbox), (int)sp_readahead_bytes);
    EXPECT_GE(SP_poll(l.mbox), SP_buffered(l.mbox));

    bool ok = true;
    for (int i = 0; i < total && ok; i++) {
        Got g = receive(l.mbox, 1, body_size);
        ok = g.ret == body_size && std::stoi(g.body) == i && SP_buffered(l.mbox) <= (int)sp_readahead_bytes;
        EXPECT_TRUE(ok) << "message " << i << ": " << g.ret << " " << g.body.substr(0, 8);
    }
    if (!ok) {
        SP_kill(l.mbox);
        l.mbox = -1;
    }
    writer.join();
    if (ok) {
        EXPECT_EQ(SP_poll(l.mbox), 0);
        EXPECT_EQ(SP_buffered(l.mbox), 0);
        EXPECT_FALSE(readable(SP_ready_fd(l.mbox)));
    }
}

// Messages of many shapes, every third first asked for with too little room,
// in both modes. With read-ahead the ring (the smallest there is) wraps many
// times, and read-ahead starts while a too-short return holds a header.
TEST_F(SpreadSession, MessagesOfManyShapesInBothModes)
{
    ReadAheadBound bound(1);
    for (bool read_ahead : {false, true}) {
        SCOPED_TRACE(read_ahead ? "read-ahead" : "default");
        Live l;
        open_live(&l, daemon);
        ASSERT_EQ(l.result, ACCEPT_SESSION);
        std::vector<Msg> msgs;
        std::string all;
        for (int i = 0; i < 60; i++) {
            Msg m;
            m.mess_type = (int16)i;
            m.groups.resize((size_t)(i % 4));
            for (size_t g = 0; g < m.groups.size(); g++)
                m.groups[g] = "g" + std::to_string(i) + "-" + std::to_string(g);
            m.body.assign((size_t)(i * 97 % 3000), (char)('a' + i % 26));
            if (i % 7 == 0) {
                m.type = REJECT_MESS;
                m.old_type = FIFO_MESS;
            }
            msgs.push_back(m);
            all += build(m);
        }
        const int rounds = 25;  // 1.9 MB: the 1 MiB ring wraps
        Writer writer(l.srv, [&] {
            for (int r = 0; r < rounds; r++)
                if (!send_bytes(l.srv, all))
                    break;
        });
        for (int n = 0; n < rounds * 60; n++) {
            int i = n % 60;
            const Msg &m = msgs[(size_t)i];
            if (i % 3 == 0 && !m.body.empty()) {
                ASSERT_EQ(receive(l.mbox, 3, (int)m.body.size() - 1).ret, BUFFER_TOO_SHORT) << n;
            }
            if (n == 0 && read_ahead) {
                ASSERT_EQ(SP_read_ahead(l.mbox, 1), 0);
            }
            Got g = receive(l.mbox, 3, 3000);
            ASSERT_EQ(g.ret, (int)m.body.size()) << n;
            EXPECT_EQ(g.mess_type, i);
            EXPECT_EQ(g.type, i % 7 == 0 ? REJECT_MESS | FIFO_MESS : AGREED_MESS);
            EXPECT_EQ(g.body, m.body) << n;
            EXPECT_EQ(g.groups, m.groups) << n;
        }
        writer.join();
        EXPECT_EQ(SP_poll(l.mbox), 0);
        EXPECT_EQ(SP_buffered(l.mbox), 0);
    }
}

// The ready descriptor is readable exactly while a whole message is
// buffered.
TEST_F(SpreadSession, ReadyDescriptorMeansAWholeMessage)
{
    Live l;
    open_live(&l, daemon);
    ASSERT_EQ(l.result, ACCEPT_SESSION);
    EXPECT_EQ(SP_ready_fd(l.mbox + 1000), ILLEGAL_SESSION);
    ASSERT_EQ(SP_read_ahead(l.mbox, 1), 0);
    EXPECT_EQ(SP_read_ahead(l.mbox, 1), 0);
    int ready = SP_ready_fd(l.mbox);
    ASSERT_GE(ready, 0);
    EXPECT_NE(ready, l.mbox);
    EXPECT_EQ(fcntl(ready, F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
    EXPECT_FALSE(readable(ready));

    std::string one = numbered(7, 500), two = numbered(8, 10);
    for (size_t cut : {(size_t)1, WIRE_HEADER_SIZE, one.size() - 1}) {
        SCOPED_TRACE(cut);
        ASSERT_TRUE(send_bytes(l.srv, one.substr(0, cut)));
        // Once the reader holds the part, nothing is ready.
        ASSERT_TRUE(wkp_test::wait_until([&] { return socket_bytes(l.mbox) == 0 && SP_poll(l.mbox) == (int)cut; }));
        EXPECT_FALSE(readable(ready));
        EXPECT_EQ(SP_buffered(l.mbox), 0);
        ASSERT_TRUE(send_bytes(l.srv, one.substr(cut)));
        ASSERT_TRUE(wkp_test::wait_until([&] { return readable(ready); }));
        EXPECT_EQ(SP_buffered(l.mbox), (int)one.size());
        EXPECT_EQ(receive(l.mbox).body, one.substr(one.size() - 500));
        EXPECT_FALSE(readable(ready));
        EXPECT_EQ(SP_buffered(l.mbox), 0);
    }
    // Two at once: ready until both are taken.
    ASSERT_TRUE(send_bytes(l.srv, one + two));
    ASSERT_TRUE(wkp_test::wait_until([&] { return SP_buffered(l.mbox) == (int)(one.size() + two.size()); }));
    EXPECT_TRUE(readable(ready));
    EXPECT_EQ(receive(l.mbox).ret, 500);
    EXPECT_TRUE(readable(ready));
    EXPECT_EQ(SP_buffered(l.mbox), (int)two.size());
    EXPECT_EQ(receive(l.mbox).ret, 10);
    EXPECT_FALSE(readable(ready));
}

// How a read-ahead stream ends: every whole message before the end is
// received, with the ready descriptor readable before each receive and
// before the one that reports the end.
TEST_F(SpreadSession, ReadAheadStreamEnds)
{
    Msg negative;
    negative.num_groups = -1;
    Msg oversize;
    oversize.data_len = (int64_t)SP_LARGEST_MESSAGE;
    Msg huge;
    huge.num_groups = INT_MAX;
    const std::string partial = numbered(99, 300);
    struct Case {
        const char *what;
        std::string tail;
        bool close_peer;
        int first_end;  // what the receive after the whole messages returns
    } cases[] = {
        {"end of file", "", true, CONNECTION_CLOSED},
        {"end of file in a header", partial.substr(0, 20), true, CONNECTION_CLOSED},
        {"end of file in a body", partial.substr(0, 200), true, CONNECTION_CLOSED},
        {"negative group count", build(negative) + partial, false, ILLEGAL_MESSAGE},
        {"over the largest message", build(oversize) + partial, false, ILLEGAL_MESSAGE},
        {"huge group count", build(huge), false, ILLEGAL_MESSAGE},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Live l;
        open_live(&l, daemon);
        ASSERT_EQ(l.result, ACCEPT_SESSION);
        ASSERT_EQ(SP_read_ahead(l.mbox, 1), 0);
        int ready = SP_ready_fd(l.mbox);
        ASSERT_TRUE(send_bytes(l.srv, numbered(0, 50) + numbered(1, 60) + c.tail));
        if (c.close_peer) {
            close(l.srv);
            l.srv = -1;
        }
        for (int i = 0; i < 2; i++) {
            ASSERT_TRUE(wkp_test::wait_until([&] { return readable(ready); }));
            Got g = receive(l.mbox);
            EXPECT_EQ(g.ret, 50 + 10 * i);
            EXPECT_EQ(std::stoi(g.body), i);
        }
        EXPECT_TRUE(wkp_test::wait_until([&] { return readable(ready); }));
        EXPECT_EQ(SP_buffered(l.mbox), 0);
        EXPECT_EQ(receive(l.mbox).ret, c.first_end);
        if (c.first_end == ILLEGAL_MESSAGE) {
            EXPECT_EQ(read_to_eof(l.srv), "") << "the connection is shut";
            EXPECT_EQ(SP_poll(l.mbox), 0);
            EXPECT_EQ(receive(l.mbox).ret, CONNECTION_CLOSED);
        }
        EXPECT_EQ(receive(l.mbox).ret, NET_ERROR_ON_SESSION);
        EXPECT_EQ(SP_read_ahead(l.mbox, 1), NET_ERROR_ON_SESSION);
    }
}

// SP_read_ahead(m, 0): nothing more is read; what was buffered is received,
// then CONNECTION_CLOSED at once. Reading on after a stop loses nothing.
TEST_F(SpreadSession, StopReading)
{
    size_t threads = count_entries("/proc/self/task");
    Live l;
    open_live(&l, daemon);
    ASSERT_EQ(l.result, ACCEPT_SESSION);
    EXPECT_EQ(SP_read_ahead(l.mbox, 0), 0) << "nothing to stop yet";
    ASSERT_EQ(SP_read_ahead(l.mbox, 1), 0);
    EXPECT_EQ(count_entries("/proc/self/task"), threads + 1);
    int ready = SP_ready_fd(l.mbox);

    std::string before;
    for (int i = 0; i < 5; i++)
        before += numbered(i, 40);
    ASSERT_TRUE(send_bytes(l.srv, before + numbered(5, 40).substr(0, 30)));
    ASSERT_TRUE(wkp_test::wait_until([&] { return socket_bytes(l.mbox) == 0 && SP_buffered(l.mbox) == (int)before.size(); }));
    ASSERT_EQ(SP_read_ahead(l.mbox, 0), 0);
    EXPECT_EQ(SP_read_ahead(l.mbox, 0), 0);
    EXPECT_EQ(count_entries("/proc/self/task"), threads);
    // Bytes the daemon sends now stay in the socket.
    std::string after = numbered(5, 40).substr(30) + numbered(6, 40);
    ASSERT_TRUE(send_bytes(l.srv, after));
    ASSERT_TRUE(wkp_test::wait_until([&] { return socket_bytes(l.mbox) == (int)after.size(); }));
    EXPECT_EQ(SP_poll(l.mbox), (int)before.size());
    for (int i = 0; i < 5; i++) {
        EXPECT_TRUE(readable(ready));
        Got g = receive(l.mbox);
        EXPECT_EQ(g.ret, 40);
        EXPECT_EQ(std::stoi(g.body), i);
    }
    EXPECT_TRUE(readable(ready)) << "the session has ended: a receive does not wait";
    EXPECT_EQ(receive(l.mbox).ret, CONNECTION_CLOSED);
    EXPECT_EQ(receive(l.mbox).ret, NET_ERROR_ON_SESSION);
    EXPECT_EQ(socket_bytes(l.mbox), (int)after.size());

    // Off and on again: the reader goes on where it stopped.
    Live m;
    open_live(&m, daemon, "bob");
    ASSERT_EQ(m.result, ACCEPT_SESSION);
    ASSERT_EQ(SP_read_ahead(m.mbox, 1), 0);
    ASSERT_TRUE(send_bytes(m.srv, before + numbered(5, 40).substr(0, 30)));
    ASSERT_TRUE(wkp_test::wait_until([&] { return socket_bytes(m.mbox) == 0 && SP_buffered(m.mbox) == (int)before.size(); }));
    ASSERT_EQ(SP_read_ahead(m.mbox, 0), 0);
    ASSERT_TRUE(send_bytes(m.srv, after));
    EXPECT_EQ(receive(m.mbox).body.substr(0, 2), "0.");
    ASSERT_EQ(SP_read_ahead(m.mbox, 1), 0);
    for (int i = 1; i < 7; i++) {
        Got g = receive(m.mbox);
        EXPECT_EQ(g.ret, 40);
        EXPECT_EQ(std::stoi(g.body), i);
    }
    EXPECT_FALSE(readable(SP_ready_fd(m.mbox)));
}

// SP_disconnect with the reader waiting for the socket, or for room in a
// full buffer: the daemon gets the goodbye, then end of file, and no thread
// or descriptor is left behind.
TEST_F(SpreadSession, DisconnectWhileReading)
{
    ReadAheadBound bound(1);
    for (bool full : {false, true}) {
        SCOPED_TRACE(full ? "buffer full" : "socket empty");
        size_t threads = count_entries("/proc/self/task");
        size_t fds = count_entries("/proc/self/fd");
        Live l;
        open_live(&l, daemon, "cap");
        ASSERT_EQ(l.result, ACCEPT_SESSION);
        ASSERT_EQ(SP_read_ahead(l.mbox, 1), 0);
        Writer writer(l.srv);
        if (full) {
            writer.start([&] {
                std::string chunk;
                for (int i = 0; i < 100; i++)
                    chunk += numbered(i, 1000);
                while (send_bytes(l.srv, chunk)) {
                }
            });
            ASSERT_TRUE(wkp_test::wait_until([&] {
                return SP_buffered(l.mbox) > (int)(SP_LARGEST_MESSAGE - 2000) && socket_bytes(l.mbox) > 0;
            }));
        }
        EXPECT_EQ(SP_disconnect(l.mbox), 0);
        l.mbox = -1;
        const std::string me = "23636170236c6f63616c686f7374" + std::string(36, '0');  // "#cap#localhost" slot
        EXPECT_EQ(to_hex(read_to_eof(l.srv)), "80000480" + me + "01000000" + "80000080" + "00000000" + me);
        if (full)
            writer.join();
        close(l.srv);
        l.srv = -1;
        EXPECT_EQ(count_entries("/proc/self/task"), threads);
        EXPECT_EQ(count_entries("/proc/self/fd"), fds);
    }
}

// The reader thread blocks every signal the application may handle, so they
// reach the application's threads; and it asks for no special scheduling,
// even where the process may (root here): it runs at the policy and
// niceness of the thread that started it, asking only for short time
// slices where the kernel takes such a request (sched_runtime non-zero).
TEST_F(SpreadSession, ReaderThreadBlocksSignalsAndAsksNoPriority)
{
    std::vector<std::string> tasks_before = list_entries("/proc/self/task");
    Live l;
    open_live(&l, daemon);
    ASSERT_EQ(l.result, ACCEPT_SESSION);
    ASSERT_EQ(SP_read_ahead(l.mbox, 1), 0);
    std::vector<std::string> added;
    for (const std::string &t : list_entries("/proc/self/task"))
        if (std::find(tasks_before.begin(), tasks_before.end(), t) == tasks_before.end())
            added.push_back(t);
    ASSERT_EQ(added.size(), 1u);
    // A new thread starts with every signal blocked and then takes its
    // creator's mask: look once it has read a message.
    ASSERT_TRUE(send_bytes(l.srv, numbered(1, 10)));
    ASSERT_TRUE(wkp_test::wait_until([&] { return SP_buffered(l.mbox) > 0; }));
    std::string status = wkp_test::read_file("/proc/self/task/" + added[0] + "/status");
    size_t at = status.find("SigBlk:");
    ASSERT_NE(at, std::string::npos);
    unsigned long long blocked = std::stoull(status.substr(at + 7), nullptr, 16);
    for (int sig : {SIGHUP, SIGINT, SIGTERM, SIGCHLD, SIGPIPE, SIGALRM, SIGUSR1, SIGUSR2})
        EXPECT_TRUE(blocked & (1ull << (sig - 1))) << sig;

    errno = 0;
    int nice_of_process = getpriority(PRIO_PROCESS, 0);
    ASSERT_EQ(errno, 0);
    EXPECT_EQ(sched_getscheduler((pid_t)std::stoi(added[0])), SCHED_OTHER);
    errno = 0;
    EXPECT_EQ(getpriority(PRIO_PROCESS, (id_t)std::stoi(added[0])), nice_of_process);
    EXPECT_EQ(errno, 0);
    struct {
        uint32_t size, policy;
        uint64_t flags;
        int32_t nice;
        uint32_t priority;
        uint64_t runtime, deadline, period;
    } attr{};
    ASSERT_EQ(syscall(SYS_sched_getattr, std::stoi(added[0]), &attr, (unsigned)sizeof attr, 0u), 0) << strerror(errno);
    EXPECT_EQ(attr.policy, (uint32_t)SCHED_OTHER);
    EXPECT_EQ(attr.nice, nice_of_process);
    if (attr.runtime != 0) {
        EXPECT_EQ(attr.runtime, SP_READER_SLICE_NS);
    }
}
