// Routing: the vhost hash and table, the regex filters, the per-vhost files.
#include "output/routing.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <set>
#include <string>

#include <gtest/gtest.h>

#include "routing_support.h"
#include "support/process.h"

using namespace routing_test;
using wkp_test::TempDir;

namespace {

// Names in a directory, "." and ".." left out.
std::set<std::string> entries(const std::string &dir)
{
    std::set<std::string> names;
    if (DIR *d = opendir(dir.c_str())) {
        while (dirent *e = readdir(d)) {
            std::string name = e->d_name;
            if (name != "." && name != "..")
                names.insert(name);
        }
        closedir(d);
    }
    return names;
}

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
    void SetUp() override
    {
        verbose = 0;
        skip_locking = 0;
        vhost_table_size = 1024;
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
        {"", 0},
        {"a", 46},            // 97 * 31 >> 5 = 93, >> 1 = 46
        {"abc", 140},         // 46 + 47 + 47
        {"cba", 140},         // same bytes, same sum
        {"abd", 141},         // 46 + 47 + 48
        {"\xE9", 268435332},  // 2^31 - 12, bit 30..28 folded into 6..4
        {"\xE9\xE9", 268435320},  // bit 31 of the sum is dropped by the fold
    };
    for (const Case &c : cases)
        EXPECT_EQ(vhost_hash(c.name), c.hash) << c.name;
}

TEST(VhostTable, CollidingNamesProbeWithTheStepOfTheHomeSlot)
{
    vhost_table_size = 1024;
    VhostTable *table = make_table();
    vhost_insert(table, strdup("abc"), 10);  // home 140, step 3
    vhost_insert(table, strdup("cba"), 11);  // same hash: next probe, 143
    table->slots[141].name = strdup("zzz");  // hold the home slot of "abd"
    table->slots[141].fd = 12;
    vhost_insert(table, strdup("abd"), 13);  // home 141, step 5: 146

    EXPECT_STREQ(table->slots[140].name, "abc");
    EXPECT_STREQ(table->slots[143].name, "cba");
    EXPECT_STREQ(table->slots[146].name, "abd");
    EXPECT_EQ(table->slots[144].fd, -1);
    EXPECT_EQ(vhost_lookup(table, "abc"), 10);
    EXPECT_EQ(vhost_lookup(table, "cba"), 11);
    EXPECT_EQ(vhost_lookup(table, "abd"), 13);
    EXPECT_EQ(vhost_lookup(table, "bac"), -1);  // same sequence, stops at empty 146
    EXPECT_EQ(vhost_lookup(table, "abcd"), -1);
    // Bytes 1 and 2 add nothing to the hash: a name and its prefix collide
    // and still are two names.
    vhost_insert(table, strdup("ab\x01"), 14);
    EXPECT_EQ(vhost_lookup(table, "ab"), -1);
    vhost_insert(table, strdup("ab"), 15);
    EXPECT_EQ(vhost_lookup(table, "ab"), 15);
    EXPECT_EQ(vhost_lookup(table, "ab\x01"), 14);
    EXPECT_EQ(vhost_lookup(table, "ab\x01\x02"), -1);
    empty_table(table, false);
}

TEST(VhostTable, SequenceCoveringPartOfTheTable)
{
    // Six slots: "ah" hashes to 96, home 0, step 3, so it only ever
    // visits slots 0 and 3.
    vhost_table_size = 6;
    VhostTable *table = make_table();
    table->slots[0] = {strdup("x"), 20};
    table->slots[3] = {strdup("y"), 21};
    vhost_insert(table, strdup("ah"), 22);  // nowhere to go: the name is freed
    for (int i = 0; i < 6; i++)
        EXPECT_TRUE(i == 0 || i == 3 || table->slots[i].fd == -1) << i;
    EXPECT_EQ(vhost_lookup(table, "ah"), -1);

    // A step larger than the table wraps: size 1 holds exactly one name.
    vhost_table_size = 1;
    VhostTable *one = make_table();
    vhost_insert(one, strdup("abc"), 30);
    vhost_insert(one, strdup("cba"), 31);
    EXPECT_EQ(vhost_lookup(one, "abc"), 30);
    EXPECT_EQ(vhost_lookup(one, "cba"), -1);

    // A negative descriptor is never stored.
    vhost_table_size = 1024;
    VhostTable *big = make_table();
    vhost_insert(big, strdup("abc"), -1);
    EXPECT_EQ(big->slots[140].fd, -1);
    EXPECT_EQ(vhost_lookup(big, "abc"), -1);

    vhost_table_size = 6;
    empty_table(table, false);
    vhost_table_size = 1;
    empty_table(one, false);
}

TEST_F(Routing, PlainFacilities)
{
    SpreadConf *conf = make_conf();
    SpreadConf *other = make_conf();
    add_plain(conf, "web", 7);
    add_plain(conf, "closed", -1);
    add_plain(other, "elsewhere", 8);
    LogFacility *nofile = add_facility(conf, "nofile");
    (void)nofile;

    EXPECT_EQ(route(conf, "web", "GET / 200\n"), 7);
    EXPECT_EQ(route(conf, "web", ""), 7);
    EXPECT_EQ(route(conf, "Web", "x"), -1);        // group names are exact
    EXPECT_EQ(route(conf, "elsewhere", "x"), -1);  // configured on another connection
    EXPECT_EQ(route(other, "elsewhere", "x"), 8);
    EXPECT_EQ(route(conf, "closed", "x"), -1);     // output not open
    EXPECT_EQ(route(conf, "nofile", "x"), -1);     // neither File nor VhostDir
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
    EXPECT_EQ(facility->vhosts->slots[140].fd, fd);
    EXPECT_STREQ(facility->vhosts->slots[140].name, "abc");
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

    // Same hash, other name: its own slot and file; case matters.
    int cba = route(conf, "vh", "cba x");
    int upper = route(conf, "vh", "Abc x");
    ASSERT_GE(cba, 0);
    ASSERT_GE(upper, 0);
    EXPECT_NE(cba, fd);
    EXPECT_NE(upper, fd);
    EXPECT_STREQ(facility->vhosts->slots[143].name, "cba");
    EXPECT_EQ(entries(tmp.path), (std::set<std::string>{"abc", "cba", "Abc"}));

    // After the descriptors are closed (as on SIGHUP) the file is opened
    // again; the slot's stale name is not taken for a live entry.
    for (int i = 0; i < vhost_table_size; i++) {
        VhostSlot &slot = facility->vhosts->slots[i];
        if (slot.fd >= 0)
            close(slot.fd);
        slot.fd = -1;
    }
    int again = route(conf, "vh", "abc again");
    EXPECT_GE(again, 0);
    EXPECT_EQ(facility->vhosts->slots[140].fd, again);
    EXPECT_EQ(vhost_lookup(facility->vhosts, "abc"), again);
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
        verbose = 1;
        StderrCapture err;
        int fd = route(conf, "vh", c.message);
        std::string text = err.text();
        if (c.diagnostic) {
            EXPECT_EQ(fd, -1) << c.message;
            EXPECT_EQ(text, c.diagnostic);
        } else {
            EXPECT_GE(fd, 0) << c.message;
            EXPECT_EQ(text, "") << c.message;
        }
        verbose = 0;
        StderrCapture quiet;
        EXPECT_EQ(route(conf, "vh", c.message) >= 0, c.diagnostic == nullptr);
        EXPECT_EQ(quiet.text(), "") << c.message;
    }
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
    EXPECT_EQ(fits.text(), "Cannot open " + dir + "/abcd: No such file or directory\n");

    StderrCapture too_long;
    EXPECT_EQ(route(conf, "vh", "abcde x"), -1);
    EXPECT_EQ(too_long.text(), "Vhost path too long for \"abcde\", message dropped\n");
}

TEST_F(Routing, FileThatCannotBeOpenedDropsTheMessageAndIsRetried)
{
    for (int locking_skipped : {0, 1}) {
        skip_locking = locking_skipped;
        TempDir tmp;
        std::string dir = tmp.file("later");
        SpreadConf *conf = make_conf();
        LogFacility *facility = vhost(conf, "vh", dir);

        StderrCapture err;  // reported whatever the verbosity
        EXPECT_EQ(route(conf, "vh", "abc x"), -1);
        EXPECT_EQ(route(conf, "vh", "abc y"), -1);
        std::string line = "Cannot open " + dir + "/abc: No such file or directory\n";
        EXPECT_EQ(err.text(), line + line);
        EXPECT_EQ(facility->vhosts->slots[140].fd, -1);
        EXPECT_EQ(facility->vhosts->slots[140].name, nullptr);

        ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
        int fd = route(conf, "vh", "abc z");
        EXPECT_GE(fd, 0);
        EXPECT_EQ(vhost_lookup(facility->vhosts, "abc"), fd);
        empty_table(facility->vhosts);
    }
}

TEST_F(Routing, NameWhoseSequenceIsFullIsDroppedWithoutOpening)
{
    vhost_table_size = 6;
    TempDir tmp;
    SpreadConf *conf = make_conf();
    LogFacility *facility = vhost(conf, "vh", tmp.path);
    // "ah" (home 0, step 3) only visits slots 0 and 3.
    facility->vhosts->slots[0] = {strdup("x"), open("/dev/null", O_WRONLY)};
    facility->vhosts->slots[3] = {strdup("y"), open("/dev/null", O_WRONLY)};

    verbose = 1;
    StderrCapture err;
    EXPECT_EQ(route(conf, "vh", "ah x"), -1);
    EXPECT_EQ(err.text(), "Vhost table full for \"ah\", message dropped\n");
    EXPECT_EQ(entries(tmp.path), (std::set<std::string>{}));  // nothing opened
    EXPECT_GE(route(conf, "vh", "abc x"), 0);  // 140 % 6 = 2: room elsewhere
    EXPECT_EQ(entries(tmp.path), (std::set<std::string>{"abc"}));
}

// Runs `body` in a child process; gives its exit status (or -1) and
// everything it wrote to standard error.
std::pair<int, std::string> in_child(const std::function<void()> &body)
{
    char tmpl[] = "/tmp/wkp-child-XXXXXX";
    int err = mkstemp(tmpl);
    fflush(stderr);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(err, 2);
        body();
        _exit(0);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    close(err);
    std::string text = wkp_test::read_file(tmpl);
    unlink(tmpl);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, text};
}

TEST_F(Routing, LockHeldByAnotherDaemonEndsTheProcess)
{
    TempDir tmp;
    SpreadConf *conf = make_conf();
    vhost(conf, "vh", tmp.path);
    int holder = open(tmp.file("abc").c_str(), O_WRONLY | O_CREAT, 0644);
    ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);

    auto [status, err] = in_child([&] { route(conf, "vh", "abc x"); });
    EXPECT_EQ(status, 1);
    EXPECT_EQ(err, "Cannot lock " + tmp.file("abc") + ", is another wickerpost running?\n");

    // Without locking the file is shared.
    auto [free_status, free_err] = in_child([&] {
        skip_locking = 1;
        _exit(route(conf, "vh", "abc x") >= 0 ? 7 : 8);
    });
    EXPECT_EQ(free_status, 7);
    EXPECT_EQ(free_err, "");
    close(holder);
}

}  // namespace
