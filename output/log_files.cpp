#include "output/log_files.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "config/model.h"
#include "daemon/options.h"

int open_pipe_command(const char *filename)
{
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0)
        return -1;
    // Everything the child needs is ready before the fork: between fork and
    // exec it calls only async-signal-safe functions.
    const char *command = filename + 1;
    struct sigaction default_action, ignore_action;
    memset(&default_action, 0, sizeof default_action);
    memset(&ignore_action, 0, sizeof ignore_action);
    default_action.sa_handler = SIG_DFL;
    ignore_action.sa_handler = SIG_IGN;
    sigemptyset(&default_action.sa_mask);
    sigemptyset(&ignore_action.sa_mask);

    pid_t pid = fork();
    if (pid < 0) {
        int saved = errno;
        close(ends[0]);
        close(ends[1]);
        errno = saved;
        return -1;
    }
    if (pid > 0) {
        close(ends[0]);
        return ends[1];
    }

    close(ends[1]);
    if (ends[0] == 0) {
        // Already standard input (the daemon runs without one): only the
        // close-on-exec flag has to go.
        fcntl(0, F_SETFD, 0);
    } else {
        dup2(ends[0], 0);
        close(ends[0]);
    }
    sigaction(SIGCHLD, &default_action, nullptr);
    sigaction(SIGHUP, &ignore_action, nullptr);
    // The daemon ignores SIGPIPE, and an ignored signal stays ignored across
    // exec: give the command the usual behaviour on a closed pipe.
    sigaction(SIGPIPE, &default_action, nullptr);
    execl("/bin/sh", "/bin/sh", "-c", command, (char *)nullptr);
    _exit(127);
}

// Opens a plain facility's output if it is still closed, locks it and lists
// it in verbose mode.
static void open_facility_output(const LogFacility *facility)
{
    LogFile *file = facility->logfile;
    if (file == nullptr)
        return;
    if (file->fd < 0) {
        if (file->filename[0] == '|')
            file->fd = open_pipe_command(file->filename);
        else
            file->fd = open(file->filename, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
        if (file->fd < 0)
            fprintf(stderr, "Cannot open %s: %s\n", file->filename, strerror(errno));
    }
    // Also for a LogFile opened earlier in the walk: the lock is held
    // already and taking it again succeeds. A descriptor that failed to
    // open fails here, so with locking on an unopenable output stops the
    // daemon.
    if (!skip_locking && flock(file->fd, LOCK_EX | LOCK_NB) == -1) {
        fprintf(stderr, "Cannot lock %s, is another wickerpost running?\n", file->filename);
        exit(1);
    }
    if (verbose)
        fprintf(stderr, "LogFacility: %s\n\tFile: %s\n\tFD: %d\n\t%d regexs\n", facility->groupname,
                file->filename, file->fd, facility->nmatches);
}

// Closes a descriptor above 0 (an output on descriptor 0 is left alone) and
// marks it closed. Errors of the unlock and the close are of no use here.
static void close_output(int *fd)
{
    if (*fd <= 0)
        return;
    if (!skip_locking)
        (void)flock(*fd, LOCK_UN);
    (void)close(*fd);
    *fd = -1;
}

static void close_facility_outputs(LogFacility *facility)
{
    if (facility->vhostdir != nullptr) {
        VhostSlot *slots = facility->vhosts->slots;
        for (int i = 0; i < vhost_table_size; i++) {
            if (slots[i].fd <= 0)
                continue;
            close_output(&slots[i].fd);
            free(slots[i].name);
            slots[i].name = nullptr;
        }
    } else if (facility->logfile != nullptr) {
        close_output(&facility->logfile->fd);
    }
}

// Calls `visit` with every facility of every connection, in registry order.
static void for_each_configured_facility(void (*visit)(LogFacility *))
{
    SkiplistNode *conf_node = sl_first(&spread_confs);
    for (void *c = conf_node ? conf_node->data : nullptr; c != nullptr; c = sl_next(&spread_confs, &conf_node)) {
        Skiplist *facilities = static_cast<SpreadConf *>(c)->facilities;
        SkiplistNode *node = sl_first(facilities);
        for (void *f = node ? node->data : nullptr; f != nullptr; f = sl_next(facilities, &node))
            visit(static_cast<LogFacility *>(f));
    }
}

static void open_if_plain(LogFacility *facility)
{
    if (facility->vhostdir == nullptr)
        open_facility_output(facility);
}

int open_log_files()
{
    for_each_configured_facility(open_if_plain);
    return 0;
}

int close_log_files()
{
    for_each_configured_facility(close_facility_outputs);
    return 0;
}

void reopen_log_files()
{
    close_log_files();
    open_log_files();
}
