// Shared state of the configuration reader: the scanner (scanner.l) and the
// parser (parser.y) meet here. One reading at a time, from config_load_model.
#pragma once

#include <cstdio>

#include "config/model.h"

// Longest token, as written in the file (a quoted string with its quotes).
// A longer one, or one that holds a NUL byte, is TOK_INVALID, which no
// rule of the grammar takes: the file is rejected at it.
constexpr size_t config_token_max = 64 * 1024;

// Newlines read so far outside quoted strings; the first line is line 0.
extern int config_line;
// Records of the Spread block and the Log block being read, created at
// their first item; null between blocks.
extern SpreadConf *current_spread_conf;
extern LogFacility *current_facility;
// Starts scanning `in` from its beginning, with config_line 0.
void config_scanner_start(FILE *in);
// Releases the scanner's buffers; the next config_scanner_start begins afresh.
void config_scanner_finish();
// The last token read, as written in the file; a quoted string without its
// closing quote, end of file as "". A TOK_INVALID token is given as far as
// it was read (at most config_token_max + 1 bytes), up to its first NUL.
const char *config_token_text();

// Generated scanner and parser.
int config_lex();
int config_parse();
// Writes the two-line report for the last token read.
void config_error(const char *message);
