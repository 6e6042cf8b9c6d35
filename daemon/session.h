// Spread sessions: one client session per configured Spread daemon.
//
// mailbox_table maps a mailbox (the session's descriptor) to the SpreadConf
// whose session it is. A record's `connected` is 1 exactly when the table
// holds it under its mailbox. The table does not own the records.
#pragma once

#include <string>
#include <vector>

#include "config/model.h"
#include "spread/sp.h"

// The table: mailbox_slots pointers, 512 at start-up, grown (doubled) when
// a session gets a mailbox beyond it. Slots without a session are null.
extern SpreadConf **mailbox_table;
extern int mailbox_slots;

// Allocates the table with `slots` null entries; false when out of memory.
bool mailbox_table_init(int slots);

// The daemon name of conf ("PORT" or "PORT@HOST") in a buffer shared by all
// calls, overwritten by the next one.
const char *spread_daemon_name(SpreadConf *conf);

// Seconds a connection attempt may take, handshake included. A daemon that
// accepts and then never answers (stopped, overloaded) counts as a failed
// connection once it has passed.
constexpr int connect_deadline_sec = 2;

// Whether sessions ask for membership messages: 0, but 1 in a daemon
// taking over (daemon/handover.h), which waits for its own joins.
extern int spread_membership;

// What one connection attempt needs, copied from its SpreadConf by the
// loop's thread, so that the attempt itself reads no record.
struct SessionRequest {
    std::string daemon;               // "PORT" or "PORT@HOST"
    std::string private_name;         // "wkp-%05d" of this process
    int membership = 0;               // spread_membership when it was made
    std::vector<std::string> groups;  // joined in this order; none: no joins
};

// What it gave.
struct SessionResult {
    int result = 0;                        // ACCEPT_SESSION, or the library's code
    int mailbox = -1;                      // with ACCEPT_SESSION
    char private_group[MAX_GROUP_NAME] = {};
    int read_ahead = 0;                    // SP_read_ahead's result
    std::vector<int> joins;                // SP_join's result per group
    long long started_ms = 0, ended_ms = 0;  // monotonic
};

// The request for conf: its daemon name, this process's private name,
// and, when `join`, every group of its facilities in group-name order.
SessionRequest session_request(SpreadConf *conf, bool join);

// Connects within connect_deadline_sec, starts the session's read-ahead
// (a Spread daemon drops a session that leaves 1000 messages waiting) and
// joins the groups. Touches nothing but the client library and `out`, so
// any thread may run it; the session belongs to the caller afterwards.
void session_open(const SessionRequest &request, SessionResult *out);

// Makes room for `mailbox` in mailbox_table, doubling it as often as
// needed; false when out of memory.
bool mailbox_table_reserve(int mailbox);
