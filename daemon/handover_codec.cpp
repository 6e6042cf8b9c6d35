#include "daemon/handover_codec.h"

#include <iterator>

namespace {

struct KindName {
    ChannelKind kind;
    const char *name;
    int words;    // words before the numbers
    int numbers;  // numbers after the words
};

constexpr KindName kinds[] = {
    {ChannelKind::hello, "hello", 0, 1},   {ChannelKind::token, "token", 1, 0},
    {ChannelKind::pid, "pid", 0, 1},       {ChannelKind::spread, "spread", 2, 0},
    {ChannelKind::file, "file", 0, 2},     {ChannelKind::end, "end", 0, 0},
    {ChannelKind::count, "count", 1, 1},   {ChannelKind::started, "started", 0, 1},
    {ChannelKind::released, "released", 0, 0}, {ChannelKind::mark, "mark", 1, 0},
    {ChannelKind::marked, "marked", 0, 0}, {ChannelKind::taken, "taken", 0, 0},
};

const KindName *kind_of(ChannelKind kind)
{
    for (const KindName &k : kinds)
        if (k.kind == kind)
            return &k;
    return nullptr;
}

// Digits only, no sign, at most 20 of them, within uint64_t.
bool parse_number(std::string_view text, uint64_t *value)
{
    if (text.empty() || text.size() > 20)
        return false;
    uint64_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        uint64_t digit = static_cast<uint64_t>(c - '0');
        if (v > (UINT64_MAX - digit) / 10)
            return false;
        v = v * 10 + digit;
    }
    *value = v;
    return true;
}

// The next field of `rest` up to a space (taken out of rest with it);
// false when there is none.
bool next_field(std::string_view *rest, std::string_view *field)
{
    if (rest->empty())
        return false;
    size_t space = rest->find(' ');
    *field = rest->substr(0, space);
    *rest = space == std::string_view::npos ? std::string_view() : rest->substr(space + 1);
    // Two spaces in a row, or one at the end, leave an empty field.
    return !field->empty() && (space == std::string_view::npos || !rest->empty());
}

}  // namespace

bool channel_word_valid(std::string_view word)
{
    if (word.empty() || word.size() > channel_word_max)
        return false;
    for (char c : word)
        if (c < '!' || c > '~')
            return false;
    return true;
}

std::string channel_encode(const ChannelLine &line)
{
    const KindName *k = kind_of(line.kind);
    if (k == nullptr)
        return "";
    std::string text = k->name;
    const std::string *words[] = {&line.word, &line.second};
    for (int i = 0; i < k->words; i++) {
        if (!channel_word_valid(*words[i]))
            return "";
        text += ' ';
        text += *words[i];
    }
    const uint64_t numbers[] = {line.number, line.second_number};
    for (int i = 0; i < k->numbers; i++) {
        text += ' ';
        text += std::to_string(numbers[i]);
    }
    return text + "\n";
}

bool channel_decode(std::string_view text, ChannelLine *line)
{
    if (text.size() > channel_line_max)
        return false;
    std::string_view rest = text, name;
    if (!next_field(&rest, &name))
        return false;
    const KindName *k = nullptr;
    for (const KindName &candidate : kinds)
        if (name == candidate.name)
            k = &candidate;
    if (k == nullptr)
        return false;
    *line = ChannelLine{};
    line->kind = k->kind;
    std::string *words[] = {&line->word, &line->second};
    uint64_t *numbers[] = {&line->number, &line->second_number};
    for (int i = 0; i < k->words; i++) {
        std::string_view field;
        if (!next_field(&rest, &field) || !channel_word_valid(field))
            return false;
        words[i]->assign(field);
    }
    for (int i = 0; i < k->numbers; i++) {
        std::string_view field;
        if (!next_field(&rest, &field) || !parse_number(field, numbers[i]))
            return false;
    }
    return rest.empty();
}
