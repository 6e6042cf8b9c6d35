// Error texts, the library version and the sp_time helpers.
#include <sys/time.h>

#include <cstdio>

#include "spread/client.h"

namespace {

struct ErrorText {
    int code;
    const char *text;
};

constexpr ErrorText error_texts[] = {
    {ILLEGAL_SPREAD, "Illegal spread name provided."},
    {COULD_NOT_CONNECT, "Could not connect."},
    {REJECT_QUOTA, "Connection rejected, too many users."},
    {REJECT_NO_NAME, "Connection rejected, no name was supplied."},
    {REJECT_ILLEGAL_NAME, "Connection rejected, illegal name."},
    {REJECT_NOT_UNIQUE, "Connection rejected, name not unique."},
    {REJECT_VERSION, "Connection rejected, client library incompatible with daemon."},
    {CONNECTION_CLOSED, "Connection closed by Spread."},
    {REJECT_AUTH, "Connection rejected, authentication failed."},
    {ILLEGAL_SESSION, "Illegal session was supplied."},
    {ILLEGAL_SERVICE, "Illegal service request."},
    {ILLEGAL_MESSAGE, "Illegal message."},
    {ILLEGAL_GROUP, "Illegal group."},
    {BUFFER_TOO_SHORT, "Buffer too short."},
    {GROUPS_TOO_SHORT, "Groups list too short."},
    {MESSAGE_TOO_LONG, "Message (body + group names) too large."},
    {NET_ERROR_ON_SESSION, "Network socket error. SP_kill() the mailbox."},
    {SP_BUG, "Internal Spread bug detected."},
    {ILLEGAL_TIME, "Illegal time."},
};

constexpr long USEC_PER_SEC = 1000000;

// Field arithmetic wraps instead of overflowing on absurd inputs.
long wrap_add(long a, long b) { return (long)((unsigned long)a + (unsigned long)b); }
long wrap_sub(long a, long b) { return (long)((unsigned long)a - (unsigned long)b); }

// Carries whole seconds out of usec, then gives both fields the same sign.
sp_time normalise(long sec, long usec)
{
    sec = wrap_add(sec, usec / USEC_PER_SEC);
    usec %= USEC_PER_SEC;
    if (sec > 0 && usec < 0) {
        sec -= 1;
        usec += USEC_PER_SEC;
    } else if (sec < 0 && usec > 0) {
        sec += 1;
        usec -= USEC_PER_SEC;
    }
    return sp_time{sec, usec};
}

}  // namespace

extern "C" const char *SP_strerror(int error)
{
    for (const ErrorText &e : error_texts)
        if (e.code == error)
            return e.text;
    return "Unrecognized error.";
}

extern "C" void SP_error(int error)
{
    fprintf(stderr, "SP_error: (%d) %s\n", error, SP_strerror(error));
}

extern "C" int SP_version(int *major_version, int *minor_version, int *patch_version)
{
    if (major_version)
        *major_version = 5;
    if (minor_version)
        *minor_version = 0;
    if (patch_version)
        *patch_version = 1;
    return 1;
}

extern "C" sp_time E_get_time(void)
{
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    return sp_time{(long)tv.tv_sec, (long)tv.tv_usec};
}

extern "C" sp_time E_add_time(sp_time t, sp_time delta)
{
    return normalise(wrap_add(t.sec, delta.sec), wrap_add(t.usec, delta.usec));
}

extern "C" sp_time E_sub_time(sp_time t, sp_time delta)
{
    return normalise(wrap_sub(t.sec, delta.sec), wrap_sub(t.usec, delta.usec));
}

extern "C" int E_compare_time(sp_time t1, sp_time t2)
{
    if (t1.sec != t2.sec)
        return t1.sec > t2.sec ? 1 : -1;
    if (t1.usec != t2.usec)
        return t1.usec > t2.usec ? 1 : -1;
    return 0;
}
