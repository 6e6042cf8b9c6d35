// spcat's follow mode: the Spread session, and a batch sent through it
// until the daemon has taken it.
#include <stdio.h>
#include <string.h>

#include "spcat_follow.h"

namespace spcat::follow {

// Connects; false while the daemon is away.  *status becomes 1 when it
// refuses for good.
bool try_connect(Follower &f, int *status)
{
    mailbox m = -1;
    char pg[MAX_GROUP_NAME] = {};
    sp_time limit = {1, 0};
    int ret = SP_connect_timeout(f.o->daemon, f.o->name, 0, 0, &m, pg, limit);
    f.next_try = Clock::now() + RETRY;
    if (ret == ACCEPT_SESSION) {
        f.mbox = m;
        f.private_group = pg;
        f.live_fd->store(m);
        f.was_connected = true;
        if (f.announced)
            fprintf(stderr, "spcat: reconnected to Spread daemon \"%s\"\n", f.o->daemon);
        f.announced = false;
        return true;
    }
    if (!retryable(ret, f.was_connected)) {
        fprintf(stderr, "spcat: cannot connect to Spread daemon \"%s\": %s\n", f.o->daemon, SP_strerror(ret));
        *status = 1;
    } else if (!f.announced) {
        fprintf(stderr, "spcat: cannot connect to Spread daemon \"%s\": %s; retrying\n", f.o->daemon,
                SP_strerror(ret));
        f.announced = true;
    }
    return false;
}

void lose_session(Follower &f, int ret)
{
    f.live_fd->store(-1);
    SP_kill(f.mbox);
    f.mbox = -1;
    if (term_seen(f))
        return;
    fprintf(stderr, "spcat: lost Spread daemon \"%s\": %s; retrying\n", f.o->daemon, SP_strerror(ret));
    f.announced = true;
    f.next_try = Clock::now();   // once at once, then every second
}

// Sends the batch and waits until the daemon hands back the marker sent
// after it: the batch is then taken.  0, or the library's error.
int send_batch(Follower &f)
{
    // A daemon gone is seen here once a batch, not once a line: a send to
    // a socket whose peer has left fails soon anyway, and the batch goes
    // again whole.
    if (peer_gone(f.mbox))
        return CONNECTION_CLOSED;
    for (auto [at, n] : f.batch.messages) {
        int ret = f.multicast(f.mbox, f.batch.bytes.data() + at, n);
        if (ret < 0)
            return ret;
    }
    if (f.batch.messages.empty())
        return 0;
    char marker[48];
    int len = snprintf(marker, sizeof marker, "spcat-taken %llu", ++f.acks);
    int ret = SP_multicast(f.mbox, f.o->svc, f.private_group.c_str(), 0, len, marker);
    if (ret < 0)
        return ret;
    for (;;) {
        service svc = DROP_RECV;
        char sender[MAX_GROUP_NAME];
        char groups[1][MAX_GROUP_NAME];
        int num_groups = 0, endian_mismatch = 0;
        int16 mess_type = 0;
        ret = SP_receive(f.mbox, &svc, sender, 1, &num_groups, groups, &mess_type, &endian_mismatch,
                         (int)f.body.size(), f.body.data());
        if (ret < 0 && ret != BUFFER_TOO_SHORT && ret != GROUPS_TOO_SHORT)
            return ret;
        if (ret == len && Is_regular_mess(svc) && memcmp(f.body.data(), marker, (size_t)len) == 0 &&
            f.private_group == sender)
            return 0;
    }
}

// What came from the daemon while nothing was asked of it: only the end of
// the session is of interest.  0, or the library's error.
int idle_receive(Follower &f)
{
    if (peer_gone(f.mbox))
        return CONNECTION_CLOSED;
    service svc = DROP_RECV;
    char sender[MAX_GROUP_NAME];
    char groups[1][MAX_GROUP_NAME];
    int num_groups = 0, endian_mismatch = 0;
    int16 mess_type = 0;
    int ret = SP_receive(f.mbox, &svc, sender, 1, &num_groups, groups, &mess_type, &endian_mismatch,
                         (int)f.body.size(), f.body.data());
    return ret < 0 && ret != BUFFER_TOO_SHORT && ret != GROUPS_TOO_SHORT ? ret : 0;
}

}  // namespace spcat::follow
