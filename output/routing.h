// Message routing: which descriptor a received message is written to.
//
// route_message finds the log facility of the message's group on its
// connection and gives a descriptor, or -1 to drop the message:
//
// - plain facility: the descriptor of its LogFile, when one of its regex
//   filters matches (the filters are alternatives; none configured means
//   every message passes);
// - vhost facility: the descriptor of the file "<vhostdir>/<name>", name
//   being the message's bytes before its first space. The file is opened
//   (O_WRONLY|O_APPEND|O_CREAT|O_CLOEXEC, mode 0644) and locked the first
//   time the name is seen and remembered in the facility's VhostTable.
//
// The vhost table
// ---------------
// An array of vhost_table_size VhostSlot records, open-addressed with
// double hashing.
//
// 1. Slot states. A slot is empty when its fd is negative (-1); its name
//    is then never compared: it is null, or a stale copy left by
//    close_log_files, which is freed when the slot is filled again. A slot
//    is full when it holds an owned copy of a name together with the open
//    descriptor of that name's file. Full slots are never emptied one by
//    one: close_log_files empties the whole table (SIGHUP, SIGTERM).
// 2. Probe sequence. home = vhost_hash(name) % vhost_table_size;
//    step = vhost_probe_steps[home % 20]; probe k (k = 0 .. size-1) visits
//    slot (home + k * step) % vhost_table_size. Lookup and insertion follow
//    the same sequence. When the step and the table size share a factor,
//    the sequence covers only part of the table.
// 3. Lookup stops at the first empty slot (not found), at a slot holding
//    the same name byte for byte (found), or after vhost_table_size probes
//    (not found).
// 4. A name is remembered only together with a descriptor that opened
//    and, unless locking is skipped, was locked. A file that cannot be
//    opened leaves no trace in the table: the next message for the name
//    tries again.
// 5. A name appears at most once in a table: route_message inserts only
//    after a lookup that did not find it.
//
// Refused messages (dropped, no file opened; a diagnostic in verbose
// mode): a vhost message with no space within its length, a vhost name
// that is empty, "." or "..", or holds a '/' or a NUL byte, a path that
// does not fit vhost_path_size bytes, a name whose probe sequence holds
// no empty slot (it could never be found, closed or reopened).
//
// Failures: a vhost file that cannot be opened drops its message with
// "Cannot open %s: %s\n"; a lock refused on a descriptor that did open
// means another daemon writes the same files: "Cannot lock %s, is another
// wickerpost running?\n" and exit(1).
#pragma once

#include <cstdint>
#include <iterator>

#include "config/model.h"

// Steps of the probe sequence, chosen by the home slot.
inline constexpr int vhost_probe_steps[] = {3,  5,  7,  11, 13, 17, 23, 31, 37, 41,
                                            43, 47, 53, 59, 61, 67, 71, 73, 83, 87};
static_assert(std::size(vhost_probe_steps) == 20);

// Bytes of the path buffer of a vhost file, its terminating NUL included.
constexpr int vhost_path_size = 1024;

// Descriptor for the message (its first `length` bytes, not NUL-terminated,
// never read past), or -1 to drop it. `conf` is the connection the message
// came from, `group` its first group name. May open and lock a vhost file
// and store a copy of its name (the only allocation); ends the process on
// a refused lock.
int route_message(SpreadConf *conf, const char *group, const char *message, int length);

// Hash of a NUL-terminated name, below 2^28. Names made of the same ASCII
// bytes in another order hash alike.
uint32_t vhost_hash(const char *name);

// The fd stored for `name` in `table`, or -1 when the name is not there.
int vhost_lookup(VhostTable *table, const char *name);

// Stores {name, fd} in the first empty slot of the name's probe sequence;
// the slot takes ownership of `name` (a heap string). When fd is negative
// or the sequence holds no empty slot, nothing is stored and `name` is
// freed. Does not look for an existing entry of the same name.
void vhost_insert(VhostTable *table, char *name, int fd);
