// The skiplist's index lists: chains kept through insertion, lookups under
// each order, removal of an element and of a whole column.

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

}  // namespace
