#include "daemon/connections_record.h"

#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "config/settings.h"
#include "daemon/books.h"
#include "daemon/handover.h"
#include "daemon/loop.h"
#include "daemon/rejoin.h"
#include "daemon/session.h"
#include "output/clock.h"

namespace {

constexpr int first_retry_ms = 50;
// A failed try that took this long did not fail for want of a listener.
constexpr int slow_try_ms = 500;

int done_fd = -1;            // eventfd: an attempt's thread is done
unsigned long passes = 0;    // reconnect passes so far
long long next_pass_ms = 0;  // when the next one is due

bool is_local(const Connection &c) { return c.conf->host == nullptr; }

void *run_attempt(void *arg)
{
    Attempt *a = static_cast<Attempt *>(arg);
    session_open(a->request, &a->result);
    a->done.store(true, std::memory_order_release);
    uint64_t one = 1;
    // An eventfd counter never overflows at one write per attempt.
    (void)!write(done_fd, &one, sizeof one);
    return nullptr;
}

// Starts an attempt for c on a thread of its own; without a thread (none
// left) it runs here, on the loop.
void start_attempt(Connection &c, bool loud, bool after_loss, unsigned long pass)
{
    Attempt *a = new Attempt;
    a->request = session_request(c.conf, true);
    c.attempt = a;
    c.state = ConnState::connecting;
    c.loud = loud;
    c.after_loss = after_loss;
    c.pass = pass;
    c.taking_back = false;
    c.appeared_meanwhile = false;
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    // getaddrinfo and the handshake need little; the default 8 MiB is
    // address space only, but a few hundred KiB is plenty.
    pthread_attr_setstacksize(&attr, 256u << 10);
    // The thread takes no signal: each must interrupt the loop's wait, on
    // the main thread, to be acted on at once.
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &old);
    a->threaded = pthread_create(&a->thread, &attr, run_attempt, a) == 0;
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    pthread_attr_destroy(&attr);
    if (!a->threaded)
        run_attempt(a);
}

const char *host_of(const SpreadConf *conf) { return conf->host ? conf->host : "/tmp"; }
char separator_of(const SpreadConf *conf) { return conf->host ? ':' : '/'; }

// The session of c is closed and forgotten; its counts go to its books.
// lost: its Spread daemon ended it.
void close_session(Connection &c, bool lost)
{
    books_session_ended(c.conf, c.mailbox, lost);
    // Release the library's session: its descriptor would leak otherwise.
    SP_disconnect(c.mailbox);
    mailbox_table[c.mailbox] = nullptr;
    c.mailbox = -1;
    c.conf->connected = 0;
}

// What a failed try of a local daemon's schedule does next: the next try
// after the delay, twice as long the time after, for one reconnect
// interval; a slow failure ends the tries.
void after_failed_try(Connection &c, const SessionResult &r)
{
    if (c.try_at_ms < 0)
        return;
    if (c.appeared_meanwhile)
        return;  // scheduled anew, due now
    long long now = clock_ms();
    c.try_at_ms = now + c.try_delay_ms;
    c.try_delay_ms *= 2;
    if (c.try_at_ms > c.tries_until_ms || r.ended_ms - r.started_ms >= slow_try_ms)
        c.try_at_ms = -1;
}

// Takes c's finished attempt: the record is up, or down again; every line
// of it is said here. True when mailbox_table changed.
bool take_result(Connection &c)
{
    Attempt *a = c.attempt;
    if (a->threaded)
        pthread_join(a->thread, nullptr);
    c.attempt = nullptr;
    c.state = ConnState::down;
    const SessionResult &r = a->result;
    bool changed = false;
    if (r.result == ACCEPT_SESSION && !handover_allows_reconnect() && !c.taking_back) {
        // This daemon hands over: its sessions are the new daemon's now.
        SP_disconnect(r.mailbox);
    } else if (r.result == ACCEPT_SESSION && !mailbox_table_reserve(r.mailbox)) {
        // No room to remember the session: give it up rather than lose track.
        fprintf(stderr, "Out of memory for mailbox %d\n", r.mailbox);
        SP_disconnect(r.mailbox);
    } else if (r.result == ACCEPT_SESSION) {
        if (verbose)
            fprintf(stderr, "Successfully connected to spread at %s%c%s\n", host_of(c.conf), separator_of(c.conf),
                    c.conf->port);
        if (r.read_ahead != 0) {
            fprintf(stderr, "Cannot read ahead on spread mailbox %d:\n\t", r.mailbox);
            SP_error(r.read_ahead);
        }
        memcpy(c.conf->private_group, r.private_group, sizeof c.conf->private_group);
        mailbox_table[r.mailbox] = c.conf;
        c.conf->connected = 1;
        c.conf->connections++;
        c.mailbox = r.mailbox;
        c.state = ConnState::up;
        c.try_at_ms = -1;
        if (verbose)
            for (size_t g = 0; g < r.joins.size(); g++)
                if (r.joins[g] == 0)
                    fprintf(stderr, "Joined %s.\n", a->request.groups[g].c_str());
        changed = true;
    } else {
        if (verbose && c.loud)
            fprintf(stderr, "Failed connection to spread at %s%c%s\n", host_of(c.conf), separator_of(c.conf),
                    c.conf->port);
        if (log_spread_errors && c.after_loss)
            fprintf(stderr, "Error connecting to spread daemon\n");
        after_failed_try(c, r);
    }
    delete a;
    return changed;
}

// Takes every finished attempt. Those of a pass report in registry
// order: one waits while a record before it in the same pass (or an
// earlier one) is still connecting.
bool take_results()
{
    bool changed = false;
    unsigned long waiting_pass = ULONG_MAX;
    bool may_take_back = handover_allows_reconnect();
    for (Connection &c : conn_records) {
        if (c.attempt == nullptr || (c.taking_back && !may_take_back))
            continue;
        bool done = c.attempt->done.load(std::memory_order_acquire);
        if (c.pass != 0 && (!done || c.pass >= waiting_pass)) {
            if (c.pass < waiting_pass)
                waiting_pass = c.pass;
            continue;
        }
        if (done)
            changed |= take_result(c);
    }
    return changed;
}

bool attempts_under_way()
{
    for (const Connection &c : conn_records)
        if (c.attempt != nullptr)
            return true;
    return false;
}

void drain_done_fd()
{
    uint64_t count;
    (void)!read(done_fd, &count, sizeof count);
}

// Waits for every attempt's thread until `deadline_ms`.
void wait_for_attempts(long long deadline_ms)
{
    for (;;) {
        bool all_done = true;
        for (const Connection &c : conn_records)
            if (c.attempt != nullptr && !c.attempt->done.load(std::memory_order_acquire))
                all_done = false;
        long long left = deadline_ms - clock_ms();
        if (all_done || left <= 0)
            return;
        pollfd p{done_fd, POLLIN, 0};
        if (poll(&p, 1, left > 1000 ? 1000 : (int)left) > 0)
            drain_done_fd();
    }
}

// At exit: no thread is left in the client library while the process
// ends (the library's registry is torn down with it).
void wait_at_exit() { wait_for_attempts(clock_ms() + connect_deadline_sec * 1000LL + 1000); }

// Tries c at once, then on the schedule of after_failed_try.
void schedule_tries(Connection &c, long long now)
{
    c.try_at_ms = now;
    c.tries_until_ms = now + reconnect_interval * 1000LL;
    c.try_delay_ms = first_retry_ms;
    if (c.state == ConnState::connecting)
        c.appeared_meanwhile = true;
}

void socket_appeared(long port, void *arg)
{
    long long now = *static_cast<long long *>(arg);
    for (Connection &c : conn_records)
        if (is_local(c) && (c.state == ConnState::down || c.state == ConnState::connecting) &&
            atoi(c.conf->port) == port)
            schedule_tries(c, now);
}

// The socket directory is watched while a local daemon may be tried; one
// whose socket is already there when the watch starts may have come back
// between its failed try and the watch, and is tried once more.
void update_watch(bool may_try)
{
    bool wanted = false;
    for (const Connection &c : conn_records)
        if (is_local(c) && (c.state == ConnState::down || c.state == ConnState::connecting))
            wanted = true;
    if (!rejoin_watch(wanted && may_try))
        return;
    long long now = clock_ms();
    for (Connection &c : conn_records)
        if (is_local(c) && c.state == ConnState::down && rejoin_socket_exists(c.conf->port))
            schedule_tries(c, now);
}

}  // namespace

static int add_record(SpreadConf *conf, void *)
{
    conn_records.emplace_back();
    conn_records.back().conf = conf;
    return 0;
}

bool conn_init()
{
    done_fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (done_fd < 0) {
        fprintf(stderr, "Cannot open an eventfd for the connections: %s\n", strerror(errno));
        return false;
    }
    for_each_spread_conf(add_record, nullptr);
    atexit(wait_at_exit);
    next_pass_ms = clock_ms() + reconnect_interval * 1000LL;
    return true;
}

void conn_connect_all()
{
    passes++;
    for (Connection &c : conn_records)
        if (c.state == ConnState::down)
            start_attempt(c, true, false, passes);
    wait_for_attempts(LLONG_MAX);
    drain_done_fd();
    take_results();
    next_pass_ms = clock_ms() + reconnect_interval * 1000LL;
}

size_t conn_poll_fds(std::vector<pollfd> *fds)
{
    size_t before = fds->size();
    if (attempts_under_way())
        fds->push_back(pollfd{done_fd, POLLIN, 0});
    if (rejoin_fd() >= 0)
        fds->push_back(pollfd{rejoin_fd(), POLLIN, 0});
    if (handover_poll_fd() >= 0)
        fds->push_back(pollfd{handover_poll_fd(), POLLIN, 0});
    return fds->size() - before;
}

void conn_readable(const pollfd *fds, size_t count)
{
    for (size_t k = 0; k < count; k++) {
        if (fds[k].revents == 0)
            continue;
        if (fds[k].fd == done_fd) {
            drain_done_fd();
        } else if (fds[k].fd == rejoin_fd()) {
            long long now = clock_ms();
            rejoin_read_events(socket_appeared, &now);
        } else if (fds[k].fd == handover_poll_fd()) {
            handover_readable();
        }
    }
}

int conn_wait_ms(int ms)
{
    ms = handover_wait_ms(ms);
    long long now = clock_ms();
    long long until = now + ms;
    if (handover_allows_reconnect()) {
        if (next_pass_ms < until)
            until = next_pass_ms;
        for (const Connection &c : conn_records)
            if (c.state == ConnState::down && c.try_at_ms >= 0 && c.try_at_ms < until)
                until = c.try_at_ms;
    }
    return until <= now ? 0 : (int)(until - now);
}

// The records in line with the hand-over: up is cutting while this
// daemon hands over; cutting is up and cut is down once it no longer does.
static void follow_handover(bool handing_over)
{
    for (Connection &c : conn_records) {
        if (handing_over && c.state == ConnState::up)
            c.state = ConnState::cutting;
        else if (!handing_over && c.state == ConnState::cutting)
            c.state = ConnState::up;
        else if (!handing_over && c.state == ConnState::cut)
            c.state = ConnState::down;
    }
}

// The hand-over's part of a pass: the old daemon's end once everything is
// cut, the reconnection after a failure, the new daemon giving up.
static void handover_step(void (*write_what_was_read)())
{
    switch (handover_pass()) {
    case HANDOVER_GO_ON: break;
    case HANDOVER_FINISH:
        // Every shared connection is cut: what the sessions left (those
        // only this configuration has) read is written, then the end,
        // unless the new daemon fails meanwhile.
        write_what_was_read();
        handover_finish_old();
        break;
    case HANDOVER_RECONNECT:
        // The hand-over failed: what was cut is connected again now, not
        // at the next pass.
        conn_reconnect_now();
        break;
    case HANDOVER_GIVE_UP: exit(1);
    }
}

bool conn_pass(void (*write_what_was_read)())
{
    handover_step(write_what_was_read);
    bool changed = take_results();
    bool may_try = handover_allows_reconnect();
    follow_handover(!may_try);
    if (may_try) {
        long long now = clock_ms();
        for (Connection &c : conn_records)
            if (c.state == ConnState::down && c.try_at_ms >= 0 && c.try_at_ms <= now)
                start_attempt(c, false, false, 0);
        if (now >= next_pass_ms) {
            passes++;
            for (Connection &c : conn_records) {
                if (c.state == ConnState::down) {
                    start_attempt(c, true, false, passes);
                } else if (c.state == ConnState::connecting && c.pass == 0) {
                    // Under way already: this pass reports it.
                    c.loud = true;
                    c.pass = passes;
                }
            }
            next_pass_ms = now + reconnect_interval * 1000LL;
        }
        // Attempts that ran on the loop (no thread) are done already.
        changed |= take_results();
    }
    update_watch(may_try);
    return changed;
}

void conn_reconnect_now()
{
    passes++;
    for (Connection &c : conn_records) {
        if (c.state == ConnState::cut)
            c.state = ConnState::down;
        if (c.state == ConnState::down) {
            start_attempt(c, true, false, passes);
            c.taking_back = true;
        }
    }
    next_pass_ms = clock_ms() + reconnect_interval * 1000LL;
}

ConnVerdict conn_message(int mbox, service type, const char *sender, int16 mess_type, const char *body,
                         int length)
{
    SpreadConf *conf = mailbox_table[mbox];
    switch (handover_message(conf, type, sender, mess_type, body, length)) {
    case HANDOVER_PASS: return ConnVerdict::log;
    case HANDOVER_TAKEN: return ConnVerdict::taken;
    case HANDOVER_CLOSE: break;
    }
    Connection *c = conn_record(conf);
    close_session(*c, false);
    c->state = ConnState::cut;
    return ConnVerdict::closed;
}

void conn_session_lost(int mbox)
{
    Connection *c = conn_record(mailbox_table[mbox]);
    if (log_spread_errors)
        fprintf(stderr, "Terminal error closing spread mailbox %d\n", mbox);
    close_session(*c, true);
    // While handing over it counts as cut (daemon/handover.h).
    if (!handover_allows_reconnect()) {
        c->state = ConnState::cut;
        return;
    }
    c->state = ConnState::down;
    start_attempt(*c, true, true, 0);
    if (!c->attempt->threaded)
        take_results();
}
