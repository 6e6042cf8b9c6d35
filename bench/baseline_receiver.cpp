// The least a Spread logging client can do, as the yardstick of the daemon
// benchmark: connect to one daemon, join one group, and append every
// message received, with one write, to one file. No routing, no rewriting,
// no signal handling, no reconnect, no poll: a blocking SP_receive with
// DROP_RECV into one buffer, then write. The session reads ahead
// (SP_read_ahead): the library's thread reads the socket in large batches,
// so a stall here does not get the session dropped, and each receive takes
// a message from the library's buffer instead of reading the socket. With
// -t it is the bare receiver, one thread: no read-ahead, each receive reads
// its message from the socket.
//
//   baseline_receiver -s DAEMON -g GROUP -o FILE [-b SIZE] [-n NAME] [-t]
//   baseline_receiver -s DAEMON -g GROUP -d DIR [-b SIZE] [-n NAME] [-t]
//
// With -d instead of -o it is the yardstick of the vhost facility: the first
// word of each message names a file in DIR, opened on first use and kept in
// a hash map, and the rest of the message after that word and its space is
// written to it. A message without a space is dropped.
//
// It prints "joined GROUP" on standard error once the join request has
// been sent, and runs until it is killed. A receive error (the daemon
// closed the session, for one) is reported and ends it with status 1, so
// a receiver that was disconnected for reading too slowly is noticed.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unordered_map>

#include "spread/sp.h"

namespace {

[[noreturn]] void usage(const char *program)
{
    fprintf(stderr, "usage: %s -s DAEMON -g GROUP (-o FILE | -d DIR) [-b SIZE] [-n NAME] [-t]\n", program);
    exit(2);
}

// Writes all of [p, p + n) to fd; false on an error other than EINTR.
bool write_all(int fd, const char *p, size_t n)
{
    while (n > 0) {
        ssize_t w = write(fd, p, n);
        if (w < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        p += w;
        n -= (size_t)w;
    }
    return true;
}

// The open files of the -d mode, by vhost name.
std::unordered_map<std::string, int> vhost_files;

// The descriptor of DIR/NAME, opened on first use; -1 when it cannot be
// opened (reported once per attempt).
int vhost_file(const char *dir, const char *name, size_t length)
{
    std::string key(name, length);
    auto it = vhost_files.find(key);
    if (it != vhost_files.end())
        return it->second;
    std::string path = std::string(dir) + "/" + key;
    int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT, 0644);
    if (fd < 0) {
        fprintf(stderr, "baseline_receiver: open %s: %s\n", path.c_str(), strerror(errno));
        return -1;
    }
    vhost_files.emplace(std::move(key), fd);
    return fd;
}

} // namespace

int main(int argc, char **argv)
{
    const char *daemon = nullptr;
    const char *group = nullptr;
    const char *path = nullptr;
    const char *dir = nullptr;
    const char *name = "baseline";
    int size = 8192;
    bool read_ahead = true;
    int c;
    while ((c = getopt(argc, argv, "s:g:o:d:b:n:t")) != -1) {
        switch (c) {
        case 's': daemon = optarg; break;
        case 'g': group = optarg; break;
        case 'o': path = optarg; break;
        case 'd': dir = optarg; break;
        case 'b': size = atoi(optarg); break;
        case 'n': name = optarg; break;
        case 't': read_ahead = false; break;
        default: usage(argv[0]);
        }
    }
    if (!daemon || !group || !path == !dir || size <= 0)
        usage(argv[0]);

    // The same flags and mode as every wickerpost output.
    int fd = path ? open(path, O_WRONLY | O_APPEND | O_CREAT, 0644) : -1;
    if (path && fd < 0) {
        fprintf(stderr, "baseline_receiver: open %s: %s\n", path, strerror(errno));
        return 1;
    }
    char *buffer = (char *)malloc((size_t)size);
    if (!buffer) {
        fprintf(stderr, "baseline_receiver: cannot allocate %d bytes\n", size);
        return 1;
    }

    mailbox mbox;
    char private_group[MAX_GROUP_NAME];
    int r = SP_connect(daemon, name, 0, 0, &mbox, private_group);
    if (r != ACCEPT_SESSION) {
        fprintf(stderr, "baseline_receiver: cannot connect to %s: ", daemon);
        SP_error(r);
        return 1;
    }
    r = read_ahead ? SP_read_ahead(mbox, 1) : 0;
    if (r != 0) {
        fprintf(stderr, "baseline_receiver: cannot read ahead: ");
        SP_error(r);
        return 1;
    }
    r = SP_join(mbox, group);
    if (r != 0) {
        fprintf(stderr, "baseline_receiver: cannot join %s: ", group);
        SP_error(r);
        return 1;
    }
    fprintf(stderr, "joined %s\n", group);

    char sender[MAX_GROUP_NAME];
    char groups[1][MAX_GROUP_NAME];
    for (;;) {
        service service_type = DROP_RECV;
        int num_groups;
        int16 mess_type;
        int endian_mismatch;
        r = SP_receive(mbox, &service_type, sender, 1, &num_groups, groups, &mess_type,
                       &endian_mismatch, size, buffer);
        if (r < 0) {
            fprintf(stderr, "baseline_receiver: receive failed: ");
            SP_error(r);
            return 1;
        }
        if (!Is_regular_mess(service_type))
            continue;
        const char *data = buffer;
        size_t length = (size_t)r;
        int out = fd;
        if (dir) {
            const char *space = (const char *)memchr(buffer, ' ', length);
            if (!space)
                continue;
            out = vhost_file(dir, buffer, (size_t)(space - buffer));
            if (out < 0)
                continue;
            length -= (size_t)(space + 1 - buffer);
            data = space + 1;
        }
        if (!write_all(out, data, length)) {
            fprintf(stderr, "baseline_receiver: write: %s\n", strerror(errno));
            return 1;
        }
    }
}
