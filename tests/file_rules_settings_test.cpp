// The file settings of a Log block on the real daemon: the settings refused
// by the daemon and by wickerpost-check, the check's listing, idle close,
// and sync. Each test is a scenario against minispread, with spcat sending.
#include <gtest/gtest.h>

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>

#include <atomic>
#include <map>
#include <sstream>

#include "support/scenario.h"

using namespace wkp_test;

namespace {

struct Ended {
    int status;
    std::string out, err;
};

Ended run_program(const std::vector<std::string> &argv)
{
    Process p;
    EXPECT_TRUE(p.start(argv));
    EXPECT_TRUE(p.wait()) << argv[0] << " did not end";
    return Ended{p.exit_code(), p.out(), p.err()};
}

// One Log block of group g with `items`, in a Spread block.
std::string one_block(const std::string &items)
{
    return "Spread {\n  Port = 4803\n  Log {\n    Group = g\n" + items + "  }\n}\n";
}

}  // namespace

// Settings refused by the daemon and by wickerpost-check alike: a value a
// setting cannot take (reported with the value as the offending token) and
// a setting that does not apply to the block's output or needs another
// (reported at the block's end).
TEST(FileRules, RefusedSettings)
{
    TempDir dir;
    const std::string file = "    File = " + dir.file("a.log") + "\n";
    struct Case {
        std::string items;
        std::string reason;  // its first line
        int line;
        std::string token;
    } cases[] = {
        {file + "    MaxSize = 10X\n", "MaxSize must be a size in bytes, 1 or more, with K, M or G for powers of 1024", 5, "10X"},
        {file + "    MaxSize = 0\n", "MaxSize must be a size in bytes, 1 or more, with K, M or G for powers of 1024", 5, "0"},
        {file + "    MaxSize = 2048G\n", "MaxSize must be a size in bytes, 1 or more, with K, M or G for powers of 1024", 5, "2048G"},
        {file + "    MaxSize = 1M\n    Keep = 0\n", "Keep must be a whole number of files, 1 to 1000", 6, "0"},
        {file + "    Keep = 3\n", "Keep without MaxSize", 6, "}"},
        {file + "    MaxSize = 1M\n    Compress = xz\n", "Compress must be zstd or gzip", 6, "xz"},
        {file + "    Compress = zstd\n", "Compress without MaxSize, DatedFile or VhostFile: no file is ever closed for good", 6, "}"},
        {file + "    MaxSize = 1M\n    Compress = gzip\n    CompressLevel = 12\n", "CompressLevel must be 1 to 9 for gzip", 8, "}"},
        {file + "    MaxSize = 1M\n    CompressLevel = 3\n", "CompressLevel without Compress", 7, "}"},
        {file + "    FileMode = 644\n    FileMode = 0888\n", "FileMode must be an octal mode, 0 to 0777", 6, "0888"},
        {file + "    FileMode = 04755\n", "FileMode must be an octal mode, 0 to 0777", 5, "04755"},
        {file + "    DirMode = 0750\n", "DirMode applies to DatedFile and VhostFile outputs only", 6, "}"},
        {file + "    FileOwner = no-such-user-here\n", "FileOwner must be a user name or number known to this system", 5, "no-such-user-here"},
        {file + "    FileGroup = no-such-group-here\n", "FileGroup must be a group name or number known to this system", 5, "no-such-group-here"},
        {file + "    SyncInterval = 1s\n", "SyncInterval must be a whole number of seconds, 1 or more", 5, "1s"},
        {file + "    IdleClose = 60\n", "IdleClose applies to DatedFile and VhostDir outputs only", 6, "}"},
        {"    File = '|cat'\n    MaxSize = 1M\n    Compress = zstd\n", "MaxSize does not apply to a piped command", 7, "}"},
        {"    File = '|cat'\n    SyncInterval = 1\n", "SyncInterval does not apply to a piped command", 6, "}"},
        {file + "    MaxSize = 1M\n  }\n  Log {\n    Group = h\n" + file + "    MaxSize = 2M\n",
         "Log blocks naming the same File give it different settings", 11, "}"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.items);
        write_file(dir.file("c.conf"), one_block(c.items));
        std::string expected = c.reason + "\nParser error on or before line " + std::to_string(c.line) +
                               "\nOffending token: " + c.token + "\n";
        Ended by_daemon = run_program({bin("wickerpost"), "-D", "-c", dir.file("c.conf")});
        Ended checked = run_program({bin("wickerpost-check"), "-c", dir.file("c.conf")});
        EXPECT_EQ(by_daemon.status, 255);
        EXPECT_EQ(by_daemon.err, expected);
        EXPECT_EQ(checked.status, 255);
        EXPECT_EQ(checked.err, expected);
        EXPECT_FALSE(file_exists(dir.file("a.log")));
    }
}

// wickerpost-check lists every file setting of a block; an owner or group
// the daemon could not give its files to without CAP_CHOWN is a problem
// when the check runs without it (as the daemon would).
TEST(FileRules, CheckListsTheSettingsAndNeedsCapChownToGiveFilesAway)
{
    TempDir dir;
    mkdir(dir.file("v").c_str(), 0755);
    write_file(dir.file("c.conf"),
               one_block("    VhostDir = " + dir.file("v") +
                         "\n    VhostFile = %Y.log\n    MaxSize = 100M\n    Compress = zstd\n    FileMode = 0640\n"
                         "    DirMode = 0750\n    FileOwner = 65534\n    FileGroup = 65534\n"
                         "    SyncInterval = 5\n    IdleClose = 600\n"));
    Ended r = run_program({bin("wickerpost-check"), "-c", dir.file("c.conf")});
    std::string settings = "        MaxSize 104857600 bytes, Keep 7 (default)\n"
                           "        Compress zstd, level 3 (default)\n"
                           "        FileMode 0640\n"
                           "        DirMode 0750\n";
    struct passwd *user = getpwuid(65534);
    struct group *group = getgrgid(65534);
    std::string owner = user ? std::string(user->pw_name) + " (65534)" : "65534";
    std::string group_name = group ? std::string(group->gr_name) + " (65534)" : "65534";
    settings += "        FileOwner " + owner + "\n        FileGroup " + group_name +
                "\n        SyncInterval 5 s\n        IdleClose 600 s\n";
    EXPECT_NE(r.out.find(settings), std::string::npos) << r.out;
    if (geteuid() == 0) {
        EXPECT_EQ(r.status, 0) << r.err;
        // Without CAP_CHOWN, as a daemon run without it.
        if (!file_exists("/usr/bin/setpriv"))
            GTEST_SKIP() << "setpriv is not installed";
        Ended dropped = run_program({"/usr/bin/setpriv", "--inh-caps=-chown", "--bounding-set=-chown",
                                     "--groups=0", bin("wickerpost-check"), "-c", dir.file("c.conf")});
        EXPECT_EQ(dropped.status, 1) << dropped.out;
        EXPECT_EQ(dropped.err, "FileOwner " + owner + " (Log g on 4803): files cannot be given to another user "
                               "without CAP_CHOWN\nFileGroup " + group_name + " (Log g on 4803): not a group of "
                               "this user, and files cannot be given to it without CAP_CHOWN\n2 problems found\n");
    } else {
        EXPECT_EQ(r.status, 1);
    }
}

namespace {

// Whether process pid holds a descriptor open on `path`.
bool holds_open(pid_t pid, const std::string &path)
{
    std::string dir = "/proc/" + std::to_string(pid) + "/fd";
    for (const std::string &name : entries(dir)) {
        char target[4096] = {};
        ssize_t n = readlink((dir + "/" + name).c_str(), target, sizeof target - 1);
        if (n > 0 && path == std::string(target, (size_t)n))
            return true;
    }
    return false;
}

}  // namespace

// IdleClose: a host's file (and a DatedFile) quiet past the interval is
// closed, while a host that keeps sending keeps its file; the next line of
// the quiet one opens its file again and lands after the first.
TEST(FileRules, IdleFilesAreClosedAndReopenedByTheirNextLine)
{
    Scenario s;
    mkdir(s.dir.file("v").c_str(), 0755);
    s.start_daemon(s.spread_block("  Log {\n    Group = v\n    VhostDir = " + s.dir.file("v") +
                                  "\n    IdleClose = 1\n  }\n  Log {\n    Group = d\n    DatedFile = " +
                                  s.dir.file("d-%Y.log") + "\n    IdleClose = 1\n  }\n"));
    char year[8];
    time_t now = time(nullptr);
    strftime(year, sizeof year, "%Y", localtime(&now));
    std::string quiet = s.dir.file("v/quiet"), busy = s.dir.file("v/busy"), dated = s.dir.file(std::string("d-") + year + ".log");
    pid_t pid = s.daemon->pid;
    s.send("quiet first\nbusy 0\n", {"v"});
    s.send("dated first\n", {"d"});
    ASSERT_TRUE(s.wait_lines(quiet, 1));
    ASSERT_TRUE(s.wait_lines(dated, 1));
    // The busy host sends on while the others go quiet, until they are closed.
    Process cat;
    ASSERT_TRUE(cat.start({bin("spcat"), "-s", std::to_string(s.port), "-g", "v"}, true));
    int sent = 1;
    ASSERT_TRUE(wait_until([&] {
        cat.send("busy " + std::to_string(sent++) + "\n");
        return !holds_open(pid, quiet) && !holds_open(pid, dated);
    })) << s.daemon->err();
    cat.close_stdin();
    ASSERT_TRUE(cat.wait());
    s.send("quiet second\n", {"v"});
    s.send("dated second\n", {"d"});
    ASSERT_TRUE(s.wait_lines(quiet, 2));
    ASSERT_TRUE(s.wait_lines(dated, 2));
    EXPECT_TRUE(holds_open(pid, quiet));
    EXPECT_TRUE(holds_open(pid, dated));
    s.terminate_daemon();
    EXPECT_EQ(read_file(quiet), "first\nsecond\n");
    EXPECT_EQ(read_file(dated), "dated first\ndated second\n");
    EXPECT_EQ(count_lines(read_file(busy)), (size_t)sent);
}

// SyncInterval: fdatasync counted with strace (every thread of the daemon)
// while two files (a File and a host's file) take lines at a steady rate:
// each is synced, at most once per interval (plus the sync of its close at
// SIGTERM), and its last write is synced (by the interval, or at SIGTERM).
TEST(FileRules, SyncAtMostOncePerIntervalAndAtTheEnd)
{
    if (!file_exists("/usr/bin/strace"))
        GTEST_SKIP() << "strace is not installed";
    Scenario s;
    mkdir(s.dir.file("v").c_str(), 0755);
    s.start_daemon(s.spread_block("  Log {\n    Group = f\n    File = " + s.dir.file("f.log") +
                                  "\n    SyncInterval = 1\n  }\n  Log {\n    Group = v\n    VhostDir = " +
                                  s.dir.file("v") + "\n    SyncInterval = 1\n  }\n"));
    Process trace;
    ASSERT_TRUE(trace.start({"/usr/bin/strace", "-f", "-ttt", "-y", "-e", "trace=fdatasync", "-o",
                             s.dir.file("trace"), "-p", std::to_string(s.daemon->pid)}));
    ASSERT_TRUE(wait_until([&] { return trace.err().find("attached") != std::string::npos || !trace.running(); }));
    if (!trace.running() || trace.err().find("Operation not permitted") != std::string::npos)
        GTEST_SKIP() << "strace cannot attach here: " << trace.err();
    auto started = std::chrono::steady_clock::now();
    Process f, v;
    ASSERT_TRUE(f.start({bin("spcat"), "-s", std::to_string(s.port), "-g", "f"}, true));
    ASSERT_TRUE(v.start({bin("spcat"), "-s", std::to_string(s.port), "-g", "v"}, true));
    // 50 lines a second each, for five seconds.
    for (int i = 0; i < 250; i++) {
        f.send("line " + std::to_string(i) + "\n");
        v.send("h1 line " + std::to_string(i) + "\n");
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    f.close_stdin();
    v.close_stdin();
    ASSERT_TRUE(f.wait());
    ASSERT_TRUE(v.wait());
    ASSERT_TRUE(s.wait_lines(s.dir.file("f.log"), 250));
    ASSERT_TRUE(s.wait_lines(s.dir.file("v/h1"), 250));
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    s.terminate_daemon();
    ASSERT_TRUE(trace.wait());

    std::map<std::string, std::vector<double>> syncs;  // by file, the times of its fdatasync calls
    std::istringstream in(read_file(s.dir.file("trace")));
    for (std::string line; std::getline(in, line);) {
        size_t call = line.find("fdatasync(");
        size_t open = line.find('<', call), close = line.find('>', open);
        if (call == std::string::npos || open == std::string::npos || close == std::string::npos)
            continue;
        std::istringstream fields(line);
        long tid;
        double at;
        fields >> tid >> at;
        syncs[line.substr(open + 1, close - open - 1)].push_back(at);
    }
    for (const std::string &path : {s.dir.file("f.log"), s.dir.file("v/h1")}) {
        SCOPED_TRACE(path);
        const std::vector<double> &times = syncs[path];
        ASSERT_GE(times.size(), 3u) << read_file(s.dir.file("trace"));
        // One per interval while lines come, one more at the end.
        EXPECT_LE(times.size(), (size_t)seconds + 2) << read_file(s.dir.file("trace"));
        // The last write was synced: by the interval, or at SIGTERM when
        // it came within the last interval.
        struct stat st;
        ASSERT_EQ(stat(path.c_str(), &st), 0);
        double written = st.st_mtim.tv_sec + st.st_mtim.tv_nsec / 1e9;
        EXPECT_GE(times.back(), written) << "synced after the last write";
    }
}
