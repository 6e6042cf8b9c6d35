// The status report on SIGUSR1, after a known stream: per connection and
// per output, with the drops of a refused vhost name and of a full pipe
// backlog. Real processes: minispread, wickerpost, spcat.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <chrono>
#include <map>
#include <regex>
#include <thread>

#include "support/scenario.h"

using namespace wkp_test;

namespace {

// The key=value pairs of the first line of `report` that starts with
// `prefix`; empty when there is none.
std::map<std::string, std::string> status_line(const std::string &report, const std::string &prefix)
{
    std::map<std::string, std::string> pairs;
    size_t at = report.find("\n" + prefix);
    if (at == std::string::npos)
        return pairs;
    std::string line = report.substr(at + 1, report.find('\n', at + 1) - at - 1);
    std::regex pair(R"(([a-z_]+)=("(?:[^"\\]|\\.)*"|[^ ]*))");
    for (auto it = std::sregex_iterator(line.begin(), line.end(), pair); it != std::sregex_iterator(); ++it)
        pairs[(*it)[1]] = (*it)[2];
    return pairs;
}

unsigned long number(std::map<std::string, std::string> &pairs, const std::string &key)
{
    return std::stoul(pairs.at(key));
}

}  // namespace

TEST(Status, SigusrOneReportsWhatTheDaemonDid)
{
    Scenario s;
    mkdir(s.dir.file("vhosts").c_str(), 0755);
    // The piped command never reads: its pipe and then its backlog fill.
    s.start_daemon(s.spread_block("  Log {\n    Group = web\n    File = " + s.dir.file("web.log") +
                                  "\n  }\n  Log {\n    Group = vh\n    VhostDir = " + s.dir.file("vhosts") +
                                  "\n  }\n  Log {\n    Group = stuck\n    File = '|exec sleep 1000'\n  }\n"),
                   {});
    std::string lines;
    for (int i = 0; i < 10; i++)
        lines += "line " + std::to_string(i) + "\n";
    s.send(lines, {"web"});
    s.send("a.example one\nb.example two\na.example three\n.. four\nx/y five\n", {"vh"});
    const int stuck = 5000;
    std::string big;
    for (int i = 0; i < stuck; i++) {
        std::string line = std::to_string(i) + " ";
        big += line + std::string(999 - line.size(), 'x') + "\n";  // 1000 bytes each
    }
    s.send(big, {"stuck"});
    ASSERT_TRUE(s.wait_lines(s.dir.file("web.log"), 10));
    ASSERT_TRUE(s.wait_lines(s.dir.file("vhosts/a.example"), 2));

    // Asks for reports until one is written, whole, after every message was
    // received: its last line, the piped command's, ends in a newline.
    const std::string pipe_prefix = "output path=\"|exec sleep 1000\" ";
    std::string report;
    ASSERT_TRUE(wait_until([&] {
        s.daemon->signal(SIGUSR1);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        std::string err = s.daemon->err();
        size_t at = err.rfind("spread daemon=");
        if (at == std::string::npos)
            return false;
        report = "\n" + err.substr(at);
        size_t last = report.find("\n" + pipe_prefix);
        auto spread = status_line(report, "spread ");
        return last != std::string::npos && report.find('\n', last + 1) != std::string::npos &&
               spread["received"] == std::to_string(10 + 5 + stuck);
    })) << s.daemon->err();

    auto spread = status_line(report, "spread ");
    EXPECT_EQ(spread["daemon"], std::to_string(s.port));
    EXPECT_EQ(spread["connected"], "yes");
    EXPECT_EQ(spread["reconnects"], "0");
    EXPECT_EQ(spread["buffered"], "0");

    auto web = status_line(report, "output path=" + s.dir.file("web.log") + " ");
    ASSERT_FALSE(web.empty()) << report;
    EXPECT_EQ(web["kind"], "file");
    EXPECT_EQ(web["written"], "10");
    EXPECT_EQ(web["bytes"], std::to_string(lines.size()));
    EXPECT_EQ(web["dropped"], "0");

    auto vh = status_line(report, "output path=" + s.dir.file("vhosts") + " ");
    ASSERT_FALSE(vh.empty()) << report;
    EXPECT_EQ(vh["kind"], "vhost_directory");
    EXPECT_EQ(vh["written"], "3");
    EXPECT_EQ(vh["bytes"], std::to_string(std::string("one\ntwo\nthree\n").size()));
    EXPECT_EQ(vh["refused_vhost_name"], "2");
    EXPECT_EQ(vh["dropped"], "2");

    // Every byte of the stuck command's messages is in its pipe or in its
    // backlog (at most 4 MiB; the message the pipe took in part goes on
    // from where it stopped), unless the message was dropped for a full
    // backlog.
    auto pipe = status_line(report, pipe_prefix);
    ASSERT_FALSE(pipe.empty()) << report;
    EXPECT_EQ(pipe["kind"], "command");
    unsigned long dropped = number(pipe, "backlog_full"), backlog = number(pipe, "backlog");
    EXPECT_LE(backlog, 4ul << 20);
    EXPECT_GT(backlog, (4ul << 20) - 2000);
    EXPECT_GT(dropped, 0u);
    EXPECT_EQ(number(pipe, "dropped"), dropped);
    EXPECT_EQ(number(pipe, "bytes") + backlog, (stuck - dropped) * 1000);
    EXPECT_EQ(number(pipe, "written"), number(pipe, "bytes") / 1000);
    s.terminate_daemon();
}
