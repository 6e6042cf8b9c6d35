#include "daemon/loop.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <poll.h>

#include <vector>

#include "config/settings.h"
#include "daemon/books.h"
#include "daemon/connections.h"
#include "daemon/metrics.h"
#include "daemon/metrics_http.h"
#include "daemon/notify.h"
#include "daemon/session.h"
#include "daemon/signals.h"
#include "daemon/spread_drops.h"
#include "daemon/status.h"
#include "output/deliver.h"
#include "output/log_files.h"
#include "output/writer.h"
#include "spread/sp.h"

// The receive buffer, reused for every message: receive_size bytes are
// offered to each receive.
static char *receive_buffer = nullptr;
static int receive_size = 0;

// The protocol's largest group count: a message multicast to several groups
// is routed by the first of them that is logged on its connection.
static constexpr int max_receive_groups = 100;

// The sessions to wait on, rebuilt from mailbox_table whenever a mailbox
// is dropped or accepted: the mailboxes in ascending order, and for each
// the descriptor that the library makes readable while a whole message is
// read ahead or the session has ended.
static std::vector<int> watched_mailboxes;
static std::vector<pollfd> watched;
static bool watched_stale = true;

static void rebuild_watched()
{
    watched_mailboxes.clear();
    watched.clear();
    for (int i = 0; i < mailbox_slots; i++)
        if (mailbox_table[i] != nullptr) {
            int ready_fd = SP_ready_fd(i);
            watched_mailboxes.push_back(i);
            watched.push_back(pollfd{ready_fd >= 0 ? ready_fd : i, POLLIN, 0});
        }
    watched_stale = false;
}

static void receive_from(int i);

// At SIGTERM: every session stops reading, and every message its library
// already read is written, one per mailbox in turn as in the loop, before
// the outputs are closed. Nothing waits on a Spread daemon here: only whole
// messages already buffered are received.
static void write_what_was_read()
{
    for (int i = 0; i < mailbox_slots; i++)
        if (mailbox_table[i] != nullptr)
            SP_read_ahead(i, 0);
    for (bool more = true; more;) {
        more = false;
        for (int i = 0; i < mailbox_slots; i++)
            if (mailbox_table[i] != nullptr && SP_buffered(i) > 0) {
                receive_from(i);
                more = true;
            }
    }
}

void announce_mailboxes()
{
    for (int i = 0; i < mailbox_slots; i++)
        if (mailbox_table[i] != nullptr)
            fprintf(stderr, "Setting FD: %d\n", i);
}

void handle_signals()
{
    if (sigterm_pending) {
        notify_stopping();
        if (log_spread_errors)
            fprintf(stderr, "Received SIGTERM, closing log files.\n");
        write_what_was_read();
        books_check(stderr);
        conn_stopping();
        output_drain(output_exit_stall_ms, output_exit_drain_ms);
        close_log_files();
        spread_drops_report_pending();
        // The counts are final now, and no session is up any more.
        metrics_write_final();
        conn_stopped();
        if (log_spread_errors)
            fprintf(stderr, "Log files closed, exiting.\n");
        exit(0);
    }
    if (sighup_pending && !conn_defers_reopen()) {
        sighup_pending = 0;
        conn_sighup();
        notify_reloading();
        reopen_log_files();
        notify_ready();
    }
    if (sigusr1_pending) {
        sigusr1_pending = 0;
        status_report(stderr);
    }
    if (sigusr2_pending) {
        sigusr2_pending = 0;
        conn_sigusr2();
    }
}

// The facility on conf of the first of the message's groups that has one;
// null when none has (nobody logs the message here).
static LogFacility *logged_facility(SpreadConf *conf, int num_groups, char groups[][MAX_GROUP_NAME])
{
    if (num_groups > max_receive_groups)
        num_groups = max_receive_groups;
    for (int g = 0; g < num_groups; g++)
        if (LogFacility *facility = spread_conf_facility(conf, groups[g]))
            return facility;
    return nullptr;
}

// A message longer than the receive buffer (cut off by DROP_RECV, its
// groups received): never written, since its head alone is not the line
// that was sent, but counted as received and dropped as "too long", under
// the output of its group when one of its groups is logged here, else
// under the connection. The hand-over decides first, as for any message:
// a new daemon before its cut counts nothing.
static void count_too_long(int i, service type, const char *sender, int16 mess_type, int num_groups,
                           char groups[][MAX_GROUP_NAME])
{
    SpreadConf *conf = mailbox_table[i];
    if (conf == nullptr || !Is_regular_mess(type) || num_groups == 0)
        return;
    switch (conn_message(i, type, sender, mess_type, receive_buffer, receive_size)) {
    case ConnVerdict::log: break;
    case ConnVerdict::taken: return;
    case ConnVerdict::closed: watched_stale = true; return;
    }
    conf->received++;
    LogFacility *facility = logged_facility(conf, num_groups < 0 ? -num_groups : num_groups, groups);
    if (facility == nullptr) {
        spread_drop(conf, SPREAD_DROP_TOO_LONG);
        return;
    }
    facility->received++;
    output_drop(output_of_facility(facility), OUTPUT_DROP_TOO_LONG);
}

static void receive_from(int i)
{
    static char sender[MAX_GROUP_NAME];
    static char groups[max_receive_groups][MAX_GROUP_NAME];
    // Every receive asks for DROP_RECV: what does not fit the buffer is cut
    // off rather than kept queued.
    service type = DROP_RECV;
    int num_groups = 0;
    int16 mess_type = 0;
    int endian_mismatch = 0;
    int r = SP_receive(i, &type, sender, max_receive_groups, &num_groups, groups, &mess_type,
                       &endian_mismatch, receive_size, receive_buffer);
    // Taken whole, or cut short and dropped (DROP_RECV): on the books.
    if (r >= 0 || r == BUFFER_TOO_SHORT)
        mailbox_table[i]->taken++;

    if (r == BUFFER_TOO_SHORT || r == ILLEGAL_MESSAGE || r == ILLEGAL_SESSION || r == CONNECTION_CLOSED) {
        if (log_spread_errors) {
            fprintf(stderr, "Error receiving from spread:\n\t");
            SP_error(r);
        }
        if (r == CONNECTION_CLOSED || r == ILLEGAL_SESSION) {
            conn_session_lost(i);
            watched_stale = true;
        }
        if (r == BUFFER_TOO_SHORT)
            count_too_long(i, type, sender, mess_type, num_groups, groups);
        return;
    }
    // Other negative results are never lengths: the message is dropped.
    if (r < 0)
        return;
    SpreadConf *conf = mailbox_table[i];
    switch (conn_message(i, type, sender, mess_type, receive_buffer, r)) {
    case ConnVerdict::log: break;
    case ConnVerdict::taken: return;
    case ConnVerdict::closed: watched_stale = true; return;
    }
    if (!Is_regular_mess(type) || num_groups == 0)
        return;

    conf->received++;
    // A negative count: more groups than room, the first ones received.
    LogFacility *facility = logged_facility(conf, num_groups < 0 ? -num_groups : num_groups, groups);
    if (facility == nullptr) {
        spread_drop(conf, SPREAD_DROP_NOT_LOGGED);
        return;
    }
    facility->received++;
    if (conn_hold(conf, facility, receive_buffer, r))
        return;
    // Routed, rewritten and written whole or not at all, never blocking; a
    // loss is counted and reported by the output module.
    (void)output_deliver(facility, receive_buffer, r);
}

// A child process ended: a piped command, or the daemon a hand-over
// started.
static void child_ended(pid_t pid, int status)
{
    output_command_reaped(pid);
    conn_child_ended(pid, status);
}

bool receive_loop_init(int size)
{
    receive_buffer = (char *)malloc(size > 0 ? size : 1);
    receive_size = size;
    return receive_buffer != nullptr;
}

void receive_loop()
{
    static std::vector<int> ready;
    static std::vector<char> buffered_at;  // per watched mailbox
    static std::vector<pollfd> waiting;    // the mailboxes, then outputs with a backlog
    for (;;) {
        if (watched_stale)
            rebuild_watched();

        // Each session is read on the library's own thread, so reading
        // never waits for the loop. A mailbox with a whole message read
        // ahead is ready now, known without a system call; the ready
        // descriptors tell about the others. So the wait is skipped when
        // every mailbox has messages buffered, and does not block when
        // some have: a busy session costs no system call per message.
        ready.clear();
        buffered_at.resize(watched.size());
        size_t buffered = 0;
        for (size_t k = 0; k < watched.size(); k++) {
            buffered_at[k] = SP_buffered(watched_mailboxes[k]) > 0;
            buffered += buffered_at[k];
        }
        // Out of whole messages: the batched ones are written before the
        // wait, which may block.
        if (buffered == 0)
            output_flush();
        // The mailboxes, the connections' own descriptors (attempts under
        // way, the socket directory while a local daemon is away, the
        // hand-over's channel), then the outputs with a backlog.
        waiting.assign(watched.begin(), watched.end());
        size_t connections = conn_poll_fds(&waiting);
        size_t backlogs_at = waiting.size();
        output_poll_backlogs(&waiting);
        size_t backlogs = waiting.size() - backlogs_at;
        // A scrape wakes a wait that would block (else the pass sees it).
        if (buffered == 0 && metrics_http_poll_fd() >= 0)
            waiting.push_back(pollfd{metrics_http_poll_fd(), POLLIN, 0});
        int waited = 0;
        if (buffered < watched.size() || waiting.size() > watched.size() || watched.empty())
            waited = poll(waiting.data(), waiting.size(),
                          buffered > 0 ? 0 : metrics_wait_ms(conn_wait_ms(notify_wait_ms(1000))));
        for (size_t k = 0; k < watched.size(); k++)
            if (buffered_at[k] || (waited > 0 && waiting[k].revents != 0))
                ready.push_back(watched_mailboxes[k]);
        if (waited > 0) {
            conn_readable(waiting.data() + watched.size(), connections);
            output_write_backlogs(waiting.data() + backlogs_at, backlogs);
        }

        // In ascending mailbox order, one message each; a lost session
        // inside the pass drops a mailbox from the table.
        for (int m : ready)
            if (m < mailbox_slots && mailbox_table[m] != nullptr)
                receive_from(m);

        handle_signals();
        reap_children(child_ended);
        // The hand-over's pass (its end, or the reconnection after it
        // failed), then finished attempts taken, tries and passes due
        // started: none of them waits here.
        if (conn_pass(write_what_was_read))
            watched_stale = true;
        output_tick();
        notify_pass();
        metrics_pass();
    }
}
