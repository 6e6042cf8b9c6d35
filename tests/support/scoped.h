// A global given a value for as long as the guard lives: the value it had
// is put back when the guard goes, however the test ends, so no test hands
// its settings on to the next one.
#pragma once

#include <type_traits>

namespace wkp_test {

template <class T>
class Scoped {
public:
    Scoped(T &variable, std::type_identity_t<std::remove_volatile_t<T>> value) : variable_(variable), saved_(variable)
    {
        variable_ = value;
    }
    ~Scoped() { variable_ = saved_; }
    Scoped(const Scoped &) = delete;
    Scoped &operator=(const Scoped &) = delete;

private:
    T &variable_;
    std::remove_volatile_t<T> saved_;
};

}  // namespace wkp_test
