// Throughput of minispread: one sender process floods one receiver process
// through the daemon, with no flow control.
//
//     minispread_bench [-d DAEMON_BINARY] [-t] [-S] [-b BODY] [-c COUNT] [-r RUNS]
//
// Starts the daemon (default: the minispread built with this program) on a
// free port, then for each run forks a receiver (membership on, joins
// "bench") and a sender (membership off), which multicasts COUNT AGREED
// messages of BODY bytes and then an end marker (mess_type 2).  The receiver
// times from its first message to the marker: throughput = (messages - 1) /
// elapsed.  Receiver CPU comes from getrusage over the same interval, daemon
// CPU from /proc/PID/stat over the whole run.  -t uses TCP instead of the
// Unix socket; -S runs the daemon with -S (a real daemon's policy towards
// slow receivers).  A receiver that the daemon disconnects fails the run.
#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "spread/sp.h"

#ifndef MINISPREAD_PATH
#define MINISPREAD_PATH "build/minispread"
#endif

namespace {

struct RunResult {
    long messages;         // received, marker excluded
    double seconds;        // first message to marker
    double receiver_cpu;   // seconds, same interval
    double sender_cpu;     // seconds, connect to disconnect
    double daemon_cpu;     // seconds, whole run
    bool ok;
};

double now_s()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

double cpu_s()
{
    rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    return ru.ru_utime.tv_sec + ru.ru_stime.tv_sec + (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

// utime + stime of a process, in seconds.
double process_cpu(pid_t pid)
{
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/stat", (int)pid);
    FILE *f = fopen(path, "r");
    if (!f)
        return 0;
    char buf[1024];
    size_t n = fread(buf, 1, sizeof buf - 1, f);
    fclose(f);
    buf[n] = '\0';
    const char *p = strrchr(buf, ')');   // the command name may hold spaces
    unsigned long utime = 0, stime = 0;
    if (p == nullptr || sscanf(p + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &utime, &stime) != 2)
        return 0;
    return (double)(utime + stime) / (double)sysconf(_SC_CLK_TCK);
}

[[noreturn]] void die(const char *what, int code)
{
    fprintf(stderr, "minispread_bench: %s: %s\n", what, SP_strerror(code));
    _exit(2);
}

// Receiver child: reports its RunResult through fd `out`, and one byte on
// `ready` once it has joined.
[[noreturn]] void receiver(const std::string &daemon, int run, int ready, int out)
{
    mailbox m;
    char pg[MAX_GROUP_NAME];
    std::string name = "recv" + std::to_string(run);
    int ret = SP_connect(daemon.c_str(), name.c_str(), 0, 1, &m, pg);
    if (ret != ACCEPT_SESSION)
        die("receiver connect", ret);
    if ((ret = SP_join(m, "bench")) < 0)
        die("join", ret);
    // A receiver that keeps up reads ahead on the library's thread, as the
    // daemon does; two reads per message would measure the receiver.
    if ((ret = SP_read_ahead(m, 1)) != 0)
        die("read ahead", ret);
    static char body[144000];
    static char groups[10][MAX_GROUP_NAME];
    char sender[MAX_GROUP_NAME];
    RunResult r{};
    bool told = false;
    double t0 = 0, c0 = 0;
    for (;;) {
        service svc = 0;
        int ng, endian;
        int16 mt;
        ret = SP_receive(m, &svc, sender, 10, &ng, groups, &mt, &endian, sizeof body, body);
        if (ret < 0) {
            fprintf(stderr, "minispread_bench: receiver lost after %ld messages: %s\n", r.messages,
                    SP_strerror(ret));
            break;
        }
        if (Is_membership_mess(svc)) {
            if (!told && (svc & CAUSED_BY_JOIN)) {
                told = true;
                (void)!write(ready, "j", 1);
            }
            continue;
        }
        if (!Is_regular_mess(svc))
            continue;
        if (mt == 2) {
            r.seconds = now_s() - t0;
            r.receiver_cpu = cpu_s() - c0;
            r.ok = true;
            break;
        }
        if (r.messages++ == 0) {
            t0 = now_s();
            c0 = cpu_s();
        }
    }
    (void)!write(out, &r, sizeof r);
    SP_disconnect(m);
    _exit(0);
}

// Sender child: reports its CPU time (a double) through fd `out`.
[[noreturn]] void sender(const std::string &daemon, int run, long count, int size, int out)
{
    mailbox m;
    char pg[MAX_GROUP_NAME];
    std::string name = "send" + std::to_string(run);
    int ret = SP_connect(daemon.c_str(), name.c_str(), 0, 0, &m, pg);
    if (ret != ACCEPT_SESSION)
        die("sender connect", ret);
    std::vector<char> body((size_t)size, 'x');
    for (long i = 0; i < count; i++) {
        memcpy(body.data(), &i, std::min(sizeof i, body.size()));
        if ((ret = SP_multicast(m, AGREED_MESS, "bench", 0, size, body.data())) < 0)
            die("multicast", ret);
    }
    if ((ret = SP_multicast(m, AGREED_MESS, "bench", 2, 0, "")) < 0)
        die("multicast", ret);
    SP_disconnect(m);
    double cpu = cpu_s();
    (void)!write(out, &cpu, sizeof cpu);
    _exit(0);
}

RunResult one_run(const std::string &daemon, pid_t daemon_pid, int run, long count, int size)
{
    int ready[2], out[2], sent[2];
    if (pipe(ready) != 0 || pipe(out) != 0 || pipe(sent) != 0) {
        perror("pipe");
        exit(2);
    }
    double d0 = process_cpu(daemon_pid);
    pid_t r = fork();
    if (r == 0)
        receiver(daemon, run, ready[1], out[1]);
    char c;
    RunResult result{};
    if (read(ready[0], &c, 1) != 1) {
        fprintf(stderr, "minispread_bench: receiver did not join\n");
        waitpid(r, nullptr, 0);
        return result;
    }
    pid_t s = fork();
    if (s == 0)
        sender(daemon, run, count, size, sent[1]);
    if (read(out[0], &result, sizeof result) != (ssize_t)sizeof result)
        result.ok = false;
    if (read(sent[0], &result.sender_cpu, sizeof result.sender_cpu) != (ssize_t)sizeof result.sender_cpu)
        result.sender_cpu = 0;
    waitpid(r, nullptr, 0);
    waitpid(s, nullptr, 0);
    result.daemon_cpu = process_cpu(daemon_pid) - d0;
    for (int fd : {ready[0], ready[1], out[0], out[1], sent[0], sent[1]})
        close(fd);
    return result;
}

int pick_port()
{
    srand((unsigned)getpid() ^ (unsigned)time(nullptr));
    for (int i = 0; i < 200; i++) {
        int p = 20000 + rand() % 12000;
        struct stat st;
        if (stat(("/tmp/" + std::to_string(p)).c_str(), &st) != 0)
            return p;
    }
    return 24803;
}

}  // namespace

int main(int argc, char **argv)
{
    const char *binary = MINISPREAD_PATH;
    bool tcp = false, as_spread = false;
    int size = 100;
    long count = 300000;
    int runs = 7;
    int opt;
    while ((opt = getopt(argc, argv, "d:tSb:c:r:")) != -1) {
        switch (opt) {
        case 'd': binary = optarg; break;
        case 't': tcp = true; break;
        case 'S': as_spread = true; break;
        case 'b': size = atoi(optarg); break;
        case 'c': count = atol(optarg); break;
        case 'r': runs = atoi(optarg); break;
        default:
            fprintf(stderr, "usage: minispread_bench [-d DAEMON_BINARY] [-t] [-S] [-b BODY] [-c COUNT] [-r RUNS]\n");
            return 2;
        }
    }
    signal(SIGPIPE, SIG_IGN);
    int port = pick_port();
    pid_t daemon_pid = fork();
    if (daemon_pid == 0) {
        std::string p = std::to_string(port);
        if (as_spread)
            execl(binary, binary, "-S", "-p", p.c_str(), (char *)nullptr);
        else
            execl(binary, binary, "-p", p.c_str(), (char *)nullptr);
        perror(binary);
        _exit(127);
    }
    std::string socket_path = "/tmp/" + std::to_string(port);
    struct stat st;
    for (int i = 0; i < 200 && stat(socket_path.c_str(), &st) != 0; i++)
        usleep(10000);
    std::string daemon = std::to_string(port) + (tcp ? "@127.0.0.1" : "");

    printf("%s, %d-byte bodies, %ld messages per run, %d runs%s\n", tcp ? "TCP" : "unix socket", size, count, runs,
           as_spread ? ", daemon with -S" : "");
    std::vector<double> rates, recv_us, send_us, daemon_us;
    bool failed = false;
    for (int i = 0; i < runs; i++) {
        RunResult r = one_run(daemon, daemon_pid, i, count, size);
        if (!r.ok || r.messages != count) {
            printf("run %d: FAILED (%ld of %ld messages)\n", i + 1, r.messages, count);
            failed = true;
            continue;
        }
        double rate = (double)(r.messages - 1) / r.seconds;
        rates.push_back(rate);
        recv_us.push_back(r.receiver_cpu / (double)r.messages * 1e6);
        send_us.push_back(r.sender_cpu / (double)r.messages * 1e6);
        daemon_us.push_back(r.daemon_cpu / (double)r.messages * 1e6);
        printf("run %d: %.0f msgs/s, %.1f MB/s, CPU us/msg: receiver %.2f, sender %.2f, daemon %.2f\n", i + 1,
               rate, rate * size / 1e6, recv_us.back(), send_us.back(), daemon_us.back());
    }
    kill(daemon_pid, SIGTERM);
    waitpid(daemon_pid, nullptr, 0);
    if (!rates.empty()) {
        auto med = [](std::vector<double> v) {
            std::sort(v.begin(), v.end());
            return v[v.size() / 2];
        };
        printf("msgs/s min / median / max: %.0f / %.0f / %.0f; MB/s median %.1f; "
               "CPU us/msg medians: receiver %.2f, sender %.2f, daemon %.2f\n",
               *std::min_element(rates.begin(), rates.end()), med(rates),
               *std::max_element(rates.begin(), rates.end()), med(rates) * size / 1e6, med(recv_us),
               med(send_us), med(daemon_us));
    }
    return failed ? 1 : 0;
}
