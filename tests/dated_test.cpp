// Dated file names on the real daemon: DatedFile and VhostFile patterns
// that change every second, the files they make and what stays open, the
// period changing amid batches and SIGHUPs, what a vhost's way to its file
// may not hold, and the patterns refused at start-up.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <map>

#include "support/process.h"
#include "support/scenario.h"

using namespace wkp_test;

namespace {

// Every regular file below `dir`, by its path relative to `dir`, in name
// order, with its content.
void collect(const std::string &dir, const std::string &prefix, std::map<std::string, std::string> *files)
{
    for (const std::string &name : entries(dir)) {
        std::string path = dir + "/" + name;
        struct stat st;
        if (lstat(path.c_str(), &st) != 0)
            continue;
        if (S_ISDIR(st.st_mode))
            collect(path, prefix + name + "/", files);
        else if (S_ISREG(st.st_mode))
            (*files)[prefix + name] = read_file(path);
    }
}

std::map<std::string, std::string> files_under(const std::string &dir)
{
    std::map<std::string, std::string> files;
    collect(dir, "", &files);
    return files;
}

// The files in name order, one after the other.
std::string joined(const std::map<std::string, std::string> &files)
{
    std::string all;
    for (const auto &file : files)
        all += file.second;
    return all;
}

// The regular files below `dir` that process pid holds open.
std::vector<std::string> open_under(pid_t pid, const std::string &dir)
{
    std::vector<std::string> found;
    std::string fds = "/proc/" + std::to_string(pid) + "/fd";
    for (const std::string &name : entries(fds)) {
        char target[4096] = {};
        ssize_t n = readlink((fds + "/" + name).c_str(), target, sizeof target - 1);
        // Files only: a directory's descriptor is open for a moment while
        // a new period's file is made in it.
        struct stat st;
        if (n > 0 && std::string(target, (size_t)n).rfind(dir + "/", 0) == 0 &&
            stat((fds + "/" + name).c_str(), &st) == 0 && S_ISREG(st.st_mode))
            found.push_back(target);
    }
    return found;
}

// The year now, as %Y gives it.
std::string this_year()
{
    time_t now = time(nullptr);
    struct tm local;
    localtime_r(&now, &local);
    return std::to_string(1900 + local.tm_year);
}

// A DatedFile for group "a" under d/ and a VhostFile for group "v" under
// v/, on the scenario's daemon, each group fed by a spcat of its own.
struct DatedOutputs {
    Scenario &s;
    std::string d = s.dir.file("d"), v = s.dir.file("v");
    Process plain, vhost;

    explicit DatedOutputs(Scenario &scenario) : s(scenario)
    {
        mkdir(d.c_str(), 0755);
        mkdir(v.c_str(), 0755);
    }

    // Starts the daemon with the two outputs, then the two senders.
    bool start(const std::string &vhost_file)
    {
        s.start_daemon(s.spread_block("  Log {\n    Group = a\n    DatedFile = " + d + "/%Y%m%d%H%M%S.log\n  }\n" +
                                      "  Log {\n    Group = v\n    VhostDir = " + v + "\n    VhostFile = " +
                                      vhost_file + "\n  }\n"));
        return plain.start({bin("spcat"), "-s", std::to_string(s.port), "-g", "a"}, true) &&
               vhost.start({bin("spcat"), "-s", std::to_string(s.port), "-g", "v"}, true);
    }

    // Ends the senders' input, waits for them, then until both outputs
    // hold `lines` lines.
    bool finish(size_t lines)
    {
        plain.close_stdin();
        vhost.close_stdin();
        return plain.wait() && vhost.wait() && wait_until([&] {
                   return count_lines(joined(files_under(d))) == lines &&
                          count_lines(joined(files_under(v))) == lines;
               });
    }
};

}  // namespace

// Lines sent at a steady pace for about three seconds to a DatedFile and a
// VhostFile that both change every second: they land in several files;
// the files of each output (of each host), in name order, hold every line
// once, whole and in order, without the host word; and no more than the
// current file of each output (each host) is ever open.
TEST(DatedNames, SteadyLinesFollowTheSecond)
{
    Scenario s;
    DatedOutputs out(s);
    const std::string &d = out.d, &v = out.v;
    Process &plain = out.plain, &vhost = out.vhost;
    ASSERT_TRUE(out.start("%Y%m%d%H/%M%S.log"));
    const int lines = 150;
    std::string expected, expected_host[2];
    size_t most_open = 0, most_open_vhosts = 0;
    for (int i = 0; i < lines; i++) {
        std::string line = "line " + std::to_string(i) + "\n";
        plain.send(line);
        vhost.send("h" + std::to_string(i % 2) + ".example " + line);
        expected += line;
        expected_host[i % 2] += line;
        most_open = std::max(most_open, open_under(s.daemon->pid, d).size());
        most_open_vhosts = std::max(most_open_vhosts, open_under(s.daemon->pid, v).size());
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ASSERT_TRUE(out.finish((size_t)lines)) << s.daemon->err();
    EXPECT_LE(open_under(s.daemon->pid, d).size(), 1u);
    s.terminate_daemon();

    auto dated = files_under(d);
    EXPECT_GE(dated.size(), 2u);
    EXPECT_EQ(joined(dated), expected);
    EXPECT_EQ(most_open, 1u);
    EXPECT_GE(most_open_vhosts, 1u);
    EXPECT_LE(most_open_vhosts, 2u);
    for (int h = 0; h < 2; h++) {
        SCOPED_TRACE(h);
        auto host = files_under(v + "/h" + std::to_string(h) + ".example");
        EXPECT_GE(host.size(), 2u);
        EXPECT_EQ(joined(host), expected_host[h]);
    }
    EXPECT_EQ(s.daemon->err().find("Dropped"), std::string::npos) << s.daemon->err();
}

// The period changes while files are written in batches and while SIGHUP
// reopens the outputs again and again: no line spans two files, none is
// lost or doubled, and the files in name order hold them in order.
TEST(DatedNames, PeriodChangesAmidBatchesAndSighups)
{
    Scenario s;
    DatedOutputs out(s);
    const std::string &d = out.d, &v = out.v;
    Process &plain = out.plain, &vhost = out.vhost;
    ASSERT_TRUE(out.start("%Y%m%d%H%M%S"));
    const int bursts = 25, per_burst = 800;
    std::string expected;
    for (int b = 0; b < bursts; b++) {
        std::string burst, vhost_burst;
        for (int i = 0; i < per_burst; i++) {
            std::string line = std::to_string(b * per_burst + i) + " GET /index.html HTTP/1.1 200\n";
            burst += line;
            vhost_burst += "h.example " + line;
        }
        expected += burst;
        plain.send(burst);
        vhost.send(vhost_burst);
        for (int k = 0; k < 3; k++) {
            s.daemon->signal(SIGHUP);
            std::this_thread::sleep_for(std::chrono::milliseconds(40));
        }
    }
    ASSERT_TRUE(out.finish((size_t)bursts * per_burst)) << s.daemon->err();
    s.terminate_daemon();
    EXPECT_GE(files_under(d).size(), 2u);
    EXPECT_EQ(joined(files_under(d)), expected);
    EXPECT_GE(files_under(v + "/h.example").size(), 2u);
    EXPECT_EQ(joined(files_under(v + "/h.example")), expected);
    EXPECT_EQ(s.daemon->err().find("Dropped"), std::string::npos) << s.daemon->err();
}

// On the way to a host's file under a VhostFile: a host whose name is a
// regular file already (a directory laid out without VhostFile) is said
// and its lines counted as dropped; a symlink is not followed; other hosts
// are written as always.
TEST(DatedNames, VhostFileWayHoldsDirectoriesOnly)
{
    Scenario s;
    const std::string v = s.dir.file("v"), elsewhere = s.dir.file("elsewhere");
    ASSERT_EQ(mkdir(v.c_str(), 0755), 0);
    ASSERT_EQ(mkdir(elsewhere.c_str(), 0755), 0);
    write_file(v + "/plain.example", "old layout\n");
    ASSERT_EQ(symlink(elsewhere.c_str(), (v + "/link.example").c_str()), 0);
    s.start_daemon(s.spread_block("  Log {\n    Group = v\n    VhostDir = " + v + "\n    VhostFile = logs/%Y.log\n  }\n"));
    s.send("plain.example one\nlink.example two\ngood.example three\n", {"v"});
    const std::string good = v + "/good.example/logs/" + this_year() + ".log";
    ASSERT_TRUE(s.wait_lines(good, 1)) << s.daemon->err();
    s.daemon->signal(SIGUSR1);
    ASSERT_TRUE(wait_until([&] { return s.daemon->err().find(" backlog=0\n") != std::string::npos; }))
        << s.daemon->err();
    s.terminate_daemon();

    EXPECT_EQ(read_file(good), "three\n");
    EXPECT_EQ(read_file(v + "/plain.example"), "old layout\n");
    EXPECT_EQ(entries(elsewhere), std::set<std::string>{});
    const std::string err = s.daemon->err();
    EXPECT_NE(err.find("Cannot open " + v + "/plain.example/logs/" + this_year() + ".log: Not a directory\n"),
              std::string::npos)
        << err;
    EXPECT_NE(err.find("output path=" + v + "/*/logs/%Y.log kind=vhost_directory written=1 bytes=6 dropped=2 "
                       "write_error=0 backlog_full=0 reader_ended=0 output_not_open=1 refused_vhost_name=0 "
                       "not_a_regular_file=1 no_descriptor=0 abandoned=0 too_long=0 filtered=0 backlog=0\n"),
              std::string::npos)
        << err;
}

// Patterns the daemon refuses: status 255, the reason and the usual
// report, and nothing made in the directory.
TEST(DatedNames, RefusedPatterns)
{
    TempDir dir;
    const std::string zeroing = "\nZeroing vhost hash for usage!\n";
    struct Case {
        const char *what;
        std::string log;
        std::string err;
    } cases[] = {
        {"a piped command", "DatedFile = '|cat >> " + dir.file("x") + "'",
         "DatedFile cannot name a piped command\nParser error on or before line 2\nOffending token: '|cat >> " +
             dir.file("x") + "\n"},
        {"VhostFile without VhostDir", "File = " + dir.file("a") + " VhostFile = %Y",
         "VhostFile without VhostDir\nParser error on or before line 3\nOffending token: }\n"},
        {"an absolute VhostFile", "VhostDir = " + dir.path + " VhostFile = /%Y",
         zeroing + "VhostFile must be a relative path\nParser error on or before line 2\nOffending token: /%Y\n"},
        {"a .. component", "DatedFile = " + dir.path + "/%Y/../x",
         "Empty or .. component in a file name pattern\nParser error on or before line 2\nOffending token: " +
             dir.path + "/%Y/../x\n"},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.what);
        const std::string conf = dir.file("wickerpost.conf");
        write_file(conf, "Spread {\n  Log {\n    Group = g " + c.log + "\n  }\n}\n");
        Process p;
        ASSERT_TRUE(p.start({bin("wickerpost"), "-D", "-c", conf}));
        ASSERT_TRUE(p.wait());
        EXPECT_EQ(p.exit_code(), 255);
        EXPECT_EQ(p.err(), c.err);
        EXPECT_EQ(entries(dir.path), std::set<std::string>{"wickerpost.conf"});
    }
}
