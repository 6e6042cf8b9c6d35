// libFuzzer target: arbitrary bytes, split at newlines, into the hand-over
// channel's decoder, as if the other daemon were hostile or broken. Every
// line it accepts must encode again into a line that decodes to the same
// fields, within the bounds of the codec; anything else aborts.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "daemon/handover_codec.h"

namespace {

void check(bool ok)
{
    if (!ok)
        abort();
}

bool same(const ChannelLine &a, const ChannelLine &b)
{
    return a.kind == b.kind && a.word == b.word && a.second == b.second && a.number == b.number &&
           a.second_number == b.second_number;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string_view in(reinterpret_cast<const char *>(data), size);
    while (!in.empty()) {
        size_t end = in.find('\n');
        std::string_view text = in.substr(0, end);
        in = end == std::string_view::npos ? std::string_view() : in.substr(end + 1);
        ChannelLine line;
        if (!channel_decode(text, &line))
            continue;
        check(text.size() <= channel_line_max);
        check(line.word.size() <= channel_word_max && line.second.size() <= channel_word_max);
        std::string again = channel_encode(line);
        check(!again.empty() && again.back() == '\n');
        check(again.size() <= text.size() + 1);  // no leading zeros added
        ChannelLine decoded;
        check(channel_decode(std::string_view(again).substr(0, again.size() - 1), &decoded));
        check(same(line, decoded));
    }
    return 0;
}
