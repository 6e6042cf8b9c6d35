// The hand-over's program: the path the new daemon is started from, its
// arguments and environment, and ending it when it must go.
#include <signal.h>
#include <sys/random.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "daemon/handover.h"
#include "daemon/handover_internal.h"
#include "daemon/handover_link.h"
#include "daemon/notify.h"
#include "output/clock.h"
#include "output/writer.h"

extern char **environ;

HandoverRole handover_role = HandoverRole::none;
std::string &handover_token = *new std::string;

namespace {

// From start-up.
std::string &program = *new std::string;
std::vector<std::string> &arguments = *new std::vector<std::string>;

}  // namespace

void handover_init(int argc, char **argv)
{
    arguments.assign(argv, argv + argc);
    std::string name = argc > 0 ? argv[0] : "wickerpost";
    if (name.find('/') == std::string::npos) {
        // Found on PATH, as the shell found it.
        const char *path = getenv("PATH");
        std::string dirs = path ? path : "/usr/local/bin:/usr/bin:/bin";
        for (size_t at = 0; at <= dirs.size();) {
            size_t end = dirs.find(':', at);
            if (end == std::string::npos)
                end = dirs.size();
            std::string dir = dirs.substr(at, end - at);
            std::string candidate = (dir.empty() ? "." : dir) + "/" + name;
            if (access(candidate.c_str(), X_OK) == 0) {
                name = candidate;
                break;
            }
            at = end + 1;
        }
    }
    if (name[0] != '/') {
        // Relative to the directory we were started in; a later
        // replacement of the file at that path is what runs.
        char cwd[4096];
        if (getcwd(cwd, sizeof cwd) != nullptr)
            name = std::string(cwd) + "/" + name;
    }
    program = name;
}

std::string handover_random_token()
{
    unsigned char bytes[16];
    ssize_t n = getrandom(bytes, sizeof bytes, 0);
    if (n != static_cast<ssize_t>(sizeof bytes)) {
        // Without the kernel's randomness the token is still unique here.
        long seed = clock_ms() ^ (static_cast<long>(getpid()) << 20);
        memcpy(bytes, &seed, sizeof seed);
    }
    std::string text;
    char hex[3];
    for (unsigned char b : bytes) {
        snprintf(hex, sizeof hex, "%02x", b);
        text += hex;
    }
    return text;
}

pid_t handover_spawn(int channel_end)
{
    std::string variable = std::string(handover_channel_variable) + "=" + std::to_string(channel_end);
    std::string watchdog;
    std::vector<char *> envp;
    for (char **e = environ; *e != nullptr; e++)
        if (strncmp(*e, handover_channel_variable, sizeof handover_channel_variable - 1) != 0)
            envp.push_back(*e);
    envp.push_back(variable.data());
    if (unsigned long long usec = notify_watchdog_usec()) {
        watchdog = "WATCHDOG_USEC=" + std::to_string(usec);
        envp.push_back(watchdog.data());
    }
    envp.push_back(nullptr);
    std::vector<char *> argv;
    for (std::string &a : arguments)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    // SIGHUP (log rotation, passed on), SIGUSR1 and SIGUSR2 wait, blocked,
    // until the new daemon has its handlers and unblocks them: their
    // default action would end it.
    sigset_t blocked;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGHUP);
    sigaddset(&blocked, SIGUSR1);
    sigaddset(&blocked, SIGUSR2);
    pid_t pid = output_spawn(program.c_str(), argv.data(), envp.data(), -1, channel_end, false, &blocked);
    if (pid < 0)
        fprintf(stderr, "Hand-over failed: cannot start %s: %s\n", program.c_str(), strerror(errno));
    return pid;
}

// waitpid for `pid` without blocking, EINTR retried: 1 reaped (status
// set), 0 running, -1 not our child any more.
static int reap(pid_t pid, int *status)
{
    for (;;) {
        pid_t r = waitpid(pid, status, WNOHANG);
        if (r == pid)
            return 1;
        if (r == 0)
            return 0;
        if (errno != EINTR)
            return -1;
    }
}

// Waits up to ms for pid to end, 10 ms at a time.
static int reap_within(pid_t pid, int ms, int *status)
{
    long deadline = clock_ms() + ms;
    for (;;) {
        int r = reap(pid, status);
        if (r != 0 || clock_ms() >= deadline)
            return r;
        usleep(10000);
    }
}

int handover_end_child(pid_t pid, int grace_ms, bool *reaped_elsewhere)
{
    int status = 0;
    int r = reap_within(pid, grace_ms, &status);
    if (r == 0) {
        kill(pid, SIGTERM);
        r = reap_within(pid, 2000, &status);
    }
    if (r == 0) {
        kill(pid, SIGKILL);
        while ((r = reap_within(pid, 1000, &status)) == 0) {
        }
    }
    *reaped_elsewhere = r < 0;
    return status;
}
