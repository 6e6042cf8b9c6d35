// Outputs and their losses: one record per output with its counters, the
// drop counts and their reports, and the clock they are kept by (read
// from output/clock.h once per pass).
#include "output/writer_internal.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "output/clock.h"

namespace writer {

// The module's tables live as long as the process and are never destroyed,
// not even by exit(): a daemon process that ends never tears them down
// while something may still count a drop.
static std::vector<Output> &outputs = *new std::vector<Output>;  // number n is outputs[n - 1]
static size_t pending_reports = 0;   // (output, reason) pairs with a pending count
long clock_now = 0;                  // seconds, monotonic; read once per loop pass
static bool clock_read = false;
static long last_scan = never;       // clock of output_tick's last look at the counts

void ensure_clock()
{
    if (!clock_read) {
        clock_now = clock_coarse_s();
        clock_read = true;
    }
}

Output *output_at(int id)
{
    if (id <= 0 || static_cast<size_t>(id) > outputs.size())
        return nullptr;
    return &outputs[id - 1];
}


static const char *reason_text(const Output &o, int reason)
{
    if (reason == OUTPUT_DROP_WRITE_ERROR)
        return strerror(o.write_errno);
    return output_drop_names[reason];
}

static void report(Output &o, int reason, unsigned long count)
{
    fprintf(stderr, "Dropped %lu messages for %s: %s\n", count, o.path, reason_text(o, reason));
    o.reported_at[reason] = clock_now;
}

void count_written(int id, size_t length)
{
    if (Output *o = output_at(id)) {
        o->messages++;
        o->bytes += length;
        // The coarse clock is read in user space (vDSO): no system call
        // per message, a resolution of a few milliseconds.
        timespec t;
        clock_gettime(CLOCK_REALTIME_COARSE, &t);
        o->last_write_ms = static_cast<long long>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
    }
}


void say_cannot_open(int id, const char *path, int error, OutputOpenTime when)
{
    Output *o = output_at(id);
    ensure_clock();
    if (o && when == OUTPUT_OPEN_RETRY && error == o->open_errno &&
        clock_now - o->open_said_at < output_report_interval)
        return;
    fprintf(stderr, "Cannot open %s: %s\n", path, strerror(error));
    if (o) {
        o->open_errno = error;
        o->open_said_at = clock_now;
    }
}

// Reports the pending counts of every output and reason: all of them, or
// with `due_only` those whose report interval is up at clock_now.
static void report_pending(bool due_only)
{
    for (Output &o : outputs) {
        for (int reason = 0; reason < OUTPUT_DROP_REASONS; reason++) {
            if (o.pending[reason] == 0 || (due_only && clock_now - o.reported_at[reason] < output_report_interval))
                continue;
            report(o, reason, o.pending[reason]);
            o.pending[reason] = 0;
            pending_reports--;
        }
    }
}

bool clock_tick(long now)
{
    clock_now = now;
    clock_read = true;
    if (now == last_scan)
        return false;
    last_scan = now;
    if (pending_reports > 0)
        report_pending(true);
    return true;
}

}  // namespace writer

using namespace writer;

// --- Outputs ---------------------------------------------------------------

int output_of(int *id, const char *path, const char *kind)
{
    if (output_at(*id))
        return *id;
    bool vhost = strcmp(kind, "vhost directory") == 0;
    for (size_t i = 0; i < outputs.size(); i++) {
        if (outputs[i].vhost == vhost && strcmp(outputs[i].path, path) == 0) {
            *id = static_cast<int>(i + 1);
            return *id;
        }
    }
    Output o;
    memset(&o, 0, sizeof o);
    o.path = strdup(path ? path : "");
    o.kind = kind;
    o.vhost = vhost;
    for (long &at : o.reported_at)
        at = never;
    o.open_said_at = never;
    o.restart_window_at = never;
    outputs.push_back(o);
    *id = static_cast<int>(outputs.size());
    return *id;
}

void output_drop(int id, OutputDrop reason, int error, unsigned long count)
{
    Output *o = output_at(id);
    if (!o || count == 0)
        return;
    if (reason == OUTPUT_DROP_WRITE_ERROR)
        o->write_errno = error;
    o->dropped[reason] += count;
    ensure_clock();
    if (o->pending[reason] == 0 &&
        (o->reported_at[reason] == never || clock_now - o->reported_at[reason] >= output_report_interval)) {
        report(*o, reason, count);
        return;
    }
    if (o->pending[reason] == 0)
        pending_reports++;
    o->pending[reason] += count;
}

int output_of_log_file(LogFile *file)
{
    return output_of(&file->output, file->filename, file->filename[0] == '|' ? "command" : "file");
}

int output_of_facility(LogFacility *facility)
{
    if (facility->vhostdir)
        return output_of_vhosts(facility);
    return facility->logfile ? output_of_log_file(facility->logfile) : 0;
}

void output_filtered(int id)
{
    if (Output *o = output_at(id))
        o->filtered++;
}

void output_report_pending()
{
    ensure_clock();
    report_pending(false);
}
