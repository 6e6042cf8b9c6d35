// The metrics file: the counters of the status report, written for a
// monitoring system to StatsFile in the Prometheus text exposition format
// (version 0.0.4), as node_exporter's textfile collector reads it.
//
// The loop writes the file once at its first pass, then every
// StatsInterval seconds, and at SIGTERM once the outputs are drained and
// closed, so the last file holds the final counts. Nothing is counted for
// it: the file is made from what the status report already keeps.
//
// The file is published whole: written to StatsFile with ".tmp" added (a
// name the textfile collector, which reads *.prom, passes over), mode 0644
// whatever the umask, then renamed over StatsFile, so a reader finds the
// old file or the new one, never part of one. The temporary file is made
// anew each time (O_EXCL, no symlink followed). A failed write leaves the
// old file in place and is said once for its kind (the failing step and
// its errno), not every interval:
//
//   Cannot write stats file %s: %s      the temporary file (open, write)
//   Cannot rename %s to %s: %s          the rename over StatsFile
//
// until a write succeeds or the error changes. It is never retried before
// the next interval, so it cannot hold up logging beyond one small write
// to a local file.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

// The series, in the order they are written, in blocks (one function
// each, a group of families): every family has its HELP and TYPE lines,
// then one sample per connection (label daemon, "PORT" or "PORT@HOST"),
// per Log block (daemon and group), per output (labels output, the path as
// the status report names it, and kind, as its keyword there), and per
// drop reason (label reason, the keyword of the status report):
//
//   wickerpost_spread_connected{daemon}                        gauge 0 or 1
//   wickerpost_spread_reconnects_total{daemon}                 counter
//   wickerpost_spread_received_messages_total{daemon}          counter
//   wickerpost_spread_read_bytes_total{daemon}                 counter
//   wickerpost_spread_framed_messages_total{daemon}            counter
//   wickerpost_spread_taken_messages_total{daemon}             counter
//   wickerpost_spread_sessions_lost_total{daemon}              counter
//   wickerpost_spread_readahead_bytes{daemon}                  gauge
//   wickerpost_spread_readahead_limit_bytes{daemon}            gauge
//   wickerpost_spread_readahead_max_bytes{daemon}              gauge
//   wickerpost_spread_dropped_messages_total{daemon,reason}    counter
//   wickerpost_group_received_messages_total{daemon,group}     counter
//   wickerpost_output_written_messages_total{output,kind}      counter
//   wickerpost_output_written_bytes_total{output,kind}         counter
//   wickerpost_output_dropped_messages_total{output,kind,reason} counter
//   wickerpost_output_filtered_messages_total{output,kind}     counter
//   wickerpost_output_backlog_bytes{output,kind}               gauge
//   wickerpost_output_last_write_timestamp_seconds{output,kind} gauge, Unix time
//
// When a Log block gives file settings (MaxSize, Compress, IdleClose...),
// then, for each output with such settings that opened a file:
//
//   wickerpost_output_files_open{output,kind}                  gauge
//   wickerpost_output_file_opens_total{output,kind}            counter
//   wickerpost_output_idle_closes_total{output,kind}           counter
//   wickerpost_output_evictions_total{output,kind}             counter
//   wickerpost_output_rotations_total{output,kind}             counter
//   wickerpost_output_compressions_total{output,kind}          counter
//   wickerpost_output_compression_failures_total{output,kind}  counter
//   wickerpost_output_compressed_input_bytes_total{output,kind}  counter
//   wickerpost_output_compressed_output_bytes_total{output,kind} counter
//   wickerpost_output_last_sync_time_seconds{output,kind}      gauge, Unix time, 0: none yet
//   wickerpost_compress_waiting_files                          gauge
//
// and last:
//
//   wickerpost_start_time_seconds                              gauge, Unix time
//   wickerpost_handovers_total{result="done"|"failed"}         counter
//   wickerpost_build_info{version}                             gauge, 1
//   process_*                                                  (metrics_process_block)
//
// Every regular message a connection received is counted once more, and
// only once, where it ended: under its output as written, dropped (by
// reason) or filtered, or under the connection as dropped. So for every
// connection whose outputs are its own, received = written + dropped +
// filtered.
//
// Every configured output appears from the first file on, opened or not
// (a command not started yet, a VhostDir or DatedFile before its first
// message), as do outputs opened since.
//
// Through a hand-over (daemon/handover.h) the series go on: the old daemon
// writes its last file once its outputs are closed (the final counts,
// wickerpost_spread_connected 0) and writes no more; its counters and its
// start time go over the channel, and the new daemon, which writes nothing
// before it took over, adds them to its own. So a counter never goes down
// from one file to the next, and the start time stays the first daemon's.
// The temporary file's name holds the writer's pid: "StatsFile.PID.tmp".

// Takes the start time (wickerpost_start_time_seconds); main calls it
// first thing.
void metrics_start();

// Once per loop pass: answers a scrape that waits (daemon/metrics_http.h)
// and reports the connections' losses that are due (daemon/spread_drops.h);
// then, without StatsFile, nothing; else one read of the coarse monotonic
// clock, and the file is written when its time has come.
void metrics_pass();

// The loop's wait of `ms` milliseconds, shortened to the time left until
// the next write is due (as seen at the last metrics_pass).
int metrics_wait_ms(int ms);

// Writes the file now, when there is a StatsFile (SIGTERM).
void metrics_write();

// The file's text for the counters as they are now (the batches written
// first, so the counts tell what the files hold): metrics_loop_text, then
// metrics_process_block. The loop's thread only.
std::string metrics_text();

// The families made of the loop's counters, every block but the process
// series. The loop's thread only: it reads counters the loop writes
// without a lock.
std::string metrics_loop_text();

// Appends the process series, named and typed as the Prometheus client
// libraries export them, from /proc/self and getrlimit; any thread:
//
//   process_cpu_seconds_total        counter, user and system CPU seconds
//   process_virtual_memory_bytes     gauge
//   process_resident_memory_bytes    gauge
//   process_start_time_seconds       gauge, Unix time
//   process_open_fds                 gauge
//   process_max_fds                  gauge, the soft open-file limit
//
// A value that cannot be read leaves its sample out (the family stays).
void metrics_process_block(std::string *out);

// The pieces of the text, for the blocks: a family's HELP and TYPE lines;
// a sample with its labels ("" for none; ready to print, values escaped
// with metrics_label_value) and a whole or a real value.
void metrics_family(std::string *out, const char *name, const char *type, const char *help);
void metrics_sample(std::string *out, const char *name, const std::string &labels, unsigned long long value);
void metrics_sample_real(std::string *out, const char *name, const std::string &labels, double value);

// A label value as the format writes it between its double quotes: \ " and
// newline escaped as \\ \" \n. The format is UTF-8: a byte that does not
// belong to a valid UTF-8 sequence becomes U+FFFD, so that one path in
// another encoding does not make the whole file unreadable.
std::string metrics_label_value(std::string_view value);

// A HELP text as the format writes it: \ and newline escaped as \\ \n.
std::string metrics_help_text(std::string_view text);

// --- Through a hand-over ---------------------------------------------------

// Writes the file now as the last one: every wickerpost_spread_connected
// 0 (SIGTERM, and the old daemon of a hand-over once its outputs closed).
void metrics_write_final();

// While held, no file is written (neither by metrics_pass nor by
// metrics_write): the other daemon of a hand-over writes it.
void metrics_hold(bool hold);

// Every counter sample as it would be written now: series
// ("name{labels}", "name{}" without labels) and value.
std::vector<std::pair<std::string, unsigned long long>> metrics_counters();

// A count the daemon before us reached for `series` (as metrics_counters
// names it): added to ours from now on.
void metrics_carry(const std::string &series, unsigned long long value);

// The start time (Unix seconds), and keeping the old daemon's instead of
// ours.
long long metrics_start_time();
void metrics_keep_start_time(long long seconds);

// A hand-over ended: done (the new daemon, once it took over) or failed
// (the old daemon).
void metrics_count_handover(bool done);
