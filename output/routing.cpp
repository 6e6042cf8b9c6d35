#include "output/routing.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "daemon/options.h"

namespace {

// Longest part of a vhost name quoted in a diagnostic.
constexpr int quoted_name_max = 256;

// One byte of vhost_hash: the byte as a signed char times 31, shifted
// right arithmetically by 5, then as unsigned shifted right by 1, is added;
// bits 28..30 of the sum fold into bits 4..6 and bits 28..31 are cleared.
inline uint32_t hash_step(uint32_t h, unsigned char byte)
{
    int32_t x = static_cast<signed char>(byte);
    uint32_t y = static_cast<uint32_t>((x * 31) >> 5) >> 1;
    uint32_t e = h + y;
    return (e & 0x0FFFFFFFu) ^ ((e >> 24) & 0x70u);
}

// Walks the probe sequence of name[0, n) (no NUL among those bytes, so the
// name cannot match a stored name that merely shares a prefix). Returns
// the full slot holding the name, or null; then *empty is the first empty
// slot of the sequence, or null when the sequence holds none.
VhostSlot *probe(VhostTable *table, uint32_t hash, const char *name, size_t n, VhostSlot **empty)
{
    *empty = nullptr;
    if (!table || !table->slots || vhost_table_size <= 0)
        return nullptr;
    uint32_t size = static_cast<uint32_t>(vhost_table_size);
    uint32_t slot = hash % size;
    // Each probe adds step modulo size; both terms are below size, so the
    // sum stays far below 2^32.
    uint32_t step = static_cast<uint32_t>(vhost_probe_steps[slot % 20]) % size;
    for (uint32_t k = 0; k < size; k++) {
        VhostSlot *s = &table->slots[slot];
        if (s->fd < 0) {
            *empty = s;
            return nullptr;
        }
        if (strncmp(s->name, name, n) == 0 && s->name[n] == '\0')
            return s;
        slot += step;
        if (slot >= size)
            slot -= size;
    }
    return nullptr;
}

int quoted_length(size_t n) { return n > quoted_name_max ? quoted_name_max : static_cast<int>(n); }

// The descriptor of the vhost file named by the message's first word,
// opening, locking and remembering it on first use; -1 drops the message.
int route_vhost(LogFacility *facility, const char *message, int length)
{
    const char *space = static_cast<const char *>(memchr(message, ' ', length));
    if (!space) {
        if (verbose)
            fprintf(stderr, "Vhost message without a vhost name dropped\n");
        return -1;
    }
    size_t n = static_cast<size_t>(space - message);

    // Hash and check the name in one pass: a '/' or a NUL makes it unusable.
    uint32_t hash = 0;
    bool unusable = false;
    for (size_t i = 0; i < n; i++) {
        unsigned char c = static_cast<unsigned char>(message[i]);
        unusable |= (c == '/') | (c == '\0');
        hash = hash_step(hash, c);
    }
    if (unusable || n == 0 || (n == 1 && message[0] == '.') ||
        (n == 2 && message[0] == '.' && message[1] == '.')) {
        if (verbose)
            fprintf(stderr, "Refused vhost name \"%.*s\", message dropped\n", quoted_length(n), message);
        return -1;
    }

    VhostSlot *empty;
    VhostSlot *found = probe(facility->vhosts, hash, message, n, &empty);
    if (found)
        return found->fd;
    if (!empty) {
        // Not remembered, it could never be found or closed again.
        if (verbose)
            fprintf(stderr, "Vhost table full for \"%.*s\", message dropped\n", quoted_length(n), message);
        return -1;
    }

    char path[vhost_path_size];
    int path_length = snprintf(path, sizeof path, "%s/%.*s", facility->vhostdir, static_cast<int>(n), message);
    if (path_length < 0 || path_length >= vhost_path_size) {
        if (verbose)
            fprintf(stderr, "Vhost path too long for \"%.*s\", message dropped\n", quoted_length(n), message);
        return -1;
    }
    int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        fprintf(stderr, "Cannot open %s: %s\n", path, strerror(errno));
        return -1;
    }
    if (!skip_locking && flock(fd, LOCK_EX | LOCK_NB) == -1) {
        fprintf(stderr, "Cannot lock %s, is another wickerpost running?\n", path);
        exit(1);
    }
    char *copy = static_cast<char *>(malloc(n + 1));
    if (!copy) {
        fprintf(stderr, "Out of memory remembering vhost %s, message dropped\n", path);
        close(fd);
        return -1;
    }
    memcpy(copy, message, n);
    copy[n] = '\0';
    // The first empty slot of the sequence is where vhost_insert would put it.
    free(empty->name);
    empty->name = copy;
    empty->fd = fd;
    return fd;
}

// The LogFile descriptor when no filter is configured or one of them
// matches the text before the message's first NUL; -1 otherwise.
int route_plain(LogFacility *facility, const char *message, int length)
{
    LogFile *file = facility->logfile;
    if (!file)
        return -1;
    if (facility->nmatches <= 0)
        return file->fd;
    const char *nul = static_cast<const char *>(memchr(message, '\0', length));
    int text_length = nul ? static_cast<int>(nul - message) : length;
    for (int i = 0; i < facility->nmatches && i < max_matches; i++) {
        regoff_t r = re_search(&facility->matches[i], message, text_length, 0, text_length, nullptr);
        if (r >= 0)
            return file->fd;
        if (r == -2) {
            if (verbose)
                fprintf(stderr, "Internal error in re_search.\n");
        } else if (r == -1) {
            if (verbose)
                fprintf(stderr, "Failed match!\n");
        }
    }
    return -1;
}

}  // namespace

uint32_t vhost_hash(const char *name)
{
    uint32_t h = 0;
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(name); *p; p++)
        h = hash_step(h, *p);
    return h;
}

int vhost_lookup(VhostTable *table, const char *name)
{
    VhostSlot *empty;
    VhostSlot *found = probe(table, vhost_hash(name), name, strlen(name), &empty);
    return found ? found->fd : -1;
}

void vhost_insert(VhostTable *table, char *name, int fd)
{
    if (fd >= 0 && table && table->slots && vhost_table_size > 0) {
        uint32_t size = static_cast<uint32_t>(vhost_table_size);
        uint32_t slot = vhost_hash(name) % size;
        uint32_t step = static_cast<uint32_t>(vhost_probe_steps[slot % 20]) % size;
        for (uint32_t k = 0; k < size; k++) {
            if (table->slots[slot].fd < 0) {
                free(table->slots[slot].name);
                table->slots[slot].name = name;
                table->slots[slot].fd = fd;
                return;
            }
            slot += step;
            if (slot >= size)
                slot -= size;
        }
    }
    free(name);
}

int route_message(SpreadConf *conf, const char *group, const char *message, int length)
{
    if (!conf || !conf->facilities || length < 0)
        return -1;
    LogFacility *facility = static_cast<LogFacility *>(sl_find(conf->facilities, group, nullptr));
    if (!facility)
        return -1;
    if (facility->vhostdir)
        return route_vhost(facility, message, length);
    return route_plain(facility, message, length);
}
