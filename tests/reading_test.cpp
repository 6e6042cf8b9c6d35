// Reading from Spread never waits for the loop: no stall of output work,
// no Spread daemon that stopped answering, no SIGTERM loses what was read.
// Real processes: minispread (with -S, the real daemon's policy of
// disconnecting a session with 1000 queued messages), wickerpost, spcat.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <regex>
#include <sstream>
#include <thread>

#include "support/scenario.h"

using namespace wkp_test;

namespace {

const std::string clf = "10.0.0.1 - - [10/Oct/2000:13:55:36 -0700] \"GET /a HTTP/1.0\" 200 2326\n";

// Children of `pid` that are zombies.
std::vector<std::string> zombie_children(pid_t pid)
{
    std::vector<std::string> zombies;
    std::istringstream in(read_file("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children"));
    pid_t child;
    while (in >> child) {
        std::string stat = read_file("/proc/" + std::to_string(child) + "/stat");
        if (stat.find(") Z ") != std::string::npos)
            zombies.push_back(stat);
    }
    return zombies;
}

// A stream for a vhost facility: message i goes to host (i % hosts), but for
// message `stalled`, which goes to stall.example, whose first open stalls
// the loop (WKP_STALL_OPEN below).
struct VhostStream {
    int messages, hosts, stalled;

    std::string input() const
    {
        std::string text;
        for (int i = 0; i < messages; i++)
            text += (i == stalled ? "stall.example" : "host" + std::to_string(i % hosts) + ".example") + " " +
                    std::to_string(i) + " " + clf;
        return text;
    }

    // Lines in the vhost files under `dir` so far.
    size_t landed(const TempDir &dir) const
    {
        size_t n = count_lines(read_file(dir.file("vhosts/stall.example")));
        for (int h = 0; h < hosts; h++)
            n += count_lines(read_file(dir.file("vhosts/host" + std::to_string(h) + ".example")));
        return n;
    }

    // Every file holds exactly its lines, once each and in order.
    void expect_all_landed(const TempDir &dir) const
    {
        EXPECT_EQ(read_file(dir.file("vhosts/stall.example")), std::to_string(stalled) + " " + clf);
        for (int h = 0; h < hosts; h++) {
            std::string expected;
            for (int i = h; i < messages; i += hosts)
                if (i != stalled)
                    expected += std::to_string(i) + " " + clf;
            EXPECT_EQ(read_file(dir.file("vhosts/host" + std::to_string(h) + ".example")), expected) << h;
        }
    }
};

// A daemon on one vhost facility whose open of stall.example stalls for
// `stall_ms`.
void start_stalling_daemon(Scenario &s, int stall_ms)
{
    mkdir(s.dir.file("vhosts").c_str(), 0755);
    s.start_daemon(s.spread_block("  Log {\n    Group = vh\n    VhostDir = " + s.dir.file("vhosts") + "\n  }\n"),
                   {"-x"},
                   {"LD_PRELOAD=" + bin("tests/libstall_open.so"), "WKP_STALL_OPEN=stall.example",
                    "WKP_STALL_MS=" + std::to_string(stall_ms)});
}

// Runs the daemon unable to raise its priority: without CAP_SYS_NICE in its
// bounding, inheritable and so effective sets (we may run as root), where
// setpriv is at hand.
void without_sys_nice(Scenario &s)
{
    if (file_exists("/usr/bin/setpriv"))
        s.runner = {"/usr/bin/setpriv", "--bounding-set=-sys_nice", "--inh-caps=-sys_nice", "--"};
}

// Whether the process may raise priorities: CAP_SYS_NICE in its effective
// set.
bool may_raise_priority(pid_t pid)
{
    std::string status = read_file("/proc/" + std::to_string(pid) + "/status");
    size_t at = status.find("CapEff:");
    if (at == std::string::npos)
        return true;
    constexpr int cap_sys_nice = 23;
    return (std::stoull(status.substr(at + 7), nullptr, 16) >> cap_sys_nice) & 1;
}

}  // namespace

// The loop is held for 500 ms (the first open of one vhost file stalls)
// while a stream comes in at 20,000 lines/s from a Spread daemon that drops
// a session with 1000 queued messages (10,000 arrive during the stall): the
// session is never dropped and every line lands exactly once, in order.
// The daemon may not raise its priority (where setpriv can take that from
// it).
TEST(Reading, StalledLoopLosesNoLine)
{
    Scenario s({"-S"});
    without_sys_nice(s);
    start_stalling_daemon(s, 500);
    if (!s.runner.empty()) {
        EXPECT_FALSE(may_raise_priority(s.daemon->pid));
    }
    const VhostStream stream{60000, 10, 5000};
    s.send_paced(stream.input(), {"vh"}, 20000);
    wait_until([&] { return stream.landed(s.dir) >= (size_t)stream.messages; }, 120000);
    s.terminate_daemon();
    EXPECT_EQ(s.daemon->err().find("Terminal error"), std::string::npos) << s.daemon->err();
    ASSERT_EQ(stream.landed(s.dir), (size_t)stream.messages);
    stream.expect_all_landed(s.dir);
}

// A SIGHUP every 10 ms while a plain file and a piped command each take a
// stream (20,000 and 7,000 lines/s) from a Spread daemon that drops a
// session with 1000 queued messages: every SIGHUP reopens the file and
// starts the command anew, yet the session is never dropped, the file holds
// every line once and in order, and the commands (each writing a file of
// its own) got every line once, whole.
TEST(Reading, SighupStormBesideTwoStreams)
{
    Scenario s({"-S"});
    mkdir(s.dir.file("piped").c_str(), 0755);
    s.start_daemon(s.spread_block("  Log {\n    Group = web\n    File = " + s.dir.file("web.log") +
                                  "\n  }\n  Log {\n    Group = piped\n    File = '|cat >>" + s.dir.file("piped") +
                                  "/$$'\n  }\n"));
    const int web_lines = 60000, piped_lines = 20000;
    std::string web;
    std::vector<std::string> piped;
    for (int i = 0; i < web_lines; i++)
        web += numbered_line(i, 100);
    for (int i = 0; i < piped_lines; i++)
        piped.push_back(numbered_line(i, 80));
    // What the commands wrote, line by line, sorted.
    auto piped_now = [&] {
        std::vector<std::string> lines;
        for (const std::string &name : entries(s.dir.file("piped"))) {
            std::istringstream in(read_file(s.dir.file("piped/" + name)));
            for (std::string line; std::getline(in, line);)
                lines.push_back(line + "\n");
        }
        std::sort(lines.begin(), lines.end());
        return lines;
    };
    std::atomic<bool> sending{true};
    std::jthread storm([&] {
        int hups = 0;
        while (sending || hups < 20) {
            s.daemon->signal(SIGHUP);
            hups++;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    });
    {
        std::jthread to_pipe([&] {
            std::string text;
            for (const std::string &line : piped)
                text += line;
            s.send_paced(text, {"piped"}, 7000);
        });
        s.send_paced(web, {"web"}, 20000);
    }
    sending = false;
    storm.join();
    EXPECT_TRUE(s.wait_lines(s.dir.file("web.log"), web_lines, 60000));
    EXPECT_TRUE(wait_until([&] { return piped_now().size() >= piped.size(); }, 60000));
    s.terminate_daemon();
    EXPECT_EQ(s.spread.err().find("killing session"), std::string::npos) << s.spread.err();
    std::string err = s.daemon->err();
    EXPECT_EQ(err.find("Error receiving from spread"), std::string::npos) << err;
    EXPECT_EQ(err.find("Dropped"), std::string::npos) << err;
    EXPECT_EQ(read_file(s.dir.file("web.log")), web);
    EXPECT_GT(entries(s.dir.file("piped")).size(), 1u) << "commands started anew";
    std::vector<std::string> got = piped_now();
    EXPECT_EQ(got.size(), piped.size());
    EXPECT_TRUE(got == piped) << "a piped line lost, doubled or torn";
}

// Lines the reader gathers must not wait for more lines to follow: a line
// sent alone to an idle daemon lands, and so does a line sent alone right
// after a stream, and the last lines of each stream.
TEST(Reading, LineSentAloneLands)
{
    Scenario s({"-S"});
    s.start_daemon(s.spread_block("  Log {\n    Group = a\n    File = " + s.dir.file("a.log") + "\n  }\n"));
    std::string expected;
    auto send_lines = [&](int from, int count) {
        std::string text;
        for (int i = from; i < from + count; i++)
            text += std::to_string(i) + " " + clf;
        s.send_paced(text, {"a"}, 20000);
        expected += text;
        ASSERT_TRUE(s.wait_lines(s.dir.file("a.log"), count_lines(expected))) << from;
    };
    // Lines sent together, then waited for.
    int next = 0;
    for (int count : {1, 1, 5000, 1, 3, 20000, 1}) {
        send_lines(next, count);
        next += count;
    }
    s.terminate_daemon();
    EXPECT_EQ(read_file(s.dir.file("a.log")), expected);
}

// A Spread daemon that accepts connections but never answers (stopped)
// when a reconnect falls due: the attempt fails at its deadline, the other
// connection's group keeps being logged throughout, and SIGTERM ends the
// daemon. The silent one is reached over TCP, so that only the reconnect
// passes try it: a local one would be tried as soon as its socket is back,
// which may be before it is stopped.
TEST(Reading, SilentSpreadDaemonDoesNotHoldTheLoop)
{
    Scenario s;
    Scenario other;
    s.start_daemon(s.spread_block("  Log {\n    Group = a\n    File = " + s.dir.file("a.log") + "\n  }\n") +
                       "Spread {\n  Port = " + std::to_string(other.port) + "\n  Host = 127.0.0.1\n" +
                       "  Log {\n    Group = b\n    File = " + s.dir.file("b.log") + "\n  }\n}\n",
                   {"-v", "-x"}, {}, 2);
    other.stop_spread();
    ASSERT_TRUE(wait_until([&] { return s.daemon->err().find("Error connecting to spread daemon") != std::string::npos; }))
        << s.daemon->err();
    // Back, but stopped: its socket accepts, nothing answers.
    other.start_spread();
    other.spread.signal(SIGSTOP);
    std::string failed = "Failed connection to spread at 127.0.0.1:" + std::to_string(other.port) + "\n";
    size_t failures_before = 0;
    for (size_t at = s.daemon->err().find(failed); at != std::string::npos; at = s.daemon->err().find(failed, at + 1))
        failures_before++;

    // About eight seconds of lines for the other group: a reconnect pass
    // falls due among them.
    const int batches = 16, per_batch = 1000;
    for (int b = 0; b < batches; b++) {
        std::string input;
        for (int i = 0; i < per_batch; i++)
            input += std::to_string(b * per_batch + i) + " " + clf;
        s.send(input, {"a"});
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
    }
    ASSERT_TRUE(s.wait_lines(s.dir.file("a.log"), batches * per_batch)) << s.daemon->err();
    size_t failures = 0;
    for (size_t at = s.daemon->err().find(failed); at != std::string::npos; at = s.daemon->err().find(failed, at + 1))
        failures++;
    EXPECT_GT(failures, failures_before) << s.daemon->err();

    s.daemon->signal(SIGTERM);
    ASSERT_TRUE(s.daemon->wait());
    EXPECT_EQ(s.daemon->exit_code(), 0);
    std::string expected;
    for (int i = 0; i < batches * per_batch; i++)
        expected += std::to_string(i) + " " + clf;
    EXPECT_EQ(read_file(s.dir.file("a.log")), expected);
    other.spread.signal(SIGCONT);
}

// SIGTERM while the loop is held (a vhost open stalls for three seconds)
// and every message of a stream has been read ahead: the daemon stops
// reading, writes every message it holds, in order, and exits 0.
TEST(Reading, SigtermWritesEveryMessageAlreadyRead)
{
    Scenario s({"-S"});
    start_stalling_daemon(s, 3000);
    const VhostStream stream{40000, 10, 100};
    s.send_paced(stream.input(), {"vh"}, 40000);
    // The stream is sent in about a second and read ahead at once,
    // while the loop is held: SIGTERM comes once minispread has read the
    // sender's every byte and holds nothing more for the daemon (it sleeps
    // in its wait, no session waits to be written to) and the daemon's
    // socket holds nothing unread.
    ASSERT_TRUE(wait_until([&] {
        return unread_socket_bytes(s.spread.pid) == 0 && blocked_in(s.spread.pid, SYS_epoll_pwait) &&
               !waits_to_write(s.spread.pid) && unread_socket_bytes(s.daemon->pid) == 0;
    }));
    s.terminate_daemon();
    EXPECT_NE(s.daemon->err().find("Received SIGTERM, closing log files.\nLog files closed, exiting.\n"),
              std::string::npos)
        << s.daemon->err();
    stream.expect_all_landed(s.dir);
}

// A piped command that ends before the daemon has its SIGCHLD handler in
// place is reaped all the same. The open of the next output stalls, so the
// command surely ends while the configuration is still being read.
TEST(Reading, CommandEndedAtStartUpIsReaped)
{
    Scenario s;
    s.start_daemon(s.spread_block("  Log {\n    Group = a\n    File = '|exit 0'\n  }\n"
                                  "  Log {\n    Group = b\n    File = " + s.dir.file("b.log") + "\n  }\n"),
                   {"-x"},
                   {"LD_PRELOAD=" + bin("tests/libstall_open.so"), "WKP_STALL_OPEN=b.log", "WKP_STALL_MS=300"});
    EXPECT_TRUE(wait_until([&] { return zombie_children(s.daemon->pid).empty(); }))
        << zombie_children(s.daemon->pid)[0];
    s.terminate_daemon();
}

// A burst the loop cannot take for a while (its first open of a vhost file
// is held until the test lets it go) is read into the session's buffer,
// which grows to hold it; once every line is written and the backlog has
// stayed small for the quiet spell (made short here through the variable
// that exists for tests), the buffer's memory goes back to the system: the
// daemon's resident size falls back near what it was before the burst, far
// below the buffer's bound (32 MiB). (VmHWM is no witness of the peak: the
// kernel does not update it when pages are given back with madvise.)
TEST(Reading, BacklogMemoryIsGivenBackAfterAQuietSpell)
{
    Scenario s;
    mkdir(s.dir.file("vhosts").c_str(), 0755);
    const std::string release = s.dir.file("release");
    s.start_daemon(s.spread_block("  Log {\n    Group = vh\n    VhostDir = " + s.dir.file("vhosts") + "\n  }\n"),
                   {"-x"},
                   {"LD_PRELOAD=" + bin("tests/libstall_open.so"), "WKP_STALL_OPEN=stall.example",
                    "WKP_STALL_UNTIL=" + release, "WKP_TEST_READAHEAD_QUIET_MS=300"});
    auto status_kb = [&](const char *field) -> long {
        std::string status = read_file("/proc/" + std::to_string(s.daemon->pid) + "/status");
        size_t at = status.find(std::string(field) + ":");
        return at == std::string::npos ? -1 : std::stol(status.substr(at + strlen(field) + 1));
    };
    const long start_kb = status_kb("VmRSS");
    ASSERT_GT(start_kb, 0);
    EXPECT_LT(start_kb, 8 * 1024) << "an idle session holds little";

    // About 10 MB on the wire, all held by the reader while the loop waits.
    const VhostStream stream{60000, 10, 0};
    s.send(stream.input(), {"vh"});
    long peak_kb = 0;
    EXPECT_TRUE(wait_until([&] {
        peak_kb = std::max(peak_kb, status_kb("VmRSS"));
        return peak_kb > start_kb + 8 * 1024;
    })) << "the buffer grew to hold the burst: start " << start_kb << " kB, peak " << peak_kb << " kB";
    write_file(release, "");
    EXPECT_TRUE(wait_until([&] { return stream.landed(s.dir) >= (size_t)stream.messages; }, 120000));
    EXPECT_TRUE(wait_until([&] { return status_kb("VmRSS") < start_kb + 3 * 1024; }))
        << "start " << start_kb << " kB, peak " << peak_kb << " kB, now " << status_kb("VmRSS") << " kB";
    EXPECT_LT(status_kb("VmRSS"), 16 * 1024);
    s.terminate_daemon();
    EXPECT_EQ(s.daemon->err().find("Error receiving"), std::string::npos) << s.daemon->err();
    stream.expect_all_landed(s.dir);
}

// A session the Spread daemon drops for not reading (the whole daemon
// stopped while 6,000 lines come) loses what the daemon still queued for
// it: that is said at once without -v or -x, and counted; the books of
// what was read still balance, and the lines sent after the rejoin land.
TEST(Reading, SessionDroppedByItsDaemonIsSaid)
{
    Scenario s({"-S"});
    s.start_daemon(s.spread_block("  Log {\n    Group = web\n    File = " + s.dir.file("web.log") + "\n  }\n"), {});
    s.daemon->signal(SIGSTOP);
    std::string burst;
    for (int i = 0; i < 6000; i++)
        burst += numbered_line(i, 200);
    s.send(burst, {"web"});
    ASSERT_TRUE(wait_until([&] { return s.spread.err().find("killing session") != std::string::npos; }))
        << s.spread.err();
    s.daemon->signal(SIGCONT);
    const std::string said = "Lost the session with spread daemon " + std::to_string(s.port) +
                             ": messages it sent until the next join are lost (";
    ASSERT_TRUE(wait_until([&] { return s.daemon->err().find(said) != std::string::npos; })) << s.daemon->err();
    // Rejoined (the report says so once the session is back; the join went
    // out before it): a line sent now lands after what was read before.
    ASSERT_TRUE(wait_until([&] {
        s.daemon->signal(SIGUSR1);
        return s.daemon->err().find("connected=yes mailbox=", s.daemon->err().find(said)) != std::string::npos;
    })) << s.daemon->err();
    size_t before = count_lines(read_file(s.dir.file("web.log")));
    s.send(numbered_line(999999, 200), {"web"});
    ASSERT_TRUE(s.wait_lines(s.dir.file("web.log"), before + 1));
    // A report asked for now: its spread line counts the lines received in
    // both sessions and the session lost.
    auto reports = [&] {
        std::string err = s.daemon->err();
        size_t n = 0;
        for (size_t at = err.find("spread daemon="); at != std::string::npos; at = err.find("spread daemon=", at + 1))
            n++;
        return n;
    };
    size_t reported = reports();
    s.daemon->signal(SIGUSR1);
    ASSERT_TRUE(wait_until([&] { return reports() > reported; })) << s.daemon->err();
    std::string err = s.daemon->err();
    size_t at = err.rfind("spread daemon=");
    std::string line = err.substr(at, err.find('\n', at) - at);
    EXPECT_NE(line.find(" received=" + std::to_string(before + 1) + " "), std::string::npos) << line;
    EXPECT_TRUE(std::regex_search(line, std::regex(" taken=[0-9]+ held=0 max_held_bytes=[0-9]+ sessions_lost=1$")))
        << line;
    s.terminate_daemon();
    err = s.daemon->err();
    EXPECT_EQ(err.find("unaccounted for"), std::string::npos) << err;
    // What landed is a whole prefix of the burst (the lines the socket held
    // when the daemon dropped the session), then the line sent after.
    std::string landed = read_file(s.dir.file("web.log"));
    ASSERT_GT(before, 0u);
    ASSERT_LT(before, 6000u);
    EXPECT_EQ(landed, burst.substr(0, before * 200) + numbered_line(999999, 200));
}
