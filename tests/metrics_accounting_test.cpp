// Every message the daemon received, counted where it ended in the metrics
// file: written, filtered, dropped (too long among them), per output, per
// group and per connection, against what the files hold and what the
// daemon said. Real processes: minispread, wickerpost, spcat; every file is
// read by the prometheus_client library's parser.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <set>
#include <sstream>

#include "support/metrics.h"
#include "support/scenario.h"

using namespace wkp_test;

namespace {

// The lines of the daemon's standard error "Dropped N messages for PATH:
// REASON", summed.
unsigned long dropped_said(const std::string &err, const std::string &path, const std::string &reason)
{
    unsigned long total = 0;
    std::istringstream in(err);
    const std::string tail = " messages for " + path + ": " + reason;
    for (std::string line; std::getline(in, line);)
        if (line.rfind("Dropped ", 0) == 0 && line.size() > tail.size() &&
            line.compare(line.size() - tail.size(), tail.size(), tail) == 0)
            total += std::stoul(line.substr(8));
    return total;
}

// The sum of a counter over the outputs among `paths` (every kind and
// reason).
unsigned long long sum_over(const Parsed &m, const std::string &name, const std::set<std::string> &paths)
{
    unsigned long long total = 0;
    for (const Sample &s : m.samples)
        if (s.name == name && paths.count(s.labels.at("output")))
            total += std::stoull(s.value);
    return total;
}

}  // namespace

// Every message received is counted where it ended: with Match in several
// outputs on two connections, a receive buffer of 200 bytes and lines
// longer than that, a refused vhost name, for each connection received =
// written + dropped + filtered over its own outputs, with its own dropped
// series; per output the filtered and too_long counts are the lines sent
// that way; per group the received count is what was sent to it. The
// over-long lines are said on standard error without -x.
TEST(Metrics, EveryMessageAccountedFor)
{
    Scenario s;
    int remote_port = free_port();
    Process remote;
    ASSERT_TRUE(remote.start({bin("minispread"), "-p", std::to_string(remote_port)}));
    ASSERT_TRUE(wait_until([&] { return file_exists("/tmp/" + std::to_string(remote_port)); }));
    mkdir(s.dir.file("vhosts").c_str(), 0755);
    const std::string stats = s.dir.file("wickerpost.prom"), web = s.dir.file("web.log"), api = s.dir.file("api.log"),
                      vhosts = s.dir.file("vhosts"), plain = s.dir.file("plain.log"),
                      remote_web = s.dir.file("remote-web.log"), remote_all = s.dir.file("remote-all.log");
    const std::string remote_daemon = std::to_string(remote_port) + "@127.0.0.1";
    time_t before = time(nullptr);
    s.start_daemon("StatsFile = " + stats + "\nStatsInterval = 1\n" +
                       s.spread_block("  Log {\n    Group = web\n    File = " + web +
                                      "\n    Match = ^GET\n    Match = POST\n  }\n"
                                      "  Log {\n    Group = api\n    File = " + api + "\n    Match = error\n  }\n"
                                      "  Log {\n    Group = vh\n    VhostDir = " + vhosts + "\n  }\n"
                                      "  Log {\n    Group = plain\n    File = " + plain + "\n  }\n") +
                       "Spread {\n  Port = " + std::to_string(remote_port) + "\n  Host = 127.0.0.1\n" +
                       "  Log {\n    Group = web\n    File = " + remote_web + "\n    Match = GET\n  }\n" +
                       "  Log {\n    Group = all\n    File = " + remote_all + "\n  }\n}\n",
                   {"-b", "200"}, {}, 2);

    const std::string long_get = "GET /" + std::string(300, 'x') + "\n";
    struct Sent {
        std::string group, text;
        bool remote;
    } sent[] = {
        {"web", "GET /a\nPUT /b\nx POST /c\nDELETE /d\n" + long_get + "HEAD /e\n" + long_get, false},
        {"api", "ok 1\nerror 2\nok 3\n" + std::string(250, 'e') + "\nok 4\n", false},
        {"vh", "a.example one\n.. refused\nb.example two\n", false},
        {"plain", "one\ntwo\n", false},
        {"web", "GET /r1\nPOST /r2\n" + long_get + "GET /r3\n", true},
        {"all", "x\ny\n", true},
    };
    for (const Sent &m : sent) {
        if (m.remote)
            s.send(m.text, {m.group}, remote_daemon);
        else
            s.send(m.text, {m.group});
    }
    const Labels local{{"daemon", std::to_string(s.port)}}, distant{{"daemon", remote_daemon}};
    StatsReader reader{stats};
    ASSERT_TRUE(reader.wait_for([&](const Parsed &m) {
        return m.value("wickerpost_spread_received_messages_total", local) == "17" &&
               m.value("wickerpost_spread_received_messages_total", distant) == "6";
    })) << reader.last.error << s.daemon->err();
    // The batches are written before each file is: the files hold what the
    // counters say by now.
    time_t after = time(nullptr);
    const Parsed &m = reader.last;

    EXPECT_EQ(read_file(web), "GET /a\nx POST /c\n");
    EXPECT_EQ(read_file(api), "error 2\n");
    EXPECT_EQ(read_file(plain), "one\ntwo\n");
    EXPECT_EQ(read_file(remote_web), "GET /r1\nGET /r3\n");
    EXPECT_EQ(read_file(remote_all), "x\ny\n");

    struct Expected {
        std::string path, kind;
        const Labels &daemon;
        unsigned long written, filtered, too_long, refused;
    } outputs[] = {
        {web, "file", local, 2, 3, 2, 0},       {api, "file", local, 1, 3, 1, 0},
        {vhosts, "vhost_directory", local, 2, 0, 0, 1}, {plain, "file", local, 2, 0, 0, 0},
        {remote_web, "file", distant, 2, 1, 1, 0}, {remote_all, "file", distant, 2, 0, 0, 0},
    };
    for (const Expected &e : outputs) {
        SCOPED_TRACE(e.path);
        Labels o = output_labels(e.path, e.kind);
        EXPECT_EQ(m.value("wickerpost_output_written_messages_total", o), std::to_string(e.written));
        EXPECT_EQ(m.value("wickerpost_output_filtered_messages_total", o), std::to_string(e.filtered));
        Labels too_long = o, refused = o;
        too_long["reason"] = "too_long";
        refused["reason"] = "refused_vhost_name";
        EXPECT_EQ(m.value("wickerpost_output_dropped_messages_total", too_long), std::to_string(e.too_long));
        EXPECT_EQ(m.value("wickerpost_output_dropped_messages_total", refused), std::to_string(e.refused));
        // Written since the daemon started, to the second.
        double last = std::stod(m.value("wickerpost_output_last_write_timestamp_seconds", o));
        EXPECT_GE(last, static_cast<double>(before));
        EXPECT_LE(last, static_cast<double>(after + 1));
    }

    // The sum, per connection, over its own outputs.
    struct Connection {
        const Labels &daemon;
        std::set<std::string> paths;
    } connections[] = {{local, {web, api, vhosts, plain}}, {distant, {remote_web, remote_all}}};
    for (const Connection &c : connections) {
        SCOPED_TRACE(c.daemon.at("daemon"));
        unsigned long long spread_dropped = 0;
        for (const char *reason : spread_reasons) {
            Labels l = c.daemon;
            l["reason"] = reason;
            std::string v = m.value("wickerpost_spread_dropped_messages_total", l);
            ASSERT_NE(v, "") << reason;
            spread_dropped += std::stoull(v);
        }
        unsigned long long received = std::stoull(m.value("wickerpost_spread_received_messages_total", c.daemon));
        EXPECT_EQ(received, sum_over(m, "wickerpost_output_written_messages_total", c.paths) +
                                sum_over(m, "wickerpost_output_dropped_messages_total", c.paths) +
                                sum_over(m, "wickerpost_output_filtered_messages_total", c.paths) + spread_dropped);
    }

    // Per group, on its connection (the two web groups apart).
    struct Group {
        const Labels &daemon;
        std::string group, count;
    } groups[] = {{local, "web", "7"},   {local, "api", "5"},     {local, "vh", "3"},
                  {local, "plain", "2"}, {distant, "web", "4"}, {distant, "all", "2"}};
    for (const Group &g : groups) {
        Labels l = g.daemon;
        l["group"] = g.group;
        EXPECT_EQ(m.value("wickerpost_group_received_messages_total", l), g.count) << l["daemon"] << " " << g.group;
    }
    EXPECT_EQ(m.count("wickerpost_group_received_messages_total"), std::size(groups));

    // No -x: the over-long lines are said all the same, once each output
    // and reason at once, the rest at SIGTERM.
    s.terminate_daemon();
    remote.signal(SIGTERM);
    remote.wait();
    std::string err = s.daemon->err();
    EXPECT_EQ(dropped_said(err, web, "too long"), 2u) << err;
    EXPECT_EQ(dropped_said(err, api, "too long"), 1u) << err;
    EXPECT_EQ(dropped_said(err, remote_web, "too long"), 1u) << err;
    EXPECT_EQ(err.find("Error receiving"), std::string::npos) << err;
}

// A line longer than the default BufferSize (8192 bytes), and one of the
// largest a Spread daemon takes, are not written and the lines around them
// are; each is counted as received and dropped as too_long, and said at
// once without -x.
TEST(Metrics, OverLongMessagesAreCountedAndSaid)
{
    Scenario s;
    const std::string stats = s.dir.file("wickerpost.prom"), log = s.dir.file("web.log");
    s.start_daemon("StatsFile = " + stats + "\nStatsInterval = 1\n" +
                       s.spread_block("  Log {\n    Group = web\n    File = " + log + "\n  }\n"),
                   {});
    s.send("before\n" + std::string(9999, 'a') + "\n", {"web"});
    const std::string said = "Dropped 1 messages for " + log + ": too long\n";
    ASSERT_TRUE(wait_until([&] { return s.daemon->err().find(said) != std::string::npos; })) << s.daemon->err();
    s.send(std::string(140000, 'b') + "\nafter\n", {"web"});
    StatsReader reader{stats};
    Labels too_long = output_labels(log, "file");
    too_long["reason"] = "too_long";
    ASSERT_TRUE(reader.wait_for([&](const Parsed &m) {
        return m.value("wickerpost_spread_received_messages_total", {{"daemon", std::to_string(s.port)}}) == "4";
    })) << reader.last.error;
    EXPECT_EQ(reader.last.value("wickerpost_output_dropped_messages_total", too_long), "2");
    EXPECT_EQ(reader.last.value("wickerpost_output_written_messages_total", output_labels(log, "file")), "2");
    EXPECT_EQ(read_file(log), "before\nafter\n");
    s.terminate_daemon();
    EXPECT_EQ(dropped_said(s.daemon->err(), log, "too long"), 2u) << s.daemon->err();
}
