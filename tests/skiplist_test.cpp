// The skiplist against a std::map model driven by seeded random operations,
// plus the edge cases of its operations.  The random state of the module is
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

// Owns the elements of a test; pointers stay valid.
struct Pool {
    std::deque<Elem> elems;
    Elem *make(int key)
    {
        elems.push_back(Elem{key, alt_of(key)});
        return &elems.back();
    }
};

struct List {
    Skiplist l;
    List() { sl_init(&l); }
    ~List() { drop_list(&l); }
    List(const List &) = delete;
    List &operator=(const List &) = delete;
};

void make_list(List &list, bool with_indexes)
{
    sl_set_compare(&list.l, elem_cmp, key_cmp);
    if (with_indexes) {
        sl_set_compare(&list.l, alt_cmp, alt_key_cmp);  // both set: adds an index
        sl_add_index(&list.l, rev_cmp, rev_key_cmp);
    }
}

std::vector<void *> walk_forward(Skiplist *l)
{
    std::vector<void *> out;
    SkiplistNode *n = sl_first(l);
    for (void *e = n ? n->data : nullptr; e; e = sl_next(l, &n))
        out.push_back(e);
    EXPECT_EQ(n, nullptr);
    return out;
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

// Index lists: a late index lands in the middle of the chains, lookups and
// removals go through any index, and a removed element leaves no node
// behind in any list.
TEST(SkiplistIndexes, ChainsLookupsAndRemoval)
{
    Pool pool;
    List list;
    Skiplist *l = &list.l;
    sl_set_compare(l, elem_cmp, key_cmp);
    sl_add_index(l, alt_cmp, alt_key_cmp);
    std::vector<Elem *> elems;
    for (int i = 0; i < 200; i++) {
        Elem *e = pool.make((i * 37) % 211);
        ASSERT_NE(sl_insert(l, e), nullptr);
        elems.push_back(e);
    }
    sl_add_index(l, rev_cmp, rev_key_cmp);
    sl_add_index(l, alt_cmp, key_cmp);  // already there
    ASSERT_EQ(index_lists(l).size(), 2u);
    EXPECT_LT((uintptr_t)index_lists(l)[0]->compare, (uintptr_t)index_lists(l)[1]->compare);
    ASSERT_EQ(check_list(l), "");
    for (int i = 200; i < 211; i++)
        ASSERT_NE(sl_insert(l, pool.make((i * 37) % 211)), nullptr);
    ASSERT_EQ(check_list(l), "");

    // Each index list walks in its own order.
    for (Skiplist *ix : index_lists(l)) {
        std::vector<void *> w = level1(ix);
        ASSERT_EQ(w.size(), 211u);
        for (size_t i = 1; i < w.size(); i++)
            ASSERT_LT(ix->compare(w[i - 1], w[i]), 0);
    }

    // Lookup through the alt index: the node belongs to that list and the
    // cursor walks in alt order.
    Elem *e = elems[17];
    SkiplistNode *n = nullptr;
    ASSERT_EQ(sl_find_compare(l, &e->alt, &n, alt_cmp), e);
    ASSERT_NE(n, nullptr);
    EXPECT_EQ(n->list->compare, alt_cmp);
    if (void *next = sl_next(l, &n)) {
        EXPECT_GT(((Elem *)next)->alt, e->alt);
    }
    ASSERT_EQ(sl_find_compare(l, &e->key, &n, rev_cmp), e);
    EXPECT_EQ(n->list->compare, rev_cmp);
    ASSERT_EQ(sl_find_compare(l, &e->key, &n, elem_cmp), e);
    EXPECT_EQ(n->list, l);
    int missing = 5000;
    EXPECT_EQ(sl_find_compare(l, &missing, &n, alt_cmp), nullptr);
    EXPECT_EQ(n, nullptr);

    // Removal through each kind of search.
    auto in_any_list = [&](Elem *x) {
        std::vector<Skiplist *> all = index_lists(l);
        all.push_back(l);
        for (Skiplist *s : all)
            for (int level = 1; level <= s->height; level++) {
                SkiplistNode *h = s->bottom;
                for (int i = 1; i < level; i++)
                    h = h->up;
                for (SkiplistNode *m = h->next; m; m = m->next)
                    if (m->data == x)
                        return true;
            }
        return false;
    };
    struct Removal {
        int which;
        SkiplistComparator compare;  // null: sl_remove
    };
    const Removal removals[] = {{3, alt_cmp}, {4, rev_cmp}, {5, key_cmp}, {6, nullptr}};
    for (const Removal &r : removals) {
        Elem *x = elems[r.which];
        Elem probe = *x;
        released().clear();
        int height = r.compare == nullptr  ? sl_remove(l, &x->key, record_release)
                     : r.compare == key_cmp ? sl_remove_compare(l, &x->key, record_release, key_cmp)
                                            : sl_remove_compare(l, &probe, record_release, r.compare);
        EXPECT_EQ(height, l->height);
        EXPECT_EQ(released(), std::vector<void *>{x}) << "removal " << r.which;
        EXPECT_FALSE(in_any_list(x)) << "removal " << r.which;
        ASSERT_EQ(check_list(l), "") << "removal " << r.which;
        EXPECT_EQ(sl_remove_compare(l, &probe, record_release, alt_cmp), 0);
    }
    EXPECT_EQ(l->size, 207);
}

// Removing a column directly: a null or header node changes nothing.
TEST(SkiplistIndexes, ColumnRemoval)
{
    Pool pool;
    List list;
    Skiplist *l = &list.l;
    sl_set_compare(l, elem_cmp, key_cmp);
    sl_add_index(l, alt_cmp, alt_key_cmp);
    for (int k = 0; k < 100; k++)
        sl_insert(l, pool.make(k));
    EXPECT_EQ(sli_remove(l, nullptr, record_release), 0);
    int size = l->size;
    EXPECT_EQ(sli_remove(l, l->bottom, record_release), 0);
    EXPECT_EQ(l->size, size);
    SkiplistNode *n;
    int key = 12;
    Elem *x = (Elem *)sl_find(l, &key, &n);
    released().clear();
    EXPECT_EQ(sli_remove(l, n, record_release), l->height);
    EXPECT_EQ(released(), std::vector<void *>{x});
    EXPECT_EQ(index_lists(l)[0]->size, size - 1);
    EXPECT_EQ(check_list(l), "");

    // Given a node above level 1, the whole column goes, chain included.
    SkiplistNode *tall = sl_first(l);
    while (tall && !tall->up)
        tall = tall->next;
    ASSERT_NE(tall, nullptr);
    void *gone = tall->data;
    released().clear();
    EXPECT_EQ(sli_remove(l, tall->up, record_release), l->height);
    EXPECT_EQ(released(), std::vector<void *>{gone});
    EXPECT_EQ(l->size, size - 2);
    EXPECT_EQ(index_lists(l)[0]->size, size - 2);
    EXPECT_EQ(check_list(l), "");
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
