#include "daemon/rejoin.h"

#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

namespace {

int watch_fd = -1;

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

}  // namespace

bool rejoin_watch(bool wanted)
{
    if (!wanted) {
        if (watch_fd >= 0) {
            close(watch_fd);
            watch_fd = -1;
        }
        return false;
    }
    if (watch_fd >= 0)
        return false;
    watch_fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (watch_fd < 0)
        return false;
    if (inotify_add_watch(watch_fd, local_socket_dir, IN_CREATE | IN_MOVED_TO | IN_ONLYDIR) < 0) {
        close(watch_fd);
        watch_fd = -1;
        return false;
    }
    return true;
}

int rejoin_fd() { return watch_fd; }

void rejoin_read_events(void (*appeared)(long port, void *arg), void *arg)
{
    alignas(inotify_event) char events[4096];
    for (;;) {
        ssize_t n = read(watch_fd, events, sizeof events);
        if (n <= 0)
            return;
        for (ssize_t at = 0; at < n;) {
            const inotify_event *e = reinterpret_cast<const inotify_event *>(events + at);
            at += (ssize_t)sizeof *e + e->len;
            if (e->len == 0)
                continue;
            long port = port_of(e->name);
            if (port >= 0)
                appeared(port, arg);
        }
    }
}

bool rejoin_socket_exists(const char *port)
{
    std::string path = std::string(local_socket_dir) + "/" + std::to_string(atoi(port));
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode);
}
