#include "daemon/signals.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/wait.h>


volatile sig_atomic_t sighup_pending = 0;
volatile sig_atomic_t sigterm_pending = 0;
volatile sig_atomic_t sigusr1_pending = 0;
volatile sig_atomic_t sigusr2_pending = 0;
volatile sig_atomic_t sigchld_pending = 0;

// The signals the loop acts on: each sets its flag and nothing else.
struct HandledSignal {
    int signo;
    volatile sig_atomic_t *flag;
    const char *name;  // as the registration failure names it
};
static constexpr HandledSignal handled_signals[] = {
    {SIGHUP, &sighup_pending, "SIGHUP"},
    {SIGTERM, &sigterm_pending, "SIGTERM"},
    {SIGUSR1, &sigusr1_pending, "SIGUSR1"},
    {SIGUSR2, &sigusr2_pending, "SIGUSR2"},
};

extern "C" void signal_handler(int signo)
{
    for (const HandledSignal &h : handled_signals)
        if (h.signo == signo)
            *h.flag = 1;
}

void install_signal_handlers()
{
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = signal_handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;

    sigset_t unblock;
    sigemptyset(&unblock);
    for (const HandledSignal &h : handled_signals) {
        if (sigaction(h.signo, &action, nullptr) != 0) {
            fprintf(stderr, "An error occured while registering a %s handler\n", h.name);
            perror("sigaction");
        }
        // SIGTERM stays as it was: blocked only where the caller blocked it.
        if (h.signo != SIGTERM)
            sigaddset(&unblock, h.signo);
    }
    (void)sigprocmask(SIG_UNBLOCK, &unblock, nullptr);
}

extern "C" void sigchld_handler(int)
{
    sigchld_pending = 1;
}

void install_child_handling()
{
    signal(SIGPIPE, SIG_IGN);
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

// Commands replaced at SIGHUP or restarted after a broken pipe end on
// their own. Only calls after a SIGCHLD look, so a busy loop makes no
// extra system call per message.
void reap_children(void (*ended)(pid_t pid, int status))
{
    if (!sigchld_pending)
        return;
    sigchld_pending = 0;
    int saved = errno;
    int status = 0;
    for (pid_t pid; (pid = waitpid(-1, &status, WNOHANG)) > 0;) {
        ended(pid, status);
    }
    errno = saved;
}
