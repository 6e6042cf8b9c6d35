// wickerpost: logs the messages of Spread groups to files, piped commands
// and per-vhost files.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "config/config.h"
#include "daemon/loop.h"
#include "daemon/options.h"
#include "daemon/session.h"

// Signals the daemon itself decides about: a piped command that ended must
// not kill it (its writes then fail with EPIPE), and ended commands are
// reaped by the loop.
static void install_child_handling()
{
    signal(SIGPIPE, SIG_IGN);
    // A file that reaches the size limit fails its write with EFBIG, which
    // the output cuts back and counts, instead of ending the daemon.
    signal(SIGXFSZ, SIG_IGN);
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = sigchld_handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART | SA_NOCLDSTOP;
    sigaction(SIGCHLD, &action, nullptr);
    // A piped command started while the configuration was read may have
    // ended already, before there was a handler to say so: have the first
    // pass of the loop look.
    sigchld_pending = 1;
}

int main(int argc, char **argv)
{
    vhost_table_size = raise_fd_limit();
    if (!mailbox_table_init(512)) {
        fprintf(stderr, "Out of memory for the mailbox table\n");
        exit(-1);
    }

    const char *config_path = default_config_path;
    bool debug_mode = false;
    parse_options(argc, argv, &config_path, &debug_mode);

    if (config_load(config_path) != 0)
        exit(-1);

    if (buffer_size < 0)
        buffer_size = 8192;
    receive_buffer = (char *)malloc(buffer_size > 0 ? buffer_size : 1);
    if (receive_buffer == nullptr) {
        fprintf(stderr, "Out of memory for a %d-byte receive buffer\n", buffer_size);
        exit(-1);
    }

    if (verbose)
        print_banner(argv[0], config_path, debug_mode, buffer_size);
    if (!debug_mode)
        daemonize();
    install_signal_handlers();
    install_child_handling();

    int join = 1;
    for_each_spread_conf(spread_connect, &join);
    announce_mailboxes();
    last_reconnect = E_get_time();
    receive_loop();
}
