// The metrics file as prometheus_client's parser reads it (Debian's
// python3-prometheus-client, under Debian's /usr/bin/python3, through
// prometheus_samples.py), and a reader of the file as the daemon replaces it.
#pragma once

#include <sys/stat.h>

#include <array>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "process.h"

namespace wkp_test {

inline const char *const python = "/usr/bin/python3";

// "6869" -> "hi".
inline std::string unhex(const std::string &hex)
{
    std::string text;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        text += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    return text;
}

inline std::vector<std::string> split(const std::string &line, char separator)
{
    std::vector<std::string> fields;
    size_t start = 0;
    for (size_t at; (at = line.find(separator, start)) != std::string::npos; start = at + 1)
        fields.push_back(line.substr(start, at - start));
    fields.push_back(line.substr(start));
    return fields;
}

using Labels = std::map<std::string, std::string>;

struct Sample {
    std::string name;
    Labels labels;
    std::string value;
};

inline bool operator==(const Sample &a, const Sample &b)
{
    return a.name == b.name && a.labels == b.labels && a.value == b.value;
}

// A metrics file as the parser read it.
struct Parsed {
    bool ok = false;
    std::string error;                                      // the parser's, when not ok
    std::vector<std::array<std::string, 3>> families;       // name, type, help
    std::vector<Sample> samples;

    // The value of the one sample `name` with exactly `labels`; "" when
    // there is none.
    std::string value(const std::string &name, const Labels &labels = {}) const
    {
        std::string found;
        int n = 0;
        for (const Sample &s : samples)
            if (s.name == name && s.labels == labels) {
                found = s.value;
                n++;
            }
        return n == 1 ? found : "";
    }
    size_t count(const std::string &name) const
    {
        size_t n = 0;
        for (const Sample &s : samples)
            n += s.name == name;
        return n;
    }
};

inline Parsed parse_metrics(const std::string &path)
{
    Parsed parsed;
    Process p;
    run(p, {python, source("tests/support/prometheus_samples.py"), path});
    if (p.exit_code() != 0) {
        parsed.error = p.err();
        return parsed;
    }
    std::istringstream in(p.out());
    for (std::string line; std::getline(in, line);) {
        std::vector<std::string> f = split(line, '\t');
        if (f[0] == "F" && f.size() == 4) {
            parsed.families.push_back({f[1], f[2], unhex(f[3])});
        } else if (f[0] == "S" && f.size() >= 3) {
            Sample s{f[1], {}, f[2]};
            for (size_t i = 3; i < f.size(); i++) {
                size_t eq = f[i].find('=');
                s.labels[f[i].substr(0, eq)] = unhex(f[i].substr(eq + 1));
            }
            parsed.samples.push_back(s);
        }
    }
    parsed.ok = true;
    return parsed;
}

// The stats file as it is after each write: parsed anew only when a new
// file has replaced the last one read (a new inode, or a new change time).
struct StatsReader {
    explicit StatsReader(std::string stats) : path(std::move(stats)) {}
    std::string path;
    ino_t ino = 0;
    timespec ctime{};
    Parsed last;

    // True when a new file was read; last holds it.
    bool read_new()
    {
        struct stat st;
        if (stat(path.c_str(), &st) != 0)
            return false;
        if (st.st_ino == ino && st.st_ctim.tv_sec == ctime.tv_sec && st.st_ctim.tv_nsec == ctime.tv_nsec)
            return false;
        ino = st.st_ino;
        ctime = st.st_ctim;
        last = parse_metrics(path);
        return true;
    }

    // Waits until a file that satisfies pred has been written.
    bool wait_for(const std::function<bool(const Parsed &)> &pred)
    {
        return wait_until([&] { return read_new() && last.ok && pred(last); });
    }
};

inline Labels output_labels(const std::string &path, const std::string &kind)
{
    return {{"output", path}, {"kind", kind}};
}

// The drop reasons, as the status report names them.
inline const char *const reasons[] = {"write_error",        "backlog_full",       "reader_ended",
                                      "output_not_open",    "refused_vhost_name", "not_a_regular_file",
                                      "no_descriptor",      "abandoned",          "too_long"};
// And those of a connection.
inline const char *const spread_reasons[] = {"too_long", "not_logged"};

}  // namespace wkp_test
