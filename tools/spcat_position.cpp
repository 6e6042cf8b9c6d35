// spcat's position file: see spcat_position.h for the format.
#include "spcat_position.h"

#include <stdio.h>

namespace spcat {

uint64_t pos_fingerprint(const char *p, size_t n)
{
    uint64_t h = 14695981039346656037ull;
    for (size_t i = 0; i < n; i++) {
        h ^= (unsigned char)p[i];
        h *= 1099511628211ull;
    }
    return h;
}

namespace {

bool needs_escape(unsigned char c) { return c < 0x21 || c == 0x7f || c == '%'; }

int hex_value(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

// A decimal number of `w` up to `max`: digits only, no sign, no leading
// zero but for "0" itself.
bool parse_decimal(std::string_view w, uint64_t max, uint64_t *out)
{
    if (w.empty() || w.size() > 20 || (w.size() > 1 && w[0] == '0'))
        return false;
    uint64_t v = 0;
    for (char c : w) {
        if (c < '0' || c > '9')
            return false;
        uint64_t d = (uint64_t)(c - '0');
        if (v > (max - d) / 10)
            return false;
        v = v * 10 + d;
    }
    *out = v;
    return true;
}

// Exactly 16 lowercase hex digits.
bool parse_hash(std::string_view w, uint64_t *out)
{
    if (w.size() != 16)
        return false;
    uint64_t v = 0;
    for (char c : w) {
        int d = hex_value(c);
        if (d < 0 || (c >= 'A' && c <= 'F'))
            return false;
        v = v << 4 | (uint64_t)d;
    }
    *out = v;
    return true;
}

}  // namespace

std::string pos_escape(std::string_view path)
{
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(path.size());
    for (char ch : path) {
        unsigned char c = (unsigned char)ch;
        if (needs_escape(c)) {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        } else {
            out += ch;
        }
    }
    return out;
}

bool pos_unescape(std::string_view word, std::string *path)
{
    std::string out;
    for (size_t i = 0; i < word.size(); i++) {
        unsigned char c = (unsigned char)word[i];
        if (c != '%') {
            if (needs_escape(c))
                return false;
            out += (char)c;
            continue;
        }
        if (i + 2 >= word.size())
            return false;
        int hi = hex_value(word[i + 1]), lo = hex_value(word[i + 2]);
        if (hi < 0 || lo < 0 || word[i + 1] >= 'a' || word[i + 2] >= 'a')   // uppercase only
            return false;
        unsigned char v = (unsigned char)(hi << 4 | lo);
        if (v == 0 || !needs_escape(v))
            return false;
        out += (char)v;
        i += 2;
    }
    if (out.empty())
        return false;
    *path = out;
    return true;
}

std::string pos_encode(const std::vector<PosEntry> &entries)
{
    std::string out = std::string(POS_HEADER) + "\n";
    for (const PosEntry &e : entries) {
        char head[128];
        snprintf(head, sizeof head, "%llu %llu %llu %u %016llx ", (unsigned long long)e.offset,
                 (unsigned long long)e.dev, (unsigned long long)e.ino, e.fp_len, (unsigned long long)e.fp_hash);
        out += head;
        out += pos_escape(e.path);
        out += '\n';
    }
    return out;
}

bool pos_decode(std::string_view text, std::vector<PosEntry> *out, std::string *error)
{
    std::vector<PosEntry> entries;
    size_t start = 0;
    int line_no = 0;
    auto fail = [&](const char *reason) {
        *error = "line " + std::to_string(line_no) + ": " + reason;
        return false;
    };
    while (start < text.size()) {
        line_no++;
        size_t nl = text.find('\n', start);
        if (nl == std::string_view::npos)
            return fail("no newline at the end (the file is cut short)");
        std::string_view line = text.substr(start, nl - start);
        start = nl + 1;
        if (line_no == 1) {
            if (line != POS_HEADER)
                return fail("not a position file of this version (\"spcat-position 1\" expected)");
            continue;
        }
        std::string_view words[6];
        size_t n = 0, p = 0;
        for (; n < 6; n++) {
            size_t sp = n < 5 ? line.find(' ', p) : std::string_view::npos;
            if (n < 5 && sp == std::string_view::npos)
                break;
            words[n] = line.substr(p, sp == std::string_view::npos ? std::string_view::npos : sp - p);
            p = sp + 1;
        }
        if (n < 6)
            return fail("6 fields expected");
        PosEntry e;
        uint64_t fp_len = 0;
        if (!parse_decimal(words[0], UINT64_MAX, &e.offset))
            return fail("bad offset");
        if (!parse_decimal(words[1], UINT64_MAX, &e.dev))
            return fail("bad device");
        if (!parse_decimal(words[2], UINT64_MAX, &e.ino))
            return fail("bad inode");
        if (!parse_decimal(words[3], POS_FP_MAX, &fp_len))
            return fail("bad fingerprint length");
        e.fp_len = (uint32_t)fp_len;
        if (e.fp_len > e.offset)
            return fail("fingerprint longer than the offset");
        if (!parse_hash(words[4], &e.fp_hash))
            return fail("bad fingerprint");
        if (!pos_unescape(words[5], &e.path))
            return fail("bad path");
        entries.push_back(std::move(e));
    }
    if (line_no == 0) {
        line_no = 1;
        return fail("empty file");
    }
    *out = std::move(entries);
    return true;
}

}  // namespace spcat
