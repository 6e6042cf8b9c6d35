// A size limit through hand-overs (SIGUSR2), as processes: the daemon
// that takes over opens the live file while the other one still writes
// and rotates it.
#include <gtest/gtest.h>

#include <atomic>
#include <map>

#include "support/scenario.h"

using namespace wkp_test;

namespace {

std::string numbered(int i)
{
    char text[32];
    snprintf(text, sizeof text, "g %07d\n", i);
    return text;
}

size_t occurrences(const std::string &in, const std::string &text)
{
    size_t n = 0;
    for (size_t at = in.find(text); at != std::string::npos; at = in.find(text, at + 1))
        n++;
    return n;
}

}  // namespace

// Lines at 2,000 a second into a File rotated at 2 KiB (ten rotations a
// second), through three hand-overs: the rotated files, oldest first, and
// the live one hold every line once and in order, whichever daemon
// rotated last before the other took over.
TEST(FileRulesHandover, RotationsAcrossHandOversLoseAndDoubleNothing)
{
    Scenario s;
    Subreaper reaper;
    std::string live = s.dir.file("g.log");
    s.start_daemon(s.spread_block("  Log {\n    Group = g\n    File = " + live +
                                  "\n    MaxSize = 2K\n    Keep = 1000\n  }\n"));
    Process cat;
    ASSERT_TRUE(cat.start({bin("spcat"), "-s", std::to_string(s.port), "-g", "g"}, true));
    std::atomic<bool> stop{false};
    std::atomic<int> sent{0};
    std::thread feeder([&] {
        while (!stop) {
            std::string chunk;
            for (int k = 0; k < 20; k++)
                chunk += numbered(sent + k);
            cat.send(chunk);
            sent += 20;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    });
    // Stops the feeder however the test ends.
    struct Joiner {
        std::atomic<bool> &stop;
        std::thread &thread;
        ~Joiner()
        {
            stop = true;
            if (thread.joinable())
                thread.join();
        }
    } joiner{stop, feeder};
    pid_t current = s.daemon->pid;
    for (int round = 0; round < 3; round++) {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        size_t before = occurrences(s.daemon->err(), "Took over from daemon ");
        kill(current, SIGUSR2);
        std::string took;
        ASSERT_TRUE(wait_until([&] { return occurrences(s.daemon->err(), "Took over from daemon ") > before; }))
            << s.daemon->err();
        ASSERT_TRUE(wait_until([&] { return ended(current); })) << s.daemon->err();
        std::string err = s.daemon->err();
        size_t at = err.rfind("Handed over to new daemon ");
        ASSERT_NE(at, std::string::npos) << err;
        current = std::stoi(err.substr(at + strlen("Handed over to new daemon ")));
    }
    stop = true;
    feeder.join();
    cat.close_stdin();
    ASSERT_TRUE(cat.wait());
    int total = sent;
    ASSERT_TRUE(wait_until([&] {
        std::string text = read_file(live);
        return text.size() >= 10 && text.compare(text.size() - 10, 10, numbered(total - 1)) == 0;
    })) << s.daemon->err();
    kill(current, SIGTERM);
    ASSERT_TRUE(wait_until([&] { return ended(current); }, 120000));

    std::map<int, std::string> rotated;
    for (const std::string &name : entries(s.dir.path))
        if (name.rfind("g.log.", 0) == 0)
            rotated[std::stoi(name.substr(6))] = s.dir.file(name);
    std::string all;
    for (auto it = rotated.rbegin(); it != rotated.rend(); ++it)
        all += read_file(it->second);
    all += read_file(live);
    EXPECT_GT(rotated.size(), 3u);
    ASSERT_EQ(all.size(), (size_t)total * 10) << s.daemon->err();
    for (int i = 0; i < total; i++)
        ASSERT_EQ(all.compare((size_t)i * 10, 10, numbered(i)), 0) << "line " << i;
}
