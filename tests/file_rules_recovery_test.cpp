// What a size limit and compression leave on disk, on the real daemon:
// the numbers a rotation shifts, a compression that fails, and the ended
// periods of dated names a killed daemon left uncompressed.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <atomic>
#include <map>

#include "support/scenario.h"

using namespace wkp_test;

namespace {

bool ends_with(const std::string &s, const std::string &end)
{
    return s.size() >= end.size() && s.compare(s.size() - end.size(), end.size(), end) == 0;
}

size_t occurrences(const std::string &in, const std::string &text)
{
    size_t n = 0;
    for (size_t at = in.find(text); at != std::string::npos; at = in.find(text, at + 1))
        n++;
    return n;
}

// The local time `when` through strftime `format`.
std::string local_time(const char *format, time_t when)
{
    char text[64];
    struct tm tm;
    strftime(text, sizeof text, format, localtime_r(&when, &tm));
    return text;
}

}  // namespace

// A rotation moves only the run of numbers there are from NAME.1 up to the
// first free one, each in the form it has, and removes NAME.Keep only when
// the run reaches it. An operator who removed NAME.3 finds it filled by
// the next rotation and the older files where they were; one who removed
// NAME.1 finds only the live file moved.
TEST(FileRulesRecovery, RotationShiftsOnlyTheNumbersThereAre)
{
    struct Case {
        const char *what;
        std::vector<std::string> before;            // rotated files there at start ("" the live one)
        std::map<std::string, std::string> after;   // name after the rotation -> name it had
    } cases[] = {
        {"all five kept: .5 removed, every file moved",
         {".1", ".2", ".3", ".4", ".5"},
         {{".1", ""}, {".2", ".1"}, {".3", ".2"}, {".4", ".3"}, {".5", ".4"}}},
        {".3 removed by the operator: .1 and .2 fill it, .4 and .5 stay",
         {".1", ".2", ".4", ".5"},
         {{".1", ""}, {".2", ".1"}, {".3", ".2"}, {".4", ".4"}, {".5", ".5"}}},
        {".1 removed by the operator: only the live file moves",
         {".2", ".3"},
         {{".1", ""}, {".2", ".2"}, {".3", ".3"}}},
        {"compressed forms move as they are",
         {".1", ".2.zst", ".4.gz"},
         {{".1", ""}, {".2", ".1"}, {".3.zst", ".2.zst"}, {".4.gz", ".4.gz"}}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Scenario s;
        std::string live = s.dir.file("r/out.log");
        mkdir(s.dir.file("r").c_str(), 0755);
        // 3,000 bytes live: the next 2,000-byte message passes MaxSize.
        write_file(live, std::string(2999, 'l') + "\n");
        for (const std::string &suffix : c.before)
            write_file(live + suffix, "was out.log" + suffix + "\n");
        s.start_daemon(s.spread_block("  Log {\n    Group = r\n    File = " + live +
                                      "\n    MaxSize = 4K\n    Keep = 5\n  }\n"));
        std::string message = numbered_line(1, 2000);
        s.send(message, {"r"});
        ASSERT_TRUE(wait_until([&] { return read_file(live) == message; })) << s.daemon->err();
        s.terminate_daemon();
        std::set<std::string> expected{"out.log"};
        for (const auto &[now, was] : c.after) {
            expected.insert("out.log" + now);
            EXPECT_EQ(read_file(live + now), was.empty() ? std::string(2999, 'l') + "\n" : "was out.log" + was + "\n")
                << "out.log" << now;
        }
        EXPECT_EQ(entries(s.dir.file("r")), expected);
        EXPECT_EQ(s.daemon->err().find("Cannot"), std::string::npos) << s.daemon->err();
    }
}

// A compression that fails (here the compressed name is taken by a
// directory) is said once, with the file and the reason, and the file
// stays whole beside what is in the way.
TEST(FileRulesRecovery, FailedCompressionIsSaidAndTheFileStays)
{
    Scenario s;
    std::string dir = s.dir.file("d");
    mkdir(dir.c_str(), 0755);
    // A directory in the way of every compressed name of the next minutes.
    time_t now = time(nullptr);
    for (time_t t = now; t < now + 300; t++)
        mkdir((dir + "/" + local_time("%H%M%S", t) + ".log.zst").c_str(), 0755);
    s.start_daemon(s.spread_block("  Log {\n    Group = d\n    DatedFile = " + dir +
                                  "/%H%M%S.log\n    Compress = zstd\n  }\n"));
    s.send("one\n", {"d"});
    ASSERT_TRUE(wait_until([&] { return s.daemon->err().find("Cannot compress ") != std::string::npos; }))
        << s.daemon->err();
    std::string err = s.daemon->err();
    size_t at = err.find("Cannot compress ");
    std::string line = err.substr(at, err.find('\n', at) - at);
    std::string path = line.substr(strlen("Cannot compress "), line.find(": ") - strlen("Cannot compress "));
    EXPECT_EQ(line, "Cannot compress " + path + ": " + path + ".zst: File exists");
    // Every period is said in turn, so the one that holds the line is too.
    std::string with_line;
    ASSERT_TRUE(wait_until([&] {
        for (const std::string &name : entries(dir))
            if (ends_with(name, ".log") && read_file(dir + "/" + name) == "one\n" &&
                s.daemon->err().find("Cannot compress " + dir + "/" + name + ": ") != std::string::npos)
                with_line = dir + "/" + name;
        return !with_line.empty();
    })) << s.daemon->err();
    s.terminate_daemon();
    err = s.daemon->err();
    EXPECT_EQ(occurrences(err, "Cannot compress " + with_line + ": "), 1u) << err;
    EXPECT_EQ(read_file(with_line), "one\n");
    struct stat st;
    ASSERT_EQ(stat((with_line + ".zst").c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    // Nothing of the failed attempts is left.
    for (const std::string &name : entries(dir))
        EXPECT_FALSE(ends_with(name, ".tmp")) << name;
}

namespace {

// Line i of a dated output, of 120 bytes.
std::string line_of(int i) { return numbered_line(i, 120); }

// The files of `dir` in name order, each as it holds (decompressed with
// `tool` when its name ends in `suffix`), joined; a compressed file that
// `tool -t` refuses, a name there in both forms or a "*.tmp" file fails
// the test.
std::string joined_period_files(const std::string &dir, const std::string &tool, const std::string &suffix)
{
    std::string all;
    std::set<std::string> names = entries(dir);
    for (const std::string &name : names) {
        std::string path = dir + "/" + name;
        EXPECT_FALSE(ends_with(name, ".tmp")) << path;
        if (!ends_with(name, suffix)) {
            EXPECT_EQ(names.count(name + suffix), 0u) << path << " is there in both forms";
            all += read_file(path);
            continue;
        }
        int status = 0;
        command_output(tool + " -t -q " + path + " 2>&1", &status);
        EXPECT_EQ(status, 0) << path << " is not whole";
        all += command_output(tool + " -dc " + path, &status);
    }
    return all;
}

// The numbers of the whole lines of `text`, checked to be `first`,
// first + `step`, ... in order; the last line may be the head of one a
// SIGKILL cut short. Returns how many lines were whole.
size_t check_numbered(const std::string &text, int first, int step, const std::string &where)
{
    size_t lines = text.size() / 120, torn = text.size() % 120;
    for (size_t i = 0; i < lines; i++)
        if (text.compare(i * 120, 120, line_of(first + (int)i * step)) != 0) {
            ADD_FAILURE() << "line " << i << " of " << where << " is not " << first + (int)i * step;
            return i;
        }
    if (torn != 0) {
        EXPECT_EQ(text.substr(lines * 120), line_of(first + (int)lines * step).substr(0, torn)) << where;
    }
    return lines;
}

}  // namespace

// Dated names by the second with Compress, a DatedFile and a VhostFile (two
// hosts), numbered lines at a steady rate, SIGKILL at moments of a table
// (right after a period ended, when its file is queued or not yet): the
// daemon started again on the same configuration compresses every file of
// an ended period, also those the killed one never queued, and a period
// file an earlier run left (planted), with its leftover; files that the
// patterns cannot name are not touched. Each period's lines are then in
// exactly one whole compressed file, and the files in name order hold
// every line sent, once and in order.
TEST(FileRulesRecovery, EndedPeriodsLeftBySigkillAreCompressedOnce)
{
    if (!file_exists("/usr/bin/zstd") || !file_exists("/bin/gzip"))
        GTEST_SKIP() << "zstd or gzip is not installed";
    struct Case {
        const char *compress;
        int kill_after_ms;  // after the wall clock's second changed
    } cases[] = {{"zstd", 0}, {"gzip", 0}, {"zstd", 5}, {"gzip", 40}, {"zstd", 400}};
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.compress) + " killed " + std::to_string(c.kill_after_ms) +
                     " ms into a second");
        bool zstd = std::string(c.compress) == "zstd";
        std::string suffix = zstd ? ".zst" : ".gz", tool = zstd ? "zstd" : "gzip";
        Scenario s;
        std::string d = s.dir.file("d"), v = s.dir.file("v");
        mkdir(d.c_str(), 0755);
        mkdir(v.c_str(), 0755);
        mkdir((v + "/h1").c_str(), 0755);
        // An earlier run's period with a leftover of its compression, and
        // files no pattern names.
        write_file(d + "/000000.log", line_of(1));
        write_file(d + "/000000.log" + suffix + ".tmp", "half");
        write_file(v + "/h1/000000.log", line_of(1));
        for (const std::string &other : {d + "/notes.txt", d + "/1234567.log", d + "/12345.log", v + "/h1/x.log"})
            write_file(other, "not a period\n");
        std::string config = s.spread_block("  Log {\n    Group = d\n    DatedFile = " + d +
                                            "/%H%M%S.log\n    Compress = " + c.compress +
                                            "\n  }\n  Log {\n    Group = v\n    VhostDir = " + v +
                                            "\n    VhostFile = %H%M%S.log\n    Compress = " + c.compress + "\n  }\n");
        s.start_daemon(config);
        Process to_d, to_v;
        ASSERT_TRUE(to_d.start({bin("spcat"), "-s", std::to_string(s.port), "-g", "d"}, true));
        ASSERT_TRUE(to_v.start({bin("spcat"), "-s", std::to_string(s.port), "-g", "v"}, true));
        // Lines 2.. every 2 ms: to the DatedFile all, to the hosts in turn.
        std::atomic<bool> stop{false};
        std::atomic<int> sent{2};
        std::thread feeder([&] {
            for (int i = 2; !stop; i++) {
                to_d.send(line_of(i));
                to_v.send(std::string(i % 2 ? "h1 " : "h2 ") + line_of(i));
                sent = i + 1;
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            }
        });
        // Three seconds of periods, then the kill at its moment into a second.
        time_t started = time(nullptr);
        ASSERT_TRUE(wait_until([&] { return time(nullptr) >= started + 3; }));
        time_t second = time(nullptr);
        ASSERT_TRUE(wait_until([&] { return time(nullptr) > second; }, 5000));
        std::this_thread::sleep_for(std::chrono::milliseconds(c.kill_after_ms));
        s.daemon->signal(SIGKILL);
        ASSERT_TRUE(s.daemon->wait());
        stop = true;
        feeder.join();
        to_d.close_stdin();
        to_v.close_stdin();
        to_d.wait();
        to_v.wait();

        // The next daemon, which is sent nothing: once the files of every
        // period before its start are compressed, it is stopped.
        std::string restarted = local_time("%H%M%S", time(nullptr));
        s.start_daemon(config);
        auto plain_left = [&](const std::string &dir) {
            for (const std::string &name : entries(dir))
                if (ends_with(name, ".log") && name.size() == 10 && name < restarted && name != "000000.log")
                    return true;
            return file_exists(dir + "/000000.log");
        };
        int status = 0;
        ASSERT_TRUE(wait_until([&] {
            return !plain_left(d) && !plain_left(v + "/h1") && !plain_left(v + "/h2");
        })) << s.daemon->err() << "\n" << command_output("ls -l " + d + " " + v + "/*", &status);
        s.terminate_daemon();
        EXPECT_EQ(s.daemon->err().find("Cannot"), std::string::npos) << s.daemon->err();

        for (const std::string &other : {d + "/notes.txt", d + "/1234567.log", d + "/12345.log", v + "/h1/x.log"}) {
            EXPECT_EQ(read_file(other), "not a period\n") << other;
            std::remove(other.c_str());
        }
        // Lines 1.. of the DatedFile; 1, 3, 5... of h1 and 2, 4, 6... of h2
        // (line 1 the planted one).
        size_t in_d = check_numbered(joined_period_files(d, tool, suffix), 1, 1, d);
        size_t in_h1 = check_numbered(joined_period_files(v + "/h1", tool, suffix), 1, 2, "h1");
        size_t in_h2 = check_numbered(joined_period_files(v + "/h2", tool, suffix), 2, 2, "h2");
        // Everything sent before the kill but what was in flight.
        EXPECT_GT(in_d, 200u);
        EXPECT_LE(in_d, (size_t)sent.load());
        EXPECT_GT(in_h1 + in_h2, 200u);
    }
}
