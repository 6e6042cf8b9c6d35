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
// a message boundary), NAME.Keep (and its compressed form) is removed,
// NAME.i becomes NAME.i+1 from the oldest down, NAME becomes NAME.1, and a
// new NAME is opened (with the creation rules above), locked, and put in
// place of the old descriptor with dup3, so the number every table holds
// stays valid and the lock follows the live name. A message is never
// split: one longer than the limit lands alone in a fresh file. A rename
// that fails is said ("Cannot rotate %s: %s\n") and the file is written on
// past its limit until another limit's worth of bytes has been taken,
// when rotation is tried again. A lock refused on the new file ends the
// process as any refused lock does.
//
// Idle files and sync (file_sync.cpp)
// -----------------------------------
// Ten times a second of the loop's clock: a DatedFile or host file with
// IdleClose that took no message for that many seconds is closed (its
// batch written first); its next message opens it again. A file with
// SyncInterval that was written since its last sync gets an fdatasync at
// most once per interval, done by a thread of this module on a duplicate
// of its descriptor, so the loop never waits for the disk.
#pragma once

#include <cstddef>

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

// The names NAME.i and NAME.i.zst / NAME.i.gz of rotated file i (0: NAME).
std::string rotated_name(const std::string &live, int i, const char *suffix = "");

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
