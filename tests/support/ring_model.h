// A model-based check of the read-ahead ring (spread/readahead.h), shared
// by its seeded test and its fuzzer: the reader's reads of any size into
// the room offered, the application's takes of whole messages and the
// give-backs after a quiet spell, driven one step at a time against a
// plain model of the stream (every byte read is taken once, in order,
// with the content it had on the socket), with sp_ring_check's invariant
// walk after every step.
#pragma once

#include <sys/uio.h>

#include <cstdint>
#include <cstring>
#include <deque>
#include <string>
#include <time.h>

#include "spread/readahead.h"
#include "spread/wire.h"

namespace ring_model {

class Model {
public:
    // A ring of `bytes`, giving frames back after quiet_ns of a small
    // backlog (on the model's own clock).
    Model(size_t bytes, uint64_t quiet_ns) : ra(sp_ring_new(bytes, quiet_ns))
    {
        struct timespec ts;
        clock_gettime(CLOCK_MONOTONIC, &ts);
        now = (uint64_t)ts.tv_sec * 1000000000u + (uint64_t)ts.tv_nsec;
    }
    ~Model()
    {
        if (ra)
            sp_ring_delete(ra);
    }
    Model(const Model &) = delete;
    Model &operator=(const Model &) = delete;

    bool ok() const { return ra != nullptr; }

    // The reader reads: `want` chooses how much of the room offered
    // (want % (room + 1), at least 1 byte; a want of 0 reads the whole
    // room), `size` the size of the messages the stream grows by. False,
    // with *why, when a check failed.
    bool read(uint32_t want, uint32_t size, std::string *why)
    {
        struct iovec iov[SP_RING_AHEAD / SP_RING_CHUNK + 2];
        size_t pieces;
        size_t room = sp_ring_room(ra, iov, sizeof iov / sizeof iov[0], &pieces);
        if (room == 0)
            return check(why);
        size_t n = want == 0 ? room : 1 + want % room;
        while (stream_end() < read_at + n)
            grow(size);
        // As recvmsg would: the socket's bytes into the pieces in order.
        size_t left = n;
        for (size_t i = 0; i < pieces && left > 0; i++) {
            size_t m = iov[i].iov_len < left ? iov[i].iov_len : left;
            memcpy(iov[i].iov_base, at(read_at + (uint64_t)(n - left)), m);
            left -= m;
        }
        read_at += n;
        size_t completed = 0;
        if (!sp_ring_read(ra, n, &completed))
            return fail(why, "a well-formed header was taken for a corrupt one");
        // Whole messages now reach the end of the last one read entirely.
        uint64_t whole = framed_to;
        size_t count = 0;
        for (size_t i = framed; i < ends.size() && ends[i] <= read_at; i++, count++)
            whole = ends[i];
        framed += count;
        framed_to = whole;
        if (completed != count || ra->whole.load() != whole)
            return fail(why, "framed " + std::to_string(completed) + " messages up to " +
                                 std::to_string(ra->whole.load()) + ", the stream has " + std::to_string(count) +
                                 " up to " + std::to_string(whole));
        return check(why);
    }

    // The application takes up to `count` whole messages (0: all of them),
    // each compared byte for byte with the stream, then gives the ring
    // back.
    bool take(uint32_t count, std::string *why)
    {
        uint64_t at = ra->taken.load();
        uint64_t whole = ra->whole.load();
        for (uint32_t k = 0; at < whole && (count == 0 || k < count); k++) {
            unsigned char raw[WIRE_HEADER_SIZE];
            sp_ring_copy(ra, (size_t)(at % ra->cap), raw, sizeof raw);
            WireHeader h;
            wire_header_decode(raw, raw + sizeof raw, &h);
            int64_t payload = wire_payload_size(&h, true);
            if (taken >= ends.size() || payload < 0 || at + WIRE_HEADER_SIZE + (uint64_t)payload != ends[taken])
                return fail(why, "message " + std::to_string(taken) + " at " + std::to_string(at) +
                                     " does not end where the stream's does");
            std::string got(WIRE_HEADER_SIZE + (size_t)payload, '\0');
            sp_ring_copy(ra, (size_t)(at % ra->cap), got.data(), got.size());
            if (memcmp(got.data(), this->at(at), got.size()) != 0)
                return fail(why, "message " + std::to_string(taken) + " differs from the stream's");
            at = ends[taken++];
        }
        sp_ring_commit(ra, at);
        forget_before(at);
        return check(why);
    }

    // The model's clock moves on `ns`, and the reader looks whether frames
    // are to be given back.
    bool trim(uint64_t ns, std::string *why)
    {
        now += ns;
        (void)sp_ring_trim(ra, now);
        return check(why);
    }

    uint64_t messages_taken() const { return taken; }
    uint64_t bytes_read() const { return read_at; }
    const SpReadAhead *ring() const { return ra; }

private:
    bool check(std::string *why)
    {
        if (const char *broken = sp_ring_check(ra))
            return fail(why, broken);
        return true;
    }
    static bool fail(std::string *why, const std::string &text)
    {
        *why = text;
        return false;
    }

    // A message of about `size` bytes of body (at most what one message
    // may hold), its header and one group slot; its bytes depend on its
    // number and their place, so a byte moved or reused shows.
    void grow(uint32_t size)
    {
        uint64_t body = size % (SP_LARGEST_MESSAGE - WIRE_HEADER_SIZE - WIRE_GROUP_SIZE + 1);
        WireHeader h{};
        h.type = AGREED_MESS;
        snprintf(h.sender, sizeof h.sender, "#m%zu#model", ends.size());
        h.num_groups = 1;
        h.hint_raw = wire_hint_encode(0);
        h.data_len = (int32_t)body;
        unsigned char raw[WIRE_HEADER_SIZE];
        wire_header_encode(&h, raw);
        std::string bytes(reinterpret_cast<const char *>(raw), sizeof raw);
        char slot[MAX_GROUP_NAME];
        wire_group_slot(slot, "model");
        bytes.append(slot, sizeof slot);
        uint64_t n = ends.size();
        bytes.resize(bytes.size() + body);
        unsigned char *b = reinterpret_cast<unsigned char *>(bytes.data()) + bytes.size() - body;
        for (uint64_t i = 0; i < body; i++)
            b[i] = (unsigned char)(n * 131 + i * 7 + (i >> 8));
        stream += bytes;
        ends.push_back(stream_end());
    }
    uint64_t stream_end() const { return base + stream.size(); }
    const char *at(uint64_t offset) const { return stream.data() + (offset - base); }
    // The stream before `at` is taken: no longer kept.
    void forget_before(uint64_t at)
    {
        if (at - base < (1u << 20))
            return;
        stream.erase(0, (size_t)(at - base));
        base = at;
    }

    SpReadAhead *ra;
    uint64_t now = 0;
    std::string stream;        // the socket's bytes from offset base on
    uint64_t base = 0;
    std::deque<uint64_t> ends;  // end offset of every message of the stream
    uint64_t read_at = 0;      // bytes the reader read
    size_t framed = 0;         // messages whole in the ring
    uint64_t framed_to = 0;    // where they end
    size_t taken = 0;          // messages the application took
};

}  // namespace ring_model
