// The metrics file through a hand-over, as processes: every configured
// output has its series from the first file on; the counters of the file
// the new daemon writes are never lower than those of the old one's (read
// by prometheus_client's parser), the start time is kept and the hand-over
// counted; the final file at SIGTERM says no session is up.
#include <gtest/gtest.h>

#include <map>
#include <regex>

#include "daemon/options.h"
#include "support/scenario.h"

using namespace wkp_test;

namespace {

const std::string python = "/usr/bin/python3";

std::string unhex(const std::string &hex)
{
    std::string text;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        text += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    return text;
}

// The samples of a stats file as the parser read them: "name{k=v,...}"
// (labels sorted) -> value. Empty when it did not parse.
std::map<std::string, double> samples(const std::string &path)
{
    std::map<std::string, double> all;
    Process p;
    run(p, {python, source("tests/support/prometheus_samples.py"), path});
    EXPECT_EQ(p.exit_code(), 0) << p.err();
    std::istringstream in(p.out());
    for (std::string line; std::getline(in, line);) {
        std::vector<std::string> f;
        std::istringstream fields(line);
        for (std::string field; std::getline(fields, field, '\t');)
            f.push_back(field);
        if (f.size() < 3 || f[0] != "S")
            continue;
        std::string key = f[1] + "{";
        for (size_t i = 3; i < f.size(); i++) {
            size_t eq = f[i].find('=');
            key += f[i].substr(0, eq) + "=" + unhex(f[i].substr(eq + 1)) + (i + 1 < f.size() ? "," : "");
        }
        all[key + "}"] = std::stod(f[2]);
    }
    return all;
}

std::string log_block(const std::string &group, const std::string &item)
{
    return "  Log {\n    Group = " + group + "\n    " + item + "\n  }\n";
}

}  // namespace

TEST(MetricsHandover, CountersGoOnThroughAHandOver)
{
    Scenario s;
    Subreaper reaper;
    std::string stats = s.dir.file("wickerpost.prom");
    mkdir(s.dir.file("vh").c_str(), 0755);
    std::string g = s.dir.file("g.log");
    s.start_daemon("StatsFile = " + stats + "\nStatsInterval = 1\n" +
                   s.spread_block(log_block("g", "File = " + g) +
                                  log_block("p", "File = '|cat >>" + s.dir.file("piped.log") + "'") +
                                  log_block("v", "VhostDir = " + s.dir.file("vh")) +
                                  log_block("d", "DatedFile = " + s.dir.file("d-%Y%m%d.log"))));
    ASSERT_TRUE(wait_until([&] { return file_exists(stats); }));

    // The first file: every output, none of them used yet but g.
    std::map<std::string, double> first = samples(stats);
    std::set<std::string> outputs;
    for (const auto &[key, value] : first)
        if (key.starts_with("wickerpost_output_written_messages_total{"))
            outputs.insert(key);
    EXPECT_EQ(outputs.size(), 4u) << "each configured output from the first file on";
    EXPECT_EQ(first.count("wickerpost_build_info{version=" + std::string(wickerpost_version) + "}"), 1u);
    EXPECT_EQ(first["wickerpost_handovers_total{result=done}"], 0);

    std::string text;
    for (int i = 0; i < 100; i++)
        text += "line " + std::to_string(i) + "\n";
    s.send(text, {"g", "p"});
    std::string g_written = "wickerpost_output_written_messages_total{kind=file,output=" + g + "}";
    ASSERT_TRUE(wait_until([&] { return samples(stats)[g_written] >= 100; }));
    std::map<std::string, double> before = samples(stats);

    pid_t old = s.daemon->pid;
    kill(old, SIGUSR2);
    ASSERT_TRUE(s.daemon->wait());
    ASSERT_TRUE(wait_until([&] { return samples(stats)["wickerpost_handovers_total{result=done}"] == 1; }))
        << s.daemon->err();
    std::map<std::string, double> after = samples(stats);
    for (const auto &[key, value] : before) {
        if (!key.starts_with("wickerpost_") || key.find("_total{") == std::string::npos)
            continue;
        ASSERT_EQ(after.count(key), 1u) << key;
        EXPECT_GE(after[key], value) << key << ": a counter never lower after the hand-over";
    }
    EXPECT_EQ(after["wickerpost_start_time_seconds{}"], before["wickerpost_start_time_seconds{}"]);
    EXPECT_EQ(after["wickerpost_spread_connected{daemon=" + std::to_string(s.port) + "}"], 1);
    for (const std::string &name : entries(s.dir.path))
        EXPECT_FALSE(name.ends_with(".tmp")) << name << " left behind";

    std::smatch m;
    std::string err = s.daemon->err();
    ASSERT_TRUE(std::regex_search(err, m, std::regex("Handed over to new daemon ([0-9]+)")));
    pid_t next = std::stoi(m[1]);
    kill(next, SIGTERM);
    ASSERT_TRUE(wait_until([&] { return ended(next); }));
    std::map<std::string, double> last = samples(stats);
    EXPECT_EQ(last["wickerpost_spread_connected{daemon=" + std::to_string(s.port) + "}"], 0) << "the final file";
    EXPECT_GE(last[g_written], 100);
}
