// The event loop: timed callbacks and descriptor callbacks in three
// priorities, run by E_handle_events. Used from one thread; only
// E_exit_events_async_safe may come from a signal handler.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <vector>

#include "spread/sp_events.h"

namespace {

using TimedFunc = void (*)(int code, void *data);
using FdFunc = void (*)(int fd, int code, void *data);

struct TimedEvent {
    sp_time due;  // on the monotonic clock
    unsigned long long seq;
    TimedFunc func;
    int code;
    void *data;
};

struct FdEvent {
    int fd;
    int type;
    FdFunc func;
    int code;
    void *data;
    bool active;
};

// Pending timed events, ordered by due time and then by queuing order.
std::vector<TimedEvent> timed;
unsigned long long next_seq = 0;
// Attached descriptors, per priority.
std::vector<FdEvent> attached[NUM_PRIORITY];
int threshold = LOW_PRIORITY;
volatile sig_atomic_t exit_requested = 0;
// Written by E_exit_events_async_safe to end a wait.
int wake_pipe[2] = {-1, -1};

bool before(sp_time a, sp_time b) { return E_compare_time(a, b) < 0; }

bool valid_type(int type) { return type >= 0 && type < NUM_FDTYPES; }
bool valid_priority(int priority) { return priority >= 0 && priority < NUM_PRIORITY; }

// The entry of (fd, type) in priority p, or null.
FdEvent *find_fd(int p, int fd, int type)
{
    for (FdEvent &e : attached[p])
        if (e.fd == fd && e.type == type)
            return &e;
    return nullptr;
}

int detach_in(int p, int fd, int type)
{
    std::vector<FdEvent> &list = attached[p];
    for (size_t i = 0; i < list.size(); i++)
        if (list[i].fd == fd && list[i].type == type) {
            list.erase(list.begin() + (long)i);
            return 0;
        }
    return -1;
}

int set_active(int fd, int type, bool active)
{
    if (fd < 0 || !valid_type(type))
        return -1;
    int found = -1;
    for (int p = 0; p < NUM_PRIORITY; p++)
        if (FdEvent *e = find_fd(p, fd, type)) {
            e->active = active;
            found = 0;
        }
    return found;
}

short poll_events(int type)
{
    switch (type) {
    case READ_FD: return POLLIN;
    case WRITE_FD: return POLLOUT;
    default: return POLLPRI;
    }
}

// Whether revents make a descriptor of this type ready: errors and hang-ups
// wake readers and writers, so that they see them.
bool ready_for(int type, short revents)
{
    switch (type) {
    case READ_FD: return revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL);
    case WRITE_FD: return revents & (POLLOUT | POLLHUP | POLLERR | POLLNVAL);
    default: return revents & POLLPRI;
    }
}

// Milliseconds from now until t, rounded up; 0 when t has passed.
int ms_until(sp_time t)
{
    sp_time left = E_sub_time(t, E_get_time_monotonic());
    if (left.sec < 0 || (left.sec == 0 && left.usec <= 0))
        return 0;
    if (left.sec > 1000000)
        return 1000000000;
    return (int)(left.sec * 1000 + (left.usec + 999) / 1000);
}

// Runs every timed event due by now, earliest first. An event queued by
// one of them for now runs in the same call.
void run_due_events()
{
    while (!timed.empty() && !exit_requested) {
        if (before(E_get_time_monotonic(), timed.front().due))
            return;
        TimedEvent e = timed.front();
        timed.erase(timed.begin());
        e.func(e.code, e.data);
    }
}

void drain_wake_pipe()
{
    char sink[64];
    while (read(wake_pipe[0], sink, sizeof sink) > 0) {
    }
}

// One round: wait until a descriptor is ready or the next timed event is
// due, then serve the ready descriptors, highest priority first.
void run_round()
{
    struct Watched {
        int p;
        int fd;
        int type;
    };
    std::vector<pollfd> fds;
    std::vector<Watched> who;
    fds.push_back(pollfd{wake_pipe[0], POLLIN, 0});
    who.push_back(Watched{-1, -1, -1});
    for (int p = NUM_PRIORITY - 1; p >= threshold; p--)
        for (const FdEvent &e : attached[p])
            if (e.active) {
                fds.push_back(pollfd{e.fd, poll_events(e.type), 0});
                who.push_back(Watched{p, e.fd, e.type});
            }
    int timeout = timed.empty() ? -1 : ms_until(timed.front().due);
    int n = poll(fds.data(), fds.size(), timeout);
    if (n <= 0)
        return;
    if (fds[0].revents)
        drain_wake_pipe();
    // In the order built: priorities from high to low. A callback may
    // detach, deactivate or replace entries, so each is looked up again.
    for (size_t i = 1; i < fds.size() && !exit_requested; i++) {
        if (!ready_for(who[i].type, fds[i].revents))
            continue;
        if (who[i].p < threshold)
            continue;
        FdEvent *e = find_fd(who[i].p, who[i].fd, who[i].type);
        if (e == nullptr || !e->active)
            continue;
        FdEvent call = *e;
        call.func(call.fd, call.code, call.data);
    }
}

}  // namespace

extern "C" int E_init(void)
{
    if (wake_pipe[0] >= 0)
        return 0;
    if (pipe2(wake_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        wake_pipe[0] = wake_pipe[1] = -1;
        return -1;
    }
    return 0;
}

extern "C" sp_time E_get_time_monotonic(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return sp_time{(long)ts.tv_sec, ts.tv_nsec / 1000};
}

extern "C" sp_time E_neg_time(sp_time t) { return sp_time{-t.sec, -t.usec}; }

extern "C" int E_queue(TimedFunc func, int code, void *data, sp_time delta_time)
{
    if (func == nullptr || delta_time.sec < 0 || delta_time.usec < 0)
        return -1;
    E_dequeue(func, code, data);
    TimedEvent e{E_add_time(E_get_time_monotonic(), delta_time), next_seq++, func, code, data};
    auto at = timed.begin();
    while (at != timed.end() && !before(e.due, at->due))
        at++;
    timed.insert(at, e);
    return 0;
}

extern "C" int E_dequeue(TimedFunc func, int code, void *data)
{
    for (size_t i = 0; i < timed.size(); i++)
        if (timed[i].func == func && timed[i].code == code && timed[i].data == data) {
            timed.erase(timed.begin() + (long)i);
            return 0;
        }
    return -1;
}

extern "C" int E_in_queue(TimedFunc func, int code, void *data)
{
    for (const TimedEvent &e : timed)
        if (e.func == func && e.code == code && e.data == data)
            return 1;
    return 0;
}

extern "C" void E_delay(sp_time delay)
{
    if (delay.sec < 0 || delay.usec < 0)
        return;
    struct timespec left = {delay.sec + delay.usec / 1000000, (delay.usec % 1000000) * 1000};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

extern "C" int E_attach_fd(int fd, int fd_type, FdFunc func, int code, void *data, int priority)
{
    if (fd < 0 || !valid_type(fd_type) || !valid_priority(priority) || func == nullptr)
        return -1;
    if (FdEvent *e = find_fd(priority, fd, fd_type)) {
        *e = FdEvent{fd, fd_type, func, code, data, true};
        return 0;
    }
    if (attached[priority].size() >= MAX_FD_EVENTS)
        return -1;
    // One handler per (fd, type): an entry in another priority goes.
    for (int p = 0; p < NUM_PRIORITY; p++)
        detach_in(p, fd, fd_type);
    attached[priority].push_back(FdEvent{fd, fd_type, func, code, data, true});
    return 0;
}

extern "C" int E_detach_fd(int fd, int fd_type)
{
    if (fd < 0 || !valid_type(fd_type))
        return -1;
    int found = -1;
    for (int p = 0; p < NUM_PRIORITY; p++)
        if (detach_in(p, fd, fd_type) == 0)
            found = 0;
    return found;
}

extern "C" int E_detach_fd_priority(int fd, int fd_type, int priority)
{
    if (fd < 0 || !valid_type(fd_type) || !valid_priority(priority))
        return -1;
    return detach_in(priority, fd, fd_type);
}

extern "C" int E_activate_fd(int fd, int fd_type) { return set_active(fd, fd_type, true); }

extern "C" int E_deactivate_fd(int fd, int fd_type) { return set_active(fd, fd_type, false); }

extern "C" int E_set_active_threshold(int priority)
{
    if (valid_priority(priority))
        threshold = priority;
    return threshold;
}

extern "C" int E_num_active(int priority)
{
    if (!valid_priority(priority))
        return -1;
    int n = 0;
    for (const FdEvent &e : attached[priority])
        n += e.active;
    return n;
}

extern "C" void E_handle_events(void)
{
    if (E_init() != 0)
        return;
    while (!exit_requested) {
        run_due_events();
        if (exit_requested)
            break;
        run_round();
    }
    // The request is used up: a later E_handle_events runs again.
    exit_requested = 0;
}

extern "C" void E_exit_events(void) { exit_requested = 1; }

extern "C" void E_exit_events_async_safe(void)
{
    int saved = errno;
    exit_requested = 1;
    if (wake_pipe[1] >= 0)
        (void)!write(wake_pipe[1], "x", 1);
    errno = saved;
}
