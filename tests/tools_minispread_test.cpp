// minispread as a process: handshakes, names, the session quota, header
// checks and its command line, driven through raw sockets and our client
// library. Delivery and membership are in tools_minispread_delivery_test.cpp,
// clients that go, lag or stall in tools_minispread_peers_test.cpp.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/ioctl.h>
#include <sys/wait.h>

#include <thread>

#include "support/tools.h"

using namespace tools_test;

namespace {

TEST(Minispread, HandshakeVariants)
{
    Minispread d;
    ASSERT_TRUE(d.start());
    std::string b, pg;

    // A connect message in two writes 200 ms apart is still accepted.
    int fd = raw_socket(d.port);
    std::string m = connect_message("split");
    ASSERT_TRUE(send_bytes(fd, m.substr(0, 2)));
    usleep(200000);
    ASSERT_TRUE(send_bytes(fd, m.substr(2)));
    ASSERT_TRUE(recv_bytes(fd, 6, &b));
    EXPECT_EQ(b, std::string("\x05NULL ", 6));
    ASSERT_TRUE(send_bytes(fd, null_auth()));
    ASSERT_TRUE(recv_bytes(fd, 5 + 16, &b));
    EXPECT_EQ(b, std::string("\x01\x05\x00\x01\x10#split#localhost", 21));
    close(fd);

    // Connect message and auth reply in one write.
    fd = raw_socket(d.port);
    ASSERT_TRUE(send_bytes(fd, connect_message("piped") + null_auth()));
    ASSERT_TRUE(recv_bytes(fd, 6 + 5 + 16, &b));
    EXPECT_EQ(b, std::string("\x05NULL \x01\x05\x00\x01\x10#piped#localhost", 27));
    close(fd);

    // A 3.14 library sends no patch byte, has no auth exchange and gets no
    // patch byte back.
    fd = raw_socket(d.port);
    ASSERT_TRUE(send_bytes(fd, std::string("\x03\x0e\x01\x03old", 7)));
    ASSERT_TRUE(recv_bytes(fd, 4 + 14, &b));
    EXPECT_EQ(b, std::string("\x01\x05\x00\x0e#old#localhost", 18));
    close(fd);

    // Anonymous sessions get distinct "r<number>-<number>" names.
    std::string a1, a2;
    mailbox m1 = connect_as(d.unix_name(), nullptr, true, &a1);
    mailbox m2 = connect_as(d.unix_name(), "", true, &a2);
    ASSERT_GE(m1, 0);
    ASSERT_GE(m2, 0);
    EXPECT_NE(a1, a2);
    for (const std::string &a : {a1, a2}) {
        int r = -1, s = -1, used = 0;
        ASSERT_EQ(sscanf(a.c_str(), "#r%d-%d#localhost%n", &r, &s, &used), 2) << a;
        EXPECT_EQ(used, (int)a.size()) << a;
        EXPECT_LE(a.size(), 1 + 9 + 1 + 9u) << a;
    }
    SP_disconnect(m1);
    SP_disconnect(m2);
}

TEST(Minispread, NameRejectsAndReuse)
{
    Minispread d;
    ASSERT_TRUE(d.start({"-n", "node-7"}));
    std::string pg;
    mailbox a = connect_as(d.unix_name(), "alice", true, &pg);
    ASSERT_GE(a, 0);
    EXPECT_EQ(pg, "#alice#node-7");

    mailbox m;
    char group[MAX_GROUP_NAME];
    EXPECT_EQ(SP_connect(d.unix_name().c_str(), "alice", 0, 1, &m, group), REJECT_NOT_UNIQUE);
    EXPECT_EQ(SP_connect(d.tcp_name().c_str(), "alice", 0, 1, &m, group), REJECT_NOT_UNIQUE);
    EXPECT_EQ(SP_connect(d.unix_name().c_str(), "a b", 0, 1, &m, group), REJECT_ILLEGAL_NAME);
    EXPECT_EQ(SP_connect(d.unix_name().c_str(), "#x", 0, 1, &m, group), REJECT_ILLEGAL_NAME);

    // Refused arguments send nothing: the session goes on working.
    std::vector<char> big(143153);
    EXPECT_EQ(SP_join(a, "a b"), ILLEGAL_GROUP);
    EXPECT_EQ(SP_leave(a, std::string(32, 'g').c_str()), ILLEGAL_GROUP);
    EXPECT_EQ(SP_multicast(a, SELF_DISCARD, "g", 0, 1, "x"), ILLEGAL_SERVICE);
    EXPECT_EQ(SP_multicast(a, AGREED_MESS | REJECT_MESS, "g", 0, 1, "x"), ILLEGAL_SERVICE);
    EXPECT_EQ(SP_multicast(a, AGREED_MESS, "g", 0, (int)big.size() - 32, big.data()), MESSAGE_TOO_LONG);
    EXPECT_TRUE(settle(a, pg));

    // The name is free again once its session is gone, however it went.
    SP_disconnect(a);
    a = connect_as(d.tcp_name(), "alice");
    ASSERT_GE(a, 0);
    SP_kill(a);
    EXPECT_TRUE(wait_until([&] {
        mailbox again = connect_as(d.unix_name(), "alice");
        if (again < 0)
            return false;
        SP_disconnect(again);
        return true;
    }));
}

TEST(Minispread, SessionQuota)
{
    rlimit rl;
    getrlimit(RLIMIT_NOFILE, &rl);
    if (rl.rlim_cur < 1100) {
        rl.rlim_cur = std::min<rlim_t>(rl.rlim_max, 1100);
        setrlimit(RLIMIT_NOFILE, &rl);
        getrlimit(RLIMIT_NOFILE, &rl);
        if (rl.rlim_cur < 1100)
            GTEST_SKIP() << "needs 1100 descriptors";
    }
    Minispread d;
    ASSERT_TRUE(d.start());
    std::vector<int> fds;
    for (int i = 0; i < 997; i++) {
        std::string pg;
        int fd = raw_session(d.port, "s" + std::to_string(i), &pg);
        ASSERT_GE(fd, 0) << "session " << i;
        fds.push_back(fd);
    }
    // The 998th gets REJECT_QUOTA at once, before sending anything.
    int fd = raw_socket(d.port);
    std::string b;
    ASSERT_TRUE(recv_bytes(fd, 1, &b));
    EXPECT_EQ(b, "\xfd");
    EXPECT_TRUE(wait_closed(fd));
    close(fd);

    close(fds.back());
    fds.pop_back();
    std::string pg;
    EXPECT_TRUE(wait_until([&] {
        int again = raw_session(d.port, "late", &pg);
        if (again < 0)
            return false;
        fds.push_back(again);
        return true;
    }));
    for (int f : fds)
        close(f);
}

// Each bad header kills its sender, which the other members see as a
// disconnect; the daemon carries on.
TEST(Minispread, BadHeadersKillTheSender)
{
    Minispread d;
    ASSERT_TRUE(d.start());
    mailbox w = connect_as(d.unix_name(), "watch");
    ASSERT_GE(w, 0);
    ASSERT_EQ(SP_join(w, "hf"), 0);
    ASSERT_EQ(receive(w).svc, REG_MEMB_MESS | CAUSED_BY_JOIN);

    const std::string me = "#victim#localhost";
    struct Case {
        const char *what;
        std::string bytes;
    };
    const Case cases[] = {
        {"two services", header(0x10 | 0x20, me, 1, 0, 3) + slot("hf") + "bad"},
        {"no kind", header(0x40, me, 1, 0, 0) + slot("hf")},
        {"groups message", header(0x80000, me, 1, 0, 0) + slot("hf")},
        {"other session's name", header(0x10, "#watch#localhost", 1, 0, 0) + slot("hf")},
        {"other daemon", header(0x10, "#victim#elsewhere", 1, 0, 0) + slot("hf")},
        {"101 groups", header(0x10, me, 101, 0, 0)},
        {"negative groups", header(0x10, me, -1, 0, 0)},
        {"hint garbage", header(0x10, me, 1, 0x01, 0) + slot("hf")},
        {"negative length", header(0x10, me, 1, 0, -5) + slot("hf")},
        // 48 + 32 + 143936 is more than the real daemon survives.
        {"over the payload limit", header(0x10, me, 1, 0, 143936) + slot("hf") + std::string(143936, 'x')},
        {"over 144000", header(0x10, me, 0, 0, 144001)},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        std::string pg;
        int v = raw_session(d.port, "victim", &pg);
        ASSERT_GE(v, 0);
        ASSERT_TRUE(send_bytes(v, raw_join(pg, "hf")));
        Received joined = receive(w);
        ASSERT_EQ(joined.svc, REG_MEMB_MESS | CAUSED_BY_JOIN);
        send_bytes(v, c.bytes);
        EXPECT_TRUE(wait_closed(v));
        close(v);
        Received gone = receive(w);
        EXPECT_EQ(gone.svc, REG_MEMB_MESS | CAUSED_BY_DISCONNECT);
        membership_info info;
        ASSERT_EQ(SP_get_memb_info(gone.body.data(), gone.svc, &info), 1);
        EXPECT_STREQ(info.changed_member, "#victim#localhost");
        EXPECT_EQ(gone.groups, std::vector<std::string>{"#watch#localhost"});
    }
    EXPECT_TRUE(d.proc.running());

    // The largest legal message is delivered.
    std::string pg;
    int v = raw_session(d.port, "big", &pg);
    ASSERT_GE(v, 0);
    std::string body(143920, 'b');
    ASSERT_TRUE(send_bytes(v, header(0x10, pg, 1, 0, (int32_t)body.size()) + slot("hf") + body));
    Received r = receive(w);
    EXPECT_EQ(r.ret, (int)body.size());
    EXPECT_EQ(r.sender, "#big#localhost");
    EXPECT_TRUE(r.body == body);
    close(v);
    SP_disconnect(w);
}

TEST(Minispread, CommandLine)
{
    struct Case {
        std::vector<std::string> args;
        std::string err;
    };
    const Case cases[] = {
        {{"-p", "0"}, "minispread: illegal port \"0\"\n"},
        {{"-p", "65536"}, "minispread: illegal port \"65536\"\n"},
        {{"-p", "48x"}, "minispread: illegal port \"48x\"\n"},
        {{"-n", "a b"}, "minispread: illegal daemon name \"a b\" (1 to 19 characters from '$' to '~')\n"},
        {{"-n", "twenty-characters-xx"},
         "minispread: illegal daemon name \"twenty-characters-xx\" (1 to 19 characters from '$' to '~')\n"},
        {{"-q", "1048575"}, "minispread: illegal queue bound \"1048575\" (at least 1048576 bytes)\n"},
        {{"-q", "-5"}, "minispread: illegal queue bound \"-5\" (at least 1048576 bytes)\n"},
        {{"-q", "2M"}, "minispread: illegal queue bound \"2M\" (at least 1048576 bytes)\n"},
        {{"-q", "99999999999999999999999"},
         "minispread: illegal queue bound \"99999999999999999999999\" (at least 1048576 bytes)\n"},
        {{"extra"}, "usage: minispread [-S] [-1] [-p PORT] [-n NAME] [-q BYTES]\n"},
        {{"-x"}, "usage: minispread [-S] [-1] [-p PORT] [-n NAME] [-q BYTES]\n"},
        {{"-p"}, "usage: minispread [-S] [-1] [-p PORT] [-n NAME] [-q BYTES]\n"},
    };
    for (const Case &c : cases) {
        std::vector<std::string> argv = {bin("minispread")};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        Process p;
        run(p, argv);
        EXPECT_EQ(p.exit_code(), 1) << c.args[0];
        EXPECT_EQ(p.err(), c.err);
    }

    // A port that is taken: the running daemon and its socket file survive.
    Minispread d;
    ASSERT_TRUE(d.start());
    Process second;
    run(second, {bin("minispread"), "-p", std::to_string(d.port)});
    EXPECT_EQ(second.exit_code(), 1);
    EXPECT_EQ(second.err(),
              "minispread: cannot listen on 127.0.0.1:" + std::to_string(d.port) + ": Address already in use\n");
    EXPECT_TRUE(file_exists(d.socket_path()));
    mailbox m = connect_as(d.unix_name(), "still");
    EXPECT_GE(m, 0);
    SP_disconnect(m);
}

}  // namespace
