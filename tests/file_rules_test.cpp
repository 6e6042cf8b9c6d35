// The file settings of a Log block on the real daemon: size limits with
// retention, modes and owners, compression, their metrics (the refused
// settings, idle close and sync are in file_rules_settings_test.cpp). Each
// test is a scenario against minispread, with spcat sending.
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

// Message i of the size-limit runs: numbered, of mixed sizes (24 to 423
// bytes), one of them (number `big`) longer than the limit.
constexpr int big = 700;
std::string message(int i)
{
    return numbered_line(i, i == big ? 6000 : 24 + (size_t)(i * 37 % 400));
}

// The output kinds a size limit applies to.
enum class Kind { file, dated, vhost };
const char *kind_name(Kind k) { return k == Kind::file ? "File" : k == Kind::dated ? "DatedFile" : "VhostDir"; }

// The Log block writing group `group` to live file `live` (for a VhostDir,
// the host "h1" under `dir`), with `settings`.
std::string log_block(Kind k, const std::string &group, const std::string &dir, const std::string &settings)
{
    std::string out = k == Kind::file    ? "    File = " + dir + "/out.log\n"
                      : k == Kind::dated ? "    DatedFile = " + dir + "/out-%Y.log\n"
                                         : "    VhostDir = " + dir + "\n";
    return "  Log {\n    Group = " + group + "\n" + out + settings + "  }\n";
}

std::string live_name(Kind k, const std::string &dir)
{
    if (k == Kind::file)
        return dir + "/out.log";
    if (k == Kind::vhost)
        return dir + "/h1";
    char year[8];
    time_t now = time(nullptr);
    strftime(year, sizeof year, "%Y", localtime(&now));
    return dir + "/out-" + year + ".log";
}

// The files of a rotated output, oldest first: NAME.n ... NAME.1, NAME.
std::vector<std::string> rotated_files(const std::string &live)
{
    std::string dir = live.substr(0, live.rfind('/')), base = live.substr(live.rfind('/') + 1);
    std::map<int, std::string> numbered;
    for (const std::string &name : entries(dir)) {
        if (name.rfind(base + ".", 0) != 0)
            continue;
        std::string rest = name.substr(base.size() + 1);
        if (!rest.empty() && rest.find_first_not_of("0123456789") == std::string::npos)
            numbered[std::stoi(rest)] = dir + "/" + name;
    }
    std::vector<std::string> files;
    for (auto it = numbered.rbegin(); it != numbered.rend(); ++it)
        files.push_back(it->second);
    if (file_exists(live))
        files.push_back(live);
    return files;
}

// The numbers of the whole messages of `text`, in order; a torn or wrong
// one fails the test.
std::vector<int> message_numbers(const std::string &text, const std::string &where)
{
    std::vector<int> numbers;
    size_t at = 0;
    while (at < text.size()) {
        int i = atoi(text.substr(at, 7).c_str());
        std::string m = message(i);
        if (text.compare(at, m.size(), m) != 0) {
            ADD_FAILURE() << "not a whole message at byte " << at << " of " << where;
            break;
        }
        numbers.push_back(i);
        at += m.size();
    }
    return numbers;
}

}  // namespace

// MaxSize with Keep, for each output kind it applies to: numbered
// messages of mixed sizes (one longer than the limit) at full speed, a
// SIGHUP half-way. One output keeps every file (Keep 200): its files,
// oldest first, hold exactly 0..N-1, every message whole, every closed
// file within the limit unless it holds one message. The other keeps 3:
// never more than 4 files at any moment seen, and they hold the newest
// messages, up to the last one, without a gap.
TEST(FileRules, SizeLimitRotatesAtMessageBoundariesAndLosesNothing)
{
    const int total = 3000;
    const unsigned long long limit = 4096;
    for (Kind k : {Kind::file, Kind::dated, Kind::vhost}) {
        SCOPED_TRACE(kind_name(k));
        Scenario s;
        std::string all = s.dir.file("all"), few = s.dir.file("few");
        mkdir(all.c_str(), 0755);
        mkdir(few.c_str(), 0755);
        s.start_daemon(s.spread_block(log_block(k, "all", all, "    MaxSize = 4K\n    Keep = 200\n") +
                                      log_block(k, "few", few, "    MaxSize = 4K\n    Keep = 3\n")));
        std::string live_all = live_name(k, all), live_few = live_name(k, few);
        std::atomic<bool> done{false};
        std::atomic<size_t> most_files{0};
        std::thread watcher([&] {
            while (!done) {
                size_t n = rotated_files(live_few).size();
                if (n > most_files)
                    most_files = n;
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        });
        // Vhost messages carry their host first: "h1 " is not written.
        std::string prefix = k == Kind::vhost ? "h1 " : "";
        auto feed_group = [&](const std::string &group, bool hup) {
            Process cat;
            ASSERT_TRUE(cat.start({bin("spcat"), "-s", std::to_string(s.port), "-g", group}, true));
            std::string chunk;
            for (int i = 0; i < total; i++) {
                chunk += prefix + message(i);
                if (chunk.size() > 16384 || i + 1 == total || i + 1 == total / 2) {
                    cat.send(chunk);
                    chunk.clear();
                }
                if (hup && i + 1 == total / 2)
                    s.daemon->signal(SIGHUP);
            }
            cat.close_stdin();
            ASSERT_TRUE(cat.wait());
            ASSERT_EQ(cat.exit_code(), 0) << cat.err();
        };
        std::thread second([&] { feed_group("few", false); });
        feed_group("all", true);
        second.join();
        auto last_arrived = [](const std::string &live) {
            std::string text = read_file(live);
            return text.size() >= message(total - 1).size() &&
                   text.compare(text.size() - message(total - 1).size(), std::string::npos, message(total - 1)) == 0;
        };
        ASSERT_TRUE(wait_until([&] { return last_arrived(live_all) && last_arrived(live_few); }))
            << s.daemon->err();
        s.terminate_daemon();
        done = true;
        watcher.join();

        std::vector<int> numbers;
        std::vector<std::string> files = rotated_files(live_all);
        for (size_t f = 0; f < files.size(); f++) {
            std::string text = read_file(files[f]);
            std::vector<int> in_file = message_numbers(text, files[f]);
            if (f + 1 < files.size())
                EXPECT_TRUE(text.size() <= limit || in_file.size() == 1)
                    << files[f] << " holds " << text.size() << " bytes in " << in_file.size() << " messages";
            numbers.insert(numbers.end(), in_file.begin(), in_file.end());
        }
        ASSERT_EQ(numbers.size(), (size_t)total) << "files: " << files.size();
        for (int i = 0; i < total; i++)
            ASSERT_EQ(numbers[i], i);
        EXPECT_GT(files.size(), 50u);

        std::vector<std::string> kept = rotated_files(live_few);
        EXPECT_EQ(kept.size(), 4u);
        EXPECT_LE(most_files.load(), 4u);
        std::vector<int> tail;
        for (const std::string &f : kept) {
            std::vector<int> in_file = message_numbers(read_file(f), f);
            tail.insert(tail.end(), in_file.begin(), in_file.end());
        }
        ASSERT_FALSE(tail.empty());
        for (size_t i = 0; i < tail.size(); i++)
            ASSERT_EQ(tail[i], total - (int)tail.size() + (int)i);
        EXPECT_EQ(s.daemon->err().find("Cannot"), std::string::npos) << s.daemon->err();
    }
}

// FileMode, DirMode, FileOwner and FileGroup under every umask: the files
// and directories the daemon creates (a File, a DatedFile's directories
// and file, a host's file under a VhostDir) have exactly the configured
// mode, owner and group; files that existed before keep their own.
TEST(FileRules, CreatedFilesAndDirectoriesTakeTheirModeWhateverTheUmask)
{
    // Giving files away needs CAP_CHOWN: checked only where the test has it.
    bool can_chown = geteuid() == 0;
    for (const char *mask : {"000", "022", "077"}) {
        SCOPED_TRACE(std::string("umask ") + mask);
        Scenario s;
        s.runner = {"/bin/sh", "-c", std::string("umask ") + mask + "; exec \"$0\" \"$@\""};
        std::string owners = can_chown ? "    FileOwner = 65534\n    FileGroup = 65534\n" : "";
        mkdir(s.dir.file("vhosts").c_str(), 0755);
        write_file(s.dir.file("existing.log"), "");
        chmod(s.dir.file("existing.log").c_str(), 0611);
        write_file(s.dir.file("vhosts/old"), "");
        chmod(s.dir.file("vhosts/old").c_str(), 0602);
        s.start_daemon(s.spread_block(
            "  Log {\n    Group = f\n    File = " + s.dir.file("file.log") + "\n    FileMode = 0640\n" + owners +
            "  }\n  Log {\n    Group = e\n    File = " + s.dir.file("existing.log") + "\n    FileMode = 0640\n" +
            owners + "  }\n  Log {\n    Group = d\n    DatedFile = " + s.dir.file("%Y/%Y/out.log") +
            "\n    FileMode = 0604\n    DirMode = 0751\n" + owners + "  }\n  Log {\n    Group = v\n    VhostDir = " +
            s.dir.file("vhosts") + "\n    FileMode = 0660\n" + owners + "  }\n"));
        s.send("to the file\n", {"f"});
        s.send("to the existing file\n", {"e"});
        s.send("to the dated file\n", {"d"});
        s.send("new to the new host\nold to the old host\n", {"v"});
        char year[8];
        time_t now = time(nullptr);
        strftime(year, sizeof year, "%Y", localtime(&now));
        std::string dated_dir = s.dir.file(year), dated = dated_dir + "/" + year + "/out.log";
        ASSERT_TRUE(s.wait_lines(s.dir.file("file.log"), 1));
        ASSERT_TRUE(s.wait_lines(s.dir.file("existing.log"), 1));
        ASSERT_TRUE(s.wait_lines(dated, 1));
        ASSERT_TRUE(s.wait_lines(s.dir.file("vhosts/new"), 1));
        ASSERT_TRUE(s.wait_lines(s.dir.file("vhosts/old"), 1));
        s.terminate_daemon();
        struct Expected {
            std::string path;
            unsigned mode;
            bool created;
        };
        for (const Expected &e : std::vector<Expected>{{s.dir.file("file.log"), 0640, true},
                                                       {s.dir.file("existing.log"), 0611, false},
                                                       {dated_dir, 0751, true},
                                                       {dated_dir + "/" + year, 0751, true},
                                                       {dated, 0604, true},
                                                       {s.dir.file("vhosts/new"), 0660, true},
                                                       {s.dir.file("vhosts/old"), 0602, false}}) {
            struct stat st;
            ASSERT_EQ(stat(e.path.c_str(), &st), 0) << e.path;
            EXPECT_EQ(st.st_mode & 07777, e.mode) << e.path;
            if (can_chown) {
                EXPECT_EQ(st.st_uid, e.created ? 65534u : geteuid()) << e.path;
                EXPECT_EQ(st.st_gid, e.created ? 65534u : getegid()) << e.path;
            }
        }
        EXPECT_EQ(s.daemon->err().find("Cannot"), std::string::npos) << s.daemon->err();
    }
}

namespace {

// The rotated files of `live` as numbered: plain and compressed forms.
struct Rotated {
    std::map<int, bool> plain, compressed;
    bool leftovers = false;  // a "*.tmp" file
};
Rotated rotated_state(const std::string &dir, const std::string &base, const std::string &suffix)
{
    Rotated r;
    for (const std::string &name : entries(dir)) {
        if (name.size() > 4 && name.compare(name.size() - 4, 4, ".tmp") == 0)
            r.leftovers = true;
        if (name.rfind(base + ".", 0) != 0)
            continue;
        std::string rest = name.substr(base.size() + 1);
        bool compressed = rest.size() > suffix.size() &&
                          rest.compare(rest.size() - suffix.size(), suffix.size(), suffix) == 0;
        if (compressed)
            rest.resize(rest.size() - suffix.size());
        if (rest.empty() || rest.find_first_not_of("0123456789") != std::string::npos)
            continue;
        (compressed ? r.compressed : r.plain)[std::stoi(rest)] = true;
    }
    return r;
}

}  // namespace

// Compress with SIGKILL at moments of a table, while numbered lines are
// rotated (and compressed) many times a second: after the kill every
// rotated file is whole exactly once (a kill amid a rotation's renames
// may leave one number free), as itself or as a compressed file
// that zstd -t / gzip -t accepts (an original may stay beside its complete
// compressed form); a new daemon on the same configuration puts that
// right, compresses what was left, and the files, oldest first and
// decompressed, hold the lines 0..M-1 in order, none twice, none missing.
TEST(FileRules, CompressionSurvivesSigkillAtAnyMoment)
{
    if (!file_exists("/usr/bin/zstd") || !file_exists("/bin/gzip"))
        GTEST_SKIP() << "zstd or gzip is not installed";
    struct Case {
        const char *compress;
        int kill_after_ms;
    } cases[] = {{"zstd", 0}, {"gzip", 0}, {"zstd", 30}, {"gzip", 100}, {"zstd", 300}, {"gzip", 600}, {"zstd", 1000}};
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.compress) + " killed " + std::to_string(c.kill_after_ms) + " ms after the first rotation");
        std::string suffix = std::string(".") + (std::string(c.compress) == "zstd" ? "zst" : "gz");
        std::string tool = std::string(c.compress) == "zstd" ? "zstd" : "gzip";
        Scenario s;
        std::string config = s.spread_block("  Log {\n    Group = c\n    File = " + s.dir.file("c.log") +
                                            "\n    MaxSize = 64K\n    Keep = 1000\n    Compress = " + c.compress +
                                            "\n  }\n");
        s.start_daemon(config);
        Process cat;
        ASSERT_TRUE(cat.start({bin("spcat"), "-s", std::to_string(s.port), "-g", "c"}, true));
        std::atomic<bool> stop{false};
        std::thread feeder([&] {
            for (int i = 0; !stop; i++) {
                cat.send(numbered_line(i, 200));
                if (i % 200 == 199)
                    std::this_thread::sleep_for(std::chrono::milliseconds(2));
            }
        });
        // The moment is counted from the first rotation.
        ASSERT_TRUE(wait_until([&] {
            return file_exists(s.dir.file("c.log.1")) || file_exists(s.dir.file("c.log.1" + suffix));
        }));
        std::this_thread::sleep_for(std::chrono::milliseconds(c.kill_after_ms));
        s.daemon->signal(SIGKILL);
        ASSERT_TRUE(s.daemon->wait());
        stop = true;
        feeder.join();
        cat.close_stdin();
        cat.wait();

        // Right after the kill: every number whole once at least.
        Rotated after_kill = rotated_state(s.dir.path, "c.log", suffix);
        int highest = std::max(after_kill.plain.empty() ? 0 : after_kill.plain.rbegin()->first,
                               after_kill.compressed.empty() ? 0 : after_kill.compressed.rbegin()->first);
        // A kill amid the renames of a rotation leaves one number free
        // (NAME.i moved on to NAME.i+1, NAME.i-1 not yet to NAME.i): a
        // gap in the numbering, no file lost.
        int numbers = 0, gaps = 0;
        for (int i = 1; i <= highest; i++) {
            bool present = after_kill.plain.count(i) || after_kill.compressed.count(i);
            numbers += present;
            gaps += !present;
        }
        EXPECT_LE(gaps, 1);
        for (const auto &[i, present] : after_kill.compressed) {
            int status = 0;
            command_output(tool + " -t -q " + s.dir.file("c.log." + std::to_string(i) + suffix) + " 2>&1", &status);
            EXPECT_EQ(status, 0) << "c.log." << i << suffix << " is not whole";
        }

        // A new daemon finishes the work.
        s.start_daemon(config);
        ASSERT_TRUE(wait_until([&] {
            Rotated r = rotated_state(s.dir.path, "c.log", suffix);
            return r.plain.empty() && !r.leftovers;
        })) << s.daemon->err();
        s.terminate_daemon();
        Rotated done = rotated_state(s.dir.path, "c.log", suffix);
        std::string all;
        for (auto it = done.compressed.rbegin(); it != done.compressed.rend(); ++it) {
            int status = 0;
            std::string path = s.dir.file("c.log." + std::to_string(it->first) + suffix);
            all += command_output(tool + " -dc " + path, &status);
            EXPECT_EQ(status, 0) << path;
        }
        all += read_file(s.dir.file("c.log"));
        // A write the kill cut short (the kernel stops a long write between
        // pages for SIGKILL) may leave the head of the last message; nothing
        // is written after it, since nothing more was sent.
        size_t lines = all.size() / 200, torn = all.size() % 200;
        if (torn != 0)
            ASSERT_EQ(all.substr(lines * 200), numbered_line((int)lines, 200).substr(0, torn)) << "a torn line";
        for (size_t i = 0; i < lines; i++)
            ASSERT_EQ(all.compare(i * 200, 200, numbered_line((int)i, 200)), 0) << "line " << i;
        EXPECT_EQ((int)done.compressed.size(), numbers);
    }
}

namespace {

// The value of series `name` of output `output` in a metrics file; -1
// when it is not there.
double series_value(const std::string &text, const std::string &name, const std::string &output)
{
    std::string head = output.empty() ? name + " " : name + "{output=\"" + output + "\",";
    for (size_t at = text.find(head); at != std::string::npos; at = text.find(head, at + 1)) {
        if (at != 0 && text[at - 1] != '\n')
            continue;
        size_t end = text.find('\n', at);
        size_t space = text.rfind(' ', end);
        return std::stod(text.substr(space + 1, end - space - 1));
    }
    return -1;
}

}  // namespace

// The metrics file counts what the settings do: rotations, compressions
// and their bytes, the last sync, files open, opened and closed for
// idleness; the compression queue drains.
TEST(FileRules, MetricsCountRotationsCompressionsSyncsAndIdleFiles)
{
    Scenario s;
    std::string stats = s.dir.file("w.prom"), log = s.dir.file("r.log"), vhosts = s.dir.file("v");
    mkdir(vhosts.c_str(), 0755);
    s.start_daemon("StatsFile = " + stats + "\nStatsInterval = 1\n" +
                   s.spread_block("  Log {\n    Group = r\n    File = " + log +
                                  "\n    MaxSize = 4K\n    Compress = gzip\n    SyncInterval = 1\n  }\n"
                                  "  Log {\n    Group = v\n    VhostDir = " + vhosts + "\n    IdleClose = 1\n  }\n"));
    std::string text;
    for (int i = 0; i < 200; i++)
        text += numbered_line(i, 100);
    s.send(text, {"r"});
    s.send("h1 one\nh2 two\n", {"v"});
    ASSERT_TRUE(wait_until([&] {
        std::string m = read_file(stats);
        return series_value(m, "wickerpost_output_compressions_total", log) >= 4 &&
               series_value(m, "wickerpost_output_last_sync_time_seconds", log) > 0 &&
               series_value(m, "wickerpost_output_idle_closes_total", vhosts) == 2 &&
               series_value(m, "wickerpost_compress_waiting_files", "") == 0;
    })) << read_file(stats);
    std::string m = read_file(stats);
    EXPECT_EQ(series_value(m, "wickerpost_output_rotations_total", log), 4);  // 20,000 bytes in 4 KiB files
    EXPECT_EQ(series_value(m, "wickerpost_output_compressions_total", log), 4);
    EXPECT_EQ(series_value(m, "wickerpost_output_compression_failures_total", log), 0);
    EXPECT_EQ(series_value(m, "wickerpost_output_compressed_input_bytes_total", log), 4 * 4000);
    double after = series_value(m, "wickerpost_output_compressed_output_bytes_total", log);
    EXPECT_GT(after, 0);
    EXPECT_LT(after, 4 * 4000);
    EXPECT_EQ(series_value(m, "wickerpost_output_files_open", log), 1);
    EXPECT_EQ(series_value(m, "wickerpost_output_file_opens_total", log), 5);
    EXPECT_GE(series_value(m, "wickerpost_output_last_sync_time_seconds", log), (double)time(nullptr) - 120);
    EXPECT_EQ(series_value(m, "wickerpost_output_files_open", vhosts), 0);
    EXPECT_EQ(series_value(m, "wickerpost_output_file_opens_total", vhosts), 2);
    EXPECT_EQ(series_value(m, "wickerpost_output_evictions_total", vhosts), 0);
    s.terminate_daemon();
}
