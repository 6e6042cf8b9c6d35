// What the tests of spcat -f share: a server writing numbered lines to a
// file, a member of the group keeping the numbers it gets, the scene of a
// followed file with spcat, a daemon and that member, and the check of the
// numbers got against the lines written.
#pragma once

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tools.h"

namespace follow_test {

using namespace tools_test;

constexpr int BATCH = 1024;   // the most spcat re-sends after a kill

inline long now_ms()
{
    return (long)std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// A server writing numbered lines to `path` (O_APPEND), one write each,
// about 3000 a second, that reopens its file when told to (as nginx on
// USR1), and can be held between two lines.
struct Writer {
    std::string path;
    size_t size = 100;                   // bytes of a line
    int count = 0;                       // lines in all
    int burst_at = -1, burst_lines = 0;  // these lines in one write
    std::atomic<int> written{0};         // lines whose write returned
    std::atomic<long> reopen_at{-1};     // now_ms() from which to reopen, -1: not asked
    std::atomic<bool> hold{false};       // stop between two lines
    std::atomic<bool> held{false};       // stopped
    std::atomic<bool> drop{false};       // close the file while held
    std::thread thread;

    void start()
    {
        thread = std::thread([this] { run(); });
    }
    void reopen_after(int ms) { reopen_at = now_ms() + ms; }
    // Returns once the writer stands between two lines.
    void pause()
    {
        hold = true;
        while (!held.load())
            usleep(1000);
    }
    void resume() { hold = false; }
    void join()
    {
        if (thread.joinable())
            thread.join();
    }
    ~Writer() { join(); }

    void run()
    {
        int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
        for (int i = 0; i < count;) {
            long at = reopen_at.load();
            if (at >= 0 && now_ms() >= at) {
                close(fd);
                fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
                reopen_at = -1;
            }
            if (hold.load()) {
                if (drop.load() && fd >= 0) {
                    close(fd);
                    fd = -1;
                }
                held = true;
                usleep(1000);
                continue;
            }
            held = false;
            std::string text;
            int n = i == burst_at ? burst_lines : 1;
            for (int k = 0; k < n; k++)
                text += numbered_line(i + k, size);
            EXPECT_EQ(write(fd, text.data(), text.size()), (ssize_t)text.size());
            i += n;
            written = i;
            usleep(250);
        }
        close(fd);
        held = true;
    }
};

// A member of the group on its own thread, keeping the numbers of the
// lines it gets.
struct Receiver {
    mailbox r = -1;
    std::string pg;
    std::mutex lock;
    std::vector<int> got;
    std::atomic<bool> stop{false};
    std::thread thread;

    bool start(const Minispread &d)
    {
        r = connect_as(d.unix_name(), "r", false, &pg);
        if (r < 0 || SP_join(r, "lines") != 0 || !settle(r, pg))
            return false;
        stop = false;
        thread = std::thread([this] {
            while (!stop.load()) {
                Received m = receive(r, 100);
                if (m.ret == TIMED_OUT)
                    continue;
                if (m.ret < 0)
                    return;
                if (Is_regular_mess(m.svc)) {
                    std::lock_guard<std::mutex> g(lock);
                    got.push_back(line_number(m.body));
                }
            }
        });
        return true;
    }
    void end()
    {
        stop = true;
        if (thread.joinable())
            thread.join();
        if (r >= 0)
            SP_disconnect(r);
        r = -1;
    }
    ~Receiver() { end(); }
    bool has(int line)
    {
        std::lock_guard<std::mutex> g(lock);
        return std::find(got.begin(), got.end(), line) != got.end();
    }
    std::vector<int> lines()
    {
        std::lock_guard<std::mutex> g(lock);
        return got;
    }
};

// A file, spcat following it, a daemon and a member.
struct Scene {
    TempDir dir;
    std::string log = dir.file("access.log");
    std::string pos = dir.file("spcat.pos");
    Minispread d;
    Receiver rx;
    Writer w;
    std::unique_ptr<Process> cat;
    std::vector<std::string> env;
    int window_start = 0, window_end = 0;   // copytruncate's: see check()

    bool start()
    {
        w.path = log;
        return d.start() && rx.start(d) && start_spcat();
    }
    bool start_spcat()
    {
        cat = std::make_unique<Process>();
        return cat->start({bin("spcat"), "-f", log, "-p", pos, "-s", d.unix_name(), "-g", "lines"}, false, env);
    }
    // Logrotate's "create": the file renamed, a new empty one in its place.
    void rename_and_create()
    {
        ASSERT_EQ(rename(log.c_str(), (log + ".1").c_str()), 0);
        int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        ASSERT_GE(fd, 0);
        close(fd);
    }
    // Whether the member has every line written so far.
    bool caught_up() { return w.written.load() == 0 || rx.has(w.written.load() - 1); }
};

// What a row allows besides each line once and in order.
enum class Allow {
    nothing,
    resent_batch,   // one run of at most a batch again, right after itself
    window,         // lines lost between the copy and the truncation
};

// Checks `got` against lines 0..n-1 as the row allows.  The window is
// [w0, w1): lines written between the start of the copy and the end of
// the truncation.
inline void check(const std::vector<int> &got, int n, Allow allow, int w0, int w1)
{
    int next = 0, resent = 0, missing = 0;
    for (size_t k = 0; k < got.size(); k++) {
        int x = got[k];
        if (x == next) {
            next++;
            continue;
        }
        if (allow == Allow::resent_batch && resent == 0 && x < next && next - x <= BATCH) {
            resent = next - x;
            next = x + 1;
            continue;
        }
        if (allow == Allow::window && x > next && next >= w0 && x <= w1) {
            missing += x - next;
            next = x + 1;
            continue;
        }
        FAIL() << "line " << x << " where " << next << " was due (item " << k << " of " << got.size() << ")";
    }
    EXPECT_EQ(next, n) << "lines from " << next << " on are missing";
    if (allow == Allow::resent_batch)
        printf("re-sent: %d lines\n", resent);
    if (allow == Allow::window)
        printf("copytruncate window: lines %d to %d written between the copy's start and the truncation's end; "
               "%d of them lost\n", w0, w1, missing);
}

}  // namespace follow_test
