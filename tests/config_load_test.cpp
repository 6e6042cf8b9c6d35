// Loading configuration files in-process: what the grammar accepts and
// how it reports what it does not, the model the file builds, the depth
// limits of the parse, and the outputs opened, listed, closed and reopened.
#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/file.h>

#include <map>
#include <set>

#include "config/model.h"
#include "config/reader.h"
#include "config/settings.h"
#include "output/load.h"
#include "output/log_files.h"
#include "support/config_unload.h"
#include "support/process.h"
#include "support/scoped.h"

using namespace wkp_test;

namespace {

// Runs `body` with standard error sent to a file; returns what was written.
template <typename F>
std::string capture_stderr(F body)
{
    char path[] = "/tmp/wkp-stderr-XXXXXX";
    int fd = mkstemp(path);
    fflush(stderr);
    int saved = dup(2);
    dup2(fd, 2);
    close(fd);
    body();
    fflush(stderr);
    dup2(saved, 2);
    close(saved);
    std::string text = read_file(path);
    unlink(path);
    return text;
}

std::string replace_all(std::string text, const std::string &from, const std::string &to)
{
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

std::string report(int line, const std::string &token)
{
    return "Parser error on or before line " + std::to_string(line) + "\nOffending token: " + token + "\n";
}

std::vector<SpreadConf *> connections()
{
    std::vector<SpreadConf *> all;
    SkiplistNode *node = sl_first(&spread_confs);
    for (void *e = node ? node->data : nullptr; e; e = sl_next(&spread_confs, &node))
        all.push_back(static_cast<SpreadConf *>(e));
    return all;
}

std::vector<LogFacility *> facilities(SpreadConf *conf)
{
    std::vector<LogFacility *> all;
    SkiplistNode *node = sl_first(conf->facilities);
    for (void *e = node ? node->data : nullptr; e; e = sl_next(conf->facilities, &node))
        all.push_back(static_cast<LogFacility *>(e));
    return all;
}

std::vector<std::string> log_file_names()
{
    std::vector<std::string> all;
    SkiplistNode *node = sl_first(&log_files);
    for (void *e = node ? node->data : nullptr; e; e = sl_next(&log_files, &node))
        all.push_back(static_cast<LogFile *>(e)->filename);
    return all;
}

LogFacility *facility(SpreadConf *conf, const char *group)
{
    return static_cast<LogFacility *>(sl_find(conf->facilities, group, nullptr));
}

// "port host" of a connection, "-" for the local daemon.
std::string name_of(const SpreadConf *conf)
{
    return std::string(conf->port) + " " + (conf->host ? conf->host : "-");
}

bool pattern_matches(re_pattern_buffer *pattern, const std::string &text)
{
    return re_search(pattern, text.data(), (int)text.size(), 0, (int)text.size(), nullptr) >= 0;
}

struct Loaded {
    int result;
    std::string err;
};

class ConfigLoad : public ::testing::Test {
protected:
    TempDir dir;
    Scoped<int> receive_size{buffer_size, -1};
    Scoped<int> locking{skip_locking, 0};
    Scoped<int> quiet{verbose, 0};
    Scoped<int> table_size{vhost_table_size, 16};

    void TearDown() override { config_unload(); }

    // Loads `text`, with %D standing for the test's directory; unloads the
    // configuration of an earlier load first.
    Loaded load(const std::string &text)
    {
        config_unload();
        std::string path = dir.file("test.conf");
        write_file(path, replace_all(text, "%D", dir.path));
        Loaded loaded;
        loaded.err = capture_stderr([&] { loaded.result = config_load(path.c_str()); });
        return loaded;
    }

    // A file, what loading it gives, and the exact report.
    struct LoadRow {
        const char *what;
        std::string text;
        int result;
        std::string err;
    };

    template <size_t N>
    void expect_loads(const LoadRow (&rows)[N])
    {
        for (const LoadRow &row : rows) {
            SCOPED_TRACE(row.what);
            Loaded loaded = load(row.text);
            EXPECT_EQ(loaded.result, row.result);
            EXPECT_EQ(loaded.err, row.err);
        }
    }
};

}  // namespace

// What the grammar accepts, and the exact report for what it does not.
TEST_F(ConfigLoad, AcceptsAndRejects)
{
    const std::string clf = "Setting logfacility to force local times in CLF\n";
    LoadRow rows[] = {
        {"empty file", "", 1, report(0, "")},
        {"comments and blank lines only", "# a\n\n   # b { Spread\n", 1, report(3, "")},
        {"smallest file", "Spread{}", 0, ""},
        {"global lines then a block", "BufferSize = 1\nBufferSize = 2\nSpread { }\n", 0, ""},
        {"BufferSize after a Spread block", "Spread { Port = 1 }\nBufferSize = 10\nSpread { }\n", 1,
         report(1, "BufferSize")},
        {"Port after a Log block", "Spread {\n  Log { Group = g File = %D/a }\n  Port = 4803\n}\n", 1,
         report(2, "Port")},
        {"Port and Host in any order", "Spread { Host = h Port = 1 Host = i Port = 2 }", 0, ""},
        {"VhostGroup is no directive", "Spread {\n  Log {\n    VhostGroup = x\n  }\n}\n", 1,
         report(2, "VhostGroup")},
        {"VhostGroup at the top", "VhostGroup = x\n", 1, report(0, "VhostGroup")},
        {"quoted VhostGroup is a value", "Spread { Log { Group = 'VhostGroup' File = %D/a } }", 0, ""},
        {"keyword as a value", "Spread { Log { Group = Log File = %D/a } }", 1, report(0, "Log")},
        {"quoted keyword as a value", "Spread { Log { Group = \"Log\" File = %D/a } }", 0, ""},
        {"quoted CommonLogFormat is a format",
         "Spread { Log { Group = g File = %D/a RewriteTimestamp = 'CommonLogFormat' } }", 0, ""},
        {"error on the third line", "Spread {\n  Port = 1\n  Port 2\n}\n", 1, report(2, "2")},
        {"newline in a quoted value", "Spread {\n  Host = 'a\nb'\n  Port 2\n}\n", 1, report(2, "2")},
        {"two newlines in quoted values", "Spread {\n Host = \"a\n\nb\" Host = 'c\nd'\n\n}}", 1,
         report(3, "}")},
        {"offending quoted string", "Spread { Log { Group = a 'b' } }", 1, report(0, "'b")},
        {"offending double-quoted string", "Spread { Log { Group = a \"b c\" } }", 1, report(0, "\"b c")},
        {"trailing brace", "Spread { Port = 1 }\n}\n", 1, report(1, "}")},
        {"trailing word", "Spread { Port = 1 }\n\nrest", 1, report(2, "rest")},
        {"unfinished block", "Spread { Port = 1\n", 1, report(1, "")},
        {"Spread without block", "Spread { } Spread", 1, report(0, "")},
        {"nested Log", "Spread { Log { Log { } } }", 1, report(0, "Log")},
        {"nested Spread", "Spread { Spread { } }", 1, report(0, "Spread")},
        {"key and value need blanks", "Spread { Port=4803 }", 1, report(0, "Port=4803")},
        {"missing value", "BufferSize = Spread { }", 1, report(0, "Spread")},
        {"missing equals", "Spread { Log { Group g } }", 1, report(0, "g")},
        {"CRLF line ends", "Spread {\r\n  Port = 1\r\n  Log {\r\n    Group = g\r\n    File = %D/a\r\n  }\r\n}\r\n", 0,
         ""},
        {"CRLF line count", "Spread {\r\n\r\n  Port\r\n}\r\n", 1, report(3, "}")},
        {"actions before the error have run",
         "Spread { Log { Group = g File = %D/a RewriteTimestamp = CommonLogFormat Port", 1, clf + report(0, "Port")},
        {"empty Log blocks", "Spread { Log { } Log { } }", 0, ""},
        {"Log block without Group", "Spread {\n  Log {\n    File = %D/a\n  }\n}\n", 1,
         "Log block without Group\n" + report(3, "}")},
        {"Log block with Match only", "Spread { Log { Match = x } }", 1, "Log block without Group\n" + report(0, "}")},
        {"Log block without output", "Spread {\n  Log {\n    Group = g\n    Match = x\n  }\n}\n", 1,
         "Log block without File or VhostDir\n" + report(4, "}")},
        {"Log block with timestamp only", "Spread { Log { Group = g RewriteTimestamp = CommonLogFormat } }", 1,
         clf + "Log block without File or VhostDir\n" + report(0, "}")},
        {"a VhostDir is an output", "Spread { Log { Group = g VhostDir = %D } }", 0,
         "\nZeroing vhost hash for usage!\n"},
    };
    expect_loads(rows);
}

TEST_F(ConfigLoad, MissingFile)
{
    std::string err = capture_stderr([&] { EXPECT_EQ(config_load("/nonexistent/wickerpost.conf"), -1); });
    EXPECT_EQ(err, "Couldn't open input file: /nonexistent/wickerpost.conf\n");
}

// A token longer than config_token_max, or one with a NUL byte, is a syntax
// error at that token, reported as far as it was read and up to its NUL.
TEST_F(ConfigLoad, LongTokensAndNulBytes)
{
    using namespace std::string_literals;
    const size_t max = config_token_max;
    const std::string w(max, 'w'), w1(max + 1, 'w'), q(max - 2, 'q');
    LoadRow rows[] = {
        {"a value of the largest size", "Spread {\n Log { Group = " + w + " File = %D/a }\n}\n", 0, ""},
        {"a value one byte longer", "Spread {\n Log { Group = " + w1 + " File = %D/a }\n}\n", 1, report(1, w1)},
        {"a much longer value", "Spread {\n\n Host = " + std::string(3 * max, 'h') + "\n}\n", 1,
         report(2, std::string(max + 1, 'h'))},
        {"a quoted value of the largest size", "Spread {\n Log { Group = '" + q + "' File = %D/a }\n}\n", 0, ""},
        {"a quoted value one byte longer", "Spread {\n Log { Group = '" + q + "q' File = %D/a }\n}\n", 1,
         report(1, "'" + q + "q")},
        {"a comment of any length", "#" + std::string(3 * max, 'c') + "\nSpread { }\n", 0, ""},
        {"a NUL in a word", "Spread {\n Log { Group = ab\0cd File = %D/a }\n}\n"s, 1, report(1, "ab")},
        {"a NUL in a quoted value", "Spread {\n Log {\n Group = \"a b\0\" File = %D/a }\n}\n"s, 1,
         report(2, "\"a b")},
        {"a NUL in a comment", "Spread { # one\n # t\0wo\n}\n"s, 1, report(1, "")},
        {"a NUL between tokens", "Spread { \0 }\n"s, 1, report(0, "")},
    };
    for (auto &row : rows) {
        SCOPED_TRACE(row.what);
        Loaded loaded = load(row.text);
        EXPECT_EQ(loaded.result, row.result);
        EXPECT_TRUE(loaded.err == row.err) << loaded.err.substr(0, 200);
    }
}

// The daemon itself: a file it cannot read as text ends start-up at once,
// status 255, however much there is of it. (Read whole, an 8 MB token took
// half a minute, and /dev/zero never ended.)
TEST(ConfigLoadDaemon, UnreadableFilesEndStartUpAtOnce)
{
    TempDir dir;
    std::string long_word = dir.file("long-word.conf");
    write_file(long_word, "Spread {\n Port = " + std::string(8 * 1024 * 1024, '4') + "\n}\n");
    struct Case {
        std::string path, err;
    } cases[] = {
        {"/dev/zero", "Parser error on or before line 0\nOffending token: \n"},
        {long_word, "Parser error on or before line 1\nOffending token: " + std::string(config_token_max + 1, '4') + "\n"},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.path);
        Process p;
        run(p, {bin("wickerpost"), "-D", "-c", c.path}, 20000);
        EXPECT_EQ(p.exit_code(), 255);
        EXPECT_TRUE(p.err() == c.err) << p.err().substr(0, 200);
    }
}

// BufferSize sets the size only while it is unset (negative), with atoi.
TEST_F(ConfigLoad, BufferSize)
{
    struct Row {
        int before;
        std::string lines;
        int after;
    } rows[] = {
        {-1, "", -1},
        {-1, "BufferSize = 4096\n", 4096},
        {-1, "BufferSize = 4096\nBufferSize = 100\n", 4096},
        {-1, "BufferSize = -5\nBufferSize = 100\n", 100},
        {-1, "BufferSize = abc\nBufferSize = 100\n", 0},
        {-1, "BufferSize = 64k\n", 64},
        {-1, "BufferSize = '  12'\n", 12},
        {0, "BufferSize = 4096\n", 0},
        {2048, "BufferSize = 4096\n", 2048},
    };
    for (auto &row : rows) {
        SCOPED_TRACE(row.lines);
        buffer_size = row.before;
        EXPECT_EQ(load(row.lines + "Spread { }\n").result, 0);
        EXPECT_EQ(buffer_size, row.after);
    }
}

// StatsFile and StatsInterval: global settings before the first Spread
// block; the last line of each wins. They are names, not keywords, so a
// value spelled like one means what it did before they existed, and a
// name out of place is the usual syntax error.
TEST_F(ConfigLoad, StatsSettings)
{
    const std::string interval = "StatsInterval must be a whole number of seconds, 1 or more\n";
    struct Row {
        const char *what;
        std::string text;
        int result;
        std::string err;
        const char *file;  // stats_file after the load, %D for the directory
        int seconds;
    } rows[] = {
        {"neither", "Spread { }", 0, "", nullptr, default_stats_interval},
        {"a file", "StatsFile = %D/w.prom\nSpread { }", 0, "", "%D/w.prom", default_stats_interval},
        {"both, among BufferSize lines",
         "BufferSize = 1\nStatsInterval = 60\nStatsFile = '%D/a b.prom'\nBufferSize = 2\nSpread { }", 0, "",
         "%D/a b.prom", 60},
        {"the last ones win", "StatsFile = %D/a\nStatsInterval = 5\nStatsFile = %D/b\nStatsInterval = 1\nSpread { }",
         0, "", "%D/b", 1},
        {"a value spelled like a setting",
         "Spread { Log { Group = StatsFile File = %D/StatsInterval } }", 0, "", nullptr, default_stats_interval},
        {"after a Spread block", "Spread { }\nStatsFile = %D/w.prom\n", 1, report(1, "StatsFile"), nullptr,
         default_stats_interval},
        {"inside a Spread block", "Spread {\n  StatsInterval = 5\n}\n", 1, report(1, "StatsInterval"), nullptr,
         default_stats_interval},
        {"another name", "Statsfile = %D/w.prom\nSpread { }", 1, report(0, "Statsfile"), nullptr,
         default_stats_interval},
        {"no equals sign", "StatsFile %D/w.prom\nSpread { }", 1, report(0, "%D/w.prom"), nullptr,
         default_stats_interval},
        {"zero", "StatsInterval = 0\nSpread { }", 1, interval + report(0, "0"), nullptr, default_stats_interval},
        {"negative", "\nStatsInterval = -1\nSpread { }", 1, interval + report(1, "-1"), nullptr,
         default_stats_interval},
        {"with a unit", "StatsInterval = 30s\nSpread { }", 1, interval + report(0, "30s"), nullptr,
         default_stats_interval},
        {"plus sign", "StatsInterval = +30\nSpread { }", 1, interval + report(0, "+30"), nullptr,
         default_stats_interval},
        {"empty", "StatsInterval = ''\nSpread { }", 1, interval + report(0, "'"), nullptr, default_stats_interval},
        {"largest", "StatsInterval = 2147483647\nSpread { }", 0, "", nullptr, 2147483647},
        {"too large", "StatsInterval = 2147483648\nSpread { }", 1, interval + report(0, "2147483648"), nullptr,
         default_stats_interval},
        {"empty file name", "StatsFile = \"\"\nSpread { }", 1, "StatsFile must name a file\n" + report(0, "\""),
         nullptr, default_stats_interval},
        {"a directory", "StatsFile = %D/\nSpread { }", 1, "StatsFile must name a file\n" + report(0, "%D/"),
         nullptr, default_stats_interval},
    };
    for (auto &row : rows) {
        SCOPED_TRACE(row.what);
        Loaded loaded = load(row.text);
        EXPECT_EQ(loaded.result, row.result);
        EXPECT_EQ(loaded.err, replace_all(row.err, "%D", dir.path));
        if (row.result != 0)
            continue;
        EXPECT_EQ(stats_file ? std::string(stats_file) : "(none)",
                  row.file ? replace_all(row.file, "%D", dir.path) : "(none)");
        EXPECT_EQ(stats_interval, row.seconds);
    }
}

// Connections are ordered by port text, then the local daemon, then hosts;
// the first block for a port and host wins and a later one is dropped with
// its Log blocks.
TEST_F(ConfigLoad, ConnectionsOrderAndDuplicates)
{
    Loaded loaded = load(R"(
        Spread { Port = 4803 Host = beta }
        Spread { Port = 4803 Host = alpha   Log { Group = first File = %D/alpha.log } }
        Spread { Log { Group = g File = %D/default.log } }
        Spread { Port = 4803 }
        Spread { Port = 10000 }
        Spread { Port = 04803 }
        Spread { Port = 4803   Log { Group = dropped File = %D/dropped.log } }
        Spread { Host = alpha Port = 4803   Log { Group = second File = %D/second.log } }
        Spread { Port = 1 Port = 5 Host = x Host = y }
        Spread { }
        Spread { Log { } }
    )");
    ASSERT_EQ(loaded.result, 0) << loaded.err;
    std::vector<std::string> names;
    for (SpreadConf *conf : connections()) {
        names.push_back(name_of(conf));
        EXPECT_EQ(conf->connected, 0);
    }
    EXPECT_EQ(names, (std::vector<std::string>{"04803 -", "10000 -", "4803 -", "4803 alpha", "4803 beta", "5 y"}));

    // The first local 4803 block was the one without Port; the one that
    // said Port = 4803 came second and went, with its facility.
    SpreadConf *local = connections()[2];
    ASSERT_EQ(facilities(local).size(), 1u);
    EXPECT_STREQ(facilities(local)[0]->groupname, "g");
    ASSERT_EQ(facilities(connections()[3]).size(), 1u);
    EXPECT_STREQ(facilities(connections()[3])[0]->groupname, "first");
    EXPECT_TRUE(facilities(connections()[0]).empty());

    // The dropped blocks' paths stay registered but are never opened.
    EXPECT_EQ(log_file_names().size(), 4u);
    EXPECT_TRUE(file_exists(dir.file("alpha.log")));
    EXPECT_TRUE(file_exists(dir.file("default.log")));
    EXPECT_FALSE(file_exists(dir.file("dropped.log")));
    EXPECT_FALSE(file_exists(dir.file("second.log")));
}

// Facilities by group: the first Log block of a group wins within one
// connection; the same group on two connections gives two facilities; a
// path names one LogFile however many facilities use it.
TEST_F(ConfigLoad, FacilitiesAndSharedLogFiles)
{
    Loaded loaded = load(R"(
        Spread {
            Log { Group = web   File = %D/web.log   Match = first }
            Log { Group = api   File = %D/shared.log }
            Log { Group = web   File = %D/lost.log  Match = second }
            Log { Group = Web   File = %D/shared.log }
            Log { Group = two   File = %D/one.log   File = %D/two.log }
        }
        Spread {
            Port = 4804
            Log { Group = web   File = %D/shared.log }
        }
    )");
    ASSERT_EQ(loaded.result, 0) << loaded.err;
    ASSERT_EQ(connections().size(), 2u);
    SpreadConf *a = connections()[0], *b = connections()[1];
    std::vector<std::string> groups;
    for (LogFacility *f : facilities(a))
        groups.push_back(f->groupname);
    EXPECT_EQ(groups, (std::vector<std::string>{"Web", "api", "two", "web"}));

    LogFacility *web = facility(a, "web");
    EXPECT_STREQ(web->logfile->filename, dir.file("web.log").c_str());
    EXPECT_EQ(web->nmatches, 1);
    EXPECT_TRUE(pattern_matches(&web->matches[0], "the first"));

    LogFile *shared = facility(a, "api")->logfile;
    EXPECT_EQ(facility(a, "Web")->logfile, shared);
    EXPECT_EQ(facility(b, "web")->logfile, shared);
    EXPECT_GE(shared->fd, 0);

    EXPECT_STREQ(facility(a, "two")->logfile->filename, dir.file("two.log").c_str());
    EXPECT_EQ(log_file_names(), (std::vector<std::string>{dir.file("lost.log"), dir.file("one.log"),
                                                          dir.file("shared.log"), dir.file("two.log"),
                                                          dir.file("web.log")}));
    EXPECT_FALSE(file_exists(dir.file("lost.log")));
    EXPECT_FALSE(file_exists(dir.file("one.log")));
    EXPECT_TRUE(file_exists(dir.file("two.log")));
}

// Paths are compared as text: a/b and a//b are two LogFiles.
TEST_F(ConfigLoad, PathsCompareAsText)
{
    skip_locking = 1;  // both name one file: the second lock would fail
    ASSERT_EQ(load("Spread { Log { Group = a File = %D/x } Log { Group = b File = %D//x } }").result, 0);
    SpreadConf *conf = connections()[0];
    EXPECT_NE(facility(conf, "a")->logfile, facility(conf, "b")->logfile);
    EXPECT_NE(facility(conf, "a")->logfile->fd, facility(conf, "b")->logfile->fd);
}

// Up to ten patterns per Log block; a pattern that does not compile is
// reported with the library's text and not counted.
TEST_F(ConfigLoad, MatchPatterns)
{
    std::string ten;
    for (int i = 0; i < 10; i++)
        ten += " Match = p" + std::to_string(i);
    Loaded loaded = load("Spread { Log { Group = g File = %D/a" + ten + " Match = eleventh Match = twelfth } }");
    ASSERT_EQ(loaded.result, 0);
    EXPECT_EQ(loaded.err, "Already 10 regex's on group\nAlready 10 regex's on group\n");
    LogFacility *g = facility(connections()[0], "g");
    ASSERT_EQ(g->nmatches, 10);
    for (int i = 0; i < 10; i++)
        EXPECT_TRUE(pattern_matches(&g->matches[i], "xp" + std::to_string(i) + "y")) << i;
    EXPECT_FALSE(pattern_matches(&g->matches[9], "eleventh"));

    loaded = load("Spread { Log { Group = g File = %D/a Match = '(GET' Match = 'a{1' Match = 'x+' } }");
    ASSERT_EQ(loaded.result, 0);
    // "a{1" is an ordinary text under the egrep syntax (invalid intervals
    // are taken literally); "(GET" is refused.
    EXPECT_EQ(loaded.err, "Unmatched ( or \\(");
    g = facility(connections()[0], "g");
    ASSERT_EQ(g->nmatches, 2);
    EXPECT_TRUE(pattern_matches(&g->matches[0], "ba{1c"));
    EXPECT_FALSE(pattern_matches(&g->matches[0], "ba"));
    EXPECT_TRUE(pattern_matches(&g->matches[1], "--xxx"));

    // Egrep syntax: alternation and grouping without backslashes, a
    // newline in the pattern is an alternative too.
    loaded = load("Spread { Log { Group = g File = %D/a Match = '^(GET|POST) /' Match = 'foo\nbar' } }");
    ASSERT_EQ(loaded.result, 0);
    g = facility(connections()[0], "g");
    ASSERT_EQ(g->nmatches, 2);
    EXPECT_TRUE(pattern_matches(&g->matches[0], "POST /x"));
    EXPECT_FALSE(pattern_matches(&g->matches[0], "x POST /"));
    EXPECT_TRUE(pattern_matches(&g->matches[1], "xbar"));
    EXPECT_TRUE(pattern_matches(&g->matches[1], "foox"));
}

// The last RewriteTimestamp line decides the mode; a format stays stored.
TEST_F(ConfigLoad, RewriteTimestamp)
{
    Loaded loaded = load(R"(Spread {
        Log { Group = a File = %D/x RewriteTimestamp = '[%d/%b]' RewriteTimestamp = CommonLogFormat }
        Log { Group = b File = %D/x RewriteTimestamp = CommonLogFormat RewriteTimestamp = '%s' }
        Log { Group = c File = %D/x RewriteTimestamp = 'x' RewriteTimestamp = "CommonLogFormat" }
        Log { Group = d File = %D/x }
    })");
    ASSERT_EQ(loaded.result, 0);
    EXPECT_EQ(loaded.err, "Setting logfacility to force local times in CLF\n"
                          "Setting logfacility to force local times in CLF\n");
    SpreadConf *conf = connections()[0];
    EXPECT_EQ(facility(conf, "a")->rewrite_mode, REWRITE_CLF);
    EXPECT_STREQ(facility(conf, "a")->rewrite_format, "[%d/%b]");
    EXPECT_EQ(facility(conf, "b")->rewrite_mode, REWRITE_STRFTIME);
    EXPECT_STREQ(facility(conf, "b")->rewrite_format, "%s");
    EXPECT_EQ(facility(conf, "c")->rewrite_mode, REWRITE_STRFTIME);
    EXPECT_STREQ(facility(conf, "c")->rewrite_format, "CommonLogFormat");
    EXPECT_EQ(facility(conf, "d")->rewrite_mode, REWRITE_NONE);
    EXPECT_EQ(facility(conf, "d")->rewrite_format, nullptr);
}

// A VhostDir gives a table of vhost_table_size empty slots; a second one
// replaces directory and table.
TEST_F(ConfigLoad, VhostDir)
{
    vhost_table_size = 1024;
    Loaded loaded = load("Spread { Log { Group = v VhostDir = %D/one Match = x } }");
    ASSERT_EQ(loaded.result, 0);
    EXPECT_EQ(loaded.err, "\nZeroing vhost hash for usage!\n");
    LogFacility *v = facility(connections()[0], "v");
    EXPECT_STREQ(v->vhostdir, (dir.path + "/one").c_str());
    ASSERT_NE(v->vhosts, nullptr);
    for (int i = 0; i < 1024; i++) {
        EXPECT_EQ(v->vhosts->slots[i].fd, -1);
        EXPECT_EQ(v->vhosts->slots[i].name, nullptr);
    }

    loaded = load("Spread { Log { Group = v VhostDir = %D/one VhostDir = %D/two } }");
    ASSERT_EQ(loaded.result, 0);
    EXPECT_EQ(loaded.err, "\nZeroing vhost hash for usage!\n\nZeroing vhost hash for usage!\n");
    v = facility(connections()[0], "v");
    EXPECT_STREQ(v->vhostdir, (dir.path + "/two").c_str());
    EXPECT_EQ(v->vhosts->slots[1023].fd, -1);
}

// DatedFile and VhostFile: what is refused, with its reason and the usual
// report at the pattern (or, for a VhostFile without VhostDir, at the end
// of its block), and nothing opened; the new keywords stay plain words
// wherever a value is read, as they were before they were keywords.
TEST_F(ConfigLoad, DatedNames)
{
    const std::string zeroing = "\nZeroing vhost hash for usage!\n";
    const std::string long_name(PATH_MAX, 'n');
    LoadRow rows[] = {
        {"a DatedFile", "Spread { Log { Group = g DatedFile = %D/%Y/%m%d.log } }", 0, ""},
        {"a DatedFile without conversions", "Spread { Log { Group = g DatedFile = %D/a.log } }", 0, ""},
        {"a VhostFile beside its VhostDir", "Spread { Log { Group = g VhostFile = %Y/%d.log VhostDir = %D } }", 0,
         zeroing},
        {"a DatedFile naming a command", "Spread {\n Log { Group = g DatedFile = '|cat > %Y' } }", 1,
         "DatedFile cannot name a piped command\n" + report(1, "'|cat > %Y")},
        {"a VhostFile without VhostDir", "Spread { Log {\n Group = g File = %D/a VhostFile = %Y.log\n} }", 1,
         "VhostFile without VhostDir\n" + report(2, "}")},
        {"an absolute VhostFile", "Spread { Log { Group = g VhostDir = %D VhostFile = /%Y.log } }", 1,
         zeroing + "VhostFile must be a relative path\n" + report(0, "/%Y.log")},
        {"an empty component", "Spread { Log { Group = g DatedFile = %D//%Y.log } }", 1,
         "Empty or .. component in a file name pattern\n" + report(0, dir.path + "//%Y.log")},
        {"a trailing slash", "Spread { Log { Group = g VhostDir = %D VhostFile = %Y/ } }", 1,
         zeroing + "Empty or .. component in a file name pattern\n" + report(0, "%Y/")},
        {"a .. component", "Spread { Log { Group = g VhostDir = %D VhostFile = ../%Y.log } }", 1,
         zeroing + "Empty or .. component in a file name pattern\n" + report(0, "../%Y.log")},
        {"an empty pattern", "Spread { Log { Group = g DatedFile = '' } }", 1,
         "Empty or .. component in a file name pattern\n" + report(0, "'")},
        {"a name longer than PATH_MAX", "Spread { Log { Group = g DatedFile = %D/" + long_name + " } }", 1,
         "File name pattern expands to a name longer than PATH_MAX\n" + report(0, dir.path + "/" + long_name)},
        {"the same text as File and DatedFile",
         "Spread { Log { Group = f File = %D/a } Log { Group = d DatedFile = %D/a } }", 1,
         "DatedFile is a File's path already\n" + report(0, dir.path + "/a")},
        {"the same text as DatedFile and File",
         "Spread { Log { Group = d DatedFile = %D/a } Log { Group = f File = %D/a } }", 1,
         "File is a DatedFile's pattern already\n" + report(0, dir.path + "/a")},
        {"a percent in a File is a percent", "Spread { Log { Group = g File = %D/100%Y } }", 0, ""},
        {"the keywords as values", "Spread { Log { Group = DatedFile File = %D/VhostFile } }", 0, ""},
    };
    expect_loads(rows);
    // Opened under the pattern expanded now, the directories below the
    // fixed part made.
    Loaded loaded = load("Spread { Log { Group = g DatedFile = '%D/%%/%Y' } }");
    EXPECT_EQ(loaded.result, 0);
    ASSERT_EQ(connections().size(), 1u);
    LogFile *dated = facility(connections()[0], "g")->logfile;
    EXPECT_TRUE(dated->dated);
    EXPECT_EQ(std::string(dated->filename), dir.path + "/%%/%Y");
    EXPECT_EQ(std::string(log_file_path(dated)), dir.path + "/%/" + std::to_string(1900 + [] {
        time_t now = time(nullptr);
        struct tm local;
        localtime_r(&now, &local);
        return local.tm_year;
    }()));
    EXPECT_TRUE(file_exists(log_file_path(dated)));
}

// The parse stack holds at most 10000 entries: completed global lines,
// Spread blocks and Port lines stay on it until their list ends, items of
// a Log block do not.
TEST_F(ConfigLoad, DepthLimits)
{
    auto repeat = [](const std::string &text, int n) {
        std::string all;
        for (int i = 0; i < n; i++)
            all += text;
        return all;
    };
    LoadRow rows[] = {
        {"9997 BufferSize lines", repeat("BufferSize = 1\n", 9997) + "Spread { }", 0, ""},
        {"9998 BufferSize lines", repeat("BufferSize = 1\n", 9998) + "Spread { }", 1, report(9997, "1")},
        {"9994 Spread blocks", repeat("Spread { }\n", 9994), 0, ""},
        {"9995 Spread blocks", repeat("Spread { }\n", 9995), 1, report(9994, "}")},
        {"9994 Port lines", "Spread {\n" + repeat("Port = 1\n", 9994) + "}", 0, ""},
        {"9995 Port lines", "Spread {\n" + repeat("Port = 1\n", 9995) + "}", 1, report(9995, "1")},
        {"9994 Host lines", "Spread {\n" + repeat("Host = h\n", 9994) + "}", 0, ""},
        {"9995 Host lines", "Spread {\n" + repeat("Host = h\n", 9995) + "}", 1, report(9995, "h")},
        {"50000 items of a Log block",
         "Spread { Log { File = %D/a\n" + repeat("Group = g\n", 50000) + "} }", 0, ""},
    };
    expect_loads(rows);
}

// Nothing is opened, created or started for a file that is rejected, even
// when the error comes after every block.
TEST_F(ConfigLoad, NoOutputBeforeTheWholeFileIsAccepted)
{
    const std::string blocks = "Spread { Log { Group = a File = %D/a.log } Log { Group = p File = '|touch %D/started' } }\n";
    for (const char *tail : {"}", "Spread {", "BufferSize = 1", "Spread { Log { Group = x } }"}) {
        SCOPED_TRACE(tail);
        std::set<pid_t> before = child_processes(getpid());
        EXPECT_EQ(load(blocks + tail).result, 1);
        // Anything the load started has run to its end.
        EXPECT_TRUE(wait_until([&] { return new_children_ended(before); }));
        EXPECT_FALSE(file_exists(dir.file("a.log")));
        EXPECT_FALSE(file_exists(dir.file("started")));
    }
    // The same blocks alone open both.
    EXPECT_EQ(load(blocks).result, 0);
    EXPECT_TRUE(file_exists(dir.file("a.log")));
    EXPECT_TRUE(wait_until([&] { return file_exists(dir.file("started")); }));
}

// Files are opened for appending, created with mode 0644 and locked; a
// shared LogFile is opened once and listed for each of its facilities; a
// vhost facility's File is not opened for it.
TEST_F(ConfigLoad, OpenListAndLock)
{
    write_file(dir.file("old.log"), "kept\n");
    verbose = 1;
    mode_t old_mask = umask(022);
    Loaded loaded = load(R"(
        Spread {
            Log { Group = b File = %D/old.log Match = x Match = y }
            Log { Group = a File = %D/old.log }
            Log { Group = v File = %D/vhost-only.log VhostDir = %D }
        }
    )");
    umask(old_mask);
    ASSERT_EQ(loaded.result, 0);
    LogFile *file = facility(connections()[0], "a")->logfile;
    ASSERT_GE(file->fd, 0);
    std::string fd = std::to_string(file->fd);
    EXPECT_EQ(loaded.err, "\nZeroing vhost hash for usage!\n"
                          "LogFacility: a\n\tFile: " + dir.file("old.log") + "\n\tFD: " + fd + "\n\t0 regexs\n"
                          "LogFacility: b\n\tFile: " + dir.file("old.log") + "\n\tFD: " + fd + "\n\t2 regexs\n");
    EXPECT_FALSE(file_exists(dir.file("vhost-only.log")));

    // Appending, close-on-exec, locked against any other open of the file.
    ASSERT_EQ(write(file->fd, "new\n", 4), 4);
    EXPECT_EQ(read_file(dir.file("old.log")), "kept\nnew\n");
    EXPECT_EQ(fcntl(file->fd, F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
    int other = open(dir.file("old.log").c_str(), O_RDONLY);
    EXPECT_EQ(flock(other, LOCK_EX | LOCK_NB), -1);

    // Closing releases the lock and marks the LogFile closed.
    close_log_files();
    EXPECT_EQ(file->fd, -1);
    EXPECT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);
    close(other);

    // A new file is created with mode 0644 (under umask 022).
    old_mask = umask(022);
    ASSERT_EQ(load("Spread { Log { Group = a File = %D/new.log } }").result, 0);
    umask(old_mask);
    struct stat st;
    ASSERT_EQ(stat(dir.file("new.log").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);
}

// Reopening creates a file that was moved away anew and restarts piped
// commands; each old command sees the end of its input.
TEST_F(ConfigLoad, Reopen)
{
    ASSERT_EQ(load(R"(Spread { Log { Group = f File = %D/f.log }
                               Log { Group = p File = '|cat >> %D/p.out' } })").result, 0);
    LogFile *f = facility(connections()[0], "f")->logfile;
    LogFile *p = facility(connections()[0], "p")->logfile;
    ASSERT_EQ(write(f->fd, "1", 1), 1);
    ASSERT_EQ(write(p->fd, "1", 1), 1);
    ASSERT_EQ(rename(dir.file("f.log").c_str(), dir.file("f.log.1").c_str()), 0);

    reopen_log_files();
    ASSERT_GE(f->fd, 0);
    ASSERT_GE(p->fd, 0);
    ASSERT_EQ(write(f->fd, "2", 1), 1);
    EXPECT_EQ(read_file(dir.file("f.log.1")), "1");
    EXPECT_EQ(read_file(dir.file("f.log")), "2");
    // What the first command received reaches its output.
    EXPECT_TRUE(wait_until([&] { return read_file(dir.file("p.out")) == "1"; }));
    ASSERT_EQ(write(p->fd, "2", 1), 1);
    close_log_files();
    EXPECT_TRUE(wait_until([&] { return read_file(dir.file("p.out")) == "12"; }));
}

// close_log_files empties every vhost slot that holds a descriptor.
TEST_F(ConfigLoad, CloseEmptiesVhostSlots)
{
    ASSERT_EQ(load("Spread { Log { Group = v VhostDir = %D } }").result, 0);
    VhostTable *table = facility(connections()[0], "v")->vhosts;
    int fd = open(dir.file("host").c_str(), O_WRONLY | O_CREAT, 0644);
    ASSERT_GT(fd, 0);
    ASSERT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0);
    table->slots[5].name = strdup("host");
    table->slots[5].fd = fd;

    close_log_files();
    EXPECT_EQ(table->slots[5].fd, -1);
    EXPECT_EQ(table->slots[5].name, nullptr);
    EXPECT_EQ(fcntl(fd, F_GETFD), -1);  // closed
    int other = open(dir.file("host").c_str(), O_RDONLY);
    EXPECT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);
    close(other);
}

// Several loads in one process, each after config_unload.
TEST_F(ConfigLoad, LoadUnloadLoad)
{
    for (int i = 0; i < 3; i++) {
        ASSERT_EQ(load("Spread { Log { Group = g File = %D/a.log } }").result, 0);
        EXPECT_EQ(connections().size(), 1u);
        EXPECT_EQ(log_file_names().size(), 1u);
        EXPECT_EQ(load("Spread { Log { Group = g File = %D/a.log } } }").result, 1);
    }
}
