// skiplist: ordered container of element pointers with random column
// heights and optional index lists.  The contract is in skiplist.h.

#include "skiplist/skiplist.h"

#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

// Stops the process on a broken container invariant or caller error.  Always
// compiled in: these guard against memory corruption, not slow paths.
#define SL_ASSERT(expr) ((expr) ? (void)0 : sli_assert_fail(#expr, __LINE__, __func__))

[[noreturn]] static void sli_assert_fail(const char *expr, int line, const char *func)
{
    fprintf(stderr, "%s: skiplist.cpp:%d: %s: Assertion `%s' failed.\n", program_invocation_short_name, line,
            func, expr);
    abort();
}

// Random state shared by every list: the last value drawn from lrand48 and
// how many of its bits the flips have used.  32 used means "draw first".
static long random_bits = 0;
static int random_bits_used = 32;

// One coin flip: bit number random_bits_used of the current value, bit 0
// first, 32 flips per drawn value (bit 31 of an lrand48 value is always 0).
static bool sli_flip(void)
{
    if (random_bits_used > 31) {
        random_bits = lrand48();
        random_bits_used = 0;
    }
    bool heads = (random_bits >> random_bits_used) & 1;
    random_bits_used++;
    return heads;
}

// Height of a new column.  Without a height limit a column rises at most one
// level above the list's current height.
static int sli_random_height(const Skiplist *sl)
{
    int h = 1;
    if (sl->height_limit == 0) {
        while (sli_flip()) {
            if (h < sl->height) {
                h++;
            } else {
                h++;
                break;
            }
        }
    } else if (sl->height_limit >= 2) {
        while (sli_flip()) {
            h++;
            if (h >= sl->height_limit)
                break;
        }
    }
    return h;
}

static SkiplistNode *sli_new_node(Skiplist *sl, void *data)
{
    SkiplistNode *n = (SkiplistNode *)calloc(1, sizeof(SkiplistNode));
    SL_ASSERT(n != nullptr);
    n->data = data;
    n->list = sl;
    return n;
}

// Builds the element's column of height h from level 1 upward, each node
// linked right after pred[level - 1] on its level and to the node below it.
// Returns the level-1 node.
static SkiplistNode *sli_link_column(Skiplist *sl, void *element, SkiplistNode **pred, int h)
{
    SkiplistNode *below = nullptr, *first = nullptr;
    for (int level = 1; level <= h; level++) {
        SkiplistNode *p = pred[level - 1];
        SkiplistNode *node = sli_new_node(sl, element);
        node->next = p->next;
        if (p->next)
            p->next->prev = node;
        node->prev = p;
        p->next = node;
        node->down = below;
        if (below)
            below->up = node;
        else
            first = node;
        below = node;
    }
    return first;
}

// Puts a new, empty level on top of a list that has at least one level.
static void sli_add_level(Skiplist *sl)
{
    SkiplistNode *h = (SkiplistNode *)calloc(1, sizeof(SkiplistNode));
    SL_ASSERT(h != nullptr);
    h->list = sl;
    h->down = sl->top;
    sl->top->up = h;
    sl->top = sl->top_end = h;
    sl->height++;
}

static void sli_reset(Skiplist *sl)
{
    sl->height = 0;
    sl->size = 0;
    sl->top = sl->bottom = sl->top_end = sl->bottom_end = nullptr;
}

void sli_init(Skiplist *list)
{
    list->compare = nullptr;
    list->compare_key = nullptr;
    list->height_limit = 0;
    list->indexes = nullptr;
    sli_reset(list);
}

void sl_init(Skiplist *list)
{
    sli_init(list);
    Skiplist *registry = (Skiplist *)malloc(sizeof(Skiplist));
    SL_ASSERT(registry != nullptr);
    sli_init(registry);
    registry->compare = indexing_comp;
    registry->compare_key = indexing_compk;
    list->indexes = registry;
}

void sl_set_compare(Skiplist *list, SkiplistComparator compare, SkiplistComparator compare_key)
{
    if (list->compare && list->compare_key) {
        sl_add_index(list, compare, compare_key);
        return;
    }
    list->compare = compare;
    list->compare_key = compare_key;
}

static inline uintptr_t sli_fn_address(SkiplistComparator f)
{
    return reinterpret_cast<uintptr_t>(f);
}

static inline int sli_cmp_address(uintptr_t a, uintptr_t b)
{
    return a < b ? -1 : (a > b ? 1 : 0);
}

int indexing_comp(const void *a, const void *b)
{
    SL_ASSERT(a);
    SL_ASSERT(b);
    const Skiplist *la = (const Skiplist *)a, *lb = (const Skiplist *)b;
    return sli_cmp_address(sli_fn_address(la->compare), sli_fn_address(lb->compare));
}

int indexing_compk(const void *key, const void *b)
{
    SL_ASSERT(b);
    const Skiplist *lb = (const Skiplist *)b;
    return sli_cmp_address(reinterpret_cast<uintptr_t>(key), sli_fn_address(lb->compare));
}

// The key under which indexing_compk looks up an index list.
static inline const void *sli_comparator_key(SkiplistComparator f)
{
    return reinterpret_cast<const void *>(f);
}

// The search walk: from the top header, right while the key sorts after the
// next node, down otherwise.  Returns the matched column's level-1 node or
// null.  Counts every move right or down in *steps when given.
static SkiplistNode *sli_search(const Skiplist *sl, const void *key, SkiplistComparator cmp, int *steps)
{
    int moves = 0;
    SkiplistNode *n = sl->top;
    SkiplistNode *found = nullptr;
    if (cmp == nullptr)
        n = nullptr;
    while (n) {
        if (n->next) {
            int r = cmp(key, n->next->data);
            if (r == 0) {
                found = n->next;
                while (found->down)
                    found = found->down;
                break;
            }
            if (r > 0) {
                n = n->next;
                moves++;
                continue;
            }
        }
        n = n->down;
        moves++;
    }
    if (steps)
        *steps = moves;
    return found;
}

// Whether the list has a registry that holds at least one index list.
static bool sli_has_index_lists(const Skiplist *sl)
{
    return sl->indexes && sl->indexes->size > 0;
}

SkiplistNode *sl_insert(Skiplist *list, void *element)
{
    if (list->compare == nullptr)
        return nullptr;
    return sl_insert_compare(list, element, list->compare);
}

SkiplistNode *sl_insert_compare(Skiplist *list, void *element, SkiplistComparator compare)
{
    // Without a comparator the element could not be placed; refuse it
    // before any level is made.
    if (compare == nullptr)
        return nullptr;
    Skiplist *sl = list;
    if (sl->top == nullptr) {
        sl->top = (SkiplistNode *)calloc(1, sizeof(SkiplistNode));
        SL_ASSERT(sl->top);
        sl->top->list = sl;
        sl->bottom = sl->top_end = sl->bottom_end = sl->top;
        sl->height = 1;
    }
    int h = sli_random_height(list);
    while (list->height < h)
        sli_add_level(list);

    // Predecessor of the new column on each level 1..h (index level - 1).
    SkiplistNode **pred = (SkiplistNode **)malloc(sizeof(SkiplistNode *) * h);
    SL_ASSERT(pred != nullptr);
    SkiplistNode *n = list->top;
    for (int level = list->height; level >= 1; level--, n = n->down) {
        while (n->next) {
            int r = compare(element, n->next->data);
            if (r == 0) {
                free(pred);
                return nullptr;
            }
            if (r < 0)
                break;
            n = n->next;
        }
        if (level <= h)
            pred[level - 1] = n;
    }

    SkiplistNode *first = sli_link_column(list, element, pred, h);
    free(pred);
    list->size++;

    if (list->indexes && list->indexes->bottom) {
        SkiplistNode *chain = first;
        for (SkiplistNode *r = list->indexes->bottom->next; r; r = r->next) {
            Skiplist *index = (Skiplist *)r->data;
            SkiplistNode *ni = index->compare ? sl_insert_compare(index, element, index->compare) : nullptr;
            SL_ASSERT(ni);
            chain->next_index = ni;
            ni->prev_index = chain;
            chain = ni;
        }
    }
    return first;
}

void sl_add_index(Skiplist *list, SkiplistComparator compare, SkiplistComparator compare_key)
{
    // An index without element comparator could hold no element, and every
    // later insertion would stop on it.
    Skiplist *registry = list->indexes;
    if (registry == nullptr || compare == nullptr)
        return;
    if (sl_find(registry, sli_comparator_key(compare), nullptr))
        return;

    Skiplist *index = (Skiplist *)malloc(sizeof(Skiplist));
    SL_ASSERT(index != nullptr);
    sli_init(index);
    index->compare = compare;
    index->compare_key = compare_key;
    SkiplistNode *slot = sl_insert(registry, index);
    SL_ASSERT(slot != nullptr);

    int position = 1;
    for (SkiplistNode *r = registry->bottom->next; r != slot; r = r->next)
        position++;

    for (SkiplistNode *e = list->bottom ? list->bottom->next : nullptr; e; e = e->next) {
        SkiplistNode *ni = sl_insert_compare(index, e->data, compare);
        SL_ASSERT(ni);
        SkiplistNode *at = e;
        for (int i = 0; i < position - 1; i++)
            at = at->next_index;
        ni->next_index = at->next_index;
        if (at->next_index)
            at->next_index->prev_index = ni;
        ni->prev_index = at;
        at->next_index = ni;
    }
}

void *sl_find(Skiplist *list, const void *key, SkiplistNode **node_out)
{
    if (list->compare == nullptr)
        return nullptr;
    SkiplistNode *n = sli_search(list, key, list->compare_key, nullptr);
    if (node_out)
        *node_out = n;
    return n ? n->data : nullptr;
}

SkiplistNode *sl_first(Skiplist *list)
{
    return list->bottom ? list->bottom->next : nullptr;
}

void *sl_next(Skiplist *, SkiplistNode **cursor)
{
    if (cursor == nullptr || *cursor == nullptr)
        return nullptr;
    *cursor = (*cursor)->next;
    return *cursor ? (*cursor)->data : nullptr;
}

// The index list of `registry` whose element comparator is `compare`, or
// null when the registry has no comparator, no nodes or no such list.
static Skiplist *sli_lookup_index(const Skiplist *registry, SkiplistComparator compare)
{
    if (registry == nullptr || registry->compare == nullptr || registry->top == nullptr)
        return nullptr;
    SkiplistNode *n = sli_search(registry, sli_comparator_key(compare), registry->compare_key, nullptr);
    return n ? (Skiplist *)n->data : nullptr;
}

void *sl_find_compare(Skiplist *list, const void *key, SkiplistNode **node_out, SkiplistComparator compare)
{
    Skiplist *target = list;
    if (compare != list->compare && list->indexes) {
        Skiplist *m = sli_lookup_index(list->indexes, compare);
        SL_ASSERT(m);
        target = m;
    }
    SkiplistNode *n = sli_search(target, key, target->compare_key, nullptr);
    if (node_out)
        *node_out = n;
    return n ? n->data : nullptr;
}

int sl_find_steps(Skiplist *list, const void *key, SkiplistNode **node_out, SkiplistComparator compare_key)
{
    int steps = 0;
    SkiplistNode *n = sli_search(list, key, compare_key, &steps);
    if (node_out)
        *node_out = n;
    return steps;
}

void *sl_prev(Skiplist *, SkiplistNode **cursor)
{
    if (cursor == nullptr || *cursor == nullptr)
        return nullptr;
    *cursor = (*cursor)->prev;
    return *cursor ? (*cursor)->data : nullptr;
}

int sl_remove(Skiplist *list, const void *key, SkiplistFreeFunc free_element)
{
    if (list->compare == nullptr)
        return 0;
    return sl_remove_compare(list, key, free_element, list->compare_key);
}

int sl_remove_compare(Skiplist *list, const void *key, SkiplistFreeFunc free_element, SkiplistComparator compare)
{
    Skiplist *target = list;
    if (compare != list->compare_key && list->indexes) {
        Skiplist *m = sli_lookup_index(list->indexes, compare);
        SL_ASSERT(m);
        target = m;
    }
    SkiplistNode *n = sli_search(target, key, compare, nullptr);
    if (n == nullptr)
        return 0;
    while (n->prev_index)
        n = n->prev_index;
    return sli_remove(list, n, free_element);
}

int sli_remove(Skiplist *list, SkiplistNode *node, SkiplistFreeFunc free_element)
{
    Skiplist *sl = list;
    // A header node (no prev) holds no element: removing it would tear the
    // header column apart.
    if (node == nullptr || node->prev == nullptr)
        return 0;
    // The chain and the release hang on the column's level-1 node.
    while (node->down)
        node = node->down;
    // Index nodes go first, from the end of the chain back to this node.
    if (node->next_index)
        sli_remove(node->next_index->list, node->next_index, nullptr);
    if (node->prev_index)
        node->prev_index->next_index = nullptr;
    sl->size--;

    SkiplistNode *n = node;
    while (n->up)
        n = n->up;
    while (n) {
        SkiplistNode *below = n->down;
        n->prev->next = n->next;
        if (n->next)
            n->next->prev = n->prev;
        if (below == nullptr && free_element && n->data)
            free_element(n->data);
        free(n);
        n = below;
    }

    while (sl->top && sl->top->next == nullptr) {
        SkiplistNode *old = sl->top;
        sl->top = old->down;
        if (sl->top)
            sl->top->up = nullptr;
        free(old);
        sl->height--;
    }
    // The old top header may just have been released: the top end follows
    // the header column down.
    sl->top_end = sl->top;
    if (sl->top == nullptr)
        sl->bottom = sl->bottom_end = nullptr;
    SL_ASSERT(sl->height>=0);
    return sl->height;
}

// Fills ends[0..levels-1] with the last node of levels 1..levels by walking
// right from the top header and descending (expected O(log n) moves).
static void sli_level_ends(const Skiplist *sl, SkiplistNode **ends, int levels)
{
    SkiplistNode *n = sl->top;
    for (int level = sl->height; level >= 1; level--, n = n->down) {
        while (n->next)
            n = n->next;
        if (level <= levels)
            ends[level - 1] = n;
    }
}

// Level-1 node of the greatest element (the level-1 header when there is
// none), or null for a list without nodes.
static SkiplistNode *sli_last_node(const Skiplist *sl)
{
    SkiplistNode *last = nullptr;
    if (sl->top)
        sli_level_ends(sl, &last, 1);
    return last;
}

SkiplistNode *sl_append(Skiplist *list, void *element)
{
    // Appending does not search, so it cannot place the element in index
    // lists ordered otherwise: lists carrying them insert with sl_insert.
    if (sli_has_index_lists(list))
        return nullptr;
    if (list->size > 0) {
        SkiplistNode *last = sli_last_node(list);
        if (list->compare == nullptr || list->compare(element, last->data) <= 0)
            return nullptr;
    }
    int h = sli_random_height(list);
    if (list->top == nullptr)
        return sl_insert(list, element);
    while (list->height < h)
        sli_add_level(list);

    SkiplistNode **ends = (SkiplistNode **)malloc(sizeof(SkiplistNode *) * h);
    SL_ASSERT(ends != nullptr);
    sli_level_ends(list, ends, h);
    SkiplistNode *first = sli_link_column(list, element, ends, h);
    free(ends);
    list->size++;
    return first;
}

// Releases every node of `sl` (columns in ascending order, then the header
// column), unhooking each level-1 node from its index chain and handing each
// element to free_element when given.  Leaves the list without nodes.
static void sli_release_nodes(Skiplist *sl, SkiplistFreeFunc free_element)
{
    if (sl->bottom) {
        SkiplistNode *col = sl->bottom->next;
        while (col) {
            SkiplistNode *next_col = col->next;
            if (col->prev_index)
                col->prev_index->next_index = col->next_index;
            if (col->next_index)
                col->next_index->prev_index = col->prev_index;
            if (free_element && col->data)
                free_element(col->data);
            for (SkiplistNode *n = col; n;) {
                SkiplistNode *up = n->up;
                free(n);
                n = up;
            }
            col = next_col;
        }
        for (SkiplistNode *n = sl->bottom; n;) {
            SkiplistNode *up = n->up;
            free(n);
            n = up;
        }
    }
    sli_reset(sl);
}

void sl_destroy(Skiplist *list, SkiplistFreeFunc free_element)
{
    // Index lists hold nodes for exactly these elements: empty them too, so
    // that none keeps a pointer to a released element.
    if (list->indexes && list->indexes->bottom) {
        for (SkiplistNode *r = list->indexes->bottom->next; r; r = r->next)
            sli_release_nodes((Skiplist *)r->data, nullptr);
    }
    sli_release_nodes(list, free_element);
}

// Points every node of `sl` at `sl` again after its levels came from
// another record.
static void sli_rehome(Skiplist *sl, SkiplistNode *from_header_of_level1)
{
    for (SkiplistNode *h = from_header_of_level1; h; h = h->up)
        for (SkiplistNode *n = h; n; n = n->next)
            n->list = sl;
}

Skiplist *sl_concat(Skiplist *list1, Skiplist *list2)
{
    if (list1->size == 0) {
        sli_release_nodes(list1, nullptr);
        Skiplist held = *list1;
        *list1 = *list2;
        *list2 = held;
        sli_rehome(list1, list1->bottom);
        return list1;
    }
    if (list2->size == 0) {
        sli_release_nodes(list2, nullptr);
        return list1;
    }
    // Moving columns would leave list2's index lists holding elements that
    // list2 no longer has and list1's lacking them.
    if (sli_has_index_lists(list1) || sli_has_index_lists(list2))
        return nullptr;
    SkiplistNode *last1 = sli_last_node(list1);
    if (list1->compare == nullptr || list1->compare(list2->bottom->next->data, last1->data) <= 0)
        return nullptr;

    int h1 = list1->height, h2 = list2->height;
    int common = h1 < h2 ? h1 : h2;
    SkiplistNode **ends = (SkiplistNode **)malloc(sizeof(SkiplistNode *) * common);
    SL_ASSERT(ends != nullptr);
    sli_level_ends(list1, ends, common);

    sli_rehome(list1, list2->bottom);
    SkiplistNode *header2 = list2->bottom;
    for (int level = 1; level <= common; level++) {
        SkiplistNode *first = header2->next;
        ends[level - 1]->next = first;
        if (first)
            first->prev = ends[level - 1];
        SkiplistNode *up = header2->up;
        free(header2);
        header2 = up;
    }
    free(ends);
    if (h2 > h1) {
        // header2 is list2's header of level h1 + 1: list1's header column
        // continues with it.
        header2->down = list1->top;
        list1->top->up = header2;
        list1->top = list2->top;
        list1->top_end = list2->top_end;
        list1->height = h2;
    }
    list1->size += list2->size;
    sli_reset(list2);
    return list1;
}

void sl_print(Skiplist *list, const char *prefix)
{
    fprintf(stderr, "Skiplist Structure (height: %d)\n", list->height);
    for (SkiplistNode *n = list->bottom; n; n = n->next) {
        if (prefix)
            fputs(prefix, stderr);
        for (SkiplistNode *c = n; c; c = c->up)
            fprintf(stderr, "%p ", c->data);
        fputc('\n', stderr);
    }
}
