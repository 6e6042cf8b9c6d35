// Routing's vhost hash and table: worked hash values, colliding names and
// their probe sequences, open, remembered and empty slots.
#include "output/routing.h"

#include <unistd.h>

#include <iterator>
#include <set>
#include <string>

#include <gtest/gtest.h>

#include "support/process.h"
#include "support/routing.h"

using namespace routing_test;
using wkp_test::entries;
using wkp_test::TempDir;

namespace {

TEST(VhostHash, WorkedValues)
{
    struct Case {
        const char *name;
        uint32_t hash;
    } cases[] = {
        {"", 2872998923u},     // FNV-1a's offset basis, mixed
        {"a", 444641715u},
        {"abc", 482950588u},
        {"cba", 2014114366u},  // the same bytes in another order
        {"\xE9", 3136788073u},
    };
    for (const Case &c : cases)
        EXPECT_EQ(vhost_hash(c.name), c.hash) << c.name;
}

// The step of the probe sequence that starts at `home` in a table of `size`
// slots.
uint32_t step_of(uint32_t home, int size)
{
    return static_cast<uint32_t>(vhost_probe_steps[home % std::size(vhost_probe_steps)]) % static_cast<uint32_t>(size);
}

// Two names "nI" whose sequences start at the same home slot in a table of
// `size` slots (and so share the whole sequence).
std::pair<std::string, std::string> colliding_names(int size)
{
    std::map<uint32_t, std::string> seen;
    for (int i = 0;; i++) {
        std::string name = "n" + std::to_string(i);
        auto [at, fresh] = seen.emplace(home_of(name, size), name);
        if (!fresh)
            return {at->second, name};
    }
}

TEST(VhostTable, CollidingNamesProbeWithTheStepOfTheHomeSlot)
{
    Scoped table_size(vhost_table_size, 1024);
    auto [first, second] = colliding_names(1024);
    uint32_t home = home_of(first, 1024), step = step_of(home, 1024);
    // A third name whose home slot another name holds: it goes one step on.
    std::string third;
    for (int i = 0; third.empty(); i++) {
        std::string name = "m" + std::to_string(i);
        uint32_t h = home_of(name, 1024);
        if (h != home && h != (home + step) % 1024 && h != (home + 2 * step) % 1024 &&
            (h + step_of(h, 1024)) % 1024 != home && (h + step_of(h, 1024)) % 1024 != (home + step) % 1024)
            third = name;
    }
    uint32_t third_home = home_of(third, 1024), third_next = (third_home + step_of(third_home, 1024)) % 1024;

    VhostTable *table = make_table();
    int a = null_fd(), b = null_fd(), held = null_fd(), c = null_fd();
    vhost_insert(table, strdup(first.c_str()), a);   // its home
    vhost_insert(table, strdup(second.c_str()), b);  // same home: the next probe
    table->slots[third_home].name = strdup("zzz");   // hold the home slot of the third
    table->slots[third_home].fd = held;
    vhost_insert(table, strdup(third.c_str()), c);

    EXPECT_EQ(table->slots[home].name, first);
    EXPECT_EQ(table->slots[(home + step) % 1024].name, second);
    EXPECT_EQ(table->slots[third_next].name, third);
    EXPECT_EQ(table->slots[(home + 2 * step) % 1024].fd, -1);
    EXPECT_EQ(vhost_lookup(table, first.c_str()), a);
    EXPECT_EQ(vhost_lookup(table, second.c_str()), b);
    EXPECT_EQ(vhost_lookup(table, third.c_str()), c);
    EXPECT_EQ(vhost_lookup(table, "zzz"), -1);  // stored by hand, without its hash
    EXPECT_EQ(vhost_lookup(table, (first + "x").c_str()), -1);
    // A name and its prefix are two names.
    int ab1 = null_fd(), ab = null_fd();
    vhost_insert(table, strdup("ab\x01"), ab1);
    EXPECT_EQ(vhost_lookup(table, "ab"), -1);
    vhost_insert(table, strdup("ab"), ab);
    EXPECT_EQ(vhost_lookup(table, "ab"), ab);
    EXPECT_EQ(vhost_lookup(table, "ab\x01"), ab1);
    EXPECT_EQ(vhost_lookup(table, "ab\x01\x02"), -1);
    empty_table(table);
    EXPECT_EQ(fcntl(held, F_GETFD), -1);  // closed with the table
    EXPECT_EQ(vhost_lookup(table, first.c_str()), -1);
}

// The three slot states as lookup and insertion see them. Two names share
// the sequence home, home + step, home + 2 step...; the first sits in its
// home, the second one step on, each open or remembered with its file
// closed.
TEST(VhostTable, OpenRememberedAndEmptySlots)
{
    Scoped table_size(vhost_table_size, 1024);
    auto [first, second] = colliding_names(1024);
    uint32_t home = home_of(first, 1024), step = step_of(home, 1024);
    uint32_t slot_of[2] = {home, (home + step) % 1024}, empty_slot = (home + 2 * step) % 1024;
    // A third name of the same sequence, not stored.
    std::string absent;
    for (int i = 0; absent.empty(); i++) {
        std::string name = "a" + std::to_string(i);
        if (home_of(name, 1024) == home)
            absent = name;
    }
    struct Case {
        bool first_open, second_open;
        int name;         // 0: the first, 1: the second, 2: the absent one; looked up, then inserted
        bool found_open;  // lookup gives the slot's descriptor; else -1
    } cases[] = {
        {true, true, 0, true},
        {false, true, 0, false},  // remembered: fd -1, still full
        {false, true, 1, true},   // the walk goes past a remembered slot
        {true, false, 1, false},
        {false, false, 2, false},  // absent: the walk ends at the empty slot
    };
    for (const Case &c : cases) {
        const std::string &name = c.name == 0 ? first : c.name == 1 ? second : absent;
        SCOPED_TRACE(name + (c.first_open ? " first open" : " first closed") +
                     (c.second_open ? " second open" : " second closed"));
        VhostTable *table = make_table();
        vhost_insert(table, strdup(first.c_str()), null_fd());
        vhost_insert(table, strdup(second.c_str()), null_fd());
        if (!c.first_open)
            output_vhost_close(&table->slots[slot_of[0]]);
        if (!c.second_open)
            output_vhost_close(&table->slots[slot_of[1]]);
        ASSERT_EQ(table->slots[slot_of[0]].name, first);
        ASSERT_EQ(table->slots[slot_of[1]].name, second);

        int fd = vhost_lookup(table, name.c_str());
        EXPECT_EQ(fd, c.found_open ? table->slots[slot_of[c.name]].fd : -1);
        EXPECT_EQ(fd >= 0, c.found_open);

        // Insertion takes the first empty slot: never a remembered one.
        int other = null_fd();
        vhost_insert(table, strdup(name.c_str()), other);
        EXPECT_EQ(table->slots[empty_slot].fd, other);
        empty_table(table);
        for (uint32_t i : {slot_of[0], slot_of[1], empty_slot}) {
            EXPECT_EQ(table->slots[i].name, nullptr);
            EXPECT_EQ(table->slots[i].fd, -1);
        }
        EXPECT_EQ(fcntl(other, F_GETFD), -1);
    }
}

TEST(VhostTable, SequenceCoveringPartOfTheTable)
{
    // Six slots: a name at home 0 has step 3, so it only ever visits slots
    // 0 and 3.
    Scoped table_size(vhost_table_size, 6);
    std::string name;
    for (int i = 0; name.empty(); i++)
        if (home_of("n" + std::to_string(i), 6) == 0)
            name = "n" + std::to_string(i);
    VhostTable *table = make_table();
    table->slots[0].name = strdup("x");
    table->slots[0].fd = null_fd();
    table->slots[3].name = strdup("y");
    table->slots[3].fd = null_fd();
    vhost_insert(table, strdup(name.c_str()), 22);  // nowhere to go: the name is freed
    for (int i = 0; i < 6; i++)
        EXPECT_TRUE(i == 0 || i == 3 || table->slots[i].name == nullptr) << i;
    EXPECT_EQ(vhost_lookup(table, name.c_str()), -1);
    empty_table(table);

    // A step larger than the table wraps: size 1 holds exactly one name.
    vhost_table_size = 1;
    VhostTable *one = make_table();
    int abc = null_fd();
    vhost_insert(one, strdup("abc"), abc);
    vhost_insert(one, strdup("cba"), 31);
    EXPECT_EQ(vhost_lookup(one, "abc"), abc);
    EXPECT_EQ(vhost_lookup(one, "cba"), -1);
    empty_table(one);

    // A negative descriptor is never stored.
    vhost_table_size = 1024;
    VhostTable *big = make_table();
    vhost_insert(big, strdup("abc"), -1);
    EXPECT_EQ(big->slots[home_of("abc", 1024)].fd, -1);
    EXPECT_EQ(big->slots[home_of("abc", 1024)].name, nullptr);
    EXPECT_EQ(vhost_lookup(big, "abc"), -1);
}

// Names of one shape (a web farm's hosts: one length, a counter in them)
// spread over the table: with as many names as half the slots, each is
// stored within the probes a walk may take and found again; in a full
// table a new name still finds a place within them (the least recently
// used one), so no walk grows with the table.
TEST(VhostTable, NamesOfOneShapeSpreadOverTheTable)
{
    Scoped table_size(vhost_table_size, 20000);
    VhostTable *table = make_table();
    char name[32];
    for (int i = 0; i < 10000; i++) {
        snprintf(name, sizeof name, "h%05d.example.com", i);
        vhost_insert(table, strdup(name), 100000 + i);
    }
    int found = 0;
    for (int i = 0; i < 10000; i++) {
        snprintf(name, sizeof name, "h%05d.example.com", i);
        found += vhost_lookup(table, name) == 100000 + i;
    }
    EXPECT_EQ(found, 10000);
    empty_table(table);  // the numbers are no one's descriptors: closing them does nothing
}

}  // namespace
