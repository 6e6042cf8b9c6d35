// Records for routing and rewriting tests, built directly (no
// configuration file), and a capture of standard error.
#pragma once

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "config/model.h"
#include "config/settings.h"
#include "output/routing.h"
#include "output/writer.h"
#include "skiplist/skiplist.h"
#include "scoped.h"

namespace routing_test {

using wkp_test::Scoped;

// Everything built here stays reachable from this list until the process
// ends, so the leak checker sees no lost skiplist nodes or regex buffers.
inline std::vector<void *> *kept = new std::vector<void *>;

inline int by_group(const void *a, const void *b)
{
    return strcmp(static_cast<const LogFacility *>(a)->groupname, static_cast<const LogFacility *>(b)->groupname);
}
inline int by_group_key(const void *key, const void *b)
{
    return strcmp(static_cast<const char *>(key), static_cast<const LogFacility *>(b)->groupname);
}

inline SpreadConf *make_conf()
{
    auto *conf = static_cast<SpreadConf *>(calloc(1, sizeof(SpreadConf)));
    conf->facilities = static_cast<Skiplist *>(calloc(1, sizeof(Skiplist)));
    sl_init(conf->facilities);
    sl_set_compare(conf->facilities, by_group, by_group_key);
    kept->push_back(conf);
    return conf;
}

inline LogFacility *add_facility(SpreadConf *conf, const char *group)
{
    auto *facility = static_cast<LogFacility *>(calloc(1, sizeof(LogFacility)));
    facility->groupname = strdup(group);
    EXPECT_NE(sl_insert(conf->facilities, facility), nullptr);
    kept->push_back(facility);
    return facility;
}

// A plain facility writing to a LogFile holding `fd` (named `path`).
inline LogFacility *add_plain(SpreadConf *conf, const char *group, int fd, std::vector<const char *> patterns = {},
                              const char *path = "/dev/null")
{
    LogFacility *facility = add_facility(conf, group);
    auto *file = static_cast<LogFile *>(calloc(1, sizeof(LogFile)));
    file->filename = strdup(path);
    file->fd = fd;
    facility->logfile = file;
    kept->push_back(file);
    for (const char *pattern : patterns) {
        re_set_syntax(0x23BA5C);
        const char *error = re_compile_pattern(pattern, strlen(pattern), &facility->matches[facility->nmatches]);
        EXPECT_EQ(error, nullptr) << pattern;
        facility->nmatches++;
    }
    return facility;
}

// A table of vhost_table_size empty slots.
inline VhostTable *make_table()
{
    auto *table = static_cast<VhostTable *>(calloc(1, sizeof(VhostTable)));
    table->slots = static_cast<VhostSlot *>(calloc(vhost_table_size, sizeof(VhostSlot)));
    for (int i = 0; i < vhost_table_size; i++)
        table->slots[i].fd = -1;
    kept->push_back(table);
    return table;
}

inline LogFacility *add_vhost(SpreadConf *conf, const char *group, const std::string &dir)
{
    LogFacility *facility = add_facility(conf, group);
    facility->vhostdir = strdup(dir.c_str());
    facility->vhosts = make_table();
    return facility;
}

// Empties every slot of the table as close_log_files does: files closed,
// names freed.
inline void empty_table(VhostTable *table)
{
    vhost_table_close(table);
}

// A descriptor on /dev/null, to stand for a vhost file.
inline int null_fd()
{
    return open("/dev/null", O_WRONLY | O_CLOEXEC);
}

// Messages of the output named `path` dropped for `reason` so far.
inline unsigned long dropped(const std::string &path, OutputDrop reason)
{
    struct Find {
        std::string path;
        OutputDrop reason;
        unsigned long count;
    } find{path, reason, 0};
    output_for_each(
        [](const OutputStatus *status, void *arg) {
            Find *f = static_cast<Find *>(arg);
            if (f->path == status->path)
                f->count += status->dropped[f->reason];
        },
        &find);
    return find.count;
}

// The clock the tests give the output module, in seconds: moved forward
// by `seconds` and handed to output_tick_at. It never goes back, so the
// report intervals of every output stay consistent across tests.
inline long advance_output_clock(long seconds)
{
    static long clock = 1000000;
    clock += seconds;
    output_tick_at(clock);
    return clock;
}

// Reports the pending drops (to /dev/null), then lets a report interval
// pass: the next drop of every output and reason is reported at once.
inline void next_report_interval()
{
    int saved = dup(2);
    int null = open("/dev/null", O_WRONLY);
    fflush(stderr);
    dup2(null, 2);
    output_report_pending();
    advance_output_clock(output_report_interval);
    fflush(stderr);
    dup2(saved, 2);
    close(saved);
    close(null);
}

// Standard error written while the object lives; text() ends the capture.
struct StderrCapture {
    int saved = -1;
    std::string path;
    StderrCapture()
    {
        char tmpl[] = "/tmp/wkp-stderr-XXXXXX";
        int fd = mkstemp(tmpl);
        path = tmpl;
        fflush(stderr);
        saved = dup(2);
        dup2(fd, 2);
        close(fd);
    }
    std::string text()
    {
        if (saved >= 0) {
            fflush(stderr);
            dup2(saved, 2);
            close(saved);
            saved = -1;
        }
        std::string out;
        if (FILE *f = fopen(path.c_str(), "rb")) {
            char buf[4096];
            size_t n;
            while ((n = fread(buf, 1, sizeof buf, f)) > 0)
                out.append(buf, n);
            fclose(f);
        }
        return out;
    }
    ~StderrCapture()
    {
        text();
        unlink(path.c_str());
    }
};

// Runs `body` in a child process; gives its exit status (or -1) and
// everything it wrote to standard error.
inline std::pair<int, std::string> in_child(const std::function<void()> &body)
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
    std::string text;
    if (FILE *f = fopen(tmpl, "rb")) {
        char buf[4096];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, f)) > 0)
            text.append(buf, n);
        fclose(f);
    }
    unlink(tmpl);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, text};
}

// Where a name's probe sequence starts in a table of `size` slots.
inline uint32_t home_of(const std::string &name, int size)
{
    return vhost_hash(name.c_str()) % static_cast<uint32_t>(size);
}

}  // namespace routing_test
