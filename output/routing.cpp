#include "output/routing.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "config/settings.h"
#include "output/writer.h"

namespace {

// Longest part of a vhost name quoted in a diagnostic.
constexpr int quoted_name_max = 256;

// vhost_hash in two steps, so that route_vhost hashes and checks a name in
// one pass: FNV-1a for each byte, from hash_start, then hash_finish.
constexpr uint32_t hash_start = 2166136261u;

inline uint32_t hash_step(uint32_t h, unsigned char byte) { return (h ^ byte) * 16777619u; }

inline uint32_t hash_finish(uint32_t h)
{
    h ^= h >> 16;
    h *= 0x85ebca6bu;
    h ^= h >> 13;
    h *= 0xc2b2ae35u;
    h ^= h >> 16;
    return h;
}

// The slots of a name's probe sequence that matter, from one walk.
struct Probe {
    VhostSlot *found;   // the slot holding the name (open or closed), or null
    VhostSlot *empty;   // else the first empty slot of the sequence, or null
    VhostSlot *oldest;  // else the least recently used slot the walk passed
};

// The one walk of the probe sequence of `hash`, for lookup and insertion
// alike: until the name name[0, n) (no NUL among those bytes, so it cannot
// match a stored name that merely shares a prefix), an empty slot, or the
// end of the sequence. Open and closed slots are full: the walk goes on
// past them. A null `name` looks for no name: the walk of an insertion
// that does not look up first.
Probe probe(VhostTable *table, uint32_t hash, const char *name, size_t n)
{
    Probe p = {nullptr, nullptr, nullptr};
    if (!table || !table->slots || vhost_table_size <= 0)
        return p;
    uint32_t size = static_cast<uint32_t>(vhost_table_size);
    uint32_t slot = hash % size;
    // Each probe adds step modulo size; both terms are below size, so the
    // sum stays far below 2^32.
    uint32_t step = static_cast<uint32_t>(vhost_probe_steps[slot % std::size(vhost_probe_steps)]) % size;
    uint32_t probes = size < vhost_probe_limit ? size : vhost_probe_limit;
    for (uint32_t k = 0; k < probes; k++) {
        VhostSlot *s = &table->slots[slot];
        if (!s->name) {
            p.empty = s;
            return p;
        }
        if (name && s->hash == hash && strncmp(s->name, name, n) == 0 && s->name[n] == '\0') {
            p.found = s;
            return p;
        }
        if (!p.oldest || output_vhost_older(s->last_use, p.oldest->last_use))
            p.oldest = s;
        slot += step;
        if (slot >= size)
            slot -= size;
    }
    return p;
}

// Stores `name` (taking ownership, its hash `hash`) and the open
// descriptor `fd` in `slot` and links it into the list of open vhost
// files. A slot that is full already is taken over in place: its file
// closed, its name forgotten; it stays full, so no other name's probe
// chain through it breaks.
void store(VhostSlot *slot, char *name, uint32_t hash, int fd)
{
    if (slot->name) {
        if (slot->fd >= 0)
            output_vhost_close(slot);
        free(slot->name);
    }
    slot->name = name;
    slot->hash = hash;
    slot->fd = fd;
    output_vhost_link(slot);
}

int quoted_length(size_t n) { return n > quoted_name_max ? quoted_name_max : static_cast<int>(n); }

// Counts a refused vhost message for the facility's directory; -1.
int refuse(LogFacility *facility)
{
    output_drop(output_of_vhosts(facility), OUTPUT_DROP_REFUSED_NAME);
    return -1;
}

// The descriptor of the vhost file named by the message's first word,
// opening, locking and remembering it on first use; -1 drops the message
// (counted).
int route_vhost(LogFacility *facility, const char *message, int length)
{
    VhostTable *table = facility->vhosts;
    const char *space = static_cast<const char *>(memchr(message, ' ', length));
    if (!space) {
        if (verbose)
            fprintf(stderr, "Vhost message without a vhost name dropped\n");
        return refuse(facility);
    }
    size_t n = static_cast<size_t>(space - message);

    // Hash and check the name in one pass: a '/' or a NUL makes it unusable.
    uint32_t hash = hash_start;
    bool unusable = false;
    for (size_t i = 0; i < n; i++) {
        unsigned char c = static_cast<unsigned char>(message[i]);
        unusable |= (c == '/') | (c == '\0');
        hash = hash_step(hash, c);
    }
    hash = hash_finish(hash);
    if (unusable || n == 0 || (n == 1 && message[0] == '.') ||
        (n == 2 && message[0] == '.' && message[1] == '.')) {
        if (verbose)
            fprintf(stderr, "Refused vhost name \"%.*s\", message dropped\n", quoted_length(n), message);
        return refuse(facility);
    }

    Probe p = probe(table, hash, message, n);
    if (p.found && p.found->fd >= 0) {
        output_vhost_link(p.found);
        return p.found->fd;
    }

    // With a VhostFile: the host's directory, then the period's name in it.
    char path[vhost_path_size];
    const char *period = facility->vhostfile ? output_vhost_period(facility) : nullptr;
    int path_length = period ? snprintf(path, sizeof path, "%s/%.*s/%s", facility->vhostdir, static_cast<int>(n), message, period)
                             : snprintf(path, sizeof path, "%s/%.*s", facility->vhostdir, static_cast<int>(n), message);
    if (path_length < 0 || path_length >= vhost_path_size) {
        if (verbose)
            fprintf(stderr, "Vhost path too long for \"%.*s\", message dropped\n", quoted_length(n), message);
        return refuse(facility);
    }
    int fd;
    if (facility->vhostfile) {
        char host[vhost_path_size];
        memcpy(host, message, n);
        host[n] = '\0';
        fd = output_open_dated_vhost_file(facility, host, path);
    } else {
        fd = output_open_vhost_file(&table->output, facility->vhostdir, path, &facility->rules);
    }
    if (fd < 0)
        return -1;
    if (p.found) {
        // Remembered with its file closed: open again in its place.
        p.found->fd = fd;
        output_vhost_link(p.found);
        return fd;
    }
    char *copy = static_cast<char *>(malloc(n + 1));
    VhostSlot *slot = p.empty ? p.empty : p.oldest;
    if (!copy || !slot) {
        // Out of memory, or a table without slots: the file cannot be
        // remembered, so it is not kept open either.
        free(copy);
        output_close(fd);
        output_drop(table->output, OUTPUT_DROP_NO_DESCRIPTOR);
        return -1;
    }
    memcpy(copy, message, n);
    copy[n] = '\0';
    // Without an empty slot on the sequence, its least recently used slot.
    store(slot, copy, hash, fd);
    return fd;
}

// The descriptor of a plain facility's LogFile, opened again (and locked)
// if it is closed; -1 (counted) when it cannot be.
int plain_descriptor(LogFile *file)
{
    if (file->fd >= 0)
        return file->fd;
    int fd = output_open_log_file(file, OUTPUT_OPEN_RETRY);
    if (fd < 0) {
        output_drop(file->output, OUTPUT_DROP_NOT_OPEN);
        return -1;
    }
    output_lock_or_exit(fd, log_file_path(file));
    file->fd = fd;
    return fd;
}

// The LogFile descriptor when no filter is configured or one of them
// matches the text before the message's first NUL; -1 otherwise, the
// message counted as filtered for the file's output.
int route_plain(LogFacility *facility, const char *message, int length)
{
    LogFile *file = facility->logfile;
    if (!file)
        return -1;
    if (facility->nmatches <= 0)
        return plain_descriptor(file);
    const char *nul = static_cast<const char *>(memchr(message, '\0', length));
    int text_length = nul ? static_cast<int>(nul - message) : length;
    for (int i = 0; i < facility->nmatches && i < max_matches; i++) {
        regoff_t r = re_search(&facility->matches[i], message, text_length, 0, text_length, nullptr);
        if (r >= 0)
            return plain_descriptor(file);
        if (r == -2) {
            if (verbose)
                fprintf(stderr, "Internal error in re_search.\n");
        } else if (r == -1) {
            if (verbose)
                fprintf(stderr, "Failed match!\n");
        }
    }
    output_filtered(output_of_log_file(file));
    return -1;
}

}  // namespace

uint32_t vhost_hash(const char *name)
{
    uint32_t h = hash_start;
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(name); *p; p++)
        h = hash_step(h, *p);
    return hash_finish(h);
}

int vhost_lookup(VhostTable *table, const char *name)
{
    Probe p = probe(table, vhost_hash(name), name, strlen(name));
    return p.found ? p.found->fd : -1;
}

void vhost_insert(VhostTable *table, char *name, int fd)
{
    Probe p = {nullptr, nullptr, nullptr};
    uint32_t hash = name ? vhost_hash(name) : 0;
    if (fd >= 0 && name)
        p = probe(table, hash, nullptr, 0);
    if (p.empty)
        store(p.empty, name, hash, fd);
    else
        free(name);
}

void vhost_table_close(VhostTable *table)
{
    if (!table || !table->slots)
        return;
    for (int i = 0; i < vhost_table_size; i++) {
        VhostSlot *slot = &table->slots[i];
        // A file on descriptor 0 is left as it is, slot and all.
        if (slot->fd == 0)
            continue;
        if (slot->fd > 0)
            output_vhost_close(slot);
        free(slot->name);
        slot->name = nullptr;
    }
}

int route_facility_message(LogFacility *facility, const char *message, int length)
{
    if (!facility || length < 0)
        return -1;
    if (facility->vhostdir)
        return route_vhost(facility, message, length);
    return route_plain(facility, message, length);
}

int route_message(SpreadConf *conf, const char *group, const char *message, int length)
{
    return route_facility_message(spread_conf_facility(conf, group), message, length);
}
