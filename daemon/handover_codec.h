// The hand-over channel's lines, built and parsed: pure functions over
// byte ranges, no descriptor, no global state (the socket code in
// daemon/handover_link.cpp only moves the bytes).
//
// A line is one of the kinds below, its fields separated by one space,
// ended by one newline (not part of what decode takes). Names, groups and
// tokens are 1 to channel_word_max bytes from '!' to '~' (no space, no
// control byte); numbers are decimal digits only, without sign, within
// their type. Anything else is malformed.
//
// Each side's first line is the hello with its channel version:
//
//   old -> new   hello V, token T, pid P, spread NAME GROUP (per connected
//                Spread daemon), file DEV INO (per locked file), end;
//                later count NAME VALUE (the counters carried over), started
//                SECONDS, released
//   new -> old   hello V, then mark NAME (per shared connection), marked,
//                and taken once it holds the outputs
//
// A side that reads a hello with another version refuses the hand-over;
// the version changes whenever a line changes meaning or a kind is added.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

constexpr int handover_channel_version = 1;
// The longest name, group, token or counter name.
constexpr size_t channel_word_max = 200;
// The longest line a reader takes (newline excluded): a longer one is
// malformed, and the reader need not keep more.
constexpr size_t channel_line_max = 512;

enum class ChannelKind {
    hello,     // number: version
    token,     // word
    pid,       // number
    spread,    // word: daemon name, second: private group
    file,      // number: device, second_number: inode
    end,
    count,     // word: counter name, number: value
    started,   // number: Unix seconds
    released,
    mark,      // word: daemon name
    marked,
    taken,
};

struct ChannelLine {
    ChannelKind kind = ChannelKind::end;
    std::string word;
    std::string second;
    uint64_t number = 0;
    uint64_t second_number = 0;
};

// The line (with its newline) for `line`; "" when a word is not valid.
std::string channel_encode(const ChannelLine &line);

// Parses one line without its newline into *line; false (*line unspecified)
// when it is malformed.
bool channel_decode(std::string_view text, ChannelLine *line);

// True when `word` may stand as a name, group, token or counter name.
bool channel_word_valid(std::string_view word);
