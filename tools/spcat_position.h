// spcat's position file and the identity of a followed file: pure functions
// over bytes, no I/O (spcat_follow.cpp reads and writes the file).
//
// A file is known by its device and inode and by a fingerprint of its first
// bytes: the length fp_len (0 to POS_FP_MAX) and the 64-bit FNV-1a hash of
// those bytes.  An inode that the file system gives to a new file after the
// old one was removed has other first bytes, so the new file is not taken
// for the old one (a new file whose first fp_len bytes are the same as the
// old one's is, at worst, read from the old one's offset if it is longer).
// fp_len grows with what was sent, up to POS_FP_MAX; a file of which nothing
// was sent has fp_len 0 and matches any file on that inode, which costs
// nothing: its offset is 0.
//
// The position file, version 1: a first line, then one line per open file
// of a followed path, the files of one path oldest first (a renamed file
// still being read comes before the file now at the path):
//
//     spcat-position 1
//     OFFSET DEV INO FP_LEN FP_HASH PATH
//
// OFFSET, DEV, INO and FP_LEN in decimal, FP_HASH in 16 lowercase hex
// digits, fields separated by one space.  OFFSET is the byte after the last
// line sent and accepted by the Spread daemon.  PATH is the path given with
// -f, each byte below 0x21, 0x7f and '%' written as '%' and two uppercase
// hex digits, so that the path is one word.  Every line ends with a newline;
// a file that does not is cut short and refused.  Example:
//
//     spcat-position 1
//     18240 2049 131077 256 8c3f0a1b2d4e5f60 /var/log/nginx/access.log
//
// The file is written whole (temporary name, then rename), so a reader
// never sees half of it.
#pragma once

#include <stdint.h>

#include <string>
#include <string_view>
#include <vector>

namespace spcat {

constexpr uint32_t POS_FP_MAX = 256;   // bytes of a file's start fingerprinted at most
constexpr const char *POS_HEADER = "spcat-position 1";

// 64-bit FNV-1a of [p, p + n).
uint64_t pos_fingerprint(const char *p, size_t n);

// One open file of a followed path.
struct PosEntry {
    std::string path;      // the -f path
    uint64_t offset = 0;   // the byte after the last line sent
    uint64_t dev = 0;      // st_dev
    uint64_t ino = 0;      // st_ino
    uint32_t fp_len = 0;   // bytes fingerprinted, at most POS_FP_MAX
    uint64_t fp_hash = 0;  // pos_fingerprint of those bytes
    bool operator==(const PosEntry &) const = default;
};

// The path as one word of the file (escaped as above), and back.
std::string pos_escape(std::string_view path);
// False for a malformed escape, a NUL byte, a byte that should have been
// escaped, or an empty result.
bool pos_unescape(std::string_view word, std::string *path);

// The whole file for `entries`, in their order.
std::string pos_encode(const std::vector<PosEntry> &entries);

// Decodes the whole file in `text`.  True with *out set, or false with
// *error set to "line N: REASON" (N counted from 1), *out untouched.
bool pos_decode(std::string_view text, std::vector<PosEntry> *out, std::string *error);

}  // namespace spcat
