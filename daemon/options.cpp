#include "daemon/options.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/resource.h>
#include <unistd.h>

int buffer_size = -1;
int skip_locking = 0;
int verbose = 0;
int log_spread_errors = 0;
int vhost_table_size = 0;

volatile sig_atomic_t sighup_pending = 0;
volatile sig_atomic_t sigterm_pending = 0;
volatile sig_atomic_t sigusr1_pending = 0;

int raise_fd_limit()
{
    struct rlimit limit = {0, 0};
    (void)getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = limit.rlim_max;
    (void)setrlimit(RLIMIT_NOFILE, &limit);
    if (limit.rlim_max == RLIM_INFINITY || limit.rlim_max > (rlim_t)vhost_table_size_max)
        return vhost_table_size_max;
    return (int)limit.rlim_max;
}

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

void daemonize()
{
    if (fork() != 0)
        exit(0);
    (void)setsid();
    if (fork() != 0)
        exit(0);

    FILE *pid_file = fopen(pid_file_path, "w");
    if (pid_file == nullptr) {
        fprintf(stderr, "Cannot write pid file %s: %s\n", pid_file_path, strerror(errno));
        return;
    }
    char pid_text[32];
    snprintf(pid_text, sizeof pid_text, "%d", (int)getpid());
    fputs(pid_text, pid_file);
    fclose(pid_file);
}

extern "C" void signal_handler(int signo)
{
    if (signo == SIGHUP)
        sighup_pending = 1;
    else if (signo == SIGTERM)
        sigterm_pending = 1;
    else if (signo == SIGUSR1)
        sigusr1_pending = 1;
}

void install_signal_handlers()
{
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = signal_handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;

    if (sigaction(SIGHUP, &action, nullptr) != 0) {
        fprintf(stderr, "An error occured while registering a SIGHUP handler\n");
        perror("sigaction");
    }
    if (sigaction(SIGTERM, &action, nullptr) != 0) {
        fprintf(stderr, "An error occured while registering a SIGTERM handler\n");
        perror("sigaction");
    }
    if (sigaction(SIGUSR1, &action, nullptr) != 0) {
        fprintf(stderr, "An error occured while registering a SIGUSR1 handler\n");
        perror("sigaction");
    }
    sigset_t unblock;
    sigemptyset(&unblock);
    sigaddset(&unblock, SIGHUP);
    sigaddset(&unblock, SIGUSR1);
    (void)sigprocmask(SIG_UNBLOCK, &unblock, nullptr);
}
