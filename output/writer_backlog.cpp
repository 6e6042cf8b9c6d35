// The streams' backlogs: the messages that a stream's reader has not taken
// yet, kept whole and in order, what they hold for an output, and giving
// them up.
#include "output/writer_internal.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace writer {

void backlog_clear(Backlog *b)
{
    b->start = b->end = 0;
    b->lengths.clear();
    b->first = 0;
    b->head_taken = false;
}

// Appends one message (or the rest of one, `taken` when part of it was
// written already, then into an empty backlog only). False when memory
// ran out; nothing is appended then.
bool backlog_add(Backlog *b, const char *data, size_t length, bool taken)
{
    if (b->empty())
        backlog_clear(b);
    if (b->end + length > b->capacity && b->start > 0) {
        memmove(b->bytes, b->bytes + b->start, b->size());
        b->end -= b->start;
        b->start = 0;
    }
    if (b->end + length > b->capacity) {
        size_t capacity = b->capacity ? b->capacity : 65536;
        while (capacity < b->end + length)
            capacity *= 2;
        char *grown = static_cast<char *>(realloc(b->bytes, capacity));
        if (!grown)
            return false;
        b->bytes = grown;
        b->capacity = capacity;
    }
    memcpy(b->bytes + b->end, data, length);
    b->end += length;
    if (b->first > 4096 && b->first * 2 > b->lengths.size()) {
        b->lengths.erase(b->lengths.begin(), b->lengths.begin() + b->first);
        b->first = 0;
    }
    b->lengths.push_back(static_cast<uint32_t>(length));
    if (taken)
        b->head_taken = true;
    return true;
}

// n bytes from the front were written: messages finished on the way count
// as written for output `id`.
void backlog_advance(Backlog *b, size_t n, int id)
{
    b->start += n;
    if (Output *o = output_at(id))
        o->bytes += n;
    while (n > 0) {
        uint32_t &left = b->lengths[b->first];
        size_t take = n < left ? n : left;
        left -= static_cast<uint32_t>(take);
        n -= take;
        b->head_taken = true;
        if (left == 0) {
            b->first++;
            b->head_taken = false;
            if (Output *o = output_at(id))
                o->messages++;
        }
    }
    if (b->empty())
        backlog_clear(b);
}

// Removes the (rest of the) first message.
void backlog_drop_head(Backlog *b)
{
    b->start += b->lengths[b->first];
    b->first++;
    b->head_taken = false;
    if (b->empty())
        backlog_clear(b);
}

// Bytes waiting in the backlogs of output `id`, retired streams included.
size_t backlog_bytes(int id)
{
    size_t bytes = 0;
    for (int fd : streams)
        if (descriptors[fd].output == id && descriptors[fd].backlog)
            bytes += descriptors[fd].backlog->size();
    return bytes;
}

// Drops and counts what a stream's backlog still holds (its partly written
// first message included) as abandoned.
void abandon_backlog(int fd)
{
    Descriptor &d = descriptors[fd];
    if (d.backlog && !d.backlog->empty()) {
        output_drop(d.output, OUTPUT_DROP_ABANDONED, 0, d.backlog->messages());
        backlog_clear(d.backlog);
    }
}

}  // namespace writer
