// Hand-over on SIGUSR2, as processes (minispread, wickerpost, spcat): a
// new daemon started beside the running one takes the work over at an
// exact cut of each Spread connection, so that steady streams of lines,
// sent on every service level, land in every kind of output exactly once
// and in order; a configuration that does not load leaves the running
// daemon logging; a new configuration adds and drops groups; SIGTERM
// during a hand-over stops both daemons.
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <regex>
#include <thread>

#include "support/scenario.h"
#include "support/stream.h"

using namespace wkp_test;

namespace {

std::string log_block(const std::string &group, const std::string &item)
{
    return "  Log {\n    Group = " + group + "\n    " + item + "\n  }\n";
}

std::string numbered(const std::string &tag, int i)
{
    char text[64];
    snprintf(text, sizeof text, "%s %07d\n", tag.c_str(), i);
    return text;
}

// The number of times `text` occurs in `in`.
size_t occurrences(const std::string &in, const std::string &text)
{
    size_t n = 0;
    for (size_t at = in.find(text); at != std::string::npos; at = in.find(text, at + 1))
        n++;
    return n;
}

// The daemons of a scenario as they hand over: the one started by the test
// first (s.daemon), then each one that took over (not our children: we
// adopt them as a subreaper, and end them at the end).
struct Daemons {
    Scenario &s;
    Subreaper reaper;
    pid_t current;
    std::vector<pid_t> taken_over;

    explicit Daemons(Scenario &scenario) : s(scenario), current(scenario.daemon->pid) {}
    ~Daemons()
    {
        if (current != s.daemon->pid && !ended(current)) {
            kill(current, SIGTERM);
            wait_until([&] { return ended(current); }, 120000);
        }
    }

    std::string err() const { return s.daemon->err(); }

    // The pid of the n-th "Handing over to new daemon" line (0-based), or
    // -1 until there is one.
    pid_t started(size_t n) const
    {
        static const std::regex line("Handing over to new daemon ([0-9]+)\n");
        std::string text = err();
        size_t k = 0;
        for (auto it = std::sregex_iterator(text.begin(), text.end(), line); it != std::sregex_iterator(); ++it, ++k)
            if (k == n)
                return std::stoi((*it)[1]);
        return -1;
    }

    // SIGUSR2 to the current daemon; waits until the new one took over and
    // the old one ended. Returns the new pid.
    pid_t hand_over()
    {
        size_t before = occurrences(err(), "Handing over to new daemon ");
        kill(current, SIGUSR2);
        pid_t next = -1;
        EXPECT_TRUE(wait_until([&] { return (next = started(before)) > 0; })) << err();
        std::string took = "Took over from daemon " + std::to_string(current) + "\n";
        EXPECT_TRUE(wait_until([&] { return err().find(took) != std::string::npos; })) << err();
        EXPECT_TRUE(wait_until([&] { return ended(current); }));
        if (current == s.daemon->pid) {
            EXPECT_TRUE(s.daemon->wait());
            EXPECT_EQ(s.daemon->exit_code(), 0);
        }
        EXPECT_NE(err().find("Handed over to new daemon " + std::to_string(next) + ", exiting.\n"), std::string::npos);
        current = next;
        taken_over.push_back(next);
        return next;
    }

    // SIGUSR2 with a configuration that does not load: the new daemon
    // reports it and exits 255; the current one says so and goes on.
    void failed_hand_over()
    {
        size_t before = occurrences(err(), "Handing over to new daemon ");
        kill(current, SIGUSR2);
        pid_t next = -1;
        ASSERT_TRUE(wait_until([&] { return (next = started(before)) > 0; })) << err();
        std::string failed = "Hand-over failed: new daemon " + std::to_string(next) + " exited with status 255\n";
        ASSERT_TRUE(wait_until([&] { return err().find(failed) != std::string::npos; })) << err();
        EXPECT_FALSE(ended(current));
    }

    // SIGTERM to the current daemon, and its end.
    void stop()
    {
        if (current == s.daemon->pid) {
            s.terminate_daemon();
            return;
        }
        kill(current, SIGTERM);
        EXPECT_TRUE(wait_until([&] { return ended(current); }, 120000));
    }
};

// Three hand-overs during steady streams, the third with a configuration
// that does not load: every output holds every line once and in order,
// the process changed twice, the failure was reported and the daemon
// that stayed went on logging.
// The daemon runs already (started before the streams, so that it holds
// none of their pipes). `outputs` are the files to check; expected(k,
// sent) is what output k must hold once the streams sent sent[0],
// sent[1]... lines.
void streams_through_three_hand_overs(Scenario &s, const std::string &config,
                                      std::vector<std::unique_ptr<Stream>> &streams,
                                      const std::vector<std::string> &outputs,
                                      const std::function<std::string(size_t k, const std::vector<int> &sent)> &expected)
{
    Daemons d(s);
    pid_t first = d.current;
    auto landed = [&](size_t lines) {
        for (const std::string &path : outputs)
            if (!s.wait_lines(path, lines))
                return false;
        return true;
    };

    size_t mark = 300;
    ASSERT_TRUE(landed(mark));
    pid_t second = d.hand_over();
    ASSERT_TRUE(landed(mark += 300));
    pid_t third = d.hand_over();
    ASSERT_TRUE(landed(mark += 300));
    write_file(s.dir.file("wickerpost.conf"), config + "Spread {\n  Port = \n}\n");
    d.failed_hand_over();
    EXPECT_NE(d.err().find("Parser error on or before line "), std::string::npos) << d.err();
    write_file(s.dir.file("wickerpost.conf"), config);
    ASSERT_TRUE(landed(mark += 300)) << "the daemon that stayed goes on logging";

    std::vector<int> sent;
    for (auto &stream : streams)
        sent.push_back(stream->stop());
    for (size_t k = 0; k < outputs.size(); k++) {
        const std::string &path = outputs[k];
        std::string want = expected(k, sent);
        EXPECT_TRUE(wait_until([&] { return read_file(path).size() >= want.size(); })) << path;
        std::string got = read_file(path);
        EXPECT_EQ(count_lines(got), count_lines(want)) << path;
        EXPECT_TRUE(got == want) << path << ": every line once, in order";
    }
    EXPECT_NE(first, second);
    EXPECT_NE(second, third);
    EXPECT_EQ(d.current, third);
    EXPECT_EQ(occurrences(d.err(), "Took over from daemon "), 2u) << d.err();
    d.stop();
}

}  // namespace

// A plain file, 2,000 lines/s.
TEST(Handover, SteadyStreamThroughThreeHandOvers)
{
    Scenario s;
    std::string config = s.spread_block(log_block("g", "File = " + s.dir.file("g.log")));
    s.start_daemon(config);
    std::vector<std::unique_ptr<Stream>> streams;
    auto line = [](int i) { return numbered("g", i); };
    streams.push_back(std::make_unique<Stream>(s, std::vector<std::string>{"g"}, line, 20));
    streams_through_three_hand_overs(s, config, streams, {s.dir.file("g.log")},
                                     [&](size_t, const std::vector<int> &sent) { return streams[0]->lines(0, sent[0]); });
}

// A piped command (appending to a file of its own) and per-vhost files
// (three hosts), a stream each: the command's file and each vhost file
// hold every line once and in order.
TEST(Handover, PipedCommandAndVhostFilesThroughThreeHandOvers)
{
    Scenario s;
    mkdir(s.dir.file("vh").c_str(), 0755);
    std::string config = s.spread_block(log_block("p", "File = '|cat >>" + s.dir.file("piped.log") + "'") +
                                        log_block("v", "VhostDir = " + s.dir.file("vh")));
    s.start_daemon(config);
    std::vector<std::unique_ptr<Stream>> streams;
    auto piped = [](int i) { return numbered("p", i); };
    auto vhost = [](int i) { return "host" + std::to_string(i % 3) + ".example " + numbered("v", i); };
    streams.push_back(std::make_unique<Stream>(s, std::vector<std::string>{"p"}, piped, 20));
    streams.push_back(std::make_unique<Stream>(s, std::vector<std::string>{"v"}, vhost, 30));
    std::vector<std::string> outputs{s.dir.file("piped.log")};
    for (int h = 0; h < 3; h++)
        outputs.push_back(s.dir.file("vh/host" + std::to_string(h) + ".example"));
    streams_through_three_hand_overs(s, config, streams, outputs, [&](size_t k, const std::vector<int> &sent) {
        if (k == 0)
            return streams[0]->lines(0, sent[0]);
        std::string text;
        for (int i = 0; i < sent[1]; i++)
            if (i % 3 == (int)k - 1)
                text += numbered("v", i);
        return text;
    });
}

// The new configuration drops group a, keeps b and adds c, each with a
// steady stream: b's file holds every line once and in order; a's holds a
// first part of its stream (up to the cut), c's a last part (from the new
// daemon's join on), each without a gap or a line twice.
TEST(Handover, NewConfigurationAddsOneGroupAndDropsAnother)
{
    Scenario s;
    auto file = [&](const std::string &g) { return "File = " + s.dir.file(g + ".log"); };
    s.start_daemon(s.spread_block(log_block("a", file("a")) + log_block("b", file("b"))));
    Daemons d(s);
    std::map<std::string, std::unique_ptr<Stream>> streams;
    for (std::string g : {"a", "b", "c"})
        streams[g] = std::make_unique<Stream>(s, std::vector<std::string>{g}, [g](int i) { return numbered(g, i); }, 10);
    ASSERT_TRUE(s.wait_lines(s.dir.file("b.log"), 200));
    write_file(s.dir.file("wickerpost.conf"), s.spread_block(log_block("b", file("b")) + log_block("c", file("c"))));
    d.hand_over();
    ASSERT_TRUE(s.wait_lines(s.dir.file("c.log"), 200));
    std::map<std::string, int> sent;
    for (auto &[g, stream] : streams)
        sent[g] = stream->stop();

    std::string b = streams["b"]->lines(0, sent["b"]);
    EXPECT_TRUE(wait_until([&] { return read_file(s.dir.file("b.log")).size() >= b.size(); }));
    EXPECT_TRUE(read_file(s.dir.file("b.log")) == b) << "b: every line once, in order";
    std::string a = read_file(s.dir.file("a.log"));
    size_t a_lines = count_lines(a);
    EXPECT_GT(a_lines, 0u);
    EXPECT_LT(a_lines, (size_t)sent["a"]);
    EXPECT_EQ(a, streams["a"]->lines(0, (int)a_lines)) << "a: its lines up to the cut";
    std::string c = streams["c"]->lines(0, sent["c"]);
    EXPECT_TRUE(wait_until([&] { return c.ends_with(read_file(s.dir.file("c.log"))) && count_lines(read_file(s.dir.file("c.log"))) > 200; }));
    std::string c_got = read_file(s.dir.file("c.log"));
    EXPECT_LT(count_lines(c_got), (size_t)sent["c"]);
    EXPECT_TRUE(c.ends_with(c_got)) << "c: its lines from the join on";
    d.stop();
}

// A sender on each service level, unreliable to safe, into one group,
// around two cuts: the file holds each sender's lines once and in order.
TEST(Handover, EveryServiceLevelAroundTheCut)
{
    Scenario s;
    s.start_daemon(s.spread_block(log_block("g", "File = " + s.dir.file("g.log"))));
    Daemons d(s);
    const std::vector<std::string> services{"unreliable", "reliable", "fifo", "causal", "agreed", "safe"};
    std::vector<std::unique_ptr<Stream>> streams;
    for (const std::string &svc : services)
        streams.push_back(std::make_unique<Stream>(s, std::vector<std::string>{"g"},
                                                   [svc](int i) { return numbered(svc, i); }, 5, svc));
    ASSERT_TRUE(s.wait_lines(s.dir.file("g.log"), 600));
    d.hand_over();
    ASSERT_TRUE(s.wait_lines(s.dir.file("g.log"), 1200));
    d.hand_over();
    ASSERT_TRUE(s.wait_lines(s.dir.file("g.log"), 1800));
    std::vector<int> sent;
    size_t total = 0;
    for (auto &stream : streams)
        total += (size_t)(sent.emplace_back(stream->stop()));
    ASSERT_TRUE(s.wait_lines(s.dir.file("g.log"), total));
    std::map<std::string, std::string> by_service;
    std::istringstream in(read_file(s.dir.file("g.log")));
    for (std::string line; std::getline(in, line);)
        by_service[line.substr(0, line.find(' '))] += line + "\n";
    for (size_t k = 0; k < services.size(); k++)
        EXPECT_TRUE(by_service[services[k]] == streams[k]->lines(0, sent[k])) << services[k] << ": once, in order";
    EXPECT_EQ(count_lines(read_file(s.dir.file("g.log"))), total);
    d.stop();
}

// While the new daemon still reads its configuration (its open of one new
// file is held for a while): a second SIGUSR2 is refused with a message,
// and SIGTERM to the running daemon stops both; every line sent before it
// is in the file once.
TEST(Handover, SecondSignalRefusedAndSigtermStopsBoth)
{
    Scenario s;
    std::string kept = log_block("g", "File = " + s.dir.file("g.log"));
    s.start_daemon(s.spread_block(kept), {"-x"},
                   {"LD_PRELOAD=" + bin("tests/libstall_open.so"), "WKP_STALL_OPEN=stalled.log", "WKP_STALL_MS=60000"});
    Daemons d(s);
    s.send("before 1\nbefore 2\n", {"g"});
    ASSERT_TRUE(s.wait_lines(s.dir.file("g.log"), 2));
    write_file(s.dir.file("wickerpost.conf"), s.spread_block(kept + log_block("h", "File = " + s.dir.file("stalled.log"))));
    kill(d.current, SIGUSR2);
    pid_t next = -1;
    ASSERT_TRUE(wait_until([&] { return (next = d.started(0)) > 0; })) << d.err();
    ASSERT_TRUE(wait_until([&] {
        std::string call = read_file("/proc/" + std::to_string(next) + "/syscall");
        return call.starts_with("230 ") || call.starts_with("35 ");  // clock_nanosleep, nanosleep
    }));
    kill(d.current, SIGUSR2);
    ASSERT_TRUE(wait_until([&] { return d.err().find("Hand-over in progress, SIGUSR2 ignored\n") != std::string::npos; }))
        << d.err();
    s.send("during\n", {"g"});
    ASSERT_TRUE(s.wait_lines(s.dir.file("g.log"), 3));
    s.terminate_daemon();
    EXPECT_TRUE(wait_until([&] { return ended(next); }));
    EXPECT_EQ(read_file(s.dir.file("g.log")), "before 1\nbefore 2\nduring\n");
    EXPECT_EQ(d.err().find("Took over"), std::string::npos) << d.err();
}

// Detached (no -D): the daemon that took over rewrites the pid file.
TEST(Handover, DetachedDaemonRewritesThePidFile)
{
    const std::string pid_file = "/var/run/wickerpost.pid";
    Scenario s;
    Subreaper reaper;
    unlink(pid_file.c_str());
    write_file(s.dir.file("wickerpost.conf"), s.spread_block(log_block("g", "File = " + s.dir.file("g.log"))));
    Process starter;
    ASSERT_TRUE(starter.start({bin("wickerpost"), "-c", s.dir.file("wickerpost.conf")}));
    ASSERT_TRUE(starter.wait());
    ASSERT_TRUE(wait_until([&] { return !read_file(pid_file).empty(); }));
    pid_t old = std::stoi(read_file(pid_file));
    // The pid file comes before the joins: "one" is sent until it lands.
    ASSERT_TRUE(wait_until([&] {
        if (!read_file(s.dir.file("g.log")).empty())
            return true;
        s.send("one\n", {"g"});
        return false;
    }));
    kill(old, SIGUSR2);
    ASSERT_TRUE(wait_until([&] { return ended(old) && read_file(pid_file) != std::to_string(old); }));
    pid_t next = std::stoi(read_file(pid_file));
    EXPECT_FALSE(ended(next));
    s.send("two\n", {"g"});
    ASSERT_TRUE(wait_until([&] { return read_file(s.dir.file("g.log")).ends_with("two\n"); }));
    std::string got = read_file(s.dir.file("g.log"));
    EXPECT_TRUE(std::regex_match(got, std::regex("(one\n)+two\n"))) << got;
    kill(next, SIGTERM);
    EXPECT_TRUE(wait_until([&] { return ended(next); }));
    unlink(pid_file.c_str());
}

// Log rotation in the middle of a hand-over: SIGHUP reaches the running
// daemon while the new one still reads its configuration (its open of a
// new file is held for 2 s). The running daemon reopens and passes the
// signal on; the new one, which cannot act on it yet, keeps it and reopens
// once it took over: the file moved away holds the lines before, the new
// file the lines after, each once.
TEST(Handover, SighupDuringAHandOverReopensInTheNewDaemon)
{
    Scenario s;
    std::string kept = log_block("g", "File = " + s.dir.file("g.log"));
    s.start_daemon(s.spread_block(kept), {"-x"},
                   {"LD_PRELOAD=" + bin("tests/libstall_open.so"), "WKP_STALL_OPEN=stalled.log", "WKP_STALL_MS=2000"});
    Daemons d(s);
    s.send("before\n", {"g"});
    ASSERT_TRUE(s.wait_lines(s.dir.file("g.log"), 1));
    write_file(s.dir.file("wickerpost.conf"), s.spread_block(kept + log_block("h", "File = " + s.dir.file("stalled.log"))));
    kill(d.current, SIGUSR2);
    pid_t next = -1;
    ASSERT_TRUE(wait_until([&] { return (next = d.started(0)) > 0; })) << d.err();
    ASSERT_TRUE(wait_until([&] {
        std::string call = read_file("/proc/" + std::to_string(next) + "/syscall");
        return call.starts_with("230 ") || call.starts_with("35 ");  // clock_nanosleep, nanosleep
    }));
    ASSERT_EQ(rename(s.dir.file("g.log").c_str(), s.dir.file("g.log.1").c_str()), 0);
    kill(d.current, SIGHUP);
    ASSERT_TRUE(wait_until([&] { return d.err().find("Took over from daemon ") != std::string::npos; })) << d.err();
    d.current = next;
    EXPECT_FALSE(ended(next));
    s.send("after\n", {"g"});
    EXPECT_TRUE(s.wait_lines(s.dir.file("g.log"), 1));
    EXPECT_EQ(read_file(s.dir.file("g.log.1")), "before\n");
    EXPECT_EQ(read_file(s.dir.file("g.log")), "after\n");
    d.stop();
}
