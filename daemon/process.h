// Process set-up: the open-file limit and detaching from the terminal.
#pragma once

constexpr const char *pid_file_path = "/var/run/wickerpost.pid";

// Raises the soft RLIMIT_NOFILE limit to the hard one and returns the hard
// limit (as read, even if setrlimit failed), capped at vhost_table_size_max.
int raise_fd_limit();

// Writes this process's id to pid_file_path, whole: to a temporary name
// beside it, then renamed over it. A failure is reported and the daemon
// goes on.
void write_pid_file();

// Detaches (fork, setsid, fork) and writes the pid file. Returns only in
// the detached process; every other process ends here with status 0.
// A pid file that cannot be created is reported and the daemon goes on.
void daemonize();
