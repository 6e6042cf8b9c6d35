// Loading the configuration: the file read into the model, then its
// outputs opened.
//
// This load lives with the outputs rather than in config/: reading the
// file (config_load_model, config/config.h) needs nothing above the model,
// while opening what it names needs the outputs (open_log_files,
// output/log_files.h). Here, the lowest layer that knows both, config/
// stays wholly below output/, and the daemon, the tools, the tests and the
// benchmarks, all above, reach the whole load through one call.
#pragma once

// config_load_model on the file at `path`, then, once the whole file is
// accepted, opens and locks every output (open_log_files). Returns 0 when
// the file was accepted, 1 when it was rejected (after the two-line report
// "Parser error on or before line %d" / "Offending token: %s" on standard
// error), -1 when it could not be opened ("Couldn't open input file: %s").
// A read error ends the process with status 2; a refused lock ends it with
// status 1.
//
// vhost_table_size must be set before (every VhostDir line allocates a
// table of that many slots). The model is built to live until the process
// ends: call it once, or release the model between two loads (close_log_files,
// then config_registries_free).
int config_load(const char *path);
