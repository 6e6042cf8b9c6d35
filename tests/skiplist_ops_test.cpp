// The edge cases of the skiplist's operations: lists without comparators,
// empty lists, set_compare, insertion, find, prev, removal and the height,
// destroy, append, concat, print, and the caller errors that stop the
// process. Index lists are in skiplist_indexes_test.cpp, the random model
// in skiplist_test.cpp.

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

TEST(Skiplist, WithoutComparatorsRefusesAndFindsNothing)
{
    Pool pool;
    List list;
    Skiplist *l = &list.l;
    EXPECT_EQ(sl_insert(l, pool.make(1)), nullptr);
    EXPECT_EQ(l->height, 0);
    EXPECT_EQ(l->top, nullptr);
    int key = 1;
    SkiplistNode *sentinel = (SkiplistNode *)&pool, *n = sentinel;
    EXPECT_EQ(sl_find(l, &key, &n), nullptr);
    EXPECT_EQ(n, sentinel) << "node_out written without a comparator";
    EXPECT_EQ(sl_remove(l, &key, record_release), 0);
    EXPECT_EQ(sl_append(l, pool.make(2)), nullptr);
    EXPECT_EQ(sl_insert_compare(l, pool.make(3), nullptr), nullptr);
    EXPECT_EQ(l->height, 0);
    EXPECT_EQ(l->top, nullptr);
}

TEST(Skiplist, EmptyListWithComparators)
{
    List list;
    Skiplist *l = &list.l;
    sl_set_compare(l, elem_cmp, key_cmp);
    int key = 3;
    SkiplistNode *n = (SkiplistNode *)l;
    EXPECT_EQ(sl_find(l, &key, &n), nullptr);
    EXPECT_EQ(n, nullptr);
    EXPECT_EQ(sl_find(l, &key, nullptr), nullptr);
    EXPECT_EQ(sl_first(l), nullptr);
    n = nullptr;
    EXPECT_EQ(sl_next(l, &n), nullptr);
    EXPECT_EQ(sl_prev(l, &n), nullptr);
    n = (SkiplistNode *)l;
    EXPECT_EQ(sl_find_steps(l, &key, &n, key_cmp), 0);
    EXPECT_EQ(n, nullptr);
    released().clear();
    EXPECT_EQ(sl_remove(l, &key, record_release), 0);
    EXPECT_TRUE(released().empty());
}

TEST(Skiplist, SetCompareReplacesOneOrAddsIndex)
{
    List a;
    a.l.compare = elem_cmp;  // only one set: both are replaced
    sl_set_compare(&a.l, alt_cmp, alt_key_cmp);
    EXPECT_EQ(a.l.compare, alt_cmp);
    EXPECT_EQ(a.l.compare_key, alt_key_cmp);
    EXPECT_EQ(a.l.indexes->size, 0);

    sl_set_compare(&a.l, rev_cmp, rev_key_cmp);  // both set: an index
    EXPECT_EQ(a.l.compare, alt_cmp);
    EXPECT_EQ(a.l.compare_key, alt_key_cmp);
    ASSERT_EQ(a.l.indexes->size, 1);
    EXPECT_EQ(index_lists(&a.l)[0]->compare, rev_cmp);
    EXPECT_EQ(index_lists(&a.l)[0]->compare_key, rev_key_cmp);

    sl_add_index(&a.l, rev_cmp, key_cmp);  // comparator already indexed
    EXPECT_EQ(a.l.indexes->size, 1);
    sl_add_index(&a.l, nullptr, key_cmp);  // no comparator: no index
    EXPECT_EQ(a.l.indexes->size, 1);
    EXPECT_EQ(index_lists(&a.l)[0]->compare_key, rev_key_cmp);

    Skiplist bare;  // no registry: takes no index
    sli_init(&bare);
    sl_set_compare(&bare, elem_cmp, key_cmp);
    sl_set_compare(&bare, alt_cmp, alt_key_cmp);
    EXPECT_EQ(bare.indexes, nullptr);
    EXPECT_EQ(bare.compare, elem_cmp);
}

TEST(Skiplist, FirstInsertionAndDuplicate)
{
    Pool pool;
    List list;
    Skiplist *l = &list.l;
    sl_set_compare(l, elem_cmp, key_cmp);
    Elem *e = pool.make(5);
    SkiplistNode *n = sl_insert(l, e);
    ASSERT_NE(n, nullptr);
    EXPECT_TRUE(l->height == 1 || l->height == 2) << l->height;
    EXPECT_EQ(column_height(n), l->height);
    EXPECT_EQ(l->size, 1);

    // Equal elements are refused; the list may grow an empty level each time.
    for (int i = 0; i < 20; i++) {
        int height = l->height;
        EXPECT_EQ(sl_insert(l, pool.make(5)), nullptr);
        EXPECT_EQ(l->size, 1);
        EXPECT_TRUE(l->height == height || l->height == height + 1);
        ASSERT_EQ(check_list(l), "");
    }
    EXPECT_EQ(level1(l), std::vector<void *>{e});
}

// With height_limit 1 every column has height 1, so step counts are exact.
TEST(Skiplist, FindStepsOnSingleLevelLists)
{
    struct Case {
        std::vector<int> keys;
        int key;
        int steps;
        bool found;
    };
    const Case cases[] = {
        {{10}, 10, 0, true},  {{10}, 20, 2, false},          {{10}, 5, 1, false},
        {{10, 20, 30, 40, 50}, 10, 0, true},  {{10, 20, 30, 40, 50}, 40, 3, true},
        {{10, 20, 30, 40, 50}, 25, 3, false}, {{10, 20, 30, 40, 50}, 60, 6, false},
    };
    for (const Case &c : cases) {
        Pool pool;
        List list;
        Skiplist *l = &list.l;
        sl_set_compare(l, elem_cmp, key_cmp);
        l->height_limit = 1;
        for (int k : c.keys)
            ASSERT_NE(sl_insert(l, pool.make(k)), nullptr);
        ASSERT_EQ(l->height, 1);
        SkiplistNode *n = (SkiplistNode *)l;
        EXPECT_EQ(sl_find_steps(l, &c.key, &n, key_cmp), c.steps) << "key " << c.key;
        if (c.found) {
            ASSERT_NE(n, nullptr);
            EXPECT_EQ(((Elem *)n->data)->key, c.key);
        } else {
            EXPECT_EQ(n, nullptr);
        }
    }
}

TEST(Skiplist, PrevStopsOnHeaderThenFallsOff)
{
    Pool pool;
    List list;
    Skiplist *l = &list.l;
    sl_set_compare(l, elem_cmp, key_cmp);
    for (int k : {3, 1, 2})
        sl_insert(l, pool.make(k));
    SkiplistNode *first = sl_first(l), *n = first;
    EXPECT_EQ(sl_prev(l, &n), nullptr);
    EXPECT_EQ(n, l->bottom);
    EXPECT_EQ(sl_next(l, &n), first->data);
    EXPECT_EQ(n, first);
    EXPECT_EQ(sl_prev(l, &n), nullptr);
    EXPECT_EQ(sl_prev(l, &n), nullptr);
    EXPECT_EQ(n, nullptr);
    EXPECT_EQ(sl_prev(l, &n), nullptr);
}

TEST(Skiplist, RemovingTheOnlyElementDropsEveryLevel)
{
    Pool pool;
    List list;
    Skiplist *l = &list.l;
    sl_set_compare(l, elem_cmp, key_cmp);
    Elem *e = pool.make(7);
    sl_insert(l, e);
    int key = 7;
    released().clear();
    EXPECT_EQ(sl_remove(l, &key, record_release), 0);
    EXPECT_EQ(released(), std::vector<void *>{e});
    EXPECT_EQ(l->height, 0);
    EXPECT_EQ(l->size, 0);
    EXPECT_EQ(l->top, nullptr);
    EXPECT_EQ(l->bottom, nullptr);
    EXPECT_EQ(l->top_end, nullptr);
    EXPECT_EQ(l->bottom_end, nullptr);
    ASSERT_NE(sl_insert(l, pool.make(8)), nullptr);
    EXPECT_GE(l->height, 1);
    EXPECT_EQ(check_list(l), "");
}

TEST(Skiplist, RemovingTheTallestColumnLowersHeight)
{
    Pool pool;
    List list;
    Skiplist *l = &list.l;
    sl_set_compare(l, elem_cmp, key_cmp);
    // Grow the list until one column alone reaches the top level.
    SkiplistNode *tallest = nullptr;
    int second = 0;
    for (int k = 0; k < 100000 && !tallest; k++) {
        sl_insert(l, pool.make(k));
        if (k < 8)
            continue;
        int top_count = 0;
        SkiplistNode *top_node = nullptr;
        second = 0;
        for (SkiplistNode *n = sl_first(l); n; n = n->next) {
            int h = column_height(n);
            if (h == l->height) {
                top_count++;
                top_node = n;
            } else {
                second = std::max(second, h);
            }
        }
        if (top_count == 1 && second >= 1 && second < l->height)
            tallest = top_node;
    }
    ASSERT_NE(tallest, nullptr);
    ASSERT_EQ(check_list(l), "");
    int key = ((Elem *)tallest->data)->key;
    int size = l->size;
    EXPECT_EQ(sl_remove(l, &key, nullptr), second);
    EXPECT_EQ(l->height, second);
    EXPECT_EQ(l->size, size - 1);
    EXPECT_EQ(sl_find(l, &key, nullptr), nullptr);
    EXPECT_EQ(check_list(l), "");
}

// Levels left empty by refused insertions go with the next removal.
TEST(Skiplist, RemovalDropsLevelsLeftEmptyByRefusals)
{
    Pool pool;
    List list;
    Skiplist *l = &list.l;
    sl_set_compare(l, elem_cmp, key_cmp);
    sl_insert(l, pool.make(1));
    SkiplistNode *keep = sl_first(l);
    sl_insert(l, pool.make(2));
    auto tallest = [&] { return std::max(column_height(sl_first(l)), column_height(sl_first(l)->next)); };
    for (int i = 0; i < 100000 && l->height <= tallest(); i++)
        ASSERT_EQ(sl_insert(l, pool.make(1)), nullptr);
    ASSERT_GT(l->height, tallest());
    ASSERT_EQ(check_list(l), "");
    int key = 2;
    EXPECT_EQ(sl_remove(l, &key, nullptr), column_height(keep));
    EXPECT_EQ(l->height, column_height(keep));
    EXPECT_EQ(check_list(l), "");
}

TEST(Skiplist, DestroyReleasesInOrderAndLeavesListUsable)
{
    Pool pool;
    List list;
    Skiplist *l = &list.l;
    sl_set_compare(l, elem_cmp, key_cmp);
    sl_add_index(l, alt_cmp, alt_key_cmp);
    std::vector<int> keys = {42, 7, 19, 3, 88, 61, 25};
    std::vector<void *> sorted;
    for (int k : keys)
        sl_insert(l, pool.make(k));
    sorted = walk_forward(l);
    released().clear();
    sl_destroy(l, record_release);
    EXPECT_EQ(released(), sorted);
    EXPECT_EQ(l->height, 0);
    EXPECT_EQ(l->size, 0);
    EXPECT_EQ(l->top, nullptr);
    EXPECT_EQ(l->bottom, nullptr);
    EXPECT_EQ(l->compare, elem_cmp);
    // The index list stays registered but holds nothing.
    ASSERT_EQ(index_lists(l).size(), 1u);
    EXPECT_EQ(index_lists(l)[0]->size, 0);
    EXPECT_EQ(index_lists(l)[0]->top, nullptr);

    Elem *e = pool.make(5);
    ASSERT_NE(sl_insert(l, e), nullptr);
    int alt = e->alt;
    SkiplistNode *n;
    EXPECT_EQ(sl_find_compare(l, &alt, &n, alt_cmp), e);
    EXPECT_EQ(check_list(l), "");

    released().clear();
    sl_destroy(l, nullptr);
    sl_destroy(l, record_release);  // already empty
    EXPECT_TRUE(released().empty());
    EXPECT_EQ(e->key, 5);
}

TEST(Skiplist, AppendRefusesWhatDoesNotSortLast)
{
    Pool pool;
    List list;
    Skiplist *l = &list.l;
    sl_set_compare(l, elem_cmp, key_cmp);
    Elem *first = pool.make(10);
    SkiplistNode *n = sl_append(l, first);  // without nodes: as sl_insert
    ASSERT_NE(n, nullptr);
    EXPECT_EQ(sl_first(l), n);
    EXPECT_GE(l->height, 1);
    for (int k : {10, 9, -5}) {
        int height = l->height;
        EXPECT_EQ(sl_append(l, pool.make(k)), nullptr) << k;
        EXPECT_EQ(l->height, height);
    }
    for (int k = 11; k < 200; k++)
        ASSERT_NE(sl_append(l, pool.make(k)), nullptr);
    EXPECT_EQ(l->size, 190);
    EXPECT_EQ(check_list(l), "");
    int key = 150;
    EXPECT_NE(sl_find(l, &key, nullptr), nullptr);

    // A list carrying index lists only takes elements through sl_insert.
    List indexed;
    sl_set_compare(&indexed.l, elem_cmp, key_cmp);
    sl_add_index(&indexed.l, alt_cmp, alt_key_cmp);
    ASSERT_NE(sl_insert(&indexed.l, pool.make(1)), nullptr);
    EXPECT_EQ(sl_append(&indexed.l, pool.make(2)), nullptr);
    EXPECT_EQ(indexed.l.size, 1);
    EXPECT_EQ(check_list(&indexed.l), "");
}

// Fills a list with the given keys; height_limit shapes its levels.
void fill(List &list, Pool &pool, int lo, int hi, int height_limit)
{
    sl_set_compare(&list.l, elem_cmp, key_cmp);
    list.l.height_limit = height_limit;
    for (int k = lo; k < hi; k++)
        ASSERT_NE(sl_insert(&list.l, pool.make(k)), nullptr);
    list.l.height_limit = 0;
}

TEST(Skiplist, ConcatJoinsListsOfEitherHeight)
{
    // {height_limit of list1, of list2}: 1 gives a one-level list, 6 a tall one.
    const int shapes[][2] = {{1, 6}, {6, 1}, {6, 6}, {1, 1}};
    for (auto &shape : shapes) {
        Pool pool;
        List a, b;
        fill(a, pool, 0, 60, shape[0]);
        fill(b, pool, 60, 130, shape[1]);
        int h1 = a.l.height, h2 = b.l.height;
        if (shape[0] != shape[1]) {
            ASSERT_NE(h1, h2) << "shapes did not differ";
        }
        std::vector<void *> want = walk_forward(&a.l), tail = walk_forward(&b.l);
        want.insert(want.end(), tail.begin(), tail.end());
        ASSERT_EQ(sl_concat(&a.l, &b.l), &a.l);
        EXPECT_EQ(a.l.height, std::max(h1, h2));
        EXPECT_EQ(a.l.size, 130);
        EXPECT_EQ(walk_forward(&a.l), want);
        EXPECT_EQ(check_list(&a.l), "");
        EXPECT_EQ(check_list(&b.l), "");
        EXPECT_EQ(b.l.compare, elem_cmp);
        for (int k : {0, 59, 60, 129}) {
            SkiplistNode *n;
            EXPECT_NE(sl_find(&a.l, &k, &n), nullptr) << k;
        }
        // list2 is reusable.
        ASSERT_NE(sl_insert(&b.l, pool.make(1)), nullptr);
        EXPECT_EQ(check_list(&b.l), "");
    }
}

TEST(Skiplist, ConcatWithAnEmptySideOrOverlap)
{
    Pool pool;
    {   // Empty list1: the records are exchanged, comparators and registry too.
        List a, b;
        sl_set_compare(&a.l, elem_cmp, key_cmp);
        sl_set_compare(&b.l, rev_cmp, rev_key_cmp);
        for (int k : {5, 9, 1})
            sl_insert(&b.l, pool.make(k));
        Skiplist *a_registry = a.l.indexes, *b_registry = b.l.indexes;
        std::vector<void *> want = walk_forward(&b.l);
        int height = b.l.height;
        ASSERT_EQ(sl_concat(&a.l, &b.l), &a.l);
        EXPECT_EQ(walk_forward(&a.l), want);
        EXPECT_EQ(a.l.compare, rev_cmp);
        EXPECT_EQ(a.l.compare_key, rev_key_cmp);
        EXPECT_EQ(a.l.height, height);
        EXPECT_EQ(a.l.indexes, b_registry);
        EXPECT_EQ(b.l.compare, elem_cmp);
        EXPECT_EQ(b.l.compare_key, key_cmp);
        EXPECT_EQ(b.l.indexes, a_registry);
        EXPECT_EQ(b.l.height, 0);
        EXPECT_EQ(b.l.size, 0);
        EXPECT_EQ(b.l.top, nullptr);
        EXPECT_EQ(check_list(&a.l), "");
        EXPECT_EQ(check_list(&b.l), "");
        int key = 9;
        EXPECT_NE(sl_remove(&a.l, &key, nullptr), -1);
        EXPECT_EQ(check_list(&a.l), "");
    }
    {   // Empty list2: list1 unchanged.
        List a, b;
        fill(a, pool, 0, 20, 0);
        sl_set_compare(&b.l, elem_cmp, key_cmp);
        std::vector<void *> want = walk_forward(&a.l);
        int height = a.l.height;
        ASSERT_EQ(sl_concat(&a.l, &b.l), &a.l);
        EXPECT_EQ(walk_forward(&a.l), want);
        EXPECT_EQ(a.l.height, height);
        EXPECT_EQ(b.l.height, 0);
        EXPECT_EQ(check_list(&a.l), "");
    }
    // Overlapping or touching ranges: refused, nothing changes.
    for (int lo2 : {19, 10, -5}) {
        List a, b;
        fill(a, pool, 0, 20, 0);
        fill(b, pool, lo2, lo2 + 10, 0);
        std::vector<void *> wa = walk_forward(&a.l), wb = walk_forward(&b.l);
        EXPECT_EQ(sl_concat(&a.l, &b.l), nullptr) << lo2;
        EXPECT_EQ(walk_forward(&a.l), wa);
        EXPECT_EQ(walk_forward(&b.l), wb);
        EXPECT_EQ(check_list(&a.l), "");
        EXPECT_EQ(check_list(&b.l), "");
    }
    {   // Both holding elements, one carrying an index list: refused.
        List a, b;
        fill(a, pool, 0, 20, 0);
        fill(b, pool, 30, 40, 0);
        sl_add_index(&b.l, alt_cmp, alt_key_cmp);
        EXPECT_EQ(sl_concat(&a.l, &b.l), nullptr);
        EXPECT_EQ(a.l.size, 20);
        EXPECT_EQ(b.l.size, 10);
        EXPECT_EQ(check_list(&b.l), "");
    }
}

std::string printed(Skiplist *l, const char *prefix)
{
    testing::internal::CaptureStderr();
    sl_print(l, prefix);
    return testing::internal::GetCapturedStderr();
}

TEST(Skiplist, PrintShowsEachColumn)
{
    List list;
    Skiplist *l = &list.l;
    EXPECT_EQ(printed(l, "  "), "Skiplist Structure (height: 0)\n");

    Pool pool;
    sl_set_compare(l, elem_cmp, key_cmp);
    for (int k : {2, 1, 3, 5, 4, 6, 8, 7})
        sl_insert(l, pool.make(k));
    // Expected: one line per column of level 1, the header column first,
    // each pointer repeated as many times as the column is high.
    std::string want = "Skiplist Structure (height: " + std::to_string(l->height) + ")\n";
    char buf[64];
    for (SkiplistNode *n = l->bottom; n; n = n->next) {
        want += "> [";
        for (int i = 0; i < column_height(n); i++) {
            snprintf(buf, sizeof buf, "%p ", n->data);
            want += buf;
        }
        want += "\n";
    }
    EXPECT_EQ(printed(l, "> ["), want);
    EXPECT_EQ(want.substr(want.find('\n') + 1, 7), "> [(nil");
}

using SkiplistDeathTest = testing::Test;

TEST_F(SkiplistDeathTest, CallerErrorsStopTheProcess)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    Pool pool;
    List list;
    Skiplist *l = &list.l;
    sl_set_compare(l, elem_cmp, key_cmp);
    sl_insert(l, pool.make(1));
    int key = 1;
    SkiplistNode *n;
    // No index list for the comparator (the registry is empty, then lacks it).
    EXPECT_DEATH(sl_find_compare(l, &key, &n, alt_cmp), "sl_find_compare: Assertion `m' failed");
    EXPECT_DEATH(sl_remove_compare(l, &key, nullptr, alt_cmp), "sl_remove_compare: Assertion `m' failed");
    sl_add_index(l, rev_cmp, rev_key_cmp);
    EXPECT_DEATH(sl_find_compare(l, &key, &n, alt_cmp), "sl_find_compare: Assertion `m' failed");
    EXPECT_DEATH(indexing_comp(nullptr, l), "indexing_comp: Assertion `a' failed");
    EXPECT_DEATH(indexing_comp(l, nullptr), "indexing_comp: Assertion `b' failed");
    EXPECT_DEATH(indexing_compk(nullptr, nullptr), "indexing_compk: Assertion `b' failed");
    // An index under which two elements compare equal.
    sl_add_index(l, alt_cmp, alt_key_cmp);
    Elem *clash = pool.make(2);
    clash->alt = alt_of(1);
    EXPECT_DEATH(sl_insert(l, clash), "sl_insert_compare: Assertion `ni' failed");
    EXPECT_EQ(check_list(l), "");
}

}  // namespace
