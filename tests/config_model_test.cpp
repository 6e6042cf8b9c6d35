// Loading configuration files in-process: the model the file builds
// (connections, facilities, shared log files, Match patterns, timestamp
// rewriting, VhostDir, dated names).
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

namespace {

// "port host" of a connection, "-" for the local daemon.
std::string name_of(const SpreadConf *conf)
{
    return std::string(conf->port) + " " + (conf->host ? conf->host : "-");
}

bool pattern_matches(re_pattern_buffer *pattern, const std::string &text)
{
    return re_search(pattern, text.data(), (int)text.size(), 0, (int)text.size(), nullptr) >= 0;
}

}  // namespace

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
