// The process series of the metrics: what every Prometheus client library
// exports about its process, with the same names, types and meaning, read
// from /proc as they read it.
#include "daemon/metrics.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

// The content of a small /proc file (at most size - 1 bytes, NUL ended);
// false when it cannot be read.
bool read_small(const char *path, char *buffer, size_t size)
{
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    size_t done = 0;
    while (done < size - 1) {
        ssize_t n = read(fd, buffer + done, size - 1 - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += static_cast<size_t>(n);
    }
    close(fd);
    buffer[done] = '\0';
    return done > 0;
}

// Fields of /proc/self/stat, numbered as proc(5) numbers them.
struct Stat {
    unsigned long long utime, stime;  // 14, 15: clock ticks
    unsigned long long starttime;     // 22: clock ticks after boot
    unsigned long long vsize;         // 23: bytes
    long long rss;                    // 24: pages
};

bool read_stat(Stat *st)
{
    char text[1024];
    if (!read_small("/proc/self/stat", text, sizeof text))
        return false;
    // The command name (field 2) is in parentheses and may hold anything:
    // the fields after it begin after the last ')'.
    char *p = strrchr(text, ')');
    if (p == nullptr)
        return false;
    p++;
    unsigned long long field[25] = {};
    for (int i = 3; i <= 24; i++) {
        while (*p == ' ')
            p++;
        if (i == 3) {  // the state, a letter
            if (*p == '\0')
                return false;
            while (*p != ' ' && *p != '\0')
                p++;
            continue;
        }
        char *end;
        errno = 0;
        long long v = strtoll(p, &end, 10);
        if (end == p || errno != 0)
            return false;
        field[i] = static_cast<unsigned long long>(v);
        p = end;
    }
    *st = Stat{field[14], field[15], field[22], field[23], static_cast<long long>(field[24])};
    return true;
}

// The boot time from /proc/stat's "btime" line, seconds since the epoch;
// -1 when unknown.
long long boot_time()
{
    char text[16384];
    if (!read_small("/proc/stat", text, sizeof text))
        return -1;
    const char *line = strstr(text, "\nbtime ");
    return line ? strtoll(line + 7, nullptr, 10) : -1;
}

// Descriptors open now, the one reading the directory not counted; -1 when
// the directory cannot be read.
long open_descriptors()
{
    DIR *dir = opendir("/proc/self/fd");
    if (dir == nullptr)
        return -1;
    long n = 0;
    int own = dirfd(dir);
    while (dirent *e = readdir(dir)) {
        if (e->d_name[0] == '.')
            continue;
        n += atoi(e->d_name) != own;
    }
    closedir(dir);
    return n;
}

}  // namespace

void metrics_process_block(std::string *out)
{
    Stat st;
    bool have_stat = read_stat(&st);
    long ticks = sysconf(_SC_CLK_TCK);
    long page = sysconf(_SC_PAGESIZE);
    long long boot = boot_time();
    metrics_family(out, "process_virtual_memory_bytes", "gauge", "Virtual memory size in bytes.");
    if (have_stat)
        metrics_sample(out, "process_virtual_memory_bytes", "", st.vsize);
    metrics_family(out, "process_resident_memory_bytes", "gauge", "Resident memory size in bytes.");
    if (have_stat && page > 0)
        metrics_sample(out, "process_resident_memory_bytes", "",
                       static_cast<unsigned long long>(st.rss) * static_cast<unsigned long long>(page));
    metrics_family(out, "process_start_time_seconds", "gauge",
                   "Start time of the process since unix epoch in seconds.");
    if (have_stat && ticks > 0 && boot >= 0)
        metrics_sample_real(out, "process_start_time_seconds", "",
                            static_cast<double>(boot) + static_cast<double>(st.starttime) / ticks);
    metrics_family(out, "process_cpu_seconds_total", "counter", "Total user and system CPU time spent in seconds.");
    if (have_stat && ticks > 0)
        metrics_sample_real(out, "process_cpu_seconds_total", "", static_cast<double>(st.utime + st.stime) / ticks);
    metrics_family(out, "process_open_fds", "gauge", "Number of open file descriptors.");
    long fds = open_descriptors();
    if (fds >= 0)
        metrics_sample(out, "process_open_fds", "", static_cast<unsigned long long>(fds));
    metrics_family(out, "process_max_fds", "gauge", "Maximum number of open file descriptors.");
    rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0)
        metrics_sample_real(out, "process_max_fds", "",
                            limit.rlim_cur == RLIM_INFINITY ? static_cast<double>(1ull << 63)
                                                            : static_cast<double>(limit.rlim_cur));
}
