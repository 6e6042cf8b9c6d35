// The receive loop: waits on every Spread mailbox, writes each regular
// message to its output, acts on signals, and hands the connection owner
// (daemon/connections.h) its events; no connection attempt runs on it.
#pragma once

// Seconds between reconnect passes.
constexpr int reconnect_interval = 6;

// Allocates the loop's receive buffer once: `size` bytes (1 when `size` is
// not positive), the longest message kept whole. False when out of memory.
[[nodiscard]] bool receive_loop_init(int size);

// Acts on the signal flags: SIGTERM writes out what the outputs' backlogs
// hold while their readers take bytes (output_exit_stall_ms without
// progress, output_exit_drain_ms in all at most), closes every output,
// writes the metrics file with the final counts and exits 0 (it wins over
// SIGHUP); during a hand-over it stops the other daemon too
// (conn_stopping once the messages read are written, conn_stopped once
// the outputs are closed). SIGHUP reopens every output and, in an old
// daemon handing over, is passed on to the new one (conn_sighup); a new
// daemon that has not taken over yet keeps it (conn_defers_reopen) and
// reopens once it has. SIGUSR1 writes the status report to standard
// error. SIGUSR2 starts a hand-over to a new daemon (conn_sigusr2), or is
// refused while one runs. Signals that come while an old daemon finishes
// its hand-over (in conn_pass, once every shared connection is cut) are
// not acted on here: it passes SIGTERM and SIGHUP on to the new daemon
// before it exits. The hand-over is reached through the connection owner
// (daemon/connections.h) alone.
void handle_signals();

// Prints "Setting FD: %d\n" for every connected mailbox, ascending.
void announce_mailboxes();

// Runs passes forever, the first reconnect pass reconnect_interval seconds
// from now; the process ends through exit only. receive_loop_init first.
[[noreturn]] void receive_loop();
