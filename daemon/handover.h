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
// once), honoured only for a Unix stream socket whose peer is the parent
// process. Its lines are built and parsed in daemon/handover_codec.h; each
// side's first line is a hello with the channel's version. Old to new, at
// the start: the token, its pid, one "spread" per connected Spread daemon,
// one "file" per locked file, "end"; at its end the counters of the
// metrics file and "released" (outputs written out, closed and unlocked,
// piped commands ended). New to old: its hello at once, one "mark" per
// shared connection and "marked" just before the markers go, and "taken"
// once it holds the outputs and wrote what it held.
//
// Ends
// ----
// - The new daemon ends at any moment before "taken" (a configuration
//   that does not load, a refused lock, a Spread daemon it cannot reach,
//   killed), does not say hello within handover_hello_ms, speaks another
//   version, or breaks the channel: the old one ends it (SIGTERM, then
//   SIGKILL), says "Hand-over failed: new daemon PID ...", opens and locks
//   its outputs again (commands started anew) if it had closed them,
//   reconnects at once what it had cut, and logs on. Lost: what reached
//   only the sessions it had cut, between their cut and the reconnection.
// - The old daemon ends before it released: every connection of the new
//   one counts as cut at once, and the new one takes over.
// - Once cut everywhere, the old daemon writes out and closes its outputs,
//   waits for its piped commands (as long as the drain at SIGTERM may
//   last), sends "released" and waits for "taken"; then it tells systemd
//   MAINPID= the new pid, passes on a SIGTERM or SIGHUP it got meanwhile,
//   and exits 0. The new one, at "released", takes the locks, starts its
//   commands, writes what it held, rewrites the pid file (detached mode),
//   sends "taken" and says READY=1.
//
// Callers
// -------
// main makes the start-up calls (handover_init, handover_takeover_begin,
// handover_takeover_connect). Everything else reaches the hand-over through
// the connection owner (daemon/connections.h), to which the loop hands its
// events and the signals; each connection's part in a hand-over is kept in
// its record there (daemon/connections_record.h).
#pragma once

#include <sys/types.h>

#include "config/model.h"
#include "output/writer.h"
#include "spread/sp.h"

// Milliseconds the new daemon gives itself to connect to and join the
// groups on every shared connection; past it the hand-over fails.
constexpr int handover_join_ms = 10000;
// Milliseconds the old daemon waits for the new one's hello, and the new
// one for the old one's header.
constexpr int handover_hello_ms = 5000;
// Milliseconds the old daemon waits for its piped commands to finish their
// input after end of file: the bound of the drain at SIGTERM.
constexpr int handover_command_wait_ms = output_exit_drain_ms;
// Milliseconds the old daemon waits, once it released, for the new one to
// say it holds the outputs.
constexpr int handover_taken_ms = 30000;
// Bytes of messages the new daemon holds between the cut and the release;
// past it a message is dropped and counted (handover_held_dropped).
constexpr size_t handover_hold_max = 32u << 20;

// Remembers the program path (argv[0] made absolute, or looked up in PATH,
// now, at start-up), the arguments and nothing else: the working directory
// and the standard streams are inherited as they are.
void handover_init(int argc, char **argv);

// A daemon started for a hand-over: when WICKERPOST_HANDOVER names a
// Unix stream socket whose peer is our parent, says hello on it and reads
// the old daemon's header (within handover_hello_ms), puts the outputs in
// their hand-over mode and asks for membership messages; returns true.
// A variable that does not name such a channel, or a header that does not
// come, is said ("WICKERPOST_HANDOVER ignored: REASON") and gives an
// ordinary start (false). An old daemon speaking another channel version
// ends the process with status 1, before anything is opened or joined.
// Called before the configuration is read; `detached`: the daemon runs
// detached (no -D), so it rewrites the pid file once it took over.
bool handover_takeover_begin(bool detached);

// The new daemon's first connections: connects every Spread daemon and
// joins its groups, noting which joins to wait for. A shared Spread daemon
// that cannot be reached ends the process with status 1 (the old daemon
// keeps logging).
void handover_takeover_connect();

// True from handover_takeover_begin until the daemon has taken over.
bool handover_taking_over();

// SIGUSR2: starts a hand-over, or refuses one while a hand-over runs.
void handover_start();

// A descriptor the loop's wait watches for input (-1: none), and the call
// to make when it is readable (through conn_poll_fds, conn_readable).
int handover_poll_fd();
void handover_readable();

// The loop's wait of `ms` milliseconds, shortened to the hand-over's next
// deadline (a hello awaited, the joins, the release).
int handover_wait_ms(int ms);

// What conn_message does with a message after handover_message.
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
// true when it is held instead (the new daemon before it took over), or
// dropped and counted past handover_hold_max bytes held.
bool handover_hold(SpreadConf *conf, LogFacility *facility, const char *message, int length);

// Messages dropped so far because the hold was full.
unsigned long handover_held_dropped();

// What conn_pass does after handover_pass.
enum HandoverStep {
    HANDOVER_GO_ON,     // nothing
    HANDOVER_FINISH,    // old daemon, everything cut: write what the sessions
                        // read, then handover_finish_old
    HANDOVER_RECONNECT, // old daemon, the hand-over failed: connect every
                        // Spread daemon now (what it cut)
    HANDOVER_GIVE_UP,   // new daemon, its joins did not come in time (said):
                        // exit with status 1
};

// Once per loop pass: acts on what the channel said and on deadlines.
HandoverStep handover_pass();

// The old daemon's end (see Ends): exits 0 once the new daemon holds the
// outputs; returns when the hand-over failed, its outputs open again and
// the next handover_pass asking for the reconnection.
void handover_finish_old();

// False while the old daemon hands over: its lost or cut sessions are not
// reconnected (they are the new daemon's now).
bool handover_allows_reconnect();

// A child process ended with `status` (from waitpid).
void handover_child_ended(pid_t pid, int status);

// SIGHUP: true while the reopen must wait (the new daemon before it took
// over; it reopens once it has).
bool handover_defers_reopen();

// Passes signal `signo` (SIGHUP) on to the new daemon while this one hands
// over: the new one opens its outputs on the paths as they are after a
// rotation.
void handover_pass_on(int signo);

// SIGTERM, once the messages already read are taken: the old daemon asks
// the new one to stop too; the new one, when it sent its markers, waits
// (bounded) for the old one's release and writes what it held.
void handover_stop();

// SIGTERM, after the outputs are closed: the old daemon waits for its
// commands and releases the new one.
void handover_stopped();
