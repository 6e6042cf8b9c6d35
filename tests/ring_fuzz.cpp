// libFuzzer entry point over the read-ahead ring: the input is a list of
// steps (five bytes each: the kind, then a 32-bit argument), played
// against the plain model of tests/support/ring_model.h with the
// invariants walked after each. A broken check aborts with its reason.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "support/ring_model.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    ring_model::Model m(2u << 20, 1000000);
    if (!m.ok())
        return 0;
    std::string why;
    bool ok = true;
    uint32_t message = 200;  // the size of the messages the stream grows by
    for (size_t at = 0; ok && at + 5 <= size; at += 5) {
        uint32_t arg;
        memcpy(&arg, data + at + 1, sizeof arg);
        switch (data[at] % 5) {
        case 0: ok = m.read(arg, message, &why); break;
        case 1: ok = m.take(arg % 64, &why); break;
        case 2: ok = m.trim(arg % 4 == 0 ? 2000000 + arg % 5000000 : arg % 1000000, &why); break;
        case 3: message = arg % 4 == 0 ? arg % (4 * SP_RING_CHUNK) : arg % 1000; break;
        default: ok = m.read(0, message, &why); break;
        }
    }
    if (ok)
        ok = m.take(0, &why);
    if (!ok) {
        fprintf(stderr, "read-ahead ring: %s\n", why.c_str());
        abort();
    }
    return 0;
}
