// minispread's protocol functions on exact bytes: the connect message, the
// auth reply, and the checks that decide whether a client's message header
// kills its session.
#include <gtest/gtest.h>

#include <string>

#include "tools/minispread/proto.h"

using namespace ms;

namespace {

MsParse parse(const std::string &bytes, MsConnect *req, int *code)
{
    return ms_parse_connect((const uint8_t *)bytes.data(), bytes.size(), req, code);
}

std::string with(std::initializer_list<int> prefix, const std::string &name = "")
{
    std::string s;
    for (int b : prefix)
        s += (char)b;
    return s + name;
}

TEST(MinispreadProto, ConnectMessages)
{
    struct Case {
        const char *what;
        std::string bytes;
        MsParse result;
        int code;          // reject code
        int version;       // when accepted
        bool membership;
        const char *name;
        size_t consumed;
    };
    const Case cases[] = {
        {"5.0.1 alice", with({5, 0, 1, 1, 5}, "alice"), MS_DONE, 0, 50001, true, "alice", 10},
        {"trailing bytes are left", with({5, 0, 1, 1, 5}, "aliceNULL"), MS_DONE, 0, 50001, true, "alice", 10},
        {"no membership", with({5, 0, 1, 0, 3}, "bob"), MS_DONE, 0, 50001, false, "bob", 8},
        {"priority bit only", with({5, 0, 1, 0x10, 3}, "bob"), MS_DONE, 0, 50001, false, "bob", 8},
        {"flag byte 0x81 is negative", with({5, 0, 1, 0x81, 3}, "bob"), MS_DONE, 0, 50001, false, "bob", 8},
        {"anonymous", with({5, 0, 1, 1, 0}), MS_DONE, 0, 50001, true, "", 5},
        {"ten characters", with({4, 4, 0, 1, 10}, "abcdefghij"), MS_DONE, 0, 40400, true, "abcdefghij", 15},
        {"3.14 sends no patch byte", with({3, 14, 1, 3}, "old"), MS_DONE, 0, 31400, true, "old", 7},
        {"3.1.0 is the oldest accepted", with({3, 1, 1, 3}, "old"), MS_DONE, 0, 30100, true, "old", 7},
        {"any future version", with({9, 9, 9, 1, 1}, "x"), MS_DONE, 0, 90909, true, "x", 6},
        {"3.0.0", with({3, 0, 0, 1, 3}, "old"), MS_REJECT, REJECT_VERSION, 0, false, "", 0},
        {"3.0 rejected before the rest arrives", with({3, 0}), MS_REJECT, REJECT_VERSION, 0, false, "", 0},
        {"eleven characters", with({5, 0, 1, 1, 11}, "abcdefghijk"), MS_REJECT, REJECT_ILLEGAL_NAME, 0, false, "", 0},
        {"negative length", with({5, 0, 1, 1, 0xff}), MS_REJECT, REJECT_ILLEGAL_NAME, 0, false, "", 0},
        {"space", with({5, 0, 1, 1, 3}, "a b"), MS_REJECT, REJECT_ILLEGAL_NAME, 0, false, "", 0},
        {"hash", with({5, 0, 1, 1, 2}, "a#"), MS_REJECT, REJECT_ILLEGAL_NAME, 0, false, "", 0},
        {"DEL", with({5, 0, 1, 1, 2}, "a\x7f"), MS_REJECT, REJECT_ILLEGAL_NAME, 0, false, "", 0},
        {"dollar and tilde are legal", with({5, 0, 1, 1, 2}, "$~"), MS_DONE, 0, 50001, true, "$~", 7},
        {"nothing yet", "", MS_NEED_MORE, 0, 0, false, "", 0},
        {"no patch byte yet", with({5, 0}), MS_NEED_MORE, 0, 0, false, "", 0},
        {"no length yet", with({5, 0, 1, 1}), MS_NEED_MORE, 0, 0, false, "", 0},
        {"name cut short", with({5, 0, 1, 1, 5}, "ali"), MS_NEED_MORE, 0, 0, false, "", 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        MsConnect req{};
        int code = 0;
        ASSERT_EQ(parse(c.bytes, &req, &code), c.result);
        if (c.result == MS_REJECT) {
            EXPECT_EQ(code, c.code);
        }
        if (c.result != MS_DONE)
            continue;
        EXPECT_EQ(req.version, c.version);
        EXPECT_EQ(req.membership, c.membership);
        EXPECT_STREQ(req.name, c.name);
        EXPECT_EQ(req.name_len, (int)strlen(c.name));
        EXPECT_EQ(req.consumed, c.consumed);
    }
}

TEST(MinispreadProto, AuthReplies)
{
    auto reply = [](std::initializer_list<const char *> methods) {
        std::string r(AUTH_REPLY_SIZE, '\0');
        size_t i = 0;
        for (const char *m : methods)
            r.replace(30 * i++, strlen(m), m);
        return r;
    };
    EXPECT_TRUE(ms_auth_ok((const uint8_t *)reply({"NULL"}).data()));
    EXPECT_TRUE(ms_auth_ok((const uint8_t *)reply({"NULL", "NULL"}).data()));
    EXPECT_FALSE(ms_auth_ok((const uint8_t *)reply({}).data()));
    EXPECT_FALSE(ms_auth_ok((const uint8_t *)reply({"PWORD"}).data()));
    EXPECT_FALSE(ms_auth_ok((const uint8_t *)reply({"NULL", "IP"}).data()));
    EXPECT_FALSE(ms_auth_ok((const uint8_t *)reply({"NULLX"}).data()));
    // A 30-byte name with no NUL must not run into the next slot.
    EXPECT_FALSE(ms_auth_ok((const uint8_t *)reply({"NULLNULLNULLNULLNULLNULLNULLNU", "NULL"}).data()));
}

TEST(MinispreadProto, AcceptReply)
{
    uint8_t out[64];
    size_t n = ms_put_accept(out, 50001, "#alice#localhost");
    EXPECT_EQ(std::string((char *)out, n), std::string("\x01\x05\x00\x01\x10#alice#localhost", 21));
    n = ms_put_accept(out, 31400, "#a#b");   // older than 3.15: no patch byte
    EXPECT_EQ(std::string((char *)out, n), std::string("\x01\x05\x00\x04#a#b", 8));
}

WireHeader client_header(uint32_t type, const char *sender, int32_t groups, uint32_t hint, int32_t len)
{
    WireHeader h{};
    h.type = type;
    wire_group_slot(h.sender, sender);
    h.num_groups = groups;
    h.hint_raw = hint;
    h.data_len = len;
    return h;
}

TEST(MinispreadProto, HeaderChecks)
{
    const uint32_t hint = 0x80000080;
    struct Case {
        const char *what;
        WireHeader h;
        MsHeaderFault fault;
    };
    const char *me = "#alice#localhost";
    const Case cases[] = {
        {"agreed", client_header(AGREED_MESS, me, 1, hint, 4), MS_HEADER_OK},
        {"every other bit passes", client_header(SAFE_MESS | SELF_DISCARD | REG_MEMB_MESS | DROP_RECV, me, 1, hint, 0),
         MS_HEADER_OK},
        {"join", client_header(WIRE_JOIN_MESS, me, 1, hint, 0), MS_HEADER_OK},
        {"kill", client_header(WIRE_KILL_MESS, me, 1, hint, 0), MS_HEADER_OK},
        {"no kind", client_header(SELF_DISCARD, me, 1, hint, 0), MS_BAD_KIND},
        {"two services", client_header(AGREED_MESS | SAFE_MESS, me, 1, hint, 0), MS_BAD_KIND},
        {"join and leave", client_header(WIRE_JOIN_MESS | WIRE_LEAVE_MESS, me, 1, hint, 0), MS_BAD_KIND},
        {"agreed join", client_header(AGREED_MESS | WIRE_JOIN_MESS, me, 1, hint, 0), MS_BAD_KIND},
        {"groups message", client_header(WIRE_GROUPS_MESS, me, 1, hint, 0), MS_BAD_KIND},
        {"someone else", client_header(AGREED_MESS, "#bob#localhost", 1, hint, 0), MS_BAD_SENDER},
        {"name prefix", client_header(AGREED_MESS, "#alic#localhost", 1, hint, 0), MS_BAD_SENDER},
        {"other daemon", client_header(AGREED_MESS, "#alice#otherhost", 1, hint, 0), MS_BAD_SENDER},
        {"no daemon", client_header(AGREED_MESS, "#alice#", 1, hint, 0), MS_BAD_SENDER},
        {"no hashes", client_header(AGREED_MESS, "alice", 1, hint, 0), MS_BAD_SENDER},
        {"empty", client_header(AGREED_MESS, "", 1, hint, 0), MS_BAD_SENDER},
        {"100 groups", client_header(AGREED_MESS, me, 100, hint, 0), MS_HEADER_OK},
        {"101 groups", client_header(AGREED_MESS, me, 101, hint, 0), MS_BAD_GROUP_COUNT},
        {"negative groups", client_header(AGREED_MESS, me, -1, hint, 0), MS_BAD_GROUP_COUNT},
        {"mess_type -2", client_header(AGREED_MESS, me, 1, 0x80fffe80, 0), MS_HEADER_OK},
        {"big-endian hint", client_header(AGREED_MESS, me, 1, 0x00020100, 0), MS_HEADER_OK},
        {"hint garbage", client_header(AGREED_MESS, me, 1, 0x80000081, 0), MS_BAD_HINT},
        {"hint high byte", client_header(AGREED_MESS, me, 1, 0x81000080, 0), MS_BAD_HINT},
        {"largest to one group", client_header(AGREED_MESS, me, 1, hint, 143920), MS_HEADER_OK},
        {"one byte more", client_header(AGREED_MESS, me, 1, hint, 143921), MS_BAD_LENGTH},
        {"largest to no group", client_header(AGREED_MESS, me, 0, hint, 143952), MS_HEADER_OK},
        {"over 144000", client_header(AGREED_MESS, me, 0, hint, 144001), MS_BAD_LENGTH},
        {"huge", client_header(AGREED_MESS, me, 0, hint, 0x7fffffff), MS_BAD_LENGTH},
        {"negative length", client_header(AGREED_MESS, me, 0, hint, -1), MS_BAD_LENGTH},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(ms_check_header(&c.h, "alice", "localhost"), c.fault);
    }

    // Only the first 31 bytes of the sender count: byte 31 is ignored.
    WireHeader h = client_header(AGREED_MESS, "#abcdefghij#nineteen-characters", 0, hint, 0);
    h.sender[31] = 'X';
    EXPECT_EQ(ms_check_header(&h, "abcdefghij", "nineteen-characters"), MS_HEADER_OK);
}

TEST(MinispreadProto, HeaderRoundTrip)
{
    uint8_t out[WIRE_HEADER_SIZE];
    ms_put_header(out, AGREED_MESS | SELF_DISCARD, "#alice#localhost", 2, 0x00020100, 7);
    WireHeader h;
    ASSERT_EQ(wire_header_decode(out, out + sizeof out, &h), 0);
    EXPECT_EQ(h.type, AGREED_MESS | SELF_DISCARD);
    EXPECT_STREQ(h.sender, "#alice#localhost");
    EXPECT_EQ(h.num_groups, 2);
    EXPECT_EQ(h.hint_raw, 0x00020100u);   // forwarded hints keep their bytes
    EXPECT_EQ(h.data_len, 7);
    if (wire_host_little_endian()) {
        EXPECT_EQ(std::string((char *)out, 4), std::string("\xd0\x00\x00\x80", 4));
    }
}

}  // namespace
