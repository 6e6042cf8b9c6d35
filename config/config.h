// Reading the configuration file into the model.
#pragma once

// Prepares the registries spread_confs and log_files and reads the file at
// `path` into them. Returns 0 when the file was accepted, 1 when it was
// rejected (after the two-line report "Parser error on or before line %d" /
// "Offending token: %s" on standard error), -1 when it could not be opened
// ("Couldn't open input file: %s"). A read error ends the process with
// status 2.
//
// Opens, locks and starts nothing: every LogFile keeps fd -1. The load that
// also opens the outputs of an accepted file is config_load
// (output/load.h), a layer above; this one alone serves to check a
// configuration without touching its outputs.
//
// vhost_table_size must be set before (every VhostDir line allocates a
// table of that many slots). The model is built to live until the process
// ends: call it once, or release the model between two loads (close_log_files,
// then config_registries_free).
int config_load_model(const char *path);
