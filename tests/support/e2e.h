// What the end-to-end tests share: two Common Log Format lines, and a text
// cut into its lines.
#pragma once

#include <string>
#include <vector>

namespace wkp_test {

// The lines of `text`, each with its newline (the last one without, if it
// has none).
inline std::vector<std::string> split_lines(const std::string &text)
{
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size() - 1;
        lines.push_back(text.substr(start, end - start + 1));
        start = end + 1;
    }
    return lines;
}

inline const std::string clf1 = "10.0.0.1 - - [10/Oct/2000:13:55:36 -0700] \"GET /a HTTP/1.0\" 200 2326\n";
inline const std::string clf2 = "10.0.0.2 - - [10/Oct/2000:13:55:37 -0700] \"GET /b HTTP/1.0\" 404 12\n";

}  // namespace wkp_test
