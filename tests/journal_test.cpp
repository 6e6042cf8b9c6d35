// Priorities of the daemon's diagnostics in the journal: the table of
// message beginnings against the lines the daemon prints, and against every
// message in the sources, so that a new message cannot go unclassified.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

#include "daemon/journal.h"

#ifndef WKP_SOURCE_DIR
#define WKP_SOURCE_DIR "."
#endif

namespace {

// The text of the C string literal that begins at s[at] (its opening
// quote), escapes decoded.
std::string literal_at(const std::string &s, size_t at)
{
    std::string text;
    for (size_t i = at + 1; i < s.size() && s[i] != '"'; i++) {
        if (s[i] != '\\') {
            text += s[i];
            continue;
        }
        char c = s[++i];
        text += c == 'n' ? '\n' : c == 't' ? '\t' : c;
    }
    return text;
}

struct Message {
    std::string where;
    std::string text;  // the literal the message begins with
};

// Every message the daemon's layers print to standard error (and the
// status report, printed there on SIGUSR1): the first literal of each
// fprintf(stderr|out, ...), perror's text with its ": ", and the literals
// of the parser's messages kept in `missing`.
std::vector<Message> messages_in_sources()
{
    const std::regex call(R"re((fprintf\((stderr|out),\s*|perror\(|missing = )")re");
    std::vector<Message> found;
    for (const char *dir : {"daemon", "output", "config", "spread"}) {
        for (const auto &entry : std::filesystem::directory_iterator(std::string(WKP_SOURCE_DIR) + "/" + dir)) {
            std::string name = entry.path().filename();
            if (!std::regex_match(name, std::regex(R"(.*\.(cpp|h|y|l))")))
                continue;
            std::ifstream in(entry.path());
            std::stringstream text;
            text << in.rdbuf();
            std::string source = text.str();
            for (auto it = std::sregex_iterator(source.begin(), source.end(), call); it != std::sregex_iterator(); ++it) {
                size_t quote = it->position() + it->length() - 1;
                std::string literal = literal_at(source, quote);
                if ((*it)[0].str().starts_with("perror"))
                    literal += ": ";
                found.push_back({std::string(dir) + "/" + name, literal});
            }
        }
    }
    return found;
}

}  // namespace

// Each kind of line gets the priority an operator filters on: errors <3>,
// drops and failed or lost connections <4>, what the daemon did <6>.
TEST(Journal, LinesGetTheirPriorities)
{
    struct Case {
        const char *line;
        int priority;
    } cases[] = {
        {"Dropped 3 messages for /var/log/web.log: backlog full", journal_warning},
        {"Refused vhost name \"..\", message dropped", journal_warning},
        {"Failed connection to spread at /tmp/4803", journal_warning},
        {"Terminal error closing spread mailbox 5", journal_warning},
        {"Error connecting to spread daemon", journal_warning},
        {"Cannot open /var/log/web.log: Permission denied", journal_error},
        {"Cannot lock /var/log/web.log, is another wickerpost running?", journal_error},
        {"Error receiving from spread:", journal_error},
        {"Parser error on or before line 3", journal_error},
        {"Unmatched ( or \\(", journal_error},
        {"Joined web.", journal_info},
        {"Successfully connected to spread at /tmp/4803", journal_info},
        {"Setting FD: 5", journal_info},
        {"spread daemon=4803 connected=yes mailbox=5 reconnects=0 received=3 buffered=0", journal_info},
        {"output path=/var/log/web.log kind=file written=3 bytes=21 dropped=0", journal_info},
        {"Zeroing vhost hash for usage!", journal_info},
        {"Received SIGTERM, closing log files.", journal_info},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.line);
        EXPECT_EQ(journal_classify(c.line), c.priority);
        EXPECT_EQ(journal_priority(c.line, journal_info, "/usr/sbin/wickerpost"), c.priority);
    }
}

// A line that continues a message (tab or space first) takes the priority
// of the line before it; the usage text and getopt's complaints begin with
// the program's name and are errors; anything unforeseen is a warning.
TEST(Journal, ContinuationsProgramNameAndUnknownLines)
{
    EXPECT_EQ(journal_priority("\tSP_error: (-8) Connection closed by spread", journal_error, "wickerpost"),
              journal_error);
    EXPECT_EQ(journal_priority("\tFile: /var/log/web.log", journal_info, "wickerpost"), journal_info);
    EXPECT_EQ(journal_priority(" \t-s\t\t\tskip locking (flock) files (NOT RECOMMENDED)", journal_error, "wickerpost"),
              journal_error);
    EXPECT_EQ(journal_priority("/usr/sbin/wickerpost: invalid option -- 'q'", journal_info, "/usr/sbin/wickerpost"),
              journal_error);
    EXPECT_EQ(journal_priority("/usr/sbin/wickerpost\t\tVERSION: 1.4.2", journal_info, "/usr/sbin/wickerpost"),
              journal_error);
    EXPECT_EQ(journal_classify("Something nobody wrote"), -1);
    EXPECT_EQ(journal_priority("Something nobody wrote", journal_info, "wickerpost"), journal_warning);
}

// Every message in the sources begins with a text of the table. A message
// that begins with a conversion is the usage text (argv[0] first), whose
// lines the program-name rule covers; one that begins with a blank goes on
// a line begun by another call.
TEST(Journal, EveryMessageInTheSourcesIsClassified)
{
    std::vector<Message> messages = messages_in_sources();
    ASSERT_GE(messages.size(), 40u) << "the sources were not found under " WKP_SOURCE_DIR;
    size_t classified = 0;
    for (const Message &m : messages) {
        std::string text = m.text;
        while (!text.empty() && text[0] == '\n')
            text.erase(0, 1);  // an empty line first: dropped in the journal
        SCOPED_TRACE(m.where + ": \"" + text + "\"");
        ASSERT_FALSE(text.empty());
        if (text[0] == ' ' || text[0] == '\t')
            continue;
        if (text[0] == '%') {
            EXPECT_TRUE(m.where == "daemon/options.cpp" && text.starts_with("%s\t\tVERSION: "));
            continue;
        }
        std::string fixed = text.substr(0, text.find_first_of("%\n"));
        EXPECT_NE(journal_classify(fixed), -1);
        classified++;
    }
    EXPECT_GE(classified, 35u);
}
