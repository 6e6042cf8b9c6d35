// The configuration scanner on its own: which tokens a text gives, with
// the value of each string, the line count and the text kept for reports.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "config/reader.h"
#include "parser.hpp"

namespace {

const char *kind_name(int kind)
{
    switch (kind) {
    case TOK_BUFFERSIZE: return "BUFFERSIZE";
    case TOK_SPREAD: return "SPREAD";
    case TOK_PORT: return "PORT";
    case TOK_HOST: return "HOST";
    case TOK_LOG: return "LOG";
    case TOK_GROUP: return "GROUP";
    case TOK_FILE: return "FILE";
    case TOK_MATCH: return "MATCH";
    case TOK_VHOSTGROUP: return "VHOSTGROUP";
    case TOK_VHOSTDIR: return "VHOSTDIR";
    case TOK_REWRITETIMESTAMP: return "REWRITETIMESTAMP";
    case TOK_CLF: return "CLF";
    case TOK_LBRACE: return "{";
    case TOK_RBRACE: return "}";
    case TOK_EQUALS: return "=";
    default: return "?";
    }
}

struct Scan {
    std::string tokens;      // kinds separated by blanks, strings as [value]
    int lines = 0;           // config_line at the end
    std::string last_texts;  // config_token_text() after each token, '|'-separated
};

// Scans `text` to its end.
Scan scan(const std::string &text)
{
    Scan result;
    FILE *in = tmpfile();
    fwrite(text.data(), 1, text.size(), in);
    rewind(in);
    config_scanner_start(in);
    for (int kind; (kind = config_lex()) != TOK_EOF;) {
        if (!result.tokens.empty())
            result.tokens += " ";
        if (kind == TOK_STRING) {
            result.tokens += "[" + std::string(config_lval.str) + "]";
            free(config_lval.str);
        } else {
            result.tokens += kind_name(kind);
        }
        result.last_texts += std::string(config_token_text()) + "|";
    }
    result.last_texts += config_token_text();  // at the end of the file: empty
    result.lines = config_line;
    config_scanner_finish();
    fclose(in);
    return result;
}

}  // namespace

// Longest match, earlier rule on a tie: every consequence of the two rules
// that the file format relies on.
TEST(ConfigScanner, LongestMatchTable)
{
    struct Row {
        std::string input, tokens;
    } rows[] = {
        {"Port = 4803", "PORT = [4803]"},
        {"Port=4803", "[Port=4803]"},
        {"Port =4803", "PORT [=4803]"},
        {"Port= 4803", "[Port=] [4803]"},
        {"Spread{Log{", "SPREAD { LOG {"},
        {"x}y", "[x] } [y]"},
        {"==", "[==]"},
        {"= =", "= ="},
        {"Logs log LOG", "[Logs] [log] [LOG]"},
        {"'a b'", "[a b]"},
        {"''", "[]"},
        {"'abc'", "[abc]"},
        {"'abc'def", "['abc'def]"},
        {"'a b'x", "[a b] [x]"},
        {"'it''s'", "['it''s']"},
        {"'abc", "['abc]"},
        {"' abc", "['] [abc]"},
        {"ab'cd", "[ab'cd]"},
        {"abc#def", "[abc]"},
        {"'a#b'", "[a#b]"},
        // The same with double quotes, and the two kinds side by side.
        {"\"a b\"x", "[a b] [x]"},
        {"\"it's\"", "[it's]"},
        {"'say \"hi\"'", "[say \"hi\"]"},
        {"\"abc", "[\"abc]"},
        // Every keyword, exact and case-sensitive.
        {"BufferSize Spread Port Host Log Group File Match VhostGroup VhostDir RewriteTimestamp CommonLogFormat",
         "BUFFERSIZE SPREAD PORT HOST LOG GROUP FILE MATCH VHOSTGROUP VHOSTDIR REWRITETIMESTAMP CLF"},
        {"buffersize SPREAD Ports 'Log' \"Group\"", "[buffersize] [SPREAD] [Ports] [Log] [Group]"},
        // Blanks are space, tab and carriage return only.
        {"a\tb\r\nc", "[a] [b] [c]"},
        {"a\fb\vc", "[a\fb\vc]"},
        {"caf\xc3\xa9 \x80\xff", "[caf\xc3\xa9] [\x80\xff]"},
        // Comments run to the end of the line or of the file.
        {"# Spread {\nPort # = 1", "PORT"},
        {"a{#}\n}", "[a] { }"},
        // Quoted text is not interpreted and may span lines.
        {"'a\nb' c", "[a\nb] [c]"},
        {"'{}#=' \"\\n\"", "[{}#=] [\\n]"},
        {"", ""},
    };
    for (auto &row : rows) {
        SCOPED_TRACE(row.input);
        EXPECT_EQ(scan(row.input).tokens, row.tokens);
    }
}

// Newlines count outside quoted strings only; the text kept for an error
// report is the token as written, a quoted string without its closing
// quote, and nothing at the end of the file.
TEST(ConfigScanner, LinesAndReportedTexts)
{
    Scan s = scan("# one\nPort = 'a\nb'\n  \"q\" word\n");
    EXPECT_EQ(s.tokens, "PORT = [a\nb] [q] [word]");
    EXPECT_EQ(s.lines, 3);
    EXPECT_EQ(s.last_texts, "Port|=|'a\nb|\"q|word|");

    EXPECT_EQ(scan("a\r\nb\r\n\n").lines, 3);
    EXPECT_EQ(scan("'unclosed\n\n").lines, 2);
}

// A NUL byte is a word character; the value stops at it.
TEST(ConfigScanner, NulByteInAWord)
{
    EXPECT_EQ(scan(std::string("ab\0cd ef", 8)).tokens, "[ab] [ef]");
}

// A token of any length: the scanner's buffer grows as it needs.
TEST(ConfigScanner, LongTokens)
{
    std::string word(100000, 'w');
    std::string quoted = "'" + std::string(50000, 'q') + "\n" + std::string(50000, 'q') + "'";
    Scan s = scan(word + " " + quoted);
    EXPECT_EQ(s.tokens, "[" + word + "] [" + quoted.substr(1, quoted.size() - 2) + "]");
    EXPECT_EQ(s.lines, 0);
}
