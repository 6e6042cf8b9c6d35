// Internals of the write path, shared by its source files and by nothing
// else:
//
//   writer_drops.cpp        the outputs' records, their drop counts and
//                           reports, and the clock read once per loop pass
//                           (it calls none of the others);
//   writer_open.cpp         opening, locking and closing outputs, piped
//                           commands;
//   writer_descriptors.cpp  the registered descriptors, and the streams
//                           retired with a backlog;
//   writer_backlog.cpp      the streams' backlogs;
//   writer_step.cpp         the write step: the batches of files, streams
//                           written or queued, a reader that ended replaced;
//   writer_loop.cpp         the loop's calls: backlogs polled and written,
//                           the tick, the exit drain;
//   writer_vhosts.cpp       the list of open vhost files and their
//                           descriptor budget;
//   writer_dated.cpp        dated names: DatedFile outputs and VhostFile
//                           files, the change of their periods;
//   file_create.cpp         files and directories made with the modes and
//                           owners of their Log block;
//   rotate.cpp              the size limit: a file shifted to NAME.1...
//                           and opened anew at a message boundary;
//   file_sync.cpp           idle files closed, written files synced.
#pragma once

#include <sys/types.h>
#include <sys/uio.h>

#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "output/clock.h"
#include "output/writer.h"

namespace writer {

// A clock value that no report or open was ever said at.
constexpr long never = LONG_MIN;

// The counters of one output (see "Outputs" in writer.h).
struct Output {
    char *path;                                  // owned copy
    const char *kind;                            // static text
    unsigned long messages;                      // written whole
    unsigned long long bytes;                    // written
    unsigned long dropped[OUTPUT_DROP_REASONS];  // since start
    unsigned long pending[OUTPUT_DROP_REASONS];  // since the last report
    long reported_at[OUTPUT_DROP_REASONS];       // clock of the last report, or never
    unsigned long filtered;                      // not selected by Match
    long long last_write_ms;                     // coarse Unix ms of the last whole write, 0: none
    int write_errno;                             // last write error, its text for reports
    int open_errno;                              // last open error said, 0 after a success
    long open_said_at;                           // clock when it was said
    int restarts;                                // command restarts in the current window
    long restart_window_at;                      // clock when that window began
    bool vhost;                                  // a VhostDir
    // Files with settings (output/file_rules.h), for the metrics.
    bool has_rules;                              // a file with settings was opened
    unsigned long file_opens;                    // regular files opened
    unsigned long idle_closes;                   // files closed for idleness
    unsigned long evictions;                     // host files closed for the descriptor limit
    unsigned long rotations;                     // size rotations done
    unsigned long syncs;                         // fdatasync calls ended
    int sync_errno;                              // the last one's error, 0 when it worked
    long long synced_at;                         // Unix time of the last that worked, 0: none
    unsigned long compressed;                    // closed files compressed
    unsigned long compress_failed;               // closed files left as they were
    unsigned long long compress_bytes_before;    // their size, of those compressed
    unsigned long long compress_bytes_after;     // the size of their compressed forms
};

// --- writer_drops.cpp: outputs, losses and the clock ----------------------

// Seconds, monotonic: read once per loop pass (output_tick), or on first
// use after the process started (ensure_clock).
extern long clock_now;
void ensure_clock();
// Sets the clock to `now`. When it moved since the last call, reports the
// pending counts whose report interval is up and returns true; false, and
// nothing reported, when it did not.
bool clock_tick(long now);

// The record of output `id`; null for 0 or an unknown number.
Output *output_at(int id);
// One message of `length` bytes written whole for output `id` (0: none).
void count_written(int id, size_t length);
// "Cannot open %s: %s\n", at a retry only when the error changed or a
// report interval passed since it was last said for output `id`.
void say_cannot_open(int id, const char *path, int error, OutputOpenTime when);

// --- writer_backlog.cpp: the streams' backlogs ------------------------------

// Messages waiting for a stream, oldest first: their bytes in
// bytes[start, end), the bytes still to write of each in lengths[first..].
// head_taken: some bytes of the first message were written already, so
// its rest may go nowhere but to the same descriptor.
struct Backlog {
    char *bytes = nullptr;
    size_t start = 0, end = 0, capacity = 0;
    std::vector<uint32_t> lengths;
    size_t first = 0;
    bool head_taken = false;

    ~Backlog() { free(bytes); }
    size_t size() const { return end - start; }
    size_t messages() const { return lengths.size() - first; }
    bool empty() const { return end == start; }
};

// Empties `b`, keeping its memory.
void backlog_clear(Backlog *b);
// Appends a message, or its rest when `taken`; false, nothing appended, without memory.
bool backlog_add(Backlog *b, const char *data, size_t length, bool taken);
// n bytes from the front were written; finished messages count for output `id`.
void backlog_advance(Backlog *b, size_t n, int id);
// Removes the (rest of the) first message.
void backlog_drop_head(Backlog *b);
// Bytes waiting in the backlogs of output `id`, retired streams included.
size_t backlog_bytes(int id);
// Drops and counts what stream fd's backlog holds as abandoned, and empties it.
void abandon_backlog(int fd);

// --- writer_descriptors.cpp: the registered descriptors --------------------

// What a registered descriptor is written as (see "Descriptors" in
// writer.h).
enum Kind : unsigned char { KIND_NONE, KIND_FILE, KIND_STREAM };

// What the module knows of one open descriptor.
struct Descriptor {
    Kind kind = KIND_NONE;
    bool retired = false;        // closed with a backlog: written out, then closed
    int output = 0;              // its output's number
    LogFile *file = nullptr;     // the LogFile holding it (File outputs, until retired)
    Backlog *backlog = nullptr;  // streams, from their first queued message; owned
    long retire_until = 0;       // clock when a retired stream gives up
    dev_t dev = 0;               // streams named by a path: the FIFO or device itself
    ino_t ino = 0;
    std::vector<iovec> batch;    // files: messages copied into the arena, not written yet
    size_t batch_bytes = 0;
    // Files whose Log block gives file settings (see output/file_rules.h);
    // rules stays null for every other descriptor, which then costs the
    // write step nothing more.
    const FileRules *rules = nullptr;  // the settings, owned by the model
    std::string live;                  // the path it was opened under
    unsigned long long size = 0;       // bytes in the file, batched ones included
    long active = 0;                   // pass_ms of its last message
    bool dirty = false;                // written since its last sync was asked
    long synced_at = 0;                // pass_ms when that sync was asked
};

// The records of the registered descriptors, indexed by descriptor number.
extern std::vector<Descriptor> &descriptors;
// The registered stream descriptors, retired ones included, in no order.
extern std::vector<int> &streams;

// The record of registered descriptor `fd`; null when it is not registered.
inline Descriptor *descriptor_at(int fd)
{
    if (fd < 0 || static_cast<size_t>(fd) >= descriptors.size() || descriptors[fd].kind == KIND_NONE)
        return nullptr;
    return &descriptors[fd];
}

// Registers `fd` (a number reused behind our back is forgotten first)
// with its kind, its output's number and the LogFile holding it (File
// outputs; null for vhost files). A negative fd is ignored.
void register_descriptor(int fd, Kind kind, int id, LogFile *file);
// Writes a descriptor's batch, unlocks it (unless skip_locking), closes
// it and forgets it.
void close_descriptor(int fd);
// Descriptors registered now.
long registered_descriptors();

// Stream `fd` was opened on the FIFO or device dev/ino. A retired
// descriptor of ours still writing to the same one hands its backlog over
// (a partly written first message included: it is the same pipe) and is
// closed, so the new descriptor's lock can be taken and no two writers
// interleave.
void take_over_retired(int fd, dev_t dev, ino_t ino);
// When `fd` is a stream whose backlog holds bytes, retires it (written
// out as its reader takes it, for output_retire_seconds at most, then
// closed) and returns true; false and nothing done otherwise.
bool retire_stream(int fd);
// Abandons the backlogs of retired streams whose time is up at `now` and closes them.
void close_expired_retired(long now);

// --- writer_step.cpp: the write step ----------------------------------------

// The descriptors with a batch, in the order their first message was taken.
extern std::vector<int> &batched;
// True once output_tick timed the present batches.
extern bool batches_timed;
// The clock (milliseconds) at the end of the pass that began them, once timed.
extern long batches_since_ms;

// Takes fd off the list of batched descriptors; the arena is reused when none is left.
void unlist_batch(int fd);
// Writes the batch of descriptor fd, if it has one.
void flush_batch(int fd);
// Writes what stream fd's reader takes now; a retired one empty is closed.
void service_stream(int fd);

// --- writer_loop.cpp: the loop's calls --------------------------------------

// True while output_drain runs: no command is started anew.
extern bool exiting;

// --- writer_dated.cpp: dated names ---------------------------------------

// Sets file->current to the DatedFile's pattern expanded now and keeps the
// file among those output_dated_tick checks.
void dated_file_name(LogFile *file);
// open(2) of a DatedFile's current name with `flags` (mode 0644), making
// the missing directories below the pattern's fixed part (0755) when the
// first try finds none.
int open_dated_file(const LogFile *file, int flags);

// --- writer_open.cpp: the end of a vhost file's open ----------------------

// What output_open_vhost_file does with the result of its open: `fd` (or
// -1 with `error`) for the file `path` of output `out`, kept only when a
// regular file, then locked and registered (with the file settings
// `rules`, which may be null); -1 with the message dropped and counted
// under its reason otherwise.
int finish_vhost_open(int out, int fd, int error, const char *path, const FileRules *rules);

// --- writer_vhosts.cpp: the open vhost files ------------------------------

// Closes the least recently used vhost file; false when none is open.
bool close_least_recent();
// Closes the vhost files with IdleClose that took no message for that
// long at clock `now` (milliseconds), from the least recently used on, until one that
// was used within the shortest IdleClose of any host file.
void close_idle_vhost_files(long now);
// A host file with IdleClose `seconds` was opened.
void note_idle_close(int seconds);
// Before a vhost file is opened: plans the cap if it was not, and closes
// least recently used vhost files while the cap is reached.
void make_room_for_vhost_file();

// Runs open() again, after closing the least recently used vhost file,
// while it fails for want of descriptors (EMFILE, ENFILE) and a vhost file
// is open. Returns the last result, errno as open() left it.
template <class Open>
int open_making_room(Open open)
{
    for (;;) {
        int fd = open();
        if (fd >= 0 || (errno != EMFILE && errno != ENFILE) || !close_least_recent())
            return fd;
    }
}

}  // namespace writer

#include "output/file_rules.h"
