// Arrival clock of the daemon benchmark's latency runs: notes when each line
// of the benchmark's input appears in the output files.
//
//   arrival_watch -o OUT DIR...
//
// Watches the directories (inotify: a file created or written in them) and
// reads every file in them from where it last stopped as soon as it grows
// (a file renamed away, by a size rotation, is read to its end and the
// name's new file from its start).
// Each whole line read that carries the benchmark's sequence number ("/p/"
// and seven digits) is stamped with CLOCK_REALTIME at the moment it was
// read. On SIGTERM or SIGINT it writes "SEQUENCE NANOSECONDS" lines to OUT
// and exits. A stamp is therefore the time the line was seen, not the time
// it was written: the watcher's own wake-up is in every figure, for the
// baseline as for the daemon. It prints "watching" on standard error once
// its watches are in place.
#include <fcntl.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unordered_map>
#include <vector>

namespace {

volatile sig_atomic_t stop = 0;
void on_stop(int) { stop = 1; }

uint64_t realtime_ns()
{
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return (uint64_t)ts.tv_sec * 1000000000u + (uint64_t)ts.tv_nsec;
}

struct Watched {
    int fd = -1;
    std::string partial;  // the start of a line not all written yet
};

std::vector<std::pair<uint32_t, uint64_t>> arrivals;

// Reads what the file open in `w` (opened on `path` if none is) gained
// since the last time and stamps its whole lines.
void read_open(const std::string &path, Watched &w)
{
    if (w.fd < 0) {
        w.fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (w.fd < 0)
            return;
    }
    char buf[65536];
    ssize_t n;
    while ((n = read(w.fd, buf, sizeof buf)) > 0) {
        uint64_t now = realtime_ns();
        w.partial.append(buf, (size_t)n);
        size_t start = 0;
        for (size_t nl; (nl = w.partial.find('\n', start)) != std::string::npos; start = nl + 1) {
            size_t at = w.partial.find("/p/", start);
            if (at != std::string::npos && at + 10 <= nl)
                arrivals.emplace_back((uint32_t)strtoul(w.partial.c_str() + at + 3, nullptr, 10), now);
        }
        w.partial.erase(0, start);
    }
}

// Reads what `path` gained since the last time and stamps its whole lines.
// A path that names another file once the one held is read to its end (a
// size rotation renamed it away) is opened anew and read from its start.
void read_new(const std::string &path, Watched &w)
{
    for (;;) {
        read_open(path, w);
        struct stat held, named;
        if (w.fd < 0 || stat(path.c_str(), &named) != 0 || fstat(w.fd, &held) != 0 ||
            (held.st_dev == named.st_dev && held.st_ino == named.st_ino))
            return;
        close(w.fd);
        w.fd = -1;
        w.partial.clear();
    }
}

}  // namespace

int main(int argc, char **argv)
{
    const char *out = nullptr;
    int c;
    while ((c = getopt(argc, argv, "o:")) != -1) {
        if (c != 'o') {
            fprintf(stderr, "usage: arrival_watch -o OUT DIR...\n");
            return 2;
        }
        out = optarg;
    }
    if (!out || optind == argc) {
        fprintf(stderr, "usage: arrival_watch -o OUT DIR...\n");
        return 2;
    }
    struct sigaction sa{};
    sa.sa_handler = on_stop;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);

    int in = inotify_init1(IN_CLOEXEC);
    if (in < 0) {
        perror("arrival_watch: inotify_init1");
        return 1;
    }
    std::unordered_map<int, std::string> dirs;  // by watch descriptor
    for (int i = optind; i < argc; i++) {
        int wd = inotify_add_watch(in, argv[i], IN_MODIFY | IN_CREATE);
        if (wd < 0) {
            fprintf(stderr, "arrival_watch: %s: %s\n", argv[i], strerror(errno));
            return 1;
        }
        dirs[wd] = argv[i];
    }
    arrivals.reserve(1 << 20);
    std::unordered_map<std::string, Watched> files;
    fprintf(stderr, "watching\n");
    alignas(struct inotify_event) char events[65536];
    while (!stop) {
        ssize_t n = read(in, events, sizeof events);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            perror("arrival_watch: read");
            return 1;
        }
        for (char *p = events; p < events + n;) {
            auto *e = (struct inotify_event *)p;
            p += sizeof *e + e->len;
            if (e->len == 0 || e->mask & IN_ISDIR)
                continue;
            std::string path = dirs[e->wd] + "/" + e->name;
            read_new(path, files[path]);
        }
    }
    FILE *f = fopen(out, "w");
    if (!f) {
        perror(out);
        return 1;
    }
    for (auto &[seq, ns] : arrivals)
        fprintf(f, "%u %llu\n", seq, (unsigned long long)ns);
    return fclose(f) == 0 ? 0 : 1;
}
