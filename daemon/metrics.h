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

// The series, in the order they are written: every family has its HELP
// and TYPE lines, then one sample per connection (label daemon, "PORT" or
// "PORT@HOST") or per output (labels output, the path as the status
// report names it, and kind, as its keyword there), and per drop reason
// (label reason, the keyword of the status report):
//
//   wickerpost_spread_connected{daemon}                        gauge 0 or 1
//   wickerpost_spread_reconnects_total{daemon}                 counter
//   wickerpost_spread_received_messages_total{daemon}          counter
//   wickerpost_spread_read_bytes_total{daemon}                 counter
//   wickerpost_spread_framed_messages_total{daemon}            counter
//   wickerpost_spread_taken_messages_total{daemon}             counter
//   wickerpost_spread_sessions_lost_total{daemon}              counter
//   wickerpost_output_written_messages_total{output,kind}      counter
//   wickerpost_output_written_bytes_total{output,kind}         counter
//   wickerpost_output_dropped_messages_total{output,kind,reason} counter
//   wickerpost_output_backlog_bytes{output,kind}               gauge
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
//
// An output appears once it has been opened or used, as in the report.

// Takes the start time (wickerpost_start_time_seconds); main calls it
// first thing.
void metrics_start();

// Once per loop pass: without StatsFile, nothing; else one read of the
// coarse monotonic clock, and the file is written when its time has come.
void metrics_pass();

// The loop's wait of `ms` milliseconds, shortened to the time left until
// the next write is due (as seen at the last metrics_pass).
int metrics_wait_ms(int ms);

// Writes the file now, when there is a StatsFile (SIGTERM).
void metrics_write();

// The file's text for the counters as they are now (the batches written
// first, so the counts tell what the files hold).
std::string metrics_text();

// A label value as the format writes it between its double quotes: \ " and
// newline escaped as \\ \" \n. The format is UTF-8: a byte that does not
// belong to a valid UTF-8 sequence becomes U+FFFD, so that one path in
// another encoding does not make the whole file unreadable.
std::string metrics_label_value(std::string_view value);

// A HELP text as the format writes it: \ and newline escaped as \\ \n.
std::string metrics_help_text(std::string_view text);
