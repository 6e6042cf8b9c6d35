// minispread as a process: handshakes, header checks, delivery, membership,
// short buffers, slow readers, shutdown and its command line, driven through
// raw sockets and our client library.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/ioctl.h>
#include <sys/wait.h>

#include <thread>

#include "support/tools.h"

using namespace tools_test;

namespace {

// Raw bytes of a join of `group` from the session whose private group is pg.
std::string raw_join(const std::string &pg, const std::string &group)
{
    return header(0x00010000, pg, 1, 0, 0) + slot(group);
}

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

// Every service type arrives as sent, over both transports, with sender,
// groups, the sign of mess_type and the body intact.
TEST(Minispread, EveryServiceRoundTrips)
{
    Minispread d;
    ASSERT_TRUE(d.start());
    for (bool tcp : {false, true}) {
        SCOPED_TRACE(tcp ? "tcp" : "unix");
        const std::string daemon = tcp ? d.tcp_name() : d.unix_name();
        std::string pr;
        mailbox s = connect_as(daemon, "sender", false);
        mailbox r = connect_as(daemon, "recv", false, &pr);
        ASSERT_GE(s, 0);
        ASSERT_GE(r, 0);
        ASSERT_EQ(SP_join(r, "rt"), 0);
        ASSERT_TRUE(settle(r, pr));
        const service services[] = {UNRELIABLE_MESS, RELIABLE_MESS, FIFO_MESS, CAUSAL_MESS,
                                    AGREED_MESS,     SAFE_MESS,     AGREED_MESS | SELF_DISCARD};
        int16 mess_type = -3;
        for (service svc : services) {
            std::string body = "svc " + std::to_string(svc);
            ASSERT_EQ(SP_multicast(s, svc, "rt", mess_type, (int)body.size(), body.c_str()), (int)body.size());
            Received m = receive(r);
            EXPECT_EQ(m.ret, (int)body.size());
            EXPECT_EQ(m.svc, svc);
            EXPECT_EQ(m.sender, "#sender#localhost");
            EXPECT_EQ(m.groups, std::vector<std::string>{"rt"});
            EXPECT_EQ(m.mess_type, mess_type);
            EXPECT_EQ(m.endian_mismatch, 0);
            EXPECT_EQ(m.body, body);
            mess_type = (int16)(mess_type * 7 + 1);
        }
        // Empty body, 0x7fff and -32768.
        ASSERT_EQ(SP_multicast(s, SAFE_MESS, "rt", 0x7fff, 0, ""), 0);
        ASSERT_EQ(SP_multicast(s, SAFE_MESS, "rt", -32768, 1, "z"), 1);
        Received m1 = receive(r), m2 = receive(r);
        EXPECT_EQ(m1.ret, 0);
        EXPECT_EQ(m1.mess_type, 0x7fff);
        EXPECT_EQ(m2.mess_type, -32768);
        EXPECT_EQ(m2.body, "z");
        SP_disconnect(s);
        SP_disconnect(r);
    }
}

TEST(Minispread, AddressingAndSelfDiscard)
{
    Minispread d;
    ASSERT_TRUE(d.start());
    std::string pa, pb, pc;
    mailbox a = connect_as(d.unix_name(), "a", false, &pa);
    mailbox b = connect_as(d.unix_name(), "b", false, &pb);
    mailbox c = connect_as(d.unix_name(), "c", false, &pc);
    ASSERT_EQ(SP_join(a, "g1"), 0);
    ASSERT_EQ(SP_join(b, "g1"), 0);
    ASSERT_EQ(SP_join(b, "g2"), 0);
    ASSERT_TRUE(settle(b, pb));

    // b is in g1, g2 and named privately: one copy.  c only privately.
    // Unknown groups and other daemons' private groups reach nobody.
    const char groups[][MAX_GROUP_NAME] = {"g1", "g2", "nosuch", "#b#localhost", "#c#localhost", "#a#elsewhere"};
    ASSERT_EQ(SP_multigroup_multicast(a, FIFO_MESS, 6, groups, 5, 3, "one"), 3);
    ASSERT_EQ(SP_multicast(a, AGREED_MESS | SELF_DISCARD, "g1", 0, 3, "two"), 3);
    std::vector<std::string> all = {"g1", "g2", "nosuch", "#b#localhost", "#c#localhost", "#a#elsewhere"};
    Received m = receive(a);
    EXPECT_EQ(m.body, "one");
    EXPECT_EQ(m.groups, all);
    EXPECT_EQ(m.mess_type, 5);
    m = receive(b);
    EXPECT_EQ(m.body, "one");
    m = receive(b);
    EXPECT_EQ(m.body, "two");
    EXPECT_EQ(m.svc, AGREED_MESS | SELF_DISCARD);
    m = receive(c);
    EXPECT_EQ(m.body, "one");

    ASSERT_EQ(SP_multicast(c, AGREED_MESS, "g2", 0, 5, "three"), 5);
    ASSERT_EQ(SP_multigroup_multicast(c, AGREED_MESS, 0, groups, 0, 6, "nobody"), 6);
    ASSERT_EQ(SP_multicast(c, AGREED_MESS, "#c#localhost", 0, 4, "self"), 4);
    m = receive(b);
    EXPECT_EQ(m.body, "three");
    m = receive(c);
    EXPECT_EQ(m.body, "self");

    // Nothing else: "two" was SELF_DISCARD, "nobody" had no destination.
    EXPECT_TRUE(nothing_else_for(a, pa));
    EXPECT_TRUE(nothing_else_for(b, pb));
    EXPECT_TRUE(nothing_else_for(c, pc));
    for (mailbox x : {a, b, c})
        SP_disconnect(x);
}

// Two senders writing at once: both receivers see the same single order,
// and each sender's messages in the order sent, whether minispread writes a
// receiver's messages in batches or one by one.
TEST(Minispread, OneTotalOrder)
{
    // Also with each message written to a receiver on its own (-1).
    for (const std::vector<std::string> &options : {std::vector<std::string>{}, std::vector<std::string>{"-1"}}) {
        SCOPED_TRACE(options.empty() ? "batched writes" : "-1");
        Minispread d;
        ASSERT_TRUE(d.start(options));
        std::string p1, p2;
        mailbox r1 = connect_as(d.unix_name(), "r1", false, &p1);
        mailbox r2 = connect_as(d.tcp_name(), "r2", false, &p2);
        ASSERT_EQ(SP_join(r1, "ord"), 0);
        ASSERT_EQ(SP_join(r2, "ord"), 0);
        ASSERT_TRUE(settle(r1, p1));
        ASSERT_TRUE(settle(r2, p2));

        const int per_sender = 1500;
        Process senders[2];
        for (int i = 0; i < 2; i++) {
            ASSERT_TRUE(senders[i].start({bin("spcat"), "-s", i ? d.tcp_name() : d.unix_name(), "-t",
                                          i ? "fifo" : "reliable", "-g", "ord"},
                                         true));
            std::string lines;
            for (int k = 0; k < per_sender; k++)
                lines += std::string(1, (char)('A' + i)) + std::to_string(k) + "\n";
            senders[i].send(lines);
            senders[i].close_stdin();
        }
        // Read both while the senders run, so that neither falls behind.
        std::vector<std::string> seen[2];
        for (int k = 0; k < 2 * per_sender; k++)
            for (int i = 0; i < 2; i++) {
                Received m = receive(i ? r2 : r1);
                ASSERT_GT(m.ret, 0);
                seen[i].push_back(m.body);
            }
        for (Process &p : senders) {
            ASSERT_TRUE(p.wait());
            ASSERT_EQ(p.exit_code(), 0) << p.err();
        }
        EXPECT_TRUE(seen[0] == seen[1]);
        int next[2] = {0, 0};
        for (const std::string &b : seen[0]) {
            int who = b[0] - 'A';
            EXPECT_EQ(b, std::string(1, b[0]) + std::to_string(next[who]++) + "\n");
        }
        EXPECT_EQ(next[0], per_sender);
        EXPECT_EQ(next[1], per_sender);
        SP_disconnect(r1);
        SP_disconnect(r2);
    }
}

TEST(Minispread, MembershipNotices)
{
    Minispread d;
    ASSERT_TRUE(d.start());
    mailbox w = connect_as(d.unix_name(), "w");
    mailbox a = connect_as(d.unix_name(), "a");
    mailbox n = connect_as(d.unix_name(), "n", false);   // no membership messages
    ASSERT_TRUE(w >= 0 && a >= 0 && n >= 0);

    auto expect_notice = [](mailbox m, service cause, const std::vector<std::string> &members,
                            const char *changed, int counter, int16 index) {
        Received r = receive(m);
        EXPECT_EQ(r.svc, REG_MEMB_MESS | cause);
        EXPECT_TRUE(Is_membership_mess(r.svc) && !Is_regular_mess(r.svc));
        EXPECT_EQ(r.sender, "mg");
        EXPECT_EQ(r.groups, members);
        EXPECT_EQ(r.mess_type, index);
        EXPECT_EQ(r.ret, 56);
        membership_info info;
        ASSERT_EQ(SP_get_memb_info(r.body.data(), r.svc, &info), 1);
        EXPECT_STREQ(info.changed_member, changed);
        EXPECT_EQ(info.gid.id[2], counter);
        EXPECT_EQ(info.num_vs_sets, 1u);
        EXPECT_EQ(info.my_vs_set.num_members, 1u);
    };

    ASSERT_EQ(SP_join(w, "mg"), 0);
    expect_notice(w, CAUSED_BY_JOIN, {"#w#localhost"}, "#w#localhost", 1, 0);
    ASSERT_EQ(SP_join(a, "mg"), 0);
    expect_notice(w, CAUSED_BY_JOIN, {"#a#localhost", "#w#localhost"}, "#a#localhost", 2, 1);
    expect_notice(a, CAUSED_BY_JOIN, {"#a#localhost", "#w#localhost"}, "#a#localhost", 2, 0);
    ASSERT_EQ(SP_join(n, "mg"), 0);
    ASSERT_EQ(SP_join(a, "mg"), 0);   // already a member: nothing happens
    std::vector<std::string> three = {"#a#localhost", "#n#localhost", "#w#localhost"};
    expect_notice(w, CAUSED_BY_JOIN, three, "#n#localhost", 3, 2);
    expect_notice(a, CAUSED_BY_JOIN, three, "#n#localhost", 3, 0);

    // n gets data but no notices at all.
    ASSERT_EQ(SP_multicast(w, AGREED_MESS, "mg", 0, 4, "data"), 4);
    EXPECT_EQ(receive(n).body, "data");
    EXPECT_EQ(receive(w).body, "data");
    EXPECT_EQ(receive(a).body, "data");

    // Self-leave first, then the others are told.
    ASSERT_EQ(SP_leave(a, "mg"), 0);
    Received self = receive(a);
    EXPECT_EQ(self.ret, 0);
    EXPECT_EQ(self.svc, CAUSED_BY_LEAVE);
    EXPECT_TRUE(Is_self_leave(self.svc));
    EXPECT_EQ(self.sender, "mg");
    EXPECT_EQ(self.num_groups, 0);
    EXPECT_EQ(self.mess_type, -1);
    expect_notice(w, CAUSED_BY_LEAVE, {"#n#localhost", "#w#localhost"}, "#a#localhost", 4, 1);
    ASSERT_EQ(SP_leave(a, "mg"), 0);   // not a member: nothing happens
    ASSERT_EQ(SP_leave(n, "mg"), 0);   // n leaves without a self-leave message
    expect_notice(w, CAUSED_BY_LEAVE, {"#w#localhost"}, "#n#localhost", 5, 0);

    // Disconnects, by goodbye and by a dropped connection, in group-name
    // order of the leaver's groups.
    ASSERT_EQ(SP_join(a, "mg"), 0);
    expect_notice(w, CAUSED_BY_JOIN, {"#a#localhost", "#w#localhost"}, "#a#localhost", 6, 1);
    expect_notice(a, CAUSED_BY_JOIN, {"#a#localhost", "#w#localhost"}, "#a#localhost", 6, 0);
    SP_disconnect(a);
    expect_notice(w, CAUSED_BY_DISCONNECT, {"#w#localhost"}, "#a#localhost", 7, 0);
    ASSERT_EQ(SP_join(n, "mg"), 0);
    expect_notice(w, CAUSED_BY_JOIN, {"#n#localhost", "#w#localhost"}, "#n#localhost", 8, 1);
    SP_kill(n);
    expect_notice(w, CAUSED_BY_DISCONNECT, {"#w#localhost"}, "#n#localhost", 9, 0);

    // The last member leaving deletes the group: its counter starts again.
    ASSERT_EQ(SP_leave(w, "mg"), 0);
    service left = receive(w).svc;
    EXPECT_TRUE(Is_self_leave(left));
    ASSERT_EQ(SP_join(w, "mg"), 0);
    expect_notice(w, CAUSED_BY_JOIN, {"#w#localhost"}, "#w#localhost", 1, 0);
    EXPECT_TRUE(nothing_else_for(w, "#w#localhost"));
    SP_disconnect(w);
}

TEST(Minispread, ShortBuffersAndDropRecv)
{
    Minispread d;
    ASSERT_TRUE(d.start());
    std::string pr;
    mailbox s = connect_as(d.unix_name(), "s", false);
    mailbox r = connect_as(d.unix_name(), "r", false, &pr);
    ASSERT_EQ(SP_join(r, "sb"), 0);
    ASSERT_TRUE(settle(r, pr));
    const char groups[][MAX_GROUP_NAME] = {"sb", "x", "y"};
    std::string body(300, 'q');
    body[299] = 'Z';
    for (int i = 0; i < 3; i++)
        ASSERT_EQ(SP_multigroup_multicast(s, AGREED_MESS, 3, groups, 77, 300, body.c_str()), 300);

    // Groups and body too short: the groups win; the same again on retry.
    for (int i = 0; i < 2; i++) {
        Received m = receive(r, 30000, 0, 1, 100);
        EXPECT_EQ(m.ret, GROUPS_TOO_SHORT);
        EXPECT_EQ(m.num_groups, -3);
        EXPECT_EQ(m.endian_mismatch, -300);
        EXPECT_EQ(m.mess_type, 77);
        EXPECT_EQ(m.sender, "#s#localhost");
    }
    Received m = receive(r, 30000, 0, 3, 100);
    EXPECT_EQ(m.ret, BUFFER_TOO_SHORT);
    EXPECT_EQ(m.num_groups, 0);
    EXPECT_EQ(m.endian_mismatch, -300);
    m = receive(r, 30000, 0, 3, 300);
    EXPECT_EQ(m.ret, 300);
    EXPECT_EQ(m.body, body);

    // DROP_RECV: the body is cut and the rest thrown away.
    m = receive(r, 30000, DROP_RECV, 3, 100);
    EXPECT_EQ(m.ret, BUFFER_TOO_SHORT);
    EXPECT_EQ(m.body, body.substr(0, 100));
    EXPECT_EQ(m.svc, AGREED_MESS);
    // DROP_RECV with only the groups short: success, negative group count.
    m = receive(r, 30000, DROP_RECV, 1, 300);
    EXPECT_EQ(m.ret, 300);
    EXPECT_EQ(m.num_groups, -3);
    EXPECT_EQ(m.groups, std::vector<std::string>{"sb"});
    EXPECT_EQ(m.body, body);
    EXPECT_EQ(receive(r, 300).ret, TIMED_OUT);
    SP_disconnect(s);
    SP_disconnect(r);
}

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
