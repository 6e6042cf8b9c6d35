// spcat -f as a process against minispread: a writer appends numbered lines
// to a file at a few thousand lines a second, the file is rotated (or spcat
// or the daemon is disturbed) on the way, and a member of the group must get
// every line once, in order.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <thread>

#include "support/tools.h"

using namespace tools_test;

namespace {

constexpr int BATCH = 1024;   // the most spcat re-sends after a kill

// The number of a numbered_line, -1 for any other body.
int line_number(const std::string &body)
{
    if (body.size() < 8 || body[7] != ' ')
        return -1;
    for (int i = 0; i < 7; i++)
        if (body[i] < '0' || body[i] > '9')
            return -1;
    return atoi(body.substr(0, 7).c_str());
}

long now_ms()
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

// Checks `got` against lines 0..n-1 as the row allows.  The window is
// [w0, w1): lines written between the start of the copy and the end of
// the truncation.
void check(const std::vector<int> &got, int n, Allow allow, int w0, int w1)
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

namespace {

// Lines in a file.
long lines_in(const std::string &path)
{
    std::string text = read_file(path);
    return std::count(text.begin(), text.end(), '\n');
}

// The Spread daemon killed (SIGKILL) and started again while spcat follows
// a file that the server goes on writing: lines written while the daemon is
// away wait in the file and go, in order, once spcat is back.  The kill
// comes while spcat has nothing in flight (everything written so far is
// with the member), so nothing may come twice; the member of the new daemon
// joins while spcat is stopped, so nothing is sent before it is there.
TEST(Follow, DaemonRestartWhileFollowing)
{
    Scene s;
    s.w.count = 9000;
    ASSERT_TRUE(s.start());
    const std::string daemon = s.d.unix_name();
    s.w.start();
    ASSERT_TRUE(wait_until([&] { return s.w.written.load() >= 2000; }));
    s.w.pause();
    ASSERT_TRUE(wait_until([&] { return s.caught_up(); }));
    // spcat has the marker of its last batch back once the position file
    // says the whole file was sent.
    const uint64_t size = read_file(s.log).size();
    ASSERT_TRUE(wait_until([&] { return read_file(s.pos).find("\n" + std::to_string(size) + " ") != std::string::npos; }))
        << read_file(s.pos);
    s.d.proc.signal(SIGKILL);
    ASSERT_TRUE(s.d.proc.wait());
    unlink(s.d.socket_path().c_str());
    s.rx.thread.join();   // ends with the session
    std::vector<int> before = s.rx.lines();
    SP_disconnect(s.rx.r);
    s.rx.r = -1;

    // Written while the daemon is away.
    s.w.resume();
    ASSERT_TRUE(wait_until([&] { return s.w.written.load() >= 4000; }));
    ASSERT_TRUE(wait_until([&] { return s.cat->err().find("retrying") != std::string::npos; }));
    s.cat->signal(SIGSTOP);
    Minispread again;
    ASSERT_TRUE(again.start({}, s.d.port));
    Receiver rx;
    ASSERT_TRUE(rx.start(again));
    s.cat->signal(SIGCONT);
    s.w.join();
    ASSERT_TRUE(wait_until([&] { return rx.has(8999); })) << s.cat->err();
    rx.stop = true;
    rx.thread.join();
    EXPECT_TRUE(nothing_else_for(rx.r, rx.pg));
    std::vector<int> all = before;
    std::vector<int> after = rx.lines();
    all.insert(all.end(), after.begin(), after.end());
    check(all, 9000, Allow::nothing, 0, 0);

    s.cat->signal(SIGTERM);
    ASSERT_TRUE(s.cat->wait());
    EXPECT_EQ(s.cat->exit_code(), 0);
    std::string err = s.cat->err();
    // Lost while idle, or at its first send after the kill.
    const std::string lost = "spcat: lost Spread daemon \"" + daemon + "\": Connection closed by Spread.; retrying\n";
    EXPECT_EQ(err, lost + "spcat: reconnected to Spread daemon \"" + daemon + "\"\n");
}

// The Spread daemon killed while lines flow (spcat stopped meanwhile, so
// that it sends nothing before the new daemon's member is there): the batch
// that was in flight goes again whole to the new daemon, so no line is
// lost, and at most one batch of lines comes twice.  The kill comes once
// the daemon has read all that spcat sent and written out all it holds for
// the member: what a daemon took and had yet to hand to a member dies with
// it, whoever the sender (the member's session dies too).
TEST(Follow, DaemonKilledMidStream)
{
    Scene s;
    s.w.count = 8000;
    ASSERT_TRUE(s.start());
    s.w.start();
    ASSERT_TRUE(wait_until([&] { return s.rx.has(2000); }));
    s.cat->signal(SIGSTOP);
    ASSERT_TRUE(wait_until([&] { return unread_socket_bytes(s.d.proc.pid) == 0 && !waits_to_write(s.d.proc.pid); }));
    s.d.proc.signal(SIGKILL);
    ASSERT_TRUE(s.d.proc.wait());
    unlink(s.d.socket_path().c_str());
    s.rx.thread.join();
    std::vector<int> before = s.rx.lines();
    SP_disconnect(s.rx.r);
    s.rx.r = -1;
    Minispread again;
    ASSERT_TRUE(again.start({}, s.d.port));
    Receiver rx;
    ASSERT_TRUE(rx.start(again));
    s.cat->signal(SIGCONT);
    s.w.join();
    ASSERT_TRUE(wait_until([&] { return rx.has(7999); })) << s.cat->err();
    rx.stop = true;
    rx.thread.join();
    EXPECT_TRUE(nothing_else_for(rx.r, rx.pg));
    std::vector<int> all = before, after = rx.lines();
    all.insert(all.end(), after.begin(), after.end());
    check(all, 8000, Allow::resent_batch, 0, 0);
    s.cat->signal(SIGTERM);
    ASSERT_TRUE(s.cat->wait());
    EXPECT_EQ(s.cat->exit_code(), 0);
    const std::string daemon = s.d.unix_name();
    EXPECT_EQ(s.cat->err(), "spcat: lost Spread daemon \"" + daemon + "\": Connection closed by Spread.; retrying\n" +
                                "spcat: reconnected to Spread daemon \"" + daemon + "\"\n");
}

// A line is sent whole: a last line without its newline waits for it, and
// goes as it is once its file is rotated away and read to its end (after
// 5 s without growth, once the new file has bytes).
TEST(Follow, WholeLines)
{
    Scene s;
    ASSERT_TRUE(s.d.start() && s.rx.start(s.d));
    s.rx.stop = true;
    s.rx.thread.join();
    write_file(s.log, "one\ntw");
    ASSERT_TRUE(s.start_spcat());
    EXPECT_EQ(receive(s.rx.r).body, "one\n");
    EXPECT_TRUE(nothing_else_for(s.rx.r, s.rx.pg));
    std::ofstream(s.log, std::ios::app) << "o\nthr";
    EXPECT_EQ(receive(s.rx.r).body, "two\n");
    EXPECT_TRUE(nothing_else_for(s.rx.r, s.rx.pg));
    // The position is that of the last whole line.
    ASSERT_TRUE(wait_until([&] { return read_file(s.pos).rfind("spcat-position 1\n8 ", 0) == 0; }))
        << read_file(s.pos);

    ASSERT_EQ(rename(s.log.c_str(), (s.log + ".1").c_str()), 0);
    std::ofstream(s.log + ".1", std::ios::app) << "ee";
    write_file(s.log, "four\n");
    EXPECT_EQ(receive(s.rx.r).body, "four\n");   // the new file at once
    Received m = receive(s.rx.r, 20000);
    EXPECT_EQ(m.body, "three");                  // the old one's end, later
    // Closed, and gone from the position file.
    ASSERT_TRUE(wait_until([&] { return lines_in(s.pos) == 2; }));
    const std::string pos = read_file(s.pos);
    EXPECT_EQ(std::count(pos.begin(), pos.end(), '\n'), 2) << pos;
    EXPECT_TRUE(nothing_else_for(s.rx.r, s.rx.pg));
    s.cat->signal(SIGTERM);
    ASSERT_TRUE(s.cat->wait());
    EXPECT_EQ(s.cat->exit_code(), 0);
    EXPECT_EQ(s.cat->err(), "");
}

// One log per virtual host: several -f, each with its prefix (-P applies
// to the -f after it), one position file; a restart goes on where each
// file was.  A file that does not exist yet is followed once it appears.
TEST(Follow, SeveralFilesWithPrefixes)
{
    TempDir dir;
    Minispread d;
    ASSERT_TRUE(d.start());
    std::string pg;
    mailbox r = connect_as(d.unix_name(), "r", false, &pg);
    ASSERT_GE(r, 0);
    ASSERT_EQ(SP_join(r, "vhosts"), 0);
    ASSERT_TRUE(settle(r, pg));
    const std::string a = dir.file("a.example.log"), b = dir.file("b.example.log"), c = dir.file("plain.log");
    const std::string pos = dir.file("pos");
    write_file(a, "a1\n");
    const std::vector<std::string> args = {bin("spcat"), "-s", d.unix_name(), "-p", pos, "-P", "a.example", "-f", a,
                                           "-P", "b.example", "-f", b, "-P", "", "-f", c, "-g", "vhosts"};
    auto cat = std::make_unique<Process>();
    ASSERT_TRUE(cat->start(args));
    EXPECT_EQ(receive(r).body, "a.example a1\n");
    write_file(b, "b1\nb2\n");
    EXPECT_EQ(receive(r).body, "b.example b1\n");
    EXPECT_EQ(receive(r).body, "b.example b2\n");
    write_file(c, "c1\n");
    EXPECT_EQ(receive(r).body, "c1\n");
    EXPECT_TRUE(nothing_else_for(r, pg));
    ASSERT_TRUE(wait_until([&] { return lines_in(pos) == 4; }));
    cat->signal(SIGTERM);
    ASSERT_TRUE(cat->wait());
    EXPECT_EQ(cat->exit_code(), 0);
    EXPECT_EQ(cat->err(), "");

    // Written while spcat was not running.
    std::ofstream(a, std::ios::app) << "a2\n";
    std::ofstream(c, std::ios::app) << "c2\n";
    cat = std::make_unique<Process>();
    ASSERT_TRUE(cat->start(args));
    EXPECT_EQ(receive(r).body, "a.example a2\n");
    EXPECT_EQ(receive(r).body, "c2\n");
    EXPECT_TRUE(nothing_else_for(r, pg));
    cat->signal(SIGTERM);
    ASSERT_TRUE(cat->wait());
    EXPECT_EQ(cat->err(), "");
    SP_disconnect(r);
}

// What stops follow mode at its start, and what it only says.
TEST(Follow, Errors)
{
    TempDir dir;
    Minispread d;
    ASSERT_TRUE(d.start());
    const std::string log = dir.file("log"), pos = dir.file("pos");
    struct Case {
        std::string position;   // the position file's content, "" for none
        std::vector<std::string> args;
        std::string err;
    };
    const Case cases[] = {
        {"spcat-position 2\n", {"-f", log, "-p", pos},
         "spcat: unusable position file \"" + pos + "\": line 1: not a position file of this version "
         "(\"spcat-position 1\" expected)\n"},
        {"spcat-position 1\n1 2", {"-f", log, "-p", pos},
         "spcat: unusable position file \"" + pos + "\": line 2: no newline at the end (the file is cut short)\n"},
        {"", {"-f", dir.file("none/log"), "-p", pos},
         "spcat: cannot follow \"" + dir.file("none/log") + "\": no directory \"" + dir.file("none") + "\"\n"},
        {"", {"-f", dir.path + "/", "-p", pos}, "spcat: cannot follow \"" + dir.path + "/\": not a file name\n"},
        {"", {"-f", log, "-p", dir.file("none/pos")},
         "spcat: cannot write position file \"" + dir.file("none/pos") + "\" (open): No such file or directory\n"},
        {"", {"-f", log, "-p", pos, "-n", "a b"},
         "spcat: cannot connect to Spread daemon \"" + d.unix_name() + "\": Connection rejected, illegal name.\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.err);
        unlink(pos.c_str());
        if (!c.position.empty())
            write_file(pos, c.position);
        std::vector<std::string> argv = {bin("spcat"), "-s", d.unix_name(), "-g", "g"};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        Process p;
        ASSERT_TRUE(p.start(argv));
        ASSERT_TRUE(p.wait());
        EXPECT_EQ(p.exit_code(), 1);
        EXPECT_EQ(p.err(), c.err);
    }

    // A file read before that is gone: said, and the rest followed.
    write_file(pos, "spcat-position 1\n120 1 99999999 0 cbf29ce484222325 " + log + "\n");
    write_file(log, "x\n");
    std::string pg;
    mailbox r = connect_as(d.unix_name(), "r", false, &pg);
    ASSERT_EQ(SP_join(r, "g"), 0);
    ASSERT_TRUE(settle(r, pg));
    Process p;
    ASSERT_TRUE(p.start({bin("spcat"), "-s", d.unix_name(), "-g", "g", "-f", log, "-p", pos}));
    EXPECT_EQ(receive(r).body, "x\n");
    p.signal(SIGTERM);
    ASSERT_TRUE(p.wait());
    EXPECT_EQ(p.exit_code(), 0);
    EXPECT_EQ(p.err(), "spcat: the file read before as \"" + log +
                           "\" (inode 99999999) is gone; lines after its byte 120 were not sent\n");
    SP_disconnect(r);
}

}  // namespace
