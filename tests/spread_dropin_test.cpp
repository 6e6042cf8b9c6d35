// The calls programs written for Spread 5.x use beyond the plain ones,
// against the scripted fake daemon: scatter receives and sends next to
// their plain forms in both receive modes, vs-sets and membership info on
// crafted bodies (whole, truncated, with counts beyond the body), the
// self-leave, and the authentication methods SP_connect offers.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <numeric>
#include <string>
#include <thread>
#include <vector>

#include "spread/client.h"
#include "spread/sp.h"
#include "support/fake_spread.h"

namespace {

using namespace spread_test;

// A scatter over elements of the given sizes, each filled with '~' so that
// bytes a receive did not write show.
struct Scat {
    std::vector<std::string> store;
    scatter s;
    explicit Scat(const std::vector<size_t> &sizes)
    {
        store.reserve(sizes.size());
        for (size_t n : sizes)
            store.emplace_back(n, '~');
        s.num_elements = sizes.size();
        for (size_t i = 0; i < sizes.size() && i < MAX_CLIENT_SCATTER_ELEMENTS; i++)
            s.elements[i] = {store[i].data(), store[i].size()};
    }
    size_t room() const
    {
        size_t n = 0;
        for (const std::string &e : store)
            n += e.size();
        return n;
    }
    std::string joined() const
    {
        std::string all;
        for (const std::string &e : store)
            all += e;
        return all;
    }
};

// SP_scat_receive into sc, gathered as receive() gathers SP_receive.
Got scat_receive(mailbox m, service in_type, int max_groups, Scat &sc)
{
    Got g;
    char sender[MAX_GROUP_NAME] = {};
    std::vector<char> groups((size_t)(max_groups > 0 ? max_groups : 1) * MAX_GROUP_NAME, 0);
    g.type = in_type;
    g.ret = SP_scat_receive(m, &g.type, sender, max_groups, &g.num_groups, (char(*)[MAX_GROUP_NAME])groups.data(),
                            &g.mess_type, &g.endian, &sc.s);
    gather(&g, in_type, sender, groups, max_groups, sc.joined());
    return g;
}

void expect_same(const Got &plain, const Got &scat)
{
    EXPECT_EQ(scat.ret, plain.ret);
    EXPECT_EQ(scat.type, plain.type);
    EXPECT_EQ(scat.sender, plain.sender);
    EXPECT_EQ(scat.num_groups, plain.num_groups);
    EXPECT_EQ(scat.groups, plain.groups);
    EXPECT_EQ(scat.mess_type, plain.mess_type);
    EXPECT_EQ(scat.endian, plain.endian);
    EXPECT_EQ(scat.body, plain.body);
}

std::vector<size_t> growing(size_t count)
{
    std::vector<size_t> v(count);
    std::iota(v.begin(), v.end(), (size_t)1);
    return v;
}

// A regular membership body in the given byte order: group id, the
// vs-sets (each a list of names) and the index of the receiver's.
std::string memb_body(const std::vector<std::vector<std::string>> &sets, uint32_t mine, bool big = false)
{
    std::string b;
    put32(b, 482711334, big);
    put32(b, 1700000000, big);
    put32(b, 7, big);
    put32(b, (uint32_t)sets.size(), big);
    uint32_t offset = 0;
    for (uint32_t i = 0; i < mine && i < sets.size(); i++)
        offset += 4 + 32 * (uint32_t)sets[i].size();
    put32(b, offset, big);
    for (const auto &set : sets) {
        put32(b, (uint32_t)set.size(), big);
        for (const std::string &n : set)
            b += slot(n);
    }
    return b;
}

class SpreadDropIn : public ::testing::Test {
protected:
    FakeDaemon daemon;
    void SetUp() override { ASSERT_GE(daemon.port, 0) << "fake daemon could not listen"; }
};

}  // namespace

// Every message is received once through SP_receive and once through
// SP_scat_receive, in both modes (the read-ahead ring as small as it gets,
// so that it wraps): the results are the same, each element holds its
// stretch of the body in order, and no byte past the body is written.
TEST_F(SpreadDropIn, ScatterReceiveMatchesPlainInBothModes)
{
    ReadAheadBound bound(1);
    std::vector<Msg> msgs;
    for (size_t size : {0, 1, 13, 100, 2000, 5000}) {
        Msg m;
        m.mess_type = (int16)(size - 7);
        m.groups.assign(size % 4, "g");
        for (size_t i = 0; i < size; i++)
            m.body += (char)('a' + i % 23);
        msgs.push_back(m);
    }
    Msg rej;
    rej.type = REJECT_MESS;
    rej.old_type = SAFE_MESS;
    rej.body = "refused";
    msgs.push_back(rej);
    Msg join;  // from a daemon of the other byte order: swapped across elements
    join.type = REG_MEMB_MESS | CAUSED_BY_JOIN;
    join.big_endian = true;
    join.sender = "grp";
    join.groups = {"#alice#localhost", "#bob#localhost"};
    join.body = memb_body({{"#bob#localhost"}}, 0, true);
    msgs.push_back(join);

    const std::vector<std::vector<size_t>> layouts = {
        {8000}, growing(100), {0, 7, 0, 13, 8000}, std::vector<size_t>(100, 64), {5000, 1, 3000}};
    for (bool read_ahead : {false, true}) {
        Live l;
        open_live(&l, daemon);
        ASSERT_EQ(l.result, ACCEPT_SESSION);
        if (read_ahead) {
            ASSERT_EQ(SP_read_ahead(l.mbox, 1), 0);
        }
        // 15 rounds of some 80 kB: the 1 MiB ring wraps.
        const int rounds = 15;
        std::string all;
        for (size_t k = 0; k < layouts.size(); k++)
            for (const Msg &m : msgs)
                all += build(m) + build(m);
        Writer writer(l.srv, [&] {
            for (int r = 0; r < rounds; r++)
                if (!send_bytes(l.srv, all))
                    break;
        });
        for (int n = 0; n < rounds * (int)layouts.size(); n++)
            for (const Msg &m : msgs) {
                size_t k = (size_t)n % layouts.size();
                SCOPED_TRACE(std::string(read_ahead ? "read-ahead" : "default") + ", round " +
                             std::to_string(n / layouts.size()) + ", layout " + std::to_string(k) + ", body " +
                             std::to_string(m.body.size()));
                Got plain = receive(l.mbox, 0, 4, 8000);
                ASSERT_EQ(plain.ret, (int)m.body.size());
                Scat sc(layouts[k]);
                Got scat = scat_receive(l.mbox, 0, 4, sc);
                expect_same(plain, scat);
                // Element by element, then untouched.
                size_t at = 0;
                for (const std::string &e : sc.store) {
                    size_t n = std::min(e.size(), m.body.size() - std::min(at, m.body.size()));
                    std::string expect = plain.body.substr(std::min(at, plain.body.size()), n) +
                                         std::string(e.size() - n, '~');
                    ASSERT_EQ(e, expect) << "element at " << at;
                    at += e.size();
                }
                if (m.type & REG_MEMB_MESS) {
                    membership_info a, b;
                    ASSERT_EQ(SP_scat_get_memb_info(&sc.s, scat.type, &b), 1);
                    std::vector<char> flat(plain.body.begin(), plain.body.end());
                    ASSERT_EQ(SP_get_memb_info(flat.data(), plain.type, &a), 1);
                    EXPECT_EQ(b.gid.id[0], 482711334);
                    EXPECT_EQ(b.gid.id[2], 7);
                    EXPECT_STREQ(b.changed_member, "#bob#localhost");
                    EXPECT_EQ(memcmp(&a, &b, sizeof a), 0);
                }
            }
        writer.join();
    }
}

// Bodies that do not fit, in both forms: the header is kept without
// DROP_RECV; with it the elements are filled in order and the rest
// dropped.
TEST_F(SpreadDropIn, ScatterTooShortAndDropAsPlain)
{
    Msg big;
    big.body = std::string(150, 'x') + std::string(150, 'y');
    big.mess_type = 77;
    Msg three = big;
    three.groups = {"g1", "g2", "g3"};
    three.body = "short";
    struct Row {
        const char *what;
        const Msg &msg;
        service flags;
        int max_groups;
        std::vector<size_t> sizes;
        int ret;
        int num_groups, endian;
        std::string body;
    } rows[] = {
        {"body too long", big, 0, 1, {50, 0, 49}, BUFFER_TOO_SHORT, 0, -300, ""},
        {"body and groups too long", three, 0, 1, {2}, GROUPS_TOO_SHORT, -3, -5, ""},
        {"dropping the body's end", big, DROP_RECV, 1, {100, 0, 60}, BUFFER_TOO_SHORT, 1, 0,
         std::string(150, 'x') + std::string(10, 'y')},
        {"dropping groups", three, DROP_RECV, 1, {3, 3}, 5, -3, 0, "short"},
    };
    for (bool read_ahead : {false, true})
        for (const Row &r : rows) {
            SCOPED_TRACE(std::string(r.what) + (read_ahead ? ", read-ahead" : ", default"));
            Live l;
            open_live(&l, daemon);
            ASSERT_EQ(l.result, ACCEPT_SESSION);
            if (read_ahead) {
                ASSERT_EQ(SP_read_ahead(l.mbox, 1), 0);
            }
            Msg next;
            next.body = "next";
            ASSERT_TRUE(send_bytes(l.srv, build(r.msg) + build(r.msg) + build(next)));
            Scat sizes(r.sizes);
            Got plain = receive(l.mbox, r.flags, r.max_groups, (int)sizes.room());
            if (!(r.flags & DROP_RECV))
                plain.body.clear();
            EXPECT_EQ(plain.ret, r.ret);
            EXPECT_EQ(plain.num_groups, r.num_groups);
            EXPECT_EQ(plain.endian, r.endian);
            EXPECT_EQ(plain.body, r.body);
            if (!(r.flags & DROP_RECV)) {
                // The kept header continues with room enough.
                EXPECT_EQ(receive(l.mbox, 0, 3, 1000).body, r.msg.body);
            }
            Scat sc(r.sizes);
            Got scat = scat_receive(l.mbox, r.flags, r.max_groups, sc);
            if (!(r.flags & DROP_RECV))
                scat.body.clear();
            expect_same(plain, scat);
            if (!(r.flags & DROP_RECV)) {
                Scat more({1, 999});
                EXPECT_EQ(scat_receive(l.mbox, 0, 3, more).body, r.msg.body);
            }
            EXPECT_EQ(receive(l.mbox).body, "next");
        }
}

// The scatter forms send exactly the bytes of the plain ones.
TEST_F(SpreadDropIn, ScatterSendsThePlainBytes)
{
    Live l;
    open_live(&l, daemon, "cap");
    ASSERT_EQ(l.result, ACCEPT_SESSION);
    const char gl[2][MAX_GROUP_NAME] = {"g1", "g2"};
    std::string body(3000, 'b');
    for (size_t i = 0; i < body.size(); i++)
        body[i] = (char)(i * 7);
    Scat pieces({0, 1, 999, 0, 2000});
    std::string flat = body;
    for (size_t i = 0, at = 0; i < pieces.store.size(); at += pieces.store[i].size(), i++)
        memcpy(pieces.store[i].data(), body.data() + at, pieces.store[i].size());
    Scat none({});
    EXPECT_EQ(SP_multicast(l.mbox, AGREED_MESS, "grp", -2, (int)flat.size(), flat.data()), 3000);
    EXPECT_EQ(SP_scat_multicast(l.mbox, AGREED_MESS, "grp", -2, &pieces.s), 3000);
    EXPECT_EQ(SP_multigroup_multicast(l.mbox, FIFO_MESS, 2, gl, 0x1234, (int)flat.size(), flat.data()), 3000);
    EXPECT_EQ(SP_multigroup_scat_multicast(l.mbox, FIFO_MESS, 2, gl, 0x1234, &pieces.s), 3000);
    EXPECT_EQ(SP_multicast(l.mbox, SAFE_MESS, "grp", 1, 0, nullptr), 0);
    EXPECT_EQ(SP_scat_multicast(l.mbox, SAFE_MESS, "grp", 1, &none.s), 0);
    SP_kill(l.mbox);
    l.mbox = -1;
    std::string sent = read_to_eof(l.srv);
    const size_t one = 48 + 32 + 3000, two = 48 + 64 + 3000, empty = 48 + 32;
    ASSERT_EQ(sent.size(), 2 * (one + two + empty));
    EXPECT_EQ(to_hex(sent.substr(0, one)), to_hex(sent.substr(one, one)));
    EXPECT_EQ(sent.substr(48 + 32, 3000), body);
    EXPECT_EQ(to_hex(sent.substr(2 * one, two)), to_hex(sent.substr(2 * one + two, two)));
    EXPECT_EQ(to_hex(sent.substr(2 * (one + two), empty)), to_hex(sent.substr(2 * (one + two) + empty, empty)));
}

// vs-sets of a network change with three of them, the receiver's in the
// middle: every set, every name, and the room asked of the caller.
TEST_F(SpreadDropIn, VsSetsOfAWholeBody)
{
    Live l;
    open_live(&l, daemon);
    ASSERT_EQ(l.result, ACCEPT_SESSION);
    Msg net;
    net.type = REG_MEMB_MESS | CAUSED_BY_NETWORK;
    net.sender = "grp";
    net.groups = {"#alice#localhost", "#x#a", "#y#a"};
    net.body = memb_body({{"#x#a", "#y#a"}, {"#alice#localhost"}, {}}, 1);
    ASSERT_TRUE(send_bytes(l.srv, build(net) + build(net)));

    char body[1000];
    Scat sc({10, 10, 10, 3, 500});
    for (bool scattered : {false, true}) {
        SCOPED_TRACE(scattered ? "scatter" : "plain");
        char sender[MAX_GROUP_NAME], groups[4][MAX_GROUP_NAME];
        service st = 0;
        int ng, em;
        int16 mt;
        ASSERT_EQ(scattered ? SP_scat_receive(l.mbox, &st, sender, 4, &ng, groups, &mt, &em, &sc.s)
                            : SP_receive(l.mbox, &st, sender, 4, &ng, groups, &mt, &em, sizeof body, body),
                  128);
        EXPECT_EQ(mt, 0);
        vs_set_info sets[3];
        unsigned int mine = 99;
        int n = scattered ? SP_scat_get_vs_sets_info(&sc.s, sets, 3, &mine) : SP_get_vs_sets_info(body, sets, 3, &mine);
        ASSERT_EQ(n, 3);
        EXPECT_EQ(mine, 1u);
        EXPECT_EQ(sets[0].num_members, 2u);
        EXPECT_EQ(sets[0].members_offset, 24u);
        EXPECT_EQ(sets[1].num_members, 1u);
        EXPECT_EQ(sets[1].members_offset, 24u + 64 + 4);
        EXPECT_EQ(sets[2].num_members, 0u);
        EXPECT_EQ(sets[2].members_offset, 24u + 64 + 4 + 32 + 4);
        membership_info mi;
        ASSERT_EQ(scattered ? SP_scat_get_memb_info(&sc.s, st, &mi) : SP_get_memb_info(body, st, &mi), 1);
        EXPECT_EQ(mi.num_vs_sets, 3u);
        EXPECT_EQ(mi.my_vs_set.num_members, sets[1].num_members);
        EXPECT_EQ(mi.my_vs_set.members_offset, sets[1].members_offset);
        EXPECT_STREQ(mi.changed_member, "");

        char names[2][MAX_GROUP_NAME];
        auto members = [&](const vs_set_info *set, int room) {
            return scattered ? SP_scat_get_vs_set_members(&sc.s, set, names, room)
                             : SP_get_vs_set_members(body, set, names, room);
        };
        ASSERT_EQ(members(&sets[0], 2), 2);
        EXPECT_STREQ(names[0], "#x#a");
        EXPECT_STREQ(names[1], "#y#a");
        ASSERT_EQ(members(&sets[1], 2), 1);
        EXPECT_STREQ(names[0], "#alice#localhost");
        EXPECT_EQ(members(&sets[2], 0), 0);
        // Too little room: BUFFER_TOO_SHORT, nothing written.
        memcpy(names[0], "unchanged", 10);
        EXPECT_EQ(members(&sets[0], 1), BUFFER_TOO_SHORT);
        EXPECT_STREQ(names[0], "unchanged");
        mine = 99;
        EXPECT_EQ(scattered ? SP_scat_get_vs_sets_info(&sc.s, sets, 2, &mine)
                            : SP_get_vs_sets_info(body, sets, 2, &mine),
                  BUFFER_TOO_SHORT);
        EXPECT_EQ(mine, 99u);
        // Names said to lie past the body's real end.
        vs_set_info past = {1, 128 - 31};
        EXPECT_EQ(members(&past, 2), ILLEGAL_MESSAGE);
        vs_set_info huge = {0x08000001u, 24};
        EXPECT_EQ(members(&huge, 2), ILLEGAL_MESSAGE);
    }
    EXPECT_EQ(SP_get_vs_sets_info(nullptr, nullptr, 0, nullptr), ILLEGAL_MESSAGE);
    EXPECT_EQ(SP_scat_get_vs_sets_info(nullptr, nullptr, 0, nullptr), ILLEGAL_MESSAGE);
    EXPECT_EQ(SP_get_vs_set_members(body, nullptr, nullptr, 0), ILLEGAL_MESSAGE);
}

// Crafted bodies that do not hold what they announce are refused, bounded
// by the length the receive delivered, through both forms.
TEST_F(SpreadDropIn, VsSetsOfCraftedBodies)
{
    const std::string whole = memb_body({{"#x#a", "#y#a"}, {"#alice#localhost"}}, 1);
    auto with = [&](size_t at, uint32_t v) {
        std::string b = whole;
        std::string le;
        put32(le, v, false);
        b.replace(at, 4, le);
        return b;
    };
    struct Row {
        std::string what;
        std::string body;
        int sets_result;  // SP_get_vs_sets_info with room for 4
    };
    std::vector<Row> rows = {
        {"whole", whole, 2},
        {"more vs-sets than the body holds", with(12, 3), ILLEGAL_MESSAGE},
        {"a vs-set count far beyond the body", with(12, 0x40000000u), ILLEGAL_MESSAGE},
        {"members beyond the body", with(20, 3), ILLEGAL_MESSAGE},
        {"a member count whose size wraps", with(20, 0x08000002u), ILLEGAL_MESSAGE},
        {"the receiver's vs-set not at a vs-set", with(16, 4), ILLEGAL_MESSAGE},
        {"the receiver's vs-set past the end", with(16, 0x7ffffff0u), ILLEGAL_MESSAGE},
        {"no vs-set at all", with(12, 0), ILLEGAL_MESSAGE},
    };
    for (size_t cut = 0; cut < whole.size(); cut += 7)
        rows.push_back({"cut to " + std::to_string(cut), whole.substr(0, cut), ILLEGAL_MESSAGE});
    rows.push_back({"cut by one", whole.substr(0, whole.size() - 1), ILLEGAL_MESSAGE});

    Live l;
    open_live(&l, daemon);
    ASSERT_EQ(l.result, ACCEPT_SESSION);
    std::string all;
    for (const Row &r : rows) {
        Msg m;
        m.type = REG_MEMB_MESS | CAUSED_BY_NETWORK;
        m.sender = "grp";
        m.groups = {"#alice#localhost"};
        m.body = r.body;
        all += build(m) + build(m);
    }
    Writer writer(l.srv, [&] { send_bytes(l.srv, all); });
    for (const Row &r : rows) {
        SCOPED_TRACE(r.what);
        // The buffer holds a whole body's bytes past what this message
        // delivered: only the length the receive noted keeps them out.
        std::vector<char> body(whole.begin(), whole.end());
        body.resize(1000);
        char sender[MAX_GROUP_NAME], groups[2][MAX_GROUP_NAME];
        service st = 0;
        int ng, em;
        int16 mt;
        ASSERT_EQ(SP_receive(l.mbox, &st, sender, 2, &ng, groups, &mt, &em, (int)body.size(), body.data()),
                  (int)r.body.size());
        vs_set_info sets[4];
        unsigned int mine = 99;
        EXPECT_EQ(SP_get_vs_sets_info(body.data(), sets, 4, &mine), r.sets_result);
        if (r.sets_result == 2) {
            EXPECT_EQ(mine, 1u);
        }
        membership_info mi;
        int memb = SP_get_memb_info(body.data(), st, &mi);

        Scat sc({5, 20, 3, 1000});
        memcpy(sc.store[3].data(), whole.data() + 28, whole.size() - 28);
        st = 0;
        ASSERT_EQ(SP_scat_receive(l.mbox, &st, sender, 2, &ng, groups, &mt, &em, &sc.s), (int)r.body.size());
        mine = 99;
        EXPECT_EQ(SP_scat_get_vs_sets_info(&sc.s, sets, 4, &mine), r.sets_result);
        EXPECT_EQ(SP_scat_get_memb_info(&sc.s, st, &mi), memb);
        if (r.sets_result == ILLEGAL_MESSAGE && r.body.size() < 24) {
            EXPECT_EQ(memb, ILLEGAL_MESSAGE);
        }
    }
    writer.join();
}

// A self-leave has no body: its info is 1, with the receiver as the member
// that left when the buffer is the one the receive filled, and no vs-sets;
// a transitional message gives its group id; a data message is no
// membership message.
TEST_F(SpreadDropIn, SelfLeaveAndOtherMembershipInfo)
{
    Live l;
    open_live(&l, daemon);
    ASSERT_EQ(l.result, ACCEPT_SESSION);
    Msg self_leave;
    self_leave.type = CAUSED_BY_LEAVE;
    self_leave.sender = "grp";
    self_leave.groups = {};
    Msg transition = self_leave;
    transition.type = TRANSITION_MESS;
    transition.body = std::string("\x01\x00\x00\x00\x02\x00\x00\x00\x03\x00\x00\x00", 12);
    Msg data;
    data.body = "data";
    ASSERT_TRUE(send_bytes(l.srv, build(self_leave) + build(self_leave) + build(data) + build(transition)));

    char body[100], other[100] = {};
    char sender[MAX_GROUP_NAME], groups[2][MAX_GROUP_NAME];
    service st = 0;
    int ng, em;
    int16 mt;
    ASSERT_EQ(SP_receive(l.mbox, &st, sender, 2, &ng, groups, &mt, &em, sizeof body, body), 0);
    ASSERT_EQ(st, CAUSED_BY_LEAVE);
    membership_info mi;
    memset(&mi, 0x55, sizeof mi);
    ASSERT_EQ(SP_get_memb_info(body, st, &mi), 1);
    EXPECT_STREQ(mi.changed_member, "#alice#localhost");
    EXPECT_EQ(mi.num_vs_sets, 0u);
    EXPECT_EQ(mi.my_vs_set.num_members, 0u);
    EXPECT_EQ(mi.gid.id[0] | mi.gid.id[1] | mi.gid.id[2], 0);
    ASSERT_EQ(SP_get_memb_info(other, st, &mi), 1) << "another buffer";
    EXPECT_STREQ(mi.changed_member, "");
    EXPECT_EQ(SP_get_vs_sets_info(body, nullptr, 0, nullptr), ILLEGAL_MESSAGE) << "no vs-sets in no body";

    Scat sc({4, 4});
    st = 0;
    ASSERT_EQ(SP_scat_receive(l.mbox, &st, sender, 2, &ng, groups, &mt, &em, &sc.s), 0);
    ASSERT_EQ(SP_scat_get_memb_info(&sc.s, st, &mi), 1);
    EXPECT_STREQ(mi.changed_member, "#alice#localhost");
    EXPECT_EQ(mi.num_vs_sets, 0u);
    ASSERT_EQ(SP_get_memb_info(sc.store[0].data(), st, &mi), 1) << "the first element is not the scatter";
    EXPECT_STREQ(mi.changed_member, "");

    // The buffer now holds a data message: no member to name.
    st = 0;
    ASSERT_EQ(SP_receive(l.mbox, &st, sender, 2, &ng, groups, &mt, &em, sizeof body, body), 4);
    EXPECT_EQ(SP_get_memb_info(body, st, &mi), ILLEGAL_MESSAGE);
    ASSERT_EQ(SP_get_memb_info(body, CAUSED_BY_LEAVE, &mi), 1);
    EXPECT_STREQ(mi.changed_member, "");

    st = 0;
    ASSERT_EQ(SP_receive(l.mbox, &st, sender, 2, &ng, groups, &mt, &em, sizeof body, body), 12);
    ASSERT_EQ(SP_get_memb_info(body, st, &mi), 1);
    EXPECT_EQ(mi.gid.id[0], 1);
    EXPECT_EQ(mi.gid.id[2], 3);
    EXPECT_EQ(mi.num_vs_sets, 0u);
    EXPECT_EQ(SP_get_memb_info(body, REJECT_MESS | CAUSED_BY_LEAVE, &mi), ILLEGAL_MESSAGE);
    EXPECT_EQ(SP_get_memb_info(nullptr, st, &mi), ILLEGAL_MESSAGE);
    EXPECT_EQ(SP_scat_get_memb_info(nullptr, st, &mi), ILLEGAL_MESSAGE);
}

namespace {

// A client's side of a method "PWORD" that the fake daemon plays below:
// it sends the password and succeeds when the daemon answers "ok".
std::atomic<int> pword_socket{-1};
int pword(int fd, void *data)
{
    pword_socket = fd;
    std::string answer;
    return send_bytes(fd, (const char *)data) && recv_bytes(fd, 2, &answer) && answer == "ok";
}
int always_fails(int, void *) { return 0; }

}  // namespace

// What SP_set_auth_method(s) take, and what SP_connect then offers.
TEST_F(SpreadDropIn, AuthenticationMethods)
{
    const std::string long_name(30, 'n');
    struct Registration {
        const char *what;
        int num;
        std::vector<const char *> names;
        std::vector<int (*)(int, void *)> funcs;
        int result;
    } registrations[] = {
        {"NULL", 1, {"NULL"}, {nullptr}, 1},
        {"NULL with a function", 1, {"NULL"}, {pword}, 1},
        {"another method", 1, {"PWORD"}, {pword}, 1},
        {"three", 3, {"NULL", "PWORD", "IP"}, {nullptr, pword, pword}, 1},
        {"no function", 1, {"PWORD"}, {nullptr}, 0},
        {"no name", 1, {nullptr}, {pword}, 0},
        {"empty name", 1, {""}, {pword}, 0},
        {"a name of 29", 1, {long_name.c_str() + 1}, {pword}, 1},
        {"a name of 30", 1, {long_name.c_str()}, {pword}, 0},
        {"none", 0, {"NULL"}, {nullptr}, 0},
        {"four", 4, {"NULL", "NULL", "NULL", "NULL"}, {nullptr, nullptr, nullptr, nullptr}, 0},
    };
    for (Registration &r : registrations) {
        SCOPED_TRACE(r.what);
        AuthMethodsSet set(r.num, r.names.data(), r.funcs.data(), nullptr);
        EXPECT_EQ(set.result, r.result);
        if (r.num == 1) {
            AuthMethodsSet one(r.names[0], r.funcs[0], nullptr);
            EXPECT_EQ(one.result, r.result);
        }
    }

    // What goes out, and how the connect ends.
    char secret[] = "s3cret";
    struct Connect {
        const char *what;
        std::vector<const char *> names;
        std::vector<int (*)(int, void *)> funcs;
        std::string listed;      // the daemon's method list
        std::string reply;       // the reply expected, trailing zero bytes left out
        std::string exchange;    // what the daemon then reads before answering
        std::string verdict;     // the daemon's accept byte (or reject)
        int result;
    } connects[] = {
        {"the default", {}, {}, "NULL ", "NULL", "", "\x01", ACCEPT_SESSION},
        {"a method not listed", {"PWORD"}, {pword}, "NULL ", "", "", "", REJECT_AUTH},
        {"one of two not listed", {"NULL", "PWORD"}, {nullptr, pword}, "NULL ", "", "", "", REJECT_AUTH},
        {"a listed method", {"PWORD"}, {pword}, "PWORD NULL ", "PWORD", "s3cret", "\x01", ACCEPT_SESSION},
        {"two listed", {"NULL", "PWORD"}, {nullptr, pword}, "NULL PWORD ",
         "NULL" + std::string(26, '\0') + "PWORD", "s3cret", "\x01", ACCEPT_SESSION},
        {"refused by the daemon", {"PWORD"}, {pword}, "PWORD ", "PWORD", "s3cret", "\xf7", REJECT_AUTH},
        {"the method fails", {"PWORD"}, {always_fails}, "PWORD ", "PWORD", "", "", REJECT_AUTH},
    };
    for (Connect &c : connects) {
        SCOPED_TRACE(c.what);
        std::vector<void *> data(c.names.size(), secret);
        AuthMethodsSet set((int)c.names.size(), c.names.data(), c.funcs.data(), data.data());
        if (!c.names.empty()) {
            ASSERT_EQ(set.result, 1);
        }
        std::string reply, exchange, after;
        pword_socket = -1;
        std::jthread t([&] {
            int fd = daemon.accept_one(false);
            char buf[100];
            (void)!recv(fd, buf, sizeof buf, 0);
            send_bytes(fd, (char)c.listed.size() + c.listed);
            if (recv_bytes(fd, 90, &reply)) {
                if (!c.exchange.empty() && recv_bytes(fd, c.exchange.size(), &exchange))
                    send_bytes(fd, "ok");
                send_bytes(fd, c.verdict == "\x01" ? accept_reply("#a#localhost") : c.verdict);
            }
            shutdown(fd, SHUT_WR);
            after = read_to_eof(fd);
            close(fd);
        });
        mailbox m = -7;
        char pg[MAX_GROUP_NAME];
        int r = SP_connect(daemon.name(false).c_str(), "alice", 0, 1, &m, pg);
        if (r == ACCEPT_SESSION)
            SP_kill(m);
        t.join();
        EXPECT_EQ(r, c.result);
        if (c.reply.empty()) {
            EXPECT_EQ(reply, "") << "nothing sent";
        } else {
            EXPECT_EQ(reply, c.reply + std::string(90 - c.reply.size(), '\0'));
            EXPECT_EQ(exchange, c.exchange);
        }
        if (c.funcs.size() && c.funcs.back() == pword && !c.exchange.empty()) {
            EXPECT_GE(pword_socket.load(), 0) << "the method ran on the session's socket";
        }
        EXPECT_EQ(after, "");
    }
}
