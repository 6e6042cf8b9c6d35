// Whole sessions of the client library against the scripted fake daemon
// (tests/support/fake_spread.h), whose side of each connection is played by
// a thread or by the test itself on the accepted socket: the handshake,
// what the library sends, receiving, membership, hostile bytes, losses.
// Read-ahead is in spread_readahead_test.cpp.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
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

using namespace spread_test;

TEST_F(SpreadSession, HandshakeBytes)
{
    struct Case {
        const char *name;
        int priority, membership;
        bool tcp;
        const char *connect_hex;
        const char *pg;
    } cases[] = {
        {"alice", 0, 1, false, "0500010105616c696365", "#alice#localhost"},
        {"alice", 0, 1, true, "0500010105616c696365", "#alice#localhost"},
        {"bob", 1, 0, false, "0500011003626f62", "#bob#localhost"},
        {"bob", 2, 7, true, "0500011103626f62", "#bob#localhost"},
        {"abcdefghijklmnop", 0, 0, false, "050001000a6162636465666768696a", "#abcdefghij#localhost"},
        {nullptr, 0, 1, false, "0500010100", "#r1-2#localhost"},
    };
    for (const Case &c : cases) {
        Live l;
        open_live(&l, daemon, c.name, c.priority, c.membership, c.tcp);
        SCOPED_TRACE(c.connect_hex);
        EXPECT_EQ(l.result, ACCEPT_SESSION);
        // The connect message arrived whole in one read.
        EXPECT_EQ(to_hex(l.hs.connect_msg), c.connect_hex);
        EXPECT_EQ(l.hs.auth_reply, std::string("NULL") + std::string(86, '\0'));
        if (c.name && strlen(c.name) > 10)
            continue;  // the fake daemon answers with the uncut name; the cut is checked above
        EXPECT_STREQ(l.pg, c.pg);
        EXPECT_GE(l.mbox, 0);
        EXPECT_EQ(SP_poll(l.mbox), 0);
    }
}

TEST_F(SpreadSession, HandshakeRefusals)
{
    struct Case {
        const char *what;
        std::string after_connect;  // the daemon's answer to the connect message
        std::string after_auth;     // its answer to the authentication reply
        int priority;
        int result;
    } cases[] = {
        {"illegal name", "\xfb", "", 0, REJECT_ILLEGAL_NAME},
        {"not unique", "\xfa", "", 0, REJECT_NOT_UNIQUE},
        {"version", "\xf9", "", 0, REJECT_VERSION},
        {"quota", "\xfd", "", 0, REJECT_QUOTA},
        {"closed at once", "", "", 0, CONNECTION_CLOSED},
        {"auth list too long", "\x5b", "", 0, CONNECTION_CLOSED},
        {"no NULL method", "\x06PWORD ", "", 0, REJECT_AUTH},
        {"NULLX is not NULL", "\x06NULLX ", "", 0, REJECT_AUTH},
        {"auth denied", std::string("\x05NULL ", 6), "\xf7", 0, REJECT_AUTH},
        {"closed after auth", std::string("\x05NULL ", 6), "", 0, CONNECTION_CLOSED},
        {"name of 32", std::string("\x05NULL ", 6), std::string("\x01\x05\x00\x01\x20", 5) + std::string(32, 'n'), 0,
         CONNECTION_CLOSED},
        {"negative version", std::string("\x05NULL ", 6), std::string("\x01\xff\x00\x01\x03#a#", 8), 0,
         CONNECTION_CLOSED},
        {"daemon 2.x", std::string("\x05NULL ", 6), std::string("\x01\x02\x09\x00\x03#a#", 8), 0, REJECT_VERSION},
        {"3.7 with priority", std::string("\x05NULL ", 6), std::string("\x01\x03\x07\x00\x03#a#", 8), 1,
         REJECT_VERSION},
        {"3.7 without priority", std::string("\x05NULL ", 6), std::string("\x01\x03\x07\x00\x03#a#", 8), 0,
         ACCEPT_SESSION},
        {"two methods", "\x0bPWORD NULL ", std::string("\x01\x05\x00\x01\x03#a#", 8), 0, ACCEPT_SESSION},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        std::string sent_after_refusal;
        std::jthread t([&] {
            int fd = daemon.accept_one(false);
            char buf[100];
            (void)!recv(fd, buf, sizeof buf, 0);
            send_bytes(fd, c.after_connect);
            bool list_sent = !c.after_connect.empty() && (signed char)c.after_connect[0] >= 0 &&
                             (signed char)c.after_connect[0] <= 90;
            // A client that refuses the methods must not send its reply.
            bool client_refuses = c.result == REJECT_AUTH && c.after_auth.empty();
            std::string reply;
            if (list_sent && !client_refuses && recv_bytes(fd, 90, &reply))
                send_bytes(fd, c.after_auth);
            if (c.result != ACCEPT_SESSION) {
                // The daemon hangs up; the client sends nothing more and closes.
                shutdown(fd, SHUT_WR);
                sent_after_refusal = read_to_eof(fd);
            }
            close(fd);
        });
        mailbox m = -7;
        char pg[MAX_GROUP_NAME] = "unchanged";
        int r = SP_connect(daemon.name(false).c_str(), "alice", c.priority, 1, &m, pg);
        t.join();
        EXPECT_EQ(r, c.result);
        EXPECT_EQ(sent_after_refusal, "");
        if (r == ACCEPT_SESSION) {
            EXPECT_STREQ(pg, "#a#");
            SP_kill(m);
        } else {
            EXPECT_EQ(m, -7);
            EXPECT_STREQ(pg, "unchanged");
        }
    }
}

TEST_F(SpreadSession, AcceptFieldsArriveSeparately)
{
    std::jthread t([&] {
        int fd = daemon.accept_one(true);
        char buf[100];
        (void)!recv(fd, buf, sizeof buf, 0);
        send_bytes(fd, std::string("\x05NULL ", 6));
        std::string reply;
        recv_bytes(fd, 90, &reply);
        for (char c : accept_reply("#alice#localhost")) {
            send_bytes(fd, std::string(1, c));
            usleep(2000);
        }
        read_to_eof(fd);
        close(fd);
    });
    mailbox m;
    char pg[MAX_GROUP_NAME];
    EXPECT_EQ(SP_connect(daemon.name(true).c_str(), "alice", 0, 1, &m, pg), ACCEPT_SESSION);
    EXPECT_STREQ(pg, "#alice#localhost");
    EXPECT_EQ(SP_disconnect(m), 0);
    t.join();
}

TEST_F(SpreadSession, ConnectDeadline)
{
    std::atomic<bool> done{false};
    std::jthread t([&] {
        int fd = daemon.accept_one(false);
        while (!done)
            usleep(1000);  // silent: never answers
        close(fd);
    });
    mailbox m = -7;
    char pg[MAX_GROUP_NAME];
    EXPECT_EQ(SP_connect_timeout(daemon.name(false).c_str(), "alice", 0, 1, &m, pg, sp_time{0, 200000}),
              COULD_NOT_CONNECT);
    EXPECT_EQ(m, -7);
    done = true;
    t.join();
}

// The same bytes go out with and without read-ahead: the reader thread
// reads the socket while the application sends on it.
TEST_F(SpreadSession, WhatTheLibrarySends)
{
    for (bool read_ahead : {false, true}) {
        SCOPED_TRACE(read_ahead ? "read-ahead" : "default");
        Live l;
        open_live(&l, daemon, "cap");
        ASSERT_EQ(l.result, ACCEPT_SESSION);
        if (read_ahead) {
            ASSERT_EQ(SP_read_ahead(l.mbox, 1), 0);
        }
        ASSERT_TRUE(send_bytes(l.srv, numbered(1, 20)));
        const char gl[2][MAX_GROUP_NAME] = {"g1", "g2"};
        EXPECT_EQ(SP_join(l.mbox, "grp"), 0);
        EXPECT_EQ(SP_multicast(l.mbox, AGREED_MESS | SELF_DISCARD, "grp", -2, 2, "hi"), 2);
        EXPECT_EQ(SP_multigroup_multicast(l.mbox, FIFO_MESS, 2, gl, 0x1234, 0, ""), 0);
        EXPECT_EQ(SP_multicast(l.mbox, SAFE_MESS, "0123456789012345678901234567890123456789", 7, 0, ""), 0);
        EXPECT_EQ(SP_leave(l.mbox, "grp"), 0);
        EXPECT_EQ(receive(l.mbox).body, "1" + std::string(19, '.'));
        EXPECT_EQ(SP_disconnect(l.mbox), 0);
        l.mbox = -1;
        const std::string me = "23636170236c6f63616c686f7374" + std::string(36, '0');  // "#cap#localhost" slot
        const std::string grp = "677270" + std::string(58, '0');
        EXPECT_EQ(to_hex(read_to_eof(l.srv)),
                  "80000180" + me + "01000000" + "80000080" + "00000000" + grp +
                  "d0000080" + me + "01000000" + "80feff80" + "02000000" + grp + "6869" +
                  "84000080" + me + "02000000" + "80341280" + "00000000" + "6731" + std::string(60, '0') + "6732" +
                  std::string(60, '0') +
                  "a0000080" + me + "01000000" + "80070080" + "00000000" +
                  to_hex("0123456789012345678901234567890") + "00" +
                  "80000280" + me + "01000000" + "80000080" + "00000000" + grp +
                  "80000480" + me + "01000000" + "80000080" + "00000000" + me);
    }
}

TEST_F(SpreadSession, TooShortKeepsTheHeader)
{
    Live l;
    open_live(&l, daemon);
    ASSERT_EQ(l.result, ACCEPT_SESSION);
    Msg a;
    a.mess_type = 77;
    a.body = std::string(300, 'x');
    a.type = AGREED_MESS;
    Msg b = a;
    b.groups = {"g1", "g2", "g3"};
    b.mess_type = -5;
    Msg c;
    c.body = "after";
    ASSERT_TRUE(send_bytes(l.srv, build(a) + build(b) + build(c)));

    // Body too long: the header is kept, nothing else is taken.
    for (int round = 0; round < 2; round++) {
        Got g = receive(l.mbox, 1, 100);
        EXPECT_EQ(g.ret, BUFFER_TOO_SHORT);
        EXPECT_EQ(g.endian, -300);
        EXPECT_EQ(g.num_groups, 0);
        EXPECT_EQ(g.mess_type, 77);
        EXPECT_EQ(g.type, AGREED_MESS);
        EXPECT_EQ(g.sender, "#bob#localhost");
    }
    Got g = receive(l.mbox, 1, 300);
    EXPECT_EQ(g.ret, 300);
    EXPECT_EQ(g.body, a.body);
    EXPECT_EQ(g.groups, std::vector<std::string>{"grp"});
    EXPECT_EQ(g.mess_type, 77);

    // Groups and body too short: the groups win.
    g = receive(l.mbox, 1, 100);
    EXPECT_EQ(g.ret, GROUPS_TOO_SHORT);
    EXPECT_EQ(g.num_groups, -3);
    EXPECT_EQ(g.endian, -300);
    EXPECT_EQ(g.mess_type, -5);
    g = receive(l.mbox, 3, 100);
    EXPECT_EQ(g.ret, BUFFER_TOO_SHORT);
    EXPECT_EQ(g.num_groups, 0);
    g = receive(l.mbox, 3, 1000);
    EXPECT_EQ(g.ret, 300);
    EXPECT_EQ(g.groups, (std::vector<std::string>{"g1", "g2", "g3"}));
    EXPECT_EQ(receive(l.mbox).body, "after");
}

TEST_F(SpreadSession, DropReceiveCutsAndMovesOn)
{
    Live l;
    open_live(&l, daemon);
    ASSERT_EQ(l.result, ACCEPT_SESSION);
    Msg body_long;
    body_long.body = std::string(300, 'b');
    body_long.mess_type = 9;
    Msg groups_long;
    groups_long.groups = {"g1", "g2", "g3"};
    groups_long.body = "short";
    Msg memb;  // a membership message whose group list does not fit
    memb.type = REG_MEMB_MESS | CAUSED_BY_JOIN;
    memb.sender = "grp";
    memb.groups = {"#alice#localhost", "#bob#localhost", "#carol#localhost"};
    memb.body = std::string(56, 'm');
    Msg both = groups_long;
    both.body = std::string(50, 'z');
    Msg last;
    last.body = "last";
    ASSERT_TRUE(send_bytes(l.srv, build(body_long) + build(groups_long) + build(memb) + build(both) + build(last)));

    Got g = receive(l.mbox, DROP_RECV, 1, 100);
    EXPECT_EQ(g.ret, BUFFER_TOO_SHORT);
    EXPECT_EQ(g.body, std::string(100, 'b'));
    EXPECT_EQ(g.type, AGREED_MESS);
    EXPECT_EQ(g.num_groups, 1);
    EXPECT_EQ(g.mess_type, 9);
    EXPECT_EQ(g.endian, 0);
    EXPECT_EQ(g.groups, std::vector<std::string>{"grp"});

    g = receive(l.mbox, DROP_RECV, 1, 100);
    EXPECT_EQ(g.ret, 5);  // success, with a negative group count
    EXPECT_EQ(g.num_groups, -3);
    EXPECT_EQ(g.groups, std::vector<std::string>{"g1"});
    EXPECT_EQ(g.body, "short");

    g = receive(l.mbox, DROP_RECV, 1, 100);
    EXPECT_EQ(g.ret, 56);
    EXPECT_EQ(g.num_groups, -3);
    EXPECT_EQ(g.mess_type, -1);
    EXPECT_EQ(g.type, REG_MEMB_MESS | CAUSED_BY_JOIN);
    EXPECT_EQ(g.sender, "grp");

    g = receive(l.mbox, DROP_RECV, 2, 10);
    EXPECT_EQ(g.ret, BUFFER_TOO_SHORT);
    EXPECT_EQ(g.num_groups, -3);
    EXPECT_EQ(g.body, std::string(10, 'z'));

    EXPECT_EQ(receive(l.mbox, DROP_RECV, 1, 100).body, "last");
}

TEST_F(SpreadSession, MembershipMessages)
{
    Live l;
    open_live(&l, daemon);
    ASSERT_EQ(l.result, ACCEPT_SESSION);
    unsigned char body[WIRE_MEMB_BODY_SIZE];
    int32 gid[3] = {482711334, 1700000000, 4};
    wire_memb_body_encode(body, gid, "#bob#localhost");
    Msg join;
    join.type = REG_MEMB_MESS | CAUSED_BY_JOIN;
    join.sender = "grp";
    join.groups = {"#alice#localhost", "#bob#localhost"};
    join.body.assign((const char *)body, sizeof body);
    Msg other = join;  // a list without this session
    other.groups = {"#bob#localhost"};
    Msg self_leave;
    self_leave.type = CAUSED_BY_LEAVE;
    self_leave.sender = "grp";
    self_leave.groups = {};
    Msg transition;
    transition.type = TRANSITION_MESS;
    transition.sender = "grp";
    transition.groups = {};
    transition.body = std::string("\x01\x00\x00\x00\x02\x00\x00\x00\x03\x00\x00\x00", 12);
    ASSERT_TRUE(send_bytes(l.srv, build(join) + build(other) + build(self_leave) + build(transition)));

    Got g = receive(l.mbox);
    EXPECT_EQ(g.ret, 56);
    EXPECT_EQ(g.type, REG_MEMB_MESS | CAUSED_BY_JOIN);
    EXPECT_TRUE(Is_membership_mess(g.type));
    EXPECT_EQ(g.mess_type, 0);  // this session's index in the list
    EXPECT_EQ(g.sender, "grp");

    g = receive(l.mbox);
    EXPECT_EQ(g.mess_type, -1);

    g = receive(l.mbox);
    EXPECT_EQ(g.ret, 0);
    EXPECT_EQ(g.type, CAUSED_BY_LEAVE);
    EXPECT_TRUE(Is_self_leave(g.type));
    EXPECT_EQ(g.mess_type, -1);
    EXPECT_EQ(g.num_groups, 0);

    g = receive(l.mbox);
    EXPECT_EQ(g.ret, 12);
    EXPECT_EQ(g.type, TRANSITION_MESS);
    EXPECT_EQ(g.mess_type, -1);
    EXPECT_EQ(g.body, transition.body);
}

TEST_F(SpreadSession, ByteOrders)
{
    Live l;
    open_live(&l, daemon);
    ASSERT_EQ(l.result, ACCEPT_SESSION);
    // A big-endian daemon announcing a join: header and body in its order.
    std::string be_body;
    put32(be_body, 482711334, true);
    put32(be_body, 1700000000, true);
    put32(be_body, 3, true);
    put32(be_body, 1, true);
    put32(be_body, 0, true);
    put32(be_body, 1, true);
    be_body += slot("#bob#localhost");
    Msg join;
    join.type = REG_MEMB_MESS | CAUSED_BY_JOIN;
    join.sender = "grp";
    join.groups = {"#alice#localhost", "#bob#localhost"};
    join.body = be_body;
    join.big_endian = true;
    // Data from a big-endian sender through a little-endian daemon, and the
    // reverse.
    Msg be_sender;
    be_sender.type = SAFE_MESS;
    be_sender.mess_type = 0x0102;
    be_sender.hint_big_endian = true;
    be_sender.body = "\x01\x02\x03\x04";
    Msg be_daemon = be_sender;
    be_daemon.big_endian = true;
    be_daemon.hint_big_endian = false;
    be_daemon.mess_type = -3;
    ASSERT_TRUE(send_bytes(l.srv, build(join) + build(be_sender) + build(be_daemon)));

    char sender[MAX_GROUP_NAME], groups[4][MAX_GROUP_NAME], mess[200];
    service st = 0;
    int ng, em;
    int16 mt;
    int r = SP_receive(l.mbox, &st, sender, 4, &ng, groups, &mt, &em, sizeof mess, mess);
    ASSERT_EQ(r, 56);
    EXPECT_EQ(st, REG_MEMB_MESS | CAUSED_BY_JOIN);
    EXPECT_EQ(ng, 2);
    EXPECT_EQ(mt, 0);
    EXPECT_EQ(em, 0);
    membership_info mi;
    ASSERT_EQ(SP_get_memb_info(mess, st, &mi), 1);
    EXPECT_EQ(mi.gid.id[0], 482711334);
    EXPECT_EQ(mi.gid.id[1], 1700000000);
    EXPECT_EQ(mi.gid.id[2], 3);
    EXPECT_EQ(mi.num_vs_sets, 1u);
    EXPECT_EQ(mi.my_vs_set.num_members, 1u);
    EXPECT_EQ(mi.my_vs_set.members_offset, 24u);
    EXPECT_STREQ(mi.changed_member, "#bob#localhost");

    Got g = receive(l.mbox);
    EXPECT_EQ(g.ret, 4);
    EXPECT_EQ(g.type, SAFE_MESS);
    EXPECT_EQ(g.mess_type, 258);
    EXPECT_EQ(g.endian, 1);
    EXPECT_EQ(g.body, "\x01\x02\x03\x04");
    g = receive(l.mbox);
    EXPECT_EQ(g.ret, 4);
    EXPECT_EQ(g.type, SAFE_MESS);
    EXPECT_EQ(g.mess_type, -3);
    EXPECT_EQ(g.endian, 0);
}

TEST_F(SpreadSession, HostileMembershipBodyIsRefused)
{
    Live l;
    open_live(&l, daemon);
    ASSERT_EQ(l.result, ACCEPT_SESSION);
    unsigned char body[WIRE_MEMB_BODY_SIZE];
    int32 gid[3] = {1, 2, 3};
    wire_memb_body_encode(body, gid, "#bob#localhost");
    wire_store_u32(body + 16, 0x7ffffff0);  // the local vs-set far outside the body
    Msg join;
    join.type = REG_MEMB_MESS | CAUSED_BY_JOIN;
    join.groups = {"#alice#localhost"};
    join.body.assign((const char *)body, sizeof body);
    ASSERT_TRUE(send_bytes(l.srv, build(join)));
    char sender[MAX_GROUP_NAME], groups[1][MAX_GROUP_NAME], mess[100];
    service st = 0;
    int ng, em;
    int16 mt;
    ASSERT_EQ(SP_receive(l.mbox, &st, sender, 1, &ng, groups, &mt, &em, sizeof mess, mess), 56);
    membership_info mi;
    EXPECT_EQ(SP_get_memb_info(mess, st, &mi), ILLEGAL_MESSAGE);
}

TEST_F(SpreadSession, RejectMessage)
{
    Live l;
    open_live(&l, daemon);
    ASSERT_EQ(l.result, ACCEPT_SESSION);
    Msg rej;
    rej.type = REJECT_MESS | SELF_DISCARD;
    rej.old_type = AGREED_MESS | SELF_DISCARD;
    rej.sender = "#alice#localhost";
    rej.groups = {"grp", "#alice#localhost"};
    rej.mess_type = 12;
    rej.body = "refused";
    Msg next;
    next.body = "next";
    ASSERT_TRUE(send_bytes(l.srv, build(rej) + build(next)));
    Got g = receive(l.mbox);
    EXPECT_EQ(g.ret, 7);
    EXPECT_EQ(g.type, REJECT_MESS | AGREED_MESS | SELF_DISCARD);
    EXPECT_FALSE(Is_regular_mess(g.type));
    EXPECT_FALSE(Is_membership_mess(g.type));
    EXPECT_EQ(g.mess_type, 12);
    EXPECT_EQ(g.groups, (std::vector<std::string>{"grp", "#alice#localhost"}));
    EXPECT_EQ(g.body, "refused");
    EXPECT_EQ(receive(l.mbox).body, "next");
}

TEST_F(SpreadSession, HostileCounts)
{
    struct Case {
        const char *what;
        int32_t num_groups, data_len;
        service in;
        int ret, num_groups_out, endian_out;
    } cases[] = {
        {"negative groups", -1, 0, 0, ILLEGAL_MESSAGE, 0, 0},
        {"negative length", 0, INT_MIN, DROP_RECV, ILLEGAL_MESSAGE, 0, 0},
        {"huge groups", INT_MAX, 0, 0, GROUPS_TOO_SHORT, -INT_MAX, 0},
        {"huge length", 1, INT_MAX, 0, BUFFER_TOO_SHORT, 0, -INT_MAX},
        {"huge both, dropping", INT_MAX, INT_MAX, DROP_RECV, CONNECTION_CLOSED, 0, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Live l;
        open_live(&l, daemon);
        ASSERT_EQ(l.result, ACCEPT_SESSION);
        Msg m;
        m.num_groups = c.num_groups;
        m.data_len = c.data_len;
        m.groups = {};
        // The daemon sends the header and a little more, then goes away.
        ASSERT_TRUE(send_bytes(l.srv, build(m) + std::string(100, 'q')));
        shutdown(l.srv, SHUT_WR);
        Got g = receive(l.mbox, c.in, 1, 64);
        EXPECT_EQ(g.ret, c.ret);
        if (c.ret == GROUPS_TOO_SHORT || c.ret == BUFFER_TOO_SHORT) {
            EXPECT_EQ(g.num_groups, c.num_groups_out);
            EXPECT_EQ(g.endian, c.endian_out);
        }
        // A stream that lost its framing is closed: the daemon sees the end,
        // and the session reports the loss as usual.
        if (c.ret == ILLEGAL_MESSAGE) {
            EXPECT_EQ(read_to_eof(l.srv), "");
            struct pollfd p = {l.mbox, POLLIN, 0};
            EXPECT_EQ(poll(&p, 1, 0), 1) << "the descriptor shows the loss";
            EXPECT_EQ(SP_poll(l.mbox), 0);
            EXPECT_EQ(receive(l.mbox).ret, CONNECTION_CLOSED);
        }
        if (c.ret == ILLEGAL_MESSAGE || c.ret == CONNECTION_CLOSED) {
            EXPECT_EQ(receive(l.mbox).ret, NET_ERROR_ON_SESSION);
        }
    }
}

TEST_F(SpreadSession, ConnectionLoss)
{
    for (bool read_ahead : {false, true}) {
        SCOPED_TRACE(read_ahead ? "read-ahead" : "default");
        Live l;
        open_live(&l, daemon);
        ASSERT_EQ(l.result, ACCEPT_SESSION);
        if (read_ahead) {
            ASSERT_EQ(SP_read_ahead(l.mbox, 1), 0);
        }
        Msg m;
        m.body = "before the end";
        ASSERT_TRUE(send_bytes(l.srv, build(m)));
        close(l.srv);
        l.srv = -1;
        // What came before the loss is still delivered.
        EXPECT_EQ(receive(l.mbox).body, "before the end");
        EXPECT_EQ(receive(l.mbox).ret, CONNECTION_CLOSED);
        EXPECT_EQ(receive(l.mbox).ret, NET_ERROR_ON_SESSION);
        EXPECT_EQ(SP_multicast(l.mbox, AGREED_MESS, "grp", 0, 1, "x"), NET_ERROR_ON_SESSION);
        EXPECT_EQ(SP_join(l.mbox, "grp"), NET_ERROR_ON_SESSION);
        EXPECT_EQ(SP_leave(l.mbox, "grp"), NET_ERROR_ON_SESSION);
        EXPECT_EQ(SP_poll(l.mbox), NET_ERROR_ON_SESSION);
        EXPECT_EQ(SP_read_ahead(l.mbox, 1), NET_ERROR_ON_SESSION);
        EXPECT_EQ(SP_disconnect(l.mbox), 0);
        EXPECT_EQ(receive(l.mbox).ret, ILLEGAL_SESSION);
        EXPECT_EQ(SP_disconnect(l.mbox), ILLEGAL_SESSION);
        EXPECT_EQ(SP_read_ahead(l.mbox, 1), ILLEGAL_SESSION);
        l.mbox = -1;
    }
}

TEST_F(SpreadSession, TruncatedMessages)
{
    Msg m;
    m.type = REJECT_MESS;
    m.old_type = FIFO_MESS;
    m.groups = {"g1", "g2"};
    m.body = std::string(40, 'b');
    std::string bytes = build(m);  // header 48, old type 4, groups 64, body 40
    for (size_t cut : {1, 47, 48, 51, 52, 60, 115, 116, 117, 155}) {
        SCOPED_TRACE(cut);
        Live l;
        open_live(&l, daemon);
        ASSERT_EQ(l.result, ACCEPT_SESSION);
        ASSERT_TRUE(send_bytes(l.srv, bytes.substr(0, cut)));
        close(l.srv);
        l.srv = -1;
        EXPECT_EQ(receive(l.mbox, 10, 100).ret, CONNECTION_CLOSED);
        EXPECT_EQ(receive(l.mbox, 10, 100).ret, NET_ERROR_ON_SESSION);
        EXPECT_EQ(SP_disconnect(l.mbox), 0);
        l.mbox = -1;
    }
}

TEST_F(SpreadSession, SendFailureBreaksTheSession)
{
    Live l;
    open_live(&l, daemon, "alice", 0, 1, true);
    ASSERT_EQ(l.result, ACCEPT_SESSION);
    struct linger lg = {1, 0};
    setsockopt(l.srv, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
    close(l.srv);  // reset
    l.srv = -1;
    // Once the reset has reached the session's socket.
    ASSERT_TRUE(wkp_test::wait_until([&] {
        pollfd p{l.mbox, 0, 0};
        return poll(&p, 1, 0) == 1 && (p.revents & (POLLERR | POLLHUP));
    }));
    std::string big(100000, 'x');
    int r = 0;
    for (int i = 0; i < 10 && r >= 0; i++)
        r = SP_multicast(l.mbox, AGREED_MESS, "grp", 0, (int)big.size(), big.data());
    EXPECT_EQ(r, CONNECTION_CLOSED);
    EXPECT_EQ(SP_join(l.mbox, "grp"), NET_ERROR_ON_SESSION);
}
