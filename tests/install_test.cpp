// Installing, and the files an operator installs with the daemon: cmake
// --install into a scratch directory and the installed programs run on the
// installed configuration, a second install that keeps an edited
// configuration, the manual pages through their linters, the systemd unit
// through systemd-analyze, and the logrotate rules through logrotate with a
// daemon running. A tool that is missing skips its test and says so.
#include <gtest/gtest.h>

#include <regex>

#include "support/process.h"

#ifndef WKP_CMAKE_COMMAND
#define WKP_CMAKE_COMMAND "cmake"
#endif

using namespace wkp_test;

namespace {

struct Ended {
    int status;
    std::string out, err;
};

Ended run_program(const std::vector<std::string> &argv, const std::vector<std::string> &env = {},
                  int timeout_ms = 60000)
{
    Process p;
    EXPECT_TRUE(p.start(argv, false, env));
    EXPECT_TRUE(p.wait(timeout_ms)) << argv[0] << " did not end";
    return Ended{p.exit_code(), p.out(), p.err()};
}

// cmake --install of the build directory under `prefix`, below `destdir`
// when it is not empty.
Ended install(const std::string &destdir, const std::string &prefix)
{
    std::vector<std::string> env;
    if (!destdir.empty())
        env.push_back("DESTDIR=" + destdir);
    return run_program({WKP_CMAKE_COMMAND, "--install", WKP_BUILD_DIR, "--prefix", prefix}, env);
}

// The path of a tool in PATH or the usual system directories, or "".
std::string find_tool(const std::string &name)
{
    const char *path = getenv("PATH");
    std::string dirs = std::string(path ? path : "") + ":/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin";
    size_t start = 0;
    while (start <= dirs.size()) {
        size_t end = dirs.find(':', start);
        if (end == std::string::npos)
            end = dirs.size();
        std::string candidate = dirs.substr(start, end - start) + "/" + name;
        if (end > start && access(candidate.c_str(), X_OK) == 0)
            return candidate;
        start = end + 1;
    }
    return "";
}

// Replaces every occurrence of `from` in `text`; false when there is none.
bool replace_all(std::string &text, const std::string &from, const std::string &to)
{
    bool found = false;
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
        found = true;
    }
    return found;
}

size_t count(const std::string &text, const std::string &what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        n++;
    return n;
}

const std::string example_conf = source("examples/wickerpost.conf");
const char *const manual_pages[] = {"man/spcat.1", "man/wickerpost.conf.5", "man/wickerpost.8",
                                    "man/wickerpost-check.8", "man/minispread.8"};

// minispread on a free port, from the given directory of programs.
struct Spread {
    int port = free_port();
    Process process;
    explicit Spread(const std::string &sbin)
    {
        EXPECT_TRUE(process.start({sbin + "/minispread", "-p", std::to_string(port)}));
        EXPECT_TRUE(wait_until([&] { return file_exists("/tmp/" + std::to_string(port)); })) << process.err();
    }
    ~Spread()
    {
        process.signal(SIGTERM);
        process.wait();
    }
};

void send(const std::string &spcat, int port, const std::string &group, const std::string &text)
{
    Process cat;
    ASSERT_TRUE(cat.start({spcat, "-s", std::to_string(port), "-g", group}, true));
    cat.send(text);
    cat.close_stdin();
    ASSERT_TRUE(cat.wait());
    ASSERT_EQ(cat.exit_code(), 0) << cat.err();
}

bool wait_for_text(const std::string &path, const std::string &text)
{
    return wait_until([&] { return read_file(path) == text; });
}

}  // namespace

// Everything lands under the prefix: the programs, the manual pages and the
// example configuration as etc/wickerpost.conf. That configuration, pointed
// at a directory of the test's and at two installed minispreads (the second
// one over TCP), passes the installed wickerpost-check, and the installed
// daemon writes what the installed spcat sends, through both connections,
// into its files.
TEST(Install, InstalledDaemonLogsWhatSpcatSends)
{
    TempDir dir;
    Ended installed = install(dir.file("root"), "/usr/local");
    ASSERT_EQ(installed.status, 0) << installed.out << installed.err;
    const std::string prefix = dir.file("root") + "/usr/local";
    for (const char *program : {"sbin/wickerpost", "sbin/wickerpost-check", "sbin/minispread", "bin/spcat"})
        EXPECT_EQ(access((prefix + "/" + program).c_str(), X_OK), 0) << program;
    for (const char *page : {"share/man/man1/spcat.1", "share/man/man5/wickerpost.conf.5",
                             "share/man/man8/wickerpost.8", "share/man/man8/wickerpost-check.8",
                             "share/man/man8/minispread.8"})
        EXPECT_TRUE(file_exists(prefix + "/" + page)) << page;
    const std::string conf_path = prefix + "/etc/wickerpost.conf";
    ASSERT_EQ(read_file(conf_path), read_file(example_conf));
    EXPECT_FALSE(file_exists(conf_path + ".example"));

    // One Spread daemon for each connection: a daemon refuses a second
    // session of the same private name.
    Spread local(prefix + "/sbin"), remote(prefix + "/sbin");
    std::string conf = read_file(conf_path);
    ASSERT_TRUE(replace_all(conf, "/var/log/wickerpost", dir.file("log")));
    ASSERT_TRUE(replace_all(conf, "Port = 4803\n    Host = 192.0.2.7",
                            "Port = " + std::to_string(remote.port) + "\n    Host = 127.0.0.1"));
    ASSERT_TRUE(replace_all(conf, "Port = 4803", "Port = " + std::to_string(local.port)));
    write_file(conf_path, conf);
    mkdir(dir.file("log").c_str(), 0755);
    mkdir(dir.file("log/vhosts").c_str(), 0755);

    Ended checked = run_program({prefix + "/sbin/wickerpost-check", "-c", conf_path});
    EXPECT_EQ(checked.status, 0) << checked.out << checked.err;

    Process daemon;
    ASSERT_TRUE(daemon.start({prefix + "/sbin/wickerpost", "-D", "-c", conf_path}));
    ASSERT_TRUE(wait_until([&] { return count(daemon.err(), "Setting FD: ") == 2; })) << daemon.err();

    send(prefix + "/bin/spcat", local.port, "web", "hello from spcat\n");
    send(prefix + "/bin/spcat", remote.port, "web", "hello again\n");
    send(prefix + "/bin/spcat", remote.port, "vhosts", "www.example.com [10/Oct/2000:13:55:36 -0700] GET /\n");
    EXPECT_TRUE(wait_for_text(dir.file("log/web.log"), "hello from spcat\n"));
    EXPECT_TRUE(wait_for_text(dir.file("log/web-remote.log"), "hello again\n"));
    ASSERT_TRUE(wait_until([&] { return file_exists(dir.file("log/vhosts/www.example.com")); }));
    EXPECT_TRUE(wait_until([&] {
        return std::regex_match(read_file(dir.file("log/vhosts/www.example.com")),
                                std::regex(R"(\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d [+-]\d{4}\] GET /\n)"));
    })) << read_file(dir.file("log/vhosts/www.example.com"));

    daemon.signal(SIGTERM);
    ASSERT_TRUE(daemon.wait());
    EXPECT_EQ(daemon.exit_code(), 0) << daemon.err();
}

// A second install never replaces the configuration that is there: the
// edited file stays and the example lands beside it. Both ways of placing
// the installation: DESTDIR below the prefix, and the prefix itself.
TEST(Install, SecondInstallKeepsTheEditedConfiguration)
{
    TempDir dir;
    struct Case {
        std::string destdir, prefix, etc;
    } cases[] = {
        {dir.file("root"), "/usr/local", dir.file("root") + "/usr/local/etc"},
        {"", dir.file("prefix"), dir.file("prefix") + "/etc"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.etc);
        Ended first = install(c.destdir, c.prefix);
        ASSERT_EQ(first.status, 0) << first.out << first.err;
        ASSERT_TRUE(file_exists(c.etc + "/wickerpost.conf"));
        EXPECT_FALSE(file_exists(c.etc + "/wickerpost.conf.example"));
        const std::string edited = "# edited by the operator\n" + read_file(example_conf);
        write_file(c.etc + "/wickerpost.conf", edited);

        Ended second = install(c.destdir, c.prefix);
        ASSERT_EQ(second.status, 0) << second.out << second.err;
        EXPECT_EQ(read_file(c.etc + "/wickerpost.conf"), edited);
        EXPECT_EQ(read_file(c.etc + "/wickerpost.conf.example"), read_file(example_conf));
    }
}

// The manual pages render without a single warning.
TEST(ManualPages, MandocLintIsClean)
{
    std::string mandoc = find_tool("mandoc");
    if (mandoc.empty())
        GTEST_SKIP() << "mandoc is not installed (scripts/install-deps installs it)";
    for (const char *page : manual_pages) {
        Ended r = run_program({mandoc, "-Tlint", source(page)});
        EXPECT_EQ(r.status, 0) << page;
        EXPECT_EQ(r.out + r.err, "") << page;
    }
}

TEST(ManualPages, GroffWarnsAboutNothing)
{
    std::string groff = find_tool("groff");
    if (groff.empty())
        GTEST_SKIP() << "groff is not installed (scripts/install-deps installs it)";
    for (const char *page : manual_pages) {
        Ended r = run_program({groff, "-ww", "-man", "-Tutf8", "-z", source(page)});
        EXPECT_EQ(r.status, 0) << page;
        EXPECT_EQ(r.out + r.err, "") << page;
    }
}

// The systemd unit runs the daemon in the foreground as a notify service
// with a watchdog and the journal's priorities, reloads by a hand-over
// (SIGUSR2) and restarts on failure, and systemd-analyze finds nothing to say about
// it (its programs and manual pages taken from a scratch install). A
// misspelt setting is reported, so silence means the unit was read.
TEST(ServiceFiles, SystemdUnitVerifies)
{
    std::string analyze = find_tool("systemd-analyze");
    if (analyze.empty())
        GTEST_SKIP() << "systemd-analyze is not installed";
    std::string unit = read_file(source("examples/wickerpost.service"));
    for (const char *line : {"\nExecStart=/usr/local/sbin/wickerpost -D -c /usr/local/etc/wickerpost.conf\n",
                             "\nExecReload=/bin/kill -USR2 $MAINPID\n", "\nRestart=on-failure\n",
                             "\nReadWritePaths=/var/log\n", "\nType=notify\n", "\nWatchdogSec=60s\n",
                             "\nSyslogLevelPrefix=yes\n"})
        EXPECT_NE(unit.find(line), std::string::npos) << line;

    TempDir dir;
    Ended installed = install(dir.file("root"), "/usr/local");
    ASSERT_EQ(installed.status, 0) << installed.err;
    const std::string prefix = dir.file("root") + "/usr/local";
    ASSERT_TRUE(replace_all(unit, "/usr/local/sbin/wickerpost", prefix + "/sbin/wickerpost"));
    mkdir(dir.file("unit").c_str(), 0755);
    write_file(dir.file("unit/wickerpost.service"), unit);
    const std::vector<std::string> env{"MANPATH=" + prefix + "/share/man"};
    Ended r = run_program({analyze, "verify", dir.file("unit/wickerpost.service")}, env);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out + r.err, "");

    write_file(dir.file("unit/wickerpost.service"), unit + "ProtectSytem=strict\n");
    r = run_program({analyze, "verify", dir.file("unit/wickerpost.service")}, env);
    EXPECT_NE(r.err.find("Unknown key"), std::string::npos) << r.err;
}

// The logrotate rules as shipped read without errors; and, pointed at a
// running daemon's directory and pid file, they move its files (vhost files
// into their own directory) and have it reopen: the next messages land in
// new files and the moved ones keep what came before.
TEST(ServiceFiles, LogrotateMovesTheFilesAndTheDaemonReopens)
{
    std::string logrotate = find_tool("logrotate");
    if (logrotate.empty())
        GTEST_SKIP() << "logrotate is not installed (scripts/install-deps installs it)";
    TempDir dir;
    Ended debug = run_program({logrotate, "-d", "-s", dir.file("state"), source("examples/wickerpost.logrotate")});
    EXPECT_EQ(debug.status, 0) << debug.out << debug.err;
    EXPECT_EQ((debug.out + debug.err).find("error: "), std::string::npos) << debug.out << debug.err;

    Spread spread(WKP_BUILD_DIR);
    mkdir(dir.file("vhosts").c_str(), 0755);
    write_file(dir.file("wickerpost.conf"), "Spread {\n  Port = " + std::to_string(spread.port) +
                                                "\n  Log {\n    Group = web\n    File = " + dir.file("web.log") +
                                                "\n  }\n  Log {\n    Group = vh\n    VhostDir = " +
                                                dir.file("vhosts") + "\n  }\n}\n");
    Process daemon;
    ASSERT_TRUE(daemon.start({bin("wickerpost"), "-D", "-c", dir.file("wickerpost.conf")}));
    ASSERT_TRUE(wait_until([&] { return daemon.err().find("Setting FD: ") != std::string::npos; })) << daemon.err();
    write_file(dir.file("wickerpost.pid"), std::to_string(daemon.pid));

    std::string rules = read_file(source("examples/wickerpost.logrotate"));
    ASSERT_TRUE(replace_all(rules, "/var/log/wickerpost", dir.path));
    ASSERT_TRUE(replace_all(rules, "/var/run/wickerpost.pid", dir.file("wickerpost.pid")));
    // Never the system's own service: the pid file is the way here.
    ASSERT_TRUE(replace_all(rules, "systemctl kill --signal=HUP --kill-who=main wickerpost.service", "false"));
    if (geteuid() != 0)
        replace_all(rules, " root root", "");
    write_file(dir.file("logrotate.conf"), rules);
    chmod(dir.file("logrotate.conf").c_str(), 0644);

    send(bin("spcat"), spread.port, "web", "line one\n");
    send(bin("spcat"), spread.port, "vh", "www.a.com first\n");
    ASSERT_TRUE(wait_for_text(dir.file("web.log"), "line one\n"));
    ASSERT_TRUE(wait_for_text(dir.file("vhosts/www.a.com"), "first\n"));

    Ended rotated = run_program({logrotate, "-f", "-s", dir.file("state"), dir.file("logrotate.conf")});
    ASSERT_EQ(rotated.status, 0) << rotated.out << rotated.err;
    EXPECT_EQ(read_file(dir.file("web.log.1")), "line one\n");
    EXPECT_EQ(read_file(dir.file("vhosts.old/www.a.com.1")), "first\n");

    send(bin("spcat"), spread.port, "web", "line two\n");
    send(bin("spcat"), spread.port, "vh", "www.a.com second\n");
    EXPECT_TRUE(wait_for_text(dir.file("web.log"), "line two\n")) << read_file(dir.file("web.log"));
    EXPECT_TRUE(wait_for_text(dir.file("vhosts/www.a.com"), "second\n"));
    EXPECT_EQ(read_file(dir.file("web.log.1")), "line one\n");
    EXPECT_EQ(read_file(dir.file("vhosts.old/www.a.com.1")), "first\n");
    daemon.signal(SIGTERM);
    ASSERT_TRUE(daemon.wait());
    EXPECT_EQ(daemon.exit_code(), 0);
}
