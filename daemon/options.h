// Command line, process set-up and signals.
//
// The option globals are written only during start-up, before the receive
// loop runs; the two signal flags are the only state the signal handler
// touches.
#pragma once

#include <csignal>

// Receive buffer size in bytes; -1 until -b or BufferSize sets it, and
// 8192 when still unset after the configuration was read.
extern int buffer_size;
// -s: outputs are not locked with flock.
extern int skip_locking;
// -v: connection, join and start-up messages.
extern int verbose;
// -x: Spread receive errors, reconnection failures and the SIGTERM messages.
extern int log_spread_errors;
// Slots of every vhost table: the open-file limit raised at start-up.
extern int vhost_table_size;

// Set by signal_handler, read and cleared by the receive loop.
extern volatile sig_atomic_t sighup_pending;
// Set by signal_handler; never cleared, acting on it ends the process.
extern volatile sig_atomic_t sigterm_pending;
// Set by signal_handler on SIGUSR1, read and cleared by the receive loop,
// which then writes the status report.
extern volatile sig_atomic_t sigusr1_pending;

// Largest vhost_table_size: a hard limit above it (or unlimited) gives this.
constexpr int vhost_table_size_max = 1048576;

constexpr const char *wickerpost_version = "1.4.2";
constexpr const char *default_config_path = "/usr/local/etc/wickerpost.conf";
constexpr const char *pid_file_path = "/var/run/wickerpost.pid";

// Raises the soft RLIMIT_NOFILE limit to the hard one and returns the hard
// limit (as read, even if setrlimit failed), capped at vhost_table_size_max.
int raise_fd_limit();

// Reads the options into the globals, *config_path (the argument string
// itself, not a copy) and *debug_mode. Ends the process through usage on
// a bad option or -V.
void parse_options(int argc, char **argv, const char **config_path, bool *debug_mode);

// Prints the usage text with the program name and version; exits 1.
[[noreturn]] void usage(const char *program);

// Prints the start-up banner to standard error (called in verbose mode).
void print_banner(const char *program, const char *config_path, bool debug_mode, int buffer_size);

// Detaches (fork, setsid, fork) and writes the pid file. Returns only in
// the detached process; every other process ends here with status 0.
// A pid file that cannot be created is reported and the daemon goes on.
void daemonize();

// Handler for SIGHUP, SIGTERM and SIGUSR1: sets the matching flag, nothing
// else.
extern "C" void signal_handler(int signo);

// Installs signal_handler for SIGHUP, SIGTERM and SIGUSR1 (no SA_RESTART,
// so the loop's wait is interrupted) and unblocks SIGHUP and SIGUSR1. Failures are reported
// and start-up goes on.
void install_signal_handlers();
