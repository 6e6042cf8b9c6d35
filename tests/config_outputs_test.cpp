// The daemon's start-up on its configuration, as a process: a bad file ends
// it with status 255 before any output exists; outputs are locked against
// a second daemon; a piped command holds nothing of the daemon but its own
// standard input.
#include <gtest/gtest.h>

#include <dirent.h>

#include <algorithm>
#include <set>

#include "support/process.h"

using namespace wkp_test;

namespace {

const std::string wickerpost = bin("wickerpost");

std::string replace_all(std::string text, const std::string &from, const std::string &to)
{
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

// A configuration file in a temporary directory; %D stands for the directory.
struct Config {
    TempDir dir;
    std::string path = dir.file("wickerpost.conf");
    explicit Config(const std::string &text) { write_file(path, replace_all(text, "%D", dir.path)); }
};

// Processes whose parent is `parent`.
std::vector<pid_t> children_of(pid_t parent)
{
    std::vector<pid_t> found;
    DIR *proc = opendir("/proc");
    while (dirent *entry = readdir(proc)) {
        pid_t pid = atoi(entry->d_name);
        if (pid <= 0)
            continue;
        std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
        size_t end = stat.rfind(')');
        if (end == std::string::npos)
            continue;
        char state;
        int ppid;
        if (sscanf(stat.c_str() + end + 1, " %c %d", &state, &ppid) == 2 && ppid == parent)
            found.push_back(pid);
    }
    closedir(proc);
    return found;
}

std::string comm_of(pid_t pid)
{
    return read_file("/proc/" + std::to_string(pid) + "/comm");
}

std::set<int> open_descriptors(pid_t pid)
{
    std::set<int> fds;
    DIR *dir = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
    if (dir == nullptr)
        return fds;
    while (dirent *entry = readdir(dir))
        if (entry->d_name[0] != '.')
            fds.insert(atoi(entry->d_name));
    closedir(dir);
    return fds;
}

// The signal mask of a /proc/<pid>/status line such as "SigIgn:".
unsigned long long signal_mask(pid_t pid, const std::string &field)
{
    std::string status = read_file("/proc/" + std::to_string(pid) + "/status");
    size_t at = status.find(field);
    return at == std::string::npos ? 0 : strtoull(status.c_str() + at + field.size(), nullptr, 16);
}

bool has_signal(unsigned long long mask, int sig) { return (mask >> (sig - 1)) & 1; }

// Starts the daemon in the foreground and waits until its start-up is over
// (the configuration loaded, its outputs open): its pipe commands exist and
// its signal handlers are in place.
void start_daemon(Process &p, const Config &conf, const std::vector<std::string> &extra = {})
{
    std::vector<std::string> argv{wickerpost, "-D", "-c", conf.path};
    argv.insert(argv.end(), extra.begin(), extra.end());
    ASSERT_TRUE(p.start(argv));
    ASSERT_TRUE(wait_until([&] { return !p.running() || has_signal(signal_mask(p.pid, "SigCgt:"), SIGTERM); }));
}

void stop_daemon(Process &p)
{
    p.signal(SIGTERM);
    ASSERT_TRUE(p.wait());
    EXPECT_EQ(p.exit_code(), 0);
}

std::string lock_message(const std::string &path)
{
    return "Cannot lock " + path + ", is another wickerpost running?\n";
}

}  // namespace

// A file that does not parse: the two-line report, status 255, and no
// output created, no command started.
TEST(DaemonConfig, BadFileEndsStartUpBeforeAnyOutput)
{
    Config conf("Spread {\n"
                "  Log { Group = a File = %D/a.log }\n"
                "  Log { Group = p File = '|touch %D/started' }\n"
                "}\n"
                "}\n");
    Subreaper adopt;
    Process p;
    run(p, {wickerpost, "-D", "-v", "-c", conf.path});
    EXPECT_EQ(p.exit_code(), 255);
    EXPECT_EQ(p.err(), "Parser error on or before line 4\nOffending token: }\n");
    EXPECT_EQ(p.out(), "");
    // Anything it started has run to its end.
    EXPECT_TRUE(wait_until([&] { return adopt.orphans_ended(); }));
    EXPECT_FALSE(file_exists(conf.dir.file("a.log")));
    EXPECT_FALSE(file_exists(conf.dir.file("started")));
}

// Without -D as well: the starting process itself ends with 255, nothing
// is detached.
TEST(DaemonConfig, LoadFailuresAndTheirStatus)
{
    Config refused("Spread { Log { Group = g } }\n");
    Config scanner_fails("");
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string err;
    } cases[] = {
        {{"-c", refused.path}, 255,
         "Log block without File or VhostDir\nParser error on or before line 0\nOffending token: }\n"},
        {{"-c", "/nonexistent/wickerpost.conf"}, 255, "Couldn't open input file: /nonexistent/wickerpost.conf\n"},
        // A directory opens but cannot be read.
        {{"-c", scanner_fails.dir.path}, 2, "input in flex scanner failed\n"},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.args[1]);
        std::vector<std::string> argv{wickerpost};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        Process p;
        run(p, argv);
        EXPECT_EQ(p.exit_code(), c.status);
        EXPECT_EQ(p.err(), c.err);
    }
}

// A second daemon on the same files stops at its first lock, which is
// that of the first plain facility in registry order (port "10000" sorts
// before "4803").
TEST(DaemonConfig, SecondDaemonStopsAtTheLock)
{
    Config conf(R"(
        Spread { Port = 4803   Log { Group = a File = %D/z.log } }
        Spread { Port = 10000  Log { Group = z File = %D/a.log }  Log { Group = v VhostDir = %D } }
    )");
    Process first;
    start_daemon(first, conf);
    ASSERT_TRUE(first.running()) << first.err();

    Process second;
    run(second, {wickerpost, "-D", "-c", conf.path});
    EXPECT_EQ(second.exit_code(), 1);
    EXPECT_EQ(second.err(), "\nZeroing vhost hash for usage!\n" + lock_message(conf.dir.file("a.log")));

    // Once the first one is gone, the locks are free again.
    stop_daemon(first);
    Process third;
    start_daemon(third, conf);
    EXPECT_TRUE(third.running()) << third.err();
    stop_daemon(third);
}

// Two paths to one file: the second open of the file cannot take the lock
// the first holds; with -s both are used.
TEST(DaemonConfig, TwoPathsToOneFile)
{
    Config conf("Spread { Log { Group = a File = %D/a.log }  Log { Group = b File = %D/./a.log } }\n");
    Process locked;
    run(locked, {wickerpost, "-D", "-c", conf.path});
    EXPECT_EQ(locked.exit_code(), 1);
    EXPECT_EQ(locked.err(), lock_message(conf.dir.path + "/./a.log"));

    Process unlocked;
    start_daemon(unlocked, conf, {"-s"});
    EXPECT_TRUE(unlocked.running());
    EXPECT_EQ(unlocked.err(), "");
    stop_daemon(unlocked);
}

// An output that cannot be opened is named with the reason; with locking on
// the lock on the failed descriptor then ends start-up, with -s the daemon
// runs without that output.
TEST(DaemonConfig, OutputThatCannotBeOpened)
{
    Config conf("Spread { Log { Group = a File = %D/missing/a.log }  Log { Group = b File = %D/b.log } }\n");
    const std::string path = conf.dir.file("missing/a.log");

    Process locked;
    run(locked, {wickerpost, "-D", "-c", conf.path});
    EXPECT_EQ(locked.exit_code(), 1);
    EXPECT_EQ(locked.err(), "Cannot open " + path + ": No such file or directory\n" + lock_message(path));
    EXPECT_FALSE(file_exists(conf.dir.file("b.log")));

    Process unlocked;
    start_daemon(unlocked, conf, {"-s", "-v"});
    EXPECT_TRUE(unlocked.running());
    EXPECT_TRUE(file_exists(conf.dir.file("b.log")));
    std::string err = unlocked.err();
    EXPECT_EQ(err.substr(0, err.find("LogFacility: b")),
              "Cannot open " + path + ": No such file or directory\n"
              "LogFacility: a\n\tFile: " + path + "\n\tFD: -1\n\t0 regexs\n");
    stop_daemon(unlocked);
}

// A piped command inherits only its standard input (the pipe) besides the
// standard streams: not the daemon's files, locks or other pipes, nor the
// configuration file. It runs with SIGHUP ignored and SIGPIPE at its default
// even when the daemon ignores SIGPIPE.
TEST(DaemonConfig, PipedCommandHoldsOnlyItsInput)
{
    Config conf(R"(
        Spread {
            Log { Group = a File = '|exec cat' }
            Log { Group = b File = %D/b.log }
            Log { Group = c File = '|exec cat >> %D/c.out' }
        }
    )");
    // Started through a shell that closes every descriptor above 2 the test
    // inherited, and ignores SIGPIPE as a daemon that ignores it would pass
    // it on.
    Process p;
    ASSERT_TRUE(p.start({"/bin/bash", "-c",
                         "for fd in /proc/$$/fd/*; do n=${fd##*/}; [ $n -gt 2 ] && eval \"exec $n>&-\"; done; "
                         "trap '' PIPE; exec " + wickerpost + " -D -c " + conf.path}));
    // A command is looked at once it waits for its input: until then cat's
    // own start-up (the loader, its locale) may hold descriptors of its own.
    auto waiting_for_input = [](const std::vector<pid_t> &started) {
        for (pid_t command : started)
            if (comm_of(command) != "cat\n" || !blocked_in(command, SYS_read))
                return false;
        return true;
    };
    std::vector<pid_t> commands;
    ASSERT_TRUE(wait_until([&] {
        commands = children_of(p.pid);
        return commands.size() == 2 && waiting_for_input(commands);
    })) << p.err();
    ASSERT_TRUE(has_signal(signal_mask(p.pid, "SigIgn:"), SIGPIPE));
    auto check = [](const std::vector<pid_t> &started) {
        for (pid_t command : started) {
            SCOPED_TRACE(command);
            EXPECT_EQ(open_descriptors(command), (std::set<int>{0, 1, 2}));
            char target[256] = "";
            (void)!readlink(("/proc/" + std::to_string(command) + "/fd/0").c_str(), target, sizeof target - 1);
            EXPECT_EQ(std::string(target).substr(0, 5), "pipe:");
            unsigned long long ignored = signal_mask(command, "SigIgn:");
            EXPECT_TRUE(has_signal(ignored, SIGHUP));
            EXPECT_FALSE(has_signal(ignored, SIGPIPE));
            EXPECT_FALSE(has_signal(ignored, SIGXFSZ));
            EXPECT_EQ(signal_mask(command, "SigBlk:"), 0u);
            EXPECT_EQ(signal_mask(command, "SigCgt:"), 0u);
        }
    };
    check(commands);
    // Started anew at SIGHUP by the running daemon, its sessions' reader
    // threads and signal handlers in place: the same.
    p.signal(SIGHUP);
    std::vector<pid_t> first = commands;
    ASSERT_TRUE(wait_until([&] {
        commands.clear();
        for (pid_t child : children_of(p.pid))
            if (std::find(first.begin(), first.end(), child) == first.end() && comm_of(child) == "cat\n")
                commands.push_back(child);
        return commands.size() == 2 && waiting_for_input(commands);
    })) << p.err();
    check(commands);

    // The daemon gone, each command sees the end of its input and ends, and
    // a new daemon finds every file free.
    p.signal(SIGKILL);
    ASSERT_TRUE(p.wait());
    for (pid_t command : commands)
        EXPECT_TRUE(wait_until([&] { return ended(command); })) << command;
    Process again;
    start_daemon(again, conf);
    EXPECT_TRUE(again.running()) << again.err();
    stop_daemon(again);
}
