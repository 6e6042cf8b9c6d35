// The files of a dated name's ended periods that a stopped run left (see
// Compression in output/file_rules.h): found by the pattern, each strftime
// conversion matched as what it can expand to.
#include "output/writer_internal.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <regex>

#include "config/dated.h"

namespace writer {
namespace {

// The regular expression (ECMAScript) of one component of a dated name
// pattern: its text as written, each strftime conversion standing for
// what it expands to, of its width where it has one (four digits for %Y,
// two for %m), so that the names of two outputs whose patterns differ only
// in their conversions ("%Y.log", "%Y%m.log") are told apart. A conversion
// with flags, a width or a modifier stands for any name.
std::string component_regex(const std::string &component)
{
    std::string re;
    for (size_t i = 0; i < component.size(); i++) {
        char c = component[i];
        if (c != '%') {
            if (strchr("\\^$.|?*+()[]{}", c) != nullptr)
                re += '\\';
            re += c;
            continue;
        }
        // Flags, a width and a modifier (E, O) before the conversion: its
        // width is no longer known.
        size_t start = i + 1;
        size_t end = component.find_first_not_of("_-0^#123456789EO", start);
        if (end == std::string::npos)
            break;  // a lone '%' at the end expands to nothing known
        i = end;
        char k = end == start ? component[end] : '\0';
        switch (k) {
        case '%': re += '%'; break;
        case 'Y': case 'G': re += "[0-9]{4}"; break;
        case 'm': case 'd': case 'H': case 'M': case 'S': case 'y': case 'C':
        case 'g': case 'I': case 'V': case 'U': case 'W': re += "[0-9]{2}"; break;
        case 'j': re += "[0-9]{3}"; break;
        case 'u': case 'w': re += "[0-9]"; break;
        case 'e': case 'k': case 'l': re += "[ 0-9][0-9]"; break;
        case 's': re += "-?[0-9]+"; break;
        case 'F': re += "[0-9]{4}-[0-9]{2}-[0-9]{2}"; break;
        case 'T': re += "[0-9]{2}:[0-9]{2}:[0-9]{2}"; break;
        case 'R': re += "[0-9]{2}:[0-9]{2}"; break;
        case 'z': re += "[-+][0-9]{4}"; break;
        case 'a': case 'A': case 'b': case 'B': case 'h': case 'p': case 'P': re += "[A-Za-z]+"; break;
        case 'n': re += "\n"; break;
        case 't': re += "\t"; break;
        default: re += "[^/]+"; break;
        }
    }
    return re;
}

std::string joined(const std::string &dir, const std::string &name)
{
    return dir.empty() ? name : dir == "/" ? "/" + name : dir + "/" + name;
}

// The names in directory `dir` ("" for the working directory) of the kind
// `type` (S_IFDIR, S_IFREG; never a symlink), in name order.
std::vector<std::string> names_in(const std::string &dir, mode_t type)
{
    std::vector<std::string> names;
    DIR *d = opendir(dir.empty() ? "." : dir.c_str());
    if (d == nullptr)
        return names;
    while (struct dirent *e = readdir(d)) {
        std::string name = e->d_name;
        struct stat st;
        if (name != "." && name != ".." && lstat(joined(dir, name).c_str(), &st) == 0 &&
            (st.st_mode & S_IFMT) == type)
            names.push_back(name);
    }
    closedir(d);
    std::sort(names.begin(), names.end());
    return names;
}

bool ends_with(const std::string &s, const std::string &end)
{
    return s.size() >= end.size() && s.compare(s.size() - end.size(), end.size(), end) == 0;
}

// Below `dir`, the files of the pattern components [at, end) of `parts`:
// see ended_period_files.
void files_below(const std::string &dir, const std::vector<std::string> &parts, size_t at, const std::string &current,
                 const std::string &suffix, std::vector<std::string> *left)
{
    if (at + 1 < parts.size()) {
        std::regex match(component_regex(parts[at]));
        for (const std::string &name : names_in(dir, S_IFDIR))
            if (std::regex_match(name, match))
                files_below(joined(dir, name), parts, at + 1, current, suffix, left);
        return;
    }
    // The name of a period, or of a file rotated within it (NAME.i).
    std::regex match("(" + component_regex(parts[at]) + ")(\\.[0-9]+)?");
    std::vector<std::string> files = names_in(dir, S_IFREG);
    for (const std::string &name : files) {
        std::string path = joined(dir, name);
        std::smatch m;
        if (ends_with(name, suffix + ".tmp")) {
            std::string plain = name.substr(0, name.size() - suffix.size() - 4);
            if (std::regex_match(plain, m, match))
                (void)unlink(path.c_str());
            continue;
        }
        if (!std::regex_match(name, m, match) || joined(dir, m[1].str()) == current)
            continue;
        struct stat plain, packed;
        if (lstat(path.c_str(), &plain) != 0)
            continue;
        if (lstat((path + suffix).c_str(), &packed) == 0 &&
            (packed.st_mtim.tv_sec > plain.st_mtim.tv_sec ||
             (packed.st_mtim.tv_sec == plain.st_mtim.tv_sec && packed.st_mtim.tv_nsec >= plain.st_mtim.tv_nsec))) {
            // Compressed and synced after its last write, before it was
            // named: the original stayed only because the stop came
            // before its removal. (One written after its compressed
            // namesake is a period of a name that came round again: it is
            // queued, and said when its name is found taken.)
            (void)unlink(path.c_str());
            continue;
        }
        left->push_back(path);
    }
}

}  // namespace

std::vector<std::string> ended_period_files(const std::string &pattern, const std::string &current,
                                            const char *suffix)
{
    size_t fixed = dated_fixed_length(pattern.c_str());
    std::string dir = fixed > 0 ? pattern.substr(0, fixed) : pattern[0] == '/' ? "/" : "";
    std::string rest = pattern.substr(fixed > 0 || pattern[0] == '/' ? fixed + 1 : 0);
    std::vector<std::string> parts;
    for (size_t from = 0;;) {
        size_t slash = rest.find('/', from);
        parts.push_back(rest.substr(from, slash == std::string::npos ? std::string::npos : slash - from));
        if (slash == std::string::npos)
            break;
        from = slash + 1;
    }
    std::vector<std::string> left;
    files_below(dir, parts, 0, current, suffix, &left);
    return left;
}

std::vector<std::string> directories_in(const std::string &dir)
{
    return names_in(dir, S_IFDIR);
}

}  // namespace writer
