// The client library against a real minispread process, as programs
// written for Spread 5.x use it: every send and receive call on good and
// bad arguments, plain and scatter forms through the same table rows; a
// select()-driven receiver after a burst; the self-leave; vs-sets of real
// membership messages; and a C client built on the event loop and the
// scatter calls, run as a process.
#include <gtest/gtest.h>

#include <poll.h>
#include <sys/select.h>

#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "spread/sp.h"
#include "support/tools.h"

namespace {

using namespace tools_test;

// Which forms of a call a table row goes through.
enum Forms { PLAIN = 1, SCATTER = 2, BOTH = 3 };

// A scatter over elements of the given sizes (at most 100 filled in; the
// count may say more).
struct Scat {
    std::vector<std::string> store;
    scatter s;
    explicit Scat(const std::vector<std::string> &pieces, size_t count = SIZE_MAX)
    {
        store = pieces;
        s.num_elements = count == SIZE_MAX ? pieces.size() : count;
        for (size_t i = 0; i < store.size() && i < MAX_CLIENT_SCATTER_ELEMENTS; i++)
            s.elements[i] = {store[i].data(), store[i].size()};
    }
    std::string joined(size_t n) const
    {
        std::string all;
        for (const std::string &e : store)
            all += e;
        return all.substr(0, n);
    }
};

std::vector<std::string> sized(const std::vector<size_t> &sizes)
{
    std::vector<std::string> v;
    for (size_t n : sizes)
        v.emplace_back(n, '~');
    return v;
}

// Waits for the session's descriptor (the mailbox, or the read-ahead ready
// descriptor) to show a message.
bool wait_ready(mailbox m, int timeout_ms = 60000)
{
    struct pollfd p = {SP_ready_fd(m), POLLIN, 0};
    return SP_buffered(m) > 0 || poll(&p, 1, timeout_ms) == 1;
}

// One receive through either form: the plain one gets a buffer of the
// elements' total size.
struct Got {
    int ret = 0;
    service type = 0;
    std::string sender;
    int num_groups = 0;
    int16 mess_type = 0;
    int endian = 0;
    std::string body;
};

Got receive_as(Forms form, mailbox m, service flags, int max_groups, Scat &sc, bool null_service = false)
{
    Got g;
    char sender[MAX_GROUP_NAME] = {};
    std::vector<char> groups((size_t)(max_groups > 0 ? max_groups : 1) * MAX_GROUP_NAME);
    auto gl = (char(*)[MAX_GROUP_NAME])groups.data();
    g.type = flags;
    service *st = null_service ? nullptr : &g.type;
    if (form == SCATTER) {
        g.ret = SP_scat_receive(m, st, sender, max_groups, &g.num_groups, gl, &g.mess_type, &g.endian, &sc.s);
        size_t delivered = g.ret >= 0 ? (size_t)g.ret : SIZE_MAX;
        if (g.ret >= 0 || (g.ret == BUFFER_TOO_SHORT && (flags & DROP_RECV)))
            g.body = sc.joined(delivered);
    } else {
        size_t room = 0;
        for (const std::string &e : sc.store)
            room += e.size();
        std::string buf(room, '~');
        g.ret = SP_receive(m, st, sender, max_groups, &g.num_groups, gl, &g.mess_type, &g.endian, (int)room,
                           buf.data());
        if (g.ret >= 0)
            g.body = buf.substr(0, (size_t)g.ret);
        else if (g.ret == BUFFER_TOO_SHORT && (flags & DROP_RECV))
            g.body = buf;
    }
    g.sender = sender;
    return g;
}

const char *form_name(Forms f) { return f == PLAIN ? "plain" : "scatter"; }

// Two sessions on a minispread: tx sends, rx has joined "dgrp" and reads.
class SpreadOnMinispread : public ::testing::Test {
protected:
    Minispread ms;
    mailbox tx = -1, rx = -1;
    std::string tx_pg, rx_pg;

    void SetUp() override
    {
        ASSERT_TRUE(ms.start());
        tx = connect_as(ms.unix_name(), "tx", false, &tx_pg);
        rx = connect_as(ms.unix_name(), "rx", true, &rx_pg);
        ASSERT_GE(tx, 0);
        ASSERT_GE(rx, 0);
        ASSERT_EQ(SP_join(rx, "dgrp"), 0);
        ASSERT_TRUE(settle(rx, rx_pg));
    }
    void TearDown() override
    {
        if (tx >= 0)
            SP_disconnect(tx);
        if (rx >= 0)
            SP_disconnect(rx);
    }

    // tx sends a marker to dgrp; true when it is the next thing rx gets.
    bool next_is_marker()
    {
        if (SP_multicast(tx, AGREED_MESS, "dgrp", 9999, 6, "marker") != 6)
            return false;
        Scat sc(sized({200000}));
        if (!wait_ready(rx))
            return false;
        Got g = receive_as(PLAIN, rx, 0, 100, sc);
        return g.ret == 6 && g.body == "marker" && g.mess_type == 9999;
    }
};

}  // namespace

// Every multicast call on good and bad arguments. A row that succeeds is
// delivered whole to rx, with its type and groups; after every row the
// next thing rx gets is tx's marker, so a refused call sent nothing and
// left the session working.
TEST_F(SpreadOnMinispread, SendCallsTable)
{
    std::vector<std::string> hundred_groups;
    for (int i = 0; i < 101; i++)
        hundred_groups.push_back(i == 0 ? "dgrp" : "g" + std::to_string(i));
    std::string big(143120, 'b');
    for (size_t i = 0; i < big.size(); i++)
        big[i] = (char)('a' + i % 26);
    struct Row {
        const char *what;
        Forms forms;
        service svc;
        std::vector<std::string> groups;  // one: SP_multicast; else the multigroup calls
        bool multigroup;
        std::vector<std::string> body;    // the scatter's elements; the plain form sends them joined
        int16 mess_type;
        int result;
        int plain_len = INT_MIN;          // the plain form's length, when not the body's
        bool null_buffer = false;         // the body's bytes have no buffer
        size_t elements = SIZE_MAX;       // the scatter's count, when not the body's
        bool null_group = false;
    } rows[] = {
        {"one group", BOTH, AGREED_MESS, {"dgrp"}, false, {"hello", ", ", "world"}, 7, 12},
        {"an empty body", BOTH, FIFO_MESS, {"dgrp"}, false, {}, -1, 0},
        {"empty elements", BOTH, SAFE_MESS | SELF_DISCARD, {"dgrp"}, false, {"", "a", "", "bc", ""}, -32768, 3},
        {"two groups", BOTH, RELIABLE_MESS, {"dgrp", "elsewhere"}, true, {"two", "groups"}, 32767, 9},
        {"the largest body to one group", BOTH, AGREED_MESS, {"dgrp"}, false,
         {big.substr(0, 100000), big.substr(100000)}, 1, 143120},
        {"one byte more", BOTH, AGREED_MESS, {"dgrp"}, false, {big, "x"}, 1, MESSAGE_TOO_LONG},
        {"100 elements", SCATTER, UNRELIABLE_MESS, {"dgrp"}, false, std::vector<std::string>(100, "e"), 2, 100},
        {"101 elements", SCATTER, AGREED_MESS, {"dgrp"}, false, std::vector<std::string>(100, "e"), 2,
         ILLEGAL_MESSAGE, INT_MIN, false, 101},
        {"no service", BOTH, 0, {"dgrp"}, false, {"x"}, 0, ILLEGAL_SERVICE},
        {"self-discard alone", BOTH, SELF_DISCARD, {"dgrp"}, false, {"x"}, 0, ILLEGAL_SERVICE},
        {"a reject", BOTH, REJECT_MESS | AGREED_MESS, {"dgrp"}, false, {"x"}, 0, ILLEGAL_SERVICE},
        {"no group", BOTH, AGREED_MESS, {"dgrp"}, false, {"x"}, 0, ILLEGAL_GROUP, INT_MIN, false, SIZE_MAX, true},
        {"101 groups", BOTH, AGREED_MESS, hundred_groups, true, {"x"}, 0, ILLEGAL_GROUP},
        {"a negative length", PLAIN, AGREED_MESS, {"dgrp"}, false, {"x"}, 0, ILLEGAL_MESSAGE, -1},
        {"bytes without a buffer", BOTH, AGREED_MESS, {"dgrp"}, false, {"xyz"}, 0, ILLEGAL_MESSAGE, INT_MIN, true},
    };
    for (const Row &r : rows)
        for (Forms form : {PLAIN, SCATTER}) {
            if (!(r.forms & form))
                continue;
            SCOPED_TRACE(std::string(r.what) + ", " + form_name(form));
            std::string joined;
            for (const std::string &e : r.body)
                joined += e;
            Scat sc(r.body, r.elements);
            if (r.null_buffer)
                sc.s.elements[0].buf = nullptr;
            std::vector<char> rows_buf(r.groups.size() * MAX_GROUP_NAME, 0);
            for (size_t i = 0; i < r.groups.size(); i++)
                snprintf(&rows_buf[i * MAX_GROUP_NAME], MAX_GROUP_NAME, "%s", r.groups[i].c_str());
            auto gl = (const char(*)[MAX_GROUP_NAME])rows_buf.data();
            int n = (int)r.groups.size();
            const char *group = r.null_group ? nullptr : r.groups[0].c_str();
            const char *mess = r.null_buffer ? nullptr : joined.data();
            int len = r.plain_len != INT_MIN ? r.plain_len : (int)joined.size();
            int got;
            if (form == PLAIN)
                got = r.multigroup ? SP_multigroup_multicast(tx, r.svc, n, gl, r.mess_type, len, mess)
                                   : SP_multicast(tx, r.svc, group, r.mess_type, len, mess);
            else
                got = r.multigroup ? SP_multigroup_scat_multicast(tx, r.svc, n, gl, r.mess_type, &sc.s)
                                   : SP_scat_multicast(tx, r.svc, group, r.mess_type, &sc.s);
            EXPECT_EQ(got, r.result);
            if (r.result >= 0) {
                Scat room(sized({150000}));
                ASSERT_TRUE(wait_ready(rx));
                Got g = receive_as(PLAIN, rx, 0, 100, room);
                EXPECT_EQ(g.ret, r.result);
                EXPECT_EQ(g.body, joined);
                EXPECT_EQ(g.type, r.svc);
                EXPECT_EQ(g.mess_type, r.mess_type);
                EXPECT_EQ(g.sender, tx_pg);
                EXPECT_EQ(g.num_groups, n);
            }
            ASSERT_TRUE(next_is_marker());
        }
    // Calls on a mailbox that is no session.
    Scat sc({"x"});
    const char gl[1][MAX_GROUP_NAME] = {"dgrp"};
    for (mailbox m : {-1, 12345}) {
        EXPECT_EQ(SP_multicast(m, AGREED_MESS, "dgrp", 0, 1, "x"), ILLEGAL_SESSION);
        EXPECT_EQ(SP_scat_multicast(m, AGREED_MESS, "dgrp", 0, &sc.s), ILLEGAL_SESSION);
        EXPECT_EQ(SP_multigroup_multicast(m, AGREED_MESS, 1, gl, 0, 1, "x"), ILLEGAL_SESSION);
        EXPECT_EQ(SP_multigroup_scat_multicast(m, AGREED_MESS, 1, gl, 0, &sc.s), ILLEGAL_SESSION);
    }
}

// Every receive call on good and bad arguments, in both receive modes.
// Each row's message is sent twice, received once through each form with
// the same room; a call that leaves the message (too short without
// DROP_RECV, refused arguments) is followed by one with room enough.
TEST_F(SpreadOnMinispread, ReceiveCallsTable)
{
    struct Row {
        const char *what;
        Forms forms;
        std::vector<std::string> groups;  // the message's destinations; rx is in "dgrp"
        size_t body;
        service flags;
        int max_groups;
        std::vector<size_t> room;          // element sizes; the plain buffer is their sum
        int ret, num_groups, endian;
        size_t delivered;                  // body bytes delivered
        bool stays;                        // the message is still there afterwards
        size_t elements = SIZE_MAX;
        bool null_buffer = false;
        bool null_service = false;
    } rows[] = {
        {"fits", BOTH, {"dgrp"}, 100, 0, 4, {60, 40}, 100, 1, 0, 100, false},
        {"one byte per element", BOTH, {"dgrp"}, 100, 0, 4, std::vector<size_t>(100, 1), 100, 1, 0, 100, false},
        {"an empty body", BOTH, {"dgrp"}, 0, 0, 4, {}, 0, 1, 0, 0, false},
        {"the body too long", BOTH, {"dgrp"}, 300, 0, 4, {100, 0, 100}, BUFFER_TOO_SHORT, 0, -300, 0, true},
        {"no room at all", BOTH, {"dgrp"}, 5, 0, 4, {}, BUFFER_TOO_SHORT, 0, -5, 0, true},
        {"the groups too many", BOTH, {"dgrp", "g2", "g3"}, 10, 0, 1, {100}, GROUPS_TOO_SHORT, -3, 0, 0, true},
        {"both, the groups first", BOTH, {"dgrp", "g2", "g3"}, 300, 0, 2, {100}, GROUPS_TOO_SHORT, -3, -300, 0,
         true},
        {"dropping the body's end", BOTH, {"dgrp"}, 300, DROP_RECV, 4, {100, 0, 100}, BUFFER_TOO_SHORT, 1, 0, 200,
         false},
        {"dropping groups", BOTH, {"dgrp", "g2", "g3"}, 10, DROP_RECV, 1, {7, 7}, 10, -3, 0, 10, false},
        {"101 elements", SCATTER, {"dgrp"}, 10, 0, 4, std::vector<size_t>(100, 1), ILLEGAL_MESSAGE, 0, 0, 0, true,
         101},
        {"an element without a buffer", SCATTER, {"dgrp"}, 10, 0, 4, {5, 5}, ILLEGAL_MESSAGE, 0, 0, 0, true,
         SIZE_MAX, true},
        {"no service type", BOTH, {"dgrp"}, 10, 0, 4, {20}, ILLEGAL_MESSAGE, 0, 0, 0, true, SIZE_MAX, false, true},
    };
    for (bool read_ahead : {false, true}) {
        if (read_ahead) {
            ASSERT_EQ(SP_read_ahead(rx, 1), 0);
        }
        for (const Row &r : rows)
            for (Forms form : {PLAIN, SCATTER}) {
                if (!(r.forms & form))
                    continue;
                SCOPED_TRACE(std::string(r.what) + ", " + form_name(form) + (read_ahead ? ", read-ahead" : ""));
                std::string body(r.body, '.');
                for (size_t i = 0; i < body.size(); i++)
                    body[i] = (char)('A' + i % 26);
                std::vector<char> rows_buf(r.groups.size() * MAX_GROUP_NAME, 0);
                for (size_t i = 0; i < r.groups.size(); i++)
                    snprintf(&rows_buf[i * MAX_GROUP_NAME], MAX_GROUP_NAME, "%s", r.groups[i].c_str());
                ASSERT_EQ(SP_multigroup_multicast(tx, AGREED_MESS, (int)r.groups.size(),
                                                  (const char(*)[MAX_GROUP_NAME])rows_buf.data(), 42,
                                                  (int)body.size(), body.data()),
                          (int)body.size());
                ASSERT_TRUE(wait_ready(rx));
                Scat sc(sized(r.room), r.elements);
                if (r.null_buffer)
                    sc.s.elements[0].buf = nullptr;
                Got g = receive_as(form, rx, r.flags, r.max_groups, sc, r.null_service);
                EXPECT_EQ(g.ret, r.ret);
                if (g.ret != ILLEGAL_MESSAGE) {
                    EXPECT_EQ(g.num_groups, r.num_groups);
                    EXPECT_EQ(g.endian, r.endian);
                    EXPECT_EQ(g.mess_type, 42);
                    EXPECT_EQ(g.sender, tx_pg);
                    EXPECT_EQ(g.type, AGREED_MESS);
                    EXPECT_EQ(g.body, body.substr(0, r.delivered));
                }
                if (r.stays) {
                    Scat all(sized({10000}));
                    Got rest = receive_as(form, rx, 0, 4, all);
                    EXPECT_EQ(rest.ret, (int)body.size());
                    EXPECT_EQ(rest.body, body);
                }
                ASSERT_TRUE(next_is_marker());
            }
    }
}

// A select()-driven receiver in the default mode after a burst of 100:
// each time the mailbox is readable one SP_receive takes one message, and
// all 100 come, in order, with nothing left over.
TEST_F(SpreadOnMinispread, SelectDrivenReceiverAfterABurst)
{
    for (int i = 0; i < 100; i++) {
        std::string body = "burst " + std::to_string(i);
        ASSERT_EQ(SP_multicast(tx, AGREED_MESS, "dgrp", (int16)i, (int)body.size(), body.data()), (int)body.size());
    }
    ASSERT_TRUE(settle(tx, tx_pg));  // minispread has delivered them all
    int got = 0;
    while (got < 100) {
        fd_set fds;
        FD_ZERO(&fds);
        FD_SET(rx, &fds);
        struct timeval wait = {5, 0};
        if (select(rx + 1, &fds, nullptr, nullptr, &wait) != 1)
            break;
        char sender[MAX_GROUP_NAME], groups[4][MAX_GROUP_NAME], body[100];
        service st = 0;
        int ng, em;
        int16 mt;
        int r = SP_receive(rx, &st, sender, 4, &ng, groups, &mt, &em, sizeof body, body);
        ASSERT_GE(r, 0);
        EXPECT_EQ(mt, got);
        EXPECT_EQ(std::string(body, (size_t)r), "burst " + std::to_string(got));
        got++;
    }
    EXPECT_EQ(got, 100);
    fd_set fds;
    FD_ZERO(&fds);
    FD_SET(rx, &fds);
    struct timeval none = {0, 0};
    EXPECT_EQ(select(rx + 1, &fds, nullptr, nullptr, &none), 0);
    EXPECT_EQ(SP_poll(rx), 0);
}

// Leaving a group: the self-leave minispread sends (no body) gives
// membership info 1 with the receiver as the member that left, through
// both forms.
TEST_F(SpreadOnMinispread, SelfLeave)
{
    for (Forms form : {PLAIN, SCATTER}) {
        SCOPED_TRACE(form_name(form));
        ASSERT_EQ(SP_leave(rx, "dgrp"), 0);
        ASSERT_TRUE(wait_ready(rx));
        Scat sc(sized({10, 100}));
        std::string buf(110, '~');
        char sender[MAX_GROUP_NAME], groups[4][MAX_GROUP_NAME];
        service st = 0;
        int ng, em;
        int16 mt;
        int r = form == SCATTER ? SP_scat_receive(rx, &st, sender, 4, &ng, groups, &mt, &em, &sc.s)
                                : SP_receive(rx, &st, sender, 4, &ng, groups, &mt, &em, (int)buf.size(), buf.data());
        ASSERT_EQ(r, 0);
        EXPECT_EQ(st, CAUSED_BY_LEAVE);
        EXPECT_TRUE(Is_self_leave(st));
        EXPECT_STREQ(sender, "dgrp");
        EXPECT_EQ(mt, -1);
        membership_info mi;
        ASSERT_EQ(form == SCATTER ? SP_scat_get_memb_info(&sc.s, st, &mi) : SP_get_memb_info(buf.data(), st, &mi), 1);
        EXPECT_EQ(std::string(mi.changed_member), rx_pg);
        EXPECT_EQ(mi.num_vs_sets, 0u);
        // Back in, for the next round.
        ASSERT_EQ(SP_join(rx, "dgrp"), 0);
        ASSERT_TRUE(settle(rx, rx_pg));
    }
}

// Two members joining a group: each join's body holds one vs-set, the
// member that joined, and the receiver's vs-set is it; the group list
// holds both members.
TEST_F(SpreadOnMinispread, VsSetsOfRealJoins)
{
    std::string alice_pg, bob_pg;
    mailbox alice = connect_as(ms.unix_name(), "alice", true, &alice_pg);
    mailbox bob = connect_as(ms.unix_name(), "bob", true, &bob_pg);
    ASSERT_GE(alice, 0);
    ASSERT_GE(bob, 0);
    ASSERT_EQ(SP_join(alice, "vs"), 0);

    // alice: her own join, then bob's, through the plain calls. bob joins
    // only once alice has seen her own join: joins sent on two sessions at
    // once may be taken in either order.
    char sender[MAX_GROUP_NAME], groups[4][MAX_GROUP_NAME], body[200];
    service st;
    int ng, em;
    int16 mt;
    for (const std::string &joined : {alice_pg, bob_pg}) {
        SCOPED_TRACE("alice sees " + joined);
        if (joined == bob_pg)
            ASSERT_EQ(SP_join(bob, "vs"), 0);
        ASSERT_TRUE(wait_ready(alice));
        st = 0;
        ASSERT_EQ(SP_receive(alice, &st, sender, 4, &ng, groups, &mt, &em, sizeof body, body), 56);
        EXPECT_EQ(st, REG_MEMB_MESS | CAUSED_BY_JOIN);
        EXPECT_EQ(ng, joined == alice_pg ? 1 : 2);
        EXPECT_EQ(mt, 0);
        membership_info mi;
        ASSERT_EQ(SP_get_memb_info(body, st, &mi), 1);
        EXPECT_EQ(std::string(mi.changed_member), joined);
        EXPECT_EQ(mi.num_vs_sets, 1u);
        vs_set_info sets[2];
        unsigned int mine = 99;
        ASSERT_EQ(SP_get_vs_sets_info(body, sets, 2, &mine), 1);
        EXPECT_EQ(mine, 0u);
        EXPECT_EQ(sets[0].num_members, 1u);
        EXPECT_EQ(sets[0].members_offset, 24u);
        char names[2][MAX_GROUP_NAME];
        ASSERT_EQ(SP_get_vs_set_members(body, &sets[0], names, 2), 1);
        EXPECT_EQ(std::string(names[0]), joined);
        EXPECT_EQ(SP_get_vs_sets_info(body, sets, 0, &mine), BUFFER_TOO_SHORT);
        EXPECT_EQ(SP_get_vs_set_members(body, &sets[0], names, 0), BUFFER_TOO_SHORT);
    }

    // bob: his own join, through the scatter calls, the body across
    // elements of 5 bytes.
    ASSERT_TRUE(wait_ready(bob));
    Scat sc(sized(std::vector<size_t>(20, 5)));
    st = 0;
    ASSERT_EQ(SP_scat_receive(bob, &st, sender, 4, &ng, groups, &mt, &em, &sc.s), 56);
    EXPECT_EQ(ng, 2);
    EXPECT_EQ(std::string(groups[0]), alice_pg);
    EXPECT_EQ(std::string(groups[1]), bob_pg);
    EXPECT_EQ(mt, 1);
    membership_info mi;
    ASSERT_EQ(SP_scat_get_memb_info(&sc.s, st, &mi), 1);
    EXPECT_EQ(std::string(mi.changed_member), bob_pg);
    vs_set_info sets[2];
    unsigned int mine = 99;
    ASSERT_EQ(SP_scat_get_vs_sets_info(&sc.s, sets, 2, &mine), 1);
    EXPECT_EQ(mine, 0u);
    char names[2][MAX_GROUP_NAME];
    ASSERT_EQ(SP_scat_get_vs_set_members(&sc.s, &sets[0], names, 2), 1);
    EXPECT_EQ(std::string(names[0]), bob_pg);

    SP_disconnect(alice);
    SP_disconnect(bob);
}

// A client written in C the way interactive Spread clients are: the
// mailbox on the event loop, sends from a timed event with
// SP_scat_multicast, SP_scat_receive in the mailbox's callback, and
// E_exit_events at its self-leave.
TEST_F(SpreadOnMinispread, EventLoopClientWithScatterCalls)
{
    wkp_test::Process p;
    run(p, {bin("tests/spread_event_client"), ms.unix_name(), "evt", "evgrp", "25"}, 20000);
    EXPECT_EQ(p.exit_code(), 0) << p.err();
    std::string want = "connected as #evt#localhost\n"
                       "#evt#localhost joined evgrp: 1 member, vs-sets 1\n";
    for (int i = 0; i < 25; i++)
        want += "received " + std::to_string(i) + " from #evt#localhost: message " + std::to_string(i) +
                " of the event client\n";
    want += "#evt#localhost left evgrp\n"
            "disconnected after 25 sent, 25 received\n";
    EXPECT_EQ(p.out(), want);
}
