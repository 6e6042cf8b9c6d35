// Opening, locking and closing the outputs: File paths, piped commands
// and vhost files, each registered for the write step once open.
#include "output/writer_internal.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "config/settings.h"

using namespace writer;

// A restart of the command of output `o` (a retry: after EPIPE, or for a
// message while closed): true while the restart budget of the current
// window is not spent, and counted; false, errno EAGAIN, when it is.
static bool restart_allowed(Output &o)
{
    if (o.restart_window_at == never || clock_now - o.restart_window_at >= output_restart_window) {
        o.restart_window_at = clock_now;
        o.restarts = 0;
    }
    if (o.restarts >= output_restart_burst) {
        errno = EAGAIN;
        return false;
    }
    o.restarts++;
    return true;
}

int output_start_command(const char *filename)
{
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0)
        return -1;
    // Our end only: the command reads its standard input blocking.
    (void)fcntl(ends[1], F_SETFL, O_NONBLOCK);
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
    // The daemon ignores SIGPIPE and SIGXFSZ, and an ignored signal stays ignored across
    // exec: give the command the usual behaviour on a closed pipe.
    sigaction(SIGPIPE, &default_action, nullptr);
    sigaction(SIGXFSZ, &default_action, nullptr);
    execl("/bin/sh", "/bin/sh", "-c", command, (char *)nullptr);
    _exit(127);
}

int output_open_log_file(LogFile *file, OutputOpenTime when)
{
    bool command = file->filename[0] == '|';
    int id = output_of(&file->output, file->filename, command ? "command" : "file");
    Output &o = *output_at(id);
    ensure_clock();
    if (command && when == OUTPUT_OPEN_RETRY && !restart_allowed(o))
        return -1;
    int fd = open_making_room([&] {
        return command ? output_start_command(file->filename)
                       : open(file->filename, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0644);
    });
    if (fd < 0) {
        int error = errno;
        say_cannot_open(id, file->filename, error, when);
        errno = error;
        return -1;
    }
    Kind kind = KIND_STREAM;
    struct stat st;
    if (!command)
        kind = fstat(fd, &st) != 0 || S_ISREG(st.st_mode) ? KIND_FILE : KIND_STREAM;
    o.kind = command ? "command" : kind == KIND_STREAM ? "stream" : "file";
    o.open_errno = 0;
    register_descriptor(fd, kind, id, file);
    if (!command && kind == KIND_STREAM)
        take_over_retired(fd, st.st_dev, st.st_ino);
    return fd;
}

void output_lock_or_exit(int fd, const char *path)
{
    if (!skip_locking && flock(fd, LOCK_EX | LOCK_NB) == -1) {
        fprintf(stderr, "Cannot lock %s, is another wickerpost running?\n", path);
        exit(1);
    }
}

void output_close_log_file(LogFile *file)
{
    if (file->fd <= 0)
        return;
    int fd = file->fd;
    file->fd = -1;
    if (!retire_stream(fd))
        close_descriptor(fd);
}

int output_open_vhost_file(int *id, const char *dir, const char *path)
{
    int out = output_of(id, dir, "vhost directory");
    make_room_for_vhost_file();
    int fd = open_making_room(
        [&] { return open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0644); });
    if (fd < 0) {
        int error = errno;
        if (error == ELOOP || error == EISDIR || error == ENXIO) {
            // A symlink (O_NOFOLLOW), a directory, a FIFO without a reader.
            output_drop(out, OUTPUT_DROP_NOT_REGULAR);
        } else if (error == EMFILE || error == ENFILE) {
            output_drop(out, OUTPUT_DROP_NO_DESCRIPTOR);
        } else {
            say_cannot_open(out, path, error, OUTPUT_OPEN_RETRY);
            output_drop(out, OUTPUT_DROP_NOT_OPEN);
        }
        return -1;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        output_drop(out, OUTPUT_DROP_NOT_REGULAR);
        return -1;
    }
    output_lock_or_exit(fd, path);
    register_descriptor(fd, KIND_FILE, out, nullptr);
    return fd;
}

void output_close(int fd)
{
    close_descriptor(fd);
}
