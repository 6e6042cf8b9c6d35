// The metrics file (StatsFile): its counts against what the files hold,
// label values that need escaping, a stats directory the daemon cannot
// write to, the file replaced whole, the settings the daemon refuses, the
// process series and the read-ahead's high-water mark. Every message
// accounted for is in metrics_accounting_test.cpp, the StatsListen endpoint
// in metrics_http_test.cpp.
// Real processes: minispread, wickerpost, spcat; every file the daemon
// writes is read by the prometheus_client library's parser (Debian's
// python3-prometheus-client, under Debian's /usr/bin/python3).
#include <gtest/gtest.h>

#include <sys/inotify.h>
#include <sys/stat.h>

#include <cmath>
#include <ctime>
#include <map>

#include "daemon/options.h"
#include "support/metrics.h"
#include "support/scenario.h"

using namespace wkp_test;

namespace {

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
