// Shared by the skiplist tests: an element type with two orders, its
// comparators, a walker that checks every structural invariant of a list
// (levels, links, header column, index chains), and the pool of elements,
// the list and the forward walk the tests build on.
#pragma once

#include "skiplist/skiplist.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <deque>
#include <string>
#include <vector>

namespace sl_test {

// `key` orders the main list; `alt` orders an index list, `-key` another.
struct Elem {
    int key;
    int alt;
};

inline int sign(long long d) { return d < 0 ? -1 : (d > 0 ? 1 : 0); }

inline int elem_cmp(const void *a, const void *b)
{
    return sign((long long)((const Elem *)a)->key - ((const Elem *)b)->key);
}
inline int key_cmp(const void *k, const void *b) { return sign((long long)*(const int *)k - ((const Elem *)b)->key); }
inline int alt_cmp(const void *a, const void *b)
{
    return sign((long long)((const Elem *)a)->alt - ((const Elem *)b)->alt);
}
inline int alt_key_cmp(const void *k, const void *b)
{
    return sign((long long)*(const int *)k - ((const Elem *)b)->alt);
}
inline int rev_cmp(const void *a, const void *b) { return elem_cmp(b, a); }
inline int rev_key_cmp(const void *k, const void *b)
{
    return sign((long long)((const Elem *)b)->key - *(const int *)k);
}

// A bijection of the keys that orders them differently.
inline int alt_of(int key) { return (key * 7919) ^ 0x2a5; }

// Elements in the order of level 1.
inline std::vector<void *> level1(const Skiplist *l)
{
    std::vector<void *> out;
    for (SkiplistNode *n = l->bottom ? l->bottom->next : nullptr; n; n = n->next)
        out.push_back(n->data);
    return out;
}

// Height of the column whose level-1 node is n.
inline int column_height(const SkiplistNode *n)
{
    int h = 0;
    for (; n; n = n->up)
        h++;
    return h;
}

// Index lists of l in registry order.
inline std::vector<Skiplist *> index_lists(const Skiplist *l)
{
    std::vector<Skiplist *> out;
    if (l->indexes)
        for (void *p : level1(l->indexes))
            out.push_back((Skiplist *)p);
    return out;
}

// Checks the structure of l; returns "" or a description of the first fault.
inline std::string check_structure(const Skiplist *l)
{
    if (l->height < 0)
        return "negative height";
    if (l->height == 0) {
        if (l->top || l->bottom || l->top_end || l->bottom_end)
            return "height 0 with level pointers set";
        if (l->size != 0)
            return "height 0 with size " + std::to_string(l->size);
        return "";
    }
    if (!l->top || !l->bottom)
        return "levels without top/bottom";
    if (l->top_end != l->top || l->bottom_end != l->bottom)
        return "top_end/bottom_end not at the header column";
    if (l->bottom->down)
        return "bottom header has a down link";

    std::vector<SkiplistNode *> headers;
    for (SkiplistNode *h = l->bottom; h; h = h->up) {
        if (h->data || h->prev || h->list != l)
            return "bad header node on level " + std::to_string(headers.size() + 1);
        if (!headers.empty() && (h->down != headers.back()))
            return "header column down link broken";
        headers.push_back(h);
        if (headers.size() > 1000)
            return "header column does not end";
    }
    if ((int)headers.size() != l->height)
        return "header column has " + std::to_string(headers.size()) + " nodes, height " + std::to_string(l->height);
    if (headers.back() != l->top)
        return "top is not the highest header";

    std::vector<const SkiplistNode *> below;
    for (int level = 1; level <= l->height; level++) {
        std::vector<const SkiplistNode *> here;
        size_t j = 0;  // position in `below` for the subset check
        const SkiplistNode *prev = headers[level - 1];
        std::string at = " on level " + std::to_string(level);
        for (const SkiplistNode *n = prev->next; n; prev = n, n = n->next) {
            if (n->prev != prev)
                return "prev link broken" + at;
            if (n->list != l)
                return "node list field wrong" + at;
            if (!n->data)
                return "null element" + at;
            if (prev->data && l->compare(n->data, prev->data) <= 0)
                return "order broken" + at;
            if (level == l->height && n->up)
                return "node above the top level" + at;
            if (n->up && n->up->down != n)
                return "up/down broken" + at;
            if (level == 1) {
                if (n->down)
                    return "level-1 node has down link";
            } else {
                if (!n->down || n->down->up != n || n->down->data != n->data)
                    return "down link broken" + at;
                if (n->prev_index || n->next_index)
                    return "index link above level 1" + at;
                while (j < below.size() && below[j] != n->down)
                    j++;
                if (j == below.size())
                    return "down node not on the level below" + at;
            }
            here.push_back(n);
            if (here.size() > 10000000)
                return "level does not end" + at;
        }
        if (level == 1 && (int)here.size() != l->size)
            return "level 1 holds " + std::to_string(here.size()) + " elements, size " + std::to_string(l->size);
        below = here;
    }
    return "";
}

// Checks l, its registry, its index lists and every element's index chain.
inline std::string check_list(const Skiplist *l)
{
    std::string e = check_structure(l);
    if (!e.empty())
        return e;
    std::vector<Skiplist *> idx;
    if (l->indexes) {
        if (l->indexes->indexes)
            return "registry has a registry";
        if (!(e = check_structure(l->indexes)).empty())
            return "registry: " + e;
        idx = index_lists(l);
        for (size_t i = 0; i < idx.size(); i++) {
            if (idx[i]->indexes)
                return "index list has a registry";
            if (!(e = check_structure(idx[i])).empty())
                return "index list " + std::to_string(i) + ": " + e;
            if (idx[i]->size != l->size)
                return "index list " + std::to_string(i) + " holds " + std::to_string(idx[i]->size) +
                       " elements, main list " + std::to_string(l->size);
        }
    }
    // Each element's chain visits one node per index list, in registry
    // order; with the sizes equal, that covers every index node.
    for (SkiplistNode *n = l->bottom ? l->bottom->next : nullptr; n; n = n->next) {
        if (n->prev_index)
            return "main-list node has prev_index";
        const SkiplistNode *c = n;
        for (Skiplist *ix : idx) {
            const SkiplistNode *d = c->next_index;
            if (!d || d->prev_index != c || d->list != ix || d->data != n->data || d->down)
                return "index chain broken";
            c = d;
        }
        if (c->next_index)
            return "index chain too long";
    }
    return "";
}

// Records the elements handed to a release function, in order.
inline std::vector<void *> &released()
{
    static std::vector<void *> r;
    return r;
}
inline void record_release(void *e) { released().push_back(e); }

// Releases everything a list made by sl_init owns, the index lists and
// the registry included (the module never releases those itself).
inline void drop_list(Skiplist *l)
{
    sl_destroy(l, nullptr);
    if (l->indexes) {
        for (Skiplist *ix : index_lists(l)) {
            sl_destroy(ix, nullptr);
            free(ix);
        }
        sl_destroy(l->indexes, nullptr);
        free(l->indexes);
        l->indexes = nullptr;
    }
}


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

// The elements in order, walked with sl_first and sl_next.
inline std::vector<void *> walk_forward(Skiplist *l)
{
    std::vector<void *> out;
    SkiplistNode *n = sl_first(l);
    for (void *e = n ? n->data : nullptr; e; e = sl_next(l, &n))
        out.push_back(e);
    EXPECT_EQ(n, nullptr);
    return out;
}

}  // namespace sl_test
