// Label values and HELP texts of the metrics file: the three escapes the
// text format has, and bytes that are not UTF-8, which the format cannot
// carry.
#include <gtest/gtest.h>

#include "daemon/metrics.h"
#include "daemon/metrics_http.h"

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

// What the endpoint answers to a request's bytes: only GET and HEAD of
// /metrics are served; the head must end within its bound.
TEST(MetricsHttp, RequestsAndTheirAnswers)
{
    struct Row {
        const char *what;
        std::string request;
        HttpAnswer answer;
    } rows[] = {
        {"GET", "GET /metrics HTTP/1.1\r\nHost: h\r\nAccept: */*\r\n\r\n", HTTP_METRICS},
        {"HEAD, HTTP/1.0", "HEAD /metrics HTTP/1.0\r\n\r\n", HTTP_METRICS_HEAD},
        {"a query is ignored", "GET /metrics?name[]=x HTTP/1.1\r\n\r\n", HTTP_METRICS},
        {"bare newlines", "GET /metrics HTTP/1.1\nHost: h\n\n", HTTP_METRICS},
        {"head not ended", "GET /metrics HTTP/1.1\r\nHost: h\r\n", HTTP_INCOMPLETE},
        {"nothing yet", "", HTTP_INCOMPLETE},
        {"POST", "POST /metrics HTTP/1.1\r\nContent-Length: 3\r\n\r\nabc", HTTP_NOT_ALLOWED},
        {"PUT", "PUT /metrics HTTP/1.1\r\n\r\n", HTTP_NOT_ALLOWED},
        {"lower case method", "get /metrics HTTP/1.1\r\n\r\n", HTTP_NOT_ALLOWED},
        {"root", "GET / HTTP/1.1\r\n\r\n", HTTP_NOT_FOUND},
        {"longer path", "GET /metricsx HTTP/1.1\r\n\r\n", HTTP_NOT_FOUND},
        {"path below", "GET /metrics/x HTTP/1.1\r\n\r\n", HTTP_NOT_FOUND},
        {"POST elsewhere", "POST /x HTTP/1.1\r\n\r\n", HTTP_NOT_FOUND},
        {"absolute form", "GET http://h/metrics HTTP/1.1\r\n\r\n", HTTP_NOT_FOUND},
        {"no version", "GET /metrics\r\n\r\n", HTTP_BAD_REQUEST},
        {"HTTP/2", "GET /metrics HTTP/2.0\r\n\r\n", HTTP_BAD_REQUEST},
        {"two spaces", "GET  /metrics HTTP/1.1\r\n\r\n", HTTP_BAD_REQUEST},
        {"leading space", " GET /metrics HTTP/1.1\r\n\r\n", HTTP_BAD_REQUEST},
        {"junk", "\x16\x03\x01\x02\x01\r\n\r\n", HTTP_BAD_REQUEST},
        {"head of the bound, not ended", "GET /metrics HTTP/1.1\r\nX: " + std::string(http_request_max - 26, 'a'),
         HTTP_INCOMPLETE},
        {"one byte more", "GET /metrics HTTP/1.1\r\nX: " + std::string(http_request_max - 25, 'a'), HTTP_TOO_LARGE},
        {"ended past the bound", "GET /metrics HTTP/1.1\r\nX: " + std::string(http_request_max, 'a') + "\r\n\r\n",
         HTTP_TOO_LARGE},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        EXPECT_EQ(metrics_http_request(row.request), row.answer);
    }
}
