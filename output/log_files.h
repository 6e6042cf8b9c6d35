// The daemon's outputs: opening, locking, closing and reopening every log
// file and piped command of the configuration.
//
// Outputs are reached through the facilities: spread_confs in order, each
// connection's facilities in order. A plain facility uses its LogFile (one
// per path, shared by every facility naming it); a vhost facility's files
// live in its VhostTable and are opened on demand by the routing code.
// Every descriptor opened here is close-on-exec, so a piped command holds
// only its own standard input besides the standard streams.
#pragma once

// Opens the LogFile of every plain facility that is still closed (fd < 0):
// a filename beginning with '|' starts the rest as a command fed through a
// pipe, any other is opened for appending (created 0644). An output that
// cannot be opened is reported ("Cannot open %s: %s") and keeps fd -1.
// Unless skip_locking, every plain facility's descriptor is then locked
// (exclusive, non-blocking flock); a refused lock prints "Cannot lock %s,
// is another wickerpost running?" and ends the process with status 1. In
// verbose mode each plain facility is listed. Returns 0.
int open_log_files();

// Unlocks (unless skip_locking) and closes every descriptor above 0 held by
// a LogFile or a vhost slot, and marks it closed (-1); a vhost slot also
// releases its name. Returns 0.
int close_log_files();

// close_log_files, then open_log_files: files are reopened under their
// configured paths, piped commands get end of input and are started anew.
void reopen_log_files();

// Starts "/bin/sh -c" with `filename` minus its first character (the '|')
// and returns the write end of a pipe feeding the command's standard input,
// or -1 (errno set) when the pipe or the fork failed. The command runs with
// SIGHUP ignored and SIGCHLD and SIGPIPE at their defaults; it is never
// waited for.
int open_pipe_command(const char *filename);
