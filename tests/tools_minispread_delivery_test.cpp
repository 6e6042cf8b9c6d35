// minispread as a process: delivery of every service, addressing, the one
// total order, membership notices, short buffers and DROP_RECV, driven
// through raw sockets and our client library.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/ioctl.h>
#include <sys/wait.h>

#include <thread>

#include "support/tools.h"

using namespace tools_test;

namespace {

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

}  // namespace
