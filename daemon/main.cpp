// wickerpost: logs the messages of Spread groups to files, piped commands
// and per-vhost files.
#include <cstdio>
#include <cstdlib>

#include "config/settings.h"
#include "daemon/connections.h"
#include "daemon/handover.h"
#include "daemon/journal.h"
#include "daemon/loop.h"
#include "daemon/metrics.h"
#include "daemon/metrics_http.h"
#include "daemon/notify.h"
#include "daemon/options.h"
#include "daemon/process.h"
#include "daemon/session.h"
#include "daemon/signals.h"
#include "output/load.h"

int main(int argc, char **argv)
{
    journal_stderr_install();
    metrics_start();
    vhost_table_size = raise_fd_limit();
    if (!mailbox_table_init(512)) {
        fprintf(stderr, "Out of memory for the mailbox table\n");
        exit(-1);
    }

    const char *config_path = default_config_path;
    bool debug_mode = false;
    handover_init(argc, argv);
    parse_options(argc, argv, &config_path, &debug_mode);

    // Started by a running daemon on SIGUSR2: it holds the outputs until
    // the cut (daemon/handover.h).
    bool taking_over = handover_takeover_begin(!debug_mode);
    notify_start();
    if (config_load(config_path) != 0)
        exit(-1);
    // An address that cannot be listened on is a configuration error.
    if (!metrics_http_listen(taking_over))
        exit(-1);
    if (!conn_init())
        exit(-1);

    if (buffer_size < 0)
        buffer_size = default_buffer_size;
    if (!receive_loop_init(buffer_size)) {
        fprintf(stderr, "Out of memory for a %d-byte receive buffer\n", buffer_size);
        exit(-1);
    }

    if (verbose)
        print_banner(argv[0], config_path, debug_mode, buffer_size);
    if (!debug_mode && !taking_over)
        daemonize();
    install_signal_handlers();
    install_child_handling();
    metrics_http_start();

    if (taking_over) {
        handover_takeover_connect();
        announce_mailboxes();
    } else {
        conn_connect_all();
        announce_mailboxes();
        notify_ready();
    }
    receive_loop();
}
