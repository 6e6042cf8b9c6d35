// Dated names: DatedFile outputs and the VhostFile files of vhost
// facilities. Each output's pattern is expanded once per loop pass at
// most, and only when the second changed (output_dated_tick); when the
// name changed, the file of the ended period is written out, unlocked and
// closed, and the next one opened. Nothing here runs per message: the
// write step sees a descriptor like any other.
#include "output/writer_internal.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "config/dated.h"
#include "config/settings.h"
#include "output/routing.h"

namespace writer {
namespace {

// The dated outputs seen so far, checked by every tick.
std::vector<LogFile *> dated_files;
std::vector<LogFacility *> dated_vhosts;
// The wall clock second of the last check.
time_t checked_second = -1;

template <class T>
void remember(std::vector<T *> *list, T *item)
{
    for (T *known : *list)
        if (known == item)
            return;
    list->push_back(item);
}

// Replaces *slot (owned) by a copy of `name`; false when out of memory.
bool take_name(char **slot, const char *name)
{
    char *copy = strdup(name);
    if (copy == nullptr)
        return false;
    free(*slot);
    *slot = copy;
    return true;
}

// Creates the directories of `path` below its first `fixed` bytes, each
// with mode 0755 or DirMode (make_directory); one that exists already is
// fine.
void make_directories(const char *path, size_t fixed, const FileRules *rules, int out)
{
    std::string prefix(path);
    for (size_t slash = prefix.find('/', fixed + 1); slash != std::string::npos;
         slash = prefix.find('/', slash + 1)) {
        std::string dir = prefix.substr(0, slash);
        if (make_directory(AT_FDCWD, dir.c_str(), rules, out) != 0)
            return;
    }
}

// Opens the directory `name` under `dir`, made (0755, or DirMode) when
// missing, never through a symlink, nothing but a directory; -1 with
// errno set.
int open_directory_at(int dir, const char *name, const FileRules *rules, int out)
{
    int flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    int fd = openat(dir, name, flags);
    if (fd < 0 && errno == ENOENT) {
        if (make_directory(dir, name, rules, out) != 0)
            return -1;
        fd = openat(dir, name, flags);
    }
    // A symlink is refused as a symlink vhost file is (ELOOP), anything
    // else that is not a directory as not a directory.
    struct stat st;
    if (fd < 0 && (errno == ENOTDIR || errno == ELOOP) && fstatat(dir, name, &st, AT_SYMLINK_NOFOLLOW) == 0)
        errno = S_ISLNK(st.st_mode) ? ELOOP : ENOTDIR;
    return fd;
}

}  // namespace

int open_dated_file(const LogFile *file, int flags)
{
    const char *path = log_file_path(file);
    const FileRules *rules = file->rules.given != 0 ? &file->rules : nullptr;
    int fd = open_created(AT_FDCWD, path, flags, rules, file->output);
    if (fd < 0 && errno == ENOENT) {
        make_directories(path, dated_fixed_length(file->filename), rules, file->output);
        fd = open_created(AT_FDCWD, path, flags, rules, file->output);
    }
    return fd;
}


void dated_file_name(LogFile *file)
{
    remember(&dated_files, file);
    char name[PATH_MAX];
    if (dated_expand(file->filename, time(nullptr), name, sizeof name) == 0) {
        // Checked at load; should the clock give an empty name, the last
        // one stays, or the pattern itself before there was one.
        if (file->current == nullptr)
            (void)take_name(&file->current, file->filename);
        return;
    }
    if (file->current == nullptr || strcmp(name, file->current) != 0)
        (void)take_name(&file->current, name);
    // Once per pattern: ended periods a stopped run left uncompressed.
    compress_recover_periods(file->output, &file->rules, file->filename, file->current);
}

}  // namespace writer

using namespace writer;

int output_of_vhosts(LogFacility *facility)
{
    VhostTable *table = facility->vhosts;
    if (table->output != 0 || facility->vhostfile == nullptr)
        return output_of(&table->output, facility->vhostdir, "vhost directory");
    // One output for the directory and its pattern: "DIR/*/PATTERN".
    std::string name = std::string(facility->vhostdir) + "/*/" + facility->vhostfile;
    return output_of(&table->output, name.c_str(), "vhost directory");
}

const char *output_vhost_period(LogFacility *facility)
{
    VhostTable *table = facility->vhosts;
    if (table->period == nullptr) {
        remember(&dated_vhosts, facility);
        char name[PATH_MAX];
        if (dated_expand(facility->vhostfile, time(nullptr), name, sizeof name) == 0 ||
            !take_name(&table->period, name))
            return nullptr;
        compress_recover_host_periods(output_of_vhosts(facility), &facility->rules, facility->vhostdir,
                                      facility->vhostfile, table->period);
    }
    return table->period;
}

int output_open_dated_vhost_file(LogFacility *facility, const char *host, const char *path)
{
    int out = output_of_vhosts(facility);
    const char *period = output_vhost_period(facility);
    if (period == nullptr) {
        output_drop(out, OUTPUT_DROP_NOT_OPEN);
        return -1;
    }
    make_room_for_vhost_file();
    int dir = open_making_room([&] { return open(facility->vhostdir, O_RDONLY | O_DIRECTORY | O_CLOEXEC); });
    // The host's directory, then every directory of the period's name.
    std::string rest = period;
    const char *component = host;
    size_t at = 0;
    for (;;) {
        if (dir < 0)
            return finish_vhost_open(out, -1, errno, path, nullptr);
        int next = open_making_room([&] { return open_directory_at(dir, component, &facility->rules, out); });
        int error = errno;
        close(dir);
        dir = next;
        errno = error;
        size_t slash = rest.find('/', at);
        if (slash == std::string::npos)
            break;
        rest[slash] = '\0';
        component = rest.c_str() + at;
        at = slash + 1;
    }
    if (dir < 0)
        return finish_vhost_open(out, -1, errno, path, nullptr);
    const char *file = rest.c_str() + at;
    int fd = open_making_room([&] {
        return open_created(dir, file, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK,
                            &facility->rules, out);
    });
    int error = errno;
    close(dir);
    return finish_vhost_open(out, fd, error, path, &facility->rules);
}

void output_dated_tick()
{
    if (dated_files.empty() && dated_vhosts.empty())
        return;
    time_t now = time(nullptr);
    if (now == checked_second)
        return;
    checked_second = now;
    char name[PATH_MAX];
    for (LogFile *file : dated_files) {
        if (dated_expand(file->filename, now, name, sizeof name) == 0 ||
            (file->current != nullptr && strcmp(name, file->current) == 0))
            continue;
        // The ended period's file: its batch written, unlocked, closed
        // (and compressed, with Compress). The next one is made by its
        // first message, as a File that is closed is opened again: a quiet
        // output makes no empty files.
        output_close_log_file(file);
        if (file->current != nullptr)
            compress_closed(file->output, &file->rules, file->current);
        (void)take_name(&file->current, name);
    }
    for (LogFacility *facility : dated_vhosts) {
        VhostTable *table = facility->vhosts;
        if (dated_expand(facility->vhostfile, now, name, sizeof name) == 0 ||
            (table->period != nullptr && strcmp(name, table->period) == 0))
            continue;
        // Every host's file of the ended period; each host opens its next
        // one with its next message. With Compress, the file of every
        // host known is compressed (one that wrote nothing is not there).
        if (file_rule(&facility->rules, FILE_RULE_COMPRESS) && table->period != nullptr && table->slots != nullptr)
            for (int i = 0; i < vhost_table_size; i++)
                if (table->slots[i].name != nullptr && table->slots[i].fd != 0) {
                    if (table->slots[i].fd > 0)
                        output_vhost_close(&table->slots[i]);
                    compress_closed(table->output, &facility->rules, std::string(facility->vhostdir) + "/" +
                                                                         table->slots[i].name + "/" + table->period);
                }
        vhost_table_close(table);
        (void)take_name(&table->period, name);
    }
}
