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

extern "C" void signal_handler(int signo)
{
    if (signo == SIGHUP)
        sighup_pending = 1;
    else if (signo == SIGTERM)
        sigterm_pending = 1;
    else if (signo == SIGUSR1)
        sigusr1_pending = 1;
    else if (signo == SIGUSR2)
        sigusr2_pending = 1;
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
    if (sigaction(SIGUSR2, &action, nullptr) != 0) {
        fprintf(stderr, "An error occured while registering a SIGUSR2 handler\n");
        perror("sigaction");
    }
    sigset_t unblock;
    sigemptyset(&unblock);
    sigaddset(&unblock, SIGHUP);
    sigaddset(&unblock, SIGUSR1);
    sigaddset(&unblock, SIGUSR2);
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
