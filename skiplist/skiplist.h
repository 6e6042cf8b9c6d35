// skiplist: the ordered container behind every registry of the daemon.
//
// Contract
//
// Order.  A Skiplist holds element pointers in strictly ascending order
//   under its element comparator `compare`, called as (new or sought
//   element, held element).  Elements are found by key with the key
//   comparator `compare_key`, called as (key, held element); it must order
//   keys the way `compare` orders the elements that carry them.
//   Comparators return <0, 0, >0 as strcmp does.
//
// Duplicates.  An element that compares equal to a held one is refused:
//   the insertion returns null, the caller keeps the element, and no
//   element and no `size` changes (the random flips drawn for it are used
//   up, and a level it added stays; the next removal drops it if still
//   empty).
//
// Ownership.  The caller owns the Skiplist record and every element.  The
//   module owns the nodes, and the index registry and index lists that
//   sl_init / sl_add_index allocate (never released).  Elements are never
//   copied or freed, except that sl_destroy and the removals hand each
//   element leaving its main list, once, to a caller-given release
//   function.  Elements are never read except through the comparators.
//
// Cursors.  A cursor is the address of a SkiplistNode pointer that holds a
//   level-1 node; the walk is
//     node = sl_first(l); e = node ? node->data : 0; while (e) { ...;
//     e = sl_next(l, &node); }
//   A cursor stays valid across insertions and across removals of other
//   elements; it dies with the removal of its own element and with
//   sl_destroy.  sl_concat moves list2's element nodes into list1, where
//   cursors on them go on walking; list2's header nodes are released, except
//   those of levels that list1 takes over.  A cursor may rest on the level-1
//   header node (data null) after sl_prev from the first element.
//
// Invariants of a list record (checked by tests/support/skiplist.h):
//   1. height == 0 iff the list has no nodes; then top, bottom, top_end,
//      bottom_end are null and size is 0.  height is never negative.
//   2. Otherwise the header column has exactly `height` header nodes (data
//      null, prev null), linked by up/down from `bottom` (level 1, down
//      null) to `top` (up null).  top_end == top and bottom_end == bottom
//      always: the ends of levels are not stored but reached by walking
//      right from the top header and descending (O(log n) expected).
//   3. Each level is a doubly linked chain (next/prev) from its header, in
//      strictly ascending element order.  Level 1 holds `size` element
//      nodes; each node above level 1 has `down` on the level below with
//      the same data and down->up == node.  Only the top levels may be
//      empty (left by refused insertions).
//   4. Every node's `list` is the record that holds it.
//
// Index lists.  A list made by sl_init carries an index registry: a
//   Skiplist of index lists ordered by the address of their element
//   comparator (indexing_comp / indexing_compk).  An index list holds the
//   same elements as its main list, ordered by its own comparator pair,
//   and has no registry of its own.  For every element, its level-1 nodes
//   form a chain through next_index/prev_index: the main list's node first
//   (prev_index null), then one node per index list in registry order
//   (next_index null at the end).  Insertion and removal keep every index
//   list holding exactly the main list's elements.  Rules that keep this:
//   - sl_append and sl_concat (when both lists hold elements) refuse, with
//     null, lists that carry index lists; sl_insert keeps them up to date.
//     sl_concat of an empty list1 exchanges whole records, indexes included.
//   - sl_destroy of a main list empties its index lists too (nodes only,
//     the index lists stay registered); of any list it unhooks its nodes
//     from their chains.
//   - A list without registry (sli_init, index lists) takes no index, nor
//     does a null element comparator: sl_add_index then changes nothing.
//   - Index lists change only through their main list: elements are
//     inserted into and removed from the main list, never from an index
//     list directly.
//   - An index that refuses an element (equal there to a held element) is
//     a caller error and stops the process (assertion "ni").
//
// Random heights.  Column heights come from one process-wide random state
//   fed by lrand48 (never seeded: the heights of a given sequence of
//   operations are the same in every run), 32 flips per drawn value, bit
//   0 first.  Nothing is thread-safe: no two operations may run at once.
//
// Failures.  Results, not exceptions: null or 0 as each function says.
//   Caller errors that the module cannot live with (an unknown comparator
//   given to sl_find_compare / sl_remove_compare, a refusing index, a
//   failed allocation) stop the process with an assertion message on
//   standard error, whatever the build type.
#pragma once

typedef int (*SkiplistComparator)(const void *a, const void *b);
typedef void (*SkiplistFreeFunc)(void *element);
struct Skiplist;
// One node.  data: the element, null in header nodes.  next/prev: the
// neighbours on the node's level (prev null only in headers).  down/up: the
// nodes below and above in the same column.  prev_index/next_index (level-1
// nodes only): the element's nodes in the previous and next list of its
// index chain.  list: the record that holds the node.
struct SkiplistNode {
    void *data;
    SkiplistNode *next, *prev, *down, *up, *prev_index, *next_index;
    Skiplist *list;
};
// One list; the caller provides the record.  compare/compare_key: element
// and key comparators, null until set.  height: number of levels.
// height_limit: 0 lets a column rise one level above the list's height,
// n >= 2 caps columns at n, 1 keeps every column at height 1.  size: number
// of elements.  top/bottom: header nodes of the top level and of level 1;
// top_end/bottom_end: the same nodes (see invariant 2).  indexes: the index
// registry, or null.
struct Skiplist {
    SkiplistComparator compare, compare_key;
    int height, height_limit, size;
    SkiplistNode *top, *bottom, *top_end, *bottom_end;
    Skiplist *indexes;
};

// Makes `list` empty, without comparators, and gives it a new (empty) index
// registry; releases nothing the record held before.
void sl_init(Skiplist *list);
// Sets both comparators, unless both are already set: then adds an index
// ordered by the pair instead (sl_add_index).
void sl_set_compare(Skiplist *list, SkiplistComparator compare, SkiplistComparator compare_key);
// Adds an index list ordered by `compare` holding every element; nothing
// changes if that comparator already has an index or the list has no registry.
void sl_add_index(Skiplist *list, SkiplistComparator compare, SkiplistComparator compare_key);
// Inserts `element` (not taken over: the caller keeps owning it); returns its
// level-1 node, or null when the list has no comparator or holds an equal element.
SkiplistNode *sl_insert(Skiplist *list, void *element);
// sl_insert ordered by the given comparator (null: refused, nothing changes);
// also adds the element to every index list.
SkiplistNode *sl_insert_compare(Skiplist *list, void *element, SkiplistComparator compare);
// Returns the element matching `key` and stores its level-1 node in a non-null
// `node_out` (null when not found); no comparator: null, node_out untouched.
void *sl_find(Skiplist *list, const void *key, SkiplistNode **node_out);
// Level-1 node of the smallest element, or null for an empty list.
SkiplistNode *sl_first(Skiplist *list);
// Moves the cursor one node right; returns its element, or null (and a null
// cursor) past the end.  `list` is not read.
void *sl_next(Skiplist *list, SkiplistNode **cursor);
// Registry comparator: orders index lists by the address of their `compare`.
int indexing_comp(const void *a, const void *b);
// Registry key comparator: an element comparator (as key) against an index list.
int indexing_compk(const void *key, const void *b);

// Makes `list` empty and without comparators, with no index registry.
void sli_init(Skiplist *list);
// Finds `key` in the list picked by `compare` (the list itself for its own
// compare or when it has no registry, else the index list of that comparator),
// searching with that list's compare_key; node_out gets the node there.
void *sl_find_compare(Skiplist *list, const void *key, SkiplistNode **node_out, SkiplistComparator compare);
// Searches the list itself with `compare_key`; returns the number of moves
// (right or down) made before the match, or in all when there is none.
int sl_find_steps(Skiplist *list, const void *key, SkiplistNode **node_out, SkiplistComparator compare_key);
// Moves the cursor one node left; returns its element, null on the header
// (cursor left there) or before it (null cursor).  `list` is not read.
void *sl_prev(Skiplist *list, SkiplistNode **cursor);
// Removes the element matching `key` (by compare_key) from the list and its
// index lists, handing it to `free_element` if given; returns the height
// afterwards, 0 when nothing matched or the list has no comparator.
int sl_remove(Skiplist *list, const void *key, SkiplistFreeFunc free_element);
// sl_remove through the list picked by `compare` (the list itself for its own
// compare_key or without registry, else the index list of that element
// comparator, searched with `compare` as key comparator).
int sl_remove_compare(Skiplist *list, const void *key, SkiplistFreeFunc free_element, SkiplistComparator compare);
// Removes the column of `node` (any of its nodes) from `list` and from every
// index list; returns the height afterwards, 0 for a null or header node.
int sli_remove(Skiplist *list, SkiplistNode *node, SkiplistFreeFunc free_element);
// Adds an element that sorts after every held one, without searching; returns
// its level-1 node, or null when it does not sort last or the list carries
// index lists.
SkiplistNode *sl_append(Skiplist *list, void *element);
// Moves every element of list2 behind list1's, leaving list2 empty; returns
// list1, or null (nothing changed) when the order does not allow it or both
// hold elements and either carries index lists.
Skiplist *sl_concat(Skiplist *list1, Skiplist *list2);
// Releases every node (and empties the index lists), handing each element in
// ascending order to `free_element` if given; the list stays usable.
void sl_destroy(Skiplist *list, SkiplistFreeFunc free_element);
// Dumps the list to standard error: a heading, then per column the prefix and
// its data pointer once per level.
void sl_print(Skiplist *list, const char *prefix);
