// minispread as a process with clients that go, lag or stall: a lost
// connection and shutdown, senders gone with messages in flight, slow and
// lagging readers and their queue bounds, a silent connection, driven
// through raw sockets and our client library.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/ioctl.h>
#include <sys/wait.h>

#include <thread>

#include "support/tools.h"

using namespace tools_test;

namespace {

TEST(Minispread, ConnectionLossThenShutdown)
{
    // A daemon killed outright: the session breaks and stays broken until
    // SP_disconnect.
    {
        Minispread d;
        ASSERT_TRUE(d.start());
        mailbox m = connect_as(d.unix_name(), "lost");
        ASSERT_GE(m, 0);
        d.proc.signal(SIGKILL);
        d.proc.wait();
        unlink(d.socket_path().c_str());
        EXPECT_EQ(receive(m).ret, CONNECTION_CLOSED);
        EXPECT_EQ(receive(m).ret, NET_ERROR_ON_SESSION);
        EXPECT_EQ(SP_multicast(m, AGREED_MESS, "g", 0, 1, "x"), NET_ERROR_ON_SESSION);
        EXPECT_EQ(SP_join(m, "g"), NET_ERROR_ON_SESSION);
        EXPECT_EQ(SP_disconnect(m), 0);
        EXPECT_EQ(receive(m).ret, ILLEGAL_SESSION);
    }
    // SIGTERM closes every session, removes the socket file and exits 0.
    Minispread d;
    ASSERT_TRUE(d.start());
    mailbox u = connect_as(d.unix_name(), "u");
    mailbox t = connect_as(d.tcp_name(), "t");
    ASSERT_EQ(SP_join(u, "g"), 0);
    ASSERT_EQ(receive(u).svc, REG_MEMB_MESS | CAUSED_BY_JOIN);
    d.proc.signal(SIGTERM);
    ASSERT_TRUE(d.proc.wait());
    EXPECT_EQ(d.proc.exit_code(), 0);
    EXPECT_FALSE(file_exists(d.socket_path()));
    EXPECT_EQ(receive(u).ret, CONNECTION_CLOSED);
    EXPECT_EQ(receive(t).ret, CONNECTION_CLOSED);
    SP_disconnect(u);
    SP_disconnect(t);
}

// A raw session as raw_session gives, over TCP or the Unix socket.
int raw_session_over(const Minispread &d, bool tcp, const std::string &name, std::string *private_group)
{
    if (!tcp)
        return raw_session(d.port, name, private_group);
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons((uint16_t)d.port);
    std::string b;
    if (connect(fd, (sockaddr *)&addr, sizeof addr) != 0 || !send_bytes(fd, connect_message(name)) ||
        !recv_bytes(fd, 6, &b) || !send_bytes(fd, null_auth()) || !recv_bytes(fd, 5, &b) || b[0] != 1 ||
        !recv_bytes(fd, (unsigned char)b[4], private_group)) {
        close(fd);
        return -1;
    }
    return fd;
}

// A sender that goes away without SP_disconnect while the daemon has not
// yet read its last messages: the members get every one of them, in order,
// before the notice of its disconnect. Repeated, so that a race shows, over
// both transports:
// - through the library, from a process that ends (_exit) right after its
//   last multicast, its socket closed cleanly;
// - raw, one write of all its messages and a close, from a member whose
//   own copies come back and are never read: its connection is reset and
//   the daemon's writes to it fail while its messages still wait.
// Over TCP a sender closes only once the daemon's side took everything it
// sent: a reset discards whatever the sender's own kernel still holds,
// which no daemon could deliver.
TEST(Minispread, SenderGoneLosesNoTail)
{
    Minispread d;
    ASSERT_TRUE(d.start());
    const int repeats = 15;
    for (bool tcp : {false, true}) {
        for (bool raw : {false, true}) {
            SCOPED_TRACE(std::string(tcp ? "tcp" : "unix") + (raw ? ", raw" : ", library"));
            const std::string daemon = tcp ? d.tcp_name() : d.unix_name();
            const int count = raw ? 500 : 10000;
            std::string pr;
            mailbox r = connect_as(daemon, "tailr", true, &pr);
            ASSERT_GE(r, 0);
            ASSERT_EQ(SP_join(r, "tail"), 0);
            ASSERT_EQ(receive(r).svc, REG_MEMB_MESS | CAUSED_BY_JOIN);
            for (int run = 0; run < repeats; run++) {
                SCOPED_TRACE("run " + std::to_string(run));
                pid_t child = -1;
                if (raw) {
                    std::string pg, all;
                    int fd = raw_session_over(d, tcp, "tails", &pg);
                    ASSERT_GE(fd, 0);
                    ASSERT_TRUE(send_bytes(fd, raw_join(pg, "tail")));
                    for (int i = 0; i < count; i++) {
                        std::string body = "message " + std::to_string(i);
                        all += header(AGREED_MESS, pg, 1, 0, (int32_t)body.size()) + slot("tail") + body;
                    }
                    ASSERT_TRUE(send_bytes(fd, all));
                    int unsent = 0;
                    while (tcp && ioctl(fd, TIOCOUTQ, &unsent) == 0 && unsent > 0)
                        usleep(1000);
                    close(fd);
                } else {
                    child = fork();
                    ASSERT_GE(child, 0);
                    if (child == 0) {
                        mailbox s = connect_as(daemon, "tails", false);
                        if (s < 0 || SP_join(s, "tail") != 0)
                            _exit(1);
                        char body[64];
                        for (int i = 0; i < count; i++) {
                            int n = snprintf(body, sizeof body, "message %d", i);
                            if (SP_multicast(s, AGREED_MESS | SELF_DISCARD, "tail", 0, n, body) != n)
                                _exit(2);
                        }
                        int unsent = 0;
                        while (tcp && ioctl(s, TIOCOUTQ, &unsent) == 0 && unsent > 0)
                            usleep(1000);
                        _exit(0);
                    }
                }
                Received m = receive(r, 30000, 0, 10, 64);
                EXPECT_EQ(m.svc, REG_MEMB_MESS | CAUSED_BY_JOIN);
                int got = 0;
                for (;;) {
                    m = receive(r, 30000, 0, 10, 64);
                    if (m.ret < 0 || m.ret == TIMED_OUT || !Is_regular_mess(m.svc))
                        break;
                    if (m.body != "message " + std::to_string(got))
                        break;
                    got++;
                }
                EXPECT_EQ(got, count);
                EXPECT_EQ(m.svc, REG_MEMB_MESS | CAUSED_BY_DISCONNECT) << "ret " << m.ret << ", body " << m.body;
                if (child > 0) {
                    int status = -1;
                    ASSERT_EQ(waitpid(child, &status, 0), child);
                    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
                }
                if (got != count)
                    break;
            }
            SP_disconnect(r);
        }
    }
    EXPECT_EQ(d.proc.err(), "");
}

// A sender that exits without SP_disconnect over TCP right after its last
// multicast, its messages still on their way (nothing waits for its socket
// to empty), while a receiver reads nothing until the sender is gone: the
// daemon reads every sender as soon as its bytes arrive and holds what the
// receiver has not taken, so the receiver gets every message, in order,
// then the notice of the sender's disconnect. 15 runs, so that a race
// shows.
TEST(Minispread, SenderGoneOverTcpLeavesNothingInItsKernel)
{
    Minispread d;
    ASSERT_TRUE(d.start());
    // 10 MB a run: far more than the kernel buffers between the daemon and
    // the receiver hold, so most of it waits in the daemon.
    const int repeats = 15, count = 10000;
    auto body_of = [](int i) {
        std::string body = "message " + std::to_string(i) + " ";
        body.resize(1000, 'x');
        return body;
    };
    std::string pr;
    mailbox r = connect_as(d.tcp_name(), "tailr", true, &pr);
    ASSERT_GE(r, 0);
    ASSERT_EQ(SP_join(r, "tail"), 0);
    ASSERT_EQ(receive(r).svc, REG_MEMB_MESS | CAUSED_BY_JOIN);
    for (int run = 0; run < repeats; run++) {
        SCOPED_TRACE("run " + std::to_string(run));
        pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            mailbox s = connect_as(d.tcp_name(), "tails", false);
            if (s < 0 || SP_join(s, "tail") != 0)
                _exit(1);
            for (int i = 0; i < count; i++) {
                std::string body = body_of(i);
                if (SP_multicast(s, AGREED_MESS | SELF_DISCARD, "tail", 0, (int)body.size(), body.data()) != (int)body.size())
                    _exit(2);
            }
            _exit(0);
        }
        int status = -1;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
        Received m = receive(r, 60000, 0, 10, 2000);
        EXPECT_EQ(m.svc, REG_MEMB_MESS | CAUSED_BY_JOIN);
        int got = 0;
        for (;;) {
            m = receive(r, 60000, 0, 10, 2000);
            if (m.ret < 0 || m.ret == TIMED_OUT || !Is_regular_mess(m.svc))
                break;
            if (m.body != body_of(got))
                break;
            got++;
        }
        EXPECT_EQ(got, count);
        EXPECT_EQ(m.svc, REG_MEMB_MESS | CAUSED_BY_DISCONNECT) << "ret " << m.ret << ", body " << m.body;
        if (got != count)
            break;
    }
    SP_disconnect(r);
    EXPECT_EQ(d.proc.err(), "");
}

// A flooder joined to the group it floods, over TCP: it keeps at most 200
// of its messages in flight by reading its own copies back, sends 10,000
// of 100 bytes, and exits without SP_disconnect with its last copies
// unread, so its kernel resets the connection and throws away whatever it
// still held unsent. The daemon acknowledges small segments at once, so
// the client's kernel holds nothing back: a member gets all 10,000, in
// order, then the flooder's disconnect, in every one of 10 runs.
TEST(Minispread, JoinedFlooderGoneOverTcpLosesNoTail)
{
    Minispread d;
    ASSERT_TRUE(d.start());
    const int runs = 10, count = 10000, window = 200;
    auto body_of = [](int i) {
        std::string body = "message " + std::to_string(i) + " ";
        body.resize(100, 'x');
        return body;
    };
    std::string pr;
    mailbox r = connect_as(d.tcp_name(), "floodr", true, &pr);
    ASSERT_GE(r, 0);
    ASSERT_EQ(SP_join(r, "flood"), 0);
    ASSERT_EQ(receive(r).svc, REG_MEMB_MESS | CAUSED_BY_JOIN);
    for (int run = 0; run < runs; run++) {
        SCOPED_TRACE("run " + std::to_string(run));
        pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            mailbox s = connect_as(d.tcp_name(), "flooder", true);
            if (s < 0 || SP_join(s, "flood") != 0)
                _exit(1);
            std::vector<char> copy(1000);
            char groups[8][MAX_GROUP_NAME], sender[MAX_GROUP_NAME];
            int back = 0;   // own copies read
            for (int i = 0; i < count; i++) {
                std::string body = body_of(i);
                if (SP_multicast(s, AGREED_MESS, "flood", 0, (int)body.size(), body.data()) != (int)body.size())
                    _exit(2);
                while (i + 1 - back >= window) {
                    service svc = 0;
                    int ng = 0, em = 0;
                    int16 mt = 0;
                    if (SP_receive(s, &svc, sender, 8, &ng, groups, &mt, &em, (int)copy.size(), copy.data()) < 0)
                        _exit(3);
                    if (Is_regular_mess(svc))
                        back++;
                }
            }
            _exit(0);
        }
        Received m = receive(r, 60000, 0, 10, 200);
        EXPECT_EQ(m.svc, REG_MEMB_MESS | CAUSED_BY_JOIN);
        int got = 0;
        for (;;) {
            m = receive(r, 60000, 0, 10, 200);
            if (m.ret < 0 || m.ret == TIMED_OUT || !Is_regular_mess(m.svc) || m.body != body_of(got))
                break;
            got++;
        }
        EXPECT_EQ(got, count);
        EXPECT_EQ(m.svc, REG_MEMB_MESS | CAUSED_BY_DISCONNECT) << "ret " << m.ret << ", body " << m.body;
        int status = -1;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
        if (got != count)
            break;
    }
    SP_disconnect(r);
    EXPECT_EQ(d.proc.err(), "");
}

// What a receiver's socket does not take waits in the daemon up to its
// bound (-q): a member that reads nothing while 15 MB of 100 kB messages
// are sent gets them all, in order, however long it takes to read them;
// the sender is never held back meanwhile (it runs on this same thread).
// Once more than the bound waits, the member is killed when the next
// message comes, and the daemon goes on.
TEST(Minispread, SlowReaderKilledPastItsQueueBound)
{
    Minispread d;
    ASSERT_TRUE(d.start({"-q", "20000000"}));
    std::string pr;
    mailbox s = connect_as(d.unix_name(), "s", false);
    mailbox r = connect_as(d.unix_name(), "slowr", false, &pr);
    ASSERT_EQ(SP_join(r, "slow"), 0);
    ASSERT_TRUE(settle(r, pr));

    // 100 kB messages: the kernel buffers hold only a few of them.
    std::string body(100000, 'm');
    auto send_batch = [&](int count) {
        for (int i = 0; i < count; i++) {
            memcpy(&body[0], &i, sizeof i);
            ASSERT_EQ(SP_multicast(s, AGREED_MESS, "slow", 0, (int)body.size(), body.data()), (int)body.size());
        }
    };
    send_batch(150);
    for (int i = 0; i < 150; i++) {
        Received m = receive(r);
        ASSERT_EQ(m.ret, (int)body.size()) << "message " << i;
        int seq;
        memcpy(&seq, m.body.data(), sizeof seq);
        ASSERT_EQ(seq, i);
    }
    EXPECT_EQ(receive(r, 300).ret, TIMED_OUT);
    EXPECT_EQ(d.proc.err(), "");

    send_batch(250);
    int got = 0;
    Received m;
    while ((m = receive(r)).ret == (int)body.size())
        got++;
    EXPECT_EQ(m.ret, CONNECTION_CLOSED);
    EXPECT_LT(got, 250);
    EXPECT_EQ(d.proc.err(), "minispread: killing session #slowr#localhost for not reading\n");
    EXPECT_TRUE(d.proc.running());
    SP_disconnect(r);
    SP_disconnect(s);
}

// A member that lags far behind (reads nothing while 30 MB are sent to
// it) holds nobody back and loses nothing by default: the sender finishes,
// then the member reads every message whole.
TEST(Minispread, LaggingReaderHoldsUpNoSenderAndGetsEverything)
{
    Minispread d;
    ASSERT_TRUE(d.start());
    std::string pg, b;
    int lag = raw_session(d.port, "lag", &pg);
    ASSERT_GE(lag, 0);
    ASSERT_TRUE(send_bytes(lag, raw_join(pg, "lagging")));
    ASSERT_TRUE(recv_bytes(lag, 48 + 32 + 56, &b));   // its join notice

    // 3000 lines of 10 kB, fed from another thread while this one waits.
    signal(SIGPIPE, SIG_IGN);
    const int lines = 3000;
    Process sender;
    ASSERT_TRUE(sender.start({bin("spcat"), "-s", d.unix_name(), "-g", "lagging"}, true));
    std::string line(9999, 'w');
    line += "\n";
    std::jthread feed([&] {
        for (int i = 0; i < lines; i++)
            sender.send(line);
        sender.close_stdin();
    });
    bool finished = sender.wait(120000);
    if (!finished)
        sender.signal(SIGKILL);   // unblocks the feeding thread
    feed.join();
    ASSERT_TRUE(finished) << "the sender was held back";
    EXPECT_EQ(sender.exit_code(), 0);

    const size_t each = 48 + 32 + line.size();
    std::string in;
    ASSERT_TRUE(recv_bytes(lag, lines * each, &in, 60000));
    for (int i = 0; i < lines; i++)
        ASSERT_EQ(in.substr(i * each + 48 + 32, line.size()), line) << "message " << i;
    pollfd p{lag, POLLIN, 0};
    EXPECT_EQ(poll(&p, 1, 0), 0) << "nothing more, and still connected";
    EXPECT_EQ(d.proc.err(), "");
    close(lag);
}

// -S, the real daemon's policy: a member that stops reading is disconnected
// as soon as 1000 messages wait for it in the daemon (what its kernel buffer
// already took is not counted) and another one comes, while a member that
// keeps up gets everything and stays. The sender sends in rounds of 400 and
// the keeping-up member reads each round, so that only the stalled one can
// reach 1000.
TEST(Minispread, AsSpreadKillsAtThousandQueued)
{
    Minispread d;
    ASSERT_TRUE(d.start({"-S"}));
    std::string pk, stall_pg;
    mailbox keep = connect_as(d.unix_name(), "keep", true, &pk);
    mailbox s = connect_as(d.unix_name(), "sender", false);
    ASSERT_GE(keep, 0);
    ASSERT_GE(s, 0);
    ASSERT_EQ(SP_join(keep, "flood"), 0);
    ASSERT_EQ(receive(keep).svc, REG_MEMB_MESS | CAUSED_BY_JOIN);
    int stall = raw_session(d.port, "stall", &stall_pg, false);
    ASSERT_GE(stall, 0);
    ASSERT_TRUE(send_bytes(stall, raw_join(stall_pg, "flood")));
    ASSERT_EQ(receive(keep).svc, REG_MEMB_MESS | CAUSED_BY_JOIN);

    const int rounds = 8, per_round = 400;
    std::string body(1000, 'f');
    int sent = 0, got = 0, notice_after = -1;
    for (int round = 0; round < rounds; round++) {
        for (int i = 0; i < per_round; i++, sent++) {
            memcpy(&body[0], &sent, sizeof sent);
            ASSERT_EQ(SP_multicast(s, AGREED_MESS, "flood", 0, (int)body.size(), body.data()), (int)body.size());
        }
        while (got < sent) {
            Received m = receive(keep, 30000, 0, 10, 2000);
            ASSERT_GE(m.ret, 0);
            if (Is_membership_mess(m.svc)) {
                EXPECT_EQ(m.svc, REG_MEMB_MESS | CAUSED_BY_DISCONNECT);
                membership_info info;
                ASSERT_EQ(SP_get_memb_info(m.body.data(), m.svc, &info), 1);
                EXPECT_STREQ(info.changed_member, "#stall#localhost");
                EXPECT_EQ(notice_after, -1);
                notice_after = got;
                continue;
            }
            int seq;
            memcpy(&seq, m.body.data(), sizeof seq);
            ASSERT_EQ(seq, got);
            got++;
        }
    }
    EXPECT_EQ(got, rounds * per_round);

    // What the stalled member can still read: whole messages, in order, up
    // to the end of the stream. 1000 more were queued for it when the next
    // one came, which the keeping-up member got just before the notice.
    std::string in;
    char buf[65536];
    ssize_t n;
    while ((n = recv(stall, buf, sizeof buf, 0)) > 0)
        in.append(buf, (size_t)n);
    int whole = 0;
    for (size_t at = 0; at + 48 + 32 + body.size() <= in.size(); at += 48 + 32 + body.size(), whole++) {
        int seq;
        memcpy(&seq, in.data() + at + 48 + 32, sizeof seq);
        ASSERT_EQ(seq, whole);
    }
    EXPECT_GT(whole, 0);
    EXPECT_EQ(notice_after, whole + 1000 + 1);
    EXPECT_EQ(d.proc.err(), "minispread: killing session #stall#localhost for not reading\n");
    close(stall);
    SP_disconnect(keep);
    SP_disconnect(s);
}

// A connection that has not said anything yet does not hold up others:
// they are served while it is still open.
TEST(Minispread, SilentConnectionBlocksNobody)
{
    Minispread d;
    ASSERT_TRUE(d.start());
    int silent = raw_socket(d.port);
    ASSERT_GE(silent, 0);
    mailbox m = connect_as(d.unix_name(), "talker");
    ASSERT_GE(m, 0);
    pollfd p{silent, POLLIN, 0};
    EXPECT_EQ(poll(&p, 1, 0), 0);   // no reply, no end of stream
    SP_disconnect(m);
    close(silent);
}

}  // namespace
