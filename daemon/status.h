// The status report: what the daemon is doing, on SIGUSR1.
#pragma once

#include <cstdio>
#include <string>

#include "config/model.h"

// Writes one line per Spread connection, in registry order, then one per
// output, in the order the outputs were first used, to `out`:
//
//   spread daemon=NAME connected=yes|no mailbox=M reconnects=N received=N buffered=BYTES
//          read_bytes=N framed=N taken=N held=N max_held_bytes=BYTES sessions_lost=N
//   output path=PATH kind=KIND written=N bytes=N dropped=N write_error=N backlog_full=N
//          reader_ended=N output_not_open=N refused_vhost_name=N not_a_regular_file=N
//          no_descriptor=N abandoned=N backlog=BYTES
//
// (each output on one line). Keys and their order are stable. NAME is the
// daemon name as given to the Spread library ("PORT" or "PORT@HOST"); M is
// -1 while not connected; reconnects counts the sessions accepted after the
// first, received the regular messages taken from Spread, buffered the bytes of whole messages read ahead and not yet
// written; the rest are the books of the reading path (daemon/books.h),
// whose difference, if any, follows the output lines. KIND is file, stream (a FIFO), command or vhost_directory.
// written counts messages written whole, bytes the bytes written,
// dropped all messages lost, then by reason. A value holding a space, a
// quote, a backslash, an equals sign or a control character is quoted with
// double quotes, with \" \\ and \ooo escapes.
void status_report(FILE *out);

// `value` as it appears in the report.
std::string status_value(const char *value);

// A name (an output's kind, a drop reason) as the report's key or keyword:
// spaces become underscores ("vhost directory" is vhost_directory).
std::string status_key(const char *name);

// Sessions of conf accepted after the first: its reconnects.
unsigned long status_reconnects(const SpreadConf *conf);
