// The hand-over's failure table, as processes (minispread, wickerpost,
// spcat): each row breaks one hand-over in one way, with a fixture of its
// own, and checks that no line is written twice or out of order, that the
// lines a row must keep are kept, and what the daemons say.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/un.h>

#include <atomic>
#include <functional>
#include <regex>
#include <thread>

#include "support/scenario.h"
#include "support/stream.h"

using namespace wkp_test;

namespace {

std::string log_block(const std::string &group, const std::string &item)
{
    return "  Log {\n    Group = " + group + "\n    " + item + "\n  }\n";
}

std::string numbered(int i)
{
    char text[32];
    snprintf(text, sizeof text, "line %07d\n", i);
    return text;
}

// The number in a line made by numbered().
int number_of(const std::string &line)
{
    return std::stoi(line.substr(5));
}

// Lines of a text, without their newlines.
std::vector<std::string> lines_of(const std::string &text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

// Threads of the process reading a Spread session ahead ("sp-reader").
int reader_threads(pid_t pid)
{
    int n = 0;
    for (const std::string &task : entries("/proc/" + std::to_string(pid) + "/task"))
        n += read_file("/proc/" + std::to_string(pid) + "/task/" + task + "/comm") == "sp-reader\n";
    return n;
}

// The numbers of the lines of `text`, checked to be numbered lines in
// ascending order, none twice.
std::vector<int> ordered_numbers(const std::string &text, const std::string &what)
{
    std::vector<int> numbers;
    for (const std::string &line : lines_of(text)) {
        EXPECT_TRUE(std::regex_match(line, std::regex("line [0-9]{7}"))) << what << ": " << line;
        numbers.push_back(number_of(line));
        if (numbers.size() > 1) {
            EXPECT_LT(numbers[numbers.size() - 2], numbers.back()) << what << ": once and in order";
        }
    }
    return numbers;
}

// The pid in the first "Handing over to new daemon PID" line, -1 until
// there is one.
pid_t new_daemon(const std::string &err)
{
    std::smatch m;
    if (std::regex_search(err, m, std::regex("Handing over to new daemon ([0-9]+)\n")))
        return std::stoi(m[1]);
    return -1;
}

bool says(const Scenario &s, const std::string &text)
{
    return s.daemon->err().find(text) != std::string::npos;
}

// A hand-over from the scenario's daemon: SIGUSR2, and the new daemon's
// pid.
pid_t start_hand_over(Scenario &s)
{
    kill(s.daemon->pid, SIGUSR2);
    pid_t next = -1;
    EXPECT_TRUE(wait_until([&] { return (next = new_daemon(s.daemon->err())) > 0; })) << s.daemon->err();
    return next;
}

// Waits until the old daemon has closed `path` (it finishes: every
// connection cut, outputs written out and closed).
bool finishing(pid_t old, const std::string &path)
{
    return wait_until([&] { return descriptors(old, path).empty(); });
}

// A command that appends to `path` and ends 4 s after its input ended:
// the old daemon's finish lasts that long.
std::string slow_command(const Scenario &s)
{
    return "File = '|cat >>" + s.dir.file("piped.log") + "; sleep 4'";
}

// --- The rows ------------------------------------------------------------

// a. The new daemon killed after the cut, while the old one waits for a
// slow piped command: the old one says the hand-over failed, takes its
// outputs back, reconnects and logs on. What reached only the new daemon
// is lost: the lines form one run with one gap, whose size is reported.
void new_daemon_killed_after_the_cut(Scenario &s)
{
    Subreaper reaper;
    std::string g = s.dir.file("g.log");
    s.start_daemon(s.spread_block(log_block("g", "File = " + g) + log_block("p", slow_command(s))));
    Stream stream(s, {"g"}, numbered, 1);
    ASSERT_TRUE(s.wait_lines(g, 50));
    pid_t next = start_hand_over(s);
    ASSERT_TRUE(finishing(s.daemon->pid, g));
    kill(next, SIGKILL);
    std::string failed = "Hand-over failed: new daemon " + std::to_string(next) + " ended by signal 9\n";
    ASSERT_TRUE(wait_until([&] { return says(s, failed); })) << s.daemon->err();
    size_t at_failure = count_lines(read_file(g));
    ASSERT_TRUE(s.wait_lines(g, at_failure + 100)) << "the old daemon logs on";
    int sent = stream.stop();
    ASSERT_TRUE(wait_until([&] { return !read_file(g).empty() && number_of(lines_of(read_file(g)).back()) == sent - 1; }));
    EXPECT_TRUE(s.daemon->running());
    EXPECT_FALSE(says(s, "Handed over")) << s.daemon->err();
    std::vector<int> got = ordered_numbers(read_file(g), "g.log");
    int gaps = 0, lost = 0;
    for (size_t k = 1; k < got.size(); k++)
        if (got[k] != got[k - 1] + 1) {
            gaps++;
            lost += got[k] - got[k - 1] - 1;
        }
    EXPECT_LE(gaps, 1) << "only the lines in flight between the two daemons";
    testing::Test::RecordProperty("lost_in_flight", lost);
    printf("row a: %d of %d lines lost in flight (100 lines/s)\n", lost, sent);
    s.terminate_daemon();
}

// b. A program that does not speak the channel (a wrapper that drops
// WICKERPOST_HANDOVER), then one that speaks another version: each is
// stopped, the reason said, and the running daemon logs on alone and can
// hand over again.
void program_that_does_not_speak_the_channel(Scenario &s)
{
    Subreaper reaper;
    std::string program = s.dir.file("wickerpost");
    ASSERT_EQ(symlink(bin("wickerpost").c_str(), program.c_str()), 0);
    std::string piped = s.dir.file("piped.log");
    std::string config = s.spread_block(log_block("p", "File = '|cat >>" + piped + "'"));
    write_file(s.dir.file("wickerpost.conf"), config);
    s.daemon = std::make_unique<Process>();
    ASSERT_TRUE(s.daemon->start({program, "-D", "-c", s.dir.file("wickerpost.conf"), "-x"}));
    ASSERT_TRUE(wait_until([&] { return says(s, "Setting FD: "); })) << s.daemon->err();

    struct Case {
        std::string script, said;
    };
    const std::vector<Case> cases{
        {"#!/bin/sh\nunset WICKERPOST_HANDOVER\nexec " + bin("wickerpost") + " \"$@\"\n", "did not answer"},
        {"#!/bin/bash\nprintf 'hello 999\\n' >&\"$WICKERPOST_HANDOVER\"\nexec sleep 60\n",
         "speaks channel version 999"},
    };
    int sent = 0;
    for (const Case &c : cases) {
        unlink(program.c_str());
        write_file(program, c.script);
        chmod(program.c_str(), 0755);
        size_t before = s.daemon->err().size();
        kill(s.daemon->pid, SIGUSR2);
        pid_t next = -1;
        ASSERT_TRUE(wait_until([&] { return (next = new_daemon(s.daemon->err().substr(before))) > 0; }));
        std::string failed = "Hand-over failed: new daemon " + std::to_string(next) + " " + c.said + "\n";
        ASSERT_TRUE(wait_until([&] { return says(s, failed); })) << s.daemon->err();
        EXPECT_TRUE(ended(next)) << "the child is stopped";
        std::string text;
        for (int k = 0; k < 20; k++)
            text += numbered(sent++);
        s.send(text, {"p"});
        ASSERT_TRUE(s.wait_lines(piped, (size_t)sent)) << c.said;
    }
    unlink(program.c_str());
    ASSERT_EQ(symlink(bin("wickerpost").c_str(), program.c_str()), 0);
    kill(s.daemon->pid, SIGUSR2);
    ASSERT_TRUE(wait_until([&] { return says(s, "Took over from daemon "); })) << s.daemon->err();
    EXPECT_FALSE(says(s, "SIGUSR2 ignored")) << "no hand-over left running";
    ASSERT_TRUE(s.daemon->wait());
    std::vector<int> got = ordered_numbers(read_file(piped), "piped.log");
    EXPECT_EQ(got.size(), (size_t)sent) << "every line once";
    pid_t now = -1;
    std::smatch m;
    std::string err = s.daemon->err();
    ASSERT_TRUE(std::regex_search(err, m, std::regex("Handed over to new daemon ([0-9]+)")));
    now = std::stoi(m[1]);
    kill(now, SIGTERM);
    EXPECT_TRUE(wait_until([&] { return ended(now); }));
}

// b, the other side. A new binary whose old daemon speaks another channel
// version (the test plays the old daemon: it is the parent, and its hello
// names version 999) exits 1 and says why, before it opens, locks or
// starts any output and before it connects to any Spread daemon: the file
// is not made, the command not started, and the daemon's socket (a
// listener the test holds) sees no connection.
void new_binary_that_finds_another_channel_version(Scenario &s)
{
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    const std::string hello = "hello 999\n";
    ASSERT_EQ(write(pair[0], hello.data(), hello.size()), (ssize_t)hello.size());
    int port = free_port();
    std::string socket_path = "/tmp/" + std::to_string(port);
    int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    snprintf(a.sun_path, sizeof a.sun_path, "%s", socket_path.c_str());
    unlink(socket_path.c_str());
    ASSERT_EQ(bind(listener, (sockaddr *)&a, sizeof a), 0);
    ASSERT_EQ(listen(listener, 8), 0);
    std::string g = s.dir.file("g.log"), started = s.dir.file("started");
    write_file(s.dir.file("wickerpost.conf"),
               "Spread {\n  Port = " + std::to_string(port) + "\n" + log_block("g", "File = " + g) +
                   log_block("p", "File = '|touch " + started + "; cat'") + "}\n");
    Process next;
    ASSERT_TRUE(next.start({bin("wickerpost"), "-D", "-c", s.dir.file("wickerpost.conf"), "-x"}, false,
                           {"WICKERPOST_HANDOVER=" + std::to_string(pair[1])}));
    close(pair[1]);
    ASSERT_TRUE(next.wait());
    EXPECT_EQ(next.exit_code(), 1) << next.err();
    EXPECT_NE(next.err().find("Taking over: the old daemon speaks channel version 999, this one 1\n"),
              std::string::npos)
        << next.err();
    EXPECT_FALSE(file_exists(g)) << "no output opened";
    EXPECT_FALSE(file_exists(started)) << "no command started";
    EXPECT_LT(accept(listener, nullptr, nullptr), 0) << "no Spread daemon connected to";
    close(listener);
    unlink(socket_path.c_str());
    close(pair[0]);
}

// c. The old daemon killed while the new one, joined on the first Spread
// daemon, still tries a second one that does not answer (stopped): the
// new one counts every connection as cut and takes over. No line is lost:
// every line sent after the kill lands once and in order; lines that both
// daemons received before the kill may be written by both (the old one
// may or may not have written them when it was killed), and their count
// is reported.
void old_daemon_killed_before_it_released(Scenario &s)
{
    Subreaper reaper;
    // Connections are made in the order of their port names: the second
    // daemon's comes after the first's.
    int second_port = free_port();
    while (std::to_string(second_port) <= std::to_string(s.port))
        second_port = free_port();
    Process second;
    ASSERT_TRUE(second.start({bin("minispread"), "-p", std::to_string(second_port)}));
    ASSERT_TRUE(wait_until([&] { return file_exists("/tmp/" + std::to_string(second_port)); }));
    std::string g = s.dir.file("g.log");
    s.start_daemon(s.spread_block(log_block("g", "File = " + g)) + "Spread {\n  Port = " +
                       std::to_string(second_port) + "\n" + log_block("h", "File = " + s.dir.file("h.log")) + "}\n",
                   {"-x"}, {}, 2);
    Stream stream(s, {"g"}, numbered, 1);
    ASSERT_TRUE(s.wait_lines(g, 50));
    second.signal(SIGSTOP);
    pid_t old = s.daemon->pid;
    pid_t next = start_hand_over(s);
    // The channel, the first daemon's session, then the second's: its
    // handshake waits.
    ASSERT_TRUE(wait_until([&] { return descriptors(next, "socket:").size() >= 3; }));
    // Connections are attempted side by side: the first daemon's session
    // reads ahead (its reader thread runs) and then sends its join. Once
    // the old daemon wrote a line sent well after that, every later line
    // reaches both, and every earlier one is written.
    ASSERT_TRUE(wait_until([&] { return reader_threads(next) >= 1; }));
    int mark = stream.sent + 5;
    ASSERT_TRUE(wait_until([&] {
        std::vector<std::string> lines = lines_of(read_file(g));
        return !lines.empty() && number_of(lines.back()) >= mark;
    }));
    kill(old, SIGKILL);
    ASSERT_TRUE(s.daemon->wait());
    int sent_at_kill = stream.sent;
    std::string took = "Taking over: daemon " + std::to_string(old) + " ended before it released its outputs\n";
    ASSERT_TRUE(wait_until([&] { return says(s, took) && says(s, "Took over from daemon "); })) << s.daemon->err();
    second.signal(SIGCONT);
    ASSERT_TRUE(wait_until([&] { return count_lines(read_file(g)) > 0 && number_of(lines_of(read_file(g)).back()) > sent_at_kill + 100; }));
    int sent = stream.stop();
    ASSERT_TRUE(wait_until([&] { return number_of(lines_of(read_file(g)).back()) == sent - 1; })) << read_file(g).size();
    std::map<int, int> times;
    std::vector<int> after_kill;
    for (const std::string &line : lines_of(read_file(g))) {
        int n = number_of(line);
        times[n]++;
        if (n > sent_at_kill)
            after_kill.push_back(n);
    }
    for (int i = 0; i < sent; i++)
        ASSERT_GE(times[i], 1) << "line " << i << " is missing";
    EXPECT_EQ(after_kill.size(), (size_t)(sent - 1 - sent_at_kill)) << "each line sent after the kill once";
    EXPECT_TRUE(std::is_sorted(after_kill.begin(), after_kill.end()));
    int doubled = 0;
    for (const auto &[n, k] : times)
        doubled += k - 1;
    printf("row c: %d of %d lines written twice (received by both before the kill), none lost\n", doubled, sent);
    kill(next, SIGTERM);
    EXPECT_TRUE(wait_until([&] { return ended(next); }));
}

// d. SIGHUP (after the file was moved away) and SIGTERM to the old daemon
// while it finishes: the new one reopens, or stops.
void signals_to_the_old_daemon_while_it_finishes(Scenario &s)
{
    Subreaper reaper;
    std::string g = s.dir.file("g.log");
    s.start_daemon(s.spread_block(log_block("g", "File = " + g) + log_block("p", slow_command(s))));
    Stream stream(s, {"g"}, numbered, 1);
    ASSERT_TRUE(s.wait_lines(g, 50));
    pid_t next = start_hand_over(s);
    ASSERT_TRUE(finishing(s.daemon->pid, g));
    ASSERT_EQ(rename(g.c_str(), (g + ".1").c_str()), 0);
    kill(s.daemon->pid, SIGHUP);
    ASSERT_TRUE(s.daemon->wait(120000));
    ASSERT_TRUE(says(s, "Took over from daemon ")) << s.daemon->err();
    ASSERT_TRUE(s.wait_lines(g, 50)) << "the new daemon made g.log again";
    int sent = stream.stop();
    ASSERT_TRUE(wait_until([&] { return number_of(lines_of(read_file(g)).back()) == sent - 1; }));
    std::vector<int> got = ordered_numbers(read_file(g + ".1") + read_file(g), "g.log.1 and g.log");
    EXPECT_EQ(got.size(), (size_t)sent) << "every line once, in the file where it belongs";

    // The same finish, now with SIGTERM: both daemons end. The second
    // stream's lines, numbered from 0 again, follow in g.log.
    size_t first_part = read_file(g).size();
    Stream again(s, {"g"}, numbered, 1);
    pid_t third = -1;
    kill(next, SIGUSR2);
    ASSERT_TRUE(wait_until([&] {
        std::smatch m;
        std::string err = s.daemon->err();
        std::string after = err.substr(err.find("Took over from daemon "));
        if (std::regex_search(after, m, std::regex("Handing over to new daemon ([0-9]+)\n")))
            third = std::stoi(m[1]);
        return third > 0;
    }));
    ASSERT_TRUE(finishing(next, g));
    kill(next, SIGTERM);
    EXPECT_TRUE(wait_until([&] { return ended(next); }, 120000));
    EXPECT_TRUE(wait_until([&] { return ended(third); }, 120000)) << "SIGTERM reached the new daemon";
    again.stop();
    ordered_numbers(read_file(g).substr(first_part), "g.log after the second hand-over");
}

// e. A DatedFile whose name changes during the hand-over (the new daemon
// held in its configuration until the second changed): the lock left for
// later is never taken on a closed descriptor.
void dated_file_whose_name_changes(Scenario &s)
{
    Subreaper reaper;
    mkdir(s.dir.file("d").c_str(), 0755);
    std::string dated = log_block("a", "DatedFile = " + s.dir.file("d/d-%H%M%S.log"));
    s.start_daemon(s.spread_block(dated), {"-x"},
                   {"LD_PRELOAD=" + bin("tests/libstall_open.so"), "WKP_STALL_OPEN=stalled.log",
                    "WKP_STALL_UNTIL=" + s.dir.file("go")});
    Stream stream(s, {"a"}, numbered, 1);
    auto dated_text = [&] {
        std::string text;
        for (const std::string &name : entries(s.dir.file("d")))
            text += read_file(s.dir.file("d/" + name));
        return text;
    };
    ASSERT_TRUE(wait_until([&] { return count_lines(dated_text()) >= 20; }));
    write_file(s.dir.file("wickerpost.conf"),
               s.spread_block(dated + log_block("z", "File = " + s.dir.file("stalled.log"))));
    pid_t next = start_hand_over(s);
    // The new daemon opened this second's file and stalls: past the next
    // second it goes on.
    ASSERT_TRUE(wait_until([&] { return !descriptors(next, s.dir.file("d/")).empty(); })) << s.daemon->err();
    time_t opened = time(nullptr);
    ASSERT_TRUE(wait_until([&] { return time(nullptr) >= opened + 2; }));
    write_file(s.dir.file("go"), "");
    ASSERT_TRUE(s.daemon->wait(120000));
    ASSERT_TRUE(says(s, "Took over from daemon ")) << s.daemon->err();
    int sent = stream.stop();
    ASSERT_TRUE(wait_until([&] {
        auto lines = lines_of(dated_text());
        return !lines.empty() && (int)lines.size() >= sent;
    }));
    EXPECT_FALSE(says(s, "Cannot lock")) << s.daemon->err();
    std::vector<int> got;
    for (const std::string &name : entries(s.dir.file("d")))
        for (int n : ordered_numbers(read_file(s.dir.file("d/" + name)), name))
            got.push_back(n);
    std::sort(got.begin(), got.end());
    EXPECT_EQ(got.size(), (size_t)sent);
    EXPECT_TRUE(std::adjacent_find(got.begin(), got.end()) == got.end()) << "no line twice";
    kill(next, SIGTERM);
    EXPECT_TRUE(wait_until([&] { return ended(next); }));
}

// f. A piped command slower than the old wait of 5 s: its lines stay in
// order across the cut (the new instance starts once the old one ended).
void piped_command_slower_than_five_seconds(Scenario &s)
{
    Subreaper reaper;
    std::string piped = s.dir.file("piped.log");
    s.start_daemon(s.spread_block(log_block(
        "p", "File = '|while IFS= read -r l; do printf \"%s\\n\" \"$l\"; sleep 0.02; done >>" + piped + "'")));
    std::string text;
    for (int i = 0; i < 400; i++)
        text += numbered(i);
    s.send(text, {"p"});
    ASSERT_TRUE(s.wait_lines(piped, 10));
    pid_t next = start_hand_over(s);
    ASSERT_TRUE(s.daemon->wait(120000));
    ASSERT_TRUE(says(s, "Took over from daemon ")) << s.daemon->err();
    text.clear();
    for (int i = 400; i < 500; i++)
        text += numbered(i);
    s.send(text, {"p"});
    ASSERT_TRUE(s.wait_lines(piped, 500));
    std::vector<int> got = ordered_numbers(read_file(piped), "piped.log");
    EXPECT_EQ(got.size(), 500u);
    kill(next, SIGTERM);
    EXPECT_TRUE(wait_until([&] { return ended(next); }));
}

// g. WICKERPOST_HANDOVER naming something that is not the channel: an
// inherited pipe, a socket whose peer is another process, a channel that
// stays silent. Each is said and the daemon starts as usual.
void handover_variable_that_is_not_a_channel(Scenario &s)
{
    struct Case {
        std::string name;
        std::function<int()> make;  // the descriptor to name, inherited
        std::string said;
    };
    std::vector<int> keep;
    int spread_socket = -1;
    const std::vector<Case> cases{
        {"pipe",
         [&] {
             int p[2];
             EXPECT_EQ(pipe(p), 0);
             keep.push_back(p[1]);
             return p[0];
         },
         "is not a Unix stream socket"},
        {"another process's socket",
         [&] {
             spread_socket = socket(AF_UNIX, SOCK_STREAM, 0);
             sockaddr_un a{};
             a.sun_family = AF_UNIX;
             snprintf(a.sun_path, sizeof a.sun_path, "/tmp/%d", s.port);
             EXPECT_EQ(connect(spread_socket, (sockaddr *)&a, sizeof a), 0);
             return spread_socket;
         },
         "is not the parent process"},
        {"silent parent",
         [&] {
             int p[2];
             EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, p), 0);
             keep.push_back(p[0]);
             return p[1];
         },
         "no header within 5 s"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        int fd = c.make();
        std::string g = s.dir.file("g.log");
        unlink(g.c_str());
        s.start_daemon(s.spread_block(log_block("g", "File = " + g)), {"-x"},
                       {"WICKERPOST_HANDOVER=" + std::to_string(fd)});
        EXPECT_TRUE(says(s, "WICKERPOST_HANDOVER ignored: ")) << s.daemon->err();
        EXPECT_TRUE(says(s, c.said)) << s.daemon->err();
        s.send("one\n", {"g"});
        EXPECT_TRUE(s.wait_lines(g, 1)) << "an ordinary start";
        s.terminate_daemon();
        close(fd);
    }
    for (int fd : keep)
        close(fd);
}

// h. More than the hold's bound arrives between the cut and the release
// (a finish held up by a slow command): the new daemon drops what is past
// it, says so and counts it; the rest is written once, in order.
void more_than_the_hold_between_cut_and_release(Scenario &s)
{
    Subreaper reaper;
    std::string g = s.dir.file("g.log");
    s.start_daemon(s.spread_block(log_block("g", "File = " + g) + log_block("p", slow_command(s))));
    s.send("first\n", {"g"});
    ASSERT_TRUE(s.wait_lines(g, 1));
    pid_t next = start_hand_over(s);
    ASSERT_TRUE(finishing(s.daemon->pid, g));
    // 40 MiB in 4 KiB lines, during the old daemon's 4 s wait.
    Process cat;
    ASSERT_TRUE(cat.start({bin("spcat"), "-s", std::to_string(s.port), "-g", "g"}, true));
    std::string filler(4000, 'x');
    const int total = 10240;
    for (int i = 0; i < total; i += 64) {
        std::string chunk;
        for (int k = i; k < i + 64; k++)
            chunk += numbered(k).substr(0, 12) + " " + filler + "\n";
        cat.send(chunk);
    }
    cat.close_stdin();
    ASSERT_TRUE(cat.wait());
    ASSERT_TRUE(s.daemon->wait(120000));
    std::smatch m;
    std::string err;
    ASSERT_TRUE(wait_until([&] {
        err = s.daemon->err();
        return std::regex_search(err, m, std::regex("Taking over: dropped ([0-9]+) messages past the 32 MiB held\n"));
    })) << err;
    int dropped = std::stoi(m[1]);
    EXPECT_GT(dropped, 0);
    ASSERT_TRUE(wait_until([&] { return count_lines(read_file(g)) >= (size_t)(1 + total - dropped); }));
    std::string text = read_file(g);
    std::vector<int> got;
    for (const std::string &line : lines_of(text))
        if (line != "first")
            got.push_back(number_of(line.substr(0, 12)));
    EXPECT_EQ(got.size(), (size_t)(total - dropped));
    EXPECT_TRUE(std::is_sorted(got.begin(), got.end()) && std::adjacent_find(got.begin(), got.end()) == got.end());
    kill(next, SIGTERM);
    EXPECT_TRUE(wait_until([&] { return ended(next); }));
}

struct Row {
    const char *name;
    void (*run)(Scenario &s);
};

const Row rows[] = {
    {"a_NewDaemonKilledAfterTheCut", new_daemon_killed_after_the_cut},
    {"b_ProgramThatDoesNotSpeakTheChannel", program_that_does_not_speak_the_channel},
    {"b_NewBinaryThatFindsAnotherChannelVersion", new_binary_that_finds_another_channel_version},
    {"c_OldDaemonKilledBeforeItReleased", old_daemon_killed_before_it_released},
    {"d_SignalsToTheOldDaemonWhileItFinishes", signals_to_the_old_daemon_while_it_finishes},
    {"e_DatedFileWhoseNameChanges", dated_file_whose_name_changes},
    {"f_PipedCommandSlowerThanFiveSeconds", piped_command_slower_than_five_seconds},
    {"g_HandoverVariableThatIsNotAChannel", handover_variable_that_is_not_a_channel},
    {"h_MoreThanTheHoldBetweenCutAndRelease", more_than_the_hold_between_cut_and_release},
};

void PrintTo(const Row &row, std::ostream *out)
{
    *out << row.name;
}

class HandoverFailure : public testing::TestWithParam<Row> {};

}  // namespace

TEST_P(HandoverFailure, Row)
{
    Scenario s;
    GetParam().run(s);
}

INSTANTIATE_TEST_SUITE_P(Table, HandoverFailure, testing::ValuesIn(rows),
                         [](const testing::TestParamInfo<Row> &info) { return std::string(info.param.name); });
