#include "daemon/options.h"

#include <cstdio>
#include <cstdlib>
#include <unistd.h>

#include "config/settings.h"

void usage(const char *program)
{
    fprintf(stderr,
            "%s\t\tVERSION: %s\n"
            " \t-c configfile\t\t[default /usr/local/etc/wickerpost.conf]\n"
            " \t-s\t\t\tskip locking (flock) files (NOT RECOMMENDED)\n"
            " \t-v\t\t\tverbose mode\n"
            " \t-x\t\t\tlog errors talking with spread\n"
            " \t-D\t\t\tdo not daemonize (debug)\n"
            " \t-V\t\t\tshow version information\n",
            program, wickerpost_version);
    exit(1);
}

void parse_options(int argc, char **argv, const char **config_path, bool *debug_mode)
{
    // The leading '+' keeps GNU getopt from permuting: parsing stops at the
    // first operand, as POSIX getopt does.
    int c;
    while ((c = getopt(argc, argv, "+b:c:svxDV")) != -1) {
        switch (c) {
        case 'b': buffer_size = atoi(optarg); break;
        case 'c': *config_path = optarg; break;
        case 's': skip_locking = 1; break;
        case 'v': verbose = 1; break;
        case 'x': log_spread_errors = 1; break;
        case 'D': *debug_mode = true; break;
        default: usage(argv[0]);   // -V and anything unknown
        }
    }
}

void print_banner(const char *program, const char *config_path, bool debug_mode, int size)
{
    fprintf(stderr,
            "running wickerpost as %s\n\tconfigfile:\t\t%s\n\tdebug:\t\t%s\n"
            "\tverbose:\t\t%s\n\tlog spread errors:\t%s\n\tbuffer size:\t\t%d\n",
            program, config_path, debug_mode ? "YES" : "NO", "YES",
            log_spread_errors ? "YES" : "NO", size);
}
