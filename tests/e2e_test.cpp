// The daemon end to end, as real processes: minispread, wickerpost and
// spcat. Each test is one scenario; its comment says what it checks. The
// last ones are about outputs that misbehave: a stuck or slow command, a
// full disk, hostile vhost entries, the descriptor limit.
#include <gtest/gtest.h>

#include <dirent.h>
#include <regex>
#include <set>

#include "support/scenario.h"

using namespace wkp_test;

namespace {

std::vector<std::string> split_lines(const std::string &text)
{
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size() - 1;
        lines.push_back(text.substr(start, end - start + 1));
        start = end + 1;
    }
    return lines;
}

const std::string clf1 = "10.0.0.1 - - [10/Oct/2000:13:55:36 -0700] \"GET /a HTTP/1.0\" 200 2326\n";
const std::string clf2 = "10.0.0.2 - - [10/Oct/2000:13:55:37 -0700] \"GET /b HTTP/1.0\" 404 12\n";

}  // namespace

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

namespace {

std::string numbered_lines(int from, int to, size_t size)
{
    std::string text;
    for (int i = from; i < to; i++)
        text += numbered_line(i, size);
    return text;
}

// Checks that `text` is whole numbered lines of `size` bytes, each number
// at most once and in ascending order; gives how many.
size_t count_whole_lines(const std::string &text, size_t size)
{
    EXPECT_EQ(text.size() % size, 0u) << "a torn line";
    int last = -1;
    size_t n = 0;
    for (size_t at = 0; at + size <= text.size(); at += size, n++) {
        int i = atoi(text.substr(at, 7).c_str());
        EXPECT_EQ(text.substr(at, size), numbered_line(i, size)) << "line at byte " << at;
        EXPECT_GT(i, last) << "line at byte " << at;
        last = i;
    }
    return n;
}

// The sum of the counts of every "Dropped %lu messages for <path>: ..."
// line of `err`.
unsigned long dropped_in(const std::string &err, const std::string &path)
{
    unsigned long total = 0;
    std::string tail = " messages for " + path + ": ";
    for (const std::string &line : split_lines(err)) {
        unsigned long n;
        if (line.rfind("Dropped ", 0) == 0 && sscanf(line.c_str(), "Dropped %lu", &n) == 1 &&
            line.find(tail) != std::string::npos)
            total += n;
    }
    return total;
}

// The processes below `pid` (the commands a daemon started), deepest first.
std::vector<pid_t> descendants(pid_t pid)
{
    std::vector<pid_t> found;
    std::istringstream children(read_file("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children"));
    pid_t child;
    while (children >> child) {
        for (pid_t below : descendants(child))
            found.push_back(below);
        found.push_back(child);
    }
    return found;
}

// A tmpfs of `size` mounted on `path` for as long as it lives.
struct SmallFileSystem {
    std::string path;
    bool mounted = false;
    SmallFileSystem(const std::string &where, const std::string &size) : path(where)
    {
        mkdir(path.c_str(), 0755);
        std::string command = "mount -t tmpfs -o size=" + size + " wkp-test " + path + " 2>/dev/null";
        mounted = system(command.c_str()) == 0;
    }
    ~SmallFileSystem()
    {
        if (mounted)
            (void)!system(("umount -l " + path).c_str());
    }
};

}  // namespace

// A piped command that never reads beside a plain file on another group:
// the command's pipe fills, then its backlog, then its messages are
// dropped and counted; the plain file gets every line meanwhile. SIGTERM
// gives up on the backlog once the command has taken nothing for the stall
// bound and ends the daemon with status 0, the drop reported with the
// exact line and every message not taken accounted for.
TEST(EndToEnd, StuckPipeHoldsUpNothing)
{
    Scenario s;
    const std::string command = "|exec sleep 1000";
    s.start_daemon(s.spread_block("  Log {\n    Group = stuck\n    File = '" + command +
                                  "'\n  }\n  Log {\n    Group = web\n    File = " + s.dir.file("web.log") + "\n  }\n"));
    const int stuck_lines = 6000;  // 6 MB: more than the pipe and the backlog hold
    s.send(numbered_lines(0, stuck_lines, 1000), {"stuck"});
    s.send(numbered_lines(0, 1000, 100), {"web"});
    ASSERT_TRUE(s.wait_lines(s.dir.file("web.log"), 1000)) << s.daemon->err();
    EXPECT_EQ(count_whole_lines(read_file(s.dir.file("web.log")), 100), 1000u);
    EXPECT_TRUE(wait_until([&] { return s.daemon->err().find("Dropped 1 messages for " + command + ": backlog full\n") != std::string::npos; }))
        << s.daemon->err();

    std::vector<pid_t> commands = descendants(s.daemon->pid);
    s.daemon->signal(SIGTERM);
    bool ended = s.daemon->wait(300000);
    for (pid_t command : commands)
        kill(command, SIGKILL);
    ASSERT_TRUE(ended);
    EXPECT_EQ(s.daemon->exit_code(), 0);
    EXPECT_TRUE(std::regex_search(s.daemon->err(), std::regex("Dropped [1-9][0-9]* messages for \\|exec sleep 1000: abandoned\n")))
        << s.daemon->err();
    // Taken by the pipe: at most its 64 KiB. Everything else is counted.
    unsigned long dropped = dropped_in(s.daemon->err(), command);
    EXPECT_LE(dropped, (unsigned long)stuck_lines);
    EXPECT_GE(dropped, (unsigned long)stuck_lines - 66) << s.daemon->err();
}

// SIGTERM beside a slow piped command (100 lines a second) with 2,000
// lines waiting for it in the daemon: the stop goes on while the command
// takes bytes, so every line lands, none is dropped, and the daemon exits
// 0 once the command has been handed them all. The wait for the exit is
// only a bound on a hang; a command that stalls is the stuck test's.
TEST(EndToEnd, SigtermWaitsForASlowCommandThatKeepsReading)
{
    Scenario s;
    // A pause of 10 ms before each line, without a process started per
    // line, so that the pace holds on a busy machine.
    const std::string command = "|perl -ne \"BEGIN { \\$| = 1 } select(undef, undef, undef, 0.01); print\" >>" + s.dir.file("slow.log");
    s.start_daemon(s.spread_block("  Log {\n    Group = slow\n    File = '" + command + "'\n  }\n  Log {\n    Group = mark\n    File = " +
                                  s.dir.file("mark.log") + "\n  }\n"));
    const int lines = 2000;
    s.send(numbered_lines(0, lines, 100), {"slow"});
    // One sender after the other: once the mark is written, every slow
    // line was handed to the command's pipe or its backlog.
    s.send("mark\n", {"mark"});
    ASSERT_TRUE(s.wait_lines(s.dir.file("mark.log"), 1)) << s.daemon->err();
    ASSERT_LT(count_lines(read_file(s.dir.file("slow.log"))), (size_t)lines / 2) << "the command was not slow";

    s.daemon->signal(SIGTERM);
    ASSERT_TRUE(s.daemon->wait(300000)) << s.daemon->err();
    EXPECT_EQ(s.daemon->exit_code(), 0);
    EXPECT_EQ(s.daemon->err().find("Dropped "), std::string::npos) << s.daemon->err();
    // The command reads what its pipe still holds, to the end of its input.
    ASSERT_TRUE(s.wait_lines(s.dir.file("slow.log"), lines, 120000));
    std::string out = read_file(s.dir.file("slow.log"));
    EXPECT_EQ(out, numbered_lines(0, lines, 100));
}

// A slow piped command (a line, then a pause): the plain group is not held
// up; the command gets, whole and in order, every line its backlog took,
// and the lines dropped once it was full are reported with the exact
// Dropped line. Every line is either in the command's output or counted.
TEST(EndToEnd, SlowPipeGetsWhatItsBacklogHoldsAndTheRestIsCounted)
{
    Scenario s;
    const std::string command = "|while read line; do echo \"$line\" >>" + s.dir.file("slow.out") + "; sleep 0.01; done";
    s.start_daemon(s.spread_block("  Log {\n    Group = slow\n    File = '" + command +
                                  "'\n  }\n  Log {\n    Group = web\n    File = " + s.dir.file("web.log") + "\n  }\n"));
    const int slow_lines = 6000;
    s.send(numbered_lines(0, slow_lines, 1000), {"slow"});
    s.send(numbered_lines(0, 200, 100), {"web"});
    ASSERT_TRUE(s.wait_lines(s.dir.file("web.log"), 200)) << s.daemon->err();
    EXPECT_TRUE(wait_until([&] { return s.daemon->err().find("Dropped 1 messages for " + command + ": backlog full\n") != std::string::npos; }))
        << s.daemon->err();
    EXPECT_GT(count_lines(read_file(s.dir.file("slow.out"))), 0u);
    std::vector<pid_t> commands = descendants(s.daemon->pid);
    ASSERT_FALSE(commands.empty());
    s.terminate_daemon();
    // The command reads on what its pipe held, to the end of its input,
    // and ends there.
    EXPECT_TRUE(wait_until([&] { return std::all_of(commands.begin(), commands.end(), ended); }, 120000));
    std::string out = read_file(s.dir.file("slow.out"));
    size_t whole = count_whole_lines(out, 1000);
    EXPECT_EQ(whole + dropped_in(s.daemon->err(), command), (size_t)slow_lines) << s.daemon->err();
}

// A full file system: a write that fails part-way is cut back, so the file
// holds whole lines only; the drops are reported at once, then summed;
// logging resumes by itself when space returns.
TEST(EndToEnd, FullFileSystemTearsNoLine)
{
    Scenario s;
    SmallFileSystem disk(s.dir.file("disk"), "64k");
    if (!disk.mounted)
        GTEST_SKIP() << "cannot mount a small tmpfs here (needs root or CAP_SYS_ADMIN)";
    write_file(disk.path + "/filler", std::string(32 * 1024, 'f'));
    std::string log = disk.path + "/web.log";
    s.start_daemon(s.spread_block("  Log {\n    Group = web\n    File = " + log + "\n  }\n  Log {\n    Group = mark\n    File = " +
                                  s.dir.file("mark.log") + "\n  }\n"));
    // One sender's messages are handled in order: once its mark is
    // written, so was every line before it.
    auto send_and_mark = [&](const std::string &lines, size_t marks) {
        Process cat;
        ASSERT_TRUE(cat.start({bin("spcat"), "-s", std::to_string(s.port), "-g", "web"}, true));
        cat.send(lines);
        cat.close_stdin();
        ASSERT_TRUE(cat.wait());
        s.send("mark\n", {"mark"});
        ASSERT_TRUE(s.wait_lines(s.dir.file("mark.log"), marks)) << s.daemon->err();
    };
    send_and_mark(numbered_lines(0, 1000, 100), 1);
    std::string first_report = "Dropped 1 messages for " + log + ": No space left on device\n";
    EXPECT_NE(s.daemon->err().find(first_report), std::string::npos) << s.daemon->err();
    size_t before = count_whole_lines(read_file(log), 100);
    EXPECT_LT(before, 1000u);

    // Space returns: the next lines land.
    ASSERT_EQ(unlink((disk.path + "/filler").c_str()), 0);
    send_and_mark(numbered_lines(2000, 2100, 100), 2);
    s.terminate_daemon();
    std::string err = s.daemon->err();
    EXPECT_EQ(err.find(first_report), err.rfind(first_report)) << "reported once, then summed";
    EXPECT_EQ(count_whole_lines(read_file(log), 100), before + 100);
    EXPECT_EQ(before + dropped_in(err, log), 1000u) << err;
}

// The file size limit (RLIMIT_FSIZE, SIGXFSZ ignored) falls inside line
// 100 of a stream of 1000 lines sent at full rate, so written in batches:
// the file keeps lines 0 to 99 whole, the bytes of line 100 that landed are
// cut off, and every later line is dropped and counted under the error.
TEST(EndToEnd, SizeLimitPartWayThroughABatchTearsNoLine)
{
    Scenario s;
    const size_t size = 100;
    const int fit = 100, total = 1000;
    // The limit holds for every file the daemon writes, its standard error
    // too, which stays far below it.
    s.runner = {"/usr/bin/prlimit", "--fsize=" + std::to_string(fit * size + size / 2), "--"};
    std::string log = s.dir.file("web.log");
    s.start_daemon(s.spread_block("  Log {\n    Group = web\n    File = " + log + "\n  }\n  Log {\n    Group = mark\n    File = " +
                                  s.dir.file("mark.log") + "\n  }\n"));
    s.send(numbered_lines(0, total, size), {"web"});
    // One session's messages are handled in order: once the mark is
    // written, every line was.
    s.send("mark\n", {"mark"});
    ASSERT_TRUE(s.wait_lines(s.dir.file("mark.log"), 1)) << s.daemon->err();
    s.terminate_daemon();
    std::string text = read_file(log);
    EXPECT_EQ(count_whole_lines(text, size), (size_t)fit);
    EXPECT_EQ(text, numbered_lines(0, fit, size));
    std::string err = s.daemon->err();
    EXPECT_NE(err.find("Dropped 1 messages for " + log + ": File too large\n"), std::string::npos) << err;
    EXPECT_EQ(dropped_in(err, log), (unsigned long)(total - fit)) << err;
}

// A symlink, a FIFO and a directory planted in a VhostDir under vhost
// names: refused, counted and reported; nothing written through the
// symlink, the FIFO left alone; other vhosts and another group go on.
TEST(EndToEnd, PlantedVhostEntriesAreRefused)
{
    Scenario s;
    std::string vhosts = s.dir.file("vhosts");
    mkdir(vhosts.c_str(), 0755);
    ASSERT_EQ(symlink("../outside.log", (vhosts + "/evil").c_str()), 0);
    ASSERT_EQ(mkfifo((vhosts + "/fifo").c_str(), 0644), 0);
    ASSERT_EQ(mkdir((vhosts + "/dir").c_str(), 0755), 0);
    s.start_daemon(s.spread_block("  Log {\n    Group = vh\n    VhostDir = " + vhosts + "\n  }\n  Log {\n    Group = web\n    File = " +
                                  s.dir.file("web.log") + "\n  }\n"));
    s.send("evil " + clf1 + "fifo " + clf1 + "dir " + clf1 + "good " + clf2, {"vh"});
    s.send(clf1, {"web"});
    ASSERT_TRUE(s.wait_lines(vhosts + "/good", 1)) << s.daemon->err();
    ASSERT_TRUE(s.wait_lines(s.dir.file("web.log"), 1));
    EXPECT_TRUE(s.daemon->running());
    s.terminate_daemon();
    EXPECT_EQ(read_file(vhosts + "/good"), clf2);
    EXPECT_EQ(read_file(s.dir.file("web.log")), clf1);
    EXPECT_FALSE(file_exists(s.dir.file("outside.log")));
    std::string err = s.daemon->err();
    // The first at once, the other two summed and reported at SIGTERM.
    EXPECT_NE(err.find("Dropped 1 messages for " + vhosts + ": not a regular file\n"
                       "Received SIGTERM, closing log files.\n"
                       "Dropped 2 messages for " + vhosts + ": not a regular file\n"
                       "Log files closed, exiting.\n"),
              std::string::npos)
        << err;
    struct stat st;
    ASSERT_EQ(lstat((vhosts + "/fifo").c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
}

// Under a hard limit of 256 descriptors: 2,000 vhost names, then the same
// names again. Vhost files stay under the cap (the least recently used are
// closed, the vhost table taken over in place), so every line lands in
// its own file exactly once; and a lost Spread session can reconnect.
TEST(EndToEnd, ThousandsOfVhostsUnderADescriptorLimit)
{
    Scenario s;
    std::string vhosts = s.dir.file("vhosts");
    mkdir(vhosts.c_str(), 0755);
    s.runner = {"/usr/bin/prlimit", "--nofile=256:256", "--"};
    s.start_daemon(s.spread_block("  Log {\n    Group = vh\n    VhostDir = " + vhosts + "\n  }\n  Log {\n    Group = web\n    File = " +
                                  s.dir.file("web.log") + "\n  }\n"),
                   {"-x"});
    const int names = 2000;
    std::string input;
    for (int round = 1; round <= 2; round++)
        for (int i = 0; i < names; i++)
            input += "host" + std::to_string(i) + " round " + std::to_string(round) + "\n";
    s.send(input, {"vh"});
    // Messages of one sender reach the daemon in order: once this one is
    // written, every vhost line before it was handled.
    s.send("done\n", {"web"});
    ASSERT_TRUE(s.wait_lines(s.dir.file("web.log"), 1, 30000)) << s.daemon->err();
    for (int i = 0; i < names; i++)
        ASSERT_EQ(read_file(vhosts + "/host" + std::to_string(i)), "round 1\nround 2\n") << i;
    size_t descriptors = 0;
    DIR *d = opendir(("/proc/" + std::to_string(s.daemon->pid) + "/fd").c_str());
    while (dirent *e = readdir(d))
        descriptors += e->d_name[0] != '.';
    closedir(d);
    // The reserve is left free (the session's socket came after the plan).
    EXPECT_LE(descriptors, 256u - 60) << "descriptors in use";

    s.stop_spread();
    s.start_spread();
    ASSERT_TRUE(wait_until(
        [&] {
            s.send("host7 after\n", {"vh"});
            return read_file(vhosts + "/host7").find("after\n") != std::string::npos;
        },
        15000))
        << s.daemon->err();
    s.terminate_daemon();
    EXPECT_EQ(s.daemon->err().find("Dropped"), std::string::npos) << s.daemon->err();
}

// A File that is a FIFO without a reader neither blocks nor stops start-up
// (even with locking on): it is named with the reason, its messages are
// counted, and once a reader comes the next message goes to it.
TEST(EndToEnd, FifoWithoutAReaderIsOpenedWhenOneComes)
{
    Scenario s;
    std::string fifo = s.dir.file("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    s.start_daemon(s.spread_block("  Log {\n    Group = f\n    File = " + fifo + "\n  }\n"));
    EXPECT_NE(s.daemon->err().find("Cannot open " + fifo + ": No such device or address\n"), std::string::npos)
        << s.daemon->err();
    s.send("before a reader\n", {"f"});
    ASSERT_TRUE(wait_until([&] { return s.daemon->err().find("Dropped 1 messages for " + fifo + ": output not open\n") != std::string::npos; }))
        << s.daemon->err();
    int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    std::string got;
    ASSERT_TRUE(wait_until([&] {
        s.send("with a reader\n", {"f"});
        char buffer[256];
        ssize_t n = read(reader, buffer, sizeof buffer);
        if (n > 0)
            got.append(buffer, n);
        return !got.empty();
    }));
    EXPECT_EQ(got.substr(0, 14), "with a reader\n");
    s.terminate_daemon();
    close(reader);
}

// A reopen (SIGHUP) that cannot open an output says so and goes on: the
// other outputs are reopened, and the output is tried again at its next
// message.
TEST(EndToEnd, OutputThatCannotBeReopenedIsRetried)
{
    Scenario s;
    std::string sub = s.dir.file("sub");
    mkdir(sub.c_str(), 0755);
    s.start_daemon(s.spread_block("  Log {\n    Group = a\n    File = " + sub + "/a.log\n  }\n  Log {\n    Group = b\n    File = " +
                                  s.dir.file("b.log") + "\n  }\n"));
    s.send("1\n", {"a"});
    ASSERT_TRUE(s.wait_lines(sub + "/a.log", 1));
    ASSERT_EQ(system(("rm -rf '" + sub + "'").c_str()), 0);
    s.daemon->signal(SIGHUP);
    ASSERT_TRUE(wait_until([&] { return s.daemon->err().find("Cannot open " + sub + "/a.log: No such file or directory\n") != std::string::npos; }))
        << s.daemon->err();
    s.send("2\n", {"a"});
    s.send("b\n", {"b"});
    ASSERT_TRUE(s.wait_lines(s.dir.file("b.log"), 1));
    EXPECT_TRUE(s.daemon->running());
    mkdir(sub.c_str(), 0755);
    s.send("3\n", {"a"});
    ASSERT_TRUE(s.wait_lines(sub + "/a.log", 1)) << s.daemon->err();
    s.terminate_daemon();
    EXPECT_EQ(read_file(sub + "/a.log"), "3\n");
    EXPECT_NE(s.daemon->err().find("Dropped 1 messages for " + sub + "/a.log: output not open\n"), std::string::npos)
        << s.daemon->err();
}
