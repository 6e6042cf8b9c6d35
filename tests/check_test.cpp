// wickerpost-check as a process: its listing of a configuration, the
// daemon's own errors and exit statuses for one that does not load (both
// programs run on the same file and compared), and the problems it finds in
// outputs, piped commands and daemon names, without opening, creating or
// starting anything.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include "support/process.h"

using namespace wkp_test;

namespace {

struct Ended {
    int status;
    std::string out, err;
};

// Runs a program to its end with `env` added to its environment.
Ended run_program(const std::vector<std::string> &argv, const std::vector<std::string> &env = {})
{
    Process p;
    EXPECT_TRUE(p.start(argv, false, env));
    EXPECT_TRUE(p.wait()) << argv[0] << " did not end";
    return Ended{p.exit_code(), p.out(), p.err()};
}

Ended check(const std::string &config, const std::vector<std::string> &env = {"PATH=/usr/bin:/bin"})
{
    return run_program({bin("wickerpost-check"), "-c", config}, env);
}

// The example configuration with its log directory moved to `dir`.
std::string example_in(const std::string &dir)
{
    std::string text = read_file(source("examples/wickerpost.conf"));
    const std::string prefix = "/var/log/wickerpost";
    for (size_t at = text.find(prefix); at != std::string::npos; at = text.find(prefix, at))
        text.replace(at, prefix.size(), dir);
    return text;
}

// A configuration of one Spread block on `port` with the given Log blocks.
std::string spread_block(int port, const std::string &logs)
{
    return "Spread {\n  Port = " + std::to_string(port) + "\n" + logs + "}\n";
}

std::string log_block(const std::string &group, const std::string &items)
{
    return "  Log {\n    Group = " + group + "\n" + items + "  }\n";
}

void make_executable(const std::string &path, const std::string &text)
{
    write_file(path, text);
    chmod(path.c_str(), 0755);
}

}  // namespace

// The annotated example, its directory moved: every connection and Log
// block in the daemon's order, and the reader's own notices on standard
// error. Nothing is created, and the gzip command is not started.
TEST(Check, ListsTheExampleConfiguration)
{
    TempDir dir;
    write_file(dir.file("wickerpost.conf"), example_in(dir.path));
    mkdir(dir.file("vhosts").c_str(), 0755);

    Ended r = check(dir.file("wickerpost.conf"));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "Configuration " + dir.file("wickerpost.conf") +
                         "\n"
                         "BufferSize 16384\n"
                         "Spread 4803 (local daemon, Unix socket /tmp/4803)\n"
                         "    Log errors\n"
                         "        Command '/usr/bin/gzip -c >> " + dir.file("errors.log.gz") + "'\n"
                         "        Program /usr/bin/gzip\n"
                         "        Match 3 patterns\n"
                         "    Log web\n"
                         "        File " + dir.file("web.log") + "\n"
                         "        RewriteTimestamp CommonLogFormat\n"
                         "    Log web-staging\n"
                         "        File " + dir.file("web.log") + " (shared with Log web on 4803)\n"
                         "Spread 4803@192.0.2.7 (TCP to 192.0.2.7 port 4803)\n"
                         "    Log vhosts\n"
                         "        VhostDir " + dir.file("vhosts") + "\n"
                         "        RewriteTimestamp '[%Y-%m-%d %H:%M:%S %z]'\n"
                         "    Log web\n"
                         "        File " + dir.file("web-remote.log") + "\n"
                         "Configuration OK\n");
    // The reader's notices (CLF, vhost table) are the daemon's, not the report's.
    EXPECT_EQ(r.err, "");
    EXPECT_FALSE(file_exists(dir.file("web.log")));
    EXPECT_FALSE(file_exists(dir.file("web-remote.log")));
    EXPECT_FALSE(file_exists(dir.file("errors.log.gz")));
}

// A small configuration checked whole: connections ordered by port text
// then host, -b over BufferSize, a connection without Log blocks, a vhost
// block whose File and Match go unused, quoting of values with blanks, and
// the programs of piped commands as the shell would find them (a marker
// shows that none was started).
TEST(Check, ListsOptionsOrderAndCommands)
{
    TempDir dir;
    mkdir(dir.file("bin").c_str(), 0755);
    mkdir(dir.file("vh").c_str(), 0755);
    make_executable(dir.file("bin/logsink"), "#!/bin/sh\ntouch " + dir.file("started") + "\nexec cat >/dev/null\n");
    const std::string sink = dir.file("bin/logsink");
    std::string config =
        "BufferSize = 4096\n"
        "Spread {\n  Port = 4803\n  Host = beta\n}\n"
        "Spread {\n  Port = 4803\n" +
        log_block("vh", "    VhostDir = " + dir.file("vh") + "\n    File = " + dir.file("unused.log") +
                            "\n    Match = x\n    RewriteTimestamp = '%d %b'\n") +
        "}\n" +
        spread_block(10000, log_block("a", "    File = '|logsink -a'\n") +
                                log_block("b", "    File = '|LC_ALL=C exec 2>/dev/null logsink'\n") +
                                log_block("c", "    File = \"|'" + sink + "' x\"\n") +
                                log_block("d", "    File = '|: drop everything'\n") +
                                log_block("e", "    File = '|(logsink)'\n") +
                                log_block("f", "    File = '|$HOME/bin/sink'\n") +
                                log_block("g", "    File = '|logsink > " + dir.file("out.log") + " 2>&1'\n"));
    write_file(dir.file("c.conf"), config);

    Ended r = run_program({bin("wickerpost-check"), "-b", "512", "-c", dir.file("c.conf")},
                        {"PATH=" + dir.file("bin") + ":/usr/bin:/bin"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "Configuration " + dir.file("c.conf") +
                         "\n"
                         "BufferSize 512 (-b)\n"
                         "Spread 10000 (local daemon, Unix socket /tmp/10000)\n"
                         "    Log a\n"
                         "        Command 'logsink -a'\n"
                         "        Program " + sink + "\n"
                         "    Log b\n"
                         "        Command 'LC_ALL=C exec 2>/dev/null logsink'\n"
                         "        Program " + sink + "\n"
                         "    Log c\n"
                         "        Command ''" + sink + "' x'\n"
                         "        Program " + sink + "\n"
                         "    Log d\n"
                         "        Command ': drop everything'\n"
                         "        Program : (shell builtin)\n"
                         "    Log e\n"
                         "        Command (logsink)\n"
                         "        Program not checked (a compound command)\n"
                         "    Log f\n"
                         "        Command $HOME/bin/sink\n"
                         "        Program not checked ($HOME/bin/sink is expanded by the shell)\n"
                         "    Log g\n"
                         "        Command 'logsink > " + dir.file("out.log") + " 2>&1'\n"
                         "        Program " + sink + "\n"
                         "Spread 4803 (local daemon, Unix socket /tmp/4803)\n"
                         "    Log vh\n"
                         "        VhostDir " + dir.file("vh") + "\n"
                         "        File " + dir.file("unused.log") + " (not used: the VhostDir takes the messages)\n"
                         "        Match 1 pattern (not used: the VhostDir takes every message)\n"
                         "        RewriteTimestamp '%d %b'\n"
                         "Spread 4803@beta (TCP to beta port 4803)\n"
                         "    no Log blocks: no group is joined\n"
                         "Configuration OK\n");
    EXPECT_EQ(r.err, "");
    EXPECT_FALSE(file_exists(dir.file("started")));
    EXPECT_FALSE(file_exists(dir.file("out.log")));
    EXPECT_FALSE(file_exists(dir.file("unused.log")));

    // Without -b the configuration's size shows; without either, the default.
    r = check(dir.file("c.conf"), {"PATH=" + dir.file("bin")});
    EXPECT_EQ(r.out.substr(0, r.out.find("Spread")),
              "Configuration " + dir.file("c.conf") + "\nBufferSize 4096\n");
    write_file(dir.file("plain.conf"), spread_block(4803, ""));
    r = check(dir.file("plain.conf"));
    EXPECT_EQ(r.out, "Configuration " + dir.file("plain.conf") +
                         "\nBufferSize 8192 (default)\n"
                         "Spread 4803 (local daemon, Unix socket /tmp/4803)\n"
                         "    no Log blocks: no group is joined\n"
                         "Configuration OK\n");
}

namespace {

// What wickerpost-check prints of the daemon's messages `err`: the same,
// without the reader's notices, and with the regex error on a line of its
// own.
std::string report_form(std::string err)
{
    for (const std::string notice : {"Setting logfacility to force local times in CLF\n", "\nZeroing vhost hash for usage!\n"})
        for (size_t at; (at = err.find(notice)) != std::string::npos;)
            err.erase(at, notice.size());
    const std::string regex_error = "Unmatched ( or \\(";
    if (size_t at = err.find(regex_error); at != std::string::npos)
        err.insert(at + regex_error.size(), "\n");
    return err;
}

}  // namespace

// A configuration the daemon cannot load: wickerpost-check prints what the
// daemon prints (less the notices) and exits with the same status, and
// lists nothing.
TEST(Check, ReportsLoadErrorsAsTheDaemonDoes)
{
    TempDir dir;
    const std::string log = "    File = " + dir.file("x.log") + "\n";
    struct Case {
        const char *what;
        std::string text;  // the file's text; "-" for no file, "dir" for a directory in its place
        int status;
    } cases[] = {
        {"missing file", "-", 255},
        {"empty file", "", 255},
        {"Port=4803 is one word", "Spread {\n  Port=4803\n}\n", 255},
        {"BufferSize after a Spread block", spread_block(4803, "") + "BufferSize = 1\n", 255},
        {"keyword as a value", spread_block(4803, log_block("Log", log)), 255},
        {"reserved VhostGroup", spread_block(4803, "  Log {\n    VhostGroup = x\n  }\n"), 255},
        {"Log block without Group", spread_block(4803, "  Log {\n" + log + "  }\n"), 255},
        {"Log block without File", spread_block(4803, log_block("web", "")), 255},
        {"quoted offending token after notices",
         "Spread {\n  Log {\n    Group = g\n    RewriteTimestamp = CommonLogFormat\n    Match = '('\n"
         "    VhostDir = " + dir.path + " 'b'\n  }\n}\n", 255},
        {"trailing brace", spread_block(4803, log_block("web", log)) + "}\n", 255},
        {"unreadable: a directory", "dir", 2},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        std::string path = dir.file("c.conf");
        unlink(path.c_str());
        rmdir(path.c_str());
        if (c.text == "dir")
            mkdir(path.c_str(), 0755);
        else if (c.text != "-")
            write_file(path, c.text);

        Ended by_daemon = run_program({bin("wickerpost"), "-D", "-c", path});
        Ended checked = check(path);
        EXPECT_EQ(by_daemon.status, c.status) << by_daemon.err;
        EXPECT_EQ(checked.status, c.status);
        EXPECT_EQ(checked.err, report_form(by_daemon.err));
        EXPECT_NE(checked.err, "");
        EXPECT_EQ(checked.out, "");
        EXPECT_FALSE(file_exists(dir.file("x.log")));
    }
}

// Outputs and connections that cannot work: one clear line each, a count,
// exit status 1. Where the daemon would not start, it is run too and ends
// with status 1, as predicted.
TEST(Check, ReportsOutputsThatCannotWork)
{
    TempDir dir;
    mkdir(dir.file("bin").c_str(), 0755);
    write_file(dir.file("bin/notexec"), "#!/bin/sh\n");
    write_file(dir.file("plainfile"), "");
    mkdir(dir.file("adir").c_str(), 0755);
    const std::string on = " (Log g on 4803)";
    time_t now = time(nullptr);
    struct tm local;
    localtime_r(&now, &local);
    const std::string year = std::to_string(1900 + local.tm_year);
    struct Case {
        const char *what;
        std::string items;
        std::string expected;   // standard error after the reader's notices
        bool daemon_refuses;    // the daemon itself would not start
    } cases[] = {
        {"File in a missing directory", "    File = " + dir.file("missing/web.log") + "\n",
         "Cannot write " + dir.file("missing/web.log") + on + ": directory " + dir.file("missing") +
             ": No such file or directory\n",
         true},
        {"File that is a directory", "    File = " + dir.file("adir") + "\n",
         "Cannot write " + dir.file("adir") + on + ": Is a directory\n", true},
        {"File under a plain file", "    File = " + dir.file("plainfile/web.log") + "\n",
         "Cannot write " + dir.file("plainfile/web.log") + on + ": Not a directory\n", true},
        {"DatedFile whose fixed part is missing", "    DatedFile = " + dir.file("missing/%Y/web.log") + "\n",
         "Cannot create directories in " + dir.file("missing") + " for DatedFile " + dir.file("missing/%Y/web.log") +
             on + ": No such file or directory\n",
         true},
        {"DatedFile under a plain file", "    DatedFile = " + dir.file("plainfile/%Y.log") + "\n",
         "Cannot write " + dir.file("plainfile/") + year + ".log for DatedFile " + dir.file("plainfile/%Y.log") + on +
             ": Not a directory\n",
         true},
        {"missing VhostDir", "    VhostDir = " + dir.file("missing") + "\n",
         "Cannot create files in VhostDir " + dir.file("missing") + on + ": No such file or directory\n", false},
        {"VhostDir that is a file", "    VhostDir = " + dir.file("plainfile") + "\n",
         "Cannot create files in VhostDir " + dir.file("plainfile") + on + ": Not a directory\n", false},
        {"program not in PATH", "    File = '|no-such-program-wkp -x'\n",
         "Command 'no-such-program-wkp -x'" + on + ": no-such-program-wkp: not found in PATH\n", false},
        {"program not executable", "    File = '|notexec'\n",
         "Command notexec" + on + ": notexec: not found in PATH\n", false},
        {"program path missing", "    File = '|/nonexistent/bin/prog'\n",
         "Command /nonexistent/bin/prog" + on + ": /nonexistent/bin/prog: No such file or directory\n", false},
        {"program path a directory", "    File = '|" + dir.file("adir") + " -a'\n",
         "Command '" + dir.file("adir") + " -a'" + on + ": " + dir.file("adir") + ": not a regular file\n", false},
        {"empty command", "    File = '|'\n", "Command ''" + on + ": no program to run\n", false},
        {"redirection into a missing directory", "    File = '|cat >>" + dir.file("missing/x.log") + "'\n",
         "Command 'cat >>" + dir.file("missing/x.log") + "'" + on + ": cannot write " +
             dir.file("missing/x.log") + ": directory " + dir.file("missing") + ": No such file or directory\n",
         false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        write_file(dir.file("c.conf"), spread_block(4803, log_block("g", c.items)));
        Ended r = check(dir.file("c.conf"), {"PATH=" + dir.file("bin") + ":/usr/bin:/bin"});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, c.expected + "1 problem found\n");
        EXPECT_EQ(r.out.find("Configuration OK"), std::string::npos);
        if (c.daemon_refuses) {
            Ended by_daemon = run_program({bin("wickerpost"), "-D", "-c", dir.file("c.conf")});
            EXPECT_EQ(by_daemon.status, 1) << by_daemon.err;
        }
    }
}

// DatedFile and VhostFile are listed with their names for now; the
// checks make nothing, not even the period's directory.
TEST(Check, ListsDatedNamesAsOfNow)
{
    TempDir dir;
    mkdir(dir.file("vh").c_str(), 0755);
    time_t now = time(nullptr);
    struct tm local;
    localtime_r(&now, &local);
    const std::string year = std::to_string(1900 + local.tm_year);
    write_file(dir.file("c.conf"),
               spread_block(4803, log_block("d", "    DatedFile = " + dir.file("%Y/d.log") + "\n") +
                                      log_block("v", "    VhostDir = " + dir.file("vh") + "\n    VhostFile = x/%Y.log\n")));
    Ended r = check(dir.file("c.conf"));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("    Log d\n        DatedFile " + dir.file("%Y/d.log") + " (now " + dir.file(year + "/d.log") +
                         ")\n    Log v\n        VhostDir " + dir.file("vh") + "\n        VhostFile x/%Y.log (now x/" +
                         year + ".log)\n"),
              std::string::npos)
        << r.out;
    EXPECT_FALSE(file_exists(dir.file(year)));
}

// Two File paths for one file would lock it twice, and the daemon stops at
// the second lock; a daemon name that is no name never connects, and
// neither does a second connection to one daemon. Every problem is
// reported, not only the first.
TEST(Check, ReportsSameFileTwiceAndBadDaemonNames)
{
    TempDir dir;
    std::string config = spread_block(4803, log_block("a", "    File = " + dir.file("a.log") + "\n") +
                                                log_block("b", "    File = " + dir.path + "/./a.log\n")) +
                         "Spread {\n  Port = 99999\n" + log_block("c", "    File = " + dir.file("c.log") + "\n") +
                         "}\n" + "Spread {\n  Port = 4803\n  Host = ''\n}\n" + "Spread {\n  Port = 04803\n}\n";
    write_file(dir.file("c.conf"), config);
    Ended r = check(dir.file("c.conf"));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Spread 4803 is the daemon of Spread 04803 again: it refuses a second session of the same "
                     "private name\n"
                     "File " + dir.path + "/./a.log (Log b on 4803) is the file " + dir.file("a.log") +
                         " (Log a on 4803) again: its lock would fail\n"
                         "Spread 4803@: not a Spread daemon name (Port a number up to 65535; Host not empty)\n"
                         "Spread 99999: not a Spread daemon name (Port a number up to 65535; Host not empty)\n"
                         "4 problems found\n");
    EXPECT_FALSE(file_exists(dir.file("a.log")));

    // The daemon agrees about the lock.
    write_file(dir.file("d.conf"), spread_block(4803, log_block("a", "    File = " + dir.file("a.log") + "\n") +
                                                          log_block("b", "    File = " + dir.path + "/./a.log\n")));
    Ended by_daemon = run_program({bin("wickerpost"), "-D", "-c", dir.file("d.conf")});
    EXPECT_EQ(by_daemon.status, 1);
    EXPECT_EQ(by_daemon.err, "Cannot lock " + dir.path + "/./a.log, is another wickerpost running?\n");
}

// The StatsFile is listed with its interval, and a StatsListen after it;
// the StatsFile's directory must take new
// files (the daemon writes beside it and renames over it), and it must not
// be a directory itself.
TEST(Check, ListsAndChecksTheStatsFile)
{
    TempDir dir;
    mkdir(dir.file("adir").c_str(), 0755);
    write_file(dir.file("plainfile"), "");
    struct Case {
        const char *what;
        std::string settings, listed, err;
    } cases[] = {
        {"default interval", "StatsFile = " + dir.file("w.prom") + "\n",
         "StatsFile " + dir.file("w.prom") + " (every 15 s)\n", ""},
        {"interval and a blank", "StatsInterval = 2\nStatsFile = '" + dir.file("a b.prom") + "'\n",
         "StatsFile '" + dir.file("a b.prom") + "' (every 2 s)\n", ""},
        {"an existing file is replaced", "StatsFile = " + dir.file("plainfile") + "\n",
         "StatsFile " + dir.file("plainfile") + " (every 15 s)\n", ""},
        {"no StatsFile", "StatsInterval = 2\n", "", ""},
        {"StatsListen with it", "StatsFile = " + dir.file("w.prom") + "\nStatsListen = '[::1]:9108'\n",
         "StatsFile " + dir.file("w.prom") + " (every 15 s)\nStatsListen [::1]:9108\n", ""},
        {"missing directory", "StatsFile = " + dir.file("missing/w.prom") + "\n",
         "StatsFile " + dir.file("missing/w.prom") + " (every 15 s)\n",
         "Cannot write StatsFile " + dir.file("missing/w.prom") + ": directory " + dir.file("missing") +
             ": No such file or directory\n1 problem found\n"},
        {"a directory", "StatsFile = " + dir.file("adir") + "\n", "StatsFile " + dir.file("adir") + " (every 15 s)\n",
         "Cannot write StatsFile " + dir.file("adir") + ": Is a directory\n1 problem found\n"},
        {"under a plain file", "StatsFile = " + dir.file("plainfile/w.prom") + "\n",
         "StatsFile " + dir.file("plainfile/w.prom") + " (every 15 s)\n",
         "Cannot write StatsFile " + dir.file("plainfile/w.prom") + ": directory " + dir.file("plainfile") +
             ": Not a directory\n1 problem found\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        write_file(dir.file("c.conf"), c.settings + spread_block(4803, ""));
        Ended r = check(dir.file("c.conf"));
        EXPECT_EQ(r.status, c.err.empty() ? 0 : 1);
        EXPECT_EQ(r.out, "Configuration " + dir.file("c.conf") + "\nBufferSize 8192 (default)\n" + c.listed +
                             "Spread 4803 (local daemon, Unix socket /tmp/4803)\n"
                             "    no Log blocks: no group is joined\n" +
                             (c.err.empty() ? "Configuration OK\n" : ""));
        EXPECT_EQ(r.err, c.err);
    }
    EXPECT_EQ(read_file(dir.file("plainfile")), "");
    EXPECT_FALSE(file_exists(dir.file("w.prom")));
}

// A StatsFile, a File and a VhostDir in a directory the daemon's user
// cannot write into. Permissions do not bind root, so as root the check
// runs as nobody.
TEST(Check, ReportsUnwritableDirectories)
{
    TempDir dir;
    std::vector<std::string> prefix;
    if (geteuid() == 0) {
        if (!file_exists("/usr/bin/setpriv"))
            GTEST_SKIP() << "running as root without /usr/bin/setpriv to run the check as nobody";
        prefix = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
    }
    chmod(dir.path.c_str(), 0755);
    mkdir(dir.file("ro").c_str(), 0555);
    write_file(dir.file("c.conf"),
               "StatsFile = " + dir.file("ro/w.prom") + "\n" +
                   spread_block(4803, log_block("f", "    File = " + dir.file("ro/f.log") + "\n") +
                                          log_block("v", "    VhostDir = " + dir.file("ro") + "\n")));
    chmod(dir.file("c.conf").c_str(), 0644);
    std::vector<std::string> argv = prefix;
    argv.insert(argv.end(), {bin("wickerpost-check"), "-c", dir.file("c.conf")});
    Ended r = run_program(argv, {"PATH=/usr/bin:/bin"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Cannot write StatsFile " + dir.file("ro/w.prom") + ": directory " + dir.file("ro") +
                         ": Permission denied\n"
                         "Cannot write " + dir.file("ro/f.log") + " (Log f on 4803): directory " + dir.file("ro") +
                         ": Permission denied\n"
                         "Cannot create files in VhostDir " + dir.file("ro") + " (Log v on 4803): Permission denied\n"
                         "3 problems found\n");
}

TEST(Check, BadOptionsPrintUsage)
{
    const std::string program = bin("wickerpost-check");
    const std::string usage = "usage: wickerpost-check [-c configfile] [-b bytes]\n";
    struct Case {
        std::string arg;
        std::string err;
    } cases[] = {
        {"-q", program + ": invalid option -- 'q'\n" + usage},
        {"-c", program + ": option requires an argument -- 'c'\n" + usage},
        {"operand", usage},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.arg);
        Ended r = run_program({program, c.arg});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.out, "");
    }
}
