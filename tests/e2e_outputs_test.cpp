// The daemon end to end with outputs that misbehave, as real processes:
// minispread, wickerpost and spcat: a stuck or slow command, a full disk,
// a size limit within a batch, hostile vhost entries, the descriptor
// limit, a FIFO without a reader, an output that cannot be reopened. Each
// test is one scenario; its comment says what it checks.
#include <gtest/gtest.h>

#include <dirent.h>
#include <regex>
#include <set>

#include "support/e2e.h"
#include "support/scenario.h"

using namespace wkp_test;

namespace {

std::string numbered_lines(int from, int to, size_t size)
{
    std::string text;
    for (int i = from; i < to; i++)
        text += numbered_line(i, size);
    return text;
}

// Checks that `text` is whole numbered lines of `size` bytes, each number
// at most once and in ascending order; gives how many.
size_t count_whole_lines(const std::string &text, size_t size)
{
    EXPECT_EQ(text.size() % size, 0u) << "a torn line";
    int last = -1;
    size_t n = 0;
    for (size_t at = 0; at + size <= text.size(); at += size, n++) {
        int i = atoi(text.substr(at, 7).c_str());
        EXPECT_EQ(text.substr(at, size), numbered_line(i, size)) << "line at byte " << at;
        EXPECT_GT(i, last) << "line at byte " << at;
        last = i;
    }
    return n;
}

// The sum of the counts of every "Dropped %lu messages for <path>: ..."
// line of `err`.
unsigned long dropped_in(const std::string &err, const std::string &path)
{
    unsigned long total = 0;
    std::string tail = " messages for " + path + ": ";
    for (const std::string &line : split_lines(err)) {
        unsigned long n;
        if (line.rfind("Dropped ", 0) == 0 && sscanf(line.c_str(), "Dropped %lu", &n) == 1 &&
            line.find(tail) != std::string::npos)
            total += n;
    }
    return total;
}

// The processes below `pid` (the commands a daemon started), deepest first.
std::vector<pid_t> descendants(pid_t pid)
{
    std::vector<pid_t> found;
    std::istringstream children(read_file("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children"));
    pid_t child;
    while (children >> child) {
        for (pid_t below : descendants(child))
            found.push_back(below);
        found.push_back(child);
    }
    return found;
}

// A tmpfs of `size` mounted on `path` for as long as it lives.
struct SmallFileSystem {
    std::string path;
    bool mounted = false;
    SmallFileSystem(const std::string &where, const std::string &size) : path(where)
    {
        mkdir(path.c_str(), 0755);
        std::string command = "mount -t tmpfs -o size=" + size + " wkp-test " + path + " 2>/dev/null";
        mounted = system(command.c_str()) == 0;
    }
    ~SmallFileSystem()
    {
        if (mounted)
            (void)!system(("umount -l " + path).c_str());
    }
};

}  // namespace

// A piped command that never reads beside a plain file on another group:
// the command's pipe fills, then its backlog, then its messages are
// dropped and counted; the plain file gets every line meanwhile. SIGTERM
// gives up on the backlog once the command has taken nothing for the stall
// bound and ends the daemon with status 0, the drop reported with the
// exact line and every message not taken accounted for.
TEST(EndToEnd, StuckPipeHoldsUpNothing)
{
    Scenario s;
    const std::string command = "|exec sleep 1000";
    s.start_daemon(s.spread_block("  Log {\n    Group = stuck\n    File = '" + command +
                                  "'\n  }\n  Log {\n    Group = web\n    File = " + s.dir.file("web.log") + "\n  }\n"));
    const int stuck_lines = 6000;  // 6 MB: more than the pipe and the backlog hold
    s.send(numbered_lines(0, stuck_lines, 1000), {"stuck"});
    s.send(numbered_lines(0, 1000, 100), {"web"});
    ASSERT_TRUE(s.wait_lines(s.dir.file("web.log"), 1000)) << s.daemon->err();
    EXPECT_EQ(count_whole_lines(read_file(s.dir.file("web.log")), 100), 1000u);
    EXPECT_TRUE(wait_until([&] { return s.daemon->err().find("Dropped 1 messages for " + command + ": backlog full\n") != std::string::npos; }))
        << s.daemon->err();

    std::vector<pid_t> commands = descendants(s.daemon->pid);
    s.daemon->signal(SIGTERM);
    bool ended = s.daemon->wait(300000);
    for (pid_t command : commands)
        kill(command, SIGKILL);
    ASSERT_TRUE(ended);
    EXPECT_EQ(s.daemon->exit_code(), 0);
    EXPECT_TRUE(std::regex_search(s.daemon->err(), std::regex("Dropped [1-9][0-9]* messages for \\|exec sleep 1000: abandoned\n")))
        << s.daemon->err();
    // Taken by the pipe: at most its 64 KiB. Everything else is counted.
    unsigned long dropped = dropped_in(s.daemon->err(), command);
    EXPECT_LE(dropped, (unsigned long)stuck_lines);
    EXPECT_GE(dropped, (unsigned long)stuck_lines - 66) << s.daemon->err();
}

// SIGTERM beside a slow piped command (100 lines a second) with 2,000
// lines waiting for it in the daemon: the stop goes on while the command
// takes bytes, so every line lands, none is dropped, and the daemon exits
// 0 once the command has been handed them all. The wait for the exit is
// only a bound on a hang; a command that stalls is the stuck test's.
TEST(EndToEnd, SigtermWaitsForASlowCommandThatKeepsReading)
{
    Scenario s;
    // A pause of 10 ms before each line, without a process started per
    // line, so that the pace holds on a busy machine.
    const std::string command = "|perl -ne \"BEGIN { \\$| = 1 } select(undef, undef, undef, 0.01); print\" >>" + s.dir.file("slow.log");
    s.start_daemon(s.spread_block("  Log {\n    Group = slow\n    File = '" + command + "'\n  }\n  Log {\n    Group = mark\n    File = " +
                                  s.dir.file("mark.log") + "\n  }\n"));
    const int lines = 2000;
    s.send(numbered_lines(0, lines, 100), {"slow"});
    // One sender after the other: once the mark is written, every slow
    // line was handed to the command's pipe or its backlog.
    s.send("mark\n", {"mark"});
    ASSERT_TRUE(s.wait_lines(s.dir.file("mark.log"), 1)) << s.daemon->err();
    ASSERT_LT(count_lines(read_file(s.dir.file("slow.log"))), (size_t)lines / 2) << "the command was not slow";

    s.daemon->signal(SIGTERM);
    ASSERT_TRUE(s.daemon->wait(300000)) << s.daemon->err();
    EXPECT_EQ(s.daemon->exit_code(), 0);
    EXPECT_EQ(s.daemon->err().find("Dropped "), std::string::npos) << s.daemon->err();
    // The command reads what its pipe still holds, to the end of its input.
    ASSERT_TRUE(s.wait_lines(s.dir.file("slow.log"), lines, 120000));
    std::string out = read_file(s.dir.file("slow.log"));
    EXPECT_EQ(out, numbered_lines(0, lines, 100));
}

// A slow piped command (a line, then a pause): the plain group is not held
// up; the command gets, whole and in order, every line its backlog took,
// and the lines dropped once it was full are reported with the exact
// Dropped line. Every line is either in the command's output or counted.
TEST(EndToEnd, SlowPipeGetsWhatItsBacklogHoldsAndTheRestIsCounted)
{
    Scenario s;
    const std::string command = "|while read line; do echo \"$line\" >>" + s.dir.file("slow.out") + "; sleep 0.01; done";
    s.start_daemon(s.spread_block("  Log {\n    Group = slow\n    File = '" + command +
                                  "'\n  }\n  Log {\n    Group = web\n    File = " + s.dir.file("web.log") + "\n  }\n"));
    const int slow_lines = 6000;
    s.send(numbered_lines(0, slow_lines, 1000), {"slow"});
    s.send(numbered_lines(0, 200, 100), {"web"});
    ASSERT_TRUE(s.wait_lines(s.dir.file("web.log"), 200)) << s.daemon->err();
    EXPECT_TRUE(wait_until([&] { return s.daemon->err().find("Dropped 1 messages for " + command + ": backlog full\n") != std::string::npos; }))
        << s.daemon->err();
    EXPECT_GT(count_lines(read_file(s.dir.file("slow.out"))), 0u);
    std::vector<pid_t> commands = descendants(s.daemon->pid);
    ASSERT_FALSE(commands.empty());
    s.terminate_daemon();
    // The command reads on what its pipe held, to the end of its input,
    // and ends there.
    EXPECT_TRUE(wait_until([&] { return std::all_of(commands.begin(), commands.end(), ended); }, 120000));
    std::string out = read_file(s.dir.file("slow.out"));
    size_t whole = count_whole_lines(out, 1000);
    EXPECT_EQ(whole + dropped_in(s.daemon->err(), command), (size_t)slow_lines) << s.daemon->err();
}

// A full file system: a write that fails part-way is cut back, so the file
// holds whole lines only; the drops are reported at once, then summed;
// logging resumes by itself when space returns.
TEST(EndToEnd, FullFileSystemTearsNoLine)
{
    Scenario s;
    SmallFileSystem disk(s.dir.file("disk"), "64k");
    if (!disk.mounted)
        GTEST_SKIP() << "cannot mount a small tmpfs here (needs root or CAP_SYS_ADMIN)";
    write_file(disk.path + "/filler", std::string(32 * 1024, 'f'));
    std::string log = disk.path + "/web.log";
    s.start_daemon(s.spread_block("  Log {\n    Group = web\n    File = " + log + "\n  }\n  Log {\n    Group = mark\n    File = " +
                                  s.dir.file("mark.log") + "\n  }\n"));
    // One sender's messages are handled in order: once its mark is
    // written, so was every line before it.
    auto send_and_mark = [&](const std::string &lines, size_t marks) {
        Process cat;
        ASSERT_TRUE(cat.start({bin("spcat"), "-s", std::to_string(s.port), "-g", "web"}, true));
        cat.send(lines);
        cat.close_stdin();
        ASSERT_TRUE(cat.wait());
        s.send("mark\n", {"mark"});
        ASSERT_TRUE(s.wait_lines(s.dir.file("mark.log"), marks)) << s.daemon->err();
    };
    send_and_mark(numbered_lines(0, 1000, 100), 1);
    std::string first_report = "Dropped 1 messages for " + log + ": No space left on device\n";
    EXPECT_NE(s.daemon->err().find(first_report), std::string::npos) << s.daemon->err();
    size_t before = count_whole_lines(read_file(log), 100);
    EXPECT_LT(before, 1000u);

    // Space returns: the next lines land.
    ASSERT_EQ(unlink((disk.path + "/filler").c_str()), 0);
    send_and_mark(numbered_lines(2000, 2100, 100), 2);
    s.terminate_daemon();
    std::string err = s.daemon->err();
    EXPECT_EQ(err.find(first_report), err.rfind(first_report)) << "reported once, then summed";
    EXPECT_EQ(count_whole_lines(read_file(log), 100), before + 100);
    EXPECT_EQ(before + dropped_in(err, log), 1000u) << err;
}

// The file size limit (RLIMIT_FSIZE, SIGXFSZ ignored) falls inside line
// 100 of a stream of 1000 lines sent at full rate, so written in batches:
// the file keeps lines 0 to 99 whole, the bytes of line 100 that landed are
// cut off, and every later line is dropped and counted under the error.
TEST(EndToEnd, SizeLimitPartWayThroughABatchTearsNoLine)
{
    Scenario s;
    const size_t size = 100;
    const int fit = 100, total = 1000;
    // The limit holds for every file the daemon writes, its standard error
    // too, which stays far below it.
    s.runner = {"/usr/bin/prlimit", "--fsize=" + std::to_string(fit * size + size / 2), "--"};
    std::string log = s.dir.file("web.log");
    s.start_daemon(s.spread_block("  Log {\n    Group = web\n    File = " + log + "\n  }\n  Log {\n    Group = mark\n    File = " +
                                  s.dir.file("mark.log") + "\n  }\n"));
    s.send(numbered_lines(0, total, size), {"web"});
    // One session's messages are handled in order: once the mark is
    // written, every line was.
    s.send("mark\n", {"mark"});
    ASSERT_TRUE(s.wait_lines(s.dir.file("mark.log"), 1)) << s.daemon->err();
    s.terminate_daemon();
    std::string text = read_file(log);
    EXPECT_EQ(count_whole_lines(text, size), (size_t)fit);
    EXPECT_EQ(text, numbered_lines(0, fit, size));
    std::string err = s.daemon->err();
    EXPECT_NE(err.find("Dropped 1 messages for " + log + ": File too large\n"), std::string::npos) << err;
    EXPECT_EQ(dropped_in(err, log), (unsigned long)(total - fit)) << err;
}

// A symlink, a FIFO and a directory planted in a VhostDir under vhost
// names: refused, counted and reported; nothing written through the
// symlink, the FIFO left alone; other vhosts and another group go on.
TEST(EndToEnd, PlantedVhostEntriesAreRefused)
{
    Scenario s;
    std::string vhosts = s.dir.file("vhosts");
    mkdir(vhosts.c_str(), 0755);
    ASSERT_EQ(symlink("../outside.log", (vhosts + "/evil").c_str()), 0);
    ASSERT_EQ(mkfifo((vhosts + "/fifo").c_str(), 0644), 0);
    ASSERT_EQ(mkdir((vhosts + "/dir").c_str(), 0755), 0);
    s.start_daemon(s.spread_block("  Log {\n    Group = vh\n    VhostDir = " + vhosts + "\n  }\n  Log {\n    Group = web\n    File = " +
                                  s.dir.file("web.log") + "\n  }\n"));
    s.send("evil " + clf1 + "fifo " + clf1 + "dir " + clf1 + "good " + clf2, {"vh"});
    s.send(clf1, {"web"});
    ASSERT_TRUE(s.wait_lines(vhosts + "/good", 1)) << s.daemon->err();
    ASSERT_TRUE(s.wait_lines(s.dir.file("web.log"), 1));
    EXPECT_TRUE(s.daemon->running());
    s.terminate_daemon();
    EXPECT_EQ(read_file(vhosts + "/good"), clf2);
    EXPECT_EQ(read_file(s.dir.file("web.log")), clf1);
    EXPECT_FALSE(file_exists(s.dir.file("outside.log")));
    std::string err = s.daemon->err();
    // The first at once, the other two summed and reported at SIGTERM.
    EXPECT_NE(err.find("Dropped 1 messages for " + vhosts + ": not a regular file\n"
                       "Received SIGTERM, closing log files.\n"
                       "Dropped 2 messages for " + vhosts + ": not a regular file\n"
                       "Log files closed, exiting.\n"),
              std::string::npos)
        << err;
    struct stat st;
    ASSERT_EQ(lstat((vhosts + "/fifo").c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
}

// Under a hard limit of 256 descriptors: 2,000 vhost names, then the same
// names again. Vhost files stay under the cap (the least recently used are
// closed, the vhost table taken over in place), so every line lands in
// its own file exactly once; and a lost Spread session can reconnect.
TEST(EndToEnd, ThousandsOfVhostsUnderADescriptorLimit)
{
    Scenario s;
    std::string vhosts = s.dir.file("vhosts");
    mkdir(vhosts.c_str(), 0755);
    s.runner = {"/usr/bin/prlimit", "--nofile=256:256", "--"};
    s.start_daemon(s.spread_block("  Log {\n    Group = vh\n    VhostDir = " + vhosts + "\n  }\n  Log {\n    Group = web\n    File = " +
                                  s.dir.file("web.log") + "\n  }\n"),
                   {"-x"});
    const int names = 2000;
    std::string input;
    for (int round = 1; round <= 2; round++)
        for (int i = 0; i < names; i++)
            input += "host" + std::to_string(i) + " round " + std::to_string(round) + "\n";
    s.send(input, {"vh"});
    // Messages of one sender reach the daemon in order: once this one is
    // written, every vhost line before it was handled.
    s.send("done\n", {"web"});
    ASSERT_TRUE(s.wait_lines(s.dir.file("web.log"), 1, 30000)) << s.daemon->err();
    for (int i = 0; i < names; i++)
        ASSERT_EQ(read_file(vhosts + "/host" + std::to_string(i)), "round 1\nround 2\n") << i;
    size_t descriptors = 0;
    DIR *d = opendir(("/proc/" + std::to_string(s.daemon->pid) + "/fd").c_str());
    while (dirent *e = readdir(d))
        descriptors += e->d_name[0] != '.';
    closedir(d);
    // The reserve is left free (the session's socket came after the plan).
    EXPECT_LE(descriptors, 256u - 60) << "descriptors in use";

    s.stop_spread();
    s.start_spread();
    ASSERT_TRUE(wait_until(
        [&] {
            s.send("host7 after\n", {"vh"});
            return read_file(vhosts + "/host7").find("after\n") != std::string::npos;
        },
        15000))
        << s.daemon->err();
    s.terminate_daemon();
    EXPECT_EQ(s.daemon->err().find("Dropped"), std::string::npos) << s.daemon->err();
}

// A File that is a FIFO without a reader neither blocks nor stops start-up
// (even with locking on): it is named with the reason, its messages are
// counted, and once a reader comes the next message goes to it.
TEST(EndToEnd, FifoWithoutAReaderIsOpenedWhenOneComes)
{
    Scenario s;
    std::string fifo = s.dir.file("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    s.start_daemon(s.spread_block("  Log {\n    Group = f\n    File = " + fifo + "\n  }\n"));
    EXPECT_NE(s.daemon->err().find("Cannot open " + fifo + ": No such device or address\n"), std::string::npos)
        << s.daemon->err();
    s.send("before a reader\n", {"f"});
    ASSERT_TRUE(wait_until([&] { return s.daemon->err().find("Dropped 1 messages for " + fifo + ": output not open\n") != std::string::npos; }))
        << s.daemon->err();
    int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    std::string got;
    ASSERT_TRUE(wait_until([&] {
        s.send("with a reader\n", {"f"});
        char buffer[256];
        ssize_t n = read(reader, buffer, sizeof buffer);
        if (n > 0)
            got.append(buffer, n);
        return !got.empty();
    }));
    EXPECT_EQ(got.substr(0, 14), "with a reader\n");
    s.terminate_daemon();
    close(reader);
}

// A reopen (SIGHUP) that cannot open an output says so and goes on: the
// other outputs are reopened, and the output is tried again at its next
// message.
TEST(EndToEnd, OutputThatCannotBeReopenedIsRetried)
{
    Scenario s;
    std::string sub = s.dir.file("sub");
    mkdir(sub.c_str(), 0755);
    s.start_daemon(s.spread_block("  Log {\n    Group = a\n    File = " + sub + "/a.log\n  }\n  Log {\n    Group = b\n    File = " +
                                  s.dir.file("b.log") + "\n  }\n"));
    s.send("1\n", {"a"});
    ASSERT_TRUE(s.wait_lines(sub + "/a.log", 1));
    ASSERT_EQ(system(("rm -rf '" + sub + "'").c_str()), 0);
    s.daemon->signal(SIGHUP);
    ASSERT_TRUE(wait_until([&] { return s.daemon->err().find("Cannot open " + sub + "/a.log: No such file or directory\n") != std::string::npos; }))
        << s.daemon->err();
    s.send("2\n", {"a"});
    s.send("b\n", {"b"});
    ASSERT_TRUE(s.wait_lines(s.dir.file("b.log"), 1));
    EXPECT_TRUE(s.daemon->running());
    mkdir(sub.c_str(), 0755);
    s.send("3\n", {"a"});
    ASSERT_TRUE(s.wait_lines(sub + "/a.log", 1)) << s.daemon->err();
    s.terminate_daemon();
    EXPECT_EQ(read_file(sub + "/a.log"), "3\n");
    EXPECT_NE(s.daemon->err().find("Dropped 1 messages for " + sub + "/a.log: output not open\n"), std::string::npos)
        << s.daemon->err();
}
