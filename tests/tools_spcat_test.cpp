// spcat as a process against minispread: lines in, messages out, messages
// in, bytes out, and its errors.
#include <gtest/gtest.h>

#include "support/tools.h"

using namespace tools_test;

namespace {

// Runs spcat with `input` on standard input to its end.
void run_spcat(Process &p, const std::vector<std::string> &args, const std::string &input)
{
    std::vector<std::string> argv = {bin("spcat")};
    argv.insert(argv.end(), args.begin(), args.end());
    ASSERT_TRUE(p.start(argv, true));
    p.send(input);
    p.close_stdin();
    ASSERT_TRUE(p.wait());
}

TEST(Spcat, SendsOneMessagePerLineWithEveryService)
{
    Minispread d;
    ASSERT_TRUE(d.start());
    std::string pr;
    mailbox r = connect_as(d.unix_name(), "r", false, &pr);
    ASSERT_EQ(SP_join(r, "lines"), 0);
    ASSERT_TRUE(settle(r, pr));

    struct Case {
        const char *option;
        service svc;
    };
    const Case cases[] = {{nullptr, AGREED_MESS},        {"unreliable", UNRELIABLE_MESS}, {"reliable", RELIABLE_MESS},
                          {"fifo", FIFO_MESS},           {"causal", CAUSAL_MESS},         {"agreed", AGREED_MESS},
                          {"safe", SAFE_MESS}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.option ? c.option : "default");
        std::vector<std::string> args = {"-s", d.tcp_name(), "-n", "cat", "-g", "lines"};
        if (c.option)
            args.insert(args.begin(), {"-t", c.option});
        Process p;
        run_spcat(p, args, "first line\n\n  third\tline \r\nno newline");
        EXPECT_EQ(p.exit_code(), 0);
        EXPECT_EQ(p.err(), "");
        for (const char *line : {"first line\n", "\n", "  third\tline \r\n", "no newline"}) {
            Received m = receive(r);
            EXPECT_EQ(m.body, line);
            EXPECT_EQ(m.svc, c.svc);
            EXPECT_EQ(m.sender, "#cat#localhost");
            EXPECT_EQ(m.groups, std::vector<std::string>{"lines"});
        }
    }
    // No input, no messages.
    Process p;
    run_spcat(p, {"-s", d.unix_name(), "-g", "lines"}, "");
    EXPECT_EQ(p.exit_code(), 0);
    EXPECT_EQ(receive(r, 300).ret, TIMED_OUT);
    SP_disconnect(r);
}

TEST(Spcat, SeveralGroupsAndLongLines)
{
    Minispread d;
    ASSERT_TRUE(d.start());
    std::string pa, pb;
    mailbox a = connect_as(d.unix_name(), "a", false, &pa);
    mailbox b = connect_as(d.unix_name(), "b", false, &pb);
    ASSERT_EQ(SP_join(a, "ga"), 0);
    ASSERT_EQ(SP_join(b, "ga"), 0);
    ASSERT_EQ(SP_join(b, "gb"), 0);
    ASSERT_TRUE(settle(a, pa));
    ASSERT_TRUE(settle(b, pb));

    // One multicast per line to both groups: b, in both, gets one copy.
    Process p;
    run_spcat(p, {"-s", d.unix_name(), "-g", "ga", "gb"}, "x\ny\n");
    EXPECT_EQ(p.exit_code(), 0);
    for (mailbox m : {a, b})
        for (const char *line : {"x\n", "y\n"}) {
            Received r = receive(m);
            EXPECT_EQ(r.body, line);
            EXPECT_EQ(r.groups, (std::vector<std::string>{"ga", "gb"}));
        }
    EXPECT_EQ(receive(b, 300).ret, TIMED_OUT);

    // A line longer than the largest message (143120 bytes to one group)
    // goes out in pieces; nothing is lost.
    std::string longline(300000, 'L');
    longline += "\n";
    Process q;
    run_spcat(q, {"-s", d.unix_name(), "-g", "ga"}, "short\n" + longline + "end\n");
    EXPECT_EQ(q.exit_code(), 0);
    EXPECT_EQ(receive(a).body, "short\n");
    std::string joined;
    std::vector<size_t> sizes;
    Received r;
    while ((r = receive(a)).ret > 0 && r.body != "end\n") {
        sizes.push_back(r.body.size());
        joined += r.body;
    }
    EXPECT_EQ(r.body, "end\n");
    EXPECT_TRUE(joined == longline);
    EXPECT_EQ(sizes, (std::vector<size_t>{143120, 143120, 300001 - 2 * 143120}));
    SP_disconnect(a);
    SP_disconnect(b);
}

TEST(Spcat, ReceivesRegularMessagesOnly)
{
    Minispread d;
    ASSERT_TRUE(d.start());
    std::string pw;
    mailbox w = connect_as(d.unix_name(), "w", true, &pw);
    ASSERT_EQ(SP_join(w, "in1"), 0);
    ASSERT_EQ(SP_join(w, "in2"), 0);
    ASSERT_TRUE(settle(w, pw));

    Process cat;
    ASSERT_TRUE(cat.start({bin("spcat"), "-r", "-s", d.tcp_name(), "-n", "catr", "-g", "in1", "-g", "in2"}));
    // Wait until spcat is in both groups.
    int joined = 0;
    while (joined < 2) {
        Received m = receive(w);
        ASSERT_EQ(m.svc, REG_MEMB_MESS | CAUSED_BY_JOIN);
        membership_info info;
        ASSERT_EQ(SP_get_memb_info(m.body.data(), m.svc, &info), 1);
        if (std::string(info.changed_member) == "#catr#localhost")
            joined++;
    }
    const char both[][MAX_GROUP_NAME] = {"in1", "in2"};
    ASSERT_EQ(SP_multicast(w, AGREED_MESS, "in1", 0, 6, "alpha\n"), 6);
    ASSERT_EQ(SP_multicast(w, SAFE_MESS, "in2", 3, 5, "beta "), 5);
    ASSERT_EQ(SP_multigroup_multicast(w, FIFO_MESS, 2, both, 0, 5, "once\n"), 5);
    ASSERT_EQ(SP_multicast(w, AGREED_MESS, "#catr#localhost", 0, 4, "priv"), 4);
    ASSERT_EQ(SP_multicast(w, AGREED_MESS, "other", 0, 4, "none"), 4);
    std::string binary("\0\xff\n", 3);
    ASSERT_EQ(SP_multicast(w, AGREED_MESS, "in1", 0, 3, binary.data()), 3);
    // Membership changes in its groups produce no output.
    ASSERT_EQ(SP_leave(w, "in1"), 0);

    // A last message after all of these: once it is out, so is everything
    // that came before it, and nothing else was written.
    ASSERT_EQ(SP_multicast(w, AGREED_MESS, "in2", 0, 5, "last\n"), 5);
    const std::string expected = "alpha\nbeta once\npriv" + binary + "last\n";
    EXPECT_TRUE(wait_until([&] { return cat.out().size() >= expected.size(); }));
    EXPECT_EQ(cat.out(), expected);
    EXPECT_TRUE(cat.running());

    // Losing the daemon ends it with an error.
    d.stop();
    ASSERT_TRUE(cat.wait());
    EXPECT_EQ(cat.exit_code(), 1);
    EXPECT_EQ(cat.err(), "spcat: lost Spread daemon \"" + d.tcp_name() + "\": Connection closed by Spread.\n");
    SP_disconnect(w);
}

TEST(Spcat, Errors)
{
    Minispread d;
    ASSERT_TRUE(d.start());
    const std::string absent = std::to_string(free_port());
    const std::string usage =
        "usage: spcat [-s DAEMON] [-n NAME] [-t SERVICE] -g GROUP [-g GROUP]...\n"
        "       spcat -r [-s DAEMON] [-n NAME] -g GROUP [-g GROUP]...\n"
        "  DAEMON   PORT or PORT@HOST (default 4803)\n"
        "  SERVICE  unreliable, reliable, fifo, causal, agreed (default) or safe\n";
    const std::string legal = " (1 to 31 characters from '$' to '~')\n";
    mailbox taken = connect_as(d.unix_name(), "taken");
    ASSERT_GE(taken, 0);
    std::vector<std::string> many_groups;
    for (int i = 0; i < 101; i++)
        many_groups.insert(many_groups.end(), {"-g", "g" + std::to_string(i)});

    struct Case {
        std::vector<std::string> args;
        std::string err;
    };
    const Case cases[] = {
        {{"-s", absent, "-g", "g"}, "spcat: cannot connect to Spread daemon \"" + absent + "\": Could not connect.\n"},
        {{"-r", "-s", absent + "@127.0.0.1", "-g", "g"},
         "spcat: cannot connect to Spread daemon \"" + absent + "@127.0.0.1\": Could not connect.\n"},
        {{"-s", "abc", "-g", "g"}, "spcat: cannot connect to Spread daemon \"abc\": Illegal spread name provided.\n"},
        {{"-s", d.unix_name(), "-n", "taken", "-g", "g"},
         "spcat: cannot connect to Spread daemon \"" + d.unix_name() + "\": Connection rejected, name not unique.\n"},
        {{"-s", d.unix_name(), "-n", "a b", "-g", "g"},
         "spcat: cannot connect to Spread daemon \"" + d.unix_name() + "\": Connection rejected, illegal name.\n"},
        {{"-s", d.unix_name(), "-g", "a b"}, "spcat: illegal group name \"a b\"" + legal},
        {{"-r", "-s", d.unix_name(), "-g", "ok", "-g", "#priv"}, "spcat: illegal group name \"#priv\"" + legal},
        {{"-s", d.unix_name(), "-g", std::string(32, 'g')},
         "spcat: illegal group name \"" + std::string(32, 'g') + "\"" + legal},
        {{"-s", d.unix_name(), "-g", ""}, "spcat: illegal group name \"\"" + legal},
        {many_groups, "spcat: too many groups (at most 100)\n"},
        {{"-t", "urgent", "-g", "g"}, "spcat: unknown service \"urgent\"\n"},
        {{"-s", d.unix_name()}, usage},
        {{"-q", "-g", "g"}, usage},
        {{"-g"}, usage},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.err);
        Process p;
        run_spcat(p, c.args, "never sent\n");
        EXPECT_EQ(p.exit_code(), 1);
        EXPECT_EQ(p.err(), c.err);
        EXPECT_EQ(p.out(), "");
    }
    EXPECT_EQ(receive(taken, 300).ret, TIMED_OUT);
    SP_disconnect(taken);
}

}  // namespace
