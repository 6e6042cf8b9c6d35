// The metrics file (StatsFile): its counts against what the files hold,
// label values that need escaping, a stats directory the daemon cannot
// write to, the file replaced whole, and the settings the daemon refuses.
// Real processes: minispread, wickerpost, spcat; every file the daemon
// writes is read by the prometheus_client library's parser (Debian's
// python3-prometheus-client, under Debian's /usr/bin/python3).
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <array>
#include <chrono>
#include <cmath>
#include <ctime>
#include <map>
#include <set>
#include <sstream>

#include "daemon/options.h"
#include "support/scenario.h"

using namespace wkp_test;

namespace {

const char *const python = "/usr/bin/python3";

// "6869" -> "hi".
std::string unhex(const std::string &hex)
{
    std::string text;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        text += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    return text;
}

std::vector<std::string> split(const std::string &line, char separator)
{
    std::vector<std::string> fields;
    size_t start = 0;
    for (size_t at; (at = line.find(separator, start)) != std::string::npos; start = at + 1)
        fields.push_back(line.substr(start, at - start));
    fields.push_back(line.substr(start));
    return fields;
}

using Labels = std::map<std::string, std::string>;

struct Sample {
    std::string name;
    Labels labels;
    std::string value;
};

// A metrics file as the parser read it.
struct Parsed {
    bool ok = false;
    std::string error;                                      // the parser's, when not ok
    std::vector<std::array<std::string, 3>> families;       // name, type, help
    std::vector<Sample> samples;

    // The value of the one sample `name` with exactly `labels`; "" when
    // there is none.
    std::string value(const std::string &name, const Labels &labels = {}) const
    {
        std::string found;
        int n = 0;
        for (const Sample &s : samples)
            if (s.name == name && s.labels == labels) {
                found = s.value;
                n++;
            }
        return n == 1 ? found : "";
    }
    size_t count(const std::string &name) const
    {
        size_t n = 0;
        for (const Sample &s : samples)
            n += s.name == name;
        return n;
    }
};

Parsed parse_metrics(const std::string &path)
{
    Parsed parsed;
    Process p;
    run(p, {python, source("tests/support/prometheus_samples.py"), path});
    if (p.exit_code() != 0) {
        parsed.error = p.err();
        return parsed;
    }
    std::istringstream in(p.out());
    for (std::string line; std::getline(in, line);) {
        std::vector<std::string> f = split(line, '\t');
        if (f[0] == "F" && f.size() == 4) {
            parsed.families.push_back({f[1], f[2], unhex(f[3])});
        } else if (f[0] == "S" && f.size() >= 3) {
            Sample s{f[1], {}, f[2]};
            for (size_t i = 3; i < f.size(); i++) {
                size_t eq = f[i].find('=');
                s.labels[f[i].substr(0, eq)] = unhex(f[i].substr(eq + 1));
            }
            parsed.samples.push_back(s);
        }
    }
    parsed.ok = true;
    return parsed;
}

// The stats file as it is after each write: parsed anew only when a new
// file has replaced the last one read (a new inode, or a new change time).
struct StatsReader {
    explicit StatsReader(std::string stats) : path(std::move(stats)) {}
    std::string path;
    ino_t ino = 0;
    timespec ctime{};
    Parsed last;

    // True when a new file was read; last holds it.
    bool read_new()
    {
        struct stat st;
        if (stat(path.c_str(), &st) != 0)
            return false;
        if (st.st_ino == ino && st.st_ctim.tv_sec == ctime.tv_sec && st.st_ctim.tv_nsec == ctime.tv_nsec)
            return false;
        ino = st.st_ino;
        ctime = st.st_ctim;
        last = parse_metrics(path);
        return true;
    }

    // Waits until a file that satisfies pred has been written.
    bool wait_for(const std::function<bool(const Parsed &)> &pred)
    {
        return wait_until([&] { return read_new() && last.ok && pred(last); });
    }
};

Labels output_labels(const std::string &path, const std::string &kind) { return {{"output", path}, {"kind", kind}}; }

// The drop reasons, as the status report names them.
const char *const reasons[] = {"write_error",        "backlog_full",       "reader_ended",  "output_not_open",
                               "refused_vhost_name", "not_a_regular_file", "no_descriptor", "abandoned",
                               "too_long"};
// And those of a connection.
const char *const spread_reasons[] = {"too_long", "not_logged"};

// Every file under `dir` (one level), with its content.
std::map<std::string, std::string> files_in(const std::string &dir)
{
    std::map<std::string, std::string> files;
    for (const std::string &name : entries(dir))
        files[name] = read_file(dir + "/" + name);
    return files;
}

// Checks that the counters of `m` tell what the web log and the vhost
// files hold now, and that the connection received `received` messages.
void expect_counts_match_files(const Parsed &m, const std::string &web_log, const std::string &vhosts,
                               unsigned long received, int port)
{
    std::string web = read_file(web_log);
    Labels web_output = output_labels(web_log, "file");
    EXPECT_EQ(m.value("wickerpost_output_written_messages_total", web_output), std::to_string(count_lines(web)));
    EXPECT_EQ(m.value("wickerpost_output_written_bytes_total", web_output), std::to_string(web.size()));
    EXPECT_EQ(m.value("wickerpost_output_backlog_bytes", web_output), "0");

    size_t vhost_lines = 0, vhost_bytes = 0;
    for (auto &[name, text] : files_in(vhosts)) {
        vhost_lines += count_lines(text);
        vhost_bytes += text.size();
    }
    Labels vhost_output = output_labels(vhosts, "vhost_directory");
    EXPECT_EQ(m.value("wickerpost_output_written_messages_total", vhost_output), std::to_string(vhost_lines));
    EXPECT_EQ(m.value("wickerpost_output_written_bytes_total", vhost_output), std::to_string(vhost_bytes));

    for (const char *reason : reasons) {
        SCOPED_TRACE(reason);
        Labels web_reason = web_output, vhost_reason = vhost_output;
        web_reason["reason"] = vhost_reason["reason"] = reason;
        EXPECT_EQ(m.value("wickerpost_output_dropped_messages_total", web_reason), "0");
        // The one refused name: "..".
        EXPECT_EQ(m.value("wickerpost_output_dropped_messages_total", vhost_reason),
                  std::string(reason) == "refused_vhost_name" ? "1" : "0");
    }
    Labels daemon{{"daemon", std::to_string(port)}};
    EXPECT_EQ(m.value("wickerpost_spread_received_messages_total", daemon), std::to_string(received));
    EXPECT_EQ(m.value("wickerpost_spread_reconnects_total", daemon), "0");
}

}  // namespace

// After N lines the counters equal what the files hold: messages and bytes
// of a File and of a VhostDir, one drop for a refused vhost name, what the
// connection received; every family with its HELP and TYPE lines. The file
// is written every interval while the daemon runs, and once more at
// SIGTERM with the final counts.
TEST(Metrics, CountsEqualWhatTheFilesHold)
{
    Scenario s;
    mkdir(s.dir.file("stats").c_str(), 0755);
    mkdir(s.dir.file("vhosts").c_str(), 0755);
    const std::string stats = s.dir.file("stats/wickerpost.prom"), web_log = s.dir.file("web.log"),
                      vhosts = s.dir.file("vhosts");
    time_t before = time(nullptr);
    s.start_daemon("StatsFile = " + stats + "\nStatsInterval = 1\n" +
                   s.spread_block("  Log {\n    Group = web\n    File = " + web_log +
                                  "\n  }\n  Log {\n    Group = vh\n    VhostDir = " + vhosts + "\n  }\n"));
    const int n = 300;
    std::string lines;
    for (int i = 0; i < n; i++)
        lines += numbered_line(i, 20 + i % 50);
    s.send(lines, {"web"});
    s.send("a.example one\nb.example two\n.. refused\na.example three\n", {"vh"});

    StatsReader reader{stats};
    ASSERT_TRUE(reader.wait_for([&](const Parsed &m) {
        return m.value("wickerpost_output_written_messages_total", output_labels(web_log, "file")) ==
                   std::to_string(n) &&
               m.value("wickerpost_output_written_messages_total", output_labels(vhosts, "vhost_directory")) == "3";
    })) << reader.last.error;
    time_t after = time(nullptr);
    const Parsed &m = reader.last;
    EXPECT_EQ(read_file(web_log), lines);
    expect_counts_match_files(m, web_log, vhosts, n + 4, s.port);
    EXPECT_EQ(m.value("wickerpost_spread_connected", {{"daemon", std::to_string(s.port)}}), "1");
    long start = std::stol(m.value("wickerpost_start_time_seconds"));
    EXPECT_GE(start, before);
    EXPECT_LE(start, after);

    // The families in their order, with their types and help; the parser
    // names a counter's family without its _total.
    const std::vector<std::array<std::string, 3>> families = {
        {"wickerpost_spread_connected", "gauge", "Whether the session with the Spread daemon is up (1) or not (0)."},
        {"wickerpost_spread_reconnects", "counter", "Sessions with the Spread daemon accepted after the first one."},
        {"wickerpost_spread_received_messages", "counter", "Regular messages received from the Spread daemon."},
        {"wickerpost_spread_read_bytes", "counter", "Bytes read from the sessions with the Spread daemon."},
        {"wickerpost_spread_framed_messages", "counter",
         "Whole messages found in the bytes read from the Spread daemon."},
        {"wickerpost_spread_taken_messages", "counter",
         "Messages of any kind the loop took from the sessions with the Spread daemon."},
        {"wickerpost_spread_sessions_lost", "counter",
         "Sessions the Spread daemon ended; what it sent until the next join is lost."},
        {"wickerpost_spread_readahead_bytes", "gauge", "Bytes read from the Spread daemon and not yet taken by the loop."},
        {"wickerpost_spread_readahead_limit_bytes", "gauge",
         "Bytes the read-ahead of the session holds at most; 0 while there is no session."},
        {"wickerpost_spread_readahead_max_bytes", "gauge",
         "The most bytes the read-ahead held at once since the daemon started, any session."},
        {"wickerpost_spread_dropped_messages", "counter",
         "Messages received and lost before any output could take them, by reason."},
        {"wickerpost_group_received_messages", "counter", "Regular messages received for the group on the connection."},
        {"wickerpost_output_written_messages", "counter", "Messages written whole to the output."},
        {"wickerpost_output_written_bytes", "counter", "Bytes written to the output, parts of messages included."},
        {"wickerpost_output_dropped_messages", "counter", "Messages not written to the output, by reason."},
        {"wickerpost_output_filtered_messages", "counter",
         "Messages for the output that none of its Match patterns selected."},
        {"wickerpost_output_backlog_bytes", "gauge", "Bytes waiting to be written to the output, in its backlog."},
        {"wickerpost_output_last_write_timestamp_seconds", "gauge",
         "Time of the last message written whole to the output since the Unix epoch in seconds, 0 before the first."},
        {"wickerpost_start_time_seconds", "gauge", "Start time of the daemon since the Unix epoch in seconds."},
        {"wickerpost_handovers", "counter", "Hand-overs to a new daemon (SIGUSR2), by result."},
        {"wickerpost_build_info", "gauge", "The version of the running daemon, as a label; always 1."},
        {"process_virtual_memory_bytes", "gauge", "Virtual memory size in bytes."},
        {"process_resident_memory_bytes", "gauge", "Resident memory size in bytes."},
        {"process_start_time_seconds", "gauge", "Start time of the process since unix epoch in seconds."},
        {"process_cpu_seconds", "counter", "Total user and system CPU time spent in seconds."},
        {"process_open_fds", "gauge", "Number of open file descriptors."},
        {"process_max_fds", "gauge", "Maximum number of open file descriptors."},
    };
    EXPECT_EQ(m.families, families);
    // One series per connection and output, one per reason for drops: no
    // series per virtual host.
    EXPECT_EQ(m.count("wickerpost_output_written_messages_total"), 2u);
    EXPECT_EQ(m.count("wickerpost_output_dropped_messages_total"), 2 * std::size(reasons));
    EXPECT_EQ(m.count("wickerpost_spread_connected"), 1u);

    // More lines, and SIGTERM at once: the last file holds what the files
    // hold once the daemon has ended, whatever it took before the signal.
    std::string more;
    for (int i = n; i < n + 50; i++)
        more += numbered_line(i, 30);
    s.send(more, {"web"});
    s.send("b.example four\n", {"vh"});
    s.terminate_daemon();
    Parsed last = parse_metrics(stats);
    ASSERT_TRUE(last.ok) << last.error;
    SCOPED_TRACE("after SIGTERM");
    unsigned long received = std::stoul(last.value("wickerpost_spread_received_messages_total",
                                                   {{"daemon", std::to_string(s.port)}}));
    expect_counts_match_files(last, web_log, vhosts, received, s.port);
    EXPECT_EQ(received, count_lines(read_file(web_log)) + 4 + count_lines(read_file(vhosts + "/b.example")) - 1);
    EXPECT_FALSE(file_exists(stats + "." + std::to_string(s.daemon->pid) + ".tmp"));
}

// A File path and a piped command holding a double quote, a backslash and
// a newline come back from the parser as they were configured; a path
// that is not UTF-8 leaves the file readable, its bad byte replaced.
TEST(Metrics, LabelsParseBackToThemselves)
{
    Scenario s;
    const std::string stats = s.dir.file("wickerpost.prom");
    const std::string odd_file = s.dir.file("a \"quoted\" \\back\\slash\nline.log");
    const std::string odd_command = "|exec cat >/dev/null # \"quoted\" \\back\\slash\n# second line";
    const std::string latin1 = s.dir.file("caf\xe9.log");
    s.start_daemon("StatsFile = " + stats + "\nStatsInterval = 1\n" +
                   s.spread_block("  Log {\n    Group = a\n    File = '" + odd_file + "'\n  }\n" +
                                  "  Log {\n    Group = b\n    File = '" + odd_command + "'\n  }\n" +
                                  "  Log {\n    Group = c\n    File = '" + latin1 + "'\n  }\n"));
    s.send("one\n", {"a"});
    s.send("two\n", {"b"});
    s.send("three\n", {"c"});
    StatsReader reader{stats};
    ASSERT_TRUE(reader.wait_for([&](const Parsed &m) {
        return m.value("wickerpost_output_written_messages_total", output_labels(odd_file, "file")) == "1" &&
               m.value("wickerpost_output_written_messages_total", output_labels(odd_command, "command")) == "1" &&
               m.value("wickerpost_output_written_messages_total",
                       output_labels(s.dir.file("caf\xef\xbf\xbd.log"), "file")) == "1";
    })) << reader.last.error;
    EXPECT_EQ(read_file(odd_file), "one\n");
    EXPECT_EQ(read_file(latin1), "three\n");
    s.terminate_daemon();
}

// A stats directory the daemon cannot write to is said once, however many
// intervals pass, and logging goes on; so is a StatsFile that is a
// directory (the rename fails); once the file can be written, it is.
// Permissions do not bind root, so as root the daemon runs without the
// capabilities that pass over them.
TEST(Metrics, UnwritableDirectoryIsSaidOnceAndLoggingGoesOn)
{
    Scenario s;
    if (geteuid() == 0) {
        if (!file_exists("/usr/bin/setpriv"))
            GTEST_SKIP() << "running as root without /usr/bin/setpriv to drop CAP_DAC_OVERRIDE";
        s.runner = {"/usr/bin/setpriv", "--bounding-set=-dac_override,-dac_read_search",
                    "--inh-caps=-dac_override,-dac_read_search", "--"};
    }
    const std::string dir = s.dir.file("stats"), stats = dir + "/wickerpost.prom", log = s.dir.file("web.log");
    mkdir(dir.c_str(), 0755);
    // In the way of the rename, once the directory can be written.
    mkdir(stats.c_str(), 0755);
    write_file(stats + "/keep", "");
    chmod(dir.c_str(), 0555);
    s.start_daemon("StatsFile = " + stats + "\nStatsInterval = 1\n" +
                   s.spread_block("  Log {\n    Group = web\n    File = " + log + "\n  }\n"));
    const std::string denied = "Cannot write stats file " + stats + ": Permission denied";
    // The temporary file's name holds the writer's pid.
    const std::string temporary = "wickerpost.prom." + std::to_string(s.daemon->pid) + ".tmp";
    const std::string renamed = "Cannot rename " + dir + "/" + temporary + " to " + stats + ": Is a directory";
    auto said = [&](const std::string &line) {
        std::string err = "\n" + s.daemon->err();
        size_t n = 0;
        for (size_t at = err.find("\n" + line + "\n"); at != std::string::npos; at = err.find("\n" + line + "\n", at + 1))
            n++;
        return n;
    };
    ASSERT_TRUE(wait_until([&] { return said(denied) == 1; })) << s.daemon->err();
    s.send("one\ntwo\n", {"web"});
    ASSERT_TRUE(s.wait_lines(log, 2));

    // Each try now makes the temporary file, and its rename fails: counted
    // by the creations the directory sees.
    int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ASSERT_GE(watch, 0);
    ASSERT_GE(inotify_add_watch(watch, dir.c_str(), IN_CREATE), 0);
    chmod(dir.c_str(), 0755);
    int tries = 0;
    ASSERT_TRUE(wait_until([&] {
        alignas(inotify_event) char buffer[4096];
        for (ssize_t n; (n = read(watch, buffer, sizeof buffer)) > 0;)
            for (char *p = buffer; p < buffer + n;) {
                auto *e = reinterpret_cast<inotify_event *>(p);
                tries += e->len > 0 && std::string(e->name) == temporary;
                p += sizeof(inotify_event) + e->len;
            }
        return tries >= 4;
    }));
    close(watch);
    s.send("three\n", {"web"});
    ASSERT_TRUE(s.wait_lines(log, 3));
    EXPECT_EQ(said(renamed), 1u) << s.daemon->err();

    // Out of the way: the next write lands, with the counts.
    unlink((stats + "/keep").c_str());
    rmdir(stats.c_str());
    StatsReader reader{stats};
    ASSERT_TRUE(reader.wait_for([&](const Parsed &m) {
        return m.value("wickerpost_output_written_messages_total", output_labels(log, "file")) == "3";
    })) << reader.last.error;
    s.terminate_daemon();
    EXPECT_EQ(said(denied), 1u);
    EXPECT_EQ(said(renamed), 1u);
    std::vector<std::string> cannot;
    std::istringstream err(s.daemon->err());
    for (std::string line; std::getline(err, line);)
        if (line.rfind("Cannot ", 0) == 0)
            cannot.push_back(line);
    EXPECT_EQ(cannot, (std::vector<std::string>{denied, renamed}));
}

// Every write replaces the file by a rename: a reader opening it at any
// time finds a whole file, a new one (a new inode) each interval, mode
// 0644 even under a umask of 077; nothing is left of the temporary file.
TEST(Metrics, ReplacedWholeWithMode0644)
{
    Scenario s;
    const std::string stats = s.dir.file("wickerpost.prom");
    mode_t saved = umask(077);
    s.start_daemon("StatsFile = " + stats + "\nStatsInterval = 1\n" +
                   s.spread_block("  Log {\n    Group = web\n    File = " + s.dir.file("web.log") + "\n  }\n"));
    umask(saved);
    const std::string head = "# HELP wickerpost_spread_connected ";
    const std::string tail_name = "\nprocess_max_fds ";
    std::set<ino_t> seen;
    size_t reads = 0, partial = 0;
    std::set<mode_t> modes;
    ASSERT_TRUE(wait_until([&] {
        int fd = open(stats.c_str(), O_RDONLY);
        if (fd < 0)
            return false;
        struct stat st;
        fstat(fd, &st);
        std::string text;
        char buffer[4096];
        for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;)
            text.append(buffer, static_cast<size_t>(n));
        close(fd);
        reads++;
        size_t last = text.rfind(tail_name);
        bool whole = text.rfind(head, 0) == 0 && last != std::string::npos && text.back() == '\n' &&
                     text.find_first_not_of("0123456789", last + tail_name.size()) == text.size() - 1;
        partial += !whole;
        seen.insert(st.st_ino);
        modes.insert(st.st_mode & 07777);
        return seen.size() >= 5;
    }));
    EXPECT_EQ(partial, 0u) << "of " << reads << " reads";
    EXPECT_EQ(modes, (std::set<mode_t>{0644}));
    pid_t writer = s.daemon->pid;
    s.terminate_daemon();
    EXPECT_FALSE(file_exists(stats + "." + std::to_string(writer) + ".tmp"));
    EXPECT_TRUE(parse_metrics(stats).ok);
}

// StatsInterval below 1 second, or not a number, and a StatsFile that
// names no file, stop the daemon before anything is opened: status 255,
// the reason and the usual report naming the line and the value.
TEST(Metrics, RefusedSettings)
{
    TempDir dir;
    const std::string log = dir.file("web.log");
    const std::string spread = "Spread {\n  Log {\n    Group = web\n    File = " + log + "\n  }\n}\n";
    const std::string interval = "StatsInterval must be a whole number of seconds, 1 or more\n";
    struct Case {
        std::string settings, err;
    } cases[] = {
        {"StatsFile = " + dir.file("s.prom") + "\nStatsInterval = 0\n",
         interval + "Parser error on or before line 1\nOffending token: 0\n"},
        {"StatsInterval = -5\n", interval + "Parser error on or before line 0\nOffending token: -5\n"},
        {"\nStatsInterval = 10s\n", interval + "Parser error on or before line 1\nOffending token: 10s\n"},
        {"StatsInterval = 99999999999\n", interval + "Parser error on or before line 0\nOffending token: 99999999999\n"},
        {"StatsFile = ''\n", "StatsFile must name a file\nParser error on or before line 0\nOffending token: '\n"},
        {"StatsFile = " + dir.path + "/\n",
         "StatsFile must name a file\nParser error on or before line 0\nOffending token: " + dir.path + "/\n"},
        {"StatsFiles = x\n", "Parser error on or before line 0\nOffending token: StatsFiles\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.settings);
        write_file(dir.file("c.conf"), c.settings + spread);
        Process p;
        run(p, {bin("wickerpost"), "-D", "-c", dir.file("c.conf")});
        EXPECT_EQ(p.exit_code(), 255);
        EXPECT_EQ(p.err(), c.err);
        EXPECT_FALSE(file_exists(log));
        EXPECT_FALSE(file_exists(dir.file("s.prom")));
    }
}

namespace {

// The lines of the daemon's standard error "Dropped N messages for PATH:
// REASON", summed.
unsigned long dropped_said(const std::string &err, const std::string &path, const std::string &reason)
{
    unsigned long total = 0;
    std::istringstream in(err);
    const std::string tail = " messages for " + path + ": " + reason;
    for (std::string line; std::getline(in, line);)
        if (line.rfind("Dropped ", 0) == 0 && line.size() > tail.size() &&
            line.compare(line.size() - tail.size(), tail.size(), tail) == 0)
            total += std::stoul(line.substr(8));
    return total;
}

// The sum of a counter over the outputs among `paths` (every kind and
// reason).
unsigned long long sum_over(const Parsed &m, const std::string &name, const std::set<std::string> &paths)
{
    unsigned long long total = 0;
    for (const Sample &s : m.samples)
        if (s.name == name && paths.count(s.labels.at("output")))
            total += std::stoull(s.value);
    return total;
}

}  // namespace

// Every message received is counted where it ended: with Match in several
// outputs on two connections, a receive buffer of 200 bytes and lines
// longer than that, a refused vhost name, for each connection received =
// written + dropped + filtered over its own outputs, with its own dropped
// series; per output the filtered and too_long counts are the lines sent
// that way; per group the received count is what was sent to it. The
// over-long lines are said on standard error without -x.
TEST(Metrics, EveryMessageAccountedFor)
{
    Scenario s;
    int remote_port = free_port();
    Process remote;
    ASSERT_TRUE(remote.start({bin("minispread"), "-p", std::to_string(remote_port)}));
    ASSERT_TRUE(wait_until([&] { return file_exists("/tmp/" + std::to_string(remote_port)); }));
    mkdir(s.dir.file("vhosts").c_str(), 0755);
    const std::string stats = s.dir.file("wickerpost.prom"), web = s.dir.file("web.log"), api = s.dir.file("api.log"),
                      vhosts = s.dir.file("vhosts"), plain = s.dir.file("plain.log"),
                      remote_web = s.dir.file("remote-web.log"), remote_all = s.dir.file("remote-all.log");
    const std::string remote_daemon = std::to_string(remote_port) + "@127.0.0.1";
    time_t before = time(nullptr);
    s.start_daemon("StatsFile = " + stats + "\nStatsInterval = 1\n" +
                       s.spread_block("  Log {\n    Group = web\n    File = " + web +
                                      "\n    Match = ^GET\n    Match = POST\n  }\n"
                                      "  Log {\n    Group = api\n    File = " + api + "\n    Match = error\n  }\n"
                                      "  Log {\n    Group = vh\n    VhostDir = " + vhosts + "\n  }\n"
                                      "  Log {\n    Group = plain\n    File = " + plain + "\n  }\n") +
                       "Spread {\n  Port = " + std::to_string(remote_port) + "\n  Host = 127.0.0.1\n" +
                       "  Log {\n    Group = web\n    File = " + remote_web + "\n    Match = GET\n  }\n" +
                       "  Log {\n    Group = all\n    File = " + remote_all + "\n  }\n}\n",
                   {"-b", "200"}, {}, 2);

    const std::string long_get = "GET /" + std::string(300, 'x') + "\n";
    struct Sent {
        std::string group, text;
        bool remote;
    } sent[] = {
        {"web", "GET /a\nPUT /b\nx POST /c\nDELETE /d\n" + long_get + "HEAD /e\n" + long_get, false},
        {"api", "ok 1\nerror 2\nok 3\n" + std::string(250, 'e') + "\nok 4\n", false},
        {"vh", "a.example one\n.. refused\nb.example two\n", false},
        {"plain", "one\ntwo\n", false},
        {"web", "GET /r1\nPOST /r2\n" + long_get + "GET /r3\n", true},
        {"all", "x\ny\n", true},
    };
    for (const Sent &m : sent) {
        if (m.remote)
            s.send(m.text, {m.group}, remote_daemon);
        else
            s.send(m.text, {m.group});
    }
    const Labels local{{"daemon", std::to_string(s.port)}}, distant{{"daemon", remote_daemon}};
    StatsReader reader{stats};
    ASSERT_TRUE(reader.wait_for([&](const Parsed &m) {
        return m.value("wickerpost_spread_received_messages_total", local) == "17" &&
               m.value("wickerpost_spread_received_messages_total", distant) == "6";
    })) << reader.last.error << s.daemon->err();
    // The batches are written before each file is: the files hold what the
    // counters say by now.
    time_t after = time(nullptr);
    const Parsed &m = reader.last;

    EXPECT_EQ(read_file(web), "GET /a\nx POST /c\n");
    EXPECT_EQ(read_file(api), "error 2\n");
    EXPECT_EQ(read_file(plain), "one\ntwo\n");
    EXPECT_EQ(read_file(remote_web), "GET /r1\nGET /r3\n");
    EXPECT_EQ(read_file(remote_all), "x\ny\n");

    struct Expected {
        std::string path, kind;
        const Labels &daemon;
        unsigned long written, filtered, too_long, refused;
    } outputs[] = {
        {web, "file", local, 2, 3, 2, 0},       {api, "file", local, 1, 3, 1, 0},
        {vhosts, "vhost_directory", local, 2, 0, 0, 1}, {plain, "file", local, 2, 0, 0, 0},
        {remote_web, "file", distant, 2, 1, 1, 0}, {remote_all, "file", distant, 2, 0, 0, 0},
    };
    for (const Expected &e : outputs) {
        SCOPED_TRACE(e.path);
        Labels o = output_labels(e.path, e.kind);
        EXPECT_EQ(m.value("wickerpost_output_written_messages_total", o), std::to_string(e.written));
        EXPECT_EQ(m.value("wickerpost_output_filtered_messages_total", o), std::to_string(e.filtered));
        Labels too_long = o, refused = o;
        too_long["reason"] = "too_long";
        refused["reason"] = "refused_vhost_name";
        EXPECT_EQ(m.value("wickerpost_output_dropped_messages_total", too_long), std::to_string(e.too_long));
        EXPECT_EQ(m.value("wickerpost_output_dropped_messages_total", refused), std::to_string(e.refused));
        // Written since the daemon started, to the second.
        double last = std::stod(m.value("wickerpost_output_last_write_timestamp_seconds", o));
        EXPECT_GE(last, static_cast<double>(before));
        EXPECT_LE(last, static_cast<double>(after + 1));
    }

    // The sum, per connection, over its own outputs.
    struct Connection {
        const Labels &daemon;
        std::set<std::string> paths;
    } connections[] = {{local, {web, api, vhosts, plain}}, {distant, {remote_web, remote_all}}};
    for (const Connection &c : connections) {
        SCOPED_TRACE(c.daemon.at("daemon"));
        unsigned long long spread_dropped = 0;
        for (const char *reason : spread_reasons) {
            Labels l = c.daemon;
            l["reason"] = reason;
            std::string v = m.value("wickerpost_spread_dropped_messages_total", l);
            ASSERT_NE(v, "") << reason;
            spread_dropped += std::stoull(v);
        }
        unsigned long long received = std::stoull(m.value("wickerpost_spread_received_messages_total", c.daemon));
        EXPECT_EQ(received, sum_over(m, "wickerpost_output_written_messages_total", c.paths) +
                                sum_over(m, "wickerpost_output_dropped_messages_total", c.paths) +
                                sum_over(m, "wickerpost_output_filtered_messages_total", c.paths) + spread_dropped);
    }

    // Per group, on its connection (the two web groups apart).
    struct Group {
        const Labels &daemon;
        std::string group, count;
    } groups[] = {{local, "web", "7"},   {local, "api", "5"},     {local, "vh", "3"},
                  {local, "plain", "2"}, {distant, "web", "4"}, {distant, "all", "2"}};
    for (const Group &g : groups) {
        Labels l = g.daemon;
        l["group"] = g.group;
        EXPECT_EQ(m.value("wickerpost_group_received_messages_total", l), g.count) << l["daemon"] << " " << g.group;
    }
    EXPECT_EQ(m.count("wickerpost_group_received_messages_total"), std::size(groups));

    // No -x: the over-long lines are said all the same, once each output
    // and reason at once, the rest at SIGTERM.
    s.terminate_daemon();
    remote.signal(SIGTERM);
    remote.wait();
    std::string err = s.daemon->err();
    EXPECT_EQ(dropped_said(err, web, "too long"), 2u) << err;
    EXPECT_EQ(dropped_said(err, api, "too long"), 1u) << err;
    EXPECT_EQ(dropped_said(err, remote_web, "too long"), 1u) << err;
    EXPECT_EQ(err.find("Error receiving"), std::string::npos) << err;
}

// A line longer than the default BufferSize (8192 bytes), and one of the
// largest a Spread daemon takes, are not written and the lines around them
// are; each is counted as received and dropped as too_long, and said at
// once without -x.
TEST(Metrics, OverLongMessagesAreCountedAndSaid)
{
    Scenario s;
    const std::string stats = s.dir.file("wickerpost.prom"), log = s.dir.file("web.log");
    s.start_daemon("StatsFile = " + stats + "\nStatsInterval = 1\n" +
                       s.spread_block("  Log {\n    Group = web\n    File = " + log + "\n  }\n"),
                   {});
    s.send("before\n" + std::string(9999, 'a') + "\n", {"web"});
    const std::string said = "Dropped 1 messages for " + log + ": too long\n";
    ASSERT_TRUE(wait_until([&] { return s.daemon->err().find(said) != std::string::npos; })) << s.daemon->err();
    s.send(std::string(140000, 'b') + "\nafter\n", {"web"});
    StatsReader reader{stats};
    Labels too_long = output_labels(log, "file");
    too_long["reason"] = "too_long";
    ASSERT_TRUE(reader.wait_for([&](const Parsed &m) {
        return m.value("wickerpost_spread_received_messages_total", {{"daemon", std::to_string(s.port)}}) == "4";
    })) << reader.last.error;
    EXPECT_EQ(reader.last.value("wickerpost_output_dropped_messages_total", too_long), "2");
    EXPECT_EQ(reader.last.value("wickerpost_output_written_messages_total", output_labels(log, "file")), "2");
    EXPECT_EQ(read_file(log), "before\nafter\n");
    s.terminate_daemon();
    EXPECT_EQ(dropped_said(s.daemon->err(), log, "too long"), 2u) << s.daemon->err();
}

// The process series tell about the daemon's process: its open-file limit,
// a start time within the daemon's own, memory and descriptors in use.
TEST(Metrics, ProcessSeries)
{
    Scenario s;
    const std::string stats = s.dir.file("wickerpost.prom");
    s.start_daemon("StatsFile = " + stats + "\nStatsInterval = 1\n" +
                   s.spread_block("  Log {\n    Group = web\n    File = " + s.dir.file("web.log") + "\n  }\n"));
    StatsReader reader{stats};
    ASSERT_TRUE(reader.wait_for([](const Parsed &m) { return m.value("process_open_fds") != ""; }))
        << reader.last.error;
    const Parsed &m = reader.last;
    // The soft limit, as /proc/PID/limits shows it.
    std::string limits = read_file("/proc/" + std::to_string(s.daemon->pid) + "/limits");
    size_t at = limits.find("Max open files");
    ASSERT_NE(at, std::string::npos);
    EXPECT_EQ(m.value("process_max_fds"), std::to_string(std::stoull(limits.substr(at + 14))));
    double start = std::stod(m.value("process_start_time_seconds"));
    EXPECT_LE(std::abs(start - std::stod(m.value("wickerpost_start_time_seconds"))), 2.0);
    EXPECT_GT(std::stoull(m.value("process_resident_memory_bytes")), 1u << 20);
    EXPECT_GE(std::stoull(m.value("process_virtual_memory_bytes")),
              std::stoull(m.value("process_resident_memory_bytes")));
    // Standard streams, the log, the Spread session: a few, fewer than the limit.
    EXPECT_GE(std::stoul(m.value("process_open_fds")), 4u);
    EXPECT_LT(std::stoul(m.value("process_open_fds")), std::stoul(m.value("process_max_fds")));
    EXPECT_GE(std::stod(m.value("process_cpu_seconds_total")), 0.0);
    s.terminate_daemon();
}

namespace {

// A connection to 127.0.0.1:port, blocking; -1 when refused.
int connect_local(int port)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Sends what the peer takes of `bytes` (a peer that closed ends it).
void send_some(int fd, const std::string &bytes)
{
    for (size_t done = 0; done < bytes.size();) {
        ssize_t n = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0)
            return;
        done += static_cast<size_t>(n);
    }
}

// Reads until the peer closes (or resets) the connection; false when it
// had not within timeout_ms.
bool read_to_end(int fd, std::string *got, int timeout_ms = 60000)
{
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        int left = static_cast<int>(
            std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now()).count());
        if (left <= 0)
            return false;
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, left) <= 0)
            continue;
        char buffer[65536];
        ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0)
            return true;
        got->append(buffer, static_cast<size_t>(n));
    }
}

// One request on a new connection; the whole answer.
std::string ask(int port, const std::string &request)
{
    int fd = connect_local(port);
    if (fd < 0)
        return "(refused)";
    send_some(fd, request);
    std::string got;
    if (!read_to_end(fd, &got))
        got += "(no end)";
    close(fd);
    return got;
}

std::string status_line_of(const std::string &answer) { return answer.substr(0, answer.find("\r\n")); }

// The metrics a real client gets: Python's urllib, written to `path`.
bool scrape_to(int port, const std::string &path)
{
    Process p;
    run(p, {python, "-c",
            "import sys, urllib.request\n"
            "body = urllib.request.urlopen('http://127.0.0.1:%s/metrics' % sys.argv[1], timeout=60).read()\n"
            "open(sys.argv[2], 'wb').write(body)\n",
            std::to_string(port), path});
    return p.exit_code() == 0;
}

// The samples of the daemon's own families (the process series change
// between two readings).
std::vector<Sample> own_samples(const Parsed &m)
{
    std::vector<Sample> own;
    for (const Sample &s : m.samples)
        if (s.name.rfind("wickerpost_", 0) == 0)
            own.push_back(s);
    return own;
}

bool operator==(const Sample &a, const Sample &b)
{
    return a.name == b.name && a.labels == b.labels && a.value == b.value;
}

std::string listen_setting(int port) { return "StatsListen = 127.0.0.1:" + std::to_string(port) + "\n"; }

}  // namespace

// A scrape with Python's urllib returns the text of the file: once the
// lines are in and a new file was written, both hold the same families and
// the same samples of the daemon's own series, and the scrape has the
// process series too.
TEST(MetricsHttp, ScrapeEqualsTheFile)
{
    Scenario s;
    const int http = free_port();
    const std::string stats = s.dir.file("wickerpost.prom"), log = s.dir.file("web.log");
    s.start_daemon("StatsFile = " + stats + "\nStatsInterval = 1\n" + listen_setting(http) +
                   s.spread_block("  Log {\n    Group = web\n    File = " + log + "\n    Match = ^GET\n  }\n"));
    std::string lines;
    for (int i = 0; i < 200; i++)
        lines += (i % 4 ? "GET " : "PUT ") + numbered_line(i, 30);
    s.send(lines, {"web"});
    StatsReader reader{stats};
    ASSERT_TRUE(reader.wait_for([&](const Parsed &m) {
        return m.value("wickerpost_spread_received_messages_total", {{"daemon", std::to_string(s.port)}}) == "200";
    })) << reader.last.error;
    // Nothing more comes: the next file and a scrape tell the same.
    ASSERT_TRUE(reader.wait_for([](const Parsed &) { return true; }));
    ASSERT_TRUE(scrape_to(http, s.dir.file("scraped.prom")));
    Parsed scraped = parse_metrics(s.dir.file("scraped.prom"));
    ASSERT_TRUE(scraped.ok) << scraped.error;
    EXPECT_EQ(scraped.families, reader.last.families);
    EXPECT_EQ(own_samples(scraped), own_samples(reader.last));
    EXPECT_EQ(scraped.value("wickerpost_output_filtered_messages_total", output_labels(log, "file")), "50");
    EXPECT_NE(scraped.value("process_open_fds"), "");

    // The head of the answer, as a client sees it.
    std::string answer = ask(http, "GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    EXPECT_EQ(status_line_of(answer), "HTTP/1.1 200 OK");
    EXPECT_NE(answer.find("\r\nContent-Type: text/plain; version=0.0.4; charset=utf-8\r\n"), std::string::npos)
        << answer;
    s.terminate_daemon();
}

// Bad clients, each answered within its bound or closed, while lines go on
// landing: nothing a client does holds the loop. Then a scrape still
// works, and every line sent is in the file.
TEST(MetricsHttp, BadClientsAreBoundedWhileLinesLand)
{
    Scenario s;
    const int http = free_port();
    const std::string log = s.dir.file("web.log");
    s.start_daemon(listen_setting(http) + s.spread_block("  Log {\n    Group = web\n    File = " + log + "\n  }\n"));
    size_t sent = 0;
    // A batch of lines, and the wait for them to be written.
    auto lines_land = [&] {
        std::string lines;
        for (int i = 0; i < 500; i++)
            lines += numbered_line(static_cast<int>(sent) + i, 40);
        sent += 500;
        s.send(lines, {"web"});
        return s.wait_lines(log, sent);
    };

    struct Row {
        const char *what;
        std::string request;
        std::string status;  // "" when closing without an answer is the bound
    } rows[] = {
        {"POST", "POST /metrics HTTP/1.1\r\nContent-Length: 5\r\n\r\nhello", "HTTP/1.1 405 Method Not Allowed"},
        {"another path", "GET /admin HTTP/1.1\r\n\r\n", "HTTP/1.1 404 Not Found"},
        {"not HTTP", "hello\r\n\r\n", "HTTP/1.1 400 Bad Request"},
        {"1 MB header", "GET /metrics HTTP/1.1\r\nX-Big: " + std::string(1 << 20, 'a') + "\r\n\r\n",
         "HTTP/1.1 431 Request Header Fields Too Large"},
        {"HEAD", "HEAD /metrics HTTP/1.1\r\n\r\n", "HTTP/1.1 200 OK"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        std::string answer = ask(http, row.request);
        // A client still sending when the answer came may see the
        // connection reset before it: closed, then, which is the bound too.
        if (!answer.empty() || std::string(row.what) != "1 MB header") {
            EXPECT_EQ(status_line_of(answer), row.status) << answer.substr(0, 200);
        }
        if (std::string(row.what) == "HEAD") {
            EXPECT_NE(answer.find("Content-Length: "), std::string::npos);
            EXPECT_EQ(answer.substr(answer.find("\r\n\r\n") + 4), "");
        }
        ASSERT_TRUE(lines_land());
    }

    // A slow client sending one byte a second is closed after the request
    // bound, long before its head is whole; lines land meanwhile.
    {
        int fd = connect_local(http);
        ASSERT_GE(fd, 0);
        const std::string head = "GET /metrics HTTP/1.1\r\nHost: slow.example\r\n\r\n";
        auto start = std::chrono::steady_clock::now();
        size_t given = 0;
        bool closed = false;
        std::string got;
        while (given < head.size() && !closed) {
            send_some(fd, head.substr(given, 1));
            given++;
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, 1000) > 0)
                closed = read_to_end(fd, &got, 1000);
            if (given == 2) {
                ASSERT_TRUE(lines_land());  // while the slow client holds its connection
            }
        }
        close(fd);
        EXPECT_TRUE(closed);
        EXPECT_LT(given, head.size());
        EXPECT_EQ(got, "");
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
    }

    // 200 connections at once, each asking: every one is answered or
    // closed, none left hanging; lines land meanwhile.
    {
        std::vector<int> fds;
        for (int i = 0; i < 200; i++) {
            int fd = connect_local(http);
            if (fd >= 0) {
                send_some(fd, "GET /metrics HTTP/1.1\r\n\r\n");
                fds.push_back(fd);
            }
        }
        ASSERT_TRUE(lines_land());
        size_t answered = 0, closed = 0;
        for (int fd : fds) {
            std::string got;
            EXPECT_TRUE(read_to_end(fd, &got));
            if (status_line_of(got) == "HTTP/1.1 200 OK")
                answered++;
            else if (got.empty())
                closed++;
            close(fd);
        }
        EXPECT_EQ(answered + closed, fds.size());
        EXPECT_GE(answered, 1u);
    }

    // Still serving, and nothing lost.
    EXPECT_EQ(status_line_of(ask(http, "GET /metrics HTTP/1.1\r\n\r\n")), "HTTP/1.1 200 OK");
    ASSERT_TRUE(lines_land());
    s.terminate_daemon();
    EXPECT_EQ(count_lines(read_file(log)), sent);
}

// StatsListen values the daemon refuses, and an address it cannot listen
// on, stop it at start-up with status 255 before anything is opened.
TEST(MetricsHttp, RefusedAddresses)
{
    TempDir dir;
    const std::string log = dir.file("web.log");
    const std::string spread = "Spread {\n  Log {\n    Group = web\n    File = " + log + "\n  }\n}\n";
    const std::string syntax =
        "StatsListen must be ADDRESS:PORT, a numeric address (IPv6 in brackets) and a port from 1 to 65535\n";
    // Held by another socket.
    int held = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(held, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
    ASSERT_EQ(listen(held, 1), 0);
    socklen_t length = sizeof a;
    getsockname(held, reinterpret_cast<sockaddr *>(&a), &length);
    const std::string busy = "127.0.0.1:" + std::to_string(ntohs(a.sin_port));
    struct Case {
        std::string value, err;
    } cases[] = {
        {"127.0.0.1", syntax + "Parser error on or before line 0\nOffending token: 127.0.0.1\n"},
        {"127.0.0.1:0", syntax + "Parser error on or before line 0\nOffending token: 127.0.0.1:0\n"},
        {"127.0.0.1:65536", syntax + "Parser error on or before line 0\nOffending token: 127.0.0.1:65536\n"},
        {"localhost:9108", syntax + "Parser error on or before line 0\nOffending token: localhost:9108\n"},
        {"::1:9108", syntax + "Parser error on or before line 0\nOffending token: ::1:9108\n"},
        {"'[::1]:x'", syntax + "Parser error on or before line 0\nOffending token: '[::1]:x\n"},
        {busy, "Cannot listen on " + busy + ": Address already in use\n"},
        {"192.0.2.1:9108", "Cannot listen on 192.0.2.1:9108: Cannot assign requested address\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.value);
        write_file(dir.file("c.conf"), "StatsListen = " + c.value + "\n" + spread);
        Process p;
        run(p, {bin("wickerpost"), "-D", "-c", dir.file("c.conf")});
        EXPECT_EQ(p.exit_code(), 255);
        EXPECT_EQ(p.err(), c.err);
    }
    close(held);
}

// The read-ahead's high-water mark: while the loop is held (the first open
// of one vhost file stalls for a second), a burst of lines is read ahead on
// the library's thread; once the loop wrote them, nothing is held, the
// bound is the read-ahead's, and the most held at once is at least the
// burst.
TEST(Metrics, ReadAheadHighWaterAfterAStalledLoop)
{
    Scenario s;
    // The loop is held for a second by the first open of one vhost file
    // (libstall_open.so), while the burst behind that line is read ahead.
    mkdir(s.dir.file("vhosts").c_str(), 0755);
    const std::string stats = s.dir.file("wickerpost.prom");
    s.start_daemon("StatsFile = " + stats + "\nStatsInterval = 1\n" +
                       s.spread_block("  Log {\n    Group = web\n    VhostDir = " + s.dir.file("vhosts") + "\n  }\n"),
                   {}, {"LD_PRELOAD=" + bin("tests/libstall_open.so"), "WKP_STALL_OPEN=stall.example", "WKP_STALL_MS=1000"});
    std::string burst = "stall.example first\n", lines;
    for (int i = 0; i < 1000; i++) {
        std::string line = numbered_line(i, 100);
        burst += "h.example " + line;
        lines += line;
    }
    s.send(burst, {"web"});
    ASSERT_TRUE(s.wait_lines(s.dir.file("vhosts/h.example"), 1000));
    EXPECT_EQ(read_file(s.dir.file("vhosts/h.example")), lines);

    const Labels live{{"daemon", std::to_string(s.port)}};
    StatsReader reader{stats};
    ASSERT_TRUE(reader.wait_for([&](const Parsed &m) {
        return m.value("wickerpost_output_written_messages_total", output_labels(s.dir.file("vhosts"), "vhost_directory")) ==
               "1001";
    })) << reader.last.error;
    const Parsed &m = reader.last;
    EXPECT_EQ(m.value("wickerpost_spread_readahead_bytes", live), "0");
    EXPECT_EQ(m.value("wickerpost_spread_readahead_limit_bytes", live), std::to_string(32u << 20));
    // The whole burst was held at once while the loop was stalled.
    EXPECT_GE(std::stoull(m.value("wickerpost_spread_readahead_max_bytes", live)), burst.size());
    EXPECT_LE(std::stoull(m.value("wickerpost_spread_readahead_max_bytes", live)), 32u << 20);
    s.terminate_daemon();
}

// A hand-over keeps the endpoint: the daemon taking over listens on the
// same address while the old one still does (no "Cannot listen"), and
// answers once the old one has gone, with its own counts.
TEST(MetricsHttp, HandOverKeepsTheEndpoint)
{
    Scenario s;
    const int http = free_port();
    const std::string log = s.dir.file("web.log");
    s.start_daemon(listen_setting(http) + s.spread_block("  Log {\n    Group = web\n    File = " + log + "\n  }\n"));
    s.send("one\ntwo\n", {"web"});
    ASSERT_TRUE(s.wait_lines(log, 2));
    ASSERT_EQ(status_line_of(ask(http, "GET /metrics HTTP/1.1\r\n\r\n")), "HTTP/1.1 200 OK");

    s.daemon->signal(SIGUSR2);
    pid_t next = -1;
    ASSERT_TRUE(wait_until([&] {
        std::string err = s.daemon->err();
        size_t at = err.find("Handing over to new daemon ");
        if (at != std::string::npos)
            next = std::stoi(err.substr(at + 27));
        return err.find("Took over from daemon ") != std::string::npos;
    })) << s.daemon->err();
    ASSERT_TRUE(s.daemon->wait());
    EXPECT_EQ(s.daemon->exit_code(), 0);
    ASSERT_GT(next, 0);
    EXPECT_EQ(s.daemon->err().find("Cannot listen"), std::string::npos) << s.daemon->err();

    s.send("three\n", {"web"});
    ASSERT_TRUE(s.wait_lines(log, 3));
    // The new daemon's counts go on from the old one's: three lines.
    std::string answer;
    ASSERT_TRUE(wait_until([&] {
        answer = ask(http, "GET /metrics HTTP/1.1\r\n\r\n");
        return answer.find("\nwickerpost_spread_received_messages_total{daemon=\"" + std::to_string(s.port) +
                           "\"} 3\n") != std::string::npos;
    })) << answer;
    EXPECT_EQ(status_line_of(answer), "HTTP/1.1 200 OK");
    kill(next, SIGTERM);
    EXPECT_TRUE(wait_until([&] { return ended(next); }));
    EXPECT_EQ(read_file(log), "one\ntwo\nthree\n");
}
