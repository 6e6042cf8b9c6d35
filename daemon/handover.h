// Hand-over on SIGUSR2: the running daemon (the old one) starts a new one
// from the program path it was started from, with the same arguments,
// beside itself; the new one reads the configuration again, and the work
// passes from the old to the new at one exact point of each Spread
// connection's message stream, the cut, so that no line is lost or written
// twice.
//
// The cut
// -------
// A Spread daemon processes every message it accepts (data, joins, leaves)
// in one sequence, and hands each one to all of its local recipient
// sessions at one point of that sequence. The old and the new wickerpost
// are two local clients of the same Spread daemon on a shared connection:
// so for any message M and the new daemon's marker K, both sessions see K
// before M, or both see it after M, whatever M's service (unreliable to
// safe) and K's. The new daemon:
//   1. connects with membership messages on and joins every group;
//   2. waits for its own join membership of each group: from then on every
//      message to the group reaches both daemons (one multicast before the
//      join reaches the old one only, which writes it);
//   3. multicasts K, once, to the old daemon's private group and its own
//      (one multigroup message, so one point of the sequence), its body
//      the token that the old daemon gave it;
//   4. drops what it receives before its own K and keeps what comes after.
// The old daemon writes what it receives before K and closes the session
// at K. A connection that only the new configuration has starts fresh; one
// that only the old one has stops once every shared one is cut.
//
// The channel
// -----------
// A Unix stream socket pair; the new daemon's end is passed on as the
// descriptor named by WICKERPOST_HANDOVER (taken out of the environment at
// once). Old to new, at the start: "token T", "pid P", one "spread NAME
// PRIVATE-GROUP" per connected Spread daemon, one "file DEV INO" per locked
// file, "end"; at its end "released" (outputs written out, closed and
// unlocked, piped commands ended), then end of file. New to old: one "mark
// NAME" per shared connection and "marked", just before the markers go.
//
// Ends
// ----
// - The new daemon ends before it took over (a configuration that does
//   not load, a refused lock, a Spread daemon it cannot reach, SIGTERM):
//   the old one says "Hand-over failed: ..." and goes on; connections it
//   had cut already are reconnected by its reconnect passes.
// - Once cut everywhere, the old daemon writes out and closes its outputs,
//   waits (bounded) for its piped commands, tells systemd MAINPID= the new
//   pid, sends "released" and exits 0. The new one then takes the locks,
//   starts its commands, writes what it held, rewrites the pid file
//   (detached mode) and says READY=1.
#pragma once

#include <sys/types.h>

#include "config/model.h"
#include "spread/sp.h"

// Milliseconds the new daemon gives itself to connect to and join the
// groups on every shared connection; past it the hand-over fails.
constexpr int handover_join_ms = 10000;
// Milliseconds the old daemon waits for its piped commands to finish their
// input after end of file.
constexpr int handover_command_wait_ms = 5000;

// Remembers the program path (argv[0] made absolute, or looked up in PATH,
// now, at start-up), the arguments and nothing else: the working directory
// and the standard streams are inherited as they are.
void handover_init(int argc, char **argv);

// A daemon started for a hand-over: when WICKERPOST_HANDOVER names a
// channel, reads what the old daemon sent (ending the process with status
// 1 when it cannot), puts the outputs in their hand-over mode and asks for
// membership messages; returns true. False, nothing done, otherwise.
// Called before the configuration is read; `detached`: the daemon runs
// detached (no -D), so it rewrites the pid file once it took over.
bool handover_takeover_begin(bool detached);

// The new daemon's first connections: connects every Spread daemon and
// joins its groups, noting which joins to wait for. A shared Spread daemon
// that cannot be reached ends the process with status 1.
void handover_takeover_connect();

// True from handover_takeover_begin until the daemon has taken over.
bool handover_taking_over();

// SIGUSR2: starts a hand-over, or refuses one while a hand-over runs.
void handover_start();

// A descriptor the loop's wait watches for input (-1: none), and the call
// to make when it is readable.
int handover_poll_fd();
void handover_readable();

// What the loop does with a message after handover_message.
enum HandoverVerdict {
    HANDOVER_PASS,     // nothing to do with the hand-over: handled as always
    HANDOVER_TAKEN,    // taken by the hand-over: nothing more to do
    HANDOVER_CLOSE,    // the old daemon's cut: close the session now
};

// Every message received from `conf`'s session (regular or membership),
// before it is routed.
HandoverVerdict handover_message(SpreadConf *conf, service type, const char *sender, int16 mess_type,
                                 const char *body, int length);

// A regular message for `facility` (not null) that the loop would write:
// true when it is held instead (the new daemon before it took over).
bool handover_hold(SpreadConf *conf, LogFacility *facility, const char *message, int length);

// Once per loop pass. True when the old daemon must finish now: everything
// is cut; the loop writes what its sessions read and calls
// handover_finish_old.
bool handover_pass();

// The old daemon's end (see Ends); never returns.
[[noreturn]] void handover_finish_old();

// False while the old daemon hands over: its lost or cut sessions are not
// reconnected (they are the new daemon's now).
bool handover_allows_reconnect();

// conf's session was lost.
void handover_session_lost(SpreadConf *conf);

// A child process ended with `status` (from waitpid).
void handover_child_ended(pid_t pid, int status);

// SIGHUP: true while it must wait (the new daemon before it took over; it
// reopens once it has). The old daemon passes it on to the new one.
bool handover_defers_reopen();

// SIGTERM, once the messages already read are taken: the old daemon asks
// the new one to stop too; the new one, when it sent its markers, waits
// (bounded) for the old one's release and writes what it held.
void handover_stop();

// SIGTERM, after the outputs are closed: the old daemon waits for its
// commands and releases the new one.
void handover_stopped();
