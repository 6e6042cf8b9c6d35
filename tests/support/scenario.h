// One end-to-end scenario: a minispread on a free port, a temporary
// directory, and helpers to run wickerpost on a configuration and to send
// lines with spcat.
#pragma once

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "process.h"

namespace wkp_test {

inline size_t count_lines(const std::string &text)
{
    return (size_t)std::count(text.begin(), text.end(), '\n');
}

struct Scenario {
    TempDir dir;
    int port = free_port();
    std::vector<std::string> spread_options;
    // Put before the daemon's own command line by start_daemon (prlimit
    // and its options, say).
    std::vector<std::string> runner;
    Process spread;
    std::unique_ptr<Process> daemon;

    // `spread_options` go to minispread ("-S" for the real daemon's policy).
    explicit Scenario(std::vector<std::string> options = {}) : spread_options(std::move(options))
    {
        start_spread();
    }

    void start_spread()
    {
        spread.~Process();
        new (&spread) Process();
        std::vector<std::string> argv{bin("minispread"), "-p", std::to_string(port)};
        argv.insert(argv.end(), spread_options.begin(), spread_options.end());
        ASSERT_TRUE(spread.start(argv));
        ASSERT_TRUE(wait_until([&] { return file_exists("/tmp/" + std::to_string(port)); }))
            << spread.err();
    }

    void stop_spread()
    {
        spread.signal(SIGTERM);
        ASSERT_TRUE(spread.wait());
    }

    std::string spread_block(const std::string &logs) const
    {
        return "Spread {\n  Port = " + std::to_string(port) + "\n" + logs + "}\n";
    }

    // Starts wickerpost in the foreground on `config` with `options` and
    // the environment `env`, and waits until `sessions` sessions are up
    // (Setting FD lines).
    void start_daemon(const std::string &config, std::vector<std::string> options = {"-x"},
                      const std::vector<std::string> &env = {}, size_t sessions = 1)
    {
        write_file(dir.file("wickerpost.conf"), config);
        std::vector<std::string> argv = runner;
        for (const std::string &a : {bin("wickerpost"), std::string("-D"), std::string("-c"), dir.file("wickerpost.conf")})
            argv.push_back(a);
        argv.insert(argv.end(), options.begin(), options.end());
        daemon = std::make_unique<Process>();
        ASSERT_TRUE(daemon->start(argv, false, env));
        ASSERT_TRUE(wait_until([&] {
            std::string err = daemon->err();
            size_t seen = 0;
            for (size_t at = err.find("Setting FD: "); at != std::string::npos; at = err.find("Setting FD: ", at + 1))
                seen++;
            return seen >= sessions;
        })) << daemon->err();
    }

    // Sends every line of `text` as one message to the groups, with spcat
    // on `daemon_name` (this scenario's minispread by default).
    void send(const std::string &text, const std::vector<std::string> &groups, std::string daemon_name = "")
    {
        send_paced(text, groups, 0, std::move(daemon_name));
    }

    // send at no more than `lines_per_second` (0: as fast as spcat goes).
    // The lines go to spcat a hundredth of a second's worth at a time, and a
    // slice late on a busy machine is not made up for: the rate only gets
    // lower. For streams that must stay within what a receiver is sure to
    // be given the processor for, as a real sender's rhythm is.
    void send_paced(const std::string &text, const std::vector<std::string> &groups, int lines_per_second,
                    std::string daemon_name = "")
    {
        if (daemon_name.empty())
            daemon_name = std::to_string(port);
        std::vector<std::string> argv{bin("spcat"), "-s", daemon_name};
        for (auto &g : groups) {
            argv.push_back("-g");
            argv.push_back(g);
        }
        Process cat;
        ASSERT_TRUE(cat.start(argv, true));
        if (lines_per_second <= 0) {
            cat.send(text);
        } else {
            const size_t per_slice = std::max(1, lines_per_second / 100);
            const auto slice = std::chrono::milliseconds(10);
            auto next = std::chrono::steady_clock::now();
            for (size_t at = 0; at < text.size();) {
                size_t end = at;
                for (size_t n = 0; n < per_slice && end < text.size(); n++) {
                    size_t nl = text.find('\n', end);
                    end = nl == std::string::npos ? text.size() : nl + 1;
                }
                std::this_thread::sleep_until(next);
                cat.send(text.substr(at, end - at));
                at = end;
                next = std::max(next + slice, std::chrono::steady_clock::now());
            }
        }
        cat.close_stdin();
        ASSERT_TRUE(cat.wait(120000));
        ASSERT_EQ(cat.exit_code(), 0) << cat.err();
    }

    // Waits until `path` holds `lines` lines (or the timeout passes).
    bool wait_lines(const std::string &path, size_t lines, int timeout_ms = 60000)
    {
        return wait_until([&] { return count_lines(read_file(path)) >= lines; }, timeout_ms);
    }

    // SIGTERM, and the daemon's exit: the wait covers a stop that writes
    // out a slow command's backlog, up to its overall bound.
    void terminate_daemon()
    {
        daemon->signal(SIGTERM);
        ASSERT_TRUE(daemon->wait(120000));
        EXPECT_EQ(daemon->exit_code(), 0);
    }
};

}  // namespace wkp_test
