// The skiplist against a std::map model driven by seeded random operations;
// the edge cases of its operations are in skiplist_ops_test.cpp and
// skiplist_indexes_test.cpp.  The random state of the module is
// process-wide, so nothing here depends on particular column heights: the
// fixed height sequence is checked from a fresh process in
// skiplist_heights_test.cpp.

#include "support/skiplist.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <deque>
#include <map>
#include <memory>
#include <random>

using namespace sl_test;

namespace {

void make_list(List &list, bool with_indexes)
{
    sl_set_compare(&list.l, elem_cmp, key_cmp);
    if (with_indexes) {
        sl_set_compare(&list.l, alt_cmp, alt_key_cmp);  // both set: adds an index
        sl_add_index(&list.l, rev_cmp, rev_key_cmp);
    }
}

// Walks back from the last element with sl_prev; the cursor must stop on
// the level-1 header and then fall off it.
std::vector<void *> walk_backward(Skiplist *l)
{
    std::vector<void *> out;
    SkiplistNode *n = sl_first(l);
    if (!n)
        return out;
    while (n->next)
        n = n->next;
    for (void *e = n->data; e; e = sl_prev(l, &n))
        out.push_back(e);
    EXPECT_EQ(n, l->bottom);
    EXPECT_EQ(sl_prev(l, &n), nullptr);
    EXPECT_EQ(n, nullptr);
    return out;
}

std::vector<void *> model_elements(const std::map<int, Elem *> &m)
{
    std::vector<void *> out;
    for (auto &kv : m)
        out.push_back(kv.second);
    return out;
}

unsigned test_seed()
{
    const char *s = getenv("WKP_SKIPLIST_SEED");
    return s ? (unsigned)strtoul(s, nullptr, 10) : std::random_device{}();
}

// Random insertions, finds, removals (by key and through the indexes),
// appends, joins and emptying, checked against the model after every batch.
void run_model(bool with_indexes, unsigned seed)
{
    SCOPED_TRACE("seed " + std::to_string(seed) + " (rerun with WKP_SKIPLIST_SEED=" + std::to_string(seed) + ")");
    std::mt19937 rng(seed);
    auto rnd = [&](int n) { return (int)(rng() % (unsigned)n); };
    Pool pool;
    List list;
    make_list(list, with_indexes);
    Skiplist *l = &list.l;
    std::map<int, Elem *> model;
    const int key_range = 3000;

    for (int batch = 0; batch < 60; batch++) {
        for (int op = 0; op < 150; op++) {
            int kind = rnd(100);
            int key = rnd(key_range);
            if (kind < 40) {
                Elem *e = pool.make(key);
                SkiplistNode *n = sl_insert(l, e);
                if (model.count(key)) {
                    ASSERT_EQ(n, nullptr) << "duplicate " << key << " accepted";
                } else {
                    ASSERT_NE(n, nullptr) << "insert " << key << " refused";
                    ASSERT_EQ(n->data, e);
                    ASSERT_EQ(n->down, nullptr);
                    model[key] = e;
                }
            } else if (kind < 60) {
                SkiplistNode *n = (SkiplistNode *)&model;  // must be overwritten
                void *found = sl_find(l, &key, &n);
                auto it = model.find(key);
                void *want = it == model.end() ? nullptr : it->second;
                ASSERT_EQ(found, want) << "find " << key;
                ASSERT_EQ(n ? n->data : nullptr, want);
                if (with_indexes && want) {
                    int alt = alt_of(key);
                    ASSERT_EQ(sl_find_compare(l, &alt, &n, alt_cmp), want);
                    ASSERT_EQ(n->list->compare, alt_cmp);
                    ASSERT_EQ(sl_find_compare(l, &key, &n, rev_cmp), want);
                }
            } else if (kind < 80) {
                released().clear();
                auto it = model.find(key);
                int r;
                if (with_indexes && rnd(2)) {
                    Elem probe{key, alt_of(key)};  // through an index the key is element-shaped
                    r = sl_remove_compare(l, &probe, record_release, rnd(2) ? alt_cmp : rev_cmp);
                } else {
                    r = sl_remove(l, &key, record_release);
                }
                if (it == model.end()) {
                    ASSERT_EQ(r, 0) << "remove of absent " << key;
                    ASSERT_TRUE(released().empty());
                } else {
                    ASSERT_EQ(r, l->height) << "remove " << key;
                    ASSERT_EQ(released(), std::vector<void *>{it->second});
                    model.erase(it);
                }
            } else if (kind < 90) {
                // Append: above the greatest key it is accepted, otherwise refused.
                int max = model.empty() ? -1 : model.rbegin()->first;
                bool above = model.empty() || rnd(3) != 0;
                int k = above ? max + 1 + rnd(5) : (rnd(2) ? max : rnd(max + 1));
                Elem *e = pool.make(k);
                int height_before = l->height;
                SkiplistNode *n = sl_append(l, e);
                if (above && !with_indexes) {
                    ASSERT_NE(n, nullptr) << "append " << k;
                    ASSERT_EQ(n->data, e);
                    model[k] = e;
                } else {
                    ASSERT_EQ(n, nullptr) << "append " << k << " accepted";
                    ASSERT_EQ(l->height, height_before);
                }
            } else if (kind < 99) {
                // Join a second list, made and filled on the spot.  An empty
                // list1 would trade its registry away with the records.
                if (with_indexes && model.empty())
                    continue;
                List other;
                make_list(other, false);
                int max = model.empty() ? -1 : model.rbegin()->first;
                bool above = rnd(4) != 0;
                int lo = above ? max + 1 : rnd(max + 2);
                std::map<int, Elem *> add;
                int count = rnd(30);
                for (int i = 0; i < count; i++) {
                    int k = lo + rnd(200);
                    Elem *e = pool.make(k);
                    if (sl_insert(&other.l, e))
                        add[k] = e;
                }
                ASSERT_EQ(check_list(&other.l), "");
                bool ok = model.empty() || add.empty() ||
                          (!with_indexes && add.begin()->first > model.rbegin()->first);
                std::vector<void *> other_before = level1(&other.l);
                Skiplist *r = sl_concat(l, &other.l);
                if (ok) {
                    ASSERT_EQ(r, l);
                    ASSERT_EQ(other.l.height, 0);
                    ASSERT_EQ(other.l.size, 0);
                    ASSERT_EQ(other.l.top, nullptr);
                    ASSERT_EQ(other.l.bottom, nullptr);
                    model.insert(add.begin(), add.end());
                } else {
                    ASSERT_EQ(r, nullptr);
                    ASSERT_EQ(level1(&other.l), other_before);
                }
                ASSERT_EQ(check_list(&other.l), "");
                ASSERT_EQ(check_list(l), "") << "after concat";
            } else if (rnd(8) == 0) {
                released().clear();
                sl_destroy(l, record_release);
                ASSERT_EQ(released(), model_elements(model)) << "destroy releases in ascending order";
                model.clear();
            }
        }
        ASSERT_EQ(check_list(l), "") << "after batch " << batch;
        std::vector<void *> want = model_elements(model);
        ASSERT_EQ(l->size, (int)model.size());
        ASSERT_EQ(walk_forward(l), want);
        std::reverse(want.begin(), want.end());
        ASSERT_EQ(walk_backward(l), want);
        for (Skiplist *ix : index_lists(l)) {
            std::vector<void *> in_index = level1(ix);
            std::sort(in_index.begin(), in_index.end());
            std::vector<void *> all = model_elements(model);
            std::sort(all.begin(), all.end());
            ASSERT_EQ(in_index, all) << "index list holds other elements than the main list";
        }
    }
}

TEST(SkiplistModel, RandomOperationsMatchMap)
{
    run_model(false, test_seed());
}

TEST(SkiplistModel, RandomOperationsWithIndexListsMatchMap)
{
    run_model(true, test_seed());
}

}  // namespace
