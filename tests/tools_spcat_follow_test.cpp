// spcat -f as a process against minispread: the Spread daemon restarted or
// killed while spcat follows a file, whole lines, several files with
// prefixes, and the errors spcat reports. The rotations are in
// tools_spcat_follow_rotation_test.cpp.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <thread>

#include "support/spcat_follow.h"
#include "support/tools.h"

using namespace tools_test;
using namespace follow_test;

namespace {

// Lines in a file.
long lines_in(const std::string &path)
{
    std::string text = read_file(path);
    return std::count(text.begin(), text.end(), '\n');
}

// The Spread daemon killed (SIGKILL) and started again while spcat follows
// a file that the server goes on writing: lines written while the daemon is
// away wait in the file and go, in order, once spcat is back.  The kill
// comes while spcat has nothing in flight (everything written so far is
// with the member), so nothing may come twice; the member of the new daemon
// joins while spcat is stopped, so nothing is sent before it is there.
TEST(Follow, DaemonRestartWhileFollowing)
{
    Scene s;
    s.w.count = 9000;
    ASSERT_TRUE(s.start());
    const std::string daemon = s.d.unix_name();
    s.w.start();
    ASSERT_TRUE(wait_until([&] { return s.w.written.load() >= 2000; }));
    s.w.pause();
    ASSERT_TRUE(wait_until([&] { return s.caught_up(); }));
    // spcat has the marker of its last batch back once the position file
    // says the whole file was sent.
    const uint64_t size = read_file(s.log).size();
    ASSERT_TRUE(wait_until([&] { return read_file(s.pos).find("\n" + std::to_string(size) + " ") != std::string::npos; }))
        << read_file(s.pos);
    s.d.proc.signal(SIGKILL);
    ASSERT_TRUE(s.d.proc.wait());
    unlink(s.d.socket_path().c_str());
    s.rx.thread.join();   // ends with the session
    std::vector<int> before = s.rx.lines();
    SP_disconnect(s.rx.r);
    s.rx.r = -1;

    // Written while the daemon is away.
    s.w.resume();
    ASSERT_TRUE(wait_until([&] { return s.w.written.load() >= 4000; }));
    ASSERT_TRUE(wait_until([&] { return s.cat->err().find("retrying") != std::string::npos; }));
    s.cat->signal(SIGSTOP);
    Minispread again;
    ASSERT_TRUE(again.start({}, s.d.port));
    Receiver rx;
    ASSERT_TRUE(rx.start(again));
    s.cat->signal(SIGCONT);
    s.w.join();
    ASSERT_TRUE(wait_until([&] { return rx.has(8999); })) << s.cat->err();
    rx.stop = true;
    rx.thread.join();
    EXPECT_TRUE(nothing_else_for(rx.r, rx.pg));
    std::vector<int> all = before;
    std::vector<int> after = rx.lines();
    all.insert(all.end(), after.begin(), after.end());
    check(all, 9000, Allow::nothing, 0, 0);

    s.cat->signal(SIGTERM);
    ASSERT_TRUE(s.cat->wait());
    EXPECT_EQ(s.cat->exit_code(), 0);
    std::string err = s.cat->err();
    // Lost while idle, or at its first send after the kill.
    const std::string lost = "spcat: lost Spread daemon \"" + daemon + "\": Connection closed by Spread.; retrying\n";
    EXPECT_EQ(err, lost + "spcat: reconnected to Spread daemon \"" + daemon + "\"\n");
}

// The Spread daemon killed while lines flow (spcat stopped meanwhile, so
// that it sends nothing before the new daemon's member is there): the batch
// that was in flight goes again whole to the new daemon, so no line is
// lost, and at most one batch of lines comes twice.  The kill comes once
// the daemon has read all that spcat sent and written out all it holds for
// the member: what a daemon took and had yet to hand to a member dies with
// it, whoever the sender (the member's session dies too).
TEST(Follow, DaemonKilledMidStream)
{
    Scene s;
    s.w.count = 8000;
    ASSERT_TRUE(s.start());
    s.w.start();
    ASSERT_TRUE(wait_until([&] { return s.rx.has(2000); }));
    s.cat->signal(SIGSTOP);
    ASSERT_TRUE(wait_until([&] { return unread_socket_bytes(s.d.proc.pid) == 0 && !waits_to_write(s.d.proc.pid); }));
    s.d.proc.signal(SIGKILL);
    ASSERT_TRUE(s.d.proc.wait());
    unlink(s.d.socket_path().c_str());
    s.rx.thread.join();
    std::vector<int> before = s.rx.lines();
    SP_disconnect(s.rx.r);
    s.rx.r = -1;
    Minispread again;
    ASSERT_TRUE(again.start({}, s.d.port));
    Receiver rx;
    ASSERT_TRUE(rx.start(again));
    s.cat->signal(SIGCONT);
    s.w.join();
    ASSERT_TRUE(wait_until([&] { return rx.has(7999); })) << s.cat->err();
    rx.stop = true;
    rx.thread.join();
    EXPECT_TRUE(nothing_else_for(rx.r, rx.pg));
    std::vector<int> all = before, after = rx.lines();
    all.insert(all.end(), after.begin(), after.end());
    check(all, 8000, Allow::resent_batch, 0, 0);
    s.cat->signal(SIGTERM);
    ASSERT_TRUE(s.cat->wait());
    EXPECT_EQ(s.cat->exit_code(), 0);
    const std::string daemon = s.d.unix_name();
    EXPECT_EQ(s.cat->err(), "spcat: lost Spread daemon \"" + daemon + "\": Connection closed by Spread.; retrying\n" +
                                "spcat: reconnected to Spread daemon \"" + daemon + "\"\n");
}

// A line is sent whole: a last line without its newline waits for it, and
// goes as it is once its file is rotated away and read to its end (after
// 5 s without growth, once the new file has bytes).
TEST(Follow, WholeLines)
{
    Scene s;
    ASSERT_TRUE(s.d.start() && s.rx.start(s.d));
    s.rx.stop = true;
    s.rx.thread.join();
    write_file(s.log, "one\ntw");
    ASSERT_TRUE(s.start_spcat());
    EXPECT_EQ(receive(s.rx.r).body, "one\n");
    EXPECT_TRUE(nothing_else_for(s.rx.r, s.rx.pg));
    std::ofstream(s.log, std::ios::app) << "o\nthr";
    EXPECT_EQ(receive(s.rx.r).body, "two\n");
    EXPECT_TRUE(nothing_else_for(s.rx.r, s.rx.pg));
    // The position is that of the last whole line.
    ASSERT_TRUE(wait_until([&] { return read_file(s.pos).rfind("spcat-position 1\n8 ", 0) == 0; }))
        << read_file(s.pos);

    ASSERT_EQ(rename(s.log.c_str(), (s.log + ".1").c_str()), 0);
    std::ofstream(s.log + ".1", std::ios::app) << "ee";
    write_file(s.log, "four\n");
    EXPECT_EQ(receive(s.rx.r).body, "four\n");   // the new file at once
    Received m = receive(s.rx.r, 20000);
    EXPECT_EQ(m.body, "three");                  // the old one's end, later
    // Closed, and gone from the position file.
    ASSERT_TRUE(wait_until([&] { return lines_in(s.pos) == 2; }));
    const std::string pos = read_file(s.pos);
    EXPECT_EQ(std::count(pos.begin(), pos.end(), '\n'), 2) << pos;
    EXPECT_TRUE(nothing_else_for(s.rx.r, s.rx.pg));
    s.cat->signal(SIGTERM);
    ASSERT_TRUE(s.cat->wait());
    EXPECT_EQ(s.cat->exit_code(), 0);
    EXPECT_EQ(s.cat->err(), "");
}

// One log per virtual host: several -f, each with its prefix (-P applies
// to the -f after it), one position file; a restart goes on where each
// file was.  A file that does not exist yet is followed once it appears.
TEST(Follow, SeveralFilesWithPrefixes)
{
    TempDir dir;
    Minispread d;
    ASSERT_TRUE(d.start());
    std::string pg;
    mailbox r = connect_as(d.unix_name(), "r", false, &pg);
    ASSERT_GE(r, 0);
    ASSERT_EQ(SP_join(r, "vhosts"), 0);
    ASSERT_TRUE(settle(r, pg));
    const std::string a = dir.file("a.example.log"), b = dir.file("b.example.log"), c = dir.file("plain.log");
    const std::string pos = dir.file("pos");
    write_file(a, "a1\n");
    const std::vector<std::string> args = {bin("spcat"), "-s", d.unix_name(), "-p", pos, "-P", "a.example", "-f", a,
                                           "-P", "b.example", "-f", b, "-P", "", "-f", c, "-g", "vhosts"};
    auto cat = std::make_unique<Process>();
    ASSERT_TRUE(cat->start(args));
    EXPECT_EQ(receive(r).body, "a.example a1\n");
    write_file(b, "b1\nb2\n");
    EXPECT_EQ(receive(r).body, "b.example b1\n");
    EXPECT_EQ(receive(r).body, "b.example b2\n");
    write_file(c, "c1\n");
    EXPECT_EQ(receive(r).body, "c1\n");
    EXPECT_TRUE(nothing_else_for(r, pg));
    ASSERT_TRUE(wait_until([&] { return lines_in(pos) == 4; }));
    cat->signal(SIGTERM);
    ASSERT_TRUE(cat->wait());
    EXPECT_EQ(cat->exit_code(), 0);
    EXPECT_EQ(cat->err(), "");

    // Written while spcat was not running.
    std::ofstream(a, std::ios::app) << "a2\n";
    std::ofstream(c, std::ios::app) << "c2\n";
    cat = std::make_unique<Process>();
    ASSERT_TRUE(cat->start(args));
    EXPECT_EQ(receive(r).body, "a.example a2\n");
    EXPECT_EQ(receive(r).body, "c2\n");
    EXPECT_TRUE(nothing_else_for(r, pg));
    cat->signal(SIGTERM);
    ASSERT_TRUE(cat->wait());
    EXPECT_EQ(cat->err(), "");
    SP_disconnect(r);
}

// What stops follow mode at its start, and what it only says.
TEST(Follow, Errors)
{
    TempDir dir;
    Minispread d;
    ASSERT_TRUE(d.start());
    const std::string log = dir.file("log"), pos = dir.file("pos");
    struct Case {
        std::string position;   // the position file's content, "" for none
        std::vector<std::string> args;
        std::string err;
    };
    const Case cases[] = {
        {"spcat-position 2\n", {"-f", log, "-p", pos},
         "spcat: unusable position file \"" + pos + "\": line 1: not a position file of this version "
         "(\"spcat-position 1\" expected)\n"},
        {"spcat-position 1\n1 2", {"-f", log, "-p", pos},
         "spcat: unusable position file \"" + pos + "\": line 2: no newline at the end (the file is cut short)\n"},
        {"", {"-f", dir.file("none/log"), "-p", pos},
         "spcat: cannot follow \"" + dir.file("none/log") + "\": no directory \"" + dir.file("none") + "\"\n"},
        {"", {"-f", dir.path + "/", "-p", pos}, "spcat: cannot follow \"" + dir.path + "/\": not a file name\n"},
        {"", {"-f", log, "-p", dir.file("none/pos")},
         "spcat: cannot write position file \"" + dir.file("none/pos") + "\" (open): No such file or directory\n"},
        {"", {"-f", log, "-p", pos, "-n", "a b"},
         "spcat: cannot connect to Spread daemon \"" + d.unix_name() + "\": Connection rejected, illegal name.\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.err);
        unlink(pos.c_str());
        if (!c.position.empty())
            write_file(pos, c.position);
        std::vector<std::string> argv = {bin("spcat"), "-s", d.unix_name(), "-g", "g"};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        Process p;
        ASSERT_TRUE(p.start(argv));
        ASSERT_TRUE(p.wait());
        EXPECT_EQ(p.exit_code(), 1);
        EXPECT_EQ(p.err(), c.err);
    }

    // A file read before that is gone: said, and the rest followed.
    write_file(pos, "spcat-position 1\n120 1 99999999 0 cbf29ce484222325 " + log + "\n");
    write_file(log, "x\n");
    std::string pg;
    mailbox r = connect_as(d.unix_name(), "r", false, &pg);
    ASSERT_EQ(SP_join(r, "g"), 0);
    ASSERT_TRUE(settle(r, pg));
    Process p;
    ASSERT_TRUE(p.start({bin("spcat"), "-s", d.unix_name(), "-g", "g", "-f", log, "-p", pos}));
    EXPECT_EQ(receive(r).body, "x\n");
    p.signal(SIGTERM);
    ASSERT_TRUE(p.wait());
    EXPECT_EQ(p.exit_code(), 0);
    EXPECT_EQ(p.err(), "spcat: the file read before as \"" + log +
                           "\" (inode 99999999) is gone; lines after its byte 120 were not sent\n");
    SP_disconnect(r);
}

}  // namespace
