// The new daemon's side of a hand-over: the channel checked and the old
// daemon's header read at start-up, its connections joined and marked,
// what comes after its markers held until the old daemon released the
// outputs, then the take-over.
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "daemon/connections_record.h"
#include "daemon/handover.h"
#include "daemon/handover_held.h"
#include "daemon/handover_internal.h"
#include "daemon/handover_link.h"
#include "daemon/metrics.h"
#include "daemon/notify.h"
#include "daemon/process.h"
#include "daemon/session.h"
#include "daemon/signals.h"
#include "output/clock.h"
#include "output/log_files.h"
#include "output/writer.h"

namespace {

// Milliseconds the new daemon waits for the old one's release once every
// connection is cut: the old one's drain, then its commands, and room.
constexpr int release_wait_ms = output_exit_drain_ms + handover_command_wait_ms + 5000;

pid_t old_pid = -1;
bool detached = false;
long started_ms = 0;

// What the old daemon told: its connections, by daemon name, with their
// private groups.
struct OldSession {
    std::string name, group;
};
std::vector<OldSession> &old_sessions = *new std::vector<OldSession>;

// Our connections are the records, each with its part in the take-over
// (daemon/connections_record.h).
bool markers_sent = false;
bool released = false;
bool taken_over = false;
bool old_gone = false;  // the channel ended before "released"
long all_cut_ms = -1;   // when the last connection was cut

const OldSession *old_session(const char *name)
{
    for (const OldSession &s : old_sessions)
        if (s.name == name)
            return &s;
    return nullptr;
}

// A group name that SP_join accepts: 1 to 31 characters from '$' to '~'.
bool joinable(const char *group)
{
    size_t n = strlen(group);
    if (n == 0 || n >= MAX_GROUP_NAME)
        return false;
    for (size_t i = 0; i < n; i++)
        if (group[i] < '$' || group[i] > '~')
            return false;
    return true;
}

int add_join(LogFacility *facility, void *joins)
{
    if (joinable(facility->groupname))
        static_cast<std::vector<std::string> *>(joins)->push_back(facility->groupname);
    return 0;
}

// Sends the marker on c's session: one multicast to the old daemon's
// private group and ours.
void send_marker(Connection &c)
{
    char groups[2][MAX_GROUP_NAME];
    memset(groups, 0, sizeof groups);
    snprintf(groups[0], sizeof groups[0], "%s", c.handover.old_group.c_str());
    snprintf(groups[1], sizeof groups[1], "%s", c.conf->private_group);
    std::string body = handover_marker_prefix + handover_token;
    // A failed send means a lost session: it is reconnected, joined and
    // marked again.
    (void)SP_multigroup_multicast(c.mailbox, AGREED_MESS, 2, groups, handover_marker_type,
                                  static_cast<int>(body.size()), body.data());
    c.handover.state = TakeoverState::marked;
}

bool joined(const Connection &c)
{
    return c.conf->connected && c.handover.joins.empty();
}

bool shared(const Connection &c)
{
    return c.handover.seen && c.handover.shared;
}

// Sends the markers once every shared connection is joined: first the list
// to the old daemon, then one marker per connection. A shared connection
// joined again later (its session was lost) is marked on its own.
void mark_when_joined()
{
    if (!markers_sent) {
        for (const Connection &c : conn_records)
            if (shared(c) && !joined(c))
                return;
        for (const Connection &c : conn_records)
            if (shared(c))
                (void)link_send(ChannelLine{ChannelKind::mark, spread_daemon_name(c.conf), "", 0, 0});
        (void)link_send(ChannelLine{ChannelKind::marked, "", "", 0, 0});
        markers_sent = true;
    }
    for (Connection &c : conn_records)
        if (shared(c) && c.handover.state == TakeoverState::joining && joined(c))
            send_marker(c);
}

// Brings c's part up to date with its session: a connection that is not
// shared is cut from the start; a shared one not cut yet waits for its joins
// and is marked (again).
HandoverPart &sync_connection(Connection &c)
{
    HandoverPart &h = c.handover;
    if (!h.seen) {
        const OldSession *s = old_session(spread_daemon_name(c.conf));
        h.seen = true;
        h.shared = s != nullptr && !old_gone;
        h.old_group = s ? s->group : std::string();
        h.state = h.shared ? TakeoverState::joining : TakeoverState::cut;
        h.sessions = 0;
        h.joins.clear();
    }
    if (!c.conf->connected || h.sessions == c.conf->connections)
        return h;
    h.sessions = c.conf->connections;
    if (h.shared && h.state != TakeoverState::cut) {
        h.state = TakeoverState::joining;
        h.joins.clear();
        for_each_facility(c.conf, add_join, &h.joins);
    }
    return h;
}

void sync_all()
{
    for (Connection &c : conn_records)
        sync_connection(c);
}

bool all_cut()
{
    for (const Connection &c : conn_records)
        if (c.handover.seen && c.handover.state != TakeoverState::cut && c.conf->connected)
            return false;
    return true;
}

// The old daemon is gone before it released: nothing it had is written by
// it any more, so every connection counts as cut now, and what comes from
// here on is ours.
void old_daemon_gone()
{
    if (old_gone)
        return;
    old_gone = true;
    for (Connection &c : conn_records)
        if (c.handover.seen)
            c.handover.state = TakeoverState::cut;
    if (all_cut_ms < 0)
        all_cut_ms = clock_ms();
}

void take_over()
{
    taken_over = true;
    if (!released) {
        if (old_gone)
            fprintf(stderr, "Taking over: daemon %d ended before it released its outputs\n", (int)old_pid);
        else
            fprintf(stderr, "Taking over: daemon %d still holds its outputs after %d s, going ahead\n",
                    (int)old_pid, release_wait_ms / 1000);
    }
    log_files_handover_finish();
    held_write_out();
    // A SIGHUP kept while we could not reopen (log rotation during the
    // hand-over) is acted on now, before anything newer is written.
    if (sighup_pending) {
        sighup_pending = 0;
        reopen_log_files();
    }
    if (detached)
        write_pid_file();
    spread_membership = 0;
    (void)link_send(ChannelLine{ChannelKind::taken, "", "", 0, 0});
    link_close();
    fprintf(stderr, "Took over from daemon %d\n", (int)old_pid);
    // The old daemon wrote its last file: ours follow at once.
    metrics_count_handover(true);
    metrics_hold(false);
    metrics_write();
    notify_ready();
}

// Why `fd` cannot be the channel, or "" when it can: a Unix stream socket
// whose peer is our parent.
std::string unfit_channel(int fd)
{
    if (fd <= 2)
        return "not a descriptor above 2";
    if (fcntl(fd, F_GETFD) < 0)
        return "descriptor " + std::to_string(fd) + " is not open";
    int type = 0;
    socklen_t size = sizeof type;
    sockaddr_storage address{};
    socklen_t address_size = sizeof address;
    if (getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &size) != 0 || type != SOCK_STREAM ||
        getsockname(fd, reinterpret_cast<sockaddr *>(&address), &address_size) != 0 ||
        address.ss_family != AF_UNIX)
        return "descriptor " + std::to_string(fd) + " is not a Unix stream socket";
    ucred peer{};
    size = sizeof peer;
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0 || peer.pid != getppid())
        return "the peer of descriptor " + std::to_string(fd) + " is not the parent process";
    return "";
}

// The descriptor the variable names, or -1 when it names none.
int channel_number(const char *value)
{
    char *end = nullptr;
    errno = 0;
    long n = strtol(value, &end, 10);
    if (errno != 0 || end == value || *end != '\0' || n < 0 || n > 1 << 30)
        return -1;
    return static_cast<int>(n);
}

// Reads the old daemon's header within handover_hello_ms: its hello first.
// "" when it is whole, else why not. An old daemon of another channel
// version ends the process.
std::string read_header(std::vector<std::pair<dev_t, ino_t>> *files)
{
    long deadline = clock_ms() + handover_hello_ms;
    bool hello = false;
    for (;;) {
        ChannelLine line;
        while (link_next(&line)) {
            if (!hello) {
                if (line.kind != ChannelKind::hello)
                    return "the header does not begin with a hello";
                if (line.number != handover_channel_version) {
                    fprintf(stderr, "Taking over: the old daemon speaks channel version %llu, this one %d\n",
                            (unsigned long long)line.number, handover_channel_version);
                    exit(1);
                }
                hello = true;
                continue;
            }
            switch (line.kind) {
            case ChannelKind::token: handover_token = line.word; break;
            case ChannelKind::pid: old_pid = static_cast<pid_t>(line.number); break;
            case ChannelKind::spread: old_sessions.push_back(OldSession{line.word, line.second}); break;
            case ChannelKind::file:
                files->emplace_back(static_cast<dev_t>(line.number), static_cast<ino_t>(line.second_number));
                break;
            case ChannelKind::end:
                if (handover_token.empty() || old_pid <= 0)
                    return "the header lacks a token or a pid";
                return "";
            default: return "the header holds an unexpected line";
            }
        }
        if (handover_link.ended)
            return "the header is malformed or cut short";
        if (!link_wait(deadline))
            return "no header within " + std::to_string(handover_hello_ms / 1000) + " s";
    }
}

}  // namespace

bool handover_takeover_begin(bool detached_mode)
{
    const char *value = getenv(handover_channel_variable);
    if (value == nullptr)
        return false;
    int fd = channel_number(value);
    unsetenv(handover_channel_variable);
    std::string unfit = fd < 0 ? "not a descriptor number" : unfit_channel(fd);
    if (!unfit.empty()) {
        fprintf(stderr, "WICKERPOST_HANDOVER ignored: %s\n", unfit.c_str());
        return false;
    }
    (void)fcntl(fd, F_SETFD, FD_CLOEXEC);
    link_open(fd);
    // Our hello first, whatever the old daemon says: it tells our version.
    (void)link_send(ChannelLine{ChannelKind::hello, "", "", handover_channel_version, 0});
    std::vector<std::pair<dev_t, ino_t>> files;
    std::string broken = read_header(&files);
    if (!broken.empty()) {
        fprintf(stderr, "WICKERPOST_HANDOVER ignored: %s\n", broken.c_str());
        link_close();
        handover_token.clear();
        old_sessions.clear();
        old_pid = -1;
        return false;
    }
    handover_role = HandoverRole::new_daemon;
    detached = detached_mode;
    // The old daemon writes the metrics file until it released.
    metrics_hold(true);
    log_files_handover_begin(std::move(files));
    spread_membership = 1;
    return true;
}

bool handover_taking_over()
{
    return handover_role == HandoverRole::new_daemon && !taken_over;
}

// A shared Spread daemon we cannot reach now ends the hand-over: the old
// daemon keeps it.
static int require_shared_connected(SpreadConf *conf, void *)
{
    if (!conf->connected && old_session(spread_daemon_name(conf)) != nullptr) {
        const char *host = conf->host ? conf->host : "/tmp";
        fprintf(stderr, "Taking over: cannot connect to spread at %s%c%s\n", host, conf->host ? ':' : '/',
                conf->port);
        exit(1);
    }
    return 0;
}

void handover_takeover_connect()
{
    started_ms = clock_ms();
    conn_connect_all();
    link_read();
    new_readable();
    if (!old_gone)
        for_each_spread_conf(require_shared_connected, nullptr);
    sync_all();
    if (old_gone)
        old_daemon_gone();
}

void new_readable()
{
    link_read();
    ChannelLine line;
    std::string series;
    while (link_next(&line)) {
        if (line.kind == ChannelKind::released)
            released = true;
        else if (line.kind == ChannelKind::count && channel_unhex(line.word, &series))
            metrics_carry(series, line.number);
        else if (line.kind == ChannelKind::started)
            metrics_keep_start_time(static_cast<long long>(line.number));
    }
    if (handover_link.ended && !released && !taken_over)
        old_daemon_gone();
}

HandoverVerdict new_message(SpreadConf *conf, service type, const char *sender, int16 mess_type, bool marker)
{
    Connection *record = conn_record(conf);
    if (record == nullptr)
        return HANDOVER_PASS;
    HandoverPart &c = sync_connection(*record);
    switch (c.state) {
    case TakeoverState::joining:
        // Our own join shows us among the members (mess_type: our index).
        if (Is_membership_mess(type) && Is_reg_memb_mess(type) && mess_type >= 0) {
            auto at = std::find(c.joins.begin(), c.joins.end(), std::string(sender, strnlen(sender, MAX_GROUP_NAME)));
            if (at != c.joins.end())
                c.joins.erase(at);
        }
        return HANDOVER_TAKEN;  // before the cut: the old daemon's
    case TakeoverState::marked:
        if (marker && strncmp(sender, conf->private_group, MAX_GROUP_NAME) == 0) {
            c.state = TakeoverState::cut;
            if (all_cut())
                all_cut_ms = clock_ms();
        }
        return HANDOVER_TAKEN;
    case TakeoverState::cut:
        break;
    }
    return HANDOVER_PASS;
}

bool handover_hold(SpreadConf *, LogFacility *facility, const char *message, int length)
{
    if (handover_role != HandoverRole::new_daemon || taken_over)
        return false;
    (void)held_add(facility, message, length);
    return true;
}

HandoverStep new_pass()
{
    sync_all();
    long now = clock_ms();
    if (!markers_sent && !old_gone && now - started_ms > handover_join_ms) {
        for (const Connection &c : conn_records)
            if (shared(c) && !joined(c))
                fprintf(stderr, "Taking over: the groups on spread at %s were not joined within %d s\n",
                        spread_daemon_name(c.conf), handover_join_ms / 1000);
        return HANDOVER_GIVE_UP;
    }
    if (!old_gone)
        mark_when_joined();
    if (!taken_over && (markers_sent || old_gone)) {
        bool cut = all_cut();
        if (cut && all_cut_ms < 0)
            all_cut_ms = now;
        if (released || old_gone || (cut && now - all_cut_ms > release_wait_ms))
            take_over();
    }
    if (taken_over && all_cut())
        handover_role = HandoverRole::none;
    return HANDOVER_GO_ON;
}

int new_wait_ms(int ms)
{
    // The joins' deadline and the release's are seen by a pass at least
    // once a second.
    return ms < 1000 ? ms : 1000;
}

void new_stop()
{
    if (taken_over || (!markers_sent && !old_gone))
        return;
    // Messages after our markers are ours: wait for the old daemon to let
    // go of the outputs, then write them.
    long deadline = clock_ms() + release_wait_ms;
    while (!released && !handover_link.ended && link_wait(deadline))
        new_readable();
    take_over();
}
