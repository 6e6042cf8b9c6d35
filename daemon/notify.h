// Telling systemd what the daemon is doing, through sd_notify(3): readiness,
// reloads, the stop, a one-line status and the watchdog's keep-alive.
// Without NOTIFY_SOCKET in the environment every call returns at once and
// nothing is sent.
//
//   READY=1          once the outputs are open, the first connect pass is
//                    made and every daemon that answered was sent the joins;
//                    again once SIGHUP reopened the outputs
//   RELOADING=1      at SIGHUP, before the outputs are closed, with
//                    MONOTONIC_USEC= (the monotonic clock in microseconds)
//   STOPPING=1       at SIGTERM, before the messages already read are written
//   RELOADING=1      also at SIGUSR2, when a hand-over starts; READY=1 then
//                    comes from the new daemon once it took over, or from
//                    this one when the hand-over failed
//   MAINPID=         the new daemon's pid, from the old one of a hand-over
//                    just before it exits (NotifyAccess=main: the old one is
//                    the main process until then)
//   STATUS=...       with READY=1, then from the loop every
//                    notify_status_interval seconds at most, when it changed
//   WATCHDOG=1       where WATCHDOG_USEC is set (and WATCHDOG_PID is this
//                    process or unset), from the loop only, every half of
//                    that interval: a loop that hangs stops the pings
//
// Everything is sent from the loop's thread, never from a library thread,
// so the pings prove that the loop itself runs.
#pragma once

#include <string>

// Seconds between two STATUS= refreshes at most.
constexpr int notify_status_interval = 3;

// Reads the environment, before the configuration starts any piped
// command: the watchdog's variables are taken out of it, so that commands
// do not take them for their own (NOTIFY_SOCKET stays, sd_notify reads it
// at each call). WATCHDOG_PID, when set, is this process's id before a
// detach.
void notify_start();

// READY=1 with a STATUS= line; the first one from a process that detached
// since notify_start also tells its process id (MAINPID=), which systemd
// takes with NotifyAccess=all only.
void notify_ready();

// RELOADING=1 and MONOTONIC_USEC= (SIGHUP, before the outputs close).
void notify_reloading();

// STOPPING=1 (SIGTERM, before the drain).
void notify_stopping();

// RELOADING=1 and MONOTONIC_USEC= with the status "Handing over to a new
// daemon" (SIGUSR2).
void notify_handing_over();

// MAINPID=pid: the daemon that takes over is the main process from now on.
void notify_main_pid(int pid);

// The watchdog interval systemd gave, in microseconds (0: none), for the
// environment of a daemon that takes over: notify_start took it out of
// ours.
unsigned long long notify_watchdog_usec();

// Once per loop pass: WATCHDOG=1 when half the watchdog interval passed
// since the last one, and STATUS= when notify_status_interval passed and
// the line changed. One read of the monotonic clock under systemd; without
// NOTIFY_SOCKET it returns at once.
void notify_pass();

// The loop's wait of `ms` milliseconds, shortened so that the next
// watchdog ping is not late: the time left until it is due, when that is
// less.
int notify_wait_ms(int ms);

// The status line: "C/N Spread daemons connected, W lines written, D
// dropped, " then "no backlog", or "backlog B bytes, oldest S s" (S: how
// long the output that has had a backlog longest has had one, as seen at
// the refreshes). Built from the counters of the status report.
std::string notify_status_line();
