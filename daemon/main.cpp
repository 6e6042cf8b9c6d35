// wickerpost: logs the messages of Spread groups to files, piped commands
// and per-vhost files.
#include <cstdio>
#include <cstdlib>
#include <unistd.h>

#include "config/config.h"
#include "daemon/options.h"

int main(int argc, char **argv)
{
    vhost_table_size = raise_fd_limit();

    const char *config_path = default_config_path;
    bool debug_mode = false;
    parse_options(argc, argv, &config_path, &debug_mode);
    if (config_load(config_path) != 0)
        exit(-1);

    if (buffer_size < 0)
        buffer_size = 8192;
    if (verbose)
        print_banner(argv[0], config_path, debug_mode, buffer_size);
    if (!debug_mode)
        daemonize();
    install_signal_handlers();

    while (!sigterm_pending) {
        pause();
        sighup_pending = 0;
    }
    return 0;
}
