// The command line and process set-up, on the real binary: usage text and
// exit statuses, the banner under option combinations, detaching with the
// pid file, and the signals that end or keep the daemon.
#include <gtest/gtest.h>

#include "support/process.h"

using namespace wkp_test;

namespace {

const std::string wickerpost = bin("wickerpost");

std::string usage_text(const std::string &program)
{
    return program +
           "\t\tVERSION: 1.4.2\n"
           " \t-c configfile\t\t[default /usr/local/etc/wickerpost.conf]\n"
           " \t-s\t\t\tskip locking (flock) files (NOT RECOMMENDED)\n"
           " \t-v\t\t\tverbose mode\n"
           " \t-x\t\t\tlog errors talking with spread\n"
           " \t-D\t\t\tdo not daemonize (debug)\n"
           " \t-V\t\t\tshow version information\n";
}

std::string banner(const std::string &config, const char *debug, const char *spread_errors, int size)
{
    return "running wickerpost as " + wickerpost + "\n\tconfigfile:\t\t" + config + "\n\tdebug:\t\t" + debug +
           "\n\tverbose:\t\tYES\n\tlog spread errors:\t" + spread_errors + "\n\tbuffer size:\t\t" +
           std::to_string(size) + "\n";
}

// A configuration that loads: one connection to a Spread daemon that is not
// running, logging one group to a file in the test's directory.
struct Config {
    TempDir dir;
    std::string path = dir.file("wickerpost.conf");
    Config(const std::string &extra = "")
    {
        write_file(path, extra + "Spread {\n  Port = " + std::to_string(free_port()) +
                             "\n  Log {\n    Group = web\n    File = " + dir.file("web.log") + "\n  }\n}\n");
    }

    // The daemon `pid` has opened its file and waits in its loop.
    bool running_loop(pid_t pid) const { return file_exists(dir.file("web.log")) && blocked_in(pid, SYS_poll); }

    // SIGHUP to the daemon `pid`, after its file was moved away: true once
    // it has handled the signal, reopening the file under its name.
    bool sighup_reopens(pid_t pid) const
    {
        if (rename(dir.file("web.log").c_str(), dir.file("web.log.1").c_str()) != 0)
            return false;
        kill(pid, SIGHUP);
        return wait_until([&] { return file_exists(dir.file("web.log")); });
    }
};

}  // namespace

TEST(CommandLine, BadOptionsPrintUsageAndExitOne)
{
    struct Case {
        std::vector<std::string> args;
        std::string getopt_message;
    } cases[] = {
        {{"-V"}, ""},
        {{"-q"}, wickerpost + ": invalid option -- 'q'\n"},
        {{"-c"}, wickerpost + ": option requires an argument -- 'c'\n"},
        {{"-v", "-D", "-V", "-c", "/nonexistent"}, ""},
    };
    for (auto &c : cases) {
        std::vector<std::string> argv{wickerpost};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        Process p;
        run(p, argv);
        SCOPED_TRACE(c.args[0]);
        EXPECT_EQ(p.exit_code(), 1);
        EXPECT_EQ(p.err(), c.getopt_message + usage_text(wickerpost));
        EXPECT_EQ(p.out(), "");
    }
}

TEST(CommandLine, BannerShowsTheEffectiveSettings)
{
    Config conf;
    struct Case {
        std::vector<std::string> args;
        std::string expected;
    } cases[] = {
        {{"-D", "-v", "-c", conf.path}, banner(conf.path, "YES", "NO", 8192)},
        {{"-D", "-v", "-x", "-b", "4096", "-c", conf.path}, banner(conf.path, "YES", "YES", 4096)},
        {{"-D", "-v", "-b", "abc", "-c", conf.path}, banner(conf.path, "YES", "NO", 0)},
        {{"-D", "-v", "-b", "-1", "-c", conf.path}, banner(conf.path, "YES", "NO", 8192)},
        {{"-D", "-v", "-c", "/nonexistent/a.conf", "-c", conf.path}, banner(conf.path, "YES", "NO", 8192)},
    };
    for (auto &c : cases) {
        std::vector<std::string> argv{wickerpost};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        SCOPED_TRACE(::testing::PrintToString(c.args));
        Process p;
        ASSERT_TRUE(p.start(argv));
        // The configuration is loaded (and its outputs listed in verbose
        // mode) before the banner.
        const std::string listing = "LogFacility: web\n\tFile: " + conf.dir.file("web.log") + "\n\tFD: ";
        ASSERT_TRUE(wait_until([&] {
            size_t at = p.err().find("running wickerpost");
            return at != std::string::npos && p.err().size() >= at + c.expected.size();
        })) << p.err();
        std::string err = p.err();
        size_t at = err.find("running wickerpost");
        const std::string listing_end = "\n\t0 regexs\n";
        ASSERT_GE(at, listing.size() + listing_end.size()) << err;
        EXPECT_EQ(err.substr(0, listing.size()), listing);
        EXPECT_EQ(err.substr(at - listing_end.size(), listing_end.size()), listing_end);
        EXPECT_EQ(err.substr(at, c.expected.size()), c.expected);
        EXPECT_TRUE(p.running());
        p.signal(SIGTERM);
        ASSERT_TRUE(p.wait());
        EXPECT_EQ(p.exit_code(), 0);
    }
}

TEST(CommandLine, AnOperandEndsTheOptions)
{
    Config conf;
    Process p;
    ASSERT_TRUE(p.start({wickerpost, "-D", "-c", conf.path, "foo", "-v"}));
    ASSERT_TRUE(wait_until([&] { return conf.running_loop(p.pid); }));
    EXPECT_TRUE(p.running());
    p.signal(SIGTERM);
    ASSERT_TRUE(p.wait());
    EXPECT_EQ(p.exit_code(), 0);
    EXPECT_EQ(p.err().find("running wickerpost"), std::string::npos) << p.err();
}

TEST(ProcessSetUp, DetachesAndWritesThePidFileWithoutNewline)
{
    Config conf;
    unlink("/var/run/wickerpost.pid");
    Process starter;
    run(starter, {wickerpost, "-c", conf.path});
    EXPECT_EQ(starter.exit_code(), 0);

    ASSERT_TRUE(wait_until([] { return !read_file("/var/run/wickerpost.pid").empty(); }));
    std::string text = read_file("/var/run/wickerpost.pid");
    ASSERT_EQ(text.find_first_not_of("0123456789"), std::string::npos) << "pid file: '" << text << "'";
    pid_t daemon = std::stoi(text);
    EXPECT_NE(daemon, starter.pid);
    EXPECT_EQ(kill(daemon, 0), 0) << "the detached daemon is running";
    EXPECT_NE(getsid(daemon), getsid(0)) << "the daemon has a session of its own";

    // SIGHUP keeps it running; SIGTERM ends it and leaves the pid file.
    ASSERT_TRUE(wait_until([&] { return conf.running_loop(daemon); }));
    EXPECT_TRUE(conf.sighup_reopens(daemon));
    EXPECT_EQ(kill(daemon, 0), 0);
    kill(daemon, SIGTERM);
    EXPECT_TRUE(wait_until([&] { return kill(daemon, 0) != 0; }));
    EXPECT_TRUE(file_exists("/var/run/wickerpost.pid"));
    unlink("/var/run/wickerpost.pid");
}

TEST(ProcessSetUp, DebugModeStaysInTheForegroundWithoutPidFile)
{
    Config conf;
    unlink("/var/run/wickerpost.pid");
    Process p;
    ASSERT_TRUE(p.start({wickerpost, "-D", "-c", conf.path}));
    ASSERT_TRUE(wait_until([&] { return conf.running_loop(p.pid); }));
    EXPECT_TRUE(p.running());
    EXPECT_FALSE(file_exists("/var/run/wickerpost.pid"));
    EXPECT_TRUE(conf.sighup_reopens(p.pid));
    EXPECT_TRUE(p.running());
    p.signal(SIGTERM);
    ASSERT_TRUE(p.wait());
    EXPECT_EQ(p.exit_code(), 0);
}
