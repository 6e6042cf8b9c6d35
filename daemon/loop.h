// The receive loop: waits on every Spread mailbox, writes each regular
// message to its output, acts on signals and reconnects lost sessions.
#pragma once

#include <csignal>

#include "spread/sp.h"

// Receive buffer of buffer_size bytes, allocated once by main.
extern char *receive_buffer;
// Time of the last reconnect pass.
extern sp_time last_reconnect;
// Seconds between reconnect passes.
constexpr int reconnect_interval = 6;

// Set by sigchld_handler when a child process ended; the loop reaps.
extern volatile sig_atomic_t sigchld_pending;
extern "C" void sigchld_handler(int signo);

// Acts on the signal flags: SIGTERM writes out what the outputs' backlogs
// hold (output_exit_drain_ms at most), closes every output and exits 0 (it
// wins over SIGHUP); SIGHUP reopens every output; SIGUSR1 writes the
// status report to standard error.
void handle_signals();

// Prints "Setting FD: %d\n" for every connected mailbox, ascending.
void announce_mailboxes();

// Runs passes forever; the process ends through exit only.
[[noreturn]] void receive_loop();
