// Runs the fixed operation sequence of support/skiplist_heights.h on real lists
// in a fresh process and prints, per operation, the resulting column and
// list heights, then every list's columns.  "raw N" prints the first N
// values of lrand48 instead, from an equally fresh process.

#include "skiplist/skiplist.h"
#include "support/skiplist_heights.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>

using namespace sl_heights;

namespace {

struct Elem {
    int key;
    int order;
};

int cmp(const void *a, const void *b)
{
    int x = ((const Elem *)a)->key, y = ((const Elem *)b)->key;
    return x < y ? -1 : x > y;
}
int cmp_key(const void *k, const void *b)
{
    int x = *(const int *)k, y = ((const Elem *)b)->key;
    return x < y ? -1 : x > y;
}
int cmp_order(const void *a, const void *b)
{
    int x = ((const Elem *)a)->order, y = ((const Elem *)b)->order;
    return x < y ? -1 : x > y;
}
int cmp_order_key(const void *k, const void *b)
{
    int x = *(const int *)k, y = ((const Elem *)b)->order;
    return x < y ? -1 : x > y;
}

int column_height(const SkiplistNode *n)
{
    int h = 0;
    for (; n; n = n->up)
        h++;
    return h;
}

void print_columns(const char *name, Skiplist *l)
{
    printf("final %s %d", name, l->height);
    for (SkiplistNode *n = sl_first(l); n; n = n->next)
        printf(" %d:%d", ((Elem *)n->data)->key, column_height(n));
    printf("\n");
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc == 3 && strcmp(argv[1], "raw") == 0) {
        for (int i = atoi(argv[2]); i > 0; i--)
            printf("%ld\n", lrand48());
        return 0;
    }
    if (argc != 2 || strcmp(argv[1], "run") != 0) {
        fprintf(stderr, "usage: skiplist_heights run | raw N\n");
        return 2;
    }
    Skiplist lists[3];
    for (int i = 0; i < 3; i++) {
        sl_init(&lists[i]);
        sl_set_compare(&lists[i], cmp, cmp_key);
        lists[i].height_limit = height_limit(i);
    }
    std::deque<Elem> elems;
    for (const Op &op : operations()) {
        Skiplist *l = &lists[op.list];
        int result = 0;
        if (op.kind == Kind::Insert || op.kind == Kind::Append) {
            elems.push_back(Elem{op.key, index_order(op.key)});
            SkiplistNode *n = op.kind == Kind::Insert ? sl_insert(l, &elems.back()) : sl_append(l, &elems.back());
            result = column_height(n);
        } else if (op.kind == Kind::Remove) {
            result = sl_remove(l, &op.key, nullptr);
        } else {
            sl_add_index(l, cmp_order, cmp_order_key);
            result = l->indexes->height;
        }
        printf("%s %s %d %d %d\n", list_name(op.list), kind_name(op.kind), op.key, result, l->height);
    }
    for (int i = 0; i < 3; i++)
        print_columns(list_name(i), &lists[i]);
    Skiplist *index = (Skiplist *)sl_first(lists[0].indexes)->data;
    print_columns("A.index", index);
    return 0;
}
