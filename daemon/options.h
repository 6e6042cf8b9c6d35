// The command line: options into the run-time settings (config/settings.h),
// the usage text and the start-up banner.
#pragma once

constexpr const char *wickerpost_version = "1.4.2";
constexpr const char *default_config_path = "/usr/local/etc/wickerpost.conf";

// Reads the options into the settings, *config_path (the argument string
// itself, not a copy) and *debug_mode. Ends the process through usage on
// a bad option or -V.
void parse_options(int argc, char **argv, const char **config_path, bool *debug_mode);

// Prints the usage text with the program name and version; exits 1.
[[noreturn]] void usage(const char *program);

// Prints the start-up banner to standard error (called in verbose mode).
void print_banner(const char *program, const char *config_path, bool debug_mode, int buffer_size);
