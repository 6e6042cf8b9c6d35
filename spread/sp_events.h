/*
 * sp_events.h: the event loop of the Spread client library, as programs
 * written for Spread 4.x/5.x use it: timed callbacks, and callbacks on
 * descriptors in three priorities, run by E_handle_events until
 * E_exit_events. Compiles as C and as C++ (C linkage). sp.h includes it;
 * it also stands alone.
 *
 * One event loop per process, used from one thread: E_exit_events_async_safe
 * is the only call that may come from a signal handler (or another thread).
 *
 * Timed events are kept on the monotonic clock: E_queue(f, code, data, d)
 * runs f(code, data) once, d after the call; queuing the same (f, code,
 * data) again moves it to the new time. Events due at the same time run in
 * the order they were queued.
 *
 * Descriptors: E_attach_fd(fd, type, f, code, data, priority) runs
 * f(fd, code, data) whenever fd is ready for its type (READ_FD: readable,
 * end of file or error; WRITE_FD: writable or error; EXCEPT_FD: urgent data)
 * while it is active (attaching activates) and its priority is at or above
 * the active threshold. One handler per (fd, type); attaching again
 * replaces it. Of the descriptors ready in one round, those of higher
 * priority are served first; timed events that are due run before the
 * round waits.
 */
#ifndef WKP_SPREAD_SP_EVENTS_H
#define WKP_SPREAD_SP_EVENTS_H

#ifdef __cplusplus
extern "C" {
#endif

/* A time or an interval: seconds and microseconds, both of one sign. */
typedef struct dummy_time {
    long sec;
    long usec;
} sp_time;

#define MAX_FD_EVENTS 2000 /* descriptors per priority */
#define NUM_PRIORITY 3
#define NUM_FDTYPES 3

#define READ_FD 0
#define WRITE_FD 1
#define EXCEPT_FD 2

#define LOW_PRIORITY 0
#define MEDIUM_PRIORITY 1
#define HIGH_PRIORITY 2

/* Readies the event loop (called on first use otherwise). Returns 0, or -1
 * when its wake-up pipe cannot be made. */
int E_init(void);

/* Wall-clock time, and a clock that never goes back (for intervals). */
sp_time E_get_time(void);
sp_time E_get_time_monotonic(void);
sp_time E_add_time(sp_time t, sp_time delta);
sp_time E_sub_time(sp_time t, sp_time delta);
sp_time E_neg_time(sp_time t);
/* 1, 0 or -1 as t1 is after, equal to or before t2. */
int E_compare_time(sp_time t1, sp_time t2);

/* Timed events. E_queue returns 0, or -1 for a null func or a negative
 * delay. E_dequeue returns 0 when the event was queued (it is removed),
 * -1 otherwise. E_in_queue returns 1 when it is queued, 0 otherwise. */
int E_queue(void (*func)(int code, void *data), int code, void *data, sp_time delta_time);
int E_dequeue(void (*func)(int code, void *data), int code, void *data);
int E_in_queue(void (*func)(int code, void *data), int code, void *data);
/* Sleeps for delay (the whole of it, signals notwithstanding). */
void E_delay(sp_time delay);

/* Descriptors. All return 0, or -1 for arguments out of range (fd < 0, a
 * type or priority beyond the constants above, a null func), a priority
 * that already holds MAX_FD_EVENTS descriptors, or a descriptor that is
 * not attached. E_detach_fd detaches (fd, type) in whatever priority;
 * E_detach_fd_priority only in the given one. E_activate_fd and
 * E_deactivate_fd switch (fd, type) on and off without detaching it. */
int E_attach_fd(int fd, int fd_type, void (*func)(int fd, int code, void *data), int code, void *data,
                int priority);
int E_detach_fd(int fd, int fd_type);
int E_detach_fd_priority(int fd, int fd_type, int priority);
int E_activate_fd(int fd, int fd_type);
int E_deactivate_fd(int fd, int fd_type);
/* Only descriptors of this priority or above are served. Returns the
 * threshold now in force (an out-of-range priority changes nothing). */
int E_set_active_threshold(int priority);
/* Active descriptors attached at this priority; -1 for an unknown one. */
int E_num_active(int priority);

/* Runs timed events and descriptor callbacks until E_exit_events. */
void E_handle_events(void);
/* Ends E_handle_events once the callback that called it returns. */
void E_exit_events(void);
/* The same, from a signal handler or another thread: wakes the wait. */
void E_exit_events_async_safe(void);

#ifdef __cplusplus
}
#endif

#endif
