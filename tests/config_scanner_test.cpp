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
    case TOK_INVALID: return "INVALID";
    default: return "?";
    }
}

struct Scan {
    std::string tokens;      // kinds separated by blanks, strings as [value],
                             // a refused token as INVALID<reported text>
    int lines = 0;           // config_line at the end
    std::string last_texts;  // config_token_text() after each token, '|'-separated
};

// Scans `text` to its end, or to the first refused token.
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
        } else if (kind == TOK_INVALID) {
            result.tokens += "INVALID<" + std::string(config_token_text()) + ">";
            break;
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

// A NUL byte refuses the token it is in, which is reported up to the NUL;
// in a comment the NUL alone is the refused token. Nothing after it is read.
TEST(ConfigScanner, NulBytes)
{
    using namespace std::string_literals;
    struct Row {
        std::string input, tokens;
        int lines;
    } rows[] = {
        {"ab\0cd ef"s, "INVALID<ab>", 0},
        {"x \0 y"s, "[x] INVALID<>", 0},
        {"x\n\0"s, "[x] INVALID<>", 1},
        {"Port\0"s, "INVALID<Port>", 0},
        {"ab'\0'"s, "INVALID<ab'>", 0},
        {"'a b\0c' d"s, "INVALID<'a b>", 0},
        {"\"q\0\""s, "INVALID<\"q>", 0},
        {"'line\nbreak\0'"s, "INVALID<'line\nbreak>", 0},
        {"'ok' \"x\0"s, "[ok] INVALID<\"x>", 0},
        {"a # comment\n# c\0mment\nb"s, "[a] INVALID<>", 1},
        {"#\0"s, "INVALID<>", 0},
    };
    for (auto &row : rows) {
        SCOPED_TRACE(row.input);
        Scan s = scan(row.input);
        EXPECT_EQ(s.tokens, row.tokens);
        EXPECT_EQ(s.lines, row.lines);
    }
}

// A token is at most config_token_max bytes as written, quotes included;
// a longer one is refused and reported as far as it was read, which is at
// most one byte past the bound. Where the token falls in the scanner's
// buffer changes nothing: each case runs behind several lengths of
// ordinary tokens.
TEST(ConfigScanner, TokenBound)
{
    const size_t max = config_token_max;
    const std::string w(max, 'w'), w1(max + 1, 'w');
    const std::string q = std::string(max / 2, 'q') + "\n" + std::string(max - 3 - max / 2, 'q');  // 'q' + 2 quotes = max
    struct Row {
        const char *what;
        std::string input, tokens;
    } rows[] = {
        {"a word of the largest size", w + " x", "[" + w + "] [x]"},
        {"the same at the end of the file", w, "[" + w + "]"},
        {"a word one byte longer", w1 + " x", "INVALID<" + w1 + ">"},
        {"the same at the end of the file", w1, "INVALID<" + w1 + ">"},
        {"a much longer word", std::string(1000000, 'w') + " x", "INVALID<" + w1 + ">"},
        {"a word of the largest size after a brace", "{" + w + "}", "{ [" + w + "] }"},
        {"a quoted string of the largest size", "'" + q + "' x", "[" + q + "] [x]"},
        {"the same with double quotes", "\"" + q + "\"", "[" + q + "]"},
        {"a quoted string one byte longer", "'" + q + "q' x", "INVALID<'" + q + "q>"},
        {"a quoted string with no blank, one byte longer", "'" + w.substr(2) + "w'", "INVALID<'" + w.substr(1) + ">"},
        {"a much longer quoted string", "'" + std::string(1000000, 'q') + "' x",
         "INVALID<'" + std::string(max, 'q') + ">"},
        // Whether these quotes open a quoted string or a word cannot be told
        // without reading past the bound: refused, as the word each is so far.
        {"a much longer quoted string of blanks", "'" + std::string(1000000, ' ') + "'", "INVALID<'>"},
        {"an unclosed quote with the rest of the file past the bound", "'abc def " + std::string(max, 'x'),
         "INVALID<'abc>"},
        {"an unclosed quote with the rest of the file within it", "'abc def " + std::string(max - 10, 'x'),
         "['abc] [def] [" + std::string(max - 10, 'x') + "]"},
        // A comment is no token: it may be of any length.
        {"a long comment", "a #" + std::string(1000000, 'c') + "\nb", "[a] [b]"},
        {"a long comment at the end of the file", "a #" + std::string(1000000, 'c'), "[a]"},
    };
    for (auto &row : rows) {
        for (size_t before : {0, 1, 4095, 65535, 65536, 100000}) {
            SCOPED_TRACE(std::string(row.what) + " behind " + std::to_string(before) + " bytes");
            std::string lead;
            while (lead.size() + 2 <= before)
                lead += "a ";
            lead.resize(before, ' ');
            std::string expected_lead;
            for (size_t i = 0; i + 1 < before; i += 2)
                expected_lead += "[a] ";
            Scan s = scan(lead + row.input);
            EXPECT_TRUE(s.tokens == expected_lead + row.tokens)
                << s.tokens.size() << " bytes of tokens, expected " << (expected_lead + row.tokens).size();
        }
    }
}
