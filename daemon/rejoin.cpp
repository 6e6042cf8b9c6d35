#include "daemon/rejoin.h"

#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "daemon/loop.h"
#include "daemon/session.h"
#include "output/writer.h"

namespace {

// A local daemon whose socket appeared and that was not connected yet.
struct Try {
    SpreadConf *conf;
    long long next_ms;   // when to try it next
    long long until_ms;  // after this, the passes alone
    int delay_ms;        // before the try after next
};

constexpr int first_retry_ms = 50;
// A failed try that took this long did not fail for want of a listener.
constexpr int slow_try_ms = 500;

int watch_fd = -1;
std::vector<Try> tries;

long long now_ms()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (long long)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

bool is_local_and_down(const SpreadConf *conf) { return conf->host == nullptr && !conf->connected; }

// The port a socket's name stands for, -1 when it is not a port number.
long port_of(const char *name)
{
    if (*name < '0' || *name > '9')
        return -1;
    char *end = nullptr;
    errno = 0;
    long port = strtol(name, &end, 10);
    return *end == '\0' && errno == 0 ? port : -1;
}

bool socket_exists(const SpreadConf *conf)
{
    std::string path = std::string(local_socket_dir) + "/" + std::to_string(atoi(conf->port));
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode);
}

// Due now, and again as often as the first time: a socket that appears
// while the daemon is being tried (a stale one replaced) starts over.
void schedule(SpreadConf *conf, long long now)
{
    Try due{conf, now, now + reconnect_interval * 1000LL, first_retry_ms};
    for (Try &t : tries)
        if (t.conf == conf) {
            t = due;
            return;
        }
    tries.push_back(due);
}

struct DownCount {
    int local_down = 0;
};

int count_down(SpreadConf *conf, void *arg)
{
    if (is_local_and_down(conf))
        static_cast<DownCount *>(arg)->local_down++;
    return 0;
}

// A daemon whose socket is already there when the watch starts may have
// come back between its failed try and the watch: it is tried once more.
int schedule_if_present(SpreadConf *conf, void *arg)
{
    if (is_local_and_down(conf) && socket_exists(conf))
        schedule(conf, *static_cast<long long *>(arg));
    return 0;
}

struct Appeared {
    long port;
    long long now;
};

int schedule_if_named(SpreadConf *conf, void *arg)
{
    Appeared *a = static_cast<Appeared *>(arg);
    if (is_local_and_down(conf) && atoi(conf->port) == a->port)
        schedule(conf, a->now);
    return 0;
}

}  // namespace

void rejoin_update()
{
    for (size_t k = 0; k < tries.size();)
        if (!is_local_and_down(tries[k].conf))
            tries.erase(tries.begin() + (long)k);
        else
            k++;

    DownCount down;
    for_each_spread_conf(count_down, &down);
    if (down.local_down == 0) {
        if (watch_fd >= 0) {
            close(watch_fd);
            watch_fd = -1;
        }
        return;
    }
    if (watch_fd >= 0)
        return;
    // Without inotify (no instance left, say) the passes still reconnect.
    watch_fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (watch_fd < 0)
        return;
    if (inotify_add_watch(watch_fd, local_socket_dir, IN_CREATE | IN_MOVED_TO | IN_ONLYDIR) < 0) {
        close(watch_fd);
        watch_fd = -1;
        return;
    }
    long long now = now_ms();
    for_each_spread_conf(schedule_if_present, &now);
}

int rejoin_fd() { return watch_fd; }

void rejoin_read_events()
{
    alignas(inotify_event) char events[4096];
    long long now = now_ms();
    for (;;) {
        ssize_t n = read(watch_fd, events, sizeof events);
        if (n <= 0)
            return;
        for (ssize_t at = 0; at < n;) {
            const inotify_event *e = reinterpret_cast<const inotify_event *>(events + at);
            at += (ssize_t)sizeof *e + e->len;
            if (e->len == 0)
                continue;
            Appeared appeared{port_of(e->name), now};
            if (appeared.port >= 0)
                for_each_spread_conf(schedule_if_named, &appeared);
        }
    }
}

int rejoin_wait_ms(int ms)
{
    if (tries.empty())
        return ms;
    long long now = now_ms();
    for (const Try &t : tries) {
        long long left = t.next_ms - now;
        if (left < ms)
            ms = left < 0 ? 0 : (int)left;
    }
    return ms;
}

bool rejoin_due()
{
    if (tries.empty())
        return false;
    long long now = now_ms();
    bool connected = false;
    for (size_t k = 0; k < tries.size();) {
        Try &t = tries[k];
        if (t.next_ms > now) {
            k++;
            continue;
        }
        // Connecting may take up to its deadline: what was taken is
        // written first.
        output_flush();
        if (spread_connect_quietly(t.conf) >= 0) {
            connected = true;
            tries.erase(tries.begin() + (long)k);
            continue;
        }
        // A try that took long met a daemon that takes connections and
        // does not answer: trying it again soon would hold the loop again
        // and again, so the passes alone try it from now on.
        long long tried_at = now;
        now = now_ms();
        t.next_ms = now + t.delay_ms;
        t.delay_ms *= 2;
        if (t.next_ms > t.until_ms || now - tried_at >= slow_try_ms)
            tries.erase(tries.begin() + (long)k);
        else
            k++;
    }
    return connected;
}
