// The connection owner's calls that pass on to the hand-over
// (daemon/handover.h) what is its own: the messages it holds, the signals
// that concern it, its child's end. Apart from the records and their
// states (daemon/connections.cpp), so that what reads a record does not
// bring the hand-over in.
#include "daemon/connections.h"

#include <csignal>

#include "daemon/handover.h"

bool conn_hold(SpreadConf *conf, LogFacility *facility, const char *message, int length)
{
    return handover_hold(conf, facility, message, length);
}

void conn_sigusr2() { handover_start(); }

bool conn_defers_reopen() { return handover_defers_reopen(); }

void conn_sighup() { handover_pass_on(SIGHUP); }

void conn_stopping() { handover_stop(); }

void conn_stopped() { handover_stopped(); }

void conn_child_ended(pid_t pid, int status) { handover_child_ended(pid, status); }
