// libFuzzer target: spcat's position file decoder on arbitrary bytes.  Any
// memory fault is a failure; so is a file accepted that does not encode
// back to the same bytes (one text per set of entries), or entries that
// break the decoder's own bounds.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "tools/spcat_position.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string_view text((const char *)data, size);
    std::vector<spcat::PosEntry> entries;
    std::string error;
    if (!spcat::pos_decode(text, &entries, &error)) {
        if (error.rfind("line ", 0) != 0)
            abort();
        return 0;
    }
    for (const spcat::PosEntry &e : entries)
        if (e.path.empty() || e.fp_len > spcat::POS_FP_MAX || e.fp_len > e.offset ||
            e.path.find('\0') != std::string::npos)
            abort();
    if (spcat::pos_encode(entries) != text)
        abort();
    return 0;
}
