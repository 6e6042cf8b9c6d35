// spcat as a process against minispread: lines in, messages out, messages
// in, bytes out, and its errors.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

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
        "usage: spcat [-s DAEMON] [-n NAME] [-t SERVICE] [-q BYTES] [-w SECONDS] -g GROUP [-g GROUP]...\n"
        "       spcat -f FILE [-f FILE]... -p POSITION_FILE [-P PREFIX] [-s DAEMON] [-n NAME] [-t SERVICE] -g GROUP...\n"
        "       spcat -r [-s DAEMON] [-n NAME] -g GROUP [-g GROUP]...\n"
        "  DAEMON   PORT or PORT@HOST (default 4803)\n"
        "  SERVICE  unreliable, reliable, fifo, causal, agreed (default) or safe\n"
        "  BYTES    lines kept while the daemon is away (default 67108864)\n"
        "  SECONDS  retrying after the end of input (default 10)\n"
        "  PREFIX   put with a space before each line of the -f files after it\n";
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
        // A sender waits for an absent daemon (here not at all after the
        // end of its input); a receiver does not.
        {{"-s", absent, "-w", "0", "-g", "g"},
         "spcat: cannot connect to Spread daemon \"" + absent + "\": Could not connect.; retrying\n"
         "spcat: 1 lines not sent: \"" + absent + "\" unreachable\n"},
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
        {{"-q", "0", "-g", "g"}, "spcat: illegal buffer bound \"0\" (1 byte or more)\n"},
        {{"-q", "64M", "-g", "g"}, "spcat: illegal buffer bound \"64M\" (1 byte or more)\n"},
        {{"-w", "-1", "-g", "g"}, "spcat: illegal wait \"-1\" (0 to 1000000 seconds)\n"},
        {{"-x", "-g", "g"}, usage},
        {{"-g"}, usage},
        // Following files.
        {{"-f", "/tmp/log", "-g", "g"}, "spcat: -f needs a position file (-p)\n"},
        {{"-p", "/tmp/pos", "-g", "g"}, "spcat: a position file (-p) is for -f\n"},
        {{"-f", "/tmp/log", "-f", "/tmp/log", "-p", "/tmp/pos", "-g", "g"}, "spcat: \"/tmp/log\" followed twice\n"},
        {{"-P", "a b", "-f", "/tmp/log", "-p", "/tmp/pos", "-g", "g"},
         "spcat: illegal prefix \"a b\" (one word of printable characters)\n"},
        {{"-r", "-f", "/tmp/log", "-p", "/tmp/pos", "-g", "g"}, usage},
        {{"-f", "", "-p", "/tmp/pos", "-g", "g"}, usage},
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

// Bytes written to p's standard input that it has not read yet.
int unread_input(const Process &p)
{
    int n = -1;
    return ioctl(p.stdin_fd, FIONREAD, &n) == 0 ? n : -1;
}

// The numbers of the lines r receives until its connection ends.
std::vector<int> lines_until_closed(mailbox r)
{
    std::vector<int> got;
    for (;;) {
        Received m = receive(r);
        if (m.ret < 0 || m.ret == TIMED_OUT)
            return got;
        if (Is_regular_mess(m.svc))
            got.push_back(line_number(m.body));
    }
}

// The numbers of every line d has for r (pg its private group) once spcat
// has ended: d has read everything its clients sent (nothing unread in its
// sockets), so a message r then sends itself comes after all of them.
std::vector<int> all_lines_for(Minispread &d, mailbox r, const std::string &pg)
{
    std::vector<int> got;
    EXPECT_TRUE(wait_until([&] { return unread_socket_bytes(d.proc.pid) == 0; }));
    EXPECT_EQ(SP_multicast(r, AGREED_MESS, pg.c_str(), 0, 4, "last"), 4);
    for (;;) {
        Received m = receive(r);
        if (m.ret < 0 || m.ret == TIMED_OUT || m.body == "last")
            return got;
        if (Is_regular_mess(m.svc))
            got.push_back(line_number(m.body));
    }
}

// Receives `count` lines numbered from `first`, in order, and nothing else.
void expect_lines(mailbox r, const std::string &pg, int first, int count, size_t size)
{
    for (int i = first; i < first + count; i++) {
        Received m = receive(r);
        ASSERT_EQ(m.body, numbered_line(i, size)) << "line " << i;
    }
    EXPECT_TRUE(nothing_else_for(r, pg));
}

// A member of `group` on d, settled.
mailbox member(const Minispread &d, const std::string &group, std::string *pg)
{
    mailbox r = connect_as(d.unix_name(), "r", false, pg);
    EXPECT_GE(r, 0);
    EXPECT_EQ(SP_join(r, group.c_str()), 0);
    EXPECT_TRUE(settle(r, *pg));
    return r;
}

std::string retrying(const std::string &daemon)
{
    return "spcat: cannot connect to Spread daemon \"" + daemon + "\": Could not connect.; retrying\n";
}

std::string reconnected(const std::string &daemon)
{
    return "spcat: reconnected to Spread daemon \"" + daemon + "\"\n";
}

// In these tests spcat is stopped (SIGSTOP) while its daemon starts and a
// member joins, so that what spcat sends once back finds the member there.

// The daemon is not there when spcat starts: spcat reads on (far more than
// a pipe holds, so its writer would block otherwise), keeps the lines, and
// sends every one, in order, once the daemon is up; the end of its input
// came while the daemon was still away.
TEST(Spcat, DaemonDownAtStartThenUp)
{
    const int port = free_port();
    const std::string daemon = std::to_string(port);
    Process cat;
    ASSERT_TRUE(cat.start({bin("spcat"), "-s", daemon, "-w", "60", "-g", "lines"}, true));
    ASSERT_TRUE(wait_until([&] { return cat.err() == retrying(daemon); })) << cat.err();

    const int count = 5000;
    std::string all;
    for (int i = 0; i < count; i++)
        all += numbered_line(i, 100);
    std::atomic<bool> written{false};
    std::thread feed([&] {
        cat.send(all);
        written = true;
    });
    bool read_on = wait_until([&] { return written.load() && unread_input(cat) == 0; });
    if (!read_on)
        cat.signal(SIGKILL);   // unblocks the feeding thread
    feed.join();
    ASSERT_TRUE(read_on) << "spcat stopped reading its input";

    cat.signal(SIGSTOP);
    Minispread d;
    ASSERT_TRUE(d.start({}, port));
    std::string pr;
    mailbox r = member(d, "lines", &pr);
    cat.close_stdin();
    cat.signal(SIGCONT);
    ASSERT_TRUE(cat.wait());
    EXPECT_EQ(cat.exit_code(), 0);
    EXPECT_EQ(cat.err(), retrying(daemon) + reconnected(daemon));
    expect_lines(r, pr, 0, count, 100);
    SP_disconnect(r);
}

// The daemon is killed (SIGKILL) in the middle of a paced stream and started
// again: a member before the kill gets lines 0..k in order; a member of the
// new daemon gets lines j..end in order, with j > k (nothing twice) and j at
// most the lines written before spcat was stopped for the kill: only lines
// spcat had handed to the killed daemon may be missing.
TEST(Spcat, DaemonKilledMidStreamAndRestarted)
{
    for (bool tcp : {false, true}) {
        SCOPED_TRACE(tcp ? "tcp" : "unix");
        Minispread d;
        ASSERT_TRUE(d.start());
        const std::string daemon = tcp ? d.tcp_name() : d.unix_name();
        std::string pr;
        mailbox r = member(d, "lines", &pr);
        Process cat;
        ASSERT_TRUE(cat.start({bin("spcat"), "-s", daemon, "-g", "lines"}, true));

        const int count = 4000;
        std::atomic<int> written{0};
        std::thread feed([&] {
            for (int i = 0; i < count; i++) {
                cat.send(numbered_line(i, 100));
                written = i + 1;
                usleep(100);
            }
        });
        std::vector<int> before;
        while (before.size() < 1000) {
            Received m = receive(r);
            if (m.ret < 0 || m.ret == TIMED_OUT)
                break;
            before.push_back(line_number(m.body));
        }
        cat.signal(SIGSTOP);
        // The feeder counts a line once its write returned: the line being
        // written when spcat stopped may be in the pipe, and read, already.
        const int stopped_at = written.load() + 1;
        d.proc.signal(SIGKILL);
        ASSERT_TRUE(d.proc.wait());
        std::vector<int> tail = lines_until_closed(r);
        before.insert(before.end(), tail.begin(), tail.end());
        SP_disconnect(r);

        unlink(d.socket_path().c_str());
        Minispread again;
        ASSERT_TRUE(again.start({}, d.port));
        r = member(again, "lines", &pr);
        cat.signal(SIGCONT);
        feed.join();
        cat.close_stdin();
        ASSERT_TRUE(cat.wait());
        EXPECT_EQ(cat.exit_code(), 0);
        EXPECT_EQ(cat.err(), "spcat: lost Spread daemon \"" + daemon + "\": Connection closed by Spread.; retrying\n" +
                                 reconnected(daemon));

        ASSERT_GE(before.size(), 1000u);
        for (size_t i = 0; i < before.size(); i++)
            ASSERT_EQ(before[i], (int)i);
        const int k = (int)before.size() - 1;
        std::vector<int> after = all_lines_for(again, r, pr);
        ASSERT_FALSE(after.empty());
        const int j = after[0];
        EXPECT_GT(j, k) << "a line came twice";
        EXPECT_LE(j, stopped_at) << "a line written after the kill is missing";
        for (size_t i = 0; i < after.size(); i++)
            ASSERT_EQ(after[i], j + (int)i);
        EXPECT_EQ(after.back(), count - 1);
        SP_disconnect(r);
    }
}

// Past its bound (-q) spcat drops whole lines and counts them: what the
// member gets, in order, and what spcat reports dropped make up what was
// sent; the report comes on reconnecting, and the exit status is 1.
TEST(Spcat, SmallBufferDropsWholeLinesAndCountsThem)
{
    const int port = free_port();
    const std::string daemon = std::to_string(port);
    Process cat;
    ASSERT_TRUE(cat.start({bin("spcat"), "-s", daemon, "-q", "1000", "-w", "60", "-g", "lines"}, true));
    ASSERT_TRUE(wait_until([&] { return cat.err() == retrying(daemon); })) << cat.err();
    const int count = 100;
    std::string all;
    for (int i = 0; i < count; i++)
        all += numbered_line(i, 100);
    cat.send(all);
    ASSERT_TRUE(wait_until([&] { return unread_input(cat) == 0; }));

    cat.signal(SIGSTOP);
    Minispread d;
    ASSERT_TRUE(d.start({}, port));
    std::string pr;
    mailbox r = member(d, "lines", &pr);
    cat.close_stdin();
    cat.signal(SIGCONT);
    ASSERT_TRUE(cat.wait());
    EXPECT_EQ(cat.exit_code(), 1);

    std::vector<int> got = all_lines_for(d, r, pr);
    for (size_t i = 1; i < got.size(); i++)
        EXPECT_LT(got[i - 1], got[i]);
    EXPECT_GE(got.size(), 10u);   // 1000 bytes hold 10 lines
    const int dropped = count - (int)got.size();
    EXPECT_EQ(cat.err(), retrying(daemon) + reconnected(daemon) + "spcat: dropped " + std::to_string(dropped) +
                             " lines while \"" + daemon + "\" was unreachable\n");
    SP_disconnect(r);
}

// At the end of its input, spcat waits for an absent daemon at most -w
// seconds, then says how many lines it could not send and ends with 1.
TEST(Spcat, DaemonDownAtEndOfInput)
{
    const std::string daemon = std::to_string(free_port());
    Process cat;
    run_spcat(cat, {"-s", daemon, "-w", "1", "-g", "lines"}, "one\ntwo\nthree");
    EXPECT_EQ(cat.exit_code(), 1);
    EXPECT_EQ(cat.err(), retrying(daemon) + "spcat: 3 lines not sent: \"" + daemon + "\" unreachable\n");
}

// SIGTERM: with nothing waiting spcat ends with 0 at once; with a daemon
// that takes nothing (stopped), it ends after its short grace with 1 and
// the number of lines it could not send, and the daemon, once it runs
// again, delivers exactly the others, in order; with no daemon, it ends at
// once with 1 and the count.
TEST(Spcat, SigtermSendsWhatWaitsAndCountsTheRest)
{
    Minispread d;
    ASSERT_TRUE(d.start());
    std::string pr;
    mailbox r = member(d, "lines", &pr);

    Process idle;
    ASSERT_TRUE(idle.start({bin("spcat"), "-s", d.unix_name(), "-g", "lines"}, true));
    idle.send(numbered_line(0, 100));
    expect_lines(r, pr, 0, 1, 100);
    idle.signal(SIGTERM);
    ASSERT_TRUE(idle.wait());
    EXPECT_EQ(idle.exit_code(), 0);
    EXPECT_EQ(idle.err(), "");

    // 2 MB for a daemon that reads nothing once spcat is connected: most
    // of it waits in spcat.
    Process held;
    ASSERT_TRUE(held.start({bin("spcat"), "-s", d.unix_name(), "-g", "lines"}, true));
    held.send(numbered_line(0, 1000));
    expect_lines(r, pr, 0, 1, 1000);
    d.proc.signal(SIGSTOP);
    const int count = 2000;
    std::string all;
    for (int i = 1; i < count; i++)
        all += numbered_line(i, 1000);
    std::atomic<bool> written{false};
    std::thread feed([&] {
        held.send(all);
        written = true;
    });
    bool read_on = wait_until([&] { return written.load() && unread_input(held) == 0; });
    if (!read_on)
        held.signal(SIGKILL);
    feed.join();
    if (!read_on)
        d.proc.signal(SIGCONT);
    ASSERT_TRUE(read_on) << "spcat stopped reading its input";
    held.signal(SIGTERM);
    bool ended = held.wait();
    d.proc.signal(SIGCONT);
    ASSERT_TRUE(ended);
    EXPECT_EQ(held.exit_code(), 1);
    int unsent = -1;
    const std::string err = held.err();
    ASSERT_EQ(sscanf(err.c_str(), "spcat: %d lines not sent", &unsent), 1) << err;
    EXPECT_GT(unsent, 0);
    EXPECT_EQ(err, "spcat: " + std::to_string(unsent) + " lines not sent: \"" + d.unix_name() + "\" unreachable\n");
    expect_lines(r, pr, 1, count - 1 - unsent, 1000);

    const std::string absent = std::to_string(free_port());
    Process away;
    ASSERT_TRUE(away.start({bin("spcat"), "-s", absent, "-g", "lines"}, true));
    away.send("one\ntwo\n");
    ASSERT_TRUE(wait_until([&] { return unread_input(away) == 0 && away.err() == retrying(absent); }));
    away.signal(SIGTERM);
    ASSERT_TRUE(away.wait());
    EXPECT_EQ(away.exit_code(), 1);
    EXPECT_EQ(away.err(), retrying(absent) + "spcat: 2 lines not sent: \"" + absent + "\" unreachable\n");
    SP_disconnect(r);
}

}  // namespace
