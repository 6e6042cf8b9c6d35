// minispread's side of the Spread client-daemon protocol, as pure functions
// over byte ranges: the connect handshake, the check of a client's message
// header, and the pieces of what the daemon sends that the shared wire
// helpers (spread/wire.h) do not cover.  No I/O here; the other files of
// tools/minispread/ do the sockets.
//
// Integers the daemon writes are in host order with the host's endian marker.
// Readers never look past the n bytes they are given.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "spread/sp.h"
#include "spread/wire.h"

namespace ms {

constexpr uint32_t HINT_BITS = 0x80FFFF80;   // everything a legal hint may carry
constexpr int MAX_NAME = MAX_PRIVATE_NAME;   // private name, characters
constexpr int MAX_DAEMON_NAME = MAX_PROC_NAME - 1;
constexpr size_t AUTH_REPLY_SIZE = 90;       // 3 slots of 30 bytes

// Version of this daemon as announced in the accept reply.
constexpr int VERSION_MAJOR = 5, VERSION_MINOR = 0, VERSION_PATCH = 1;

// Client library versions as major*10000 + minor*100 + patch.
constexpr int OLDEST_CLIENT = 30100;       // older ones are rejected
constexpr int PATCH_BYTE_AFTER = 31400;    // above this the client sends a patch byte
constexpr int AUTH_LIST_SINCE = 31600;     // older clients skip the auth exchange
constexpr int ACCEPT_PATCH_SINCE = 31500;  // older clients get no patch byte back

// True when p[0, n) is 1..max characters, all legal name characters ('$'..'~').
bool ms_legal_name(const char *p, size_t n, size_t max);

enum MsParse { MS_NEED_MORE, MS_DONE, MS_REJECT };

// What the client asked for in its connect message.
struct MsConnect {
    int version;                  // major*10000 + minor*100 + patch
    bool membership;              // wants membership messages
    int name_len;                 // 0: anonymous
    char name[MAX_NAME + 1];      // NUL-terminated
    size_t consumed;              // bytes of the connect message
};

// Parses the connect message at the start of p[0, n): major, minor, a patch
// byte for versions above 3.14, flags, name length, name.  MS_NEED_MORE when
// incomplete; MS_REJECT with *code set (REJECT_VERSION, REJECT_ILLEGAL_NAME)
// when refused; MS_DONE with *req filled otherwise.  Name uniqueness is the
// caller's business.
MsParse ms_parse_connect(const uint8_t *p, size_t n, MsConnect *req, int *code);

// Checks the 90-byte auth reply at p: every named method must be "NULL" and
// at least one must be named.
bool ms_auth_ok(const uint8_t *p);

// The auth-method list the daemon offers: a length byte, then "NULL ".
// Writes 6 bytes; returns 6.
size_t ms_put_auth_list(uint8_t *out);

// The accept reply for private group pg (cut to 31 characters) to a client of
// the given version; out needs 5 + 31 bytes.  Returns its length.
size_t ms_put_accept(uint8_t *out, int client_version, const char *pg);

enum MsHeaderFault {
    MS_HEADER_OK,
    MS_BAD_KIND,          // not exactly one of the six services, JOIN, LEAVE, KILL
    MS_BAD_SENDER,        // sender field is not this session's private group
    MS_BAD_GROUP_COUNT,   // outside 0..100
    MS_BAD_HINT,          // bits outside 0x80FFFF80
    MS_BAD_LENGTH,        // body or body + groups too large, or negative
};

// Checks a client's decoded header (wire_header_decode) for the session
// named `name` on the daemon named `daemon`.  Any fault means the session is
// to be killed.  Only the sender's first 31 bytes count.
MsHeaderFault ms_check_header(const WireHeader *h, const char *name, const char *daemon);

// Text of a fault, for diagnostics.
const char *ms_header_fault_text(MsHeaderFault f);

// Writes a 48-byte header: type with the host marker, sender (a name cut to
// 31 characters, zero-padded), num_groups and data_len in host order, and
// the 4 hint bytes as given (wire_hint_encode(0) for the daemon's own
// messages, the sender's bytes for forwarded ones).
void ms_put_header(uint8_t *out, uint32_t type, const char *sender, int32_t num_groups,
                   uint32_t hint_raw, int32_t data_len);

// Length of the name in a 32-byte slot: up to its first NUL, at most 31.
size_t ms_slot_len(const uint8_t *slot);

// Identifier of a daemon derived from its name (first part of group ids).
int32_t ms_daemon_id(const char *name);

}  // namespace ms
