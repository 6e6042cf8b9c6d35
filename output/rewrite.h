// Message rewriting: the bytes written for a routed message.
//
// prepare_message works in place in the receive buffer: when the facility
// asks for it, the first bracketed field of the message ("[" up to the
// first "]" after it, both included) is replaced by the local time at
// which the message is handled; then a vhost facility's message loses its
// first word and the space after it (only the start pointer moves).
//
// The new field:
// - REWRITE_CLF: "[%02d/%s/%d:%02d:%02d:%02d %c%.2d%.2d]", day, English
//   month abbreviation, year, hour, minute, second, then the offset of the
//   local time from UTC as '+' (at or east of UTC) or '-' (west), hours,
//   minutes. The offset is the broken-down time's own (tm_gmtoff), so it
//   always agrees with the hour shown.
// - REWRITE_STRFTIME: strftime of the facility's format. The result
//   replaces the brackets too: the format must bring its own. An empty
//   result removes the field.
// Either text holds at most rewrite_field_size - 1 bytes; a strftime result
// that does not fit leaves the message unchanged.
//
// Growth past the buffer: when the rewritten message would be longer than
// the capacity, it is made exactly capacity bytes long by cutting the end
// of the new field. The bytes before and after the old field are all kept:
// since the message already fit, the field keeps at least as many bytes as
// the old one had. Nothing outside the buffer is read or written.
#pragma once

#include <iterator>

#include "config/model.h"

// Bytes of the buffer the new field is built in, its NUL included.
constexpr int rewrite_field_size = 128;

// English month abbreviations by tm_mon, whatever the locale.
inline constexpr const char *month_abbreviations[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                      "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
static_assert(std::size(month_abbreviations) == 12);

// The bytes to write for a message that route_message gave a descriptor:
// rewrites the timestamp field in place (the buffer holds buffer_size
// bytes) if the facility of `group` on `conf` asks for it, then skips a
// vhost facility's first word and its space. Returns the first byte to
// write, inside `message`; *length is the received byte count on entry
// and the count to write on return. A vhost message left without a space
// by the rewrite gives 0 bytes: it has no vhost word to skip and is
// dropped. No allocation.
char *prepare_message(SpreadConf *conf, const char *group, char *message, int *length);

// prepare_message for the facility found already; a null facility changes
// nothing.
char *prepare_facility_message(LogFacility *facility, char *message, int *length);

// Replaces the first bracketed field among the *length bytes of `message`
// by the current local time formatted for `mode` (REWRITE_CLF, or
// REWRITE_STRFTIME with `format`), moving the rest of the message as
// needed and updating *length, never past `capacity` bytes. A message
// without '[' or without ']' after it, a length of 0 or less and an
// unknown mode change nothing.
void rewrite_timestamp(char *message, int *length, int capacity, int mode, const char *format);
