// The read-ahead ring against a plain model of the stream: seeded random
// reads, takes and give-backs (tests/support/ring_model.h), the
// invariants walked after every step. WKP_RING_SEED and WKP_RING_STEPS
// replay or lengthen a run; a failure prints the seed and the step.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <random>

#include "support/ring_model.h"

namespace {

// One run: phases of a backlog growing (the loop stalled: reads, few
// takes), draining (takes), and quiet spells (the clock jumps past the
// give-back's wait), with messages mostly of log-line size and now and
// then large enough to span chunks, or one near the largest.
void run(uint64_t seed, int steps, size_t ring_bytes)
{
    SCOPED_TRACE("WKP_RING_SEED=" + std::to_string(seed));
    // Said first, so that a run that crashes can be replayed too.
    fprintf(stderr, "ring run: WKP_RING_SEED=%llu, %d steps, %zu bytes\n", (unsigned long long)seed, steps, ring_bytes);
    std::mt19937_64 gen(seed);
    ring_model::Model m(ring_bytes, 1000000);
    ASSERT_TRUE(m.ok());
    auto size = [&]() -> uint32_t {
        uint32_t pick = gen() % 1000;
        if (pick < 900)
            return 40 + gen() % 400;
        if (pick < 995)
            return gen() % (3 * SP_RING_CHUNK);
        return SP_LARGEST_MESSAGE - 100 + gen() % 200;
    };
    std::string why;
    int phase = 0;
    for (int step = 0; step < steps; step++) {
        if (step % 500 == 0)
            phase = gen() % 3;
        uint32_t pick = gen() % 100;
        bool ok;
        // 0: growing (reads nine times out of ten); 1: draining; 2: mixed.
        int reads = phase == 0 ? 90 : phase == 1 ? 10 : 50;
        if ((int)pick < reads)
            ok = m.read(gen() % 4 == 0 ? 0 : (uint32_t)gen(), size(), &why);
        else if (pick < 97)
            ok = m.take(gen() % 4 == 0 ? 0 : 1 + gen() % 50, &why);
        else
            ok = m.trim(gen() % 2 ? gen() % 1000000 : 2000000 + gen() % 5000000, &why);
        ASSERT_TRUE(ok) << "step " << step << ": " << why;
    }
    // Everything read is taken in the end, and the memory given back.
    ASSERT_TRUE(m.take(0, &why)) << why;
    ASSERT_TRUE(m.trim(10000000, &why)) << why;
    ASSERT_TRUE(m.trim(10000000, &why)) << why;
    EXPECT_EQ(m.ring()->taken.load(), m.ring()->whole.load());
    EXPECT_LE(m.ring()->nslots - m.ring()->ncold, SP_RING_RESIDENT / SP_RING_CHUNK + 3);
}

uint64_t env_number(const char *name, uint64_t otherwise)
{
    const char *v = getenv(name);
    return v && *v ? strtoull(v, nullptr, 10) : otherwise;
}

}  // namespace

// Rings of a few chunks more than the resident part (so that the slot
// shared by the oldest and the newest chunk comes round often) and of the
// daemon's size.
TEST(ReadAheadRing, AgreesWithThePlainModel)
{
    int steps = (int)env_number("WKP_RING_STEPS", 4000);
    if (const char *seed = getenv("WKP_RING_SEED"); seed && *seed) {
        run(strtoull(seed, nullptr, 10), steps, 2u << 20);
        return;
    }
    for (uint64_t seed : {1u, 2u, 3u}) {
        run(seed, steps, SP_LARGEST_MESSAGE);
        run(seed, steps, 2u << 20);
        run(seed, steps / 10, SP_READAHEAD_BYTES);
    }
}
