// The least a Spread logging client can do, as the yardstick of the daemon
// benchmark: connect to one daemon, join one group, and append every
// message received, with one write, to one file. No routing, no rewriting,
// no signal handling, no reconnect, no poll: a blocking SP_receive with
// DROP_RECV into one buffer, then write.
//
//   baseline_receiver -s DAEMON -g GROUP -o FILE [-b SIZE] [-n NAME]
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

#include "spread/sp.h"

namespace {

[[noreturn]] void usage(const char *program)
{
    fprintf(stderr, "usage: %s -s DAEMON -g GROUP -o FILE [-b SIZE] [-n NAME]\n", program);
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

} // namespace

int main(int argc, char **argv)
{
    const char *daemon = nullptr;
    const char *group = nullptr;
    const char *path = nullptr;
    const char *name = "baseline";
    int size = 8192;
    int c;
    while ((c = getopt(argc, argv, "s:g:o:b:n:")) != -1) {
        switch (c) {
        case 's': daemon = optarg; break;
        case 'g': group = optarg; break;
        case 'o': path = optarg; break;
        case 'b': size = atoi(optarg); break;
        case 'n': name = optarg; break;
        default: usage(argv[0]);
        }
    }
    if (!daemon || !group || !path || size <= 0)
        usage(argv[0]);

    // The same flags and mode as every wickerpost output.
    int fd = open(path, O_WRONLY | O_APPEND | O_CREAT, 0644);
    if (fd < 0) {
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
        if (!write_all(fd, buffer, (size_t)r)) {
            fprintf(stderr, "baseline_receiver: write %s: %s\n", path, strerror(errno));
            return 1;
        }
    }
}
