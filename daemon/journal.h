// Diagnostics in the journal. When standard error is a journal stream
// (systemd's JOURNAL_STREAM names its device and inode), every line of a
// diagnostic carries its syslog priority as a "<N>" prefix, so that
// "journalctl -p warning" shows drops and failed connections. Anywhere else
// standard error is left alone and the lines stay byte for byte as they are.
//
// The priority of a line comes from how it begins: the daemon's messages
// have fixed beginnings, listed once in journal.cpp, so the call sites in
// every layer keep printing with fprintf(stderr, ...) and know nothing of
// the journal.
#pragma once

#include <string_view>

constexpr int journal_error = 3;    // <3>: the daemon or an output cannot work as configured
constexpr int journal_warning = 4;  // <4>: messages dropped, connections failed or lost
constexpr int journal_info = 6;     // <6>: what the daemon did

// The priority of a line (without its newline) that begins a diagnostic,
// from the table of the daemon's message beginnings; -1 when no entry
// matches.
int journal_classify(std::string_view line);

// The priority of `line` as written to the journal: a continuation line
// (one that begins with a tab or a space, as the second line of a message
// printed in parts) takes `previous`, the priority of the line before it; a
// line that begins with `program` (the usage text, getopt's complaints) is
// an error; any other line is classified, and a line that no entry matches
// is a warning, so that nothing unforeseen hides below "-p warning".
int journal_priority(std::string_view line, int previous, std::string_view program);

// True when the JOURNAL_STREAM environment variable ("DEVICE:INODE", in
// decimal) names the file open on descriptor fd.
bool journal_stream_is(int fd);

// When standard error is the journal, replaces the stderr stream with one
// that writes each complete line to descriptor 2 with its priority prefix,
// in one write, and drops empty lines; a partial line waits for the rest of
// its line (the stream is line buffered, and what is left at exit is
// written then). Descriptor 2 itself is unchanged, so piped commands still
// write to the journal as they did. Returns true when it did. Called first
// thing in main, before any diagnostic.
bool journal_stderr_install();
