// Sender of the daemon benchmark: multicasts each line of a file, its
// newline included, as one AGREED message to one group, either as fast as
// the daemon takes them or at a steady rate.
//
//   bench_sender -s DAEMON -g GROUP -f FILE [-R MESSAGES_PER_SECOND] [-n NAME] [-T TIMES]
//
// The file is read into memory first, so reading it costs nothing while
// sending. With -R the sender keeps to the schedule of one message every
// 1/R seconds, as a daemon's other clients would: before each message it
// looks at the clock and, when the message is due 50 us or more later,
// sleeps until it is due (timer slack 1 us), so that no message goes more
// than 50 us early. At 10,000 msgs/s each message is sent on its own; at
// higher rates a few go together, about every 50 us. When the daemon holds
// it back it catches up at full speed. On
// standard output it prints the messages sent, the seconds it took and the
// rate reached. With -T it writes to TIMES, for each message in order, the
// CLOCK_REALTIME nanoseconds just before it was handed to the daemon, one
// number a line (latency runs: bench/arrival_watch notes the arrivals).
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cstdint>
#include <vector>

#include "spread/sp.h"

namespace {

[[noreturn]] void usage(const char *program)
{
    fprintf(stderr, "usage: %s -s DAEMON -g GROUP -f FILE [-R MESSAGES_PER_SECOND] [-n NAME] [-T TIMES]\n",
            program);
    exit(2);
}

double now_seconds()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec / 1e9;
}

// Reads the whole file; null on failure (reported).
char *read_file(const char *path, size_t *size)
{
    int fd = open(path, O_RDONLY);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0) {
        fprintf(stderr, "bench_sender: %s: %s\n", path, strerror(errno));
        return nullptr;
    }
    char *data = (char *)malloc((size_t)st.st_size + 1);
    size_t got = 0;
    while (data && got < (size_t)st.st_size) {
        ssize_t n = read(fd, data + got, (size_t)st.st_size - got);
        if (n <= 0) {
            fprintf(stderr, "bench_sender: read %s: %s\n", path, n < 0 ? strerror(errno) : "short file");
            free(data);
            data = nullptr;
            break;
        }
        got += (size_t)n;
    }
    close(fd);
    *size = got;
    return data;
}

} // namespace

int main(int argc, char **argv)
{
    const char *daemon = nullptr;
    const char *group = nullptr;
    const char *path = nullptr;
    const char *name = nullptr;
    const char *times_path = nullptr;
    double rate = 0;
    int c;
    while ((c = getopt(argc, argv, "s:g:f:R:n:T:")) != -1) {
        switch (c) {
        case 's': daemon = optarg; break;
        case 'g': group = optarg; break;
        case 'f': path = optarg; break;
        case 'R': rate = atof(optarg); break;
        case 'n': name = optarg; break;
        case 'T': times_path = optarg; break;
        default: usage(argv[0]);
        }
    }
    if (!daemon || !group || !path || rate < 0)
        usage(argv[0]);

    size_t size;
    char *data = read_file(path, &size);
    if (!data)
        return 1;

    mailbox mbox;
    char private_group[MAX_GROUP_NAME];
    int r = SP_connect(daemon, name, 0, 0, &mbox, private_group);
    if (r != ACCEPT_SESSION) {
        fprintf(stderr, "bench_sender: cannot connect to %s: %s\n", daemon, SP_strerror(r));
        return 1;
    }

    std::vector<uint64_t> times;
    long sent = 0;
    if (rate > 0)
        prctl(PR_SET_TIMERSLACK, 1000UL, 0, 0, 0);
    double start = now_seconds();
    const char *p = data, *end = data + size;
    while (p < end) {
        const char *nl = (const char *)memchr(p, '\n', (size_t)(end - p));
        const char *next = nl ? nl + 1 : end;
        if (times_path) {
            struct timespec ts;
            clock_gettime(CLOCK_REALTIME, &ts);
            times.push_back((uint64_t)ts.tv_sec * 1000000000u + (uint64_t)ts.tv_nsec);
        }
        r = SP_multicast(mbox, AGREED_MESS, group, 0, (int)(next - p), p);
        if (r < 0) {
            fprintf(stderr, "bench_sender: send failed after %ld messages: %s\n", sent, SP_strerror(r));
            return 1;
        }
        p = next;
        sent++;
        if (rate > 0) {
            double due = start + (double)sent / rate;
            if (due - now_seconds() >= 50e-6) {
                struct timespec ts = {(time_t)due, (long)((due - (double)(time_t)due) * 1e9)};
                while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
                }
            }
        }
    }
    double elapsed = now_seconds() - start;
    SP_disconnect(mbox);
    printf("%ld messages in %.3f s: %.0f msgs/s\n", sent, elapsed, elapsed > 0 ? sent / elapsed : 0);
    free(data);
    if (times_path) {
        FILE *f = fopen(times_path, "w");
        for (size_t i = 0; f && i < times.size(); i++)
            fprintf(f, "%llu\n", (unsigned long long)times[i]);
        if (!f || fclose(f) != 0) {
            fprintf(stderr, "bench_sender: %s: %s\n", times_path, strerror(errno));
            return 1;
        }
    }
    return 0;
}
