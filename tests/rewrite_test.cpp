// Rewriting: the bracketed field replaced by the local time, the growth
// limit of the buffer, the vhost word skipped.
#include "output/rewrite.h"

#include <sys/time.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "support/routing.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#define GUARD_POISON(p, n) ASAN_POISON_MEMORY_REGION(p, n)
#define GUARD_UNPOISON(p, n) ASAN_UNPOISON_MEMORY_REGION(p, n)
#else
#define GUARD_POISON(p, n) ((void)0)
#define GUARD_UNPOISON(p, n) ((void)0)
#endif

using namespace routing_test;

namespace {

// A message in a buffer of `capacity` bytes followed by guard bytes: under
// AddressSanitizer any access to them fails the test at once, otherwise
// check() finds any write to them.
struct Buffer {
    static constexpr int guard = 64;
    char *bytes;
    int capacity;
    int length;
    Buffer(const std::string &message, int capacity_) : capacity(capacity_), length(int(message.size()))
    {
        bytes = static_cast<char *>(malloc(capacity + guard));
        memset(bytes, '#', capacity);
        memset(bytes + capacity, 0x5A, guard);
        memcpy(bytes, message.data(), message.size());
        GUARD_POISON(bytes + capacity, guard);
    }
    ~Buffer()
    {
        GUARD_UNPOISON(bytes + capacity, guard);
        free(bytes);
    }
    bool guard_intact()
    {
        GUARD_UNPOISON(bytes + capacity, guard);
        bool intact = true;
        for (int i = 0; i < guard; i++)
            intact = intact && bytes[capacity + i] == 0x5A;
        GUARD_POISON(bytes + capacity, guard);
        return intact;
    }
    std::string text() const { return std::string(bytes, length); }
};

// Runs `op` until it ran within one second of the clock the rewrite reads,
// and gives that second.
time_t within_one_second(const std::function<void()> &op)
{
    for (;;) {
        timeval before, after;
        gettimeofday(&before, nullptr);
        op();
        gettimeofday(&after, nullptr);
        if (before.tv_sec == after.tv_sec)
            return before.tv_sec;
    }
}

// The CLF field for second t, made by strftime (C locale: English months).
std::string clf_field(time_t t)
{
    tm local;
    localtime_r(&t, &local);
    char text[64];
    strftime(text, sizeof text, "[%d/%b/%Y:%H:%M:%S %z]", &local);
    return text;
}

std::string strftime_field(time_t t, const char *format)
{
    tm local;
    localtime_r(&t, &local);
    char text[256];
    size_t n = strftime(text, sizeof text, format, &local);
    return std::string(text, n);
}

// `pattern` with its '@' replaced by `field`.
std::string fill(const std::string &pattern, const std::string &field)
{
    size_t at = pattern.find('@');
    return at == std::string::npos ? pattern : pattern.substr(0, at) + field + pattern.substr(at + 1);
}

const int roomy = 4096;

TEST(RewriteTimestamp, FirstBracketedFieldInCommonLogFormat)
{
    struct Case {
        std::string message;
        int length;              // -1: the whole message
        std::string expected;    // '@' stands for the new field
    } cases[] = {
        {"c1 - - [t] GET / 200", -1, "c1 - - @ GET / 200"},
        {"[]", -1, "@"},
        {"x [] y", -1, "x @ y"},
        {"[[x]] y", -1, "@] y"},                 // from the first '[' to the first ']' after it
        {"] a [b] c", -1, "] a @ c"},            // a ']' before the '[' is ignored
        {"abc[x] c1", -1, "abc@ c1"},            // the '[' may stand in the vhost word
        {"[01/Jan/2000:00:00:00 +0000] GET", -1, "@ GET"},  // 28 bytes, same length
        {"a [b] c", 4, "a [b"},                  // the ']' lies beyond the length
        {"a [b", -1, "a [b"},
        {"a ]b[", -1, "a ]b["},
        {"no brackets", -1, "no brackets"},
        {"[x]", 0, ""},
        {std::string("\0[\0]\0", 5), -1, std::string("\0@\0", 3)},  // NUL bytes are bytes
    };
    for (const Case &c : cases) {
        int length = c.length < 0 ? int(c.message.size()) : c.length;
        std::string result;
        time_t t = within_one_second([&] {
            Buffer buffer(c.message, roomy);
            buffer.length = length;
            rewrite_timestamp(buffer.bytes, &buffer.length, buffer.capacity, REWRITE_CLF, nullptr);
            result = buffer.text();
            // Bytes past the message are not touched when it does not grow.
            if (c.length >= 0) {
                EXPECT_EQ(std::string(buffer.bytes, c.message.size()), c.message);
            }
            EXPECT_TRUE(buffer.guard_intact());
        });
        std::string field = clf_field(t);
        ASSERT_EQ(field.size(), 28u);
        EXPECT_EQ(result, fill(c.expected, field)) << c.message;
    }
}

TEST(RewriteTimestamp, StrftimeFormats)
{
    struct Case {
        const char *format;
        std::string message;
        std::string expected;  // '@' stands for the strftime result
    } cases[] = {
        {"[%Y-%m-%d %H:%M:%S]", "c1 - - [t] GET / 200", "c1 - - @ GET / 200"},
        {"%Y", "a [t] b", "a @ b"},   // no brackets: they go with the old field
        {"", "a [t] b", "a  b"},      // empty result: the field is removed
        {"[%H]", "a [some long old field] b", "a @ b"},
        {"<%%>", "[]", "<%>"},
    };
    for (const Case &c : cases) {
        std::string result;
        time_t t = within_one_second([&] {
            Buffer buffer(c.message, roomy);
            rewrite_timestamp(buffer.bytes, &buffer.length, buffer.capacity, REWRITE_STRFTIME, c.format);
            result = buffer.text();
        });
        EXPECT_EQ(result, fill(c.expected, strftime_field(t, c.format))) << c.format;
    }
}

TEST(RewriteTimestamp, StrftimeResultMustFit127Bytes)
{
    std::string fits(127, 'x'), too_long(128, 'x'), way_too_long = std::string(200, 'y') + "%Y";
    struct Case {
        std::string format;
        std::string expected;
    } cases[] = {
        {fits, "a " + fits + " b"},
        {too_long, "a [t] b"},
        {way_too_long, "a [t] b"},
        {"%Y%Y%Y%Y%Y%Y%Y%Y%Y%Y%Y%Y%Y%Y%Y%Y%Y%Y%Y%Y%Y%Y%Y%Y%Y%Y%Y%Y%Y%Y%Y%Y", "a [t] b"},  // 128 bytes
    };
    for (const Case &c : cases) {
        Buffer buffer("a [t] b", roomy);
        rewrite_timestamp(buffer.bytes, &buffer.length, buffer.capacity, REWRITE_STRFTIME, c.format.c_str());
        EXPECT_EQ(buffer.text(), c.expected) << c.format;
    }
}

// Sets TZ for the life of the object, restoring the old value after.
struct ZoneScope {
    std::string old;
    bool had;
    explicit ZoneScope(const char *zone)
    {
        const char *current = getenv("TZ");
        had = current != nullptr;
        old = had ? current : "";
        setenv("TZ", zone, 1);
        tzset();
    }
    ~ZoneScope()
    {
        if (had)
            setenv("TZ", old.c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }
};

TEST(RewriteTimestamp, EmptyStrftimeResultRemovesTheField)
{
    // With a zone of no name, "%Z" gives nothing although the format is
    // not empty.
    ZoneScope zone("A");
    Buffer buffer("a [t] b", roomy);
    rewrite_timestamp(buffer.bytes, &buffer.length, buffer.capacity, REWRITE_STRFTIME, "%Z");
    EXPECT_EQ(buffer.text(), "a  b");
}

TEST(RewriteTimestamp, ZoneOffsetAgreesWithTheLocalTimeShown)
{
    struct Case {
        const char *zone;
        const char *standard, *daylight;  // offsets allowed in this zone
    } cases[] = {
        {"UTC", "+0000", "+0000"},
        {"America/New_York", "-0500", "-0400"},
        {"Asia/Kolkata", "+0530", "+0530"},
        {"America/St_Johns", "-0330", "-0230"},
        // Daylight time all year (but the last hours of December): the
        // offset must be the one in force, not the standard one.
        {"XST5XDT,0/0,J365/25", "-0500", "-0400"},
    };
    for (const Case &c : cases) {
        ZoneScope zone(c.zone);
        std::string field;
        time_t t = within_one_second([&] {
            Buffer buffer("[]", roomy);
            rewrite_timestamp(buffer.bytes, &buffer.length, buffer.capacity, REWRITE_CLF, nullptr);
            field = buffer.text();
        });
        int day, year, hour, minute, second;
        char month[4], sign;
        int offset_hours, offset_minutes;
        ASSERT_EQ(sscanf(field.c_str(), "[%2d/%3s/%4d:%2d:%2d:%2d %c%2d%2d]", &day, month, &year, &hour, &minute,
                         &second, &sign, &offset_hours, &offset_minutes),
                  9)
            << field;
        tm local;
        localtime_r(&t, &local);
        std::string offset = field.substr(22, 5);
        EXPECT_EQ(offset, local.tm_isdst > 0 ? c.daylight : c.standard) << c.zone;
        EXPECT_EQ(std::string(month), month_abbreviations[local.tm_mon]);

        // The shown time minus the offset is the UTC time of the message.
        tm utc;
        gmtime_r(&t, &utc);
        int offset_total = (sign == '-' ? -1 : 1) * (offset_hours * 60 + offset_minutes);
        int shown = hour * 60 + minute - offset_total;
        EXPECT_EQ(((shown % 1440) + 1440) % 1440, utc.tm_hour * 60 + utc.tm_min) << c.zone << " " << field;
        EXPECT_EQ(second, utc.tm_sec);
        EXPECT_EQ(field, clf_field(t));
    }
}

TEST(RewriteTimestamp, GrowthStopsAtTheCapacityCuttingTheNewField)
{
    struct Case {
        std::string message;
        int capacity;
        int field_kept;  // bytes of the 28-byte field that fit
    } cases[] = {
        {"a [t] tail", 20, 13},   // 10 - 3 + 28 = 35 > 20: 20 - 7 bytes left for it
        {"a [t] tail", 10, 3},    // a full buffer keeps the old field's size
        {"a [t] tail", 35, 28},   // exactly fits
        {"[]", 2, 2},
        {"x[0123456789]", 20, 20 - 1},
    };
    for (const Case &c : cases) {
        std::string result;
        int length = 0;
        time_t t = within_one_second([&] {
            Buffer buffer(c.message, c.capacity);
            rewrite_timestamp(buffer.bytes, &buffer.length, buffer.capacity, REWRITE_CLF, nullptr);
            result = buffer.text();
            length = buffer.length;
            EXPECT_TRUE(buffer.guard_intact());
        });
        size_t open = c.message.find('['), close = c.message.find(']');
        std::string expected = c.message.substr(0, open) + clf_field(t).substr(0, c.field_kept) +
                               c.message.substr(close + 1);
        EXPECT_EQ(length, std::min<int>(c.capacity, int(c.message.size()) - int(close - open + 1) + 28));
        EXPECT_EQ(result, expected) << c.message << " in " << c.capacity;
    }

    // A strftime result is cut the same way.
    Buffer buffer("ab[] cd", 12);
    rewrite_timestamp(buffer.bytes, &buffer.length, buffer.capacity, REWRITE_STRFTIME, "<0123456789>");
    EXPECT_EQ(buffer.text(), "ab<012345 cd");
    EXPECT_EQ(buffer.length, 12);
    EXPECT_TRUE(buffer.guard_intact());
}

TEST(RewriteTimestamp, UnknownModeChangesNothing)
{
    Buffer buffer("a [t] b", roomy);
    rewrite_timestamp(buffer.bytes, &buffer.length, buffer.capacity, 3, "%Y");
    EXPECT_EQ(buffer.text(), "a [t] b");
}

class Prepare : public ::testing::Test {
protected:
    Scoped<int> receive_size{buffer_size, roomy};
    Scoped<int> table_size{vhost_table_size, 16};

    void SetUp() override
    {
        conf = make_conf();
    }
    // Runs prepare_message on a copy of `message` within one second; gives
    // the bytes to write, their offset in the buffer and that second.
    struct Result {
        std::string bytes;
        long offset;
        time_t second;
    };
    Result prepare(const char *group, const std::string &message)
    {
        Result r{};
        r.second = within_one_second([&] {
            Buffer buffer(message, buffer_size);
            char *start = prepare_message(conf, group, buffer.bytes, &buffer.length);
            r.offset = start - buffer.bytes;
            r.bytes = std::string(start, buffer.length);
            EXPECT_TRUE(buffer.guard_intact());
        });
        return r;
    }
    SpreadConf *conf = nullptr;
};

TEST_F(Prepare, VhostWordSkippedAfterTheRewrite)
{
    LogFacility *clf = add_vhost(conf, "clf", "/nonexistent");
    clf->rewrite_mode = REWRITE_CLF;
    add_vhost(conf, "plain", "/nonexistent");
    LogFacility *gone = add_vhost(conf, "gone", "/nonexistent");
    gone->rewrite_mode = REWRITE_STRFTIME;
    gone->rewrite_format = strdup("");

    Result r = prepare("clf", "abc c1 - - [t] GET / 200");
    EXPECT_EQ(r.offset, 4);
    EXPECT_EQ(r.bytes, "c1 - - " + clf_field(r.second) + " GET / 200");
    EXPECT_EQ(r.bytes.size(), 45u);

    // The first space of the rewritten message ends the word.
    r = prepare("clf", "a[x y] rest");
    EXPECT_EQ(r.bytes, clf_field(r.second).substr(22) + " rest");

    r = prepare("plain", "abc rest");
    EXPECT_EQ(r.offset, 4);
    EXPECT_EQ(r.bytes, "rest");
    r = prepare("plain", "abc [t] rest");
    EXPECT_EQ(r.bytes, "[t] rest");
    r = prepare("plain", "abc ");
    EXPECT_EQ(r.bytes, "");

    // A rewrite that takes away the only space leaves no word to skip:
    // nothing is written.
    r = prepare("gone", "ab[c d]e");
    EXPECT_EQ(r.bytes, "");
}

TEST_F(Prepare, PlainFacilities)
{
    LogFacility *stamped = add_plain(conf, "stamped", 3);
    stamped->rewrite_mode = REWRITE_STRFTIME;
    stamped->rewrite_format = strdup("[%Y-%m-%d %H:%M:%S]");
    add_plain(conf, "asis", 3);
    LogFacility *clf = add_plain(conf, "clf", 3);
    clf->rewrite_mode = REWRITE_CLF;

    Result r = prepare("stamped", "c1 - - [t] GET / 200");
    EXPECT_EQ(r.offset, 0);
    EXPECT_EQ(r.bytes, "c1 - - " + strftime_field(r.second, "[%Y-%m-%d %H:%M:%S]") + " GET / 200");
    EXPECT_EQ(r.bytes.size(), 38u);

    r = prepare("asis", "c1 - - [t] GET / 200");
    EXPECT_EQ(r.bytes, "c1 - - [t] GET / 200");

    // The receive buffer's size bounds the growth.
    buffer_size = 30;
    r = prepare("clf", "c1 [t] GET / 200");
    EXPECT_EQ(r.bytes, "c1 " + clf_field(r.second).substr(0, 17) + " GET / 200");
    EXPECT_EQ(r.bytes.size(), 30u);
}

}  // namespace
