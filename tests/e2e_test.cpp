// The daemon end to end, as real processes: minispread, wickerpost and
// spcat. Each test is one scenario; its comment says what it checks.
// Outputs that misbehave are in e2e_outputs_test.cpp.
#include <gtest/gtest.h>

#include <dirent.h>
#include <regex>
#include <set>

#include "support/e2e.h"
#include "support/scenario.h"

using namespace wkp_test;

// Files and piped commands receive exactly the bytes sent, nothing added;
// a message to a group nobody logs is dropped.
TEST(EndToEnd, FilesAndPipesReceiveTheBytesSent)
{
    Scenario s;
    s.start_daemon(s.spread_block("  Log {\n    Group = web\n    File = " + s.dir.file("web.log") +
                                  "\n  }\n  Log {\n    Group = piped\n    File = '|cat >>" +
                                  s.dir.file("piped.log") + "'\n  }\n"));
    s.send(clf1 + clf2, {"web"});
    s.send("to the pipe\n", {"piped"});
    s.send("nobody logs this\n", {"elsewhere"});
    ASSERT_TRUE(s.wait_lines(s.dir.file("piped.log"), 1));
    ASSERT_TRUE(s.wait_lines(s.dir.file("web.log"), 2));
    EXPECT_EQ(read_file(s.dir.file("web.log")), clf1 + clf2);
    s.terminate_daemon();
    EXPECT_EQ(read_file(s.dir.file("piped.log")), "to the pipe\n");
}

// Per-vhost files: the first word picks the file and is not written; Match
// patterns keep only the lines that match one of them.
TEST(EndToEnd, VhostFilesAndFilters)
{
    Scenario s;
    mkdir(s.dir.file("vhosts").c_str(), 0755);
    s.start_daemon(s.spread_block("  Log {\n    Group = vh\n    VhostDir = " + s.dir.file("vhosts") +
                                  "\n  }\n  Log {\n    Group = errors\n    File = " + s.dir.file("errors.log") +
                                  "\n    Match = ' (404|500) '\n    Match = timeout\n  }\n"));
    s.send("www.a.com " + clf1 + "www.b.com " + clf2 + "www.a.com " + clf2 + "../escape " + clf1, {"vh"});
    s.send(clf1 + clf2 + "a timeout here\n", {"errors"});
    ASSERT_TRUE(s.wait_lines(s.dir.file("vhosts/www.a.com"), 2));
    ASSERT_TRUE(s.wait_lines(s.dir.file("vhosts/www.b.com"), 1));
    ASSERT_TRUE(s.wait_lines(s.dir.file("errors.log"), 2));
    s.terminate_daemon();
    EXPECT_EQ(read_file(s.dir.file("vhosts/www.a.com")), clf1 + clf2);
    EXPECT_EQ(read_file(s.dir.file("vhosts/www.b.com")), clf2);
    EXPECT_EQ(read_file(s.dir.file("errors.log")), clf2 + "a timeout here\n");
    // Nothing was written outside the directory.
    EXPECT_FALSE(file_exists(s.dir.file("escape")));
    std::set<std::string> names;
    DIR *d = opendir(s.dir.file("vhosts").c_str());
    while (dirent *e = readdir(d))
        names.insert(e->d_name);
    closedir(d);
    EXPECT_EQ(names, (std::set<std::string>{".", "..", "www.a.com", "www.b.com"}));
}

// The first bracketed field becomes the local time of handling: in Common
// Log Format, or in a strftime format.
TEST(EndToEnd, TimestampRewriting)
{
    Scenario s;
    s.start_daemon(s.spread_block("  Log {\n    Group = clf\n    File = " + s.dir.file("clf.log") +
                                  "\n    RewriteTimestamp = CommonLogFormat\n  }\n  Log {\n    Group = iso\n    File = " +
                                  s.dir.file("iso.log") + "\n    RewriteTimestamp = '[%Y-%m-%d]'\n  }\n"));
    s.send(clf1, {"clf"});
    s.send(clf1, {"iso"});
    ASSERT_TRUE(s.wait_lines(s.dir.file("clf.log"), 1));
    ASSERT_TRUE(s.wait_lines(s.dir.file("iso.log"), 1));
    s.terminate_daemon();
    std::string clf = read_file(s.dir.file("clf.log"));
    EXPECT_TRUE(std::regex_match(clf, std::regex(R"(10\.0\.0\.1 - - \[\d\d/[A-Z][a-z][a-z]/\d{4}:\d\d:\d\d:\d\d [+-]\d{4}\] "GET /a HTTP/1\.0" 200 2326
)"))) << clf;
    EXPECT_EQ(clf.find("10/Oct/2000"), std::string::npos);
    char today[16];
    time_t now = time(nullptr);
    strftime(today, sizeof today, "%Y-%m-%d", localtime(&now));
    EXPECT_EQ(read_file(s.dir.file("iso.log")),
              "10.0.0.1 - - [" + std::string(today) + "] \"GET /a HTTP/1.0\" 200 2326\n");
}

// A message multicast to several groups is logged by the first of them
// that has an output here, once.
TEST(EndToEnd, MultiGroupMessageIsRoutedByALoggedGroup)
{
    Scenario s;
    s.start_daemon(s.spread_block("  Log {\n    Group = web\n    File = " + s.dir.file("web.log") + "\n  }\n"));
    s.send(clf1, {"other", "web"});
    ASSERT_TRUE(s.wait_lines(s.dir.file("web.log"), 1));
    s.terminate_daemon();
    EXPECT_EQ(read_file(s.dir.file("web.log")), clf1);
}

// SIGTERM closes the outputs and ends the daemon with status 0, with both
// messages under -x; without -x it says nothing.
TEST(EndToEnd, SigtermClosesAndExits)
{
    Scenario s;
    s.start_daemon(s.spread_block("  Log {\n    Group = web\n    File = " + s.dir.file("web.log") + "\n  }\n"));
    s.terminate_daemon();
    EXPECT_NE(s.daemon->err().find("Received SIGTERM, closing log files.\nLog files closed, exiting.\n"),
              std::string::npos)
        << s.daemon->err();

    s.start_daemon(s.spread_block("  Log {\n    Group = web\n    File = " + s.dir.file("web.log") + "\n  }\n"), {});
    s.terminate_daemon();
    EXPECT_EQ(s.daemon->err().find("SIGTERM"), std::string::npos);
}

// Start-up prints one Setting FD line per connected mailbox, also without
// -v; with -v the connection and join messages, in order.
TEST(EndToEnd, StartUpMessages)
{
    Scenario s;
    std::string logs = "  Log {\n    Group = b\n    File = " + s.dir.file("b.log") + "\n  }\n  Log {\n    Group = a\n    File = " +
                       s.dir.file("a.log") + "\n  }\n";
    s.start_daemon(s.spread_block(logs), {"-v"});
    std::string err = s.daemon->err();
    std::string port = std::to_string(s.port);
    std::regex expected("\n\tbuffer size:\t\t8192\nSuccessfully connected to spread at /tmp/" + port +
                        "\nJoined a\\.\nJoined b\\.\nSetting FD: [0-9]+\n$");
    EXPECT_TRUE(std::regex_search(err, expected)) << err;
    s.terminate_daemon();
}

// Log rotation under a steady stream: move the file, SIGHUP; the old and
// the new file together hold every line exactly once.
TEST(EndToEnd, SighupRotationLosesAndDuplicatesNothing)
{
    Scenario s;
    s.start_daemon(s.spread_block("  Log {\n    Group = web\n    File = " + s.dir.file("web.log") + "\n  }\n"));
    Process cat;
    ASSERT_TRUE(cat.start({bin("spcat"), "-s", std::to_string(s.port), "-g", "web"}, true));
    const int total = 20000;
    std::jthread feeder([&] {
        for (int i = 0; i < total; i++) {
            cat.send("line " + std::to_string(i) + "\n");
            if (i % 500 == 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        cat.close_stdin();
    });
    ASSERT_TRUE(wait_until([&] { return count_lines(read_file(s.dir.file("web.log"))) > 2000; }));
    ASSERT_EQ(rename(s.dir.file("web.log").c_str(), s.dir.file("web.log.1").c_str()), 0);
    s.daemon->signal(SIGHUP);
    feeder.join();
    ASSERT_TRUE(cat.wait());
    ASSERT_TRUE(wait_until([&] {
        return count_lines(read_file(s.dir.file("web.log.1"))) + count_lines(read_file(s.dir.file("web.log"))) >=
               (size_t)total;
    }));
    s.terminate_daemon();
    std::string old_part = read_file(s.dir.file("web.log.1")), new_part = read_file(s.dir.file("web.log"));
    EXPECT_GT(count_lines(new_part), 0u) << "the reopened file received the rest";
    std::vector<std::string> lines = split_lines(old_part + new_part);
    ASSERT_EQ(lines.size(), (size_t)total);
    for (int i = 0; i < total; i++)
        ASSERT_EQ(lines[i], "line " + std::to_string(i) + "\n");
}

// The Spread daemon goes away and comes back: the session is dropped with
// the -x messages and the loss said, reconnected within a reconnect pass, and logging resumes.
TEST(EndToEnd, ReconnectsAfterTheSpreadDaemonRestarts)
{
    Scenario s;
    s.start_daemon(s.spread_block("  Log {\n    Group = web\n    File = " + s.dir.file("web.log") + "\n  }\n"));
    s.send(clf1, {"web"});
    ASSERT_TRUE(s.wait_lines(s.dir.file("web.log"), 1));
    s.stop_spread();
    ASSERT_TRUE(wait_until([&] { return s.daemon->err().find("Error connecting to spread daemon\n") != std::string::npos; }))
        << s.daemon->err();
    EXPECT_TRUE(std::regex_search(s.daemon->err(),
                                  std::regex("Error receiving from spread:\n\tSP_error: \\(-8\\) .*\nTerminal error "
                                             "closing spread mailbox [0-9]+\nLost the session with spread daemon [0-9]+: "
                                             "messages it sent until the next join are lost \\([0-9]+ bytes held, "
                                             "[0-9]+ at most of [0-9]+\\)\nError connecting to spread daemon\n")))
        << s.daemon->err();
    s.start_spread();
    // The next reconnect pass (at most six seconds away) joins again; keep
    // sending until a line lands.
    ASSERT_TRUE(wait_until(
        [&] {
            s.send(clf2, {"web"});
            return read_file(s.dir.file("web.log")).find(clf2) != std::string::npos;
        },
        15000));
    EXPECT_TRUE(s.daemon->running());
    s.terminate_daemon();
}

// A local Spread daemon that comes back is rejoined as soon as its socket
// appears, not at the next reconnect pass; the passes themselves go on as
// before, one "Failed connection" line per daemon that is away, and the
// quiet tries beside them add none. Port 10, where nothing listens, sorts
// before any other port: each pass reports it first, so a rejoin made by a
// pass would come after one more line for it.
TEST(EndToEnd, RejoinsALocalSpreadDaemonOnceItsSocketIsBack)
{
    Scenario s;
    const std::string p = std::to_string(s.port);
    s.start_daemon("Spread {\n  Port = 10\n  Log {\n    Group = none\n    File = " + s.dir.file("none.log") +
                       "\n  }\n}\n" + s.spread_block("  Log {\n    Group = web\n    File = " + s.dir.file("web.log") + "\n  }\n"),
                   {"-v"});
    const std::string away = "Failed connection to spread at /tmp/10\n";
    const std::string lost = "Failed connection to spread at /tmp/" + p + "\n";
    const std::string joined = "Joined web.\n";
    auto count = [&](const std::string &line) {
        std::string err = s.daemon->err();
        size_t n = 0;
        for (size_t at = err.find(line); at != std::string::npos; at = err.find(line, at + 1))
            n++;
        return n;
    };
    s.send(clf1, {"web"});
    ASSERT_TRUE(s.wait_lines(s.dir.file("web.log"), 1));

    // Lost, tried again at once, then in two passes; every pass reports
    // both daemons in registry order.
    s.stop_spread();
    ASSERT_TRUE(wait_until([&] { return count(lost) >= 3; })) << s.daemon->err();
    std::string err = s.daemon->err();
    std::string since_loss = err.substr(err.find(lost));
    EXPECT_EQ(since_loss.substr(0, 3 * lost.size() + 2 * away.size()), lost + away + lost + away + lost)
        << s.daemon->err();

    // Back just after a pass: joined before the next one.
    size_t passes = count(away);
    s.start_spread();
    ASSERT_TRUE(wait_until([&] { return count(joined) == 2; })) << s.daemon->err();
    EXPECT_EQ(count(away), passes) << s.daemon->err();
    err = s.daemon->err();
    const std::string rejoined = "Successfully connected to spread at /tmp/" + p + "\n" + joined;
    EXPECT_EQ(err.substr(err.rfind(lost) + lost.size(), rejoined.size()), rejoined) << err;
    s.send(clf2, {"web"});
    ASSERT_TRUE(s.wait_lines(s.dir.file("web.log"), 2));
    s.terminate_daemon();
    EXPECT_EQ(read_file(s.dir.file("web.log")), clf1 + clf2);
}

// A piped command that ends mid-stream is started anew and the daemon
// lives; the commands it replaced leave no zombies.
TEST(EndToEnd, EndedPipeCommandIsRestartedWithoutZombies)
{
    Scenario s;
    // Each command reads one line into its own file, then ends.
    std::string cmd = "|read line; echo \"$line\" >>" + s.dir.file("piped.log") + "; exit 0";
    s.start_daemon(s.spread_block("  Log {\n    Group = p\n    File = '" + cmd + "'\n  }\n"));
    for (int i = 0; i < 5; i++) {
        s.send("msg " + std::to_string(i) + "\n", {"p"});
        ASSERT_TRUE(s.wait_lines(s.dir.file("piped.log"), i + 1)) << s.daemon->err();
    }
    EXPECT_TRUE(s.daemon->running());
    EXPECT_EQ(read_file(s.dir.file("piped.log")), "msg 0\nmsg 1\nmsg 2\nmsg 3\nmsg 4\n");
    s.daemon->signal(SIGHUP);
    // No child of the daemon stays a zombie: each is reaped once its
    // SIGCHLD is handled, however busy the machine.
    std::string zombie;
    EXPECT_TRUE(wait_until([&] {
        zombie.clear();
        std::string children = read_file("/proc/" + std::to_string(s.daemon->pid) + "/task/" +
                                          std::to_string(s.daemon->pid) + "/children");
        std::istringstream in(children);
        pid_t child;
        while (in >> child) {
            std::string stat = read_file("/proc/" + std::to_string(child) + "/stat");
            if (stat.find(") Z ") != std::string::npos)
                zombie = stat;
        }
        return zombie.empty();
    })) << zombie;
    s.terminate_daemon();
}

// A cold start with a thousand vhosts at minispread's full rate: every
// file is created while messages keep coming, yet the daemon is never
// disconnected and every line lands exactly once.
TEST(EndToEnd, ColdStartWithAThousandVhostsKeepsUp)
{
    Scenario s;
    mkdir(s.dir.file("vhosts").c_str(), 0755);
    s.start_daemon(s.spread_block("  Log {\n    Group = vh\n    VhostDir = " + s.dir.file("vhosts") + "\n  }\n"));
    const int messages = 50000, hosts = 1000;
    std::string input;
    for (int i = 0; i < messages; i++)
        input += "host" + std::to_string(i % hosts) + ".example " + std::to_string(i) + " " + clf1;
    s.send(input, {"vh"});
    size_t landed = 0;
    wait_until(
        [&] {
            landed = 0;
            for (int h = 0; h < hosts; h++)
                landed += count_lines(read_file(s.dir.file("vhosts/host" + std::to_string(h) + ".example")));
            return landed >= (size_t)messages;
        },
        120000);
    s.terminate_daemon();
    EXPECT_EQ(s.daemon->err().find("Error receiving"), std::string::npos) << s.daemon->err();
    ASSERT_EQ(landed, (size_t)messages);
    for (int h = 0; h < hosts; h += 97) {
        std::string expected;
        for (int i = h; i < messages; i += hosts)
            expected += std::to_string(i) + " " + clf1;
        EXPECT_EQ(read_file(s.dir.file("vhosts/host" + std::to_string(h) + ".example")), expected);
    }
}

// A message longer than the receive buffer is reported with -x and not
// written; the session stays up and the next message lands.
TEST(EndToEnd, TooLongMessageIsDroppedAndTheSessionStays)
{
    Scenario s;
    s.start_daemon(s.spread_block("  Log {\n    Group = web\n    File = " + s.dir.file("web.log") + "\n  }\n"),
                   {"-x", "-b", "64"});
    s.send(std::string(100, 'x') + "\n" + clf1.substr(0, 40) + "\n", {"web"});
    ASSERT_TRUE(s.wait_lines(s.dir.file("web.log"), 1));
    s.terminate_daemon();
    EXPECT_EQ(read_file(s.dir.file("web.log")), clf1.substr(0, 40) + "\n");
    EXPECT_NE(s.daemon->err().find("Error receiving from spread:\n\tSP_error: (-15) "), std::string::npos)
        << s.daemon->err();
    EXPECT_EQ(s.daemon->err().find("Terminal error"), std::string::npos) << s.daemon->err();
}

// No Spread daemon at start-up: no Setting FD line, the daemon keeps
// running and tries again in every reconnect pass; once a Spread daemon is
// there, it connects, joins and logs.
TEST(EndToEnd, StartsWithoutSpreadAndConnectsLater)
{
    Scenario s;
    s.stop_spread();
    write_file(s.dir.file("wickerpost.conf"),
               s.spread_block("  Log {\n    Group = web\n    File = " + s.dir.file("web.log") + "\n  }\n"));
    Process daemon;
    ASSERT_TRUE(daemon.start({bin("wickerpost"), "-D", "-v", "-c", s.dir.file("wickerpost.conf")}));
    std::string failed = "Failed connection to spread at /tmp/" + std::to_string(s.port) + "\n";
    auto count_failed = [&] {
        std::string err = daemon.err();
        size_t n = 0;
        for (size_t at = err.find(failed); at != std::string::npos; at = err.find(failed, at + 1))
            n++;
        return n;
    };
    ASSERT_TRUE(wait_until([&] { return count_failed() >= 2; })) << daemon.err();
    EXPECT_EQ(daemon.err().find("Setting FD"), std::string::npos);
    s.start_spread();
    ASSERT_TRUE(wait_until([&] { return daemon.err().find("Joined web.\n") != std::string::npos; }))
        << daemon.err();
    s.send(clf1, {"web"});
    ASSERT_TRUE(s.wait_lines(s.dir.file("web.log"), 1));
    EXPECT_EQ(read_file(s.dir.file("web.log")), clf1);
    daemon.signal(SIGTERM);
    ASSERT_TRUE(daemon.wait());
    EXPECT_EQ(daemon.exit_code(), 0);
}

// A Match pattern whose compiled automaton would grow exponentially (eighteen
// stacked repetitions take more than a gigabyte) fails with
// the regex library's "Memory exhausted"; the daemon stays small and runs
// with the block's other patterns.
TEST(EndToEnd, ExplosivePatternIsRefusedWithinBoundedMemory)
{
    Scenario s;
    s.start_daemon(s.spread_block("  Log {\n    Group = web\n    File = " + s.dir.file("web.log") +
                                  "\n    Match = '(GET|PUT)" + std::string(18, '+') + "'\n    Match = ' 404 '\n  }\n"));
    EXPECT_NE(s.daemon->err().find("Memory exhausted"), std::string::npos) << s.daemon->err();
    std::string status = read_file("/proc/" + std::to_string(s.daemon->pid) + "/status");
    std::smatch peak;
    ASSERT_TRUE(std::regex_search(status, peak, std::regex("VmPeak:\\s+([0-9]+) kB")));
    EXPECT_LT(std::stol(peak[1]), 1024L * 1024) << "peak address space in kB";
    s.send(clf1 + clf2, {"web"});
    ASSERT_TRUE(s.wait_lines(s.dir.file("web.log"), 1));
    s.terminate_daemon();
    EXPECT_EQ(read_file(s.dir.file("web.log")), clf2);
}

// Two Spread daemons, one reached locally and one over TCP by host: both
// connect, Setting FD lines come in ascending order, and each connection
// logs its own group.
TEST(EndToEnd, LocalAndTcpConnectionsLogTheirOwnGroups)
{
    Scenario s;
    int remote_port = free_port();
    Process remote;
    ASSERT_TRUE(remote.start({bin("minispread"), "-p", std::to_string(remote_port)}));
    ASSERT_TRUE(wait_until([&] { return file_exists("/tmp/" + std::to_string(remote_port)); }));
    s.start_daemon(s.spread_block("  Log {\n    Group = local\n    File = " + s.dir.file("local.log") + "\n  }\n") +
                       "Spread {\n  Port = " + std::to_string(remote_port) +
                       "\n  Host = 127.0.0.1\n  Log {\n    Group = remote\n    File = " + s.dir.file("remote.log") +
                       "\n  }\n}\n",
                   {"-v"});
    ASSERT_TRUE(wait_until([&] {
        std::string err = s.daemon->err();
        return err.find("Setting FD: ") != err.rfind("Setting FD: ");
    })) << s.daemon->err();
    std::string err = s.daemon->err();
    EXPECT_NE(err.find("Successfully connected to spread at /tmp/" + std::to_string(s.port) + "\nJoined local.\n"),
              std::string::npos)
        << err;
    EXPECT_NE(err.find("Successfully connected to spread at 127.0.0.1:" + std::to_string(remote_port) +
                       "\nJoined remote.\n"),
              std::string::npos)
        << err;
    std::smatch m;
    ASSERT_TRUE(std::regex_search(err, m, std::regex("\nSetting FD: ([0-9]+)\nSetting FD: ([0-9]+)\n$"))) << err;
    EXPECT_LT(std::stoi(m[1]), std::stoi(m[2]));

    s.send(clf1, {"local"});
    Process cat;
    ASSERT_TRUE(cat.start({bin("spcat"), "-s", std::to_string(remote_port) + "@127.0.0.1", "-g", "remote"}, true));
    cat.send(clf2);
    cat.close_stdin();
    ASSERT_TRUE(cat.wait());
    ASSERT_TRUE(s.wait_lines(s.dir.file("local.log"), 1));
    ASSERT_TRUE(s.wait_lines(s.dir.file("remote.log"), 1));
    s.terminate_daemon();
    EXPECT_EQ(read_file(s.dir.file("local.log")), clf1);
    EXPECT_EQ(read_file(s.dir.file("remote.log")), clf2);
    remote.signal(SIGTERM);
    remote.wait();
}
