#include "daemon/spread_drops.h"

#include <climits>
#include <cstdio>
#include <vector>

#include "daemon/session.h"
#include "output/clock.h"
#include "output/writer.h"

namespace {

constexpr long never = LONG_MIN;

// One connection that lost a message: its counts and their reports.
struct Losses {
    const SpreadConf *conf;
    unsigned long long dropped[SPREAD_DROP_REASONS];  // since start
    unsigned long pending[SPREAD_DROP_REASONS];       // since the last report
    long reported_at[SPREAD_DROP_REASONS];            // clock of the last report, or never
};

// Never destroyed: a drop may be counted while the process exits. Few
// connections, and losses are rare: a list looked through is enough.
std::vector<Losses> &all = *new std::vector<Losses>;
size_t pending_reports = 0;

Losses *find(const SpreadConf *conf)
{
    for (Losses &l : all)
        if (l.conf == conf)
            return &l;
    return nullptr;
}

void report(Losses &l, int reason, long now)
{
    fprintf(stderr, "Dropped %lu messages from spread daemon %s: %s\n", l.pending[reason],
            spread_daemon_name(const_cast<SpreadConf *>(l.conf)), spread_drop_names[reason]);
    l.pending[reason] = 0;
    l.reported_at[reason] = now;
}

void report_pending(bool due_only)
{
    long now = clock_coarse_s();
    for (Losses &l : all)
        for (int reason = 0; reason < SPREAD_DROP_REASONS; reason++) {
            if (l.pending[reason] == 0 || (due_only && now - l.reported_at[reason] < output_report_interval))
                continue;
            report(l, reason, now);
            pending_reports--;
        }
}

}  // namespace

void spread_drop(SpreadConf *conf, SpreadDrop reason)
{
    Losses *l = find(conf);
    if (l == nullptr) {
        all.push_back(Losses{conf, {}, {}, {}});
        l = &all.back();
        for (long &at : l->reported_at)
            at = never;
    }
    l->dropped[reason]++;
    long now = clock_coarse_s();
    bool quiet = l->reported_at[reason] == never || now - l->reported_at[reason] >= output_report_interval;
    if (l->pending[reason] == 0 && !quiet)
        pending_reports++;
    l->pending[reason]++;
    if (l->pending[reason] == 1 && quiet)
        report(*l, reason, now);
}

unsigned long long spread_drops_count(const SpreadConf *conf, SpreadDrop reason)
{
    const Losses *l = find(conf);
    return l ? l->dropped[reason] : 0;
}

void spread_drops_tick()
{
    if (pending_reports > 0)
        report_pending(true);
}

void spread_drops_report_pending()
{
    if (pending_reports > 0)
        report_pending(false);
}
