#include "config/config.h"

#include <cstdio>
#include <cstdlib>

#include "config/model.h"
#include "config/reader.h"
#include "config/settings.h"

// Reads one configuration from `in`; 0 accepted, 1 rejected.
static int config_read(FILE *in)
{
    current_spread_conf = nullptr;
    current_facility = nullptr;
    config_scanner_start(in);
    // A stack exhausted (result 2) is a rejection like a syntax error, with
    // the same report.
    int result = config_parse() == 0 ? 0 : 1;
    config_scanner_finish();
    // Blocks left open by a rejected file belong to no registry (an open
    // facility is not yet in its connection's list).
    log_facility_free(current_facility);
    spread_conf_free(current_spread_conf);
    current_spread_conf = nullptr;
    current_facility = nullptr;
    return result;
}

int config_load_model(const char *path)
{
    config_registries_init();
    free(stats_file);
    stats_file = nullptr;
    free(stats_listen);
    stats_listen = nullptr;
    stats_interval = default_stats_interval;
    // Close-on-exec: the piped commands started once the file is accepted
    // must not inherit the configuration file.
    FILE *in = fopen(path, "re");
    if (in == nullptr) {
        fprintf(stderr, "Couldn't open input file: %s\n", path);
        return -1;
    }
    int result = config_read(in);
    fclose(in);
    return result;
}
