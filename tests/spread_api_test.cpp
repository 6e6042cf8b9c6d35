// The client library's local behaviour: the C header, sp_time arithmetic,
// daemon names, error texts and the arguments refused before anything is
// sent.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "spread/client.h"
#include "spread/sp.h"
#include "support/process.h"

extern "C" int spread_c_api_values(long out[12]);

namespace {

// A session on one end of a socket pair; the test holds the other end.
struct PairSession {
    mailbox mbox = -1;
    int peer = -1;
    PairSession()
    {
        int sv[2];
        if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0)
            return;
        if (sp_session_adopt(sv[0], "#me#localhost") != 0) {
            close(sv[0]);
            close(sv[1]);
            return;
        }
        mbox = sv[0];
        peer = sv[1];
    }
    ~PairSession()
    {
        if (mbox >= 0)
            SP_kill(mbox);
        if (peer >= 0)
            close(peer);
    }
    int pending() const
    {
        int n = -1;
        ioctl(peer, FIONREAD, &n);
        return n;
    }
};

// Runs fn with standard error sent to a file; returns what was written.
template <class Fn> std::string capture_stderr(Fn fn)
{
    wkp_test::TempDir dir;
    std::string path = dir.file("err");
    fflush(stderr);
    int saved = dup(2);
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(fd, 2);
    close(fd);
    fn();
    fflush(stderr);
    dup2(saved, 2);
    close(saved);
    return wkp_test::read_file(path);
}

}  // namespace

TEST(SpreadApi, HeaderServesC)
{
    long v[12];
    int mask = spread_c_api_values(v);
    EXPECT_EQ(mask, 1 | 4 | 8);
    EXPECT_EQ(v[0], (long)sizeof(membership_info));
    EXPECT_EQ(v[0], 12 + 32 + 4 + 8);
    EXPECT_EQ(v[1], 12);
    EXPECT_EQ(v[2], -2);
    EXPECT_EQ(v[3], -300000);
    EXPECT_EQ(v[4], 1);
    EXPECT_EQ(v[5], 32);
    EXPECT_EQ(v[6], 24);
    EXPECT_EQ(v[7], 14);
    EXPECT_EQ(v[8], 65535L + 4294967295L);  // unsigned int16, unsigned int32
    EXPECT_EQ(v[9], MAX_CLIENT_SCATTER_ELEMENTS);
    EXPECT_EQ(v[10], (long)(sizeof(char *) + sizeof(size_t)));
    EXPECT_EQ(v[11], 8 * 100 + 2 * (long)sizeof(long));
}

TEST(SpreadApi, TimeArithmetic)
{
    struct Case {
        char op;
        sp_time a, b, want;
    } cases[] = {
        {'-', {7, 500000}, {5, 200000}, {2, 300000}},
        {'-', {5, 900000}, {3, 950000}, {1, 950000}},
        {'-', {5, 200000}, {7, 500000}, {-2, -300000}},
        {'-', {5, 0}, {5, 0}, {0, 0}},
        {'-', {10, 0}, {0, 1}, {9, 999999}},
        {'-', {0, 1}, {10, 0}, {-9, -999999}},
        {'+', {5, 900000}, {3, 950000}, {9, 850000}},
        {'+', {1, 0}, {-2, -500000}, {-1, -500000}},
        {'+', {-1, -600000}, {0, -600000}, {-2, -200000}},
        {'+', {0, 0}, {0, 0}, {0, 0}},
    };
    for (const Case &c : cases) {
        sp_time r = c.op == '-' ? E_sub_time(c.a, c.b) : E_add_time(c.a, c.b);
        EXPECT_EQ(r.sec, c.want.sec) << c.a.sec << "." << c.a.usec << c.op << c.b.sec << "." << c.b.usec;
        EXPECT_EQ(r.usec, c.want.usec) << c.a.sec << "." << c.a.usec << c.op << c.b.sec << "." << c.b.usec;
    }
    EXPECT_EQ(E_compare_time({5, 1}, {5, 0}), 1);
    EXPECT_EQ(E_compare_time({4, 999999}, {5, 0}), -1);
    EXPECT_EQ(E_compare_time({-1, 0}, {-1, 0}), 0);
    // Absurd inputs wrap rather than overflow.
    sp_time r = E_add_time({LONG_MAX, 999999}, {1, 1});
    EXPECT_EQ(r.usec, 0);

    struct timeval before, after;
    gettimeofday(&before, nullptr);
    sp_time now = E_get_time();
    gettimeofday(&after, nullptr);
    EXPECT_GE(E_compare_time(now, {before.tv_sec, before.tv_usec}), 0);
    EXPECT_LE(E_compare_time(now, {after.tv_sec, after.tv_usec}), 0);
}

TEST(SpreadApi, DaemonNames)
{
    struct Case {
        const char *name;
        int result;
        bool tcp;
        unsigned port;
        const char *host;
    } cases[] = {
        {nullptr, 0, false, 4803, ""},
        {"", 0, false, 4803, ""},
        {"24803", 0, false, 24803, ""},
        {"24803@127.0.0.1", 0, true, 24803, "127.0.0.1"},
        {"24803@localhost", 0, true, 24803, "localhost"},
        {"65535", 0, false, 65535, ""},
        {"65536", ILLEGAL_SPREAD, false, 0, ""},
        {"123456", ILLEGAL_SPREAD, false, 0, ""},
        {"abc", ILLEGAL_SPREAD, false, 0, ""},
        {"4803x", ILLEGAL_SPREAD, false, 0, ""},
        {"4803 127.0.0.1", ILLEGAL_SPREAD, false, 0, ""},
        {"4803@", ILLEGAL_SPREAD, false, 0, ""},
        {"@host", ILLEGAL_SPREAD, false, 0, ""},
        {" 4803", ILLEGAL_SPREAD, false, 0, ""},
        {"-4803", ILLEGAL_SPREAD, false, 0, ""},
    };
    for (const Case &c : cases) {
        SpDaemonAddress a;
        memset(&a, 0x7f, sizeof a);
        ASSERT_EQ(sp_parse_daemon_name(c.name, &a), c.result) << (c.name ? c.name : "(null)");
        if (c.result != 0)
            continue;
        EXPECT_EQ(a.tcp, c.tcp) << c.name;
        EXPECT_EQ(a.port, c.port) << c.name;
        EXPECT_STREQ(a.host, c.host) << c.name;
    }
    // Up to 70 characters are taken; longer names are refused.
    std::string host(65, 'h');
    SpDaemonAddress a;
    EXPECT_EQ(sp_parse_daemon_name(("4803@" + host).c_str(), &a), 0);
    EXPECT_STREQ(a.host, host.c_str());
    EXPECT_EQ(sp_parse_daemon_name(("4803@" + host + "h").c_str(), &a), ILLEGAL_SPREAD);
}

TEST(SpreadApi, ConnectFailures)
{
    mailbox m = -1;
    char pg[MAX_GROUP_NAME];
    EXPECT_EQ(SP_connect("abc", "x", 0, 0, &m, pg), ILLEGAL_SPREAD);
    EXPECT_EQ(SP_connect("4803@", "x", 0, 0, &m, pg), ILLEGAL_SPREAD);
    int port = wkp_test::free_port();
    // Nothing listens on that TCP port, nor on the Unix socket of its number.
    EXPECT_EQ(SP_connect((std::to_string(port) + "@127.0.0.1").c_str(), "x", 0, 0, &m, pg),
              COULD_NOT_CONNECT);
    EXPECT_EQ(SP_connect(std::to_string(port).c_str(), "x", 0, 0, &m, pg), COULD_NOT_CONNECT);
    EXPECT_EQ(m, -1);
    sp_time bad[] = {{-1, 0}, {0, -1}, {0, 1000000}};
    for (sp_time t : bad)
        EXPECT_EQ(SP_connect_timeout(std::to_string(port).c_str(), "x", 0, 0, &m, pg, t), ILLEGAL_TIME);
}

TEST(SpreadApi, SessionQuota)
{
    struct rlimit rl;
    getrlimit(RLIMIT_NOFILE, &rl);
    if (rl.rlim_cur < 1200) {
        rl.rlim_cur = rl.rlim_max < 1200 ? rl.rlim_max : 1200;
        setrlimit(RLIMIT_NOFILE, &rl);
    }
    if (rl.rlim_cur < 1200)
        GTEST_SKIP() << "needs 1200 descriptors";
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    std::vector<int> fds;
    for (int i = 0; i < SP_MAX_SESSIONS; i++) {
        int fd = dup(sv[0]);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(sp_session_adopt(fd, "#q#localhost"), 0) << i;
        fds.push_back(fd);
    }
    int extra = dup(sv[0]);
    EXPECT_EQ(sp_session_adopt(extra, "#q#localhost"), REJECT_QUOTA);
    close(extra);
    mailbox m;
    char pg[MAX_GROUP_NAME];
    EXPECT_EQ(SP_connect("1@127.0.0.1", "x", 0, 0, &m, pg), REJECT_QUOTA);
    SP_kill(fds.back());
    fds.pop_back();
    extra = dup(sv[0]);
    EXPECT_EQ(sp_session_adopt(extra, "#q#localhost"), 0);
    fds.push_back(extra);
    for (int fd : fds)
        SP_kill(fd);
    close(sv[0]);
    close(sv[1]);
}

TEST(SpreadApi, ErrorTexts)
{
    struct Case {
        int code;
        const char *text;
    } cases[] = {
        {ILLEGAL_SPREAD, "Illegal spread name provided."},
        {COULD_NOT_CONNECT, "Could not connect."},
        {REJECT_QUOTA, "Connection rejected, too many users."},
        {REJECT_NO_NAME, "Connection rejected, no name was supplied."},
        {REJECT_ILLEGAL_NAME, "Connection rejected, illegal name."},
        {REJECT_NOT_UNIQUE, "Connection rejected, name not unique."},
        {REJECT_VERSION, "Connection rejected, client library incompatible with daemon."},
        {CONNECTION_CLOSED, "Connection closed by Spread."},
        {REJECT_AUTH, "Connection rejected, authentication failed."},
        {ILLEGAL_SESSION, "Illegal session was supplied."},
        {ILLEGAL_SERVICE, "Illegal service request."},
        {ILLEGAL_MESSAGE, "Illegal message."},
        {ILLEGAL_GROUP, "Illegal group."},
        {BUFFER_TOO_SHORT, "Buffer too short."},
        {GROUPS_TOO_SHORT, "Groups list too short."},
        {MESSAGE_TOO_LONG, "Message (body + group names) too large."},
        {NET_ERROR_ON_SESSION, "Network socket error. SP_kill() the mailbox."},
        {SP_BUG, "Internal Spread bug detected."},
        {ILLEGAL_TIME, "Illegal time."},
        {-10, "Unrecognized error."},
        {0, "Unrecognized error."},
        {1, "Unrecognized error."},
        {-21, "Unrecognized error."},
    };
    for (const Case &c : cases)
        EXPECT_STREQ(SP_strerror(c.code), c.text) << c.code;
    std::string out = capture_stderr([] {
        SP_error(CONNECTION_CLOSED);
        SP_error(BUFFER_TOO_SHORT);
        SP_error(0);
    });
    EXPECT_EQ(out, "SP_error: (-8) Connection closed by Spread.\n"
                   "SP_error: (-15) Buffer too short.\n"
                   "SP_error: (0) Unrecognized error.\n");
    int a = 0, b = 0, c = 0;
    EXPECT_EQ(SP_version(&a, &b, &c), 1);
    EXPECT_EQ(a * 100 + b * 10 + c, 501);
}

TEST(SpreadApi, UnknownMailbox)
{
    char sender[MAX_GROUP_NAME], groups[1][MAX_GROUP_NAME], body[16];
    service st = 0;
    int ng, em;
    int16 mt;
    const char gl[1][MAX_GROUP_NAME] = {"g"};
    scatter scat;
    scat.num_elements = 1;
    scat.elements[0] = {body, sizeof body};
    for (mailbox m : {-1, 0, 999, 123456}) {
        EXPECT_EQ(SP_receive(m, &st, sender, 1, &ng, groups, &mt, &em, sizeof body, body), ILLEGAL_SESSION);
        EXPECT_EQ(SP_scat_receive(m, &st, sender, 1, &ng, groups, &mt, &em, &scat), ILLEGAL_SESSION);
        EXPECT_EQ(SP_scat_multicast(m, AGREED_MESS, "g", 0, &scat), ILLEGAL_SESSION);
        EXPECT_EQ(SP_multigroup_scat_multicast(m, AGREED_MESS, 1, gl, 0, &scat), ILLEGAL_SESSION);
        EXPECT_EQ(SP_poll(m), ILLEGAL_SESSION);
        EXPECT_EQ(SP_buffered(m), ILLEGAL_SESSION);
        EXPECT_EQ(SP_read_ahead(m, 1), ILLEGAL_SESSION);
        EXPECT_EQ(SP_read_ahead(m, 0), ILLEGAL_SESSION);
        EXPECT_EQ(SP_ready_fd(m), ILLEGAL_SESSION);
        EXPECT_EQ(SP_join(m, "g"), ILLEGAL_SESSION);
        EXPECT_EQ(SP_leave(m, "g"), ILLEGAL_SESSION);
        EXPECT_EQ(SP_multicast(m, AGREED_MESS, "g", 0, 1, "x"), ILLEGAL_SESSION);
        EXPECT_EQ(SP_multigroup_multicast(m, AGREED_MESS, 1, gl, 0, 1, "x"), ILLEGAL_SESSION);
        EXPECT_EQ(SP_disconnect(m), ILLEGAL_SESSION);
    }
}

TEST(SpreadApi, RefusedArgumentsSendNothing)
{
    PairSession s;
    ASSERT_GE(s.mbox, 0);
    const char gl[2][MAX_GROUP_NAME] = {"g1", "g2"};
    for (service bad : {0, SELF_DISCARD, REG_MEMB_MESS | CAUSED_BY_JOIN, REJECT_MESS | AGREED_MESS,
                        DROP_RECV}) {
        EXPECT_EQ(SP_multicast(s.mbox, bad, "g", 0, 1, "x"), ILLEGAL_SERVICE) << bad;
        EXPECT_EQ(SP_multigroup_multicast(s.mbox, bad, 2, gl, 0, 1, "x"), ILLEGAL_SERVICE) << bad;
    }
    for (const char *bad : {"", "a b", "#x", "12345678901234567890123456789012", "tab\t"}) {
        EXPECT_EQ(SP_join(s.mbox, bad), ILLEGAL_GROUP) << bad;
        EXPECT_EQ(SP_leave(s.mbox, bad), ILLEGAL_GROUP) << bad;
    }
    EXPECT_EQ(SP_join(s.mbox, nullptr), ILLEGAL_GROUP);
    EXPECT_EQ(SP_multicast(s.mbox, AGREED_MESS, nullptr, 0, 1, "x"), ILLEGAL_GROUP);
    EXPECT_EQ(SP_multigroup_multicast(s.mbox, AGREED_MESS, -1, gl, 0, 1, "x"), ILLEGAL_GROUP);
    EXPECT_EQ(SP_multigroup_multicast(s.mbox, AGREED_MESS, 2, nullptr, 0, 1, "x"), ILLEGAL_GROUP);
    EXPECT_EQ(SP_multicast(s.mbox, AGREED_MESS, "g", 0, -1, "x"), ILLEGAL_MESSAGE);
    EXPECT_EQ(SP_multicast(s.mbox, AGREED_MESS, "g", 0, 5, nullptr), ILLEGAL_MESSAGE);

    // Sizes a real daemon would die on, or kill the session for.
    std::vector<char> body(144000, 'b');
    std::vector<char> rows(101 * MAX_GROUP_NAME, 0);
    for (int i = 0; i < 101; i++)
        snprintf(&rows[(size_t)i * MAX_GROUP_NAME], MAX_GROUP_NAME, "g%d", i);
    auto groups = (const char(*)[MAX_GROUP_NAME])rows.data();
    EXPECT_EQ(SP_multicast(s.mbox, AGREED_MESS, "g", 0, 143121, body.data()), MESSAGE_TOO_LONG);
    EXPECT_EQ(SP_multigroup_multicast(s.mbox, AGREED_MESS, 100, groups, 0, 143152 - 3200 + 1, body.data()),
              MESSAGE_TOO_LONG);
    EXPECT_EQ(SP_multigroup_multicast(s.mbox, AGREED_MESS, 101, groups, 0, 0, ""), ILLEGAL_GROUP);
    EXPECT_EQ(s.pending(), 0);

    // The largest accepted sizes do go out, whole.
    std::atomic<long> got{0};
    std::thread reader([&] {
        char buf[65536];
        ssize_t n;
        while ((n = read(s.peer, buf, sizeof buf)) > 0)
            got += n;
    });
    EXPECT_EQ(SP_multicast(s.mbox, AGREED_MESS, "g", 0, 143120, body.data()), 143120);
    EXPECT_EQ(SP_multigroup_multicast(s.mbox, AGREED_MESS, 100, groups, 0, 143152 - 3200, body.data()),
              143152 - 3200);
    EXPECT_EQ(SP_multigroup_multicast(s.mbox, AGREED_MESS, 0, groups, 0, 3, "abc"), 3);
    SP_kill(s.mbox);
    s.mbox = -1;
    reader.join();
    EXPECT_EQ(got.load(), 143200 + 143200 + 48 + 3);
}
