// The file settings of a Log block (FileRules, config/model.h) as the
// write path applies them to the regular files it writes: a File, a
// DatedFile, each host's file under a VhostDir. Internal to the write
// path, like writer_internal.h, which includes it.
//
// Creation (file_create.cpp)
// --------------------------
// With FileMode, FileOwner or FileGroup, a file is opened without O_CREAT
// first; only when it is missing is it created (O_CREAT|O_EXCL), and then
// fchown (owner, group) and fchmod (mode) are applied to the new
// descriptor, so the umask masks nothing and a file that exists already
// keeps its own owner and mode. Directories the daemon makes (a DatedFile's
// or VhostFile's) get DirMode the same way: mkdir, then open without
// following a symlink, fchown and fchmod. A refused fchown or fchmod
// (no CAP_CHOWN, say) is said once per output as
// "Cannot set owner or mode of %s: %s\n" and the file is used as it is.
//
// Size limit (rotate.cpp)
// -----------------------
// With MaxSize, a file's descriptor knows the file's size (fstat at open,
// then every byte handed to the write step). When a message would take
// the file past the limit and the file holds anything, the file is
// rotated before the message is taken: its batch is written (so it ends at
// a message boundary), the run of numbers there are from NAME.1 up to the
// first free one moves up by one, NAME.i becoming NAME.i+1 from the oldest
// down (NAME.Keep, plain or compressed, removed when the run reaches it),
// NAME becomes NAME.1, and a new NAME is opened (with the creation rules
// above), locked, and put in place of the old descriptor with dup3, so the
// number every table holds stays valid and the lock follows the live
// name. A message is never split: one longer than the limit lands alone in
// a fresh file. A rename that fails is said ("Cannot rotate %s: %s\n") and
// the file is written on past its limit until another limit's worth of
// bytes has been taken, when rotation is tried again. A lock refused on
// the new file ends the process as any refused lock does.
//
// Idle files and sync (file_sync.cpp)
// -----------------------------------
// Ten times a second of the loop's clock: a DatedFile or host file with
// IdleClose that took no message for that many seconds is closed (its
// batch written first); its next message opens it again. A file with
// SyncInterval that was written since its last sync gets an fdatasync at
// most once per interval, done by a thread of this module on a duplicate
// of its descriptor, so the loop never waits for the disk. A file is also
// synced when it is closed (rotation, period end, idle, SIGHUP), and the
// directory a file or directory was made in is synced after. At SIGTERM and
// before a hand-over gives up the outputs, the syncs asked are waited for
// and every file is synced before its lock is given up.
//
// Compression (compress.cpp)
// --------------------------
// With Compress, every file closed for good (NAME.1 after a rotation, the
// file of a DatedFile's or VhostFile's ended period) is compressed by a
// thread of this module, one file at a time, from a queue of at most
// 64 files (a file closed while it is full stays as it is, counted among
// the failed ones). The compressed data goes to an unnamed file of the
// same directory (O_TMPFILE; "NAME.zst.tmp" or "NAME.gz.tmp" where the
// file system has none), which is synced, then named NAME.zst or NAME.gz;
// only then is NAME removed. The shifts of a rotation and that last step
// hold one lock, so a file moved on from NAME.1 to NAME.2 meanwhile is
// named NAME.2.zst, and one shifted past Keep is given up. A stop at any
// moment leaves every closed file complete, as itself or compressed. When
// a file with MaxSize and Compress is first opened, what an earlier run
// left is put right: "*.tmp" files removed, an original beside its
// compressed form removed, a rotated file not yet compressed queued. So
// it is for a DatedFile's or VhostFile's ended periods when the output
// first opens a file: every file its pattern names, but the live period's,
// is looked at, so that a period the stopped run never queued (or queued
// and never did) is compressed too. A failed compression leaves the file
// as it is and is said ("Cannot compress %s: %s\n"), once per file; an
// ended period's compressed name is never replaced (a name that comes
// round again, as a weekday's, holds an earlier period).
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "config/model.h"

namespace writer {

struct Descriptor;

// --- file_create.cpp ---------------------------------------------------------

// openat(dir, path, flags) of a regular file the write path writes, with
// O_CREAT among `flags`: created with mode 0644 as ever, or, when `rules`
// give FileMode, FileOwner or FileGroup, as described under Creation.
// Returns the descriptor, or -1 with errno set. `out` names the output
// whose report is said once.
int open_created(int dir, const char *path, int flags, const FileRules *rules, int out);

// mkdirat(dir, name) for a directory the write path needs: 0755 as ever,
// or DirMode, FileOwner and FileGroup applied as under Creation. 0 when it
// was made or exists already, -1 with errno set otherwise.
int make_directory(int dir, const char *name, const FileRules *rules, int out);

// --- rotate.cpp --------------------------------------------------------------

// A regular file `fd` of the write path was just registered, opened under
// `path`, with the settings `rules` (null, or none given: nothing done).
void file_opened(int fd, const FileRules *rules, const char *path);

// Before a message of `length` bytes is taken for file fd (whose rules are
// set): rotates it first when the message would take it past MaxSize (the
// descriptor number stays the same), then accounts the message.
void file_take(int fd, Descriptor &d, size_t length);

// After a hand-over: a file with MaxSize whose live name the daemon that
// handed over rotated meanwhile (the descriptor holds NAME.1 now) is opened
// anew under its live name, locked, and put in place of the old one.
void follow_live_names();

// The names NAME.i and NAME.i.zst / NAME.i.gz of rotated file i (0: NAME).
std::string rotated_name(const std::string &live, int i, const char *suffix = "");

// --- compress.cpp ------------------------------------------------------------

// Queues NAME.1 of `live` (just rotated) for compression, when `rules`
// give Compress. `keep`: the Keep in force.
void compress_rotated(int output, const FileRules *rules, const std::string &live, int keep);
// Queues the file `path`, closed for good at the end of its period.
void compress_closed(int output, const FileRules *rules, const std::string &path);
// Runs `shift` (the renames of a rotation of `live`) under the lock the
// compressor names its files under; it gives the numbers [*lowest,
// *highest] it moved up by one (a file moved past `keep` is removed), and
// the rotated files of those numbers queued or being compressed are known
// by their new numbers.
void shift_rotated(const std::string &live, int keep, const std::function<bool(int *lowest, int *highest)> &shift);
// The leftovers of an earlier run for `live` (once per live name).
void compress_recover(int output, const FileRules *rules, const std::string &live, int keep);
// The files of the ended periods of DatedFile `pattern` an earlier run
// left uncompressed (a stop before it queued them, or before they were
// done): every file the pattern can name, with a rotated file's number or
// none, but the period `current` and its rotated files (once per pattern).
void compress_recover_periods(int output, const FileRules *rules, const char *pattern, const char *current);
// The same for each host's files under `vhostdir`, VhostFile `pattern`,
// the period `period` (its expansion now) being the live one.
void compress_recover_host_periods(int output, const FileRules *rules, const char *vhostdir, const char *pattern,
                                   const char *period);
// Files queued or being compressed now.
size_t compress_waiting();
// Takes in what the compressor did since the last call (counters).
void compress_results();

// --- period_files.cpp --------------------------------------------------------

// The files of the ended periods of the dated name `pattern` (a path):
// every regular file that the pattern can name, with a rotated file's
// number (NAME.i) or none, but the period `current` and its rotated files,
// in name order. On the way, what an interrupted compression (to
// `suffix`) left is put right: "NAME.zst.tmp" files removed, an original
// beside a compressed form made after its last write removed.
std::vector<std::string> ended_period_files(const std::string &pattern, const std::string &current,
                                            const char *suffix);

// The directories in `dir` (not symlinks to one), in name order.
std::vector<std::string> directories_in(const std::string &dir);

// --- file_sync.cpp -----------------------------------------------------------

// Set by output_drain: the outputs are closed for good next (SIGTERM, a
// hand-over), so a sync at a close is done at once, before the unlock.
extern bool final_close;

// A file with settings was registered (file_opened): idle closes and
// syncs look at it from now on.
void file_tracked(int fd, Descriptor &d);

// The monotonic clock in milliseconds as the last loop pass read it.
extern long pass_ms;

// Once per loop pass with the clock `now` (milliseconds, monotonic): ten
// times a second, idle files closed, syncs asked, the sync thread's
// results taken in.
void files_tick(long now);

// Asks the sync thread for an fdatasync of fd's file now (a rotation, a
// period's end, a close): a duplicate of the descriptor is handed over, so
// fd may be closed at once.
void sync_soon(int fd);

// Asks the sync thread for an fsync of the directory that holds `path`
// (relative to `dir`, or AT_FDCWD), once a file or directory with
// SyncInterval was made in it.
void sync_directory_soon(int dir, const char *path);

// At exit: waits until every sync asked has been done.
void sync_finish();

}  // namespace writer
