// The skiplist against std::map ordered by the same C comparator: insert,
// find and remove of n elements in random order, n = 10^3 .. 10^6.  The
// "per_op" counter is the time of one operation; BigO lines give the growth.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <random>
#include <vector>

#include "skiplist/skiplist.h"

namespace {

struct Elem {
    int key;
};

int elem_cmp(const void *a, const void *b)
{
    int x = ((const Elem *)a)->key, y = ((const Elem *)b)->key;
    return x < y ? -1 : x > y;
}

int key_cmp(const void *k, const void *b)
{
    int x = *(const int *)k, y = ((const Elem *)b)->key;
    return x < y ? -1 : x > y;
}

// std::map's ordering through the very same comparator function pointer.
struct Less {
    SkiplistComparator cmp = elem_cmp;
    bool operator()(const Elem *a, const Elem *b) const { return cmp(a, b) < 0; }
};
using Map = std::map<const Elem *, const Elem *, Less>;

// n elements with distinct keys, in a fixed random order.
std::vector<Elem> shuffled(int n)
{
    std::vector<Elem> v(n);
    for (int i = 0; i < n; i++)
        v[i].key = i * 2;  // odd keys are never present
    std::shuffle(v.begin(), v.end(), std::mt19937(12345));
    return v;
}

void per_op(benchmark::State &state, int ops_per_iteration)
{
    state.counters["per_op"] = benchmark::Counter((double)ops_per_iteration,
                                                  benchmark::Counter::kIsIterationInvariantRate |
                                                      benchmark::Counter::kInvert);
    state.SetComplexityN(state.range(0));
}

void BM_SkiplistInsert(benchmark::State &state)
{
    int n = (int)state.range(0);
    std::vector<Elem> elems = shuffled(n);
    Skiplist list;
    sl_init(&list);
    sl_set_compare(&list, elem_cmp, key_cmp);
    for (auto _ : state) {
        for (Elem &e : elems)
            benchmark::DoNotOptimize(sl_insert(&list, &e));
        state.PauseTiming();
        sl_destroy(&list, nullptr);
        state.ResumeTiming();
    }
    per_op(state, n);
}

void BM_MapInsert(benchmark::State &state)
{
    int n = (int)state.range(0);
    std::vector<Elem> elems = shuffled(n);
    Map map;
    for (auto _ : state) {
        for (Elem &e : elems)
            benchmark::DoNotOptimize(map.emplace(&e, &e));
        state.PauseTiming();
        map.clear();
        state.ResumeTiming();
    }
    per_op(state, n);
}

void BM_SkiplistFind(benchmark::State &state)
{
    int n = (int)state.range(0);
    std::vector<Elem> elems = shuffled(n);
    Skiplist list;
    sl_init(&list);
    sl_set_compare(&list, elem_cmp, key_cmp);
    for (Elem &e : elems)
        sl_insert(&list, &e);
    std::vector<Elem> probes = shuffled(n);
    size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(sl_find(&list, &probes[i].key, nullptr));
        if (++i == probes.size())
            i = 0;
    }
    per_op(state, 1);
    sl_destroy(&list, nullptr);
}

void BM_MapFind(benchmark::State &state)
{
    int n = (int)state.range(0);
    std::vector<Elem> elems = shuffled(n);
    Map map;
    for (Elem &e : elems)
        map.emplace(&e, &e);
    std::vector<Elem> probes = shuffled(n);
    size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(map.find(&probes[i]));
        if (++i == probes.size())
            i = 0;
    }
    per_op(state, 1);
}

void BM_SkiplistRemove(benchmark::State &state)
{
    int n = (int)state.range(0);
    std::vector<Elem> elems = shuffled(n);
    std::vector<Elem> order = shuffled(n);
    std::shuffle(order.begin(), order.end(), std::mt19937(777));
    Skiplist list;
    sl_init(&list);
    sl_set_compare(&list, elem_cmp, key_cmp);
    for (auto _ : state) {
        state.PauseTiming();
        for (Elem &e : elems)
            sl_insert(&list, &e);
        state.ResumeTiming();
        for (Elem &e : order)
            benchmark::DoNotOptimize(sl_remove(&list, &e.key, nullptr));
    }
    per_op(state, n);
}

void BM_MapRemove(benchmark::State &state)
{
    int n = (int)state.range(0);
    std::vector<Elem> elems = shuffled(n);
    std::vector<Elem> order = shuffled(n);
    std::shuffle(order.begin(), order.end(), std::mt19937(777));
    Map map;
    for (auto _ : state) {
        state.PauseTiming();
        for (Elem &e : elems)
            map.emplace(&e, &e);
        state.ResumeTiming();
        for (Elem &e : order)
            benchmark::DoNotOptimize(map.erase(&e));
    }
    per_op(state, n);
}

#define SIZES RangeMultiplier(10)->Range(1000, 1000000)
BENCHMARK(BM_SkiplistInsert)->SIZES->Unit(benchmark::kMillisecond)->Complexity(benchmark::oNLogN);
BENCHMARK(BM_MapInsert)->SIZES->Unit(benchmark::kMillisecond)->Complexity(benchmark::oNLogN);
BENCHMARK(BM_SkiplistFind)->SIZES->Complexity(benchmark::oLogN);
BENCHMARK(BM_MapFind)->SIZES->Complexity(benchmark::oLogN);
BENCHMARK(BM_SkiplistRemove)->SIZES->Unit(benchmark::kMillisecond)->Complexity(benchmark::oNLogN);
BENCHMARK(BM_MapRemove)->SIZES->Unit(benchmark::kMillisecond)->Complexity(benchmark::oNLogN);

}  // namespace

BENCHMARK_MAIN();
