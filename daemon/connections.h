// The Spread connections: one record per configured Spread daemon, owned
// by this module alone.
//
// A record holds the connection's state, its mailbox, when it is tried
// next and why, the attempt under way, and its part in a hand-over (which
// the hand-over, daemon/handover.h, reads and writes there: it keeps no
// list of connections of its own). The loop asks it for the descriptors to
// wait on (conn_poll_fds) and for its next deadline (conn_wait_ms), and
// hands it events: a message read (conn_message), a session lost
// (conn_session_lost), the attempts', the socket directory's or the
// hand-over channel's descriptor readable (conn_readable), a pass of the
// loop (conn_pass), the signals that concern the hand-over and a child
// ended (below). The loop calls nothing of the hand-over itself: each of
// these passes on to it what is its own.
//
// States
// ------
//   down        no session; tried at the next reconnect pass, or sooner
//               when a try is scheduled (below)
//   connecting  an attempt is under way on a thread of its own
//   up          the session is in mailbox_table; its messages are logged
//   cutting     up, in an old daemon handing over: its messages are logged
//               until the new daemon's marker comes (daemon/handover.h)
//   cut         its marker came, or its session was lost, while handing
//               over: no session, not tried again unless the hand-over fails
// Whether this daemon hands over is the hand-over's to say
// (handover_allows_reconnect); each pass brings the records in line: up
// becomes cutting while it does, cutting up and cut down once it no
// longer does (the hand-over failed).
// `connected` of the SpreadConf is 1 exactly in up and cutting.
//
// Attempts, away from the loop
// ----------------------------
// An attempt (connect with its deadline, the handshake, the start of the
// session's read-ahead, the joins) runs on a thread started for it, one
// per attempt, never on the loop: a Spread daemon that is slow, stopped,
// silent, or a socket that someone else bound costs that thread its
// deadline (connect_deadline_sec) and nothing else. The thread only calls
// the client library and fills the attempt's result; it reads no record
// and prints nothing. When it is done it writes to one eventfd that the
// loop waits on; the loop then takes the result (joins the thread), and
// only then does the record change, the session enter mailbox_table and
// the lines "Successfully connected ...", "Joined ...", "Failed
// connection ..." appear, all on the loop. A thread rather than a
// non-blocking handshake in the loop: the client library's connect and
// joins are blocking calls with a deadline, safe to run on another thread
// for a session that the loop does not know yet, and the read-ahead that a
// session needs from its first message on is started by the same thread.
//
// When a record is tried
// ----------------------
// - Every reconnect_interval seconds, a pass tries every record that is
//   down, in registry order; its results are reported in that order too
//   (a result waits for the results of the records before it in the same
//   pass, at most one connect deadline). A pass that finds a record
//   connecting takes that attempt as its own: it reports it.
// - A session lost (a terminal receive error): tried at once, reported as
//   the pass reports, and "Error connecting to spread daemon" (-x) when it
//   fails.
// - Its socket appeared (a local daemon, daemon/rejoin.h): tried at once,
//   then after 50 ms, twice as long each time, for one reconnect interval;
//   quietly (only passes report failures). A try that failed slowly (half
//   a second or more: a listener that takes the connection and does not
//   answer) ends these tries: the passes alone try it from then on.
// None of these run in an old daemon handing over (its sessions are the
// new daemon's); an attempt that ends then is given up, its session closed.
//
// SIGTERM and every other exit wait for the attempts under way, each
// bounded by its connect deadline, so that no thread is left in the
// client library while the process ends.
#pragma once

#include "config/model.h"
#include "spread/sp.h"

#include <vector>

#include <poll.h>
#include <sys/types.h>

enum class ConnState { down, connecting, up, cutting, cut };

// The state's name as the status report gives it.
const char *conn_state_name(ConnState state);

// Makes one record per SpreadConf, in registry order, all down; the
// attempts' eventfd. After the configuration is loaded, before any
// connection. False when out of memory or descriptors (reported).
[[nodiscard]] bool conn_init();

// Connects every record that is down, all at once, and waits for every
// attempt; then reports each in registry order, as a pass does. For
// start-up (no loop yet): a record is up or down when it returns.
void conn_connect_all();

// conf's record: its state, its mailbox (-1 unless up or cutting).
ConnState conn_state(const SpreadConf *conf);
int conn_mailbox(const SpreadConf *conf);

// Appends to `fds` the descriptors the loop waits on for the connections:
// the attempts' eventfd while an attempt is under way, the socket
// directory's while it is watched, the hand-over's channel while one runs.
// conn_readable takes the revents back, in the same order, from `fds` (the
// first of them), and reads what is there (a finished attempt, a socket
// that appeared, the channel's lines). Returns how many.
size_t conn_poll_fds(std::vector<pollfd> *fds);
void conn_readable(const pollfd *fds, size_t count);

// The loop's wait of `ms` milliseconds, shortened to the next try or pass
// due, and to the hand-over's next deadline (a hello awaited, the joins,
// the release).
int conn_wait_ms(int ms);

// Once per loop pass, after the signals are acted on and the children
// reaped. First the hand-over's pass, which acts on what its channel said
// and on its deadlines:
// - an old daemon whose shared connections are all cut calls
//   `write_what_was_read` (the loop writes every message its sessions
//   have read, as at SIGTERM), then ends: it exits 0 once the new daemon
//   holds the outputs, or, when the new daemon fails meanwhile, comes back
//   with its outputs open again;
// - after a failed hand-over every record cut or down is tried at once
//   (conn_reconnect_now), not at the next reconnect pass;
// - a new daemon whose joins did not come in time (said) exits with
//   status 1.
// Then it takes the results of finished attempts and starts the tries and
// the pass that are due; none of them waits here. True when mailbox_table
// changed.
bool conn_pass(void (*write_what_was_read)());

// A hand-over failed: every record cut (and every one down) is tried now,
// as by a pass, even before the hand-over has let go of this daemon; the
// sessions made are taken (and read) once it has, its outputs open again.
// For the hand-over's own use (and conn_pass).
void conn_reconnect_now();

// What the loop does with a message after conn_message.
enum class ConnVerdict {
    log,     // a message to route and write as always
    taken,   // the hand-over took it: nothing more to do
    closed,  // the hand-over's cut: the session is closed, the record cut
};

// Every message received on mailbox `mbox` (regular or membership),
// before it is routed.
ConnVerdict conn_message(int mbox, service type, const char *sender, int16 mess_type, const char *body,
                         int length);

// A regular message for `facility` (not null) that the loop would write:
// true when the hand-over holds it instead (the new daemon before it took
// over).
bool conn_hold(SpreadConf *conf, LogFacility *facility, const char *message, int length);

// Mailbox `mbox`'s session ended (a terminal receive error): it is closed
// and forgotten; the record is tried again at once (see above), or cut
// while handing over.
void conn_session_lost(int mbox);

// --- Signals and children, as they concern the hand-over ---------------
// (daemon/handover.h; the loop's handle_signals, daemon/loop.h, says when
// each is called.)

// SIGUSR2: starts a hand-over to a new daemon, or says it is refused while
// one runs.
void conn_sigusr2();

// SIGHUP: true while the reopen must wait (a new daemon before it took
// over; it reopens once it has).
bool conn_defers_reopen();

// SIGHUP, as it is acted on: passed on to the new daemon while this one
// hands over, so that it opens its outputs on the paths as they are after
// a rotation.
void conn_sighup();

// SIGTERM, once the messages already read are written: an old daemon asks
// the new one to stop too; a new one that sent its markers waits (bounded)
// for the old one's release and writes what it held.
void conn_stopping();

// SIGTERM, after the outputs are closed and the final metrics written: an
// old daemon waits for its piped commands and releases the new one.
void conn_stopped();

// A child process ended with `status` (from waitpid): the new daemon of a
// hand-over is seen gone.
void conn_child_ended(pid_t pid, int status);
