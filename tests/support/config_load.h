// The fixture of the in-process configuration load tests: a file written
// into a temporary directory and loaded with config_load, standard error
// captured, and the registries the load built walked in order.
#pragma once

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "config/model.h"
#include "config/settings.h"
#include "output/load.h"
#include "config_unload.h"
#include "process.h"
#include "scoped.h"

namespace wkp_test {

// Runs `body` with standard error sent to a file; returns what was written.
template <typename F>
inline std::string capture_stderr(F body)
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

inline std::string replace_all(std::string text, const std::string &from, const std::string &to)
{
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

inline std::string report(int line, const std::string &token)
{
    return "Parser error on or before line " + std::to_string(line) + "\nOffending token: " + token + "\n";
}

inline std::vector<SpreadConf *> connections()
{
    std::vector<SpreadConf *> all;
    SkiplistNode *node = sl_first(&spread_confs);
    for (void *e = node ? node->data : nullptr; e; e = sl_next(&spread_confs, &node))
        all.push_back(static_cast<SpreadConf *>(e));
    return all;
}

inline std::vector<LogFacility *> facilities(SpreadConf *conf)
{
    std::vector<LogFacility *> all;
    SkiplistNode *node = sl_first(conf->facilities);
    for (void *e = node ? node->data : nullptr; e; e = sl_next(conf->facilities, &node))
        all.push_back(static_cast<LogFacility *>(e));
    return all;
}

inline std::vector<std::string> log_file_names()
{
    std::vector<std::string> all;
    SkiplistNode *node = sl_first(&log_files);
    for (void *e = node ? node->data : nullptr; e; e = sl_next(&log_files, &node))
        all.push_back(static_cast<LogFile *>(e)->filename);
    return all;
}

inline LogFacility *facility(SpreadConf *conf, const char *group)
{
    return static_cast<LogFacility *>(sl_find(conf->facilities, group, nullptr));
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

}  // namespace wkp_test
