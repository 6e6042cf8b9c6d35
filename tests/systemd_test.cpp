// The daemon under systemd, as processes (minispread, wickerpost, spcat):
// what it sends to the notification socket that systemd would give it
// (readiness only once its groups are joined, reload, stop, the status
// line, the watchdog's pings from the loop), and its diagnostics with their
// priorities when standard error is the journal.
#include <gtest/gtest.h>

#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <time.h>

#include <optional>
#include <regex>

#include "support/scenario.h"

using namespace wkp_test;

namespace {

// A datagram socket in the place of systemd's NOTIFY_SOCKET, keeping every
// notification it was sent, in order, with the pid of its sender.
struct NotifySocket {
    std::string path;
    int fd = -1;
    std::vector<std::string> received;
    std::vector<pid_t> senders;

    explicit NotifySocket(std::string at) : path(std::move(at))
    {
        fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
        EXPECT_EQ(bind(fd, (sockaddr *)&addr, sizeof addr), 0) << strerror(errno);
        int on = 1;
        setsockopt(fd, SOL_SOCKET, SO_PASSCRED, &on, sizeof on);
    }
    ~NotifySocket()
    {
        close(fd);
        unlink(path.c_str());
    }
    std::string env() const { return "NOTIFY_SOCKET=" + path; }

    // Takes one notification, waiting up to timeout_ms; false when none came.
    bool take(int timeout_ms)
    {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, timeout_ms) <= 0)
            return false;
        char buf[4096];
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(ucred))];
        iovec iov{buf, sizeof buf};
        msghdr msg{};
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        msg.msg_control = control;
        msg.msg_controllen = sizeof control;
        ssize_t n = recvmsg(fd, &msg, 0);
        if (n < 0)
            return false;
        pid_t sender = -1;
        for (cmsghdr *c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c))
            if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_CREDENTIALS)
                sender = ((ucred *)CMSG_DATA(c))->pid;
        received.emplace_back(buf, (size_t)n);
        senders.push_back(sender);
        return true;
    }

    // The index of the first notification from `from` on that satisfies
    // pred, waiting for more up to timeout_ms; -1 when none did.
    int wait_for(const std::function<bool(const std::string &)> &pred, size_t from = 0, int timeout_ms = 20000)
    {
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        for (size_t i = from;; i++) {
            while (i >= received.size()) {
                auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
                if (left.count() <= 0 || !take((int)left.count()))
                    return -1;
            }
            if (pred(received[i]))
                return (int)i;
        }
    }
};

// The value of `key` in a notification ("KEY=value" lines), or null.
std::optional<std::string> field(const std::string &notification, const std::string &key)
{
    std::istringstream in(notification);
    for (std::string line; std::getline(in, line);)
        if (line.compare(0, key.size() + 1, key + "=") == 0)
            return line.substr(key.size() + 1);
    return std::nullopt;
}

auto has(const std::string &key, const std::string &value)
{
    return [key, value](const std::string &n) { return field(n, key) == value; };
}

// Starts wickerpost -D on `config` (written to the scenario's directory)
// with `options` and the environment `env`; does not wait.
void start(Scenario &s, const std::string &config, const std::vector<std::string> &options,
           const std::vector<std::string> &env)
{
    write_file(s.dir.file("wickerpost.conf"), config);
    std::vector<std::string> argv{bin("wickerpost"), "-D", "-c", s.dir.file("wickerpost.conf")};
    argv.insert(argv.end(), options.begin(), options.end());
    s.daemon = std::make_unique<Process>();
    ASSERT_TRUE(s.daemon->start(argv, false, env));
}

std::string log_block(const std::string &group, const std::string &item)
{
    return "  Log {\n    Group = " + group + "\n    " + item + "\n  }\n";
}

unsigned long long monotonic_us()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (unsigned long long)ts.tv_sec * 1000000ull + (unsigned long long)ts.tv_nsec / 1000;
}

}  // namespace

// READY=1 comes once the groups are joined (a message sent right after it
// is logged), with the status line; the status line follows what was
// written and dropped; SIGHUP is RELOADING=1 (with the monotonic clock),
// then READY=1 once the file was opened again; SIGTERM is STOPPING=1.
TEST(Systemd, NotifiesReadinessStatusReloadAndStop)
{
    Scenario s;
    NotifySocket notify(s.dir.file("notify"));
    mkdir(s.dir.file("vh").c_str(), 0755);
    start(s,
          s.spread_block(log_block("g", "File = " + s.dir.file("a.log")) +
                         log_block("v", "VhostDir = " + s.dir.file("vh"))),
          {"-v"}, {notify.env()});

    int ready = notify.wait_for(has("READY", "1"));
    ASSERT_EQ(ready, 0) << "READY=1 first of all";
    std::string err = s.daemon->err();
    EXPECT_NE(err.find("Joined g.\nJoined v.\nSetting FD: "), std::string::npos) << err;
    EXPECT_EQ(field(notify.received[ready], "STATUS"),
              "1/1 Spread daemons connected, 0 lines written, 0 dropped, no backlog");

    s.send("first\n", {"g"});
    ASSERT_TRUE(s.wait_lines(s.dir.file("a.log"), 1)) << "the message sent right after READY=1";
    s.send("www.example two\nwww.example three\n../x refused\n", {"v"});
    s.send("second\nthird\n", {"g"});
    EXPECT_GE(notify.wait_for(has("STATUS", "1/1 Spread daemons connected, 5 lines written, 1 dropped, no backlog"),
                              ready + 1),
              0);

    ASSERT_EQ(rename(s.dir.file("a.log").c_str(), s.dir.file("a.log.1").c_str()), 0);
    size_t mark = notify.received.size();
    s.daemon->signal(SIGHUP);
    int reloading = notify.wait_for(has("RELOADING", "1"), mark);
    ASSERT_GE(reloading, 0);
    std::optional<std::string> usec = field(notify.received[reloading], "MONOTONIC_USEC");
    ASSERT_TRUE(usec && std::regex_match(*usec, std::regex("[1-9][0-9]*"))) << notify.received[reloading];
    EXPECT_LE(std::stoull(*usec), monotonic_us());
    int reloaded = notify.wait_for(has("READY", "1"), reloading + 1);
    ASSERT_GE(reloaded, 0);
    EXPECT_TRUE(file_exists(s.dir.file("a.log"))) << "READY=1 before the file was opened again";
    for (int i = (int)mark; i < reloading; i++)
        EXPECT_FALSE(field(notify.received[i], "READY")) << "READY=1 before RELOADING=1";

    mark = notify.received.size();
    s.daemon->signal(SIGTERM);
    EXPECT_GE(notify.wait_for(has("STOPPING", "1"), mark), 0);
    ASSERT_TRUE(s.daemon->wait());
    EXPECT_EQ(s.daemon->exit_code(), 0);
}

// A FIFO whose reader takes nothing: past the pipe's capacity the messages
// wait in the backlog, and the status line shows its bytes (what the pipe
// does not hold) and, from the next refresh on, its age; once the reader
// took everything, no backlog.
TEST(Systemd, StatusShowsTheBacklog)
{
    Scenario s;
    NotifySocket notify(s.dir.file("notify"));
    ASSERT_EQ(mkfifo(s.dir.file("fifo").c_str(), 0644), 0);
    int reader = open(s.dir.file("fifo").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(reader, 0);
    start(s, s.spread_block(log_block("f", "File = " + s.dir.file("fifo"))), {}, {notify.env()});
    ASSERT_GE(notify.wait_for(has("READY", "1")), 0);

    const int lines = 100;
    std::string text;
    for (int i = 0; i < lines; i++)
        text += numbered_line(i, 1000);
    s.send(text, {"f"});

    const std::regex backlog(
        "1/1 Spread daemons connected, ([0-9]+) lines written, 0 dropped, backlog ([0-9]+) bytes, oldest ([0-9]+) s");
    unsigned long long in_pipe = 0, waiting = 0;
    int seen = notify.wait_for([&](const std::string &n) {
        std::smatch m;
        std::string status = field(n, "STATUS").value_or("");
        if (!std::regex_match(status, m, backlog) || std::stoull(m[3]) == 0)
            return false;
        int held = 0;
        ioctl(reader, FIONREAD, &held);
        in_pipe = (unsigned long long)held;
        waiting = std::stoull(m[2]);
        return in_pipe + waiting == text.size();
    });
    ASSERT_GE(seen, 0) << (notify.received.empty() ? "" : notify.received.back());
    EXPECT_GT(waiting, 0u);

    std::string taken;
    ASSERT_TRUE(wait_until([&] {
        char buf[65536];
        ssize_t n;
        while ((n = read(reader, buf, sizeof buf)) > 0)
            taken.append(buf, (size_t)n);
        return taken.size() >= text.size();
    }, 20000));
    EXPECT_EQ(taken, text);
    EXPECT_GE(notify.wait_for(has("STATUS", "1/1 Spread daemons connected, 100 lines written, 0 dropped, no backlog"),
                              seen + 1),
              0);
    s.terminate_daemon();
    close(reader);
}

// With WATCHDOG_USEC the loop pings at half the interval. While the loop is
// held (the open of a vhost file stalls its thread for 2 s, four intervals)
// no ping comes, though the library's reader threads run; once the stalled
// message is written, the pings resume. The watchdog's variables are not
// passed on to piped commands; NOTIFY_SOCKET is.
TEST(Systemd, WatchdogPingsOnlyFromTheLoop)
{
    Scenario s;
    NotifySocket notify(s.dir.file("notify"));
    mkdir(s.dir.file("vh").c_str(), 0755);
    start(s,
          s.spread_block(log_block("vh", "VhostDir = " + s.dir.file("vh")) +
                         log_block("env", "File = '|env > " + s.dir.file("env") + "; cat > /dev/null'")),
          {}, {notify.env(), "WATCHDOG_USEC=500000", "LD_PRELOAD=" + bin("tests/libstall_open.so"),
               "WKP_STALL_OPEN=stall.example", "WKP_STALL_MS=2000"});
    int ready = notify.wait_for(has("READY", "1"));
    ASSERT_GE(ready, 0);
    int ping = ready;
    for (int i = 0; i < 3; i++) {
        ping = notify.wait_for(has("WATCHDOG", "1"), ping + 1);
        ASSERT_GE(ping, 0) << "ping " << i;
    }
    ASSERT_TRUE(wait_until([&] { return read_file(s.dir.file("env")).find("NOTIFY_SOCKET=") != std::string::npos; }));
    EXPECT_EQ(read_file(s.dir.file("env")).find("WATCHDOG_"), std::string::npos);

    // The stall is in effect once the loop's thread sleeps in it; whatever
    // was sent before is taken out of the way.
    s.send("stall.example GET /\n", {"vh"});
    const std::string syscall_file = "/proc/" + std::to_string(s.daemon->pid) + "/syscall";
    ASSERT_TRUE(wait_until([&] {
        std::string call = read_file(syscall_file);
        return call.starts_with("230 ") || call.starts_with("35 ");  // clock_nanosleep, nanosleep
    }));
    while (notify.take(0)) {
    }
    size_t mark = notify.received.size();

    // Each ping as it comes: had the stalled open returned by then? The
    // file exists from then on; its line may still wait in the pass's
    // batch when a ping that fell due during the stall goes out.
    const std::string stalled = s.dir.file("vh/stall.example");
    std::vector<bool> opened_at_ping;
    ASSERT_TRUE(wait_until([&] {
        if (notify.take(100) && field(notify.received.back(), "WATCHDOG") == "1")
            opened_at_ping.push_back(file_exists(stalled));
        return opened_at_ping.size() >= 3;
    }));
    EXPECT_TRUE(wait_until([&] { return read_file(stalled) == "GET /\n"; })) << read_file(stalled);
    for (size_t i = 0; i < opened_at_ping.size(); i++)
        EXPECT_TRUE(opened_at_ping[i]) << "ping " << i << " while the loop was held";
    EXPECT_GT(notify.received.size(), mark);
    s.terminate_daemon();
}

// With JOURNAL_STREAM naming its standard error, each line the daemon
// prints carries its priority, a continuation line that of the line it
// continues, and empty lines are left out; with JOURNAL_STREAM naming
// something else, the lines are as they always were.
TEST(Systemd, JournalLinesCarryPriorities)
{
    struct Expected {
        const char *beginning;  // of a line, after its prefix
        char priority;
    } expected[] = {
        {"running wickerpost as ", '6'},
        {"\tconfigfile:", '6'},
        {"Setting logfacility to force local times in CLF", '6'},
        {"Zeroing vhost hash for usage!", '6'},
        {"LogFacility: g", '6'},
        {"\tFile: ", '6'},
        {"Successfully connected to spread at ", '6'},
        {"Joined g.", '6'},
        {"Failed connection to spread at ", '4'},
        {"Setting FD: ", '6'},
        {"Refused vhost name \"../x\", message dropped", '4'},
        {"Dropped 1 messages for ", '4'},
        {"spread daemon=", '6'},
        {"output path=", '6'},
        {"Error receiving from spread:", '3'},
        {"\tSP_error: (-8) ", '3'},
        {"Terminal error closing spread mailbox ", '4'},
        {"Lost the session with spread daemon ", '4'},
        {"Error connecting to spread daemon", '4'},
        {"Received SIGTERM, closing log files.", '6'},
        {"Log files closed, exiting.", '6'},
    };
    for (bool journal : {true, false}) {
        SCOPED_TRACE(journal ? "journal" : "not the journal");
        Scenario s;
        mkdir(s.dir.file("vh").c_str(), 0755);
        write_file(s.dir.file("wickerpost.conf"),
                   s.spread_block(log_block("g", "File = " + s.dir.file("a.log") +
                                                     "\n    RewriteTimestamp = CommonLogFormat") +
                                  log_block("v", "VhostDir = " + s.dir.file("vh"))) +
                       "Spread {\n  Port = " + std::to_string(free_port()) + "\n" + log_block("n", "File = " + s.dir.file("n.log")) + "}\n");
        // The shell gives the daemon its own standard error's device and
        // inode, as systemd does for a journal stream.
        std::string stream = journal ? "$(stat -L -c %d:%i /dev/stderr)" : "1:1";
        s.daemon = std::make_unique<Process>();
        ASSERT_TRUE(s.daemon->start({"/bin/sh", "-c", "JOURNAL_STREAM=" + stream + " exec \"$0\" \"$@\"",
                                     bin("wickerpost"), "-D", "-v", "-x", "-c", s.dir.file("wickerpost.conf")}));
        auto printed = [&](const std::string &text) {
            return wait_until([&] { return s.daemon->err().find(text) != std::string::npos; });
        };
        ASSERT_TRUE(printed("Setting FD: ")) << s.daemon->err();
        s.send("../x refused\n", {"v"});
        ASSERT_TRUE(printed("Dropped 1 messages for ")) << s.daemon->err();
        s.daemon->signal(SIGUSR1);
        ASSERT_TRUE(printed("output path=")) << s.daemon->err();
        s.stop_spread();
        ASSERT_TRUE(printed("Error connecting to spread daemon")) << s.daemon->err();
        s.terminate_daemon();

        std::string err = s.daemon->err();
        std::vector<std::string> lines;
        std::istringstream in(err);
        for (std::string line; std::getline(in, line);)
            lines.push_back(line);
        for (const Expected &e : expected) {
            SCOPED_TRACE(e.beginning);
            std::string prefix = journal ? std::string("<") + e.priority + ">" : "";
            EXPECT_TRUE(std::any_of(lines.begin(), lines.end(),
                                    [&](const std::string &l) { return l.starts_with(prefix + e.beginning); }))
                << err;
        }
        if (journal) {
            for (const std::string &line : lines)
                EXPECT_TRUE(std::regex_match(line, std::regex("<[346]>.+"))) << line;
        } else {
            EXPECT_NE(err.find("CLF\n\nZeroing vhost hash for usage!\n"), std::string::npos) << err;
            EXPECT_TRUE(std::regex_search(err, std::regex("\nError receiving from spread:\n\tSP_error: \\(-8\\) .*\n"
                                                          "Terminal error closing spread mailbox [0-9]+\n")))
                << err;
            for (const std::string &line : lines)
                EXPECT_FALSE(std::regex_search(line, std::regex("^<[0-7]>"))) << line;
        }
    }
}

// Without -D the process that systemd started exits; the one that stays
// (the pid file's) tells its id with READY=1, and later notifications come
// from it.
TEST(Systemd, DetachedDaemonTellsItsProcessId)
{
    const std::string pid_file = "/var/run/wickerpost.pid";
    Scenario s;
    NotifySocket notify(s.dir.file("notify"));
    unlink(pid_file.c_str());
    write_file(s.dir.file("wickerpost.conf"), s.spread_block(log_block("g", "File = " + s.dir.file("a.log"))));
    Process starter;
    ASSERT_TRUE(starter.start({bin("wickerpost"), "-c", s.dir.file("wickerpost.conf")}, false, {notify.env()}));
    ASSERT_TRUE(starter.wait());
    EXPECT_EQ(starter.exit_code(), 0);

    int ready = notify.wait_for(has("READY", "1"));
    ASSERT_GE(ready, 0);
    ASSERT_TRUE(wait_until([&] { return !read_file(pid_file).empty(); }));
    pid_t daemon = std::stoi(read_file(pid_file));
    EXPECT_NE(daemon, starter.pid);
    EXPECT_EQ(field(notify.received[ready], "MAINPID"), std::to_string(daemon));

    size_t mark = notify.received.size();
    kill(daemon, SIGTERM);
    EXPECT_GE(notify.wait_for(has("STOPPING", "1"), mark), 0);
    EXPECT_TRUE(wait_until([&] { return kill(daemon, 0) != 0; }));
    unlink(pid_file.c_str());
}

// SIGUSR2 (what ExecReload= sends): RELOADING=1 from the running daemon;
// then, from it, MAINPID= the new daemon's pid just before it exits; then
// READY=1 from the new daemon, whose watchdog pings follow (the interval
// is passed on to it). A hand-over that fails ends the reload with READY=1
// from the daemon that stayed.
TEST(Systemd, HandOverTellsTheNewMainPid)
{
    Scenario s;
    Subreaper reaper;
    NotifySocket notify(s.dir.file("notify"));
    std::string config = s.spread_block(log_block("g", "File = " + s.dir.file("a.log")));
    start(s, config, {}, {notify.env(), "WATCHDOG_USEC=2000000"});
    int ready = notify.wait_for(has("READY", "1"));
    ASSERT_GE(ready, 0);
    pid_t old = s.daemon->pid;

    write_file(s.dir.file("wickerpost.conf"), config + "Spread {\n");
    size_t mark = notify.received.size();
    s.daemon->signal(SIGUSR2);
    int reloading = notify.wait_for(has("RELOADING", "1"), mark);
    ASSERT_GE(reloading, 0);
    int again = notify.wait_for(has("READY", "1"), reloading + 1);
    ASSERT_GE(again, 0);
    EXPECT_EQ(notify.senders[again], old);
    EXPECT_NE(s.daemon->err().find("Hand-over failed: new daemon "), std::string::npos) << s.daemon->err();

    write_file(s.dir.file("wickerpost.conf"), config);
    mark = notify.received.size();
    s.daemon->signal(SIGUSR2);
    reloading = notify.wait_for(has("RELOADING", "1"), mark);
    ASSERT_GE(reloading, 0);
    EXPECT_EQ(notify.senders[reloading], old);
    int main_pid = notify.wait_for([](const std::string &n) { return field(n, "MAINPID").has_value(); }, reloading + 1);
    ASSERT_GE(main_pid, 0);
    EXPECT_EQ(notify.senders[main_pid], old);
    pid_t next = std::stoi(*field(notify.received[main_pid], "MAINPID"));
    EXPECT_NE(next, old);
    int taken = notify.wait_for(has("READY", "1"), main_pid + 1);
    ASSERT_GE(taken, 0);
    EXPECT_EQ(notify.senders[taken], next);
    for (int i = reloading + 1; i < main_pid; i++)
        EXPECT_FALSE(field(notify.received[i], "READY")) << "READY=1 before MAINPID=";
    ASSERT_TRUE(s.daemon->wait());
    EXPECT_EQ(s.daemon->exit_code(), 0);
    int ping = notify.wait_for(has("WATCHDOG", "1"), taken + 1);
    ASSERT_GE(ping, 0);
    EXPECT_EQ(notify.senders[ping], next);

    s.send("after\n", {"g"});
    EXPECT_TRUE(s.wait_lines(s.dir.file("a.log"), 1));
    kill(next, SIGTERM);
    EXPECT_TRUE(wait_until([&] { return ended(next); }));
}
