#include "output/log_files.h"

#include <sys/file.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "config/model.h"
#include "config/settings.h"
#include "output/routing.h"
#include "output/writer.h"

int open_pipe_command(const char *filename)
{
    return output_start_command(filename);
}

// The hand-over mode (see log_files.h): the other daemon's locked files,
// sorted, and the locks left for later. An entry names its LogFile and the
// descriptor and file it locks: by the time the lock is taken the output
// may have been closed (a DatedFile whose period ended, a reopen) and the
// number given to another file, so the lock is taken only when the
// LogFile still holds that descriptor on that same file.
struct LockLater {
    LogFile *file;
    int fd;
    dev_t dev;
    ino_t ino;
};
static bool handing_over = false;
static std::vector<std::pair<dev_t, ino_t>> &held_elsewhere = *new std::vector<std::pair<dev_t, ino_t>>;
static std::vector<LockLater> &locks_later = *new std::vector<LockLater>;

// In the hand-over mode: true when the lock of file's descriptor is refused
// because the other daemon holds it (then left for later), false when it
// was taken or is refused for another reason.
// A file with a size limit may have been rotated by the other daemon since
// it listed its files: the live name is then a new file, locked by it and
// not on the list; it is taken for one of the other's too (and put under
// its live name again once the other has released it).
static bool lock_held_by_old_daemon(LogFile *file, bool size_limited)
{
    int fd = file->fd;
    if (skip_locking || fd < 0 || flock(fd, LOCK_EX | LOCK_NB) == 0)
        return false;
    struct stat st;
    if (fstat(fd, &st) != 0 || (!size_limited && !std::binary_search(held_elsewhere.begin(), held_elsewhere.end(),
                                                                     std::make_pair(st.st_dev, st.st_ino))))
        return false;
    for (const LockLater &later : locks_later)
        if (later.file == file && later.fd == fd)
            return true;
    locks_later.push_back(LockLater{file, fd, st.st_dev, st.st_ino});
    return true;
}

// Whether a lock left for later still belongs to an open output: its
// LogFile holds the same descriptor, open on the same file.
static bool lock_still_wanted(const LockLater &later)
{
    struct stat st;
    return later.file->fd == later.fd && fstat(later.fd, &st) == 0 && st.st_dev == later.dev &&
           st.st_ino == later.ino;
}

// Opens a plain facility's output if it is still closed, locks it and lists
// it in verbose mode.
static void open_facility_output(const LogFacility *facility, OutputOpenTime when)
{
    LogFile *file = facility->logfile;
    if (file == nullptr)
        return;
    bool retry_later = false;
    if (handing_over && file->filename[0] == '|') {
        // Started once the other daemon's commands have ended.
        retry_later = true;
    } else if (file->fd < 0) {
        file->fd = output_open_log_file(file, when);
        // A FIFO without a reader yet (ENXIO), and any output at a reopen,
        // is tried again at its next message. At start-up anything else
        // goes on to the lock, which fails on -1: with locking on, an
        // output that cannot be opened stops the daemon.
        retry_later = file->fd < 0 && (when != OUTPUT_OPEN_START || errno == ENXIO);
    }
    // Also for a LogFile opened earlier in the walk: the lock is held
    // already and taking it again succeeds.
    if (!retry_later && !(handing_over && lock_held_by_old_daemon(file, file->rules.max_size != 0)))
        output_lock_or_exit(file->fd, log_file_path(file));
    if (verbose)
        fprintf(stderr, "LogFacility: %s\n\tFile: %s\n\tFD: %d\n\t%d regexs\n", facility->groupname,
                file->filename, file->fd, facility->nmatches);
}

static void close_facility_outputs(LogFacility *facility)
{
    if (facility->vhostdir != nullptr)
        vhost_table_close(facility->vhosts);
    else if (facility->logfile != nullptr)
        output_close_log_file(facility->logfile);
}

// Calls `visit` with every facility of every connection, in registry order.
struct FacilityVisit {
    void (*visit)(LogFacility *, OutputOpenTime);
    OutputOpenTime when;
};
static int visit_facility(LogFacility *facility, void *arg)
{
    FacilityVisit *v = static_cast<FacilityVisit *>(arg);
    v->visit(facility, v->when);
    return 0;
}
static void for_each_configured_facility(void (*visit)(LogFacility *, OutputOpenTime), OutputOpenTime when)
{
    FacilityVisit v{visit, when};
    for_each_configured_facility(visit_facility, &v);
}

static void open_if_plain(LogFacility *facility, OutputOpenTime when)
{
    if (facility->vhostdir == nullptr)
        open_facility_output(facility, when);
    else if (facility->vhostfile != nullptr && file_rule(&facility->rules, FILE_RULE_COMPRESS))
        // The period is known from the start, so that the ended periods a
        // stopped run left uncompressed are found then, not at the
        // facility's first message.
        (void)output_vhost_period(facility);
}

static void close_outputs(LogFacility *facility, OutputOpenTime)
{
    close_facility_outputs(facility);
}

// Opens every plain output, then sizes the room left for vhost files.
static void open_outputs(OutputOpenTime when)
{
    for_each_configured_facility(open_if_plain, when);
    output_plan_descriptors();
}

int open_log_files()
{
    open_outputs(OUTPUT_OPEN_START);
    return 0;
}

int close_log_files()
{
    output_flush();
    output_report_pending();
    for_each_configured_facility(close_outputs, OUTPUT_OPEN_START);
    output_report_pending();
    return 0;
}

void reopen_log_files()
{
    close_log_files();
    open_outputs(OUTPUT_OPEN_REOPEN);
}

static void add_locked_file(const LogFacility *facility, std::vector<std::pair<dev_t, ino_t>> *ids)
{
    LogFile *file = facility->logfile;
    struct stat st;
    if (facility->vhostdir == nullptr && file != nullptr && file->fd >= 0 && file->filename[0] != '|' &&
        fstat(file->fd, &st) == 0)
        ids->emplace_back(st.st_dev, st.st_ino);
}

std::vector<std::pair<dev_t, ino_t>> log_files_locked()
{
    std::vector<std::pair<dev_t, ino_t>> ids;
    if (skip_locking)
        return ids;
    for_each_configured_facility(
        [](LogFacility *facility, void *arg) {
            add_locked_file(facility, static_cast<std::vector<std::pair<dev_t, ino_t>> *>(arg));
            return 0;
        },
        &ids);
    return ids;
}

void log_files_handover_begin(std::vector<std::pair<dev_t, ino_t>> held)
{
    std::sort(held.begin(), held.end());
    held_elsewhere = std::move(held);
    handing_over = true;
}

// After the hand-over: a plain facility whose output is still closed (a
// command, or a file that could not be opened) is opened now; its lock
// refused is said and lived with.
static void open_after_handover(LogFacility *facility, OutputOpenTime)
{
    LogFile *file = facility->logfile;
    if (facility->vhostdir != nullptr || file == nullptr)
        return;
    if (file->fd < 0) {
        file->fd = output_open_log_file(file, OUTPUT_OPEN_REOPEN);
        if (file->fd >= 0 && !skip_locking && flock(file->fd, LOCK_EX | LOCK_NB) != 0)
            fprintf(stderr, "Cannot lock %s, is another wickerpost running?\n", file->filename);
    }
    if (verbose && file->filename[0] == '|')
        fprintf(stderr, "LogFacility: %s\n\tFile: %s\n\tFD: %d\n\t%d regexs\n", facility->groupname,
                file->filename, file->fd, facility->nmatches);
}

void log_files_handover_finish()
{
    handing_over = false;
    // An output closed since (its name changed) locks its next file when
    // it opens it, as any output does.
    for (const LockLater &later : locks_later)
        if (lock_still_wanted(later) && flock(later.fd, LOCK_EX | LOCK_NB) != 0)
            fprintf(stderr, "Cannot lock %s, is another wickerpost running?\n", log_file_path(later.file));
    locks_later.clear();
    held_elsewhere.clear();
    // A file the other daemon rotated while this one waited is written
    // under its live name from now on, after the other's last lines.
    output_follow_live_names();
    for_each_configured_facility(open_after_handover, OUTPUT_OPEN_REOPEN);
    output_plan_descriptors();
}
