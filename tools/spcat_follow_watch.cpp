// spcat's follow mode: inotify on the followed paths' directories and
// files, or looking at them on a timer when it cannot be had.
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include "spcat_follow.h"

namespace spcat::follow {
namespace {

// Falls back to looking at the files on a timer.
void stop_watching(Follower &f, const char *call, int err)
{
    fprintf(stderr, "spcat: cannot watch files (%s: %s); looking at them every 250 ms\n", call, strerror(err));
    if (f.inotify_fd >= 0)
        close(f.inotify_fd);
    f.inotify_fd = -1;
    for (Followed &p : f.paths) {
        p.dir_wd = -1;
        for (OpenFile &file : p.files)
            file.wd = -1;
    }
}

}  // namespace

// Sets up inotify on the paths' directories.  False when a directory
// cannot be watched for a reason that polling would not cure (said).
bool start_watching(Follower &f)
{
    for (Followed &p : f.paths) {
        struct stat st;
        if (stat(p.dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
            fprintf(stderr, "spcat: cannot follow %s: no directory %s\n", quoted(p.arg.path).c_str(),
                    quoted(p.dir).c_str());
            return false;
        }
    }
    if (getenv("SPCAT_NO_INOTIFY") != nullptr) {
        f.inotify_fd = -1;
        return true;
    }
    f.inotify_fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (f.inotify_fd < 0) {
        stop_watching(f, "inotify_init1", errno);
        return true;
    }
    for (Followed &p : f.paths) {
        p.dir_wd = inotify_add_watch(f.inotify_fd, p.dir.c_str(), DIR_EVENTS | IN_ONLYDIR);
        if (p.dir_wd < 0) {
            if (errno == ENOSPC || errno == ENOMEM) {
                stop_watching(f, "inotify_add_watch", errno);
                return true;
            }
            fprintf(stderr, "spcat: cannot watch directory %s: %s\n", quoted(p.dir).c_str(), strerror(errno));
            return false;
        }
    }
    return true;
}

// Takes what inotify has: files that changed are read again, paths looked
// at again when their directory changed, everything after an overflow.
void take_events(Follower &f)
{
    alignas(inotify_event) char buf[64 * 1024];
    for (;;) {
        ssize_t n = read(f.inotify_fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        for (char *p = buf; p < buf + n;) {
            const inotify_event *ev = (const inotify_event *)p;
            p += sizeof(inotify_event) + ev->len;
            if (ev->mask & IN_Q_OVERFLOW) {
                f.need_rescan = true;
                for (Followed &fp : f.paths)
                    for (OpenFile &file : fp.files)
                        file.dirty = true;
                continue;
            }
            for (Followed &fp : f.paths) {
                if (ev->wd == fp.dir_wd && ev->len > 0 && fp.base == ev->name)
                    f.need_rescan = true;
                for (OpenFile &file : fp.files)
                    if (ev->wd == file.wd) {
                        file.dirty = true;
                        if (ev->mask & IN_ATTRIB)
                            f.need_rescan = true;
                    }
            }
        }
    }
}

}  // namespace spcat::follow
