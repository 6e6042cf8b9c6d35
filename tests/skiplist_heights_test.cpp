// The column heights that a fixed operation sequence produces are fixed,
// since lrand48 is never seeded.  The sequence runs in a fresh process
// (skiplist_heights run); the expected heights are worked out here from the
// first lrand48 values of another fresh process (skiplist_heights raw N)
// with the flip and height rules, simulating only the lists' heights.

#include "support/skiplist_heights.h"
#include "support/process.h"

#include <gtest/gtest.h>

#include <map>
#include <sstream>
#include <string>
#include <vector>

using namespace sl_heights;
using wkp_test::Process;

namespace {

std::vector<std::string> lines(const std::string &text)
{
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        out.push_back(line);
    return out;
}

// Coin flips: 32 per drawn value, bit 0 first; a set bit is heads.
struct Flips {
    std::vector<long> values;
    size_t drawn = 0;
    long bits = 0;
    int used = 32;
    bool ran_out = false;
    bool flip()
    {
        if (used > 31) {
            if (drawn == values.size()) {
                ran_out = true;
                return false;
            }
            bits = values[drawn++];
            used = 0;
        }
        return (bits >> used++) & 1;
    }
};

// A list reduced to what decides heights: its levels and its columns.
struct Heights {
    int height = 0;
    int limit = 0;
    std::map<int, std::pair<int, int>> columns;  // sort value -> (key, column height)
};

struct Simulation {
    Flips flips;
    Heights lists[3], registry, index;
    bool indexed = false;
    int max_column = 0, refusals_that_grew = 0;

    int draw(const Heights &l)
    {
        int h = 1;
        if (l.limit == 0) {
            // Heads: one level more; at the list's height that is the last.
            while (flips.flip()) {
                h++;
                if (h > l.height)
                    break;
            }
        } else if (l.limit >= 2) {
            while (h < l.limit && flips.flip())
                h++;
        }
        return h;
    }

    int insert(Heights &l, int sort, int key)
    {
        if (l.height == 0)
            l.height = 1;
        int before = l.height;
        int h = draw(l);
        l.height = std::max(l.height, h);
        if (l.columns.count(sort)) {
            refusals_that_grew += l.height > before;
            return 0;
        }
        l.columns[sort] = {key, h};
        max_column = std::max(max_column, h);
        return h;
    }

    bool remove(Heights &l, int sort)
    {
        if (!l.columns.erase(sort))
            return false;
        l.height = 0;
        for (auto &c : l.columns)
            l.height = std::max(l.height, c.second.second);
        return true;
    }

    int append(Heights &l, int key)
    {
        if (!l.columns.empty() && key <= l.columns.rbegin()->first)
            return 0;
        int h = draw(l);
        if (l.height == 0)
            return insert(l, key, key);
        l.height = std::max(l.height, h);
        l.columns[key] = {key, h};
        return h;
    }

    int run(const Op &op)
    {
        Heights &l = lists[op.list];
        bool on_indexed = op.list == 0 && indexed;
        switch (op.kind) {
        case Kind::Insert: {
            int h = insert(l, op.key, op.key);
            if (h && on_indexed)
                insert(index, index_order(op.key), op.key);
            return h;
        }
        case Kind::Append:
            return on_indexed ? 0 : append(l, op.key);
        case Kind::Remove:
            if (!remove(l, op.key))
                return 0;
            if (on_indexed)
                remove(index, index_order(op.key));
            return l.height;
        case Kind::AddIndex:
            insert(registry, 0, 0);
            for (auto &c : l.columns)
                insert(index, index_order(c.first), c.first);
            indexed = true;
            return registry.height;
        }
        return -1;
    }
};

std::string final_line(const char *name, const Heights &l)
{
    std::string s = std::string("final ") + name + " " + std::to_string(l.height);
    for (auto &c : l.columns)
        s += " " + std::to_string(c.second.first) + ":" + std::to_string(c.second.second);
    return s;
}

TEST(SkiplistHeights, FixedSequenceFromFreshProcess)
{
    Process raw;
    ASSERT_TRUE(raw.start({wkp_test::bin("tests/skiplist_heights"), "raw", "400"}));
    ASSERT_TRUE(raw.wait());
    ASSERT_EQ(raw.exit_code(), 0);
    Simulation sim;
    for (int i = 0; i < 3; i++)
        sim.lists[i].limit = height_limit(i);
    for (const std::string &v : lines(raw.out()))
        sim.flips.values.push_back(std::stol(v));
    ASSERT_EQ(sim.flips.values.size(), 400u);

    std::vector<std::string> want;
    char buf[128];
    for (const Op &op : operations()) {
        int result = sim.run(op);
        snprintf(buf, sizeof buf, "%s %s %d %d %d", list_name(op.list), kind_name(op.kind), op.key, result,
                 sim.lists[op.list].height);
        want.push_back(buf);
    }
    for (int i = 0; i < 3; i++)
        want.push_back(final_line(list_name(i), sim.lists[i]));
    want.push_back(final_line("A.index", sim.index));
    ASSERT_FALSE(sim.flips.ran_out);
    // The sequence must exercise what it is meant to: tall columns and
    // refused insertions that still added a level.
    EXPECT_GE(sim.max_column, 4);
    EXPECT_GE(sim.refusals_that_grew, 1);

    Process run;
    ASSERT_TRUE(run.start({wkp_test::bin("tests/skiplist_heights"), "run"}));
    ASSERT_TRUE(run.wait());
    ASSERT_EQ(run.exit_code(), 0) << run.err();
    std::vector<std::string> got = lines(run.out());
    ASSERT_EQ(got.size(), want.size());
    for (size_t i = 0; i < want.size(); i++)
        ASSERT_EQ(got[i], want[i]) << "line " << i + 1 << " after " << (i ? want[i - 1] : "");
}

}  // namespace
