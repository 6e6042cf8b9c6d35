// spcat's follow mode: the position file, read at the start and written
// whole after each batch taken.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "spcat_follow.h"

namespace spcat::follow {

// Reads the position file; false when it cannot be used (said).
bool read_position(const Options *o, std::vector<PosEntry> *entries)
{
    int fd = open(o->position, O_RDONLY | O_CLOEXEC);
    if (fd < 0 && errno == ENOENT)
        return true;
    std::string text;
    bool ok = fd >= 0;
    char buf[65536];
    while (ok) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        ok = n >= 0;
        if (n <= 0)
            break;
        text.append(buf, (size_t)n);
    }
    if (!ok) {
        fprintf(stderr, "spcat: cannot read position file \"%s\": %s\n", o->position, strerror(errno));
        if (fd >= 0)
            close(fd);
        return false;
    }
    close(fd);
    std::string error;
    if (!pos_decode(text, entries, &error)) {
        fprintf(stderr, "spcat: unusable position file \"%s\": %s\n", o->position, error.c_str());
        return false;
    }
    return true;
}

// Writes the position file whole, if it changed.  False after a failure
// (said).
bool write_position(Follower &f)
{
    std::vector<PosEntry> entries;
    for (const Followed &p : f.paths)
        for (const OpenFile &file : p.files)
            entries.push_back({p.arg.path, file.offset, file.dev, file.ino, file.fp_len, file.fp_hash});
    std::string text = pos_encode(entries);
    if (text == f.written)
        return true;
    const char *what = "open";
    int fd = open(f.tmp_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    bool ok = fd >= 0;
    size_t done = 0;
    while (ok && done < text.size()) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        ok = n > 0;
        what = "write";
        if (n == 0)
            errno = EIO;
        done += ok ? (size_t)n : 0;
    }
    if (fd >= 0 && close(fd) != 0 && ok) {
        ok = false;
        what = "close";
    }
    if (ok && rename(f.tmp_path.c_str(), f.o->position) != 0) {
        ok = false;
        what = "rename";
    }
    if (!ok) {
        fprintf(stderr, "spcat: cannot write position file \"%s\" (%s): %s\n", f.o->position, what,
                strerror(errno));
        unlink(f.tmp_path.c_str());
        return false;
    }
    f.written = std::move(text);
    return true;
}

}  // namespace spcat::follow
