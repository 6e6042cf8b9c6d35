// The fixture of the write step's tests: log files opened as the daemon
// opens them, closed after each test, with the checks of what a reader got
// and of the backlog an output holds.
#pragma once

#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "output/writer.h"
#include "process.h"
#include "routing.h"

namespace routing_test {

using wkp_test::numbered_line;
using wkp_test::TempDir;

// Checks that `text` is whole numbered lines of `size` bytes in ascending
// order; returns their numbers.
inline std::vector<int> whole_lines(const std::string &text, size_t size)
{
    std::vector<int> numbers;
    EXPECT_EQ(text.size() % size, 0u) << "a torn line";
    for (size_t at = 0; at + size <= text.size(); at += size) {
        int i = atoi(text.substr(at, 7).c_str());
        EXPECT_EQ(text.substr(at, size), numbered_line(i, size)) << "line at " << at;
        if (!numbers.empty()) {
            EXPECT_GT(i, numbers.back()) << "order";
        }
        numbers.push_back(i);
    }
    return numbers;
}

// Everything the reader has now.
inline std::string read_available(int fd)
{
    std::string text;
    char buffer[65536];
    ssize_t n;
    while ((n = read(fd, buffer, sizeof buffer)) > 0)
        text.append(buffer, n);
    return text;
}

// The bytes the backlog of the output at `path` holds.
inline size_t backlog_of(const std::string &path)
{
    struct Find {
        std::string path;
        size_t bytes;
    } find{path, 0};
    output_for_each(
        [](const OutputStatus *status, void *arg) {
            Find *f = static_cast<Find *>(arg);
            if (f->path == status->path)
                f->bytes += status->backlog;
        },
        &find);
    return find.bytes;
}

class Writer : public ::testing::Test {
protected:
    Scoped<int> locking{skip_locking, 0};

    void SetUp() override
    {
        signal(SIGPIPE, SIG_IGN);
        next_report_interval();
    }
    void TearDown() override
    {
        for (LogFile *file : files)
            output_close_log_file(file);
        // Retired streams are closed once their time is up.
        next_report_interval();
        advance_output_clock(output_retire_seconds);
    }
    LogFile *log_file(const std::string &name)
    {
        auto *file = static_cast<LogFile *>(calloc(1, sizeof(LogFile)));
        file->filename = strdup(name.c_str());
        file->fd = -1;
        kept->push_back(file);
        files.push_back(file);
        return file;
    }
    // Opens `file` as open_log_files does after start-up, locked.
    int open_output(LogFile *file)
    {
        file->fd = output_open_log_file(file, OUTPUT_OPEN_RETRY);
        if (file->fd >= 0)
            output_lock_or_exit(file->fd, file->filename);
        return file->fd;
    }
    TempDir tmp;
    std::vector<LogFile *> files;
};

}  // namespace routing_test
