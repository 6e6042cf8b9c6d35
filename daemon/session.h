// Spread sessions: one client session per configured Spread daemon.
//
// mailbox_table maps a mailbox (the session's descriptor) to the SpreadConf
// whose session it is. A record's `connected` is 1 exactly when the table
// holds it under its mailbox. The table does not own the records.
#pragma once

#include "config/model.h"

// The table: mailbox_slots pointers, 512 at start-up, grown (doubled) when
// a session gets a mailbox beyond it. Slots without a session are null.
extern SpreadConf **mailbox_table;
extern int mailbox_slots;

// Allocates the table with `slots` null entries; false when out of memory.
bool mailbox_table_init(int slots);

typedef int (*SpreadConfOp)(SpreadConf *conf, void *arg);
typedef int (*FacilityOp)(LogFacility *facility, void *arg);

// Calls op(conf, arg) for every SpreadConf in registry order.
void for_each_spread_conf(SpreadConfOp op, void *arg);
// Calls op(facility, arg) for every facility of conf in group-name order.
void for_each_facility(SpreadConf *conf, FacilityOp op, void *arg);

// The daemon name of conf ("PORT" or "PORT@HOST") in a buffer shared by all
// calls, overwritten by the next one.
const char *spread_daemon_name(SpreadConf *conf);

// The mailbox of conf's session, or -1 when it has none.
int session_mailbox(const SpreadConf *conf);

// Seconds a connection attempt may take, handshake included. A daemon that
// accepts and then never answers (stopped, overloaded) counts as a failed
// connection once it has passed, so the loop is never held for longer.
constexpr int connect_deadline_sec = 2;

// Whether sessions ask for membership messages: 0, but 1 in a daemon
// taking over (daemon/handover.h), which waits for its own joins.
extern int spread_membership;

// Connects conf unless it is connected already (then returns at once with
// -1 and does nothing), within connect_deadline_sec. On success stores conf in mailbox_table, sets
// `connected` and, when *join is not 0, joins every group of conf. Returns
// the new mailbox, or -1 when the connection failed.
int spread_connect(SpreadConf *conf, void *join);

// spread_connect joining every group, without the "Failed connection"
// line when the connection fails: for the tries made beside the reconnect
// passes, which alone report failures.
int spread_connect_quietly(SpreadConf *conf);

// Joins the facility's group on *(int *)mailbox; returns SP_join's result.
int join_group(LogFacility *facility, void *mailbox);
