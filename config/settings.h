// Run-time settings: what the command line and the configuration file
// decide about the model and the outputs it configures. Each is written
// during start-up only (the command line, then BufferSize, StatsFile and
// StatsInterval, then the open-file limit), before the receive loop runs,
// and only read after.
#pragma once

// Receive buffer size in bytes, the longest message kept whole; -1 until
// -b or BufferSize sets it (-b wins), and default_buffer_size when still
// unset after the configuration was read.
extern int buffer_size;
constexpr int default_buffer_size = 8192;
// -s: outputs are not locked with flock.
extern int skip_locking;
// -v: connection, join and start-up messages.
extern int verbose;
// -x: Spread receive errors, reconnection failures and the SIGTERM messages.
extern int log_spread_errors;
// Slots of every vhost table: the open-file limit raised at start-up, at
// most vhost_table_size_max (a hard limit above it, or none, gives that).
extern int vhost_table_size;
// Set by wickerpost-check, whose standard error is a report of one problem
// a line: the reader leaves out its notices about what it set up ("Setting
// logfacility to force local times in CLF", "Zeroing vhost hash for
// usage!") and ends a regex error with a newline. The daemon prints both as
// it always has (a regex error without a newline).
extern int reader_report_form;
constexpr int vhost_table_size_max = 1048576;
#include <sys/socket.h>

// StatsFile: the path the loop writes its counters to for monitoring
// (owned); null when the configuration names none. Each reading of a
// configuration starts from null.
extern char *stats_file;
// StatsListen: the address the daemon serves its metrics on over HTTP
// (owned text, "ADDRESS:PORT"); null when the configuration names none.
// Each reading of a configuration starts from null.
extern char *stats_listen;
// StatsInterval: seconds between two writes of stats_file, 1 or more;
// default_stats_interval when the configuration does not say.
extern int stats_interval;
constexpr int default_stats_interval = 15;

// Reads a StatsListen value: a numeric IPv4 address, or a numeric IPv6
// address in brackets, a colon, and a port from 1 to 65535 in decimal
// ("127.0.0.1:9108", "[::1]:9108", "0.0.0.0:9108"). No name is looked up.
// Fills *address and *length and returns true; false when the text is not
// such an address.
bool stats_listen_address(const char *text, sockaddr_storage *address, socklen_t *length);
