// Messages a Spread connection received and no output could be charged
// with: lost before routing, so counted under the connection itself.
//
// A regular message is charged to the output its group routes to whenever
// one of its groups is logged on the connection (a message longer than the
// receive buffer is dropped there as "too long"). What is left is counted
// here, per connection and reason, and reported on standard error as
//
//   Dropped %lu messages from spread daemon %s: %s
//
// (count since the last report, the daemon name as given to the Spread
// library, the reason text), with the policy of the outputs' losses: the
// first drop after a quiet output_report_interval at once, later ones
// summed and reported by spread_drops_tick once the interval is up, and
// whatever is pending by spread_drops_report_pending (SIGTERM).
// Called from the loop only.
#pragma once

#include "config/model.h"

enum SpreadDrop {
    SPREAD_DROP_TOO_LONG,    // "too long": longer than the receive buffer, no logged group known
    SPREAD_DROP_NOT_LOGGED,  // "not logged": none of its groups has a Log block here
    SPREAD_DROP_REASONS
};

inline constexpr const char *spread_drop_names[] = {"too long", "not logged"};
static_assert(sizeof spread_drop_names / sizeof spread_drop_names[0] == SPREAD_DROP_REASONS);

// Counts one message of `conf` dropped for `reason`, and reports it at once
// or later.
void spread_drop(SpreadConf *conf, SpreadDrop reason);

// Messages of `conf` dropped for `reason` since start.
unsigned long long spread_drops_count(const SpreadConf *conf, SpreadDrop reason);

// Once per loop pass: reports the counts whose interval is up. Reads the
// clock only while a count is pending.
void spread_drops_tick();

// Reports every pending count now.
void spread_drops_report_pending();
