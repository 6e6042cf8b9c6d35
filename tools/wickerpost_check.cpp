// wickerpost-check: reads a wickerpost configuration the way the daemon
// does, prints what it understood, and checks its outputs and connections
// without opening, creating, locking or starting anything.
//
//     wickerpost-check [-c configfile] [-b bytes]
//
// The file is read by the daemon's own reader, so a configuration that does
// not load is reported exactly as the daemon reports it, with the daemon's
// exit statuses: 255 when it cannot be loaded (a missing file, a syntax
// error), 2 when the scanner fails. Regex errors appear on standard error
// as the daemon prints them, each on a line of its own; the reader's
// notices of what it set up (the CLF and vhost ones) do not, they are not
// part of the report.
//
// A configuration that loads is listed on standard output: the buffer
// size, the StatsFile with its interval, then every connection in the order the daemon connects them, each
// with its Log blocks in group order (what each one writes to, its Match
// count and timestamp rewriting). Then every output and connection is
// checked, each problem one line on standard error:
// - a File must be writable: an existing file the daemon may open for
//   writing, or a path whose directory exists and lets it create one;
// - two File paths that name the same file (a.log and ./a.log) would take
//   two locks on it, and the second one fails;
// - a VhostDir must be a directory it can create files in;
// - a StatsFile must not be a directory, and its directory must let the
//   daemon create files: it writes the new file beside the old one and
//   renames it over;
// - a DatedFile's name for now must be writable as a File is when its
//   directory exists; otherwise the pattern's fixed part must be a
//   directory it can create directories in;
// - a piped command must start a program: its first word (past variable
//   assignments, redirections and an exec) is a shell builtin, a path to an
//   executable file, or a program found in PATH; and the files its > and >>
//   redirections name must be writable as a File is;
// - a FileOwner other than this user, or a FileGroup that is not one of
//   its groups, needs CAP_CHOWN, which the daemon must have to give its
//   files away (a user or group that does not exist refuses the file);
// - every connection's port and host must make a Spread daemon name, and
//   no two connections may reach the same daemon (it would refuse the
//   second session, whose private name it already has).
// Checks use this process's user and PATH: run it as the daemon runs.
//
// Exit status: 0 when the daemon would start with the configuration and
// every output can work; 1 for a problem found or a bad option; 2 and 255
// as the daemon.
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "config/config.h"
#include "config/dated.h"
#include "config/model.h"
#include "config/settings.h"
#include "daemon/options.h"
#include "daemon/process.h"
#include "spread/client.h"

namespace {

[[noreturn]] void usage()
{
    fprintf(stderr, "usage: wickerpost-check [-c configfile] [-b bytes]\n");
    exit(1);
}

// Problems found so far; each was printed when found.
int problems = 0;

__attribute__((format(printf, 1, 2))) void problem(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    vfprintf(stderr, format, args);
    va_end(args);
    problems++;
}

// A value as the listing shows it: as written, or in single quotes when it
// is empty or holds a blank, so that its extent is plain.
std::string shown(const char *value)
{
    std::string_view v = value;
    if (!v.empty() && v.find_first_of(" \t\r\n") == std::string_view::npos)
        return std::string(v);
    return "'" + std::string(v) + "'";
}

// Walks the model in the daemon's order: connections of spread_confs, each
// connection's facilities (the model's walks, with a lambda as visitor).
template <class Visit> void for_each_facility_of(SpreadConf *conf, Visit visit)
{
    for_each_facility(
        conf, [](LogFacility *f, void *v) { return (*static_cast<Visit *>(v))(f), 0; }, &visit);
}

template <class Visit> void for_each_conf(Visit visit)
{
    for_each_spread_conf([](SpreadConf *c, void *v) { return (*static_cast<Visit *>(v))(c), 0; }, &visit);
}

std::string daemon_name(const SpreadConf *conf)
{
    return conf->host == nullptr ? std::string(conf->port) : std::string(conf->port) + "@" + conf->host;
}

// "Log GROUP on DAEMON", naming a facility in messages.
std::string log_context(const SpreadConf *conf, const LogFacility *facility)
{
    return "Log " + std::string(facility->groupname) + " on " + daemon_name(conf);
}

std::string directory_of(const std::string &path)
{
    size_t slash = path.find_last_of('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

bool accessible(const std::string &path, int mode)
{
    return faccessat(AT_FDCWD, path.c_str(), mode, AT_EACCESS) == 0;
}

// ---------------------------------------------------------------- outputs

// Identity of the file a File path opens, to find two paths naming one
// file: the file's device and inode when it exists, else its directory's
// and its own name.
struct FileIdentity {
    dev_t dev;
    ino_t ino;
    std::string name;  // empty when the file exists
    const LogFile *file;
    std::string context;
};
std::vector<FileIdentity> identities;

// Whether `path` could be opened for appending, created if need be; else
// the reason. `id`, when given, receives the file's identity.
bool file_writable(const std::string &path, std::string *reason, FileIdentity *id)
{
    struct stat st;
    if (path.empty()) {
        *reason = strerror(ENOENT);
        return false;
    }
    if (stat(path.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode)) {
            *reason = strerror(EISDIR);
            return false;
        }
        if (!accessible(path, W_OK)) {
            *reason = strerror(errno);
            return false;
        }
        if (id != nullptr)
            *id = FileIdentity{st.st_dev, st.st_ino, "", nullptr, ""};
        return true;
    }
    if (errno != ENOENT) {
        *reason = strerror(errno);
        return false;
    }
    std::string dir = directory_of(path);
    if (stat(dir.c_str(), &st) != 0) {
        *reason = "directory " + dir + ": " + strerror(errno);
        return false;
    }
    if (!S_ISDIR(st.st_mode)) {
        *reason = "directory " + dir + ": " + strerror(ENOTDIR);
        return false;
    }
    if (!accessible(dir, W_OK | X_OK)) {
        *reason = "directory " + dir + ": " + strerror(errno);
        return false;
    }
    if (id != nullptr)
        *id = FileIdentity{st.st_dev, st.st_ino, path.substr(path.find_last_of('/') + 1), nullptr, ""};
    return true;
}

void check_file(const LogFile *file, const std::string &context)
{
    std::string reason;
    FileIdentity id;
    if (!file_writable(file->filename, &reason, &id)) {
        problem("Cannot write %s (%s): %s\n", file->filename, context.c_str(), reason.c_str());
        return;
    }
    id.file = file;
    id.context = context;
    for (const FileIdentity &seen : identities)
        if (seen.dev == id.dev && seen.ino == id.ino && seen.name == id.name) {
            problem("File %s (%s) is the file %s (%s) again: its lock would fail\n", file->filename,
                    context.c_str(), seen.file->filename, seen.context.c_str());
            return;
        }
    identities.push_back(id);
}

// A pattern expanded for now, for the listing.
std::string expanded_now(const char *pattern)
{
    char name[PATH_MAX];
    return dated_expand(pattern, time(nullptr), name, sizeof name) > 0 ? std::string(name) : std::string();
}

// The directory a dated name's missing directories are made in: the
// pattern's fixed part.
std::string fixed_directory(const char *pattern)
{
    size_t fixed = dated_fixed_length(pattern);
    if (fixed > 0)
        return std::string(pattern, fixed);
    return pattern[0] == '/' ? "/" : ".";
}

void check_dated_file(const LogFile *file, const std::string &context)
{
    std::string now = expanded_now(file->filename);
    struct stat st;
    std::string reason;
    if (stat(directory_of(now).c_str(), &st) == 0) {
        // This period's directory is there: the file itself, as a File.
        if (!file_writable(now, &reason, nullptr))
            problem("Cannot write %s for DatedFile %s (%s): %s\n", now.c_str(), file->filename, context.c_str(),
                    reason.c_str());
        return;
    }
    std::string dir = fixed_directory(file->filename);
    if (stat(dir.c_str(), &st) != 0)
        reason = strerror(errno);
    else if (!S_ISDIR(st.st_mode))
        reason = strerror(ENOTDIR);
    else if (!accessible(dir, W_OK | X_OK))
        reason = strerror(errno);
    if (!reason.empty())
        problem("Cannot create directories in %s for DatedFile %s (%s): %s\n", dir.c_str(), file->filename,
                context.c_str(), reason.c_str());
}

void check_vhostdir(const char *dir, const std::string &context)
{
    struct stat st;
    std::string reason;
    if (stat(dir, &st) != 0)
        reason = strerror(errno);
    else if (!S_ISDIR(st.st_mode))
        reason = strerror(ENOTDIR);
    else if (!accessible(dir, W_OK | X_OK))
        reason = strerror(errno);
    if (!reason.empty())
        problem("Cannot create files in VhostDir %s (%s): %s\n", dir, context.c_str(), reason.c_str());
}

void check_stats_file(const char *path)
{
    std::string dir = directory_of(path), reason;
    struct stat st;
    if (stat(path, &st) == 0 && S_ISDIR(st.st_mode))
        reason = strerror(EISDIR);
    else if (stat(dir.c_str(), &st) != 0)
        reason = "directory " + dir + ": " + strerror(errno);
    else if (!S_ISDIR(st.st_mode))
        reason = "directory " + dir + ": " + strerror(ENOTDIR);
    else if (!accessible(dir, W_OK | X_OK))
        reason = "directory " + dir + ": " + strerror(errno);
    if (!reason.empty())
        problem("Cannot write StatsFile %s: %s\n", path, reason.c_str());
}

// ------------------------------------------------------- piped commands

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

// ----------------------------------------------------------- file settings

// Whether this process holds CAP_CHOWN in its effective set.
bool has_cap_chown()
{
    FILE *status = fopen("/proc/self/status", "r");
    if (status == nullptr)
        return geteuid() == 0;
    char line[256];
    unsigned long long caps = 0;
    bool found = false;
    while (!found && fgets(line, sizeof line, status) != nullptr)
        found = sscanf(line, "CapEff: %llx", &caps) == 1;
    fclose(status);
    return found ? (caps & 1) != 0 : geteuid() == 0;  // CAP_CHOWN is bit 0
}

bool in_my_groups(gid_t gid)
{
    if (gid == getegid())
        return true;
    std::vector<gid_t> groups(static_cast<size_t>(getgroups(0, nullptr) > 0 ? getgroups(0, nullptr) : 0));
    int n = groups.empty() ? 0 : getgroups(static_cast<int>(groups.size()), groups.data());
    return std::find(groups.begin(), groups.begin() + (n > 0 ? n : 0), gid) != groups.begin() + (n > 0 ? n : 0);
}

std::string user_shown(unsigned uid)
{
    const passwd *p = getpwuid(uid);
    return p != nullptr ? std::string(p->pw_name) + " (" + std::to_string(uid) + ")" : std::to_string(uid);
}

std::string group_shown(unsigned gid)
{
    const group *g = getgrgid(gid);
    return g != nullptr ? std::string(g->gr_name) + " (" + std::to_string(gid) + ")" : std::to_string(gid);
}

// Lists the file settings of a Log block and checks the owner and group
// its files are given.
void list_rules(const FileRules *r, const std::string &context)
{
    if (file_rule(r, FILE_RULE_MAX_SIZE))
        printf("        MaxSize %llu bytes, Keep %d%s\n", r->max_size, file_rule(r, FILE_RULE_KEEP) ? r->keep : 7,
               file_rule(r, FILE_RULE_KEEP) ? "" : " (default)");
    if (file_rule(r, FILE_RULE_COMPRESS)) {
        bool zstd = r->compress == COMPRESS_ZSTD;
        bool level = file_rule(r, FILE_RULE_COMPRESS_LEVEL);
        printf("        Compress %s, level %d%s\n", zstd ? "zstd" : "gzip",
               level ? r->compress_level : zstd ? 3 : 6, level ? "" : " (default)");
    }
    if (file_rule(r, FILE_RULE_FILE_MODE))
        printf("        FileMode %04o\n", r->file_mode);
    if (file_rule(r, FILE_RULE_DIR_MODE))
        printf("        DirMode %04o\n", r->dir_mode);
    bool can_chown = has_cap_chown();
    if (file_rule(r, FILE_RULE_OWNER)) {
        printf("        FileOwner %s\n", user_shown(r->owner).c_str());
        if (r->owner != geteuid() && !can_chown)
            problem("FileOwner %s (%s): files cannot be given to another user without CAP_CHOWN\n",
                    user_shown(r->owner).c_str(), context.c_str());
    }
    if (file_rule(r, FILE_RULE_GROUP)) {
        printf("        FileGroup %s\n", group_shown(r->group).c_str());
        if (!in_my_groups(r->group) && !can_chown)
            problem("FileGroup %s (%s): not a group of this user, and files cannot be given to it without "
                    "CAP_CHOWN\n",
                    group_shown(r->group).c_str(), context.c_str());
    }
    if (file_rule(r, FILE_RULE_SYNC))
        printf("        SyncInterval %d s\n", r->sync_interval);
    if (file_rule(r, FILE_RULE_IDLE_CLOSE))
        printf("        IdleClose %d s\n", r->idle_close);
}

// ---------------------------------------------------------------- listing

void list_facility(SpreadConf *conf, LogFacility *facility, std::vector<const LogFile *> &seen_files,
                   std::vector<std::string> &first_users)
{
    std::string context = log_context(conf, facility);
    printf("    Log %s\n", shown(facility->groupname).c_str());
    if (facility->vhostdir != nullptr) {
        printf("        VhostDir %s\n", shown(facility->vhostdir).c_str());
        if (facility->vhostfile != nullptr)
            printf("        VhostFile %s (now %s)\n", shown(facility->vhostfile).c_str(),
                   shown(expanded_now(facility->vhostfile).c_str()).c_str());
        if (facility->logfile != nullptr)
            printf("        File %s (not used: the VhostDir takes the messages)\n",
                   shown(facility->logfile->filename).c_str());
        check_vhostdir(facility->vhostdir, context);
    } else {
        const LogFile *file = facility->logfile;
        auto earlier = std::find(seen_files.begin(), seen_files.end(), file);
        bool piped = file->filename[0] == '|';
        printf("        %s %s", piped ? "Command" : file->dated ? "DatedFile" : "File",
               shown(file->filename + (piped ? 1 : 0)).c_str());
        if (file->dated)
            printf(" (now %s)", shown(expanded_now(file->filename).c_str()).c_str());
        if (earlier != seen_files.end()) {
            printf(" (shared with %s)\n", first_users[earlier - seen_files.begin()].c_str());
        } else {
            printf("\n");
            seen_files.push_back(file);
            first_users.push_back(context);
            if (piped)
                printf("        Program %s\n", check_command(file, context).c_str());
            else if (file->dated)
                check_dated_file(file, context);
            else
                check_file(file, context);
        }
    }
    list_rules(&facility->rules, context);
    if (facility->nmatches > 0)
        printf("        Match %d pattern%s%s\n", facility->nmatches, facility->nmatches == 1 ? "" : "s",
               facility->vhostdir != nullptr ? " (not used: the VhostDir takes every message)" : "");
    if (facility->rewrite_mode == REWRITE_CLF)
        printf("        RewriteTimestamp CommonLogFormat\n");
    else if (facility->rewrite_mode == REWRITE_STRFTIME)
        printf("        RewriteTimestamp %s\n", shown(facility->rewrite_format).c_str());
}

// Daemons connected so far, to find two connections to one daemon.
struct Connected {
    SpDaemonAddress address;
    std::string name;
};
std::vector<Connected> daemons;

// Every session of the daemon has the same private name, and a Spread
// daemon refuses a second session of a name it already has: two
// connections to one daemon ("4803" and "04803") leave the second one
// never connected.
void check_daemon_once(const SpDaemonAddress &address, const std::string &name)
{
    for (const Connected &earlier : daemons)
        if (earlier.address.tcp == address.tcp && earlier.address.port == address.port &&
            (!address.tcp || strcmp(earlier.address.host, address.host) == 0)) {
            problem("Spread %s is the daemon of Spread %s again: it refuses a second session of the same "
                    "private name\n",
                    shown(name.c_str()).c_str(), shown(earlier.name.c_str()).c_str());
            return;
        }
    daemons.push_back(Connected{address, name});
}

void list_conf(SpreadConf *conf, std::vector<const LogFile *> &seen_files, std::vector<std::string> &first_users)
{
    std::string name = daemon_name(conf);
    SpDaemonAddress address;
    bool address_ok = sp_parse_daemon_name(name.c_str(), &address) == 0;
    if (!address_ok) {
        printf("Spread %s (not a Spread daemon name)\n", shown(name.c_str()).c_str());
        problem("Spread %s: not a Spread daemon name (Port a number up to 65535; Host not empty)\n",
                shown(name.c_str()).c_str());
    } else if (address.tcp) {
        printf("Spread %s (TCP to %s port %u)\n", shown(name.c_str()).c_str(), address.host, (unsigned)address.port);
    } else {
        printf("Spread %s (local daemon, Unix socket /tmp/%u)\n", shown(name.c_str()).c_str(),
               (unsigned)address.port);
    }
    if (address_ok)
        check_daemon_once(address, name);
    if (conf->facilities->size == 0)
        printf("    no Log blocks: no group is joined\n");
    for_each_facility_of(conf, [&](LogFacility *facility) { list_facility(conf, facility, seen_files, first_users); });
}

}  // namespace

int main(int argc, char **argv)
{
    const char *config_path = default_config_path;
    int c;
    while ((c = getopt(argc, argv, "+b:c:")) != -1) {
        switch (c) {
        case 'b': buffer_size = atoi(optarg); break;
        case 'c': config_path = optarg; break;
        default: usage();
        }
    }
    if (optind < argc)
        usage();

    // As the daemon: every VhostDir gets a table of the open-file limit's
    // size, and -b wins over BufferSize.
    vhost_table_size = raise_fd_limit();
    // The reader's notices are for the daemon's log, not for this report.
    reader_report_form = 1;
    bool size_from_option = buffer_size >= 0;
    if (config_load_model(config_path) != 0)
        exit(-1);
    const char *size_source = size_from_option ? " (-b)" : buffer_size >= 0 ? "" : " (default)";
    if (buffer_size < 0)
        buffer_size = default_buffer_size;

    printf("Configuration %s\n", config_path);
    printf("BufferSize %d%s\n", buffer_size, size_source);
    if (stats_file != nullptr) {
        printf("StatsFile %s (every %d s)\n", shown(stats_file).c_str(), stats_interval);
        check_stats_file(stats_file);
    }
    if (stats_listen != nullptr)
        printf("StatsListen %s\n", shown(stats_listen).c_str());
    std::vector<const LogFile *> seen_files;
    std::vector<std::string> first_users;
    for_each_conf([&](SpreadConf *conf) { list_conf(conf, seen_files, first_users); });
    fflush(stdout);

    if (problems > 0) {
        fprintf(stderr, "%d problem%s found\n", problems, problems == 1 ? "" : "s");
        return 1;
    }
    printf("Configuration OK\n");
    return 0;
}
