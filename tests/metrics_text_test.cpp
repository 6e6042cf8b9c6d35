// Label values and HELP texts of the metrics file: the three escapes the
// text format has, and bytes that are not UTF-8, which the format cannot
// carry.
#include <gtest/gtest.h>

#include "daemon/metrics.h"

TEST(MetricsText, LabelValuesAndHelpAreEscaped)
{
    const std::string replacement = "\xef\xbf\xbd";  // U+FFFD
    struct Row {
        const char *what;
        std::string in, label, help;
    } rows[] = {
        {"plain", "/var/log/web.log", "/var/log/web.log", "/var/log/web.log"},
        {"empty", "", "", ""},
        {"quote", "a\"b", "a\\\"b", "a\"b"},
        {"backslash", "a\\b\\", "a\\\\b\\\\", "a\\\\b\\\\"},
        {"newline", "a\nb\n", "a\\nb\\n", "a\\nb\\n"},
        {"all three", "\\\"\n", "\\\\\\\"\\n", "\\\\\"\\n"},
        {"tab and carriage return kept", "a\tb\rc", "a\tb\rc", "a\tb\rc"},
        {"UTF-8 kept", "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x93\x9c", "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x93\x9c",
         "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x93\x9c"},
        {"Latin-1 byte", "caf\xe9.log", "caf" + replacement + ".log", "caf" + replacement + ".log"},
        {"sequence cut at the end", "a\xc3", "a" + replacement, "a" + replacement},
        {"sequence cut by a quote", "\xe2\x82\"", replacement + replacement + "\\\"", replacement + replacement + "\""},
        {"overlong slash", "\xc0\xaf", replacement + replacement, replacement + replacement},
        {"overlong three bytes", "\xe0\x80\xaf", replacement + replacement + replacement,
         replacement + replacement + replacement},
        {"surrogate", "\xed\xa0\x80", replacement + replacement + replacement, replacement + replacement + replacement},
        {"past U+10FFFF", "\xf4\x90\x80\x80", replacement + replacement + replacement + replacement,
         replacement + replacement + replacement + replacement},
        {"lone continuation byte", "\x80", replacement, replacement},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        EXPECT_EQ(metrics_label_value(row.in), row.label);
        EXPECT_EQ(metrics_help_text(row.in), row.help);
    }
}
