// Loading the configuration file.
#pragma once

// Prepares the registries spread_confs and log_files, reads the file at
// `path` into them and, once the whole file is accepted, opens and locks
// every output (open_log_files). Returns 0 when the file was accepted, 1
// when it was rejected (after the two-line report "Parser error on or
// before line %d" / "Offending token: %s" on standard error), -1 when it
// could not be opened ("Couldn't open input file: %s"). A read error ends
// the process with status 2; a refused lock ends it with status 1.
//
// vhost_table_size must be set before (every VhostDir line allocates a
// table of that many slots). The model is built to live until the process
// ends: call it once, or release the model between two loads (close_log_files,
// then config_registries_free).
int config_load(const char *path);

// config_load without the outputs: reads the file at `path` and builds the
// model exactly as config_load does (same results, same messages, status 2
// on a read error), but opens, locks and starts nothing, so every LogFile
// keeps fd -1. For checking a configuration without touching its outputs.
int config_load_model(const char *path);
