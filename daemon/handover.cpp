#include "daemon/handover.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "config/settings.h"
#include "daemon/connections.h"
#include "daemon/notify.h"
#include "daemon/process.h"
#include "daemon/session.h"
#include "daemon/signals.h"
#include "output/deliver.h"
#include "output/log_files.h"
#include "output/writer.h"

extern char **environ;

namespace {

// The marker's message type and body (the body ends with the token).
constexpr int16 marker_type = 0x5748;
constexpr const char marker_prefix[] = "wickerpost hand-over ";
constexpr const char channel_variable[] = "WICKERPOST_HANDOVER";
// Milliseconds the new daemon waits for the old one's release once every
// connection is cut: the old one's drain, then its commands, and room.
constexpr int release_wait_ms = output_exit_drain_ms + handover_command_wait_ms + 5000;

enum class Role { none, old_daemon, new_daemon };
Role role = Role::none;

// From start-up.
std::string &program = *new std::string;
std::vector<std::string> &arguments = *new std::vector<std::string>;

// The channel (both sides): its descriptor, what was read of a line, and
// whether the other side closed it.
int channel = -1;
std::string &incoming = *new std::string;
bool channel_ended = false;
std::string &token = *new std::string;

long monotonic_ms()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// Writes all of `text` to the channel (blocking); false when the other
// side is gone.
bool channel_send(const std::string &text)
{
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = send(channel, text.data() + done, text.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// Reads what the channel holds now into `incoming`; sets channel_ended at
// end of file or an error.
void channel_read()
{
    char buf[4096];
    for (;;) {
        ssize_t n = recv(channel, buf, sizeof buf, MSG_DONTWAIT);
        if (n > 0) {
            incoming.append(buf, static_cast<size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK))
            channel_ended = true;
        return;
    }
}

// Takes the next whole line out of `incoming` (without its newline).
bool next_line(std::string *line)
{
    size_t end = incoming.find('\n');
    if (end == std::string::npos)
        return false;
    line->assign(incoming, 0, end);
    incoming.erase(0, end + 1);
    return true;
}

// --- The old daemon ------------------------------------------------------------

pid_t new_pid = -1;

// Its connections at the start of the hand-over, and whether each is cut
// (its marker came, or its session was lost).
struct OldConnection {
    SpreadConf *conf;
    std::string name;
    bool cut;
};
std::vector<OldConnection> &old_connections = *new std::vector<OldConnection>;
// The shared connections the new daemon marks, once it said so.
bool marks_known = false;
std::vector<std::string> &marks = *new std::vector<std::string>;

int add_old_connection(SpreadConf *conf, void *)
{
    if (conf->connected)
        old_connections.push_back(OldConnection{conf, spread_daemon_name(conf), false});
    return 0;
}

OldConnection *old_connection(SpreadConf *conf)
{
    for (OldConnection &c : old_connections)
        if (c.conf == conf)
            return &c;
    return nullptr;
}

void end_old_side()
{
    if (channel >= 0)
        close(channel);
    channel = -1;
    channel_ended = false;
    incoming.clear();
    old_connections.clear();
    marks.clear();
    marks_known = false;
    new_pid = -1;
    role = Role::none;
}

std::string random_token()
{
    unsigned char bytes[16];
    ssize_t n = getrandom(bytes, sizeof bytes, 0);
    if (n != static_cast<ssize_t>(sizeof bytes)) {
        // Without the kernel's randomness the token is still unique here.
        long seed = monotonic_ms() ^ (static_cast<long>(getpid()) << 20);
        memcpy(bytes, &seed, sizeof seed);
    }
    std::string text;
    char hex[3];
    for (unsigned char b : bytes) {
        snprintf(hex, sizeof hex, "%02x", b);
        text += hex;
    }
    return text;
}

// --- The new daemon -------------------------------------------------------------

pid_t old_pid = -1;
bool detached = false;
long started_ms = 0;

// What the old daemon told: its connections, by daemon name, with their
// private groups.
struct OldSession {
    std::string name, group;
};
std::vector<OldSession> &old_sessions = *new std::vector<OldSession>;

// Our connections: a shared one (the old daemon has a session there) goes
// joining -> marked -> cut; any other one is cut from the start.
enum class State { joining, marked, cut };
struct NewConnection {
    SpreadConf *conf;
    int mailbox;
    unsigned long sessions;          // conf->connections when last seen
    bool shared;
    std::string old_group;
    State state;
    std::vector<std::string> joins;  // groups whose join membership is awaited
};
std::vector<NewConnection> &new_connections = *new std::vector<NewConnection>;
bool markers_sent = false;
bool released = false;
bool taken_over = false;
long all_cut_ms = -1;  // when the last connection was cut

// Messages received after the cut and before the take-over, in order.
struct Held {
    LogFacility *facility;
    size_t offset;
    int length;
};
std::vector<char> &held_bytes = *new std::vector<char>;
std::vector<Held> &held = *new std::vector<Held>;

NewConnection *new_connection(SpreadConf *conf)
{
    for (NewConnection &c : new_connections)
        if (c.conf == conf)
            return &c;
    return nullptr;
}

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
void send_marker(NewConnection &c)
{
    char groups[2][MAX_GROUP_NAME];
    memset(groups, 0, sizeof groups);
    snprintf(groups[0], sizeof groups[0], "%s", c.old_group.c_str());
    snprintf(groups[1], sizeof groups[1], "%s", c.conf->private_group);
    std::string body = marker_prefix + token;
    // A failed send means a lost session: it is reconnected, joined and
    // marked again.
    (void)SP_multigroup_multicast(c.mailbox, AGREED_MESS, 2, groups, marker_type, static_cast<int>(body.size()),
                                  body.data());
    c.state = State::marked;
}

bool joined(const NewConnection &c)
{
    return c.conf->connected && c.joins.empty();
}

// Sends the markers once every shared connection is joined: first the list
// to the old daemon, then one marker per connection. A shared connection
// joined again later (its session was lost) is marked on its own.
void mark_when_joined()
{
    if (!markers_sent) {
        for (const NewConnection &c : new_connections)
            if (c.shared && !joined(c))
                return;
        std::string list;
        for (const NewConnection &c : new_connections)
            if (c.shared)
                list += "mark " + std::string(spread_daemon_name(c.conf)) + "\n";
        channel_send(list + "marked\n");
        markers_sent = true;
    }
    for (NewConnection &c : new_connections)
        if (c.shared && c.state == State::joining && joined(c))
            send_marker(c);
}

int find_mailbox(SpreadConf *conf)
{
    for (int i = 0; i < mailbox_slots; i++)
        if (mailbox_table[i] == conf)
            return i;
    return -1;
}

// Notes conf's session when it is one we have not seen yet (the first, or
// one that replaced a lost session): a connection that is not shared is
// cut from the start; a shared one not cut yet waits for its joins and is
// marked (again).
NewConnection *sync_connection(SpreadConf *conf)
{
    NewConnection *c = new_connection(conf);
    if (c == nullptr) {
        const OldSession *s = old_session(spread_daemon_name(conf));
        new_connections.push_back(NewConnection{conf, -1, 0, s != nullptr, s ? s->group : std::string(),
                                                s != nullptr ? State::joining : State::cut, {}});
        c = &new_connections.back();
    }
    if (!conf->connected || c->sessions == conf->connections)
        return c;
    c->sessions = conf->connections;
    c->mailbox = find_mailbox(conf);
    if (c->shared && c->state != State::cut) {
        c->state = State::joining;
        c->joins.clear();
        for_each_facility(conf, add_join, &c->joins);
    }
    return c;
}

int sync_each(SpreadConf *conf, void *)
{
    sync_connection(conf);
    return 0;
}

bool all_cut()
{
    for (const NewConnection &c : new_connections)
        if (c.state != State::cut && c.conf->connected)
            return false;
    return true;
}

void take_over()
{
    taken_over = true;
    if (!released) {
        if (channel_ended)
            fprintf(stderr, "Taking over: daemon %d ended before it released its outputs\n", (int)old_pid);
        else
            fprintf(stderr, "Taking over: daemon %d still holds its outputs after %d s, going ahead\n",
                    (int)old_pid, release_wait_ms / 1000);
    }
    log_files_handover_finish();
    // Each message is written from a buffer of buffer_size bytes, as from
    // the loop's: its rewrite works in place.
    std::vector<char> buffer(static_cast<size_t>(buffer_size > 0 ? buffer_size : 1));
    for (const Held &h : held) {
        memcpy(buffer.data(), held_bytes.data() + h.offset, static_cast<size_t>(h.length));
        (void)output_deliver(h.facility, buffer.data(), h.length);
    }
    std::vector<Held>().swap(held);
    std::vector<char>().swap(held_bytes);
    // A SIGHUP kept while we could not reopen (log rotation during the
    // hand-over) is acted on now, before anything newer is written.
    if (sighup_pending) {
        sighup_pending = 0;
        reopen_log_files();
    }
    if (detached)
        write_pid_file();
    spread_membership = 0;
    if (channel >= 0)
        close(channel);
    channel = -1;
    channel_ended = false;
    incoming.clear();
    fprintf(stderr, "Took over from daemon %d\n", (int)old_pid);
    notify_ready();
}

// Reads the old daemon's header from the channel (blocking): false when it
// is not whole.
bool read_header(std::vector<std::pair<dev_t, ino_t>> *files)
{
    for (;;) {
        std::string line;
        while (next_line(&line)) {
            if (line == "end")
                return !token.empty() && old_pid > 0;
            if (line.compare(0, 6, "token ") == 0) {
                token = line.substr(6);
            } else if (line.compare(0, 4, "pid ") == 0) {
                old_pid = static_cast<pid_t>(atol(line.c_str() + 4));
            } else if (line.compare(0, 7, "spread ") == 0) {
                size_t space = line.rfind(' ');
                old_sessions.push_back(OldSession{line.substr(7, space - 7), line.substr(space + 1)});
            } else if (line.compare(0, 5, "file ") == 0) {
                unsigned long long dev = 0, ino = 0;
                if (sscanf(line.c_str() + 5, "%llu %llu", &dev, &ino) == 2)
                    files->emplace_back(static_cast<dev_t>(dev), static_cast<ino_t>(ino));
            }
        }
        pollfd p{channel, POLLIN, 0};
        if (poll(&p, 1, -1) < 0 && errno != EINTR)
            return false;
        channel_read();
        if (channel_ended && incoming.find('\n') == std::string::npos)
            return false;
    }
}

}  // namespace

void handover_init(int argc, char **argv)
{
    arguments.assign(argv, argv + argc);
    std::string name = argc > 0 ? argv[0] : "wickerpost";
    if (name.find('/') == std::string::npos) {
        // Found on PATH, as the shell found it.
        const char *path = getenv("PATH");
        std::string dirs = path ? path : "/usr/local/bin:/usr/bin:/bin";
        for (size_t at = 0; at <= dirs.size();) {
            size_t end = dirs.find(':', at);
            if (end == std::string::npos)
                end = dirs.size();
            std::string dir = dirs.substr(at, end - at);
            std::string candidate = (dir.empty() ? "." : dir) + "/" + name;
            if (access(candidate.c_str(), X_OK) == 0) {
                name = candidate;
                break;
            }
            at = end + 1;
        }
    }
    if (name[0] != '/') {
        // Relative to the directory we were started in; a later
        // replacement of the file at that path is what runs.
        char cwd[4096];
        if (getcwd(cwd, sizeof cwd) != nullptr)
            name = std::string(cwd) + "/" + name;
    }
    program = name;
}

// --- Old side ----------------------------------------------------------------------

void handover_start()
{
    if (role != Role::none) {
        fprintf(stderr, "Hand-over in progress, SIGUSR2 ignored\n");
        return;
    }
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) {
        fprintf(stderr, "Hand-over failed: socketpair: %s\n", strerror(errno));
        return;
    }
    token = random_token();
    std::string variable = std::string(channel_variable) + "=" + std::to_string(ends[1]);
    std::string watchdog;
    std::vector<char *> envp;
    for (char **e = environ; *e != nullptr; e++)
        if (strncmp(*e, channel_variable, sizeof channel_variable - 1) != 0)
            envp.push_back(*e);
    envp.push_back(variable.data());
    if (unsigned long long usec = notify_watchdog_usec()) {
        watchdog = "WATCHDOG_USEC=" + std::to_string(usec);
        envp.push_back(watchdog.data());
    }
    envp.push_back(nullptr);
    std::vector<char *> argv;
    for (std::string &a : arguments)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    // SIGHUP (log rotation, passed on), SIGUSR1 and SIGUSR2 wait, blocked,
    // until the new daemon has its handlers and unblocks them: their
    // default action would end it.
    sigset_t blocked;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGHUP);
    sigaddset(&blocked, SIGUSR1);
    sigaddset(&blocked, SIGUSR2);
    pid_t pid = output_spawn(program.c_str(), argv.data(), envp.data(), -1, ends[1], false, &blocked);
    int error = errno;
    close(ends[1]);
    if (pid < 0) {
        fprintf(stderr, "Hand-over failed: cannot start %s: %s\n", program.c_str(), strerror(error));
        close(ends[0]);
        return;
    }
    role = Role::old_daemon;
    // This daemon may have taken over itself: nothing of that channel is
    // left over.
    channel = ends[0];
    channel_ended = false;
    incoming.clear();
    new_pid = pid;
    for_each_spread_conf(add_old_connection, nullptr);

    std::string header = "token " + token + "\npid " + std::to_string(getpid()) + "\n";
    for (const OldConnection &c : old_connections)
        header += "spread " + c.name + " " + c.conf->private_group + "\n";
    for (const auto &file : log_files_locked())
        header += "file " + std::to_string(static_cast<unsigned long long>(file.first)) + " " +
                  std::to_string(static_cast<unsigned long long>(file.second)) + "\n";
    // A new daemon that ended already is seen by reap_children.
    (void)channel_send(header + "end\n");
    fprintf(stderr, "Handing over to new daemon %d\n", (int)pid);
    notify_handing_over();
}

int handover_poll_fd()
{
    return channel >= 0 && !channel_ended ? channel : -1;
}

void handover_readable()
{
    if (channel < 0 || channel_ended)
        return;
    channel_read();
    std::string line;
    while (next_line(&line)) {
        if (role == Role::old_daemon) {
            if (line.compare(0, 5, "mark ") == 0)
                marks.push_back(line.substr(5));
            else if (line == "marked")
                marks_known = true;
        } else if (role == Role::new_daemon && line == "released") {
            released = true;
        }
    }
}

HandoverVerdict handover_message(SpreadConf *conf, service type, const char *sender, int16 mess_type,
                                 const char *body, int length)
{
    if (role == Role::none)
        return HANDOVER_PASS;
    bool marker = Is_regular_mess(type) && mess_type == marker_type &&
                  static_cast<size_t>(length) == sizeof marker_prefix - 1 + token.size() &&
                  memcmp(body, marker_prefix, sizeof marker_prefix - 1) == 0 &&
                  memcmp(body + sizeof marker_prefix - 1, token.data(), token.size()) == 0;
    if (role == Role::old_daemon) {
        if (!marker)
            return HANDOVER_PASS;
        OldConnection *c = old_connection(conf);
        if (c == nullptr)
            return HANDOVER_TAKEN;
        c->cut = true;
        return HANDOVER_CLOSE;
    }
    NewConnection *c = sync_connection(conf);
    switch (c->state) {
    case State::joining:
        // Our own join shows us among the members (mess_type: our index).
        if (Is_membership_mess(type) && Is_reg_memb_mess(type) && mess_type >= 0) {
            auto at = std::find(c->joins.begin(), c->joins.end(), std::string(sender, strnlen(sender, MAX_GROUP_NAME)));
            if (at != c->joins.end())
                c->joins.erase(at);
        }
        return HANDOVER_TAKEN;  // before the cut: the old daemon's
    case State::marked:
        if (marker && strncmp(sender, conf->private_group, MAX_GROUP_NAME) == 0) {
            c->state = State::cut;
            if (all_cut())
                all_cut_ms = monotonic_ms();
        }
        return HANDOVER_TAKEN;
    case State::cut:
        break;
    }
    return HANDOVER_PASS;
}

bool handover_hold(SpreadConf *, LogFacility *facility, const char *message, int length)
{
    if (role != Role::new_daemon || taken_over)
        return false;
    held.push_back(Held{facility, held_bytes.size(), length});
    held_bytes.insert(held_bytes.end(), message, message + length);
    return true;
}

bool handover_pass()
{
    if (role == Role::old_daemon) {
        if (!marks_known)
            return false;
        for (const OldConnection &c : old_connections)
            if (!c.cut && std::find(marks.begin(), marks.end(), c.name) != marks.end())
                return false;
        return true;
    }
    if (role != Role::new_daemon)
        return false;
    for_each_spread_conf(sync_each, nullptr);
    long now = monotonic_ms();
    if (!markers_sent && now - started_ms > handover_join_ms) {
        for (const NewConnection &c : new_connections)
            if (c.shared && !joined(c))
                fprintf(stderr, "Taking over: the groups on spread at %s were not joined within %d s\n",
                        spread_daemon_name(c.conf), handover_join_ms / 1000);
        exit(1);
    }
    mark_when_joined();
    if (!taken_over && markers_sent) {
        bool cut = all_cut();
        if (cut && all_cut_ms < 0)
            all_cut_ms = now;
        if (released || channel_ended || (cut && now - all_cut_ms > release_wait_ms))
            take_over();
    }
    if (taken_over && all_cut())
        role = Role::none;
    return false;
}

void handover_finish_old()
{
    output_drain(output_exit_stall_ms, output_exit_drain_ms);
    close_log_files();
    (void)output_commands_wait(handover_command_wait_ms);
    notify_main_pid(new_pid);
    fprintf(stderr, "Handed over to new daemon %d, exiting.\n", (int)new_pid);
    fflush(stderr);
    (void)channel_send("released\n");
    exit(0);
}

bool handover_allows_reconnect()
{
    return role != Role::old_daemon;
}

void handover_session_lost(SpreadConf *conf)
{
    if (role == Role::old_daemon)
        if (OldConnection *c = old_connection(conf))
            c->cut = true;
}

void handover_child_ended(pid_t pid, int status)
{
    if (role != Role::old_daemon || pid != new_pid)
        return;
    if (WIFEXITED(status))
        fprintf(stderr, "Hand-over failed: new daemon %d exited with status %d\n", (int)pid, WEXITSTATUS(status));
    else
        fprintf(stderr, "Hand-over failed: new daemon %d ended by signal %d\n", (int)pid, WTERMSIG(status));
    // Sessions cut already are reconnected by the next reconnect pass.
    end_old_side();
    notify_ready();
}

bool handover_defers_reopen()
{
    if (role == Role::old_daemon && new_pid > 0)
        kill(new_pid, SIGHUP);
    return role == Role::new_daemon && !taken_over;
}

void handover_stop()
{
    if (role == Role::old_daemon) {
        kill(new_pid, SIGTERM);
        return;
    }
    if (role != Role::new_daemon || taken_over || !markers_sent)
        return;
    // Messages after our markers are ours: wait for the old daemon to let
    // go of the outputs, then write them.
    long deadline = monotonic_ms() + release_wait_ms;
    while (!released && !channel_ended) {
        long left = deadline - monotonic_ms();
        if (left <= 0)
            break;
        pollfd p{channel, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left)) > 0)
            handover_readable();
    }
    take_over();
}

void handover_stopped()
{
    if (role != Role::old_daemon)
        return;
    (void)output_commands_wait(handover_command_wait_ms);
    (void)channel_send("released\n");
}

// --- New side: start-up ---------------------------------------------------------

bool handover_takeover_begin(bool detached_mode)
{
    const char *value = getenv(channel_variable);
    if (value == nullptr)
        return false;
    channel = atoi(value);
    unsetenv(channel_variable);
    (void)fcntl(channel, F_SETFD, FD_CLOEXEC);
    std::vector<std::pair<dev_t, ino_t>> files;
    if (channel <= 2 || !read_header(&files)) {
        fprintf(stderr, "Taking over: no word from the old daemon on descriptor %d\n", channel);
        exit(1);
    }
    role = Role::new_daemon;
    detached = detached_mode;
    log_files_handover_begin(std::move(files));
    spread_membership = 1;
    return true;
}

bool handover_taking_over()
{
    return role == Role::new_daemon && !taken_over;
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
    started_ms = monotonic_ms();
    conn_connect_all();
    for_each_spread_conf(require_shared_connected, nullptr);
    for_each_spread_conf(sync_each, nullptr);
}
