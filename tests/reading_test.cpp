// Reading from Spread never waits for the loop: no stall of output work,
// no Spread daemon that stopped answering, no SIGTERM loses what was read.
// Real processes: minispread (with -S, the real daemon's policy of
// disconnecting a session with 1000 queued messages), wickerpost, spcat.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <chrono>
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

}  // namespace

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
    EXPECT_TRUE(wait_until([&] { return zombie_children(s.daemon->pid).empty(); }, 3000))
        << zombie_children(s.daemon->pid)[0];
    s.terminate_daemon();
}
