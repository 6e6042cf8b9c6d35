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
//   (output_open_vhost_file: regular files only, symlinks not followed)
//   and locked the first time the name is seen and remembered in the
//   facility's VhostTable.
//
// A plain facility whose LogFile is closed (an open that failed, a
// command that could not be restarted) is opened again for the message.
// Every message dropped on the way is counted for its output (output_drop):
// a refused vhost name, a file that is not regular, an output that cannot
// be opened, the open-file limit. A message that no filter matches, or
// whose group has no facility here, is not a loss: nobody asked for it.
//
// The vhost table
// ---------------
// An array of vhost_table_size VhostSlot records, open-addressed with
// double hashing.
//
// 1. Slot states. Empty: name null (fd -1). Open: an owned copy of a name
//    and the open descriptor of that name's file, in the list of open
//    vhost files (output_vhost_link). Remembered: the name, its file
//    closed (fd -1) to stay under the descriptor cap; it is opened again,
//    in the same slot, on the name's next message. Open and remembered
//    slots are full. Slots are never emptied one by one: close_log_files
//    empties the whole table (SIGHUP, SIGTERM).
// 2. Probe sequence. home = vhost_hash(name) % vhost_table_size;
//    step = vhost_probe_steps[home % 20] (20 steps in the table); probe k
//    (k = 0 .. n-1, n = the smaller of vhost_table_size and
//    vhost_probe_limit) visits slot (home + k * step) % vhost_table_size.
//    Lookup and insertion follow the same sequence, in one walk. When the
//    step and the table size share a factor, the sequence covers only part
//    of the table.
// 3. Lookup stops at the first empty slot (not found), at a full slot
//    holding the same name byte for byte (found: the slot keeps the
//    name's hash, so other names are passed over without comparing
//    bytes), or after n probes (not found).
// 4. Insertion takes the first empty slot of the sequence. When the
//    sequence holds none, the least recently used slot of the sequence
//    (by use stamp) is taken over in place: its file closed, its name
//    forgotten. The slot stays full, so no other name's probe chain
//    through it breaks, and no message is dropped because the table is
//    full.
//
// The cost of a message is one hash and, as a rule, one probe, whatever
// the number of names: the hash spreads names of one shape (same length,
// same letters in another order, a counter in them) over the whole table,
// and no walk is longer than vhost_probe_limit probes, even in a full
// table, where every new name would otherwise walk all of it. A table as
// large as the open-file limit fills up exactly when a farm has as many
// hosts as descriptors.
// 5. A name is remembered only together with a file that opened and,
//    unless locking is skipped, was locked. A file that cannot be opened
//    leaves no new trace in the table: the next message for the name
//    tries again.
// 6. A name appears at most once in a table: route_message inserts only
//    after the walk did not find it.
//
// Refused messages (dropped and counted as "refused vhost name", no file
// opened; a diagnostic in verbose mode): a vhost message with no space
// within its length, a vhost name that is empty, "." or "..", or holds a
// '/' or a NUL byte, a path that does not fit vhost_path_size bytes.
//
// Failures: a vhost file that cannot be opened drops its message (see
// output_open_vhost_file); a lock refused on a descriptor that did open
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

// Probes of one walk at most (see 2. above).
constexpr uint32_t vhost_probe_limit = 64;

// Bytes of the path buffer of a vhost file, its terminating NUL included.
constexpr int vhost_path_size = 1024;

// Descriptor for the message (its first `length` bytes, not NUL-terminated,
// never read past), or -1 to drop it. `conf` is the connection the message
// came from, `group` its first group name. May open and lock a vhost file
// (closing the least recently used ones to stay under the cap) and store a
// copy of its name (the only allocation), or open a closed LogFile again;
// ends the process on a refused lock.
int route_message(SpreadConf *conf, const char *group, const char *message, int length);

// route_message for the facility found already (the message's group's on
// its connection); -1 for a null facility.
int route_facility_message(LogFacility *facility, const char *message, int length);

// Hash of a NUL-terminated name: 32-bit FNV-1a over its bytes, then
// mixed (murmur3's finalizer) so that every bit of it depends on every
// byte; the table takes its home slot from the low bits.
uint32_t vhost_hash(const char *name);

// The fd stored for `name` in `table`: its descriptor when the slot is
// open, -1 when it is remembered with its file closed or the name is not
// there.
int vhost_lookup(VhostTable *table, const char *name);

// Stores {name, fd} in the first empty slot of the name's probe sequence
// and links it into the list of open vhost files; the slot takes ownership
// of `name` (a heap string). When fd is negative or the sequence holds no
// empty slot, nothing is stored and `name` is freed. Does not look for an
// existing entry of the same name, and takes no slot over.
void vhost_insert(VhostTable *table, char *name, int fd);

// Empties every slot of `table`: each open file is unlocked (unless
// skip_locking) and closed, each name freed. A slot holding descriptor 0
// is left as it is.
void vhost_table_close(VhostTable *table);
