// Vhost files and the descriptor budget: the open slots of every vhost
// table in one intrusive list, most recently used first, and the cap on
// how many of them stay open.
#include "output/writer_internal.h"

#include <dirent.h>
#include <sys/resource.h>

namespace writer {

static VhostSlot *lru_head = nullptr;  // most recently used open vhost file
static VhostSlot *lru_tail = nullptr;  // least recently used
static int vhost_open = 0;             // slots in the list
static int vhost_cap = -1;             // -1: not planned yet
static unsigned use_clock = 0;

static bool linked(const VhostSlot *slot)
{
    return slot->lru_prev || slot->lru_next || lru_head == slot;
}

static void unlink_slot(VhostSlot *slot)
{
    if (!linked(slot))
        return;
    if (slot->lru_prev)
        slot->lru_prev->lru_next = slot->lru_next;
    else
        lru_head = slot->lru_next;
    if (slot->lru_next)
        slot->lru_next->lru_prev = slot->lru_prev;
    else
        lru_tail = slot->lru_prev;
    slot->lru_prev = slot->lru_next = nullptr;
    vhost_open--;
}

static void push_front(VhostSlot *slot)
{
    slot->lru_prev = nullptr;
    slot->lru_next = lru_head;
    if (lru_head)
        lru_head->lru_prev = slot;
    else
        lru_tail = slot;
    lru_head = slot;
    vhost_open++;
}

bool close_least_recent()
{
    if (!lru_tail)
        return false;
    if (Descriptor *d = descriptor_at(lru_tail->fd))
        if (Output *o = output_at(d->output))
            o->evictions++;
    output_vhost_close(lru_tail);
    return true;
}

// The shortest IdleClose of the host files opened so far; 0: none has one.
static int shortest_idle = 0;

void note_idle_close(int seconds)
{
    if (shortest_idle == 0 || seconds < shortest_idle)
        shortest_idle = seconds;
}

void close_idle_vhost_files(long now)
{
    if (shortest_idle == 0)
        return;
    for (VhostSlot *slot = lru_tail; slot != nullptr;) {
        VhostSlot *newer = slot->lru_prev;
        Descriptor *d = descriptor_at(slot->fd);
        if (d != nullptr && d->rules != nullptr) {
            long quiet = now - d->active;
            if (file_rule(d->rules, FILE_RULE_IDLE_CLOSE) && quiet >= d->rules->idle_close * 1000L) {
                if (Output *o = output_at(d->output))
                    o->idle_closes++;
                output_vhost_close(slot);
            } else if (quiet < shortest_idle * 1000L) {
                return;  // this one and every one used after it are busy
            }
        }
        slot = newer;
    }
}

void make_room_for_vhost_file()
{
    if (vhost_cap < 0)
        output_plan_descriptors();
    while (vhost_open >= vhost_cap && close_least_recent()) {
    }
}

// Open descriptors of the process, from /proc/self/fd; without it, the
// standard streams and the descriptors registered here.
static long open_descriptor_count()
{
    DIR *dir = opendir("/proc/self/fd");
    if (!dir)
        return 3 + registered_descriptors();
    long count = -1;  // the directory's own descriptor
    while (dirent *entry = readdir(dir))
        count += entry->d_name[0] != '.';
    closedir(dir);
    return count;
}

}  // namespace writer

using namespace writer;

void output_vhost_link(VhostSlot *slot)
{
    slot->last_use = ++use_clock;
    if (slot == lru_head)
        return;
    unlink_slot(slot);
    push_front(slot);
}

void output_vhost_close(VhostSlot *slot)
{
    unlink_slot(slot);
    if (slot->fd >= 0)
        close_descriptor(slot->fd);
    slot->fd = -1;
}

void output_plan_descriptors()
{
    struct rlimit limit;
    long soft = INT_MAX;
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur < (rlim_t)INT_MAX)
        soft = static_cast<long>(limit.rlim_cur);
    long reserve = soft / 4 < output_fd_reserve ? soft / 4 : output_fd_reserve;
    long cap = soft - reserve - (open_descriptor_count() - vhost_open);
    vhost_cap = cap < 1 ? 1 : cap > INT_MAX ? INT_MAX : static_cast<int>(cap);
}

void output_set_vhost_cap(int cap)
{
    vhost_cap = cap < 1 ? 1 : cap;
}

int output_vhost_open_count()
{
    return vhost_open;
}

int output_vhost_cap()
{
    return vhost_cap;
}
