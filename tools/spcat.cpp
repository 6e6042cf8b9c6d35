// spcat: sends standard input to Spread groups, one message per line, or
// writes what the groups receive to standard output.
//
//     spcat [-s DAEMON] [-n NAME] [-t SERVICE] -g GROUP [-g GROUP]... [GROUP]...
//     spcat -r [-s DAEMON] [-n NAME] -g GROUP [-g GROUP]... [GROUP]...
//
// Sending: each line of standard input, its newline included, becomes one
// message to all the groups (one multicast per line); a last line without a
// newline is sent as it is, and a line longer than the largest message is
// sent in pieces of that size.  Receiving: joins the groups and writes the
// bytes of every regular message to standard output as it arrives, nothing
// added.  DAEMON is "PORT" (Unix socket /tmp/PORT) or "PORT@HOST" (TCP),
// default "4803".  Exit status 0, or 1 with a message on standard error.
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <vector>

#include "spread/sp.h"

namespace {

constexpr int MAX_GROUPS = 100;
constexpr size_t READ_BLOCK = 256 * 1024;
constexpr int RECEIVE_BUFFER = 144000;     // the largest body a daemon accepts
// The largest body our library sends: 143152 - 32 per group.
int max_body(int groups) { return 143152 - 32 * groups; }

struct Options {
    const char *daemon = "4803";
    const char *name = nullptr;             // anonymous by default
    service svc = AGREED_MESS;
    bool receive = false;
    std::vector<const char *> groups;
};

struct ServiceName {
    const char *name;
    service svc;
};
constexpr ServiceName services[] = {
    {"unreliable", UNRELIABLE_MESS}, {"reliable", RELIABLE_MESS}, {"fifo", FIFO_MESS},
    {"causal", CAUSAL_MESS},         {"agreed", AGREED_MESS},     {"safe", SAFE_MESS},
};

[[noreturn]] void usage()
{
    fprintf(stderr,
            "usage: spcat [-s DAEMON] [-n NAME] [-t SERVICE] -g GROUP [-g GROUP]...\n"
            "       spcat -r [-s DAEMON] [-n NAME] -g GROUP [-g GROUP]...\n"
            "  DAEMON   PORT or PORT@HOST (default 4803)\n"
            "  SERVICE  unreliable, reliable, fifo, causal, agreed (default) or safe\n");
    exit(1);
}

bool legal_group(const char *g)
{
    size_t n = strlen(g);
    if (n == 0 || n >= MAX_GROUP_NAME)
        return false;
    for (size_t i = 0; i < n; i++)
        if ((unsigned char)g[i] < '$' || (unsigned char)g[i] > '~')
            return false;
    return true;
}

void parse_options(int argc, char **argv, Options *o)
{
    int opt;
    opterr = 0;
    while ((opt = getopt(argc, argv, "rs:n:g:t:")) != -1) {
        switch (opt) {
        case 'r': o->receive = true; break;
        case 's': o->daemon = optarg; break;
        case 'n': o->name = optarg; break;
        case 'g': o->groups.push_back(optarg); break;
        case 't': {
            bool found = false;
            for (const ServiceName &s : services)
                if (strcmp(optarg, s.name) == 0) {
                    o->svc = s.svc;
                    found = true;
                }
            if (!found) {
                fprintf(stderr, "spcat: unknown service \"%s\"\n", optarg);
                exit(1);
            }
            break;
        }
        default: usage();
        }
    }
    for (int i = optind; i < argc; i++)
        o->groups.push_back(argv[i]);
    if (o->groups.empty())
        usage();
    if ((int)o->groups.size() > MAX_GROUPS) {
        fprintf(stderr, "spcat: too many groups (at most %d)\n", MAX_GROUPS);
        exit(1);
    }
    for (const char *g : o->groups)
        if (!legal_group(g)) {
            fprintf(stderr, "spcat: illegal group name \"%s\" (1 to 31 characters from '$' to '~')\n", g);
            exit(1);
        }
}

mailbox connect_daemon(const Options *o)
{
    mailbox mbox;
    char private_group[MAX_GROUP_NAME];
    int ret = SP_connect(o->daemon, o->name, 0, 0, &mbox, private_group);
    if (ret != ACCEPT_SESSION) {
        fprintf(stderr, "spcat: cannot connect to Spread daemon \"%s\": %s\n", o->daemon, SP_strerror(ret));
        exit(1);
    }
    return mbox;
}

// Sends the whole standard input.  Row i of rows is group i, zero-padded,
// as SP_multigroup_multicast wants it.
void send_lines(const Options *o, mailbox mbox)
{
    int ngroups = (int)o->groups.size();
    std::vector<char> rows((size_t)ngroups * MAX_GROUP_NAME, 0);
    for (int i = 0; i < ngroups; i++)
        strncpy(&rows[(size_t)i * MAX_GROUP_NAME], o->groups[i], MAX_GROUP_NAME - 1);
    const size_t limit = (size_t)max_body(ngroups);

    auto send = [&](const char *p, size_t n) {
        int ret = ngroups == 1
                      ? SP_multicast(mbox, o->svc, o->groups[0], 0, (int)n, p)
                      : SP_multigroup_multicast(mbox, o->svc, ngroups, (const char(*)[MAX_GROUP_NAME])rows.data(),
                                                0, (int)n, p);
        if (ret < 0) {
            fprintf(stderr, "spcat: cannot send to Spread daemon \"%s\": %s\n", o->daemon, SP_strerror(ret));
            SP_disconnect(mbox);
            exit(1);
        }
    };

    // buf[0, len) holds what was read and not yet sent; it always starts at
    // the beginning of a line (or of a piece of an overlong one).
    std::vector<char> buf(READ_BLOCK + limit);
    size_t len = 0;
    for (;;) {
        ssize_t n = read(0, buf.data() + len, buf.size() - len);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            fprintf(stderr, "spcat: cannot read standard input: %s\n", strerror(errno));
            exit(1);
        }
        if (n == 0)
            break;
        len += (size_t)n;
        size_t start = 0;
        for (;;) {
            const char *nl = (const char *)memchr(buf.data() + start, '\n', len - start);
            size_t line = nl ? (size_t)(nl - (buf.data() + start)) + 1 : 0;
            if (nl == nullptr || line > limit) {
                if (len - start >= limit) {   // overlong line: send a full piece
                    send(buf.data() + start, limit);
                    start += limit;
                    continue;
                }
                break;
            }
            send(buf.data() + start, line);
            start += line;
        }
        memmove(buf.data(), buf.data() + start, len - start);
        len -= start;
    }
    if (len > 0)
        send(buf.data(), len);
}

void write_all(const char *p, size_t n)
{
    while (n > 0) {
        ssize_t w = write(1, p, n);
        if (w < 0 && errno == EINTR)
            continue;
        if (w < 0) {
            fprintf(stderr, "spcat: cannot write standard output: %s\n", strerror(errno));
            exit(1);
        }
        p += w;
        n -= (size_t)w;
    }
}

[[noreturn]] void receive_messages(const Options *o, mailbox mbox)
{
    for (const char *g : o->groups) {
        int ret = SP_join(mbox, g);
        if (ret < 0) {
            fprintf(stderr, "spcat: cannot join group \"%s\": %s\n", g, SP_strerror(ret));
            SP_disconnect(mbox);
            exit(1);
        }
    }
    std::vector<char> body(RECEIVE_BUFFER);
    static char groups[MAX_GROUPS][MAX_GROUP_NAME];
    for (;;) {
        service svc = DROP_RECV;
        char sender[MAX_GROUP_NAME];
        int num_groups = 0, endian_mismatch = 0;
        int16 mess_type = 0;
        int ret = SP_receive(mbox, &svc, sender, MAX_GROUPS, &num_groups, groups, &mess_type,
                             &endian_mismatch, (int)body.size(), body.data());
        if (ret < 0) {
            fprintf(stderr, "spcat: lost Spread daemon \"%s\": %s\n", o->daemon, SP_strerror(ret));
            SP_disconnect(mbox);
            exit(1);
        }
        if (Is_regular_mess(svc))
            write_all(body.data(), (size_t)ret);
    }
}

}  // namespace

int main(int argc, char **argv)
{
    Options o;
    parse_options(argc, argv, &o);
    mailbox mbox = connect_daemon(&o);
    if (o.receive)
        receive_messages(&o, mbox);
    send_lines(&o, mbox);
    SP_disconnect(mbox);
    return 0;
}
