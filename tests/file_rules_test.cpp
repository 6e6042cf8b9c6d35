// The file settings of a Log block on the real daemon: size limits with
// retention, modes and owners, idle close. Each test is a scenario against
// minispread, with spcat sending.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <atomic>
#include <map>

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
