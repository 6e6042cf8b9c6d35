// spcat -f as a process against minispread: a writer appends numbered lines
// to a file at a few thousand lines a second, the file is rotated (or spcat
// or the daemon is disturbed) on the way, and a member of the group must get
// every line once, in order.
// This file holds the table of rotations; the other disturbances are in
// tools_spcat_follow_test.cpp.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <thread>

#include "support/spcat_follow.h"
#include "support/tools.h"

using namespace tools_test;
using namespace follow_test;

namespace {

struct Row {
    const char *name;
    int lines;        // written in all
    int at;           // the line before which `act` runs
    Allow allow;
    std::function<void(Scene &)> act;
    size_t size = 100;
    int burst = 0;    // lines written in one write at `at`
    std::vector<std::string> env = {};
};

void PrintTo(const Row &row, std::ostream *os) { *os << row.name; }

class Rotation : public ::testing::TestWithParam<Row> {};

TEST_P(Rotation, EveryLineOnceInOrder)
{
    const Row &row = GetParam();
    Scene s;
    s.env = row.env;
    s.w.count = row.lines;
    s.w.size = row.size;
    s.w.burst_at = row.burst ? row.at : -1;
    s.w.burst_lines = row.burst;
    ASSERT_TRUE(s.start());
    s.w.start();
    if (row.at >= 0) {
        ASSERT_TRUE(wait_until([&] { return s.w.written.load() >= row.at; }));
        row.act(s);
    }
    s.w.join();
    ASSERT_TRUE(wait_until([&] { return s.rx.has(row.lines - 1); }))
        << "last line missing; spcat said: " << s.cat->err();
    // Anything spcat still had to send would have gone before the last line.
    s.cat->signal(SIGTERM);
    ASSERT_TRUE(s.cat->wait());
    EXPECT_EQ(s.cat->exit_code(), 0);
    std::string err = s.cat->err();
    if (row.allow == Allow::window || std::string(row.name) == "truncate_in_place") {
        EXPECT_EQ(err, "spcat: \"" + s.log + "\" truncated; following it from its start\n");
    } else if (std::string(row.name) != "inode_reused") {
        EXPECT_EQ(err, "");
    }
    s.rx.stop = true;
    s.rx.thread.join();
    EXPECT_TRUE(nothing_else_for(s.rx.r, s.rx.pg));
    check(s.rx.lines(), row.lines, row.allow, s.window_start, s.window_end);
}

void rename_reopen(Scene &s, int ms)
{
    s.rename_and_create();
    s.w.reopen_after(ms);
}

const Row rows[] = {
    {"rename_reopen_at_once", 6000, 2000, Allow::nothing, [](Scene &s) { rename_reopen(s, 0); }},
    {"rename_reopen_after_100ms", 6000, 2000, Allow::nothing, [](Scene &s) { rename_reopen(s, 100); }},
    {"rename_reopen_after_2s", 12000, 2000, Allow::nothing, [](Scene &s) { rename_reopen(s, 2000); }},
    // The server writes on while the file is copied, then it is cut to 0.
    {"copytruncate", 6000, 2000, Allow::window,
     [](Scene &s) {
         int w0 = s.w.written.load();
         std::string text = read_file(s.log);
         write_file(s.log + ".1", text);
         ASSERT_EQ(truncate(s.log.c_str(), 0), 0);
         s.window_start = w0;
         s.window_end = s.w.written.load() + 1;   // the line being written may be cut too
     }},
    // Cut to 0 while the server stands still, everything sent: what it
    // writes after is sent from the start of the file.
    {"truncate_in_place", 6000, 2000, Allow::nothing,
     [](Scene &s) {
         s.w.pause();
         ASSERT_TRUE(wait_until([&] { return s.caught_up(); }));
         ASSERT_EQ(truncate(s.log.c_str(), 0), 0);
         s.w.resume();
     }},
    // spcat stopped, the file removed and a new one made on the same inode,
    // longer than the old offset: the fingerprint tells them apart.
    {"inode_reused", 6000, 2000, Allow::nothing,
     [](Scene &s) {
         s.w.drop = true;   // a file still open keeps its inode
         s.w.pause();
         ASSERT_TRUE(wait_until([&] { return s.caught_up(); }));
         s.cat->signal(SIGTERM);
         ASSERT_TRUE(s.cat->wait());
         struct stat st;
         ASSERT_EQ(stat(s.log.c_str(), &st), 0);
         ASSERT_EQ(unlink(s.log.c_str()), 0);
         bool reused = false;
         std::vector<std::string> others;
         for (int i = 0; i < 200 && !reused; i++) {
             std::string name = s.dir.file("new" + std::to_string(i));
             int fd = open(name.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
             struct stat nst;
             fstat(fd, &nst);
             close(fd);
             if (nst.st_ino == st.st_ino) {
                 ASSERT_EQ(rename(name.c_str(), s.log.c_str()), 0);
                 reused = true;
             } else {
                 others.push_back(name);
             }
         }
         for (const std::string &o : others)
             unlink(o.c_str());
         printf("inode %s\n", reused ? "reused" : "not reused by the file system: a new inode");
         s.w.reopen_after(0);
         const int resume_at = s.w.written.load();
         s.w.resume();
         // The new file grows past the old offset before spcat starts.
         ASSERT_TRUE(wait_until([&] { return s.w.written.load() >= 2 * resume_at + 100; }));
         ASSERT_TRUE(s.start_spcat());
         const std::string said = "spcat: \"" + s.log +
                                  "\" is not the file read before (truncated, or a new file on its inode); "
                                  "following it from its start\n";
         if (reused) {
             ASSERT_TRUE(wait_until([&] { return s.cat->err() == said; })) << s.cat->err();
         }
     }},
    {"sigkill_mid_file", 6000, 3000, Allow::resent_batch,
     [](Scene &s) {
         s.cat->signal(SIGKILL);
         ASSERT_TRUE(s.cat->wait());
         ASSERT_TRUE(s.start_spcat());
     }},
    // Killed right after the rename; restarted once the server writes the
    // new file: the renamed one is found by its inode and finished first.
    {"sigkill_during_rotation", 6000, 3000, Allow::resent_batch,
     [](Scene &s) {
         s.rename_and_create();
         s.cat->signal(SIGKILL);
         ASSERT_TRUE(s.cat->wait());
         s.w.reopen_after(0);
         ASSERT_TRUE(wait_until([&] { return s.w.written.load() >= 3500; }));
         ASSERT_TRUE(s.start_spcat());
     }},
    // 10,000 lines of 100 bytes in one write, then the rename.
    {"burst_of_1MB_then_rename", 16000, 2000, Allow::nothing,
     [](Scene &s) {
         ASSERT_TRUE(wait_until([&] { return s.w.written.load() >= 12000; }));
         rename_reopen(s, 0);
     },
     100, 10000},
    {"file_of_40_bytes", 1, -1, Allow::nothing, nullptr, 40},
    // inotify's queue overflows (some 20,000 events while spcat is
    // stopped) while the file is rotated: the full look finds the rotation.
    {"inotify_overflow_during_rotation", 6000, 2000, Allow::nothing,
     [](Scene &s) {
         s.cat->signal(SIGSTOP);
         for (int i = 0; i < 10000; i++) {
             std::string name = s.dir.file("noise");
             close(open(name.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
             unlink(name.c_str());
         }
         rename_reopen(s, 0);
         ASSERT_TRUE(wait_until([&] { return s.w.written.load() >= 3000; }));
         s.cat->signal(SIGCONT);
     }},
    // Without inotify, the files are looked at every 250 ms.
    {"polling_rename_reopen_after_100ms", 6000, 2000, Allow::nothing, [](Scene &s) { rename_reopen(s, 100); }, 100, 0,
     {"SPCAT_NO_INOTIFY=1"}},
};

INSTANTIATE_TEST_SUITE_P(Follow, Rotation, ::testing::ValuesIn(rows),
                         [](const ::testing::TestParamInfo<Row> &info) { return std::string(info.param.name); });

}  // namespace
