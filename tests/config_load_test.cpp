// Loading configuration files in-process: what the grammar accepts and
// how it reports what it does not, the settings it reads, and the depth
// limits of the parse. The model the file builds is in
// config_model_test.cpp, the outputs opened, listed, closed and reopened in
// config_load_outputs_test.cpp.
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
#include "support/config_load.h"
#include "support/config_unload.h"
#include "support/process.h"
#include "support/scoped.h"

using namespace wkp_test;

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
