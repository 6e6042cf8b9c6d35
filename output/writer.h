// The write path of every output: opening and locking log files, piped
// commands and per-vhost files; writing a message whole or not at all;
// backlogs for outputs whose reader may be slow; counting and reporting
// every message that is not written; the descriptor budget of per-vhost
// files. Nothing here ever blocks the loop.
//
// Outputs
// -------
// An output is what the counters and the reports name: one configured File
// (a path, or "|command"), or one VhostDir (all its files together). Each
// has one record here, made on first use and kept for the life of the
// process; LogFile.output and VhostTable.output hold its number (0 until
// then). The record owns a copy of the path.
//
// Descriptors
// -----------
// Every descriptor opened here is registered under its number with its
// kind and output, so the loop's write step needs only the descriptor that
// route_message gave. Kinds, and the failure policy of each (written again
// above each write site):
//
// - file: a File path that is a regular file, or a vhost file. Its
//   messages are batched (see Batches) and written with one writev() per
//   batch as a rule; EINTR and short writes go on. A write that fails
//   part-way (ENOSPC, EDQUOT, EFBIG, EIO...) is cut back to the end of the
//   last whole message written: the file is truncated to the current
//   offset minus the bytes of the failed message that landed, which with
//   O_APPEND and our lock is where that message began. So a file never
//   holds a torn line. That message is dropped and counted under the
//   error; the next one tries afresh, in the same flush.
// - stream: a piped command's pipe, or a File path that is a FIFO or a
//   device. Non-blocking, with a backlog of at most output_backlog_max
//   bytes of whole messages, written out as the reader takes it: before a
//   new message, and when the loop's wait reports the descriptor writable.
//   A message joins the backlog whole or not at all; while it is full,
//   messages are dropped and counted ("backlog full"). The rest of a
//   partly written message is always the next thing written to the same
//   descriptor. When the reader ends (EPIPE), the rest of a partly taken
//   message is dropped and counted ("reader ended"), the command is started
//   anew (a FIFO opened anew) and locked as at start-up, and the whole
//   messages of the backlog, then the message that met EPIPE, go to it.
//   A command is restarted at most output_restart_burst times per
//   output_restart_window seconds; in between its messages are dropped
//   ("output not open"), so a command that cannot run is not forked for
//   every message.
//
// Batches
// -------
// A message for a file is copied into its descriptor's batch (one arena
// of output_batch_total bytes shared by every batch, so the receive buffer
// can be reused at once) and written later, together with the messages
// that follow it for the same file, by one writev(). The loop still takes
// one message per ready mailbox per pass, so the order within every
// output is the order of taking; only the write is deferred. A batch is
// written (flushed):
// - when the loop has no whole message left to take, before it waits
//   (output_flush);
// - when it holds output_batch_bytes or IOV_MAX messages, or the arena is
//   full (every batch then), or a message is too long for a batch (it is
//   then written on its own, after the batch);
// - output_batch_ms after the end of the loop pass that began the
//   batches, looked at once per pass (output_tick): a file under constant
//   load is written within a few milliseconds;
// - before its descriptor is closed (SIGHUP, vhost files closed for room),
//   before a status report, before the loop connects Spread sessions
//   (which may take up to their deadline) and at exit.
// A batched message counts as written (status counters) once its write
// succeeded; one that fails is dropped and counted then. Streams are not
// batched: a stream's message is written at once or queued in its
// backlog, which is its buffer already and keeps the EPIPE and restart
// rules per message.
//
// Reopen and exit
// ---------------
// Closing a stream whose backlog still holds bytes (close_log_files, so at
// SIGHUP) does not cut it short: the descriptor is retired, written out as
// its reader takes it, and closed when empty, when its reader ends, or
// output_retire_seconds later, when what is left is dropped and counted
// ("abandoned"). At SIGTERM output_drain writes every backlog as long as
// its reader keeps taking bytes: a stream that takes nothing for
// output_exit_stall_ms is given up, and all of them after
// output_exit_drain_ms in all; what is left is dropped and counted.
//
// Losses
// ------
// Every message that is not written is counted per output and reason, and
// reported on standard error as "Dropped %lu messages for %s: %s\n" (count
// since the last report, the output's path, the reason text). One output
// and reason is reported at most once per output_report_interval seconds:
// the first drop after a quiet interval at once, later ones summed and
// reported by output_tick once the interval is up (the clock is read once
// per loop pass, never per message), and everything pending by
// output_report_pending (SIGHUP, SIGTERM).
//
// A message that its facility's Match patterns did not select is no loss:
// it is counted apart (filtered) and not reported. So every message routed
// to an output ends written, dropped or filtered, each counted once. The
// time of an output's last whole write is kept from the coarse wall clock
// (read without a system call), for the metrics.
//
// Vhost files and the descriptor limit
// ------------------------------------
// Open vhost files are capped at the open-file limit minus the descriptors
// in use otherwise minus a reserve (output_fd_reserve), so that a Spread
// session and a restarted command can always be opened. The open slots of
// every vhost table form one intrusive list, most recently used first;
// beyond the cap, or when an open fails with EMFILE or ENFILE, the least
// recently used file is closed. Its slot keeps the name, and the file is
// opened again on its next message.
//
// Vhost files are opened with O_NOFOLLOW and O_NONBLOCK and used only when
// fstat says regular file: a symlink, FIFO, device or directory under a
// vhost name is refused, its message dropped and counted ("not a regular
// file"). File paths follow symlinks, and are opened with O_NONBLOCK so a
// FIFO without a reader cannot block start-up or SIGHUP.
#pragma once

#include <poll.h>
#include <sys/types.h>

#include <csignal>

#include <cstddef>
#include <iterator>
#include <vector>

#include "config/model.h"

// Bytes of whole messages a stream's backlog holds at most (4 MiB): about
// 40,000 access-log lines, or seven minutes of a reader taking 100 such
// lines a second. A message longer than that is taken only by an empty
// backlog.
constexpr size_t output_backlog_max = 4u << 20;
// Seconds a retired stream (closed with a backlog) keeps being written.
constexpr int output_retire_seconds = 10;
// At exit: milliseconds a stream's reader may take nothing before its
// backlog is given up, and milliseconds all backlogs get together, which
// leaves a stop within the shipped unit's TimeoutStopSec=30s time to close
// the outputs and exit.
constexpr int output_exit_stall_ms = 5000;
constexpr int output_exit_drain_ms = 25000;
// Descriptors kept free of vhost files (a quarter of the open-file limit
// when that is smaller): room for the Spread sessions (a socket and the
// library's two event descriptors each) and the pipes of restarted
// commands.
constexpr int output_fd_reserve = 64;
// Batches of file messages (see Batches): bytes of one descriptor's batch
// at most (its messages at most IOV_MAX), bytes of all batches together,
// and milliseconds a batch may wait while the loop never runs out of
// messages.
constexpr size_t output_batch_bytes = 64u << 10;
constexpr size_t output_batch_total = 256u << 10;
constexpr int output_batch_ms = 2;
// Seconds between two reports of the same output and reason.
constexpr int output_report_interval = 60;
// Restarts of one command allowed per window of seconds.
constexpr int output_restart_burst = 10;
constexpr int output_restart_window = 10;

// Why a message was not written.
enum OutputDrop {
    OUTPUT_DROP_WRITE_ERROR,    // the write failed: the error's own text
    OUTPUT_DROP_BACKLOG_FULL,   // "backlog full"
    OUTPUT_DROP_READER_ENDED,   // "reader ended": taken in part by a reader that ended
    OUTPUT_DROP_NOT_OPEN,       // "output not open": it could not be opened (again)
    OUTPUT_DROP_REFUSED_NAME,   // "refused vhost name"
    OUTPUT_DROP_NOT_REGULAR,    // "not a regular file": under a vhost name
    OUTPUT_DROP_NO_DESCRIPTOR,  // "no descriptor": the open-file limit, even after closing vhost files
    OUTPUT_DROP_ABANDONED,      // "abandoned": still in a backlog when its time was up
    OUTPUT_DROP_TOO_LONG,       // "too long": longer than the receive buffer, never written
    OUTPUT_DROP_REASONS
};

// Reason names, by OutputDrop (a write error is reported with its errno's
// text instead).
inline constexpr const char *output_drop_names[] = {
    "write error",       "backlog full",       "reader ended",  "output not open",
    "refused vhost name", "not a regular file", "no descriptor", "abandoned",
    "too long",
};
static_assert(std::size(output_drop_names) == OUTPUT_DROP_REASONS);

// When an output is opened: the first open (a failed open ends start-up
// through the lock, unless it is a FIFO without a reader), a reopen
// (SIGHUP), or a retry for a message (and a restart after EPIPE).
enum OutputOpenTime { OUTPUT_OPEN_START, OUTPUT_OPEN_REOPEN, OUTPUT_OPEN_RETRY };

// Counters of one output, as output_for_each shows them.
struct OutputStatus {
    const char *path;                              // a File as configured, or a VhostDir
    const char *kind;                              // "file", "stream", "command", "vhost directory"
    unsigned long messages;                        // written whole
    unsigned long long bytes;                      // written, parts of messages included
    unsigned long dropped[OUTPUT_DROP_REASONS];    // since start, by reason
    unsigned long filtered;                        // not selected by the Match patterns
    size_t backlog;                                // bytes waiting, retired descriptors included
    long long last_write_ms;                       // wall clock (Unix ms, coarse) of the last
                                                   // message written whole; 0: none yet
};

// The counters of one output whose Log block gives file settings (see
// output/file_rules.h), as output_files_for_each shows them.
struct OutputFileStatus {
    const char *path;                          // as in OutputStatus
    const char *kind;
    long open;                                 // its regular files open now
    unsigned long opens;                       // regular files opened
    unsigned long idle_closes;                 // closed for IdleClose
    unsigned long evictions;                   // host files closed for the descriptor limit
    unsigned long rotations;                   // MaxSize rotations
    unsigned long compressed;                  // closed files compressed
    unsigned long compress_failed;             // closed files left uncompressed (failed, or the queue full)
    unsigned long long compress_bytes_before;  // size of the files compressed
    unsigned long long compress_bytes_after;   // size of their compressed forms
    long long synced_at;                       // Unix time of the last fdatasync that worked; 0: none
};

// --- Outputs ---------------------------------------------------------------

// The number of the output named `path` (made on first use, with a copy of
// the path and `kind`, a static text), stored in *id when it is 0; returns
// *id.
int output_of(int *id, const char *path, const char *kind);

// Counts `count` messages of output `id` dropped for `reason` (for
// OUTPUT_DROP_WRITE_ERROR, `error` is the errno) and reports them at once
// or later (see Losses). An id of 0 counts nothing.
void output_drop(int id, OutputDrop reason, int error = 0, unsigned long count = 1);

// The output number of a File (made on first use, as output_open_log_file
// makes it): what its losses and filtered messages are counted under
// before it was ever opened.
int output_of_log_file(LogFile *file);

// The output number of `facility`: its VhostDir's, or its File's (made on
// first use).
int output_of_facility(LogFacility *facility);

// A message of output `id` that none of its facility's Match patterns
// selected: counted, never reported (it is not a loss). An id of 0 counts
// nothing.
void output_filtered(int id);

// Calls visit(status, arg) for every output, in the order they were made.
// The status is valid during the call only.
void output_for_each(void (*visit)(const OutputStatus *status, void *arg), void *arg);

// The same for every output with file settings that opened a file, with
// the file counters; none is visited when no Log block gives settings.
void output_files_for_each(void (*visit)(const OutputFileStatus *status, void *arg), void *arg);

// Closed files waiting to be compressed, or being compressed, now.
size_t output_compress_waiting();

// --- Opening and closing -------------------------------------------------

// Opens the output of `file` and registers the descriptor: "|command"
// through output_start_command, any other filename with
// O_WRONLY|O_APPEND|O_CREAT|O_CLOEXEC|O_NONBLOCK, mode 0644 (symlinks
// followed). Does not lock and does not store the result in file->fd.
// A failure is said with "Cannot open %s: %s\n" (at a retry only when the
// error changed or a report interval passed) and gives -1 with errno set.
// A retry of a command obeys the restart budget (-1, nothing said, when
// spent).
int output_open_log_file(LogFile *file, OutputOpenTime when);

// Takes the exclusive, non-blocking flock on `fd` unless skip_locking; a
// refusal (also on a descriptor of -1) prints "Cannot lock %s, is another
// wickerpost running?\n" with `path`, writes the batches and ends the
// process with status 1.
void output_lock_or_exit(int fd, const char *path);

// Closes file->fd when it is above 0 (an output on descriptor 0 is left
// alone): its batch written, unlocked unless skip_locking, closed,
// forgotten; file->fd becomes -1. A stream with a backlog is retired
// instead of closed.
void output_close_log_file(LogFile *file);

// Writes the batch of a descriptor, unlocks it (unless skip_locking),
// closes and forgets it.
void output_close(int fd);

// Starts "/bin/sh -c" with `filename` minus its first character (the '|')
// and returns the write end of a pipe feeding the command's standard input,
// non-blocking and close-on-exec, or -1 (errno set) when the pipe, the
// clone or the exec failed. The command is started without copying the
// daemon (a clone that shares its memory until the exec, suspending only
// the calling thread), runs with SIGHUP ignored, SIGCHLD, SIGPIPE and
// SIGXFSZ at their defaults and no signal blocked, and holds no other
// descriptor of ours than its standard input (ours are all close-on-exec);
// it is never waited for here. The descriptor is not registered.
int output_start_command(const char *filename);

// Starts the program `path` with argv and envp the way commands are
// started (a clone sharing the daemon's memory until the exec, every
// handler reset, no signal blocked, SIGHUP ignored when ignore_hangup):
// descriptor `input` becomes standard input (-1: the daemon's is kept),
// descriptor `keep` (-1: none) is passed on although it is close-on-exec
// here, and the program starts with the signals of `blocked` blocked (null:
// none), so that they wait until it is ready for them. Returns the child's pid, or -1 (errno set) when the clone or the
// exec failed. Used for commands, and for the daemon that takes over at a
// hand-over.
pid_t output_spawn(const char *path, char *const argv[], char *const envp[], int input, int keep,
                   bool ignore_hangup, const sigset_t *blocked);

// A child process was reaped: when it was a command, it is no longer
// waited for by output_commands_wait.
void output_command_reaped(pid_t pid);

// Waits up to `ms` milliseconds for every command started and not yet
// reaped to end (their pipes closed first, so they read to end of input),
// reaping them; never a busy wait. Returns how many are still running.
int output_commands_wait(int ms);

// Opens the vhost file `path` of the VhostDir `dir` (its output number in
// *id): O_WRONLY|O_APPEND|O_CREAT|O_CLOEXEC|O_NOFOLLOW|O_NONBLOCK, mode
// 0644 or as the file settings `rules` (null: none) make it (see
// output/file_rules.h), kept only when fstat says regular file; then locked unless
// skip_locking (a refusal ends the process, as output_lock_or_exit).
// Closes least recently used vhost files first when at the cap, and again
// while the open fails with EMFILE or ENFILE. Returns the registered
// descriptor, or -1 with the message dropped and counted under its reason
// ("Cannot open %s: %s\n" said for errors other than the refusals, as a
// retry would).
int output_open_vhost_file(int *id, const char *dir, const char *path, const FileRules *rules = nullptr);

// A message for this open slot: it takes the next use stamp and moves to
// the front of the list of open vhost files (most recently used), counted
// against the cap if it was not in the list. A few pointer writes, no
// system call, no allocation.
void output_vhost_link(VhostSlot *slot);

// Closes the file of a slot (its batch written first, unlocked unless
// skip_locking), takes it out of the list and sets its fd to -1; the name
// stays with the slot.
void output_vhost_close(VhostSlot *slot);

// True when stamp a was given before stamp b (use stamps wrap).
inline bool output_vhost_older(unsigned a, unsigned b) { return static_cast<int>(a - b) < 0; }

// Open vhost files allowed: the soft open-file limit, minus the descriptors
// open now that are not vhost files, minus the reserve; at least 1.
// Computed again by each call; open_log_files calls it.
void output_plan_descriptors();
// Sets the cap directly (tests); output_plan_descriptors computes it anew.
void output_set_vhost_cap(int cap);
// Open vhost files now, and the cap.
int output_vhost_open_count();
int output_vhost_cap();

// --- Dated names -----------------------------------------------------------
//
// A DatedFile is a LogFile whose filename is a pattern (see config/dated.h);
// output_open_log_file opens it under the pattern expanded now (its
// `current` name), making the missing directories below the pattern's
// fixed part. A vhost facility with a VhostFile writes each host's lines
// to vhostdir/host/<VhostFile expanded>, every directory on the way under
// vhostdir made as needed and opened without following symlinks. Both are
// one output each, named by the pattern ("VHOSTDIR/*/PATTERN" for a
// VhostFile).

// The output number of a vhost facility (made on first use, named by its
// VhostDir, or by "VHOSTDIR/*/VHOSTFILE").
int output_of_vhosts(LogFacility *facility);

// The VhostFile of `facility` expanded for the files open now, expanded
// on first use; null when it cannot be (out of memory).
const char *output_vhost_period(LogFacility *facility);

// Opens the file of host `host` (a checked name) for a VhostFile facility:
// `path` is vhostdir/host/period, for messages. The host's directory and
// the period's directories are made (0755) when missing; each is opened
// with O_NOFOLLOW and O_DIRECTORY, so a symlink or anything but a
// directory on the way refuses the message (a regular file where a
// directory is needed: "Cannot open PATH: Not a directory"). Then as
// output_open_vhost_file.
int output_open_dated_vhost_file(LogFacility *facility, const char *host, const char *path);

// Once per loop pass, from output_tick: when the wall clock's second
// changed, expands every dated output's pattern; an output whose name
// changed has its ended period's file written out, unlocked and closed;
// the new one is opened (and locked) by its first message, so a quiet
// output makes no empty files. Returns at once without dated outputs.
void output_dated_tick();

// --- Writing -------------------------------------------------------------

// The write step: the message [data, data + length) for descriptor `fd`
// (given by route_message) is batched for a file, written whole or queued
// whole in the stream's backlog, or dropped and counted, following the
// policy of the descriptor's kind. Returns 0 when batched, written or
// queued, -1 when dropped (a batched message that fails is dropped and
// counted by the flush). An unregistered descriptor is written like a
// file at once, without counters. Copying into a batch costs no system
// call, no allocation and no clock read.
int output_write(int fd, const char *data, size_t length);

// After a hand-over (log_files_handover_finish): files with a size limit
// rotated by the other daemon meanwhile are opened again under their live
// names (see output/file_rules.h).
void output_follow_live_names();

// Writes every batch now (see Batches). Returns 0 when every batched
// message was written whole, -1 when some were dropped (counted).
int output_flush();

// --- The loop ------------------------------------------------------------

// Appends {fd, POLLOUT} for every stream whose backlog holds bytes.
void output_poll_backlogs(std::vector<pollfd> *set);

// Writes the backlogs of the descriptors among fds[0, n) whose revents is
// set (entries appended by output_poll_backlogs).
void output_write_backlogs(const pollfd *fds, size_t n);

// Once per loop pass: reads the clock, writes batches older than
// output_batch_ms, reports the drops that are due, and ends retired
// streams whose time is up. output_tick_at does the same but for the
// batches, with a clock value of `now` seconds (tests).
void output_tick();
void output_tick_at(long now);

// Reports every pending drop count now (SIGHUP, SIGTERM).
void output_report_pending();

// At exit: writes every batch, then the backlogs of every stream, retired
// ones included, as their readers take them. A stream whose reader took
// nothing for `stall_ms` is given up at once, every stream after
// `total_ms` in all: what their backlogs hold is dropped and counted
// ("abandoned"), and the retired descriptors are closed.
void output_drain(int stall_ms, int total_ms);
