// Releasing a loaded configuration, so that config_load can run again in
// the same process: for tests, the fuzzer and the benchmarks. The daemon
// keeps its configuration until it exits and never does this.
#pragma once

#include "config/model.h"
#include "output/log_files.h"

// Closes every output and releases the whole model, leaving the registries
// empty.
inline void config_unload()
{
    close_log_files();
    config_registries_free();
}
