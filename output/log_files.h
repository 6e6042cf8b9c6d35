// The daemon's outputs: opening, locking, closing and reopening every log
// file and piped command of the configuration.
//
// Outputs are reached through the facilities: spread_confs in order, each
// connection's facilities in order. A plain facility uses its LogFile (one
// per path, shared by every facility naming it); a vhost facility's files
// live in its VhostTable and are opened on demand by the routing code.
// Opening, locking and closing go through the write path module
// (output/writer.h).
// Every descriptor opened here is close-on-exec, so a piped command holds
// only its own standard input besides the standard streams.
#pragma once

#include <sys/types.h>

#include <utility>
#include <vector>

// Opens the LogFile of every plain facility that is still closed (fd < 0)
// through output_open_log_file: a filename beginning with '|' starts the
// rest as a command fed through a pipe, any other is opened for appending
// (created 0644, non-blocking). An output that cannot be opened is reported
// ("Cannot open %s: %s") and keeps fd -1. Unless skip_locking, every plain
// facility's descriptor is then locked (exclusive, non-blocking flock); a
// refused lock prints "Cannot lock %s, is another wickerpost running?" and
// ends the process with status 1. So does, with locking on, an output that
// could not be opened, except a FIFO without a reader (ENXIO): that one is
// tried again at its next message. In verbose mode each plain facility is
// listed. Finally the room for vhost files is planned
// (output_plan_descriptors). Returns 0.
int open_log_files();

// Reports the pending drop counts, then unlocks (unless skip_locking) and
// closes every descriptor above 0 held by a LogFile or a vhost slot, and
// marks it closed (-1); a vhost slot also releases its name. A stream whose
// backlog still holds messages is retired instead: written out as its
// reader takes them, then closed (see output/writer.h). Returns 0.
int close_log_files();

// close_log_files, then the opens of open_log_files: files are reopened
// under their configured paths, piped commands get end of input (once
// their backlog is written) and are started anew. An output that cannot
// be opened now is reported and tried again at its next message; it does
// not end the daemon (a refused lock still does).
void reopen_log_files();

// Starts "/bin/sh -c" with `filename` minus its first character (the '|')
// and returns the write end (non-blocking) of a pipe feeding the command's
// standard input, or -1 (errno set) when the pipe or the fork failed. The
// command runs with SIGHUP ignored and SIGCHLD and SIGPIPE at their
// defaults; it is never waited for. (output_start_command.)
int open_pipe_command(const char *filename);

// --- Hand-over (daemon/handover.h) -----------------------------------------
//
// A daemon that takes over from another opens its outputs while the other
// still writes to them under its locks. Between log_files_handover_begin
// and log_files_handover_finish, open_log_files opens every File path as
// usual, but a lock refused on a file that the other daemon holds (one of
// `held`, by device and inode) is not an error: it is taken later. A lock
// refused on any other file ends the process as at start-up. Piped
// commands are not started yet: a command that appends to a file must not
// run beside the other daemon's instance of it.

// Device and inode of every File output open and locked now (commands
// left out), for the daemon that takes over.
std::vector<std::pair<dev_t, ino_t>> log_files_locked();

// Enters the mode above; `held` are the other daemon's locked files.
void log_files_handover_begin(std::vector<std::pair<dev_t, ino_t>> held);

// Once the other daemon has released its outputs: takes the locks left
// for later, starts the piped commands and plans the room for vhost files.
// A lock still refused now is reported ("Cannot lock %s, is another
// wickerpost running?") and the output is written without it: the
// messages held for it are not given up.
void log_files_handover_finish();
