// Wire format of the Spread client <-> daemon protocol, as pure functions
// over byte ranges: no I/O, no allocation. Used by the client library
// (spread/*.cpp) and by the test daemon (tools/minispread).
//
// Framing: every message after the handshake is a 48-byte header, then
// num_groups group names in 32-byte slots, then data_len body bytes. A reject
// message (REJECT_MESS) carries 4 more bytes, the original type, between the
// header and the group slots; those 4 bytes are not counted in data_len.
//
// Header layout (no padding):
//   0  type        int32   service bits | endian marker
//   4  sender      32      private group of the sender (group name for
//                          membership messages), NUL-padded
//   36 num_groups  int32
//   40 hint        int32   (mess_type << 8) & 0x00FFFF00 | endian marker
//   44 data_len    int32
//
// Byte order: every integer is in the host order of its writer. A writer on
// a little-endian host ORs the marker 0x80000080 into type and hint; a
// big-endian writer leaves those bits clear. A reader compares
// (field & 0x80000080) with its own marker and byte-swaps on a mismatch:
// type, num_groups and data_len by the type's marker, the hint by its own.
// The daemon re-encodes type, num_groups and data_len in its own order but
// forwards the sender's hint bytes unchanged, so the two can differ.
//
// Decoders never read outside [p, limit) and report short or malformed
// input as a result; counts and lengths from the wire are never trusted.
#pragma once

#include <cstddef>
#include <cstdint>

#include "spread/sp.h"

constexpr size_t WIRE_HEADER_SIZE = 48;
constexpr size_t WIRE_GROUP_SIZE = MAX_GROUP_NAME;
constexpr size_t WIRE_OLD_TYPE_SIZE = 4;         // after the header of a reject message
constexpr uint32_t WIRE_ENDIAN_MARKER = 0x80000080;

// Message types the library sends to the daemon only (never in sp.h).
constexpr uint32_t WIRE_JOIN_MESS = 0x00010000;
constexpr uint32_t WIRE_LEAVE_MESS = 0x00020000;
constexpr uint32_t WIRE_KILL_MESS = 0x00040000;
constexpr uint32_t WIRE_GROUPS_MESS = 0x00080000;  // daemon to daemon only

constexpr int WIRE_MAX_GROUPS = 100;                 // per message; the daemon kills above this
constexpr int32_t WIRE_MAX_DATA_LEN = 144000;        // data_len accepted by the daemon
constexpr int32_t WIRE_MAX_DAEMON_PAYLOAD = 143952;  // data_len + 32 * num_groups, daemon check
// The largest 48 + 32 * groups + body a real daemon stores without dying;
// the library refuses anything bigger (body > 143152 - 32 * groups).
constexpr int32_t WIRE_MAX_STORED_MESSAGE = 143200;
constexpr int32_t WIRE_MAX_BODY_ONE_GROUP = WIRE_MAX_STORED_MESSAGE - (int32_t)WIRE_HEADER_SIZE -
                                            (int32_t)WIRE_GROUP_SIZE;  // 143120

// Body of a join/leave/disconnect membership message: group id (12), number
// of vs-sets (4), offset of the receiver's vs-set from byte 20 (4), then the
// vs-sets, each a member count (4) and that many 32-byte names.
constexpr size_t WIRE_MEMB_VS_BASE = 20;
constexpr size_t WIRE_MEMB_BODY_SIZE = 56;  // one vs-set with one member

// One decoded header. Integers are in host order.
struct WireHeader {
    uint32_t type;         // service bits, endian marker cleared
    char sender[MAX_GROUP_NAME];  // the 32 bytes as they were on the wire
    int32_t num_groups;    // may be negative or huge when the writer is broken
    uint32_t hint_raw;     // the 4 hint bytes exactly as written (memcpy, no swap)
    int32_t data_len;      // may be negative or huge when the writer is broken
    bool foreign;          // type, num_groups and data_len came in the other byte order
};

// True when this host is little-endian (and so writes the marker).
bool wire_host_little_endian();

// Reads a 4-byte integer at p, byte-swapped when swap is set.
uint32_t wire_load_u32(const unsigned char *p, bool swap);
// Writes v at p in host order.
void wire_store_u32(unsigned char *p, uint32_t v);
uint32_t wire_swap_u32(uint32_t v);

// Decodes the 48 header bytes at [p, limit). Returns 0, or -1 (nothing
// written) when fewer than 48 bytes are there.
int wire_header_decode(const unsigned char *p, const unsigned char *limit, WireHeader *h);
// Writes h as 48 bytes at out, in host order with the host's marker in type;
// hint_raw is copied as is.
void wire_header_encode(const WireHeader *h, unsigned char *out);

// The raw hint a sender on this host writes for mess_type.
uint32_t wire_hint_encode(int16 mess_type);
// The hint in host order with its marker cleared; *swapped (may be null) is
// set when the writer's byte order differs from this host's.
uint32_t wire_hint_value(uint32_t hint_raw, bool *swapped);
// mess_type carried by a raw hint (sign kept); *swapped as above.
int16 wire_hint_mess_type(uint32_t hint_raw, bool *swapped);

// Old type of a reject message: the 4 bytes after the header, swapped by the
// header's byte order, marker cleared.
uint32_t wire_old_type_decode(const unsigned char *p, bool foreign);

// Bytes that follow the 48-byte header for this header: the old type of a
// reject message (when daemon_to_client), the group slots and the body.
// Returns -1 when num_groups or data_len is negative. Never overflows.
int64_t wire_payload_size(const WireHeader *h, bool daemon_to_client);

// Fills a 32-byte group slot with name cut to 31 characters, zero-padded.
void wire_group_slot(char slot[MAX_GROUP_NAME], const char *name);
// True when name is 1..31 characters, each in '$'..'~' (what SP_join and
// SP_leave accept; also the rule for private and daemon names).
bool wire_name_char_legal(unsigned char c);
bool wire_group_name_legal(const char *name);

// Index (0-based) of the 32-byte slot equal to name (compared over 32
// bytes, name zero-padded) among count slots at groups, or -1.
int wire_group_index(const char *groups, int count, const char *name);

// A message body in pieces, in order: one for a plain buffer, a scatter's
// elements otherwise. The body is its first len bytes; pieces beyond them
// (or the room of the last one beyond them) are not part of it.
struct WireBody {
    const scat_element *pieces;
    size_t count;
    size_t len;
};

// The body of one contiguous buffer; piece is filled to describe it.
WireBody wire_body_of(const unsigned char *p, size_t len, scat_element *piece);
// Copies n bytes from offset at of the body into out. False (out
// unspecified) when they do not lie within len and the pieces' room.
bool wire_body_read(const WireBody *b, uint64_t at, void *out, size_t n);
// Copies n bytes from in over the body at offset at; false as above.
bool wire_body_write(const WireBody *b, uint64_t at, const void *in, size_t n);

// Parses a membership body for a message of the given service type (marker
// cleared). REG_MEMB_MESS bodies give the group id, the vs-set count, the
// receiver's vs-set (members_offset counted from the body start) and, for
// join/leave/disconnect, the changed member. TRANSITION_MESS bodies give
// the group id only. Returns 0, or -1 (info unspecified) for other service
// types (a self-leave has no body) and for bodies that are short or whose
// counts and offsets point outside the body.
int wire_memb_info(const WireBody *b, uint32_t service_type, membership_info *info);
int wire_memb_info(const unsigned char *body, size_t len, uint32_t service_type,
                   membership_info *info);

// Walks the vs-sets of a regular membership body: each a member count and
// that many 32-byte names, one after the other from byte 20. Fills sets
// (room for max) and *my_index (the vs-set the local offset points at; may
// be null). Returns the number of vs-sets; -1 when the body does not hold
// them all or the local offset is not where one of them starts; -2 when
// there are more than max (nothing filled).
int wire_vs_sets(const WireBody *b, vs_set_info *sets, size_t max, unsigned int *my_index);
// Copies the names of one vs-set into names (room for max), each cut to 31
// characters and NUL-terminated. Returns the number of names; -1 when they
// lie beyond the body; -2 when there are more than max (nothing copied).
int wire_vs_set_members(const WireBody *b, const vs_set_info *set, char (*names)[MAX_GROUP_NAME],
                        size_t max);

// Byte-swaps, in place, the integers of a REG_MEMB_MESS body written in the
// other byte order: group id, vs-set count, local offset and each vs-set's
// member count. Stops at the first integer that does not fit in len, so a
// truncated or hostile body is swapped as far as it goes.
void wire_memb_swap(const WireBody *b);
void wire_memb_swap(unsigned char *body, size_t len);

// Writes a join/leave/disconnect membership body (one vs-set holding the
// changed member, a name cut to 31 characters and zero-padded) in host
// order: 56 bytes at out.
void wire_memb_body_encode(unsigned char out[WIRE_MEMB_BODY_SIZE], const int32 gid[3],
                           const char *changed_member);
