// A paced stream of lines sent through spcat, for the tests that keep
// lines flowing while the daemons change (the hand-over's).
#pragma once

#include <gtest/gtest.h>

#include <fcntl.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "scenario.h"

namespace wkp_test {

// A paced stream of numbered lines into spcat: `per_tick` lines every
// 10 ms (so per_tick * 100 lines/s), each line made by `line(i)`, until
// stop() is called; then spcat's input ends and it is waited for.
struct Stream {
    Process cat;
    std::function<std::string(int)> line;
    std::atomic<bool> stopping{false};
    std::atomic<int> sent{0};
    std::thread thread;

    Stream(Scenario &s, const std::vector<std::string> &groups, std::function<std::string(int)> make,
           int per_tick, const std::string &service = "agreed")
        : line(std::move(make))
    {
        std::vector<std::string> argv{bin("spcat"), "-s", std::to_string(s.port), "-t", service};
        for (const std::string &g : groups) {
            argv.push_back("-g");
            argv.push_back(g);
        }
        EXPECT_TRUE(cat.start(argv, true));
        // Not to be inherited by processes started later (another
        // stream's spcat): this spcat sees the end of its input at stop().
        fcntl(cat.stdin_fd, F_SETFD, FD_CLOEXEC);
        thread = std::thread([this, per_tick] {
            while (!stopping) {
                std::string chunk;
                for (int k = 0; k < per_tick; k++)
                    chunk += line(sent + k);
                cat.send(chunk);
                sent += per_tick;
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
        });
    }

    // Stops sending; returns the number of lines sent.
    int stop()
    {
        stopping = true;
        if (thread.joinable())
            thread.join();
        cat.close_stdin();
        EXPECT_TRUE(cat.wait());
        EXPECT_EQ(cat.exit_code(), 0) << cat.err();
        return sent;
    }
    ~Stream()
    {
        if (thread.joinable())
            stop();
    }

    // Lines [from, to).
    std::string lines(int from, int to) const
    {
        std::string text;
        for (int i = from; i < to; i++)
            text += line(i);
        return text;
    }
};

}  // namespace wkp_test
