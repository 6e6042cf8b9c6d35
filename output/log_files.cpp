#include "output/log_files.h"

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

// Opens a plain facility's output if it is still closed, locks it and lists
// it in verbose mode.
static void open_facility_output(const LogFacility *facility, OutputOpenTime when)
{
    LogFile *file = facility->logfile;
    if (file == nullptr)
        return;
    bool retry_later = false;
    if (file->fd < 0) {
        file->fd = output_open_log_file(file, when);
        // A FIFO without a reader yet (ENXIO), and any output at a reopen,
        // is tried again at its next message. At start-up anything else
        // goes on to the lock, which fails on -1: with locking on, an
        // output that cannot be opened stops the daemon.
        retry_later = file->fd < 0 && (when != OUTPUT_OPEN_START || errno == ENXIO);
    }
    // Also for a LogFile opened earlier in the walk: the lock is held
    // already and taking it again succeeds.
    if (!retry_later)
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
static void for_each_configured_facility(void (*visit)(LogFacility *, OutputOpenTime), OutputOpenTime when)
{
    SkiplistNode *conf_node = sl_first(&spread_confs);
    for (void *c = conf_node ? conf_node->data : nullptr; c != nullptr; c = sl_next(&spread_confs, &conf_node)) {
        Skiplist *facilities = static_cast<SpreadConf *>(c)->facilities;
        SkiplistNode *node = sl_first(facilities);
        for (void *f = node ? node->data : nullptr; f != nullptr; f = sl_next(facilities, &node))
            visit(static_cast<LogFacility *>(f), when);
    }
}

static void open_if_plain(LogFacility *facility, OutputOpenTime when)
{
    if (facility->vhostdir == nullptr)
        open_facility_output(facility, when);
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
