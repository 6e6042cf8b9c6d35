// Signals: each handler sets one flag and returns; the receive loop acts
// on the flags between two waits.
#pragma once

#include <sys/types.h>

#include <csignal>

// Set by signal_handler, read and cleared by the receive loop.
extern volatile sig_atomic_t sighup_pending;
// Set by signal_handler; never cleared, acting on it ends the process.
extern volatile sig_atomic_t sigterm_pending;
// Set by signal_handler on SIGUSR1, read and cleared by the receive loop,
// which then writes the status report.
extern volatile sig_atomic_t sigusr1_pending;
// Set by signal_handler on SIGUSR2, read and cleared by the receive loop,
// which then starts a hand-over to a new daemon (daemon/handover.h).
extern volatile sig_atomic_t sigusr2_pending;
// Set by sigchld_handler when a child process ended; cleared by
// reap_children.
extern volatile sig_atomic_t sigchld_pending;

// Handler for SIGHUP, SIGTERM, SIGUSR1 and SIGUSR2: sets the matching
// flag, nothing else.
extern "C" void signal_handler(int signo);

// Installs signal_handler for SIGHUP, SIGTERM, SIGUSR1 and SIGUSR2 (no
// SA_RESTART, so the loop's wait is interrupted) and unblocks SIGHUP,
// SIGUSR1 and SIGUSR2. Failures are reported and start-up goes on.
void install_signal_handlers();

// Handler for SIGCHLD: sets sigchld_pending, nothing else.
extern "C" void sigchld_handler(int signo);

// The signals of piped commands: a command that ended must not kill the
// daemon (SIGPIPE ignored: its writes fail with EPIPE), nor a file at the
// size limit (SIGXFSZ ignored: the write fails with EFBIG); an ended
// command sets sigchld_pending (SA_RESTART), and the first reap_children
// looks, for commands that ended before the handler was there.
void install_child_handling();

// Collects every ended child when sigchld_pending says there is one, so
// none is left a zombie, and calls ended(pid, status) for each; errno is
// kept. Without a SIGCHLD since the last call it makes no system call.
void reap_children(void (*ended)(pid_t pid, int status));
