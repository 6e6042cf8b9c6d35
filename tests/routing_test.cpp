// Routing: the regex filters, the per-vhost files with their descriptor
// cap, and a message's whole way through the outputs. The vhost hash and
// table are in routing_vhost_table_test.cpp.
#include "output/routing.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <map>
#include <set>
#include <string>

#include <gtest/gtest.h>

#include "output/deliver.h"
#include "support/process.h"
#include "support/routing.h"

using namespace routing_test;
using wkp_test::entries;
using wkp_test::read_file;
using wkp_test::TempDir;

namespace {

int route(SpreadConf *conf, const char *group, const std::string &message)
{
    // An allocation of exactly the message's size: a read past its length
    // is caught under AddressSanitizer.
    char *bytes = static_cast<char *>(malloc(message.size() ? message.size() : 1));
    memcpy(bytes, message.data(), message.size());
    int fd = route_message(conf, group, bytes, static_cast<int>(message.size()));
    free(bytes);
    return fd;
}

class Routing : public ::testing::Test {
protected:
    Scoped<int> quiet{verbose, 0};
    Scoped<int> locking{skip_locking, 0};
    Scoped<int> table_size{vhost_table_size, 1024};

    void SetUp() override
    {
        output_set_vhost_cap(1000);
        next_report_interval();
    }
    void TearDown() override
    {
        for (VhostTable *table : tables)
            empty_table(table);
    }
    LogFacility *vhost(SpreadConf *conf, const char *group, const std::string &dir)
    {
        LogFacility *facility = add_vhost(conf, group, dir);
        tables.push_back(facility->vhosts);
        return facility;
    }
    std::vector<VhostTable *> tables;
};

TEST_F(Routing, PlainFacilities)
{
    TempDir tmp;
    SpreadConf *conf = make_conf();
    SpreadConf *other = make_conf();
    add_plain(conf, "web", 7);
    LogFile *closed = add_plain(conf, "closed", -1, {}, tmp.file("closed.log").c_str())->logfile;
    std::string missing = tmp.file("missing/x.log");
    add_plain(conf, "unopenable", -1, {}, missing.c_str());
    add_plain(other, "elsewhere", 8);
    LogFacility *nofile = add_facility(conf, "nofile");
    (void)nofile;

    EXPECT_EQ(route(conf, "web", "GET / 200\n"), 7);
    EXPECT_EQ(route(conf, "web", ""), 7);
    EXPECT_EQ(route(conf, "Web", "x"), -1);        // group names are exact
    EXPECT_EQ(route(conf, "elsewhere", "x"), -1);  // configured on another connection
    EXPECT_EQ(route(other, "elsewhere", "x"), 8);
    EXPECT_EQ(route(conf, "nofile", "x"), -1);     // neither File nor VhostDir

    // A closed output is opened again, and locked, for its next message.
    int fd = route(conf, "closed", "x");
    ASSERT_GE(fd, 0);
    EXPECT_EQ(closed->fd, fd);
    int holder = open(tmp.file("closed.log").c_str(), O_RDONLY);
    EXPECT_EQ(flock(holder, LOCK_EX | LOCK_NB), -1);
    close(holder);
    output_close_log_file(closed);
    EXPECT_EQ(closed->fd, -1);

    // One that cannot be opened drops its message, counted; the reason is
    // said once per error and report interval.
    StderrCapture err;
    EXPECT_EQ(route(conf, "unopenable", "x"), -1);
    EXPECT_EQ(route(conf, "unopenable", "y"), -1);
    EXPECT_EQ(err.text(), "Cannot open " + missing + ": No such file or directory\n"
                          "Dropped 1 messages for " + missing + ": output not open\n");
    EXPECT_EQ(dropped(missing, OUTPUT_DROP_NOT_OPEN), 2u);
}

TEST_F(Routing, FiltersAreAlternativesOverTheTextBeforeTheFirstNul)
{
    struct Case {
        std::vector<const char *> patterns;
        std::string message;
        bool written;
        int failed_matches;  // "Failed match!" lines in verbose mode
    } cases[] = {
        {{"^GET", "POST"}, "x POST /", true, 1},
        {{"^GET", "POST"}, "GET /", true, 0},
        {{"^GET", "POST"}, "PUT /", false, 2},
        {{"a", "b", "c", "d", "e", "f", "g", "h", "i", "j"}, "j", true, 9},
        {{"a", "b", "c", "d", "e", "f", "g", "h", "i", "j"}, "z", false, 10},
        {{"tail"}, std::string("head\0tail", 9), false, 1},
        {{"head$"}, std::string("head\0tail", 9), true, 0},
        {{"^$"}, std::string("\0abc", 4), true, 0},
        {{"a|b"}, "xxb", true, 0},
        {{"x{2}"}, "axxb", true, 0},
        {{"(GET|POST) /"}, "POST /index", true, 0},
    };
    int group_number = 0;
    for (const Case &c : cases) {
        SpreadConf *conf = make_conf();
        std::string group = "g" + std::to_string(group_number++);
        add_plain(conf, group.c_str(), 5, c.patterns);
        std::string want = "";
        for (int i = 0; i < c.failed_matches; i++)
            want += "Failed match!\n";

        verbose = 1;
        StderrCapture loud;
        int fd = route(conf, group.c_str(), c.message);
        EXPECT_EQ(fd, c.written ? 5 : -1) << c.message;
        EXPECT_EQ(loud.text(), want) << c.message;

        verbose = 0;
        StderrCapture quiet;
        EXPECT_EQ(route(conf, group.c_str(), c.message), c.written ? 5 : -1) << c.message;
        EXPECT_EQ(quiet.text(), "") << c.message;
    }

    // Bytes beyond the length are not part of the text.
    SpreadConf *conf = make_conf();
    add_plain(conf, "cut", 5, {"b"});
    const char bytes[] = "ab";
    EXPECT_EQ(route_message(conf, "cut", bytes, 1), -1);
    EXPECT_EQ(route_message(conf, "cut", bytes, 2), 5);
}

TEST_F(Routing, VhostFileOpenedLockedAndRememberedOnFirstUse)
{
    TempDir tmp;
    SpreadConf *conf = make_conf();
    LogFacility *facility = vhost(conf, "vh", tmp.path);
    // Patterns of a vhost facility are not used.
    re_set_syntax(0x23BA5C);
    ASSERT_EQ(re_compile_pattern("^never", 6, &facility->matches[0]), nullptr);
    facility->nmatches = 1;

    int fd = route(conf, "vh", "abc rest");
    ASSERT_GE(fd, 0);
    EXPECT_EQ(facility->vhosts->slots[home_of("abc", 1024)].fd, fd);
    EXPECT_STREQ(facility->vhosts->slots[home_of("abc", 1024)].name, "abc");
    EXPECT_EQ(vhost_lookup(facility->vhosts, "abc"), fd);
    EXPECT_TRUE(fcntl(fd, F_GETFD) & FD_CLOEXEC);
    EXPECT_EQ(fcntl(fd, F_GETFL) & (O_ACCMODE | O_APPEND), O_WRONLY | O_APPEND);
    struct stat st;
    ASSERT_EQ(stat(tmp.file("abc").c_str(), &st), 0);
    mode_t mask = umask(0);
    umask(mask);
    EXPECT_EQ(st.st_mode & 0777, 0644u & ~mask);

    // Locked: another open description of the file cannot take the lock.
    int other = open(tmp.file("abc").c_str(), O_WRONLY);
    EXPECT_EQ(flock(other, LOCK_EX | LOCK_NB), -1);
    close(other);

    // Known name: the same descriptor, nothing opened.
    int next_free = dup(0);
    close(next_free);
    EXPECT_EQ(route(conf, "vh", "abc more"), fd);
    int still_free = dup(0);
    close(still_free);
    EXPECT_EQ(still_free, next_free);

    // Other names, the same bytes in another order or another case: their
    // own slots and files.
    int cba = route(conf, "vh", "cba x");
    int upper = route(conf, "vh", "Abc x");
    ASSERT_GE(cba, 0);
    ASSERT_GE(upper, 0);
    EXPECT_NE(cba, fd);
    EXPECT_NE(upper, fd);
    EXPECT_EQ(vhost_lookup(facility->vhosts, "cba"), cba);
    EXPECT_EQ(entries(tmp.path), (std::set<std::string>{"abc", "cba", "Abc"}));

    // After the table is closed (as on SIGHUP) the file is opened again on
    // its next message, in the same slot, non-blocking.
    vhost_table_close(facility->vhosts);
    uint32_t home = home_of("abc", 1024);
    EXPECT_EQ(facility->vhosts->slots[home].name, nullptr);
    EXPECT_EQ(facility->vhosts->slots[home].fd, -1);
    int again = route(conf, "vh", "abc again");
    EXPECT_GE(again, 0);
    EXPECT_EQ(facility->vhosts->slots[home].fd, again);
    EXPECT_EQ(vhost_lookup(facility->vhosts, "abc"), again);
    EXPECT_TRUE(fcntl(again, F_GETFL) & O_NONBLOCK);
}

TEST_F(Routing, EveryVhostFileLandsInsideTheDirectory)
{
    TempDir tmp;
    std::string dir = tmp.file("v");
    ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
    ASSERT_EQ(mkdir(tmp.file("v/sub").c_str(), 0755), 0);
    SpreadConf *conf = make_conf();
    vhost(conf, "vh", dir);

    struct Case {
        std::string message;
        const char *diagnostic;  // verbose mode, whole text; null when written
    } cases[] = {
        {" leading space", "Refused vhost name \"\", message dropped\n"},
        {". x", "Refused vhost name \".\", message dropped\n"},
        {".. x", "Refused vhost name \"..\", message dropped\n"},
        {"../escape x", "Refused vhost name \"../escape\", message dropped\n"},
        {"sub/inner x", "Refused vhost name \"sub/inner\", message dropped\n"},
        {"/etc x", "Refused vhost name \"/etc\", message dropped\n"},
        {"a/ x", "Refused vhost name \"a/\", message dropped\n"},
        {std::string("a\0b x", 5), "Refused vhost name \"a\", message dropped\n"},
        {std::string("\0 x", 3), "Refused vhost name \"\", message dropped\n"},
        {"nospace", "Vhost message without a vhost name dropped\n"},
        {"", "Vhost message without a vhost name dropped\n"},
        {"... x", nullptr},
        {"..a x", nullptr},
        {"a.. x", nullptr},
        {".hidden x", nullptr},
        {"www.example.com GET /", nullptr},
    };
    for (const Case &c : cases) {
        next_report_interval();
        verbose = 1;
        StderrCapture err;
        int fd = route(conf, "vh", c.message);
        std::string text = err.text();
        if (c.diagnostic) {
            EXPECT_EQ(fd, -1) << c.message;
            EXPECT_EQ(text, c.diagnostic + ("Dropped 1 messages for " + dir + ": refused vhost name\n"));
        } else {
            EXPECT_GE(fd, 0) << c.message;
            EXPECT_EQ(text, "") << c.message;
        }
        verbose = 0;
        StderrCapture quiet;
        EXPECT_EQ(route(conf, "vh", c.message) >= 0, c.diagnostic == nullptr);
        EXPECT_EQ(quiet.text(), "") << c.message;
    }
    EXPECT_EQ(dropped(dir, OUTPUT_DROP_REFUSED_NAME), 22u);  // each refused case, verbose and quiet
    EXPECT_EQ(entries(tmp.path), (std::set<std::string>{"v"}));
    EXPECT_EQ(entries(dir), (std::set<std::string>{"sub", "...", "..a", "a..", ".hidden", "www.example.com"}));
    EXPECT_EQ(entries(tmp.file("v/sub")), (std::set<std::string>{}));
}

TEST_F(Routing, PathThatDoesNotFitIsRefusedNotCut)
{
    // "<dir>/<name>" of exactly 1023 bytes is tried; one more byte is refused
    // before anything is opened (a cut path would name another file).
    std::string dir = "/nonexistent-wkp-dir/" + std::string(1023 - 21 - 1 - 4, 'd');
    SpreadConf *conf = make_conf();
    vhost(conf, "vh", dir);
    ASSERT_EQ(dir.size() + 1 + 4, 1023u);

    verbose = 1;
    StderrCapture fits;
    EXPECT_EQ(route(conf, "vh", "abcd x"), -1);
    EXPECT_EQ(fits.text(), "Cannot open " + dir + "/abcd: No such file or directory\n"
                           "Dropped 1 messages for " + dir + ": output not open\n");

    StderrCapture too_long;
    EXPECT_EQ(route(conf, "vh", "abcde x"), -1);
    EXPECT_EQ(too_long.text(), "Vhost path too long for \"abcde\", message dropped\n"
                               "Dropped 1 messages for " + dir + ": refused vhost name\n");
}

TEST_F(Routing, FileThatCannotBeOpenedDropsTheMessageAndIsRetried)
{
    for (int locking_skipped : {0, 1}) {
        skip_locking = locking_skipped;
        next_report_interval();
        TempDir tmp;
        std::string dir = tmp.file("later");
        SpreadConf *conf = make_conf();
        LogFacility *facility = vhost(conf, "vh", dir);

        // Said whatever the verbosity: the reason once, the drops by the
        // report rule (the first at once, the next one pending).
        StderrCapture err;
        EXPECT_EQ(route(conf, "vh", "abc x"), -1);
        EXPECT_EQ(route(conf, "vh", "abc y"), -1);
        EXPECT_EQ(err.text(), "Cannot open " + dir + "/abc: No such file or directory\n"
                              "Dropped 1 messages for " + dir + ": output not open\n");
        EXPECT_EQ(facility->vhosts->slots[140].fd, -1);
        EXPECT_EQ(facility->vhosts->slots[140].name, nullptr);
        EXPECT_EQ(dropped(dir, OUTPUT_DROP_NOT_OPEN), 2u);

        ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
        int fd = route(conf, "vh", "abc z");
        EXPECT_GE(fd, 0);
        EXPECT_EQ(vhost_lookup(facility->vhosts, "abc"), fd);
        empty_table(facility->vhosts);
    }
}

// A symlink (to a file outside, to a device), a FIFO with or without a
// reader and a directory under a vhost name are refused and counted:
// nothing is created or written through them, and the daemon goes on.
TEST_F(Routing, OnlyRegularFilesAreVhostFiles)
{
    TempDir tmp;
    std::string dir = tmp.file("v");
    ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
    ASSERT_EQ(symlink("../outside", tmp.file("v/link").c_str()), 0);
    ASSERT_EQ(symlink("/dev/null", tmp.file("v/null").c_str()), 0);
    ASSERT_EQ(mkfifo(tmp.file("v/fifo").c_str(), 0644), 0);
    ASSERT_EQ(mkfifo(tmp.file("v/readfifo").c_str(), 0644), 0);
    int reader = open(tmp.file("v/readfifo").c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    ASSERT_EQ(mkdir(tmp.file("v/sub").c_str(), 0755), 0);
    SpreadConf *conf = make_conf();
    LogFacility *facility = vhost(conf, "vh", dir);

    StderrCapture err;
    for (const char *message : {"link x", "null x", "fifo x", "readfifo x", "sub x"})
        EXPECT_EQ(route(conf, "vh", message), -1) << message;
    EXPECT_GE(route(conf, "vh", "plain x"), 0);
    EXPECT_EQ(err.text(), "Dropped 1 messages for " + dir + ": not a regular file\n");
    EXPECT_EQ(dropped(dir, OUTPUT_DROP_NOT_REGULAR), 5u);
    EXPECT_FALSE(wkp_test::file_exists(tmp.file("outside")));
    EXPECT_EQ(vhost_lookup(facility->vhosts, "link"), -1);
    char byte;
    EXPECT_EQ(read(reader, &byte, 1), 0);  // a writer came and went, writing nothing
    close(reader);
}

// Names whose probe sequence is home 0, step 3 in a table of six slots:
// they only ever visit slots 0 and 3.
std::vector<std::string> names_of_sequence_0_3(size_t count)
{
    std::vector<std::string> names;
    for (int i = 0; names.size() < count; i++) {
        std::string name = "h" + std::to_string(i);
        if (vhost_hash(name.c_str()) % 6 == 0)
            names.push_back(name);
    }
    return names;
}

// Routes "<name> <text>\n" on the vhost group "vh" and writes what
// prepare_message would give (the text and its newline) with the write step.
void log_line(SpreadConf *conf, const std::string &name, const std::string &text)
{
    int fd = route(conf, "vh", name + " " + text + "\n");
    ASSERT_GE(fd, 0) << name;
    std::string rest = text + "\n";
    ASSERT_EQ(output_write(fd, rest.data(), rest.size()), 0) << name;
}

// A name whose sequence holds no empty slot takes over the least recently
// used slot of the sequence in place: its file closed, its name forgotten.
// The slot stays full, so the other names' chains hold, and no message is
// dropped.
TEST_F(Routing, FullSequenceTakesOverItsLeastRecentlyUsedSlot)
{
    vhost_table_size = 6;
    TempDir tmp;
    SpreadConf *conf = make_conf();
    LogFacility *facility = vhost(conf, "vh", tmp.path);
    VhostSlot *slots = facility->vhosts->slots;
    std::vector<std::string> n = names_of_sequence_0_3(3);

    log_line(conf, n[0], "1");  // slot 0
    log_line(conf, n[1], "2");  // slot 3
    ASSERT_STREQ(slots[0].name, n[0].c_str());
    ASSERT_STREQ(slots[3].name, n[1].c_str());
    log_line(conf, n[0], "3");  // n[1] is the least recently used now
    log_line(conf, n[2], "4");  // takes slot 3 over
    EXPECT_STREQ(slots[3].name, n[2].c_str());
    EXPECT_STREQ(slots[0].name, n[0].c_str());
    EXPECT_EQ(vhost_lookup(facility->vhosts, n[1].c_str()), -1);
    EXPECT_EQ(output_vhost_open_count(), 2);
    // n[1] comes back in the least recently used slot of the two, n[0]'s;
    // n[2]'s chain through slot 0 still holds.
    log_line(conf, n[1], "5");
    EXPECT_STREQ(slots[0].name, n[1].c_str());
    log_line(conf, n[2], "6");
    EXPECT_STREQ(slots[3].name, n[2].c_str());
    log_line(conf, n[0], "7");
    EXPECT_STREQ(slots[0].name, n[0].c_str());
    for (int i = 0; i < 6; i++)
        EXPECT_TRUE(i == 0 || i == 3 || slots[i].name == nullptr) << i;

    EXPECT_EQ(output_flush(), 0);
    EXPECT_EQ(read_file(tmp.file(n[0])), "1\n3\n7\n");
    EXPECT_EQ(read_file(tmp.file(n[1])), "2\n5\n");
    EXPECT_EQ(read_file(tmp.file(n[2])), "4\n6\n");
}

// At the cap the least recently used vhost file of all tables is closed;
// its slot keeps the name and the file is opened again on the name's next
// message, in the same slot.
TEST_F(Routing, LeastRecentlyUsedFileIsClosedAtTheCap)
{
    TempDir one, two;
    SpreadConf *conf = make_conf();
    LogFacility *a = vhost(conf, "vh", one.path);
    SpreadConf *other = make_conf();
    LogFacility *b = vhost(other, "vh", two.path);
    output_set_vhost_cap(3);
    auto slot_of = [](LogFacility *f, const char *name) -> VhostSlot * {
        for (int i = 0; i < vhost_table_size; i++)
            if (f->vhosts->slots[i].name && strcmp(f->vhosts->slots[i].name, name) == 0)
                return &f->vhosts->slots[i];
        return nullptr;
    };

    log_line(conf, "h1", "a");
    log_line(conf, "h2", "b");
    log_line(other, "h3", "c");
    EXPECT_EQ(output_vhost_open_count(), 3);
    log_line(conf, "h1", "d");   // most recent first: h1 h3 h2
    log_line(other, "h4", "e");  // closes h2
    EXPECT_EQ(output_vhost_open_count(), 3);
    VhostSlot *h2 = slot_of(a, "h2");
    ASSERT_NE(h2, nullptr);
    EXPECT_EQ(h2->fd, -1);
    EXPECT_GE(slot_of(a, "h1")->fd, 0);
    EXPECT_GE(slot_of(b, "h3")->fd, 0);
    log_line(conf, "h2", "f");   // opened again in its slot; closes h3
    EXPECT_EQ(slot_of(a, "h2"), h2);
    EXPECT_GE(h2->fd, 0);
    EXPECT_EQ(slot_of(b, "h3")->fd, -1);
    log_line(other, "h3", "g");  // closes h1
    EXPECT_EQ(slot_of(a, "h1")->fd, -1);
    EXPECT_EQ(output_vhost_open_count(), 3);

    EXPECT_EQ(output_flush(), 0);
    EXPECT_EQ(read_file(one.file("h1")), "a\nd\n");
    EXPECT_EQ(read_file(one.file("h2")), "b\nf\n");
    EXPECT_EQ(read_file(two.file("h3")), "c\ng\n");
    EXPECT_EQ(read_file(two.file("h4")), "e\n");
    // Closing the tables empties open and remembered slots alike.
    vhost_table_close(a->vhosts);
    vhost_table_close(b->vhosts);
    EXPECT_EQ(output_vhost_open_count(), 0);
    EXPECT_EQ(slot_of(a, "h1"), nullptr);
    EXPECT_EQ(slot_of(a, "h2"), nullptr);
}

TEST_F(Routing, LockHeldByAnotherDaemonEndsTheProcess)
{
    TempDir tmp;
    SpreadConf *conf = make_conf();
    vhost(conf, "vh", tmp.path);
    int holder = open(tmp.file("abc").c_str(), O_WRONLY | O_CREAT, 0644);
    ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);

    // A line taken for another vhost file before is written at that exit.
    auto [status, err] = in_child([&] {
        log_line(conf, "def", "taken before");
        route(conf, "vh", "abc x");
    });
    EXPECT_EQ(status, 1);
    EXPECT_EQ(err, "Cannot lock " + tmp.file("abc") + ", is another wickerpost running?\n");
    EXPECT_EQ(read_file(tmp.file("def")), "taken before\n");

    // Without locking the file is shared.
    auto [free_status, free_err] = in_child([&] {
        skip_locking = 1;
        _exit(route(conf, "vh", "abc x") >= 0 ? 7 : 8);
    });
    EXPECT_EQ(free_status, 7);
    EXPECT_EQ(free_err, "");
    close(holder);
}

// Far below the cap, the open-file limit itself: an open that fails with
// EMFILE closes least recently used vhost files and tries again, so every
// message lands; a name whose file was closed is opened again.
TEST_F(Routing, OpenThatMeetsTheDescriptorLimitClosesOldVhostFiles)
{
    TempDir tmp;
    SpreadConf *conf = make_conf();
    vhost(conf, "vh", tmp.path);
    auto [status, err] = in_child([&] {
        output_set_vhost_cap(100000);
        int lowest_free = dup(0);
        close(lowest_free);
        struct rlimit limit = {(rlim_t)lowest_free + 8, (rlim_t)lowest_free + 8};
        if (setrlimit(RLIMIT_NOFILE, &limit) != 0)
            _exit(3);
        for (int round = 0; round < 2; round++)
            for (int i = 0; i < 40; i++)
                log_line(conf, "host" + std::to_string(i), "line " + std::to_string(round));
        EXPECT_EQ(output_flush(), 0);
        _exit(::testing::Test::HasFailure() ? 4 : 0);
    });
    ASSERT_EQ(status, 0) << err;
    EXPECT_EQ(err, "");
    for (int i = 0; i < 40; i++)
        EXPECT_EQ(read_file(tmp.file("host" + std::to_string(i))), "line 0\nline 1\n") << i;
}

// One call takes a message the whole way: the facility's descriptor, the
// bytes prepared (a vhost message without its vhost word), one write. A
// message that no filter keeps, a refused vhost name and a missing
// facility write nothing and give -1.
TEST_F(Routing, DeliverRoutesPreparesAndWrites)
{
    TempDir tmp;
    SpreadConf *conf = make_conf();
    int plain_fd = open(tmp.file("plain.log").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    ASSERT_GE(plain_fd, 0);
    LogFacility *plain = add_plain(conf, "plain", plain_fd, {"GET"});
    LogFacility *vhosts = vhost(conf, "vh", tmp.path);
    struct Case {
        LogFacility *facility;
        std::string message;
        int result;
    } cases[] = {
        {plain, "1 GET /a\n", 0},
        {plain, "2 POST /b\n", -1},
        {vhosts, "www.a.example 3 GET /c\n", 0},
        {vhosts, "../up 4 GET /d\n", -1},
        {vhosts, "www.a.example 5 GET /e\n", 0},
        {nullptr, "6 GET /f\n", -1},
    };
    for (const Case &c : cases) {
        std::vector<char> buffer(c.message.begin(), c.message.end());
        EXPECT_EQ(output_deliver(c.facility, buffer.data(), static_cast<int>(buffer.size())), c.result) << c.message;
    }
    EXPECT_EQ(output_flush(), 0);
    EXPECT_EQ(read_file(tmp.file("plain.log")), "1 GET /a\n");
    EXPECT_EQ(read_file(tmp.file("www.a.example")), "3 GET /c\n5 GET /e\n");
    EXPECT_EQ(entries(tmp.path), (std::set<std::string>{"plain.log", "www.a.example"}));
    close(plain_fd);
}

}  // namespace
