// The fixed operation sequence whose column heights are checked from a
// fresh process: run for real by skiplist_heights_main.cpp, simulated from
// raw lrand48 values by skiplist_heights_test.cpp.
#pragma once

#include <vector>

namespace sl_heights {

enum class Kind { Insert, Append, Remove, AddIndex };

// list: 0 = "A" (carries an index from the AddIndex on), 1 = "B",
// 2 = "C" (height_limit 3).
struct Op {
    int list;
    Kind kind;
    int key;
};

inline const char *list_name(int list)
{
    static const char *names[] = {"A", "B", "C"};
    return names[list];
}

inline const char *kind_name(Kind k)
{
    switch (k) {
    case Kind::Insert: return "insert";
    case Kind::Append: return "append";
    case Kind::Remove: return "remove";
    case Kind::AddIndex: return "index";
    }
    return "?";
}

inline int height_limit(int list) { return list == 2 ? 3 : 0; }

// The index of list A orders the elements by this bijection of their key.
inline int index_order(int key) { return (key * 7919) ^ 0x2a5; }

inline std::vector<Op> operations()
{
    std::vector<Op> ops;
    for (int i = 0; i < 240; i++) {
        ops.push_back({0, Kind::Insert, (i * 53) % 307});
        if (i % 5 == 4)  // a duplicate: refused, its flips used all the same
            ops.push_back({0, Kind::Insert, ((i - 3) * 53) % 307});
        if (i % 7 == 0)
            ops.push_back({1, Kind::Insert, (i * 31) % 101});
        if (i % 7 == 0 && i % 2 == 0)
            ops.push_back({1, Kind::Insert, (i * 31) % 101});
        if (i % 3 == 0)
            ops.push_back({2, Kind::Insert, i});
        if (i >= 60 && i % 9 == 0)
            ops.push_back({0, Kind::Remove, ((i - 60) * 53) % 307});
        if (i % 50 == 49)
            ops.push_back({0, Kind::Remove, 1000 + i});  // absent
        if (i % 40 == 39)
            ops.push_back({2, Kind::Remove, i - 39});
        if (i == 120)
            ops.push_back({0, Kind::AddIndex, 0});
    }
    for (int k = 0; k < 10; k++)
        ops.push_back({1, Kind::Append, 1000 + k});
    ops.push_back({1, Kind::Append, 5});     // does not sort last
    ops.push_back({0, Kind::Append, 5000});  // A carries an index
    for (int k = 0; k < 5; k++)
        ops.push_back({2, Kind::Append, 1000 + k});
    // Empty B completely, then start it again.
    for (int i = 0; i < 240; i += 7)
        ops.push_back({1, Kind::Remove, (i * 31) % 101});
    for (int k = 0; k < 10; k++)
        ops.push_back({1, Kind::Remove, 1000 + k});
    for (int k = 0; k < 6; k++)
        ops.push_back({1, Kind::Insert, k});
    return ops;
}

}  // namespace sl_heights
