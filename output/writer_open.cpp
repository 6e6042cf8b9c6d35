// Opening, locking and closing the outputs: File paths, piped commands
// and vhost files, each registered for the write step once open.
#include "output/writer_internal.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
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

namespace {

// What the child of a spawn needs, made ready by the parent: between the
// clone and the exec the child calls only async-signal-safe functions and
// writes nothing of the daemon's memory but `error` (and the errno of the
// waiting thread, which the caller does not look at on success).
struct Spawn {
    const char *path;             // the program
    int input;                    // to become descriptor 0; -1: standard input kept
    int keep;                     // passed on (close-on-exec cleared); -1: none
    bool ignore_hangup;           // SIGHUP ignored (commands) or at its default
    char *const *argv;
    char *const *envp;
    struct sigaction defaults;    // SIG_DFL
    struct sigaction ignore;      // SIG_IGN
    sigset_t mask;                // the program's signal mask: empty, or as asked
    int error;                    // errno of a failed exec, else 0
};

// The child: it runs on its own small stack in the daemon's memory while
// the thread that cloned it waits (CLONE_VFORK), with every signal blocked
// from the start. Every handler of the daemon is reset to the default
// before the mask is cleared, so no signal can run one of them in here;
// then SIGHUP is ignored for a command (an ignored signal stays ignored
// across exec) and SIGPIPE, SIGXFSZ and SIGCHLD, which the daemon ignores
// or handles, are at their defaults.
__attribute__((no_sanitize_address)) int spawn_child(void *arg)
{
    Spawn *s = static_cast<Spawn *>(arg);
    for (int sig = 1; sig < NSIG; sig++) {
        struct sigaction now;
        if (sig == SIGKILL || sig == SIGSTOP || sigaction(sig, nullptr, &now) != 0)
            continue;
        if (now.sa_handler != SIG_IGN && now.sa_handler != SIG_DFL)
            sigaction(sig, &s->defaults, nullptr);
    }
    if (s->ignore_hangup)
        sigaction(SIGHUP, &s->ignore, nullptr);
    sigaction(SIGPIPE, &s->defaults, nullptr);
    sigaction(SIGXFSZ, &s->defaults, nullptr);
    sigaction(SIGCHLD, &s->defaults, nullptr);
    if (s->input == 0) {
        // Already standard input (the daemon runs without one): only the
        // close-on-exec flag has to go.
        fcntl(0, F_SETFD, 0);
    } else if (s->input > 0 && dup2(s->input, 0) != 0) {
        s->error = errno;
        _exit(127);
    }
    // The descriptor table is the child's own (no CLONE_FILES): clearing
    // the flag here leaves the daemon's descriptor close-on-exec.
    if (s->keep >= 0)
        fcntl(s->keep, F_SETFD, 0);
    // Every other descriptor of ours is close-on-exec.
    sigprocmask(SIG_SETMASK, &s->mask, nullptr);
    execve(s->path, s->argv, s->envp);
    s->error = errno;
    _exit(127);
}

// The child's stack: it holds a few small frames of the calls above (a
// few hundred bytes, more with sanitizers' interceptors), mapped for the
// spawn only; pages it never reaches are never resident.
constexpr size_t spawn_stack_size = 64u << 10;

}  // namespace

// Commands started and not yet reaped, for output_commands_wait.
static std::vector<pid_t> &command_pids = *new std::vector<pid_t>;

// A program is started without copying the daemon: a fork would copy the
// page tables of every read-ahead ring (up to 32 MiB each) while the
// loop waits, and write-protect them, so that the reader threads take a
// page fault on every page they fill next. The clone shares the memory
// instead and suspends only the calling thread until the exec; the readers
// go on reading. posix_spawn would do the same, but cannot start a command
// with SIGHUP ignored while the daemon handles it.
pid_t output_spawn(const char *path, char *const argv[], char *const envp[], int input, int keep,
                   bool ignore_hangup, const sigset_t *blocked)
{
    Spawn spawn;
    memset(&spawn, 0, sizeof spawn);
    spawn.path = path;
    spawn.input = input;
    spawn.keep = keep;
    spawn.ignore_hangup = ignore_hangup;
    spawn.argv = argv;
    spawn.envp = envp;
    spawn.defaults.sa_handler = SIG_DFL;
    spawn.ignore.sa_handler = SIG_IGN;
    sigemptyset(&spawn.defaults.sa_mask);
    sigemptyset(&spawn.ignore.sa_mask);
    if (blocked != nullptr)
        spawn.mask = *blocked;
    else
        sigemptyset(&spawn.mask);

    void *stack = mmap(nullptr, spawn_stack_size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
    pid_t pid = -1;
    int error = errno;
    if (stack != MAP_FAILED) {
        sigset_t all, saved;
        sigfillset(&all);
        pthread_sigmask(SIG_SETMASK, &all, &saved);
        pid = clone(spawn_child, static_cast<char *>(stack) + spawn_stack_size, CLONE_VM | CLONE_VFORK | SIGCHLD,
                    &spawn);
        error = errno;
        pthread_sigmask(SIG_SETMASK, &saved, nullptr);
        munmap(stack, spawn_stack_size);
    }
    if (pid > 0 && spawn.error != 0) {
        // The exec failed: the child has ended already.
        (void)waitpid(pid, nullptr, 0);
        error = spawn.error;
        pid = -1;
    }
    if (pid < 0)
        errno = error;
    return pid;
}

int output_start_command(const char *filename)
{
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0)
        return -1;
    // Our end only: the command reads its standard input blocking.
    (void)fcntl(ends[1], F_SETFL, O_NONBLOCK);
    char *argv[] = {const_cast<char *>("/bin/sh"), const_cast<char *>("-c"), const_cast<char *>(filename + 1),
                    nullptr};
    pid_t pid = output_spawn(argv[0], argv, environ, ends[0], -1, true, nullptr);
    int error = errno;
    close(ends[0]);
    if (pid < 0) {
        close(ends[1]);
        errno = error;
        return -1;
    }
    command_pids.push_back(pid);
    return ends[1];
}

void output_command_reaped(pid_t pid)
{
    for (size_t i = 0; i < command_pids.size(); i++)
        if (command_pids[i] == pid) {
            command_pids[i] = command_pids.back();
            command_pids.pop_back();
            return;
        }
}

int output_commands_wait(int ms)
{
    long deadline = clock_ms() + ms;
    for (;;) {
        // Each command still running, watched through a pidfd (readable
        // once it ended), so the wait sleeps until one ends or time is up.
        std::vector<pollfd> running;
        for (size_t i = 0; i < command_pids.size();) {
            pid_t pid = command_pids[i];
            if (waitpid(pid, nullptr, WNOHANG) != 0) {  // ended (and reaped now), or not ours any more
                command_pids[i] = command_pids.back();
                command_pids.pop_back();
                continue;
            }
            int fd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
            if (fd >= 0)
                running.push_back(pollfd{fd, POLLIN, 0});
            i++;
        }
        long left = deadline - clock_ms();
        bool done = command_pids.empty() || left <= 0 || running.empty();
        if (!done)
            (void)poll(running.data(), running.size(), static_cast<int>(left));
        for (const pollfd &p : running)
            close(p.fd);
        if (done)
            return static_cast<int>(command_pids.size());
    }
}

int output_open_log_file(LogFile *file, OutputOpenTime when)
{
    bool command = file->filename[0] == '|';
    int id = output_of_log_file(file);
    Output &o = *output_at(id);
    ensure_clock();
    if (command && when == OUTPUT_OPEN_RETRY && !restart_allowed(o))
        return -1;
    if (file->dated)
        dated_file_name(file);
    int flags = O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK;
    const FileRules *rules = file->rules.given != 0 ? &file->rules : nullptr;
    int fd = open_making_room([&] {
        return command       ? output_start_command(file->filename)
               : file->dated ? open_dated_file(file, flags)
                             : open_created(AT_FDCWD, file->filename, flags, rules, id);
    });
    if (fd < 0) {
        int error = errno;
        say_cannot_open(id, log_file_path(file), error, when);
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
    if (kind == KIND_FILE) {
        o.file_opens++;
        file_opened(fd, rules, log_file_path(file));
    }
    if (!command && kind == KIND_STREAM)
        take_over_retired(fd, st.st_dev, st.st_ino);
    return fd;
}

void output_lock_or_exit(int fd, const char *path)
{
    if (!skip_locking && flock(fd, LOCK_EX | LOCK_NB) == -1) {
        fprintf(stderr, "Cannot lock %s, is another wickerpost running?\n", path);
        // What was taken for the files we do hold is not lost.
        output_flush();
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

int output_open_vhost_file(int *id, const char *dir, const char *path, const FileRules *rules)
{
    int out = output_of(id, dir, "vhost directory");
    make_room_for_vhost_file();
    int fd = open_making_room([&] {
        return open_created(AT_FDCWD, path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK,
                            rules, out);
    });
    return finish_vhost_open(out, fd, errno, path, rules);
}

int writer::finish_vhost_open(int out, int fd, int error, const char *path, const FileRules *rules)
{
    if (fd < 0) {
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
    if (Output *o = output_at(out))
        o->file_opens++;
    file_opened(fd, rules, path);
    if (file_rule(rules, FILE_RULE_IDLE_CLOSE))
        note_idle_close(rules->idle_close);
    return fd;
}

void output_close(int fd)
{
    close_descriptor(fd);
}
