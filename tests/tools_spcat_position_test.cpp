// spcat's position file on bytes: the exact text written, what reads back,
// and every malformed file refused with its line and reason.
#include <gtest/gtest.h>

#include <random>

#include "tools/spcat_position.h"

using namespace spcat;

namespace {

TEST(SpcatPosition, EncodesExactly)
{
    std::vector<PosEntry> entries = {
        {"/var/log/nginx/access.log", 18240, 2049, 131077, 256, 0x8c3f0a1b2d4e5f60ull},
        {"log with space%\n\x7f\x01", 0, 0, 1, 0, pos_fingerprint("", 0)},
        {"caf\xc3\xa9.log", UINT64_MAX, UINT64_MAX, UINT64_MAX, 0, 0},
    };
    EXPECT_EQ(pos_encode(entries),
              "spcat-position 1\n"
              "18240 2049 131077 256 8c3f0a1b2d4e5f60 /var/log/nginx/access.log\n"
              "0 0 1 0 cbf29ce484222325 log%20with%20space%25%0A%7F%01\n"
              "18446744073709551615 18446744073709551615 18446744073709551615 0 0000000000000000 caf\xc3\xa9.log\n");
    std::vector<PosEntry> back;
    std::string error;
    ASSERT_TRUE(pos_decode(pos_encode(entries), &back, &error)) << error;
    EXPECT_EQ(back, entries);
    ASSERT_TRUE(pos_decode("spcat-position 1\n", &back, &error));
    EXPECT_TRUE(back.empty());
}

TEST(SpcatPosition, Fingerprint)
{
    // FNV-1a 64's published values.
    EXPECT_EQ(pos_fingerprint("", 0), 0xcbf29ce484222325ull);
    EXPECT_EQ(pos_fingerprint("a", 1), 0xaf63dc4c8601ec8cull);
    EXPECT_EQ(pos_fingerprint("foobar", 6), 0x85944171f73967e8ull);
}

TEST(SpcatPosition, RefusesMalformedFiles)
{
    const std::string head = "spcat-position 1\n";
    const std::string good = "10 1 2 3 00000000000000ff /log\n";
    struct Case {
        std::string text;
        std::string error;
    };
    const Case cases[] = {
        {"", "line 1: empty file"},
        {"spcat-position 1", "line 1: no newline at the end (the file is cut short)"},
        {head + good + "10 1 2 3 00000000000000ff /lo", "line 3: no newline at the end (the file is cut short)"},
        {"spcat-position 2\n", "line 1: not a position file of this version (\"spcat-position 1\" expected)"},
        {"\n", "line 1: not a position file of this version (\"spcat-position 1\" expected)"},
        {head + "\n", "line 2: 6 fields expected"},
        {head + "10 1 2 3 00000000000000ff\n", "line 2: 6 fields expected"},
        {head + "x 1 2 3 00000000000000ff /log\n", "line 2: bad offset"},
        {head + "-1 1 2 3 00000000000000ff /log\n", "line 2: bad offset"},
        {head + "010 1 2 3 00000000000000ff /log\n", "line 2: bad offset"},
        {head + "18446744073709551616 1 2 3 00000000000000ff /log\n", "line 2: bad offset"},
        {head + "10  1 2 3 00000000000000ff /log\n", "line 2: bad device"},
        {head + "10 1 +2 3 00000000000000ff /log\n", "line 2: bad inode"},
        {head + "300 1 2 257 00000000000000ff /log\n", "line 2: bad fingerprint length"},
        {head + "2 1 2 3 00000000000000ff /log\n", "line 2: fingerprint longer than the offset"},
        {head + "10 1 2 3 00000000000000FF /log\n", "line 2: bad fingerprint"},
        {head + "10 1 2 3 0ff /log\n", "line 2: bad fingerprint"},
        {head + "10 1 2 3 00000000000000ff \n", "line 2: bad path"},
        {head + "10 1 2 3 00000000000000ff a b\n", "line 2: bad path"},
        {head + "10 1 2 3 00000000000000ff a\tb\n", "line 2: bad path"},
        {head + "10 1 2 3 00000000000000ff a%2\n", "line 2: bad path"},
        {head + "10 1 2 3 00000000000000ff a%2g\n", "line 2: bad path"},
        {head + "10 1 2 3 00000000000000ff a%0a\n", "line 2: bad path"},
        {head + "10 1 2 3 00000000000000ff a%00\n", "line 2: bad path"},
        {head + "10 1 2 3 00000000000000ff a%41\n", "line 2: bad path"},   // 'A' needs no escape
        {head + good + "10 1 2 3 00000000000000ff /log \n", "line 3: bad path"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        std::vector<PosEntry> out = {{"untouched", 1, 2, 3, 0, 0}};
        std::string error;
        EXPECT_FALSE(pos_decode(c.text, &out, &error));
        EXPECT_EQ(error, c.error);
        ASSERT_EQ(out.size(), 1u);
        EXPECT_EQ(out[0].path, "untouched");
    }
}

// Any path of any bytes but NUL goes through the file as one word and
// comes back; a random file either decodes to entries that encode to the
// same bytes, or is refused.
TEST(SpcatPosition, RoundTripsRandomPathsAndRejectsOrKeepsRandomBytes)
{
    const unsigned seed = std::random_device{}();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 rng(seed);
    for (int round = 0; round < 2000; round++) {
        std::vector<PosEntry> entries(rng() % 4);
        for (PosEntry &e : entries) {
            size_t n = 1 + rng() % 40;
            for (size_t i = 0; i < n; i++)
                e.path += (char)(1 + rng() % 255);
            e.offset = rng() % 2 ? rng() : ((uint64_t)rng() << 32 | rng());
            e.dev = rng();
            e.ino = rng();
            e.fp_len = (uint32_t)std::min<uint64_t>(e.offset, rng() % (POS_FP_MAX + 1));
            e.fp_hash = (uint64_t)rng() << 32 | rng();
        }
        std::string text = pos_encode(entries);
        ASSERT_EQ(std::count(text.begin(), text.end(), '\n'), (long)entries.size() + 1);
        std::vector<PosEntry> back;
        std::string error;
        ASSERT_TRUE(pos_decode(text, &back, &error)) << error;
        ASSERT_EQ(back, entries);

        // One byte changed: refused, or something that writes back as it is.
        text[rng() % text.size()] = (char)(rng() % 256);
        if (pos_decode(text, &back, &error)) {
            ASSERT_EQ(pos_encode(back), text);
        }
    }
}

}  // namespace
