/*
 * A preloaded library that stalls the process's thread for a while the
 * first time it opens a path containing a given text, the way a file
 * system now and then holds an open for tens of milliseconds. It stands
 * for any stall of the daemon's loop in tests:
 *
 *   LD_PRELOAD=libstall_open.so WKP_STALL_OPEN=text WKP_STALL_MS=500 wickerpost ...
 *
 * With WKP_STALL_UNTIL=path instead of WKP_STALL_MS it stalls until that
 * file exists, so that a test holds the loop exactly as long as it needs.
 * Only the calling thread sleeps; the open then proceeds as usual.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdatomic.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

static atomic_int stalled;

static void maybe_stall(const char *path)
{
    const char *text = getenv("WKP_STALL_OPEN");
    const char *ms = getenv("WKP_STALL_MS");
    const char *until = getenv("WKP_STALL_UNTIL");
    if (text == NULL || (ms == NULL && until == NULL) || path == NULL || strstr(path, text) == NULL)
        return;
    if (atomic_exchange(&stalled, 1) != 0)
        return;
    if (until != NULL) {
        struct timespec tick = {0, 10 * 1000000L};
        while (access(until, F_OK) != 0)
            nanosleep(&tick, NULL);
        return;
    }
    long total = atol(ms);
    struct timespec t = {total / 1000, (total % 1000) * 1000000L};
    while (nanosleep(&t, &t) != 0) {
    }
}

static mode_t mode_of(int flags, va_list ap)
{
    return (flags & (O_CREAT | O_TMPFILE)) ? (mode_t)va_arg(ap, int) : 0;
}

int open(const char *path, int flags, ...)
{
    va_list ap;
    va_start(ap, flags);
    mode_t mode = mode_of(flags, ap);
    va_end(ap);
    maybe_stall(path);
    int (*real)(const char *, int, ...) = (int (*)(const char *, int, ...))dlsym(RTLD_NEXT, "open");
    return real(path, flags, mode);
}

int open64(const char *path, int flags, ...)
{
    va_list ap;
    va_start(ap, flags);
    mode_t mode = mode_of(flags, ap);
    va_end(ap);
    maybe_stall(path);
    int (*real)(const char *, int, ...) = (int (*)(const char *, int, ...))dlsym(RTLD_NEXT, "open64");
    return real(path, flags, mode);
}

int openat(int dir, const char *path, int flags, ...)
{
    va_list ap;
    va_start(ap, flags);
    mode_t mode = mode_of(flags, ap);
    va_end(ap);
    maybe_stall(path);
    int (*real)(int, const char *, int, ...) = (int (*)(int, const char *, int, ...))dlsym(RTLD_NEXT, "openat");
    return real(dir, path, flags, mode);
}
