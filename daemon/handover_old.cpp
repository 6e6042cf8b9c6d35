// The old daemon's side of a hand-over: it starts the new one, cuts each
// shared connection at the new one's marker, finishes once everything is
// cut, and takes everything back when the new one fails at any moment.
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "daemon/connections_record.h"
#include "daemon/handover.h"
#include "daemon/handover_internal.h"
#include "daemon/handover_link.h"
#include "daemon/metrics.h"
#include "daemon/notify.h"
#include "daemon/session.h"
#include "daemon/signals.h"
#include "output/clock.h"
#include "output/log_files.h"
#include "output/writer.h"

namespace {

// Its connections are the records told of at the start (their part in
// the hand-over, daemon/connections_record.h); each is cut once its record
// is.
struct OldSide {
    pid_t pid = -1;             // the new daemon
    long hello_deadline = 0;    // monotonic ms
    bool hello = false;
    bool marks_known = false;   // "marked" came: `marks` is whole
    std::vector<std::string> marks;
    bool taken = false;
    bool ended = false;         // the child was reaped
    bool status_known = false;  // and `status` is its wait status
    int status = 0;
    std::string failure;        // set: the hand-over failed, for this reason
    bool outputs_closed = false;
};
OldSide &old_side = *new OldSide;
// Set when a failed hand-over leaves connections to make again at once.
bool reconnect_now = false;

// The records told of, none from now on.
void forget_told()
{
    for (Connection &c : conn_records)
        c.handover.told = false;
}

void fail(const std::string &reason)
{
    if (old_side.failure.empty())
        old_side.failure = reason;
}

// What the status of an ended new daemon says.
std::string ended_reason(int status)
{
    if (WIFEXITED(status))
        return "exited with status " + std::to_string(WEXITSTATUS(status));
    if (WIFSIGNALED(status))
        return "ended by signal " + std::to_string(WTERMSIG(status));
    return "ended";
}

// The new daemon is ended, once, and reaped: it may hold nothing once we
// take the outputs back. A new daemon whose channel ended is on its way
// out: its own exit status says why, when it comes within a second.
void end_new_daemon()
{
    if (old_side.ended)
        return;
    bool gone = false;
    int grace = old_side.failure == "channel" ? 1000 : 0;
    int status = handover_end_child(old_side.pid, grace, &gone);
    old_side.ended = true;
    old_side.status = status;
    old_side.status_known = !gone;
}

// The hand-over failed: the new daemon ended, the failure said, and
// everything this daemon had let go of taken back: its outputs opened and
// locked again when they were closed, reading on in every session, the
// cut ones reconnected by the loop at once.
void take_back()
{
    end_new_daemon();
    std::string reason = old_side.failure;
    if (reason == "channel")
        reason = old_side.status_known ? ended_reason(old_side.status) : "closed the channel";
    fprintf(stderr, "Hand-over failed: new daemon %d %s\n", (int)old_side.pid, reason.c_str());
    link_close();
    if (old_side.outputs_closed)
        reopen_log_files();
    for (int i = 0; i < mailbox_slots; i++)
        if (mailbox_table[i] != nullptr)
            (void)SP_read_ahead(i, 1);
    old_side = OldSide{};
    forget_told();
    handover_role = HandoverRole::none;
    reconnect_now = true;
    metrics_hold(false);
    metrics_count_handover(false);
    notify_main_pid(getpid());
    notify_ready();
}

// Reads the channel's lines: the hello first, then marks and "taken".
void read_lines()
{
    ChannelLine line;
    while (link_next(&line)) {
        if (!old_side.hello) {
            if (line.kind != ChannelKind::hello) {
                fail("did not answer");
                return;
            }
            old_side.hello = true;
            if (line.number != handover_channel_version) {
                fail("speaks channel version " + std::to_string(line.number));
                return;
            }
            continue;
        }
        if (line.kind == ChannelKind::mark)
            old_side.marks.push_back(line.word);
        else if (line.kind == ChannelKind::marked)
            old_side.marks_known = true;
        else if (line.kind == ChannelKind::taken)
            old_side.taken = true;
    }
    if (handover_link.ended && !old_side.taken)
        fail(old_side.hello ? "channel" : "did not answer");
}

// The failures seen by the channel, the clock and the child's end.
void watch()
{
    link_read();
    read_lines();
    if (old_side.ended)
        fail("channel");
    else if (!old_side.hello && clock_ms() > old_side.hello_deadline)
        fail("did not answer");
}

bool all_marked_cut()
{
    if (!old_side.marks_known)
        return false;
    for (const Connection &c : conn_records)
        if (c.handover.told && c.state != ConnState::cut &&
            std::find(old_side.marks.begin(), old_side.marks.end(), spread_daemon_name(c.conf)) !=
                old_side.marks.end())
            return false;
    return true;
}

// Sends SIGTERM and SIGHUP that came while we finished on to the new
// daemon, which holds the outputs now. Both are blocked first, so one that
// comes later stays pending here and is passed on as well.
void pass_on_pending_signals()
{
    sigset_t both, pending;
    sigemptyset(&both);
    sigaddset(&both, SIGTERM);
    sigaddset(&both, SIGHUP);
    (void)sigprocmask(SIG_BLOCK, &both, nullptr);
    sigemptyset(&pending);
    (void)sigpending(&pending);
    if (sighup_pending || sigismember(&pending, SIGHUP))
        kill(old_side.pid, SIGHUP);
    if (sigterm_pending || sigismember(&pending, SIGTERM))
        kill(old_side.pid, SIGTERM);
}

// Sends the counters of the metrics file and the start time, so that the
// new daemon's go on from them. A series too long for the channel is left
// out (it starts again from 0 there).
bool send_counters()
{
    for (const auto &[series, value] : metrics_counters()) {
        std::string hex = channel_hex(series);
        if (hex.size() <= channel_word_max && !link_send(ChannelLine{ChannelKind::count, hex, "", value, 0}))
            return false;
    }
    return link_send(
        ChannelLine{ChannelKind::started, "", "", static_cast<uint64_t>(metrics_start_time()), 0});
}

// Sends the counters, then "released"; waits for "taken", the channel's
// end or handover_taken_ms.
void release()
{
    // Our last file, then none: the new daemon writes the next ones.
    metrics_write_final();
    metrics_hold(true);
    if (!send_counters()) {
        fail("channel");
        return;
    }
    // systemd takes READY=1 only from the main process: the new daemon is
    // named main before it may say it (after "taken"); a failure from here
    // on names us again.
    notify_main_pid(old_side.pid);
    ChannelLine released;
    released.kind = ChannelKind::released;
    if (!link_send(released)) {
        fail("channel");
        return;
    }
    long deadline = clock_ms() + handover_taken_ms;
    while (!old_side.taken && old_side.failure.empty()) {
        if (!link_wait(deadline)) {
            fail("did not take over within " + std::to_string(handover_taken_ms / 1000) + " s");
            return;
        }
        read_lines();
    }
}

}  // namespace

void handover_start()
{
    if (handover_role != HandoverRole::none) {
        fprintf(stderr, "Hand-over in progress, SIGUSR2 ignored\n");
        return;
    }
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) {
        fprintf(stderr, "Hand-over failed: socketpair: %s\n", strerror(errno));
        return;
    }
    handover_token = handover_random_token();
    pid_t pid = handover_spawn(ends[1]);
    close(ends[1]);
    if (pid < 0) {
        close(ends[0]);
        return;
    }
    handover_role = HandoverRole::old_daemon;
    // This daemon may have taken over itself: nothing of that channel is
    // left over.
    link_open(ends[0]);
    old_side = OldSide{};
    old_side.pid = pid;
    old_side.hello_deadline = clock_ms() + handover_hello_ms;
    // The connections up now are the ones the new daemon is told of.
    for (Connection &c : conn_records)
        c.handover.told = c.conf->connected != 0;

    std::vector<ChannelLine> header;
    header.push_back(ChannelLine{ChannelKind::hello, "", "", handover_channel_version, 0});
    header.push_back(ChannelLine{ChannelKind::token, handover_token, "", 0, 0});
    header.push_back(ChannelLine{ChannelKind::pid, "", "", static_cast<uint64_t>(getpid()), 0});
    for (Connection &c : conn_records)
        if (c.handover.told)
            header.push_back(ChannelLine{ChannelKind::spread, spread_daemon_name(c.conf), c.conf->private_group, 0, 0});
    for (const auto &file : log_files_locked())
        header.push_back(ChannelLine{ChannelKind::file, "", "", static_cast<uint64_t>(file.first),
                                     static_cast<uint64_t>(file.second)});
    header.push_back(ChannelLine{ChannelKind::end, "", "", 0, 0});
    // A new daemon that ended already is seen by its exit status.
    for (const ChannelLine &line : header)
        if (!link_send(line))
            break;
    fprintf(stderr, "Handing over to new daemon %d\n", (int)pid);
    notify_handing_over();
}

void old_readable()
{
    link_read();
    read_lines();
}

HandoverVerdict old_message(SpreadConf *conf, bool marker)
{
    if (!marker)
        return HANDOVER_PASS;
    // A marker on a connection the new daemon was not told of is not its
    // cut; on one it was, the record is cut (conn_message).
    const Connection *c = conn_record(conf);
    if (c == nullptr || !c->handover.told)
        return HANDOVER_TAKEN;
    return HANDOVER_CLOSE;
}

HandoverStep old_pass()
{
    if (handover_role != HandoverRole::old_daemon) {
        bool reconnect = reconnect_now;
        reconnect_now = false;
        return reconnect ? HANDOVER_RECONNECT : HANDOVER_GO_ON;
    }
    watch();
    if (!old_side.failure.empty()) {
        take_back();
        reconnect_now = false;
        return HANDOVER_RECONNECT;
    }
    return all_marked_cut() ? HANDOVER_FINISH : HANDOVER_GO_ON;
}

int old_wait_ms(int ms)
{
    if (old_side.hello)
        return ms;
    long left = old_side.hello_deadline - clock_ms() + 1;
    return left < 0 ? 0 : left < ms ? static_cast<int>(left) : ms;
}

void handover_finish_old()
{
    output_drain(output_exit_stall_ms, output_exit_drain_ms);
    close_log_files();
    old_side.outputs_closed = true;
    // Each command's lines stay in order across the cut: its next
    // instance starts only once this one has read its input to the end.
    // Meanwhile the channel is watched: should the new daemon fail, the
    // sessions are made again at once (their messages wait read ahead
    // until the outputs are open again), so that little is lost.
    long deadline = clock_ms() + handover_command_wait_ms;
    int running = 0;
    for (;;) {
        long left = deadline - clock_ms();
        running = output_commands_wait(left < 0 ? 0 : left < 100 ? static_cast<int>(left) : 100);
        if (old_side.failure.empty()) {
            watch();
            if (!old_side.failure.empty()) {
                end_new_daemon();
                conn_reconnect_now();
            }
        }
        if (running == 0 || left <= 0)
            break;
    }
    if (running > 0)
        fprintf(stderr, "Handing over: %d piped commands still running after %d s, the new daemon starts its own\n",
                running, handover_command_wait_ms / 1000);
    if (old_side.failure.empty())
        release();
    if (!old_side.failure.empty())
        return;  // handover_pass takes everything back
    pass_on_pending_signals();
    fprintf(stderr, "Handed over to new daemon %d, exiting.\n", (int)old_side.pid);
    fflush(stderr);
    exit(0);
}

bool handover_allows_reconnect()
{
    return handover_role != HandoverRole::old_daemon;
}

void handover_child_ended(pid_t pid, int status)
{
    if (handover_role != HandoverRole::old_daemon || pid != old_side.pid || old_side.ended)
        return;
    old_side.ended = true;
    old_side.status_known = true;
    old_side.status = status;
}

void handover_pass_on(int signo)
{
    if (handover_role == HandoverRole::old_daemon && old_side.pid > 0 && !old_side.ended)
        kill(old_side.pid, signo);
}

void old_stop()
{
    if (old_side.pid > 0 && !old_side.ended)
        kill(old_side.pid, SIGTERM);
}

void handover_stopped()
{
    if (handover_role != HandoverRole::old_daemon)
        return;
    (void)output_commands_wait(handover_command_wait_ms);
    if (send_counters())
        (void)link_send(ChannelLine{ChannelKind::released, "", "", 0, 0});
}
