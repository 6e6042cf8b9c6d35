// wickerpost-check: the check of a piped command, read as the shell would
// read it, without running it: the program it starts and the files it
// writes.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "config/model.h"
#include "wickerpost_check.h"

namespace check {
namespace {

// Builtins of /bin/sh: a command that starts with one needs no program.
constexpr std::string_view shell_builtins[] = {
    ".",       ":",        "[",     "alias", "bg",     "break",  "cd",    "chdir",
    "command", "continue", "echo",  "eval",  "exit",   "export", "false", "fc",
    "fg",      "getopts",  "hash",  "jobs",  "kill",   "local",  "printf", "pwd",
    "read",    "readonly", "return", "set",  "shift",  "test",   "times", "trap",
    "true",    "type",     "ulimit", "umask", "unalias", "unset", "wait",
};
constexpr bool sorted(const std::string_view *first, const std::string_view *last)
{
    for (const std::string_view *p = first; p + 1 < last; p++)
        if (!(p[0] < p[1]))
            return false;
    return true;
}
static_assert(sorted(std::begin(shell_builtins), std::end(shell_builtins)), "kept sorted for binary_search");

// Words that open a compound command: what runs inside is not one program.
constexpr std::string_view shell_keywords[] = {"!", "case", "for", "if", "until", "while", "{"};

bool blank(char c) { return c == ' ' || c == '\t' || c == '\n'; }
bool operator_char(char c) { return c == ';' || c == '&' || c == '|' || c == '<' || c == '>' || c == '(' || c == ')'; }

// One word of a shell command at *p, quotes removed; *p moves past it.
struct Word {
    std::string text;
    bool quoted = false;   // held quotes or a backslash
    bool dynamic = false;  // built from an expansion ($ or `): its value is unknown here
};

Word read_word(const char *&p)
{
    Word w;
    while (*p != '\0' && !blank(*p) && !operator_char(*p)) {
        char c = *p++;
        if (c == '\'') {
            w.quoted = true;
            while (*p != '\0' && *p != '\'')
                w.text += *p++;
            if (*p == '\'')
                p++;
        } else if (c == '"') {
            w.quoted = true;
            while (*p != '\0' && *p != '"') {
                if (*p == '$' || *p == '`')
                    w.dynamic = true;
                if (*p == '\\' && p[1] != '\0' && strchr("\"\\$`", p[1]) != nullptr)
                    p++;
                w.text += *p++;
            }
            if (*p == '"')
                p++;
        } else if (c == '\\' && *p != '\0') {
            w.quoted = true;
            w.text += *p++;
        } else {
            if (c == '$' || c == '`')
                w.dynamic = true;
            w.text += c;
        }
    }
    return w;
}

bool assignment(const Word &w)
{
    size_t eq = w.text.find('=');
    return !w.quoted && eq != std::string::npos && eq > 0 && !isdigit((unsigned char)w.text[0]) &&
           w.text.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_") >= eq;
}

// What a piped command starts and writes, as far as the text tells
// without running it: the program of its first simple command (the one
// that reads the messages), past variable assignments, redirections and an
// exec; and the files its > and >> redirections write.
struct CommandScan {
    Word program;             // empty text when the command runs none
    bool compound = false;    // starts with a subshell or a compound command
    std::vector<Word> outputs;
};

CommandScan scan_command(const char *p)
{
    CommandScan scan;
    bool want_program = true;
    for (;;) {
        while (blank(*p))
            p++;
        if (*p == '\0' || *p == '#')  // the end, or a comment to the end
            return scan;
        if (*p == '>' || *p == '<') {
            bool output = *p == '>';
            p++;
            bool duplicate = false;  // >&N, <&N: another descriptor, not a file
            if (*p == '>' || *p == '|' || (!output && (*p == '<' || *p == '>')))
                p++;
            if (*p == '&') {
                duplicate = true;
                p++;
            }
            while (blank(*p))
                p++;
            Word target = read_word(p);
            if (output && !duplicate && !target.dynamic && !target.text.empty())
                scan.outputs.push_back(target);
            continue;
        }
        if (operator_char(*p)) {
            if (*p == '(' && want_program)
                scan.compound = true;
            want_program = false;
            p++;
            continue;
        }
        Word w = read_word(p);
        // "2>file": the digits name the descriptor of a redirection.
        if ((*p == '<' || *p == '>') && !w.quoted && !w.text.empty() &&
            w.text.find_first_not_of("0123456789") == std::string::npos)
            continue;
        if (!want_program || assignment(w) || (!w.quoted && w.text == "exec"))
            continue;
        want_program = false;
        if (!w.quoted && std::find(std::begin(shell_keywords), std::end(shell_keywords), w.text) !=
                             std::end(shell_keywords))
            scan.compound = true;
        else
            scan.program = w;
    }
}

// /bin/sh's own search path when PATH is not set.
constexpr const char *shell_default_path = "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin";

// Whether `path` is a file the shell can execute; else the reason.
bool executable(const std::string &path, std::string *reason)
{
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
        *reason = strerror(errno);
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        *reason = "not a regular file";
        return false;
    }
    if (!accessible(path, X_OK)) {
        *reason = strerror(errno);
        return false;
    }
    return true;
}

}  // namespace

// What the listing says about the command's program; a problem for a
// program that cannot be started and for a file it cannot write.
std::string check_command(const LogFile *file, const std::string &context)
{
    const char *command = file->filename + 1;
    CommandScan scan = scan_command(command);
    std::string reason;
    for (const Word &target : scan.outputs)
        if (!file_writable(target.text, &reason, nullptr))
            problem("Command %s (%s): cannot write %s: %s\n", shown(command).c_str(), context.c_str(),
                    target.text.c_str(), reason.c_str());

    const std::string &program = scan.program.text;
    if (scan.compound)
        return "not checked (a compound command)";
    if (scan.program.dynamic)
        return "not checked (" + shown(program.c_str()) + " is expanded by the shell)";
    if (program.empty()) {
        problem("Command %s (%s): no program to run\n", shown(command).c_str(), context.c_str());
        return "none";
    }
    if (!scan.program.quoted &&
        std::binary_search(std::begin(shell_builtins), std::end(shell_builtins), std::string_view(program)))
        return program + " (shell builtin)";
    if (program.find('/') != std::string::npos) {
        if (!executable(program, &reason)) {
            problem("Command %s (%s): %s: %s\n", shown(command).c_str(), context.c_str(), program.c_str(),
                    reason.c_str());
            return "not found";
        }
        return program;
    }
    const char *path = getenv("PATH");
    std::string_view dirs = path != nullptr ? path : shell_default_path;
    for (;;) {
        size_t colon = dirs.find(':');
        std::string dir(dirs.substr(0, colon));
        std::string candidate = (dir.empty() ? std::string(".") : dir) + "/" + program;
        if (executable(candidate, &reason))
            return candidate;
        if (colon == std::string_view::npos)
            break;
        dirs.remove_prefix(colon + 1);
    }
    problem("Command %s (%s): %s: not found in PATH\n", shown(command).c_str(), context.c_str(), program.c_str());
    return "not found";
}

}  // namespace check
