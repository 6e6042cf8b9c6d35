// Routing: the vhost hash and table, the regex filters, the per-vhost files
// with their descriptor cap, and a message's whole way through the outputs.
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

TEST(VhostHash, WorkedValues)
{
    struct Case {
        const char *name;
        uint32_t hash;
    } cases[] = {
        {"", 2872998923u},     // FNV-1a's offset basis, mixed
        {"a", 444641715u},
        {"abc", 482950588u},
        {"cba", 2014114366u},  // the same bytes in another order
        {"\xE9", 3136788073u},
    };
    for (const Case &c : cases)
        EXPECT_EQ(vhost_hash(c.name), c.hash) << c.name;
}

// Where a name's probe sequence starts in a table of `size` slots, and
// its step.
uint32_t home_of(const std::string &name, int size) { return vhost_hash(name.c_str()) % static_cast<uint32_t>(size); }
uint32_t step_of(uint32_t home, int size)
{
    return static_cast<uint32_t>(vhost_probe_steps[home % std::size(vhost_probe_steps)]) % static_cast<uint32_t>(size);
}

// Two names "nI" whose sequences start at the same home slot in a table of
// `size` slots (and so share the whole sequence).
std::pair<std::string, std::string> colliding_names(int size)
{
    std::map<uint32_t, std::string> seen;
    for (int i = 0;; i++) {
        std::string name = "n" + std::to_string(i);
        auto [at, fresh] = seen.emplace(home_of(name, size), name);
        if (!fresh)
            return {at->second, name};
    }
}

TEST(VhostTable, CollidingNamesProbeWithTheStepOfTheHomeSlot)
{
    Scoped table_size(vhost_table_size, 1024);
    auto [first, second] = colliding_names(1024);
    uint32_t home = home_of(first, 1024), step = step_of(home, 1024);
    // A third name whose home slot another name holds: it goes one step on.
    std::string third;
    for (int i = 0; third.empty(); i++) {
        std::string name = "m" + std::to_string(i);
        uint32_t h = home_of(name, 1024);
        if (h != home && h != (home + step) % 1024 && h != (home + 2 * step) % 1024 &&
            (h + step_of(h, 1024)) % 1024 != home && (h + step_of(h, 1024)) % 1024 != (home + step) % 1024)
            third = name;
    }
    uint32_t third_home = home_of(third, 1024), third_next = (third_home + step_of(third_home, 1024)) % 1024;

    VhostTable *table = make_table();
    int a = null_fd(), b = null_fd(), held = null_fd(), c = null_fd();
    vhost_insert(table, strdup(first.c_str()), a);   // its home
    vhost_insert(table, strdup(second.c_str()), b);  // same home: the next probe
    table->slots[third_home].name = strdup("zzz");   // hold the home slot of the third
    table->slots[third_home].fd = held;
    vhost_insert(table, strdup(third.c_str()), c);

    EXPECT_EQ(table->slots[home].name, first);
    EXPECT_EQ(table->slots[(home + step) % 1024].name, second);
    EXPECT_EQ(table->slots[third_next].name, third);
    EXPECT_EQ(table->slots[(home + 2 * step) % 1024].fd, -1);
    EXPECT_EQ(vhost_lookup(table, first.c_str()), a);
    EXPECT_EQ(vhost_lookup(table, second.c_str()), b);
    EXPECT_EQ(vhost_lookup(table, third.c_str()), c);
    EXPECT_EQ(vhost_lookup(table, "zzz"), -1);  // stored by hand, without its hash
    EXPECT_EQ(vhost_lookup(table, (first + "x").c_str()), -1);
    // A name and its prefix are two names.
    int ab1 = null_fd(), ab = null_fd();
    vhost_insert(table, strdup("ab\x01"), ab1);
    EXPECT_EQ(vhost_lookup(table, "ab"), -1);
    vhost_insert(table, strdup("ab"), ab);
    EXPECT_EQ(vhost_lookup(table, "ab"), ab);
    EXPECT_EQ(vhost_lookup(table, "ab\x01"), ab1);
    EXPECT_EQ(vhost_lookup(table, "ab\x01\x02"), -1);
    empty_table(table);
    EXPECT_EQ(fcntl(held, F_GETFD), -1);  // closed with the table
    EXPECT_EQ(vhost_lookup(table, first.c_str()), -1);
}

// The three slot states as lookup and insertion see them. Two names share
// the sequence home, home + step, home + 2 step...; the first sits in its
// home, the second one step on, each open or remembered with its file
// closed.
TEST(VhostTable, OpenRememberedAndEmptySlots)
{
    Scoped table_size(vhost_table_size, 1024);
    auto [first, second] = colliding_names(1024);
    uint32_t home = home_of(first, 1024), step = step_of(home, 1024);
    uint32_t slot_of[2] = {home, (home + step) % 1024}, empty_slot = (home + 2 * step) % 1024;
    // A third name of the same sequence, not stored.
    std::string absent;
    for (int i = 0; absent.empty(); i++) {
        std::string name = "a" + std::to_string(i);
        if (home_of(name, 1024) == home)
            absent = name;
    }
    struct Case {
        bool first_open, second_open;
        int name;         // 0: the first, 1: the second, 2: the absent one; looked up, then inserted
        bool found_open;  // lookup gives the slot's descriptor; else -1
    } cases[] = {
        {true, true, 0, true},
        {false, true, 0, false},  // remembered: fd -1, still full
        {false, true, 1, true},   // the walk goes past a remembered slot
        {true, false, 1, false},
        {false, false, 2, false},  // absent: the walk ends at the empty slot
    };
    for (const Case &c : cases) {
        const std::string &name = c.name == 0 ? first : c.name == 1 ? second : absent;
        SCOPED_TRACE(name + (c.first_open ? " first open" : " first closed") +
                     (c.second_open ? " second open" : " second closed"));
        VhostTable *table = make_table();
        vhost_insert(table, strdup(first.c_str()), null_fd());
        vhost_insert(table, strdup(second.c_str()), null_fd());
        if (!c.first_open)
            output_vhost_close(&table->slots[slot_of[0]]);
        if (!c.second_open)
            output_vhost_close(&table->slots[slot_of[1]]);
        ASSERT_EQ(table->slots[slot_of[0]].name, first);
        ASSERT_EQ(table->slots[slot_of[1]].name, second);

        int fd = vhost_lookup(table, name.c_str());
        EXPECT_EQ(fd, c.found_open ? table->slots[slot_of[c.name]].fd : -1);
        EXPECT_EQ(fd >= 0, c.found_open);

        // Insertion takes the first empty slot: never a remembered one.
        int other = null_fd();
        vhost_insert(table, strdup(name.c_str()), other);
        EXPECT_EQ(table->slots[empty_slot].fd, other);
        empty_table(table);
        for (uint32_t i : {slot_of[0], slot_of[1], empty_slot}) {
            EXPECT_EQ(table->slots[i].name, nullptr);
            EXPECT_EQ(table->slots[i].fd, -1);
        }
        EXPECT_EQ(fcntl(other, F_GETFD), -1);
    }
}

TEST(VhostTable, SequenceCoveringPartOfTheTable)
{
    // Six slots: a name at home 0 has step 3, so it only ever visits slots
    // 0 and 3.
    Scoped table_size(vhost_table_size, 6);
    std::string name;
    for (int i = 0; name.empty(); i++)
        if (home_of("n" + std::to_string(i), 6) == 0)
            name = "n" + std::to_string(i);
    VhostTable *table = make_table();
    table->slots[0].name = strdup("x");
    table->slots[0].fd = null_fd();
    table->slots[3].name = strdup("y");
    table->slots[3].fd = null_fd();
    vhost_insert(table, strdup(name.c_str()), 22);  // nowhere to go: the name is freed
    for (int i = 0; i < 6; i++)
        EXPECT_TRUE(i == 0 || i == 3 || table->slots[i].name == nullptr) << i;
    EXPECT_EQ(vhost_lookup(table, name.c_str()), -1);
    empty_table(table);

    // A step larger than the table wraps: size 1 holds exactly one name.
    vhost_table_size = 1;
    VhostTable *one = make_table();
    int abc = null_fd();
    vhost_insert(one, strdup("abc"), abc);
    vhost_insert(one, strdup("cba"), 31);
    EXPECT_EQ(vhost_lookup(one, "abc"), abc);
    EXPECT_EQ(vhost_lookup(one, "cba"), -1);
    empty_table(one);

    // A negative descriptor is never stored.
    vhost_table_size = 1024;
    VhostTable *big = make_table();
    vhost_insert(big, strdup("abc"), -1);
    EXPECT_EQ(big->slots[home_of("abc", 1024)].fd, -1);
    EXPECT_EQ(big->slots[home_of("abc", 1024)].name, nullptr);
    EXPECT_EQ(vhost_lookup(big, "abc"), -1);
}

// Names of one shape (a web farm's hosts: one length, a counter in them)
// spread over the table: with as many names as half the slots, each is
// stored within the probes a walk may take and found again; in a full
// table a new name still finds a place within them (the least recently
// used one), so no walk grows with the table.
TEST(VhostTable, NamesOfOneShapeSpreadOverTheTable)
{
    Scoped table_size(vhost_table_size, 20000);
    VhostTable *table = make_table();
    char name[32];
    for (int i = 0; i < 10000; i++) {
        snprintf(name, sizeof name, "h%05d.example.com", i);
        vhost_insert(table, strdup(name), 100000 + i);
    }
    int found = 0;
    for (int i = 0; i < 10000; i++) {
        snprintf(name, sizeof name, "h%05d.example.com", i);
        found += vhost_lookup(table, name) == 100000 + i;
    }
    EXPECT_EQ(found, 10000);
    empty_table(table);  // the numbers are no one's descriptors: closing them does nothing
}

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
