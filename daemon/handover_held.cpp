#include "daemon/handover_held.h"

#include <cstdio>
#include <cstring>
#include <vector>

#include "config/settings.h"
#include "daemon/handover.h"
#include "output/deliver.h"

namespace {

struct Held {
    LogFacility *facility;
    size_t offset;
    int length;
};
std::vector<char> &held_bytes = *new std::vector<char>;
std::vector<Held> &held = *new std::vector<Held>;
unsigned long dropped = 0;
unsigned long dropped_said = 0;

}  // namespace

bool held_add(LogFacility *facility, const char *message, int length)
{
    if (held_bytes.size() + static_cast<size_t>(length) > handover_hold_max) {
        if (dropped++ == 0)
            fprintf(stderr, "Taking over: %zu MiB held, dropping messages until the old daemon releases\n",
                    handover_hold_max >> 20);
        return false;
    }
    held.push_back(Held{facility, held_bytes.size(), length});
    held_bytes.insert(held_bytes.end(), message, message + length);
    return true;
}

void held_write_out()
{
    // Each message is written from a buffer of buffer_size bytes, as from
    // the loop's: its rewrite works in place.
    std::vector<char> buffer(static_cast<size_t>(buffer_size > 0 ? buffer_size : 1));
    for (const Held &h : held) {
        memcpy(buffer.data(), held_bytes.data() + h.offset, static_cast<size_t>(h.length));
        (void)output_deliver(h.facility, buffer.data(), h.length);
    }
    std::vector<Held>().swap(held);
    std::vector<char>().swap(held_bytes);
    if (dropped > dropped_said) {
        fprintf(stderr, "Taking over: dropped %lu messages past the %zu MiB held\n", dropped - dropped_said,
                handover_hold_max >> 20);
        dropped_said = dropped;
    }
}

unsigned long handover_held_dropped()
{
    return dropped;
}
