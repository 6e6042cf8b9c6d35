// The wire decoders and encoders on exact bytes: headers in both byte
// orders, hints, truncated and corrupt input, membership bodies.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "spread/wire.h"

namespace {

std::vector<unsigned char> hex(const std::string &h)
{
    std::vector<unsigned char> out;
    for (size_t i = 0; i + 1 < h.size(); i += 2)
        out.push_back((unsigned char)std::stoi(h.substr(i, 2), nullptr, 16));
    return out;
}

std::string to_hex(const unsigned char *p, size_t n)
{
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < n; i++) {
        s += digits[p[i] >> 4];
        s += digits[p[i] & 15];
    }
    return s;
}

// AGREED from #alice#localhost, 1 group, mess_type 1, 4 body bytes, as a
// little-endian daemon sends it.
const char *alice_header =
    "9000008023616c696365236c6f63616c686f737400000000000000000000000000000000"
    "010000008001008004000000";

// A join membership body: group id, 1 vs-set at offset 0 with 1 member.
const char *alice_join_body =
    "26 97 c5 1c 4e 2d 1a 6b 01 00 00 00 01 00 00 00 00 00 00 00 01 00 00 00";

std::vector<unsigned char> join_body()
{
    std::string h;
    for (char c : std::string(alice_join_body))
        if (c != ' ')
            h += c;
    std::vector<unsigned char> b = hex(h);
    const char *name = "#alice#localhost";
    b.insert(b.end(), name, name + strlen(name));
    b.resize(56, 0);
    return b;
}

}  // namespace

TEST(SpreadWire, DecodesLittleEndianHeader)
{
    std::vector<unsigned char> b = hex(alice_header);
    ASSERT_EQ(b.size(), WIRE_HEADER_SIZE);
    WireHeader h;
    ASSERT_EQ(wire_header_decode(b.data(), b.data() + b.size(), &h), 0);
    EXPECT_EQ(h.type, (uint32_t)AGREED_MESS);
    EXPECT_STREQ(h.sender, "#alice#localhost");
    EXPECT_EQ(h.num_groups, 1);
    EXPECT_EQ(h.data_len, 4);
    EXPECT_FALSE(h.foreign);
    bool swapped = true;
    EXPECT_EQ(wire_hint_mess_type(h.hint_raw, &swapped), 1);
    EXPECT_FALSE(swapped);
}

TEST(SpreadWire, DecodesBigEndianHeaderAndHintSeparately)
{
    // A big-endian daemon: no marker, integers most significant byte first.
    std::vector<unsigned char> b(WIRE_HEADER_SIZE, 0);
    const unsigned char type[4] = {0x00, 0x00, 0x11, 0x00};  // REG_MEMB | CAUSED_BY_JOIN
    memcpy(b.data(), type, 4);
    memcpy(b.data() + 4, "tg", 2);
    const unsigned char ng[4] = {0, 0, 0, 3}, dl[4] = {0, 0, 0, 56};
    memcpy(b.data() + 36, ng, 4);
    memcpy(b.data() + 44, dl, 4);
    // The hint of a little-endian sender, forwarded unchanged: mess_type 258.
    const unsigned char hint[4] = {0x80, 0x02, 0x01, 0x80};
    memcpy(b.data() + 40, hint, 4);
    WireHeader h;
    ASSERT_EQ(wire_header_decode(b.data(), b.data() + b.size(), &h), 0);
    EXPECT_TRUE(h.foreign);
    EXPECT_EQ(h.type, (uint32_t)(REG_MEMB_MESS | CAUSED_BY_JOIN));
    EXPECT_EQ(h.num_groups, 3);
    EXPECT_EQ(h.data_len, 56);
    bool swapped = true;
    EXPECT_EQ(wire_hint_mess_type(h.hint_raw, &swapped), 258);
    EXPECT_FALSE(swapped);

    // And the reverse: a big-endian sender's hint 00 01 02 00 seen here.
    const unsigned char be_hint[4] = {0x00, 0x01, 0x02, 0x00};
    uint32_t raw;
    memcpy(&raw, be_hint, 4);
    EXPECT_EQ(wire_hint_mess_type(raw, &swapped), 0x0102);
    EXPECT_TRUE(swapped);
}

TEST(SpreadWire, TruncatedHeaderIsRefused)
{
    std::vector<unsigned char> b = hex(alice_header);
    for (size_t n = 0; n < WIRE_HEADER_SIZE; n++) {
        WireHeader h;
        memset(&h, 0x5a, sizeof h);
        EXPECT_EQ(wire_header_decode(b.data(), b.data() + n, &h), -1) << n;
        EXPECT_EQ(h.num_groups, 0x5a5a5a5a) << "header written for " << n << " bytes";
    }
}

TEST(SpreadWire, HintEncodingKeepsTheSign)
{
    struct Case {
        int16 mess_type;
        const char *bytes;
    } cases[] = {
        {-2, "80feff80"}, {0x1234, "80341280"}, {-32768, "80008080"}, {0x7fff, "80ff7f80"}, {0, "80000080"},
    };
    for (const Case &c : cases) {
        uint32_t raw = wire_hint_encode(c.mess_type);
        EXPECT_EQ(to_hex((const unsigned char *)&raw, 4), c.bytes) << c.mess_type;
        EXPECT_EQ(wire_hint_mess_type(raw, nullptr), c.mess_type);
    }
}

TEST(SpreadWire, EncodesHeaderAsTheLibrarySendsIt)
{
    WireHeader h;
    h.type = WIRE_JOIN_MESS;
    wire_group_slot(h.sender, "#cap#localhost");
    h.num_groups = 1;
    h.hint_raw = wire_hint_encode(0);
    h.data_len = 0;
    h.foreign = false;
    unsigned char out[WIRE_HEADER_SIZE];
    wire_header_encode(&h, out);
    EXPECT_EQ(to_hex(out, sizeof out),
              "8000018023636170236c6f63616c686f73740000000000000000000000000000000000000100000080"
              "00008000000000");

    // A forwarded header keeps the writer's hint bytes but this host's order.
    std::vector<unsigned char> b = hex(alice_header);
    WireHeader d;
    ASSERT_EQ(wire_header_decode(b.data(), b.data() + b.size(), &d), 0);
    wire_header_encode(&d, out);
    EXPECT_EQ(to_hex(out, sizeof out), alice_header);
}

TEST(SpreadWire, PayloadSizeOfHostileCounts)
{
    WireHeader h = {};
    h.num_groups = INT_MAX;
    h.data_len = INT_MAX;
    EXPECT_EQ(wire_payload_size(&h, true), (int64_t)INT_MAX * 32 + INT_MAX);
    h.type = REJECT_MESS;
    EXPECT_EQ(wire_payload_size(&h, true), (int64_t)INT_MAX * 33 + 4);
    EXPECT_EQ(wire_payload_size(&h, false), (int64_t)INT_MAX * 33);
    h.num_groups = -1;
    EXPECT_EQ(wire_payload_size(&h, true), -1);
    h.num_groups = 0;
    h.data_len = INT_MIN;
    EXPECT_EQ(wire_payload_size(&h, true), -1);
}

TEST(SpreadWire, GroupNames)
{
    struct Case {
        const char *name;
        bool legal;
    } cases[] = {
        {"grp", true},
        {"$~", true},
        {"1234567890123456789012345678901", true},    // 31
        {"12345678901234567890123456789012", false},  // 32
        {"", false},
        {"a b", false},
        {"#x", false},
        {"\"q", false},
        {"!", false},
        {"a\x7f", false},
        {"\xc3\xa9", false},
    };
    for (const Case &c : cases)
        EXPECT_EQ(wire_group_name_legal(c.name), c.legal) << c.name;
    EXPECT_FALSE(wire_group_name_legal(nullptr));

    char slot[MAX_GROUP_NAME];
    memset(slot, 'x', sizeof slot);
    wire_group_slot(slot, "12345678901234567890123456789012345");
    EXPECT_EQ(std::string(slot, 32), std::string("1234567890123456789012345678901") + '\0');
    wire_group_slot(slot, "g1");
    EXPECT_EQ(std::string(slot, 32), std::string("g1") + std::string(30, '\0'));
}

TEST(SpreadWire, GroupIndex)
{
    char groups[3][MAX_GROUP_NAME];
    wire_group_slot(groups[0], "#alice#localhost");
    wire_group_slot(groups[1], "#bob#localhost");
    memcpy(groups[2], "#carol#localhost\0garbage-after-nul", 32);
    EXPECT_EQ(wire_group_index(groups[0], 3, "#bob#localhost"), 1);
    EXPECT_EQ(wire_group_index(groups[0], 3, "#carol#localhost"), 2);
    EXPECT_EQ(wire_group_index(groups[0], 3, "#bo"), -1);
    EXPECT_EQ(wire_group_index(groups[0], 1, "#bob#localhost"), -1);
}

TEST(SpreadWire, MembershipInfoOfJoinBody)
{
    std::vector<unsigned char> b = join_body();
    membership_info m;
    ASSERT_EQ(wire_memb_info(b.data(), b.size(), REG_MEMB_MESS | CAUSED_BY_JOIN, &m), 0);
    EXPECT_EQ(m.gid.id[0], 482711334);
    EXPECT_EQ(m.gid.id[2], 1);
    EXPECT_EQ(m.num_vs_sets, 1u);
    EXPECT_EQ(m.my_vs_set.num_members, 1u);
    EXPECT_EQ(m.my_vs_set.members_offset, 24u);
    EXPECT_STREQ(m.changed_member, "#alice#localhost");

    // The same body, built by the encoder.
    unsigned char enc[WIRE_MEMB_BODY_SIZE];
    int32 gid[3] = {482711334, 0x6b1a2d4e, 1};
    wire_memb_body_encode(enc, gid, "#alice#localhost");
    EXPECT_EQ(to_hex(enc, sizeof enc), to_hex(b.data(), b.size()));

    // A network change names no changed member.
    ASSERT_EQ(wire_memb_info(b.data(), b.size(), REG_MEMB_MESS | CAUSED_BY_NETWORK, &m), 0);
    EXPECT_STREQ(m.changed_member, "");
    // A transitional body is the group id alone.
    ASSERT_EQ(wire_memb_info(b.data(), 12, TRANSITION_MESS, &m), 0);
    EXPECT_EQ(m.gid.id[2], 1);
    EXPECT_EQ(m.num_vs_sets, 0u);
}

TEST(SpreadWire, MembershipInfoRefusesShortAndHostileBodies)
{
    std::vector<unsigned char> b = join_body();
    membership_info m;
    for (size_t n = 0; n < b.size(); n++)
        EXPECT_EQ(wire_memb_info(b.data(), n, REG_MEMB_MESS | CAUSED_BY_JOIN, &m), -1) << n;
    EXPECT_EQ(wire_memb_info(b.data(), 11, TRANSITION_MESS, &m), -1);

    struct Corrupt {
        size_t at;
        uint32_t value;
    } cases[] = {
        {16, 0xffffffffu},  // vs-set offset far outside
        {16, 36},           // vs-set count would sit in the last 4 bytes, names beyond
        {20, 2},            // two members, room for one
        {20, 0x08000001u},  // member count whose size wraps 32 bits
        {12, 0x40000000u},  // more vs-sets than bytes
    };
    for (const Corrupt &c : cases) {
        std::vector<unsigned char> x = b;
        wire_store_u32(x.data() + c.at, c.value);
        EXPECT_EQ(wire_memb_info(x.data(), x.size(), REG_MEMB_MESS | CAUSED_BY_JOIN, &m), -1)
            << c.at << "=" << c.value;
    }
    // Not membership bodies at all.
    EXPECT_EQ(wire_memb_info(b.data(), b.size(), AGREED_MESS, &m), -1);
    EXPECT_EQ(wire_memb_info(b.data(), b.size(), CAUSED_BY_LEAVE, &m), -1);
    EXPECT_EQ(wire_memb_info(b.data(), b.size(), REG_MEMB_MESS | REJECT_MESS, &m), -1);
}

TEST(SpreadWire, MembershipSwapTurnsForeignBodyIntoHostOrder)
{
    std::vector<unsigned char> host = join_body();
    // Two vs-sets: append a second one with 1 member to test the walk.
    host[12] = 2;
    std::vector<unsigned char> second(36, 0);
    second[0] = 1;
    memcpy(second.data() + 4, "#bob#localhost", 14);
    host.insert(host.end(), second.begin(), second.end());

    std::vector<unsigned char> foreign = host;
    for (size_t at : {0, 4, 8, 12, 16, 20, 56})
        std::reverse(foreign.begin() + (long)at, foreign.begin() + (long)at + 4);
    wire_memb_swap(foreign.data(), foreign.size());
    EXPECT_EQ(to_hex(foreign.data(), foreign.size()), to_hex(host.data(), host.size()));
}

TEST(SpreadWire, MembershipSwapStaysInsideTruncatedAndHostileBodies)
{
    // Swap every prefix of a body in a buffer with a guard zone after it:
    // the guard must stay untouched and the swapped prefix must match.
    std::vector<unsigned char> host = join_body();
    std::vector<unsigned char> foreign = host;
    for (size_t at : {0, 4, 8, 12, 16, 20})
        std::reverse(foreign.begin() + (long)at, foreign.begin() + (long)at + 4);
    for (size_t n = 0; n <= foreign.size(); n++) {
        std::vector<unsigned char> buf(foreign.begin(), foreign.begin() + (long)n);
        buf.resize(n + 16, 0xee);
        wire_memb_swap(buf.data(), n);
        for (size_t i = n; i < n + 16; i++)
            ASSERT_EQ(buf[i], 0xee) << "prefix " << n << " wrote at " << i;
        for (size_t i = 0; i + 4 <= n && i < 24; i += 4)
            EXPECT_EQ(memcmp(buf.data() + i, host.data() + i, 4), 0) << "prefix " << n << " int " << i;
    }
    // Huge counts in a foreign body: walks off the end without touching it.
    std::vector<unsigned char> evil(64, 0xff);
    evil.resize(80, 0xee);
    wire_memb_swap(evil.data(), 64);
    for (size_t i = 64; i < 80; i++)
        EXPECT_EQ(evil[i], 0xee);
}
