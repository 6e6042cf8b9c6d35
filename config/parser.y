%{
// Grammar of the configuration file. Each action is a line or two calling
// the model; the blocks' records are created at their first item and
// linked in when the block closes.
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <grp.h>
#include <pwd.h>

#include "config/dated.h"
#include "config/reader.h"
#include "config/settings.h"

// The parse stack starts with room for 200 entries and doubles up to a
// limit of 10000 held entries; a file that needs more is rejected with the
// usual report. Bison grows the stack as soon as it is full, one push ahead,
// so holding 10000 entries takes a stack of 10001.
#define YYINITDEPTH 200
#define YYMAXDEPTH 10001

SpreadConf *current_spread_conf = nullptr;
LogFacility *current_facility = nullptr;

static void ensure_spread_conf()
{
    if (current_spread_conf == nullptr)
        current_spread_conf = spread_conf_new();
}

static void ensure_facility()
{
    ensure_spread_conf();
    if (current_facility == nullptr)
        current_facility = log_facility_new();
}

// A Spread block's record joins spread_confs; a duplicate is released.
static void close_spread_block()
{
    if (current_spread_conf != nullptr && spread_confs_add(current_spread_conf) == nullptr)
        spread_conf_free(current_spread_conf);
    current_spread_conf = nullptr;
}

// A Log block's facility joins its connection. A facility that could not
// be looked up (no Group) or served (no File, no VhostDir) is refused, and
// with it the file; false then. A duplicate group is released.
static bool close_log_block()
{
    if (current_facility == nullptr)
        return true;
    const char *missing = nullptr;
    if (current_facility->groupname == nullptr)
        missing = "Log block without Group\n";
    else if (current_facility->logfile == nullptr && current_facility->vhostdir == nullptr)
        missing = "Log block without File or VhostDir\n";
    else if (current_facility->vhostfile != nullptr && current_facility->vhostdir == nullptr)
        missing = "VhostFile without VhostDir\n";
    if (missing == nullptr)
        missing = log_facility_rules_error(current_facility);
    if (missing == nullptr && !log_facility_share_rules(current_facility))
        missing = "Log blocks naming the same File give it different settings\n";
    if (missing != nullptr) {
        fputs(missing, stderr);
        config_error(nullptr);
        return false;
    }
    if (spread_conf_add_facility(current_spread_conf, current_facility) == nullptr)
        log_facility_free(current_facility);
    current_facility = nullptr;
    return true;
}

// Global settings that came after the keywords were fixed are names, not
// keywords: a value spelled like one (Group = StatsFile) means what it
// always meant. `word` as a setting's name, or null (reported as the
// offending token, as any word out of place is; `word` freed).
static char *known_setting(char *word)
{
    if (strcmp(word, "StatsFile") == 0 || strcmp(word, "StatsInterval") == 0 || strcmp(word, "StatsListen") == 0)
        return word;
    free(word);
    config_error(nullptr);
    return nullptr;
}

// Sets the global setting `name` to `value`; takes ownership of both. A
// value the setting cannot take is reported, with the value as the
// offending token, and refuses the file: false then.
static bool set_global(char *name, char *value)
{
    bool taken = true;
    if (strcmp(name, "StatsFile") == 0) {
        size_t length = strlen(value);
        if (length == 0 || value[length - 1] == '/') {
            fprintf(stderr, "StatsFile must name a file\n");
            taken = false;
        } else {
            free(stats_file);
            stats_file = value;
            value = nullptr;
        }
    } else if (strcmp(name, "StatsListen") == 0) {
        sockaddr_storage address;
        socklen_t length;
        if (!stats_listen_address(value, &address, &length)) {
            fprintf(stderr, "StatsListen must be ADDRESS:PORT, a numeric address (IPv6 in brackets) and a port "
                            "from 1 to 65535\n");
            taken = false;
        } else {
            free(stats_listen);
            stats_listen = value;
            value = nullptr;
        }
    } else {
        // Digits only, 1 to INT_MAX: "10s", "-1" and "0" are refused.
        char *end = nullptr;
        errno = 0;
        long seconds = value[0] >= '0' && value[0] <= '9' ? strtol(value, &end, 10) : 0;
        if (end == nullptr || *end != '\0' || errno != 0 || seconds < 1 || seconds > INT_MAX) {
            fprintf(stderr, "StatsInterval must be a whole number of seconds, 1 or more\n");
            taken = false;
        } else {
            stats_interval = static_cast<int>(seconds);
        }
    }
    free(name);
    free(value);
    if (!taken)
        config_error(nullptr);
    return taken;
}

// The file settings of a Log block (see FileRules in config/model.h), by
// name. Like the global settings they are names, not keywords.
struct LogSetting {
    const char *name;
    unsigned rule;
};
constexpr LogSetting log_settings[] = {
    {"MaxSize", FILE_RULE_MAX_SIZE},     {"Keep", FILE_RULE_KEEP},
    {"Compress", FILE_RULE_COMPRESS},    {"CompressLevel", FILE_RULE_COMPRESS_LEVEL},
    {"FileMode", FILE_RULE_FILE_MODE},   {"DirMode", FILE_RULE_DIR_MODE},
    {"FileOwner", FILE_RULE_OWNER},      {"FileGroup", FILE_RULE_GROUP},
    {"SyncInterval", FILE_RULE_SYNC},    {"IdleClose", FILE_RULE_IDLE_CLOSE},
};

// `word` as a Log block setting's name, or null (reported as the offending
// token; `word` freed).
static char *known_log_setting(char *word)
{
    for (const LogSetting &s : log_settings)
        if (strcmp(word, s.name) == 0)
            return word;
    free(word);
    config_error(nullptr);
    return nullptr;
}

// Digits only, at most `max`: the number in *out; false for anything else.
static bool whole_number(const char *text, unsigned long long max, unsigned long long *out)
{
    if (text[0] < '0' || text[0] > '9')
        return false;
    char *end = nullptr;
    errno = 0;
    unsigned long long n = strtoull(text, &end, 10);
    if (*end != '\0' || errno != 0 || n > max)
        return false;
    *out = n;
    return true;
}

// A size: digits, then K, M or G for powers of 1024; 1 byte to 1 TiB.
static bool size_value(const char *text, unsigned long long *out)
{
    std::string digits = text;
    unsigned shift = 0;
    if (!digits.empty()) {
        char unit = digits.back();
        shift = unit == 'K' ? 10 : unit == 'M' ? 20 : unit == 'G' ? 30 : 0;
        if (shift != 0)
            digits.pop_back();
    }
    unsigned long long n = 0;
    if (!whole_number(digits.c_str(), (1ull << 40) >> shift, &n) || n == 0)
        return false;
    *out = n << shift;
    return true;
}

// An octal mode, 0 to 0777 (no set-id or sticky bits on log files).
static bool mode_value(const char *text, unsigned *out)
{
    if (text[0] == '\0' || strspn(text, "01234567") != strlen(text) || strlen(text) > 4)
        return false;
    unsigned long mode = strtoul(text, nullptr, 8);
    if (mode > 0777)
        return false;
    *out = static_cast<unsigned>(mode);
    return true;
}

// A user or group: a number, or a name this system knows.
static bool id_value(const char *text, bool group, unsigned *out)
{
    unsigned long long n = 0;
    if (whole_number(text, 0xfffffffeull, &n)) {
        *out = static_cast<unsigned>(n);
        return true;
    }
    if (group) {
        const struct group *g = getgrnam(text);
        if (g != nullptr)
            *out = g->gr_gid;
        return g != nullptr;
    }
    const struct passwd *p = getpwnam(text);
    if (p != nullptr)
        *out = p->pw_uid;
    return p != nullptr;
}

// Sets the Log block setting `name` to `value`; takes ownership of both. A
// value the setting cannot take is reported with the value as the
// offending token, and refuses the file: false then.
static bool set_log_setting(char *name, char *value)
{
    ensure_facility();
    FileRules *r = &current_facility->rules;
    unsigned rule = 0;
    for (const LogSetting &s : log_settings)
        if (strcmp(name, s.name) == 0)
            rule = s.rule;
    unsigned long long n = 0;
    const char *refusal = nullptr;
    switch (rule) {
    case FILE_RULE_MAX_SIZE:
        if (!size_value(value, &r->max_size))
            refusal = "MaxSize must be a size in bytes, 1 or more, with K, M or G for powers of 1024\n";
        break;
    case FILE_RULE_KEEP:
        if (!whole_number(value, 1000, &n) || n < 1)
            refusal = "Keep must be a whole number of files, 1 to 1000\n";
        r->keep = static_cast<int>(n);
        break;
    case FILE_RULE_COMPRESS:
        if (strcmp(value, "zstd") == 0)
            r->compress = COMPRESS_ZSTD;
        else if (strcmp(value, "gzip") == 0)
            r->compress = COMPRESS_GZIP;
        else
            refusal = "Compress must be zstd or gzip\n";
        break;
    case FILE_RULE_COMPRESS_LEVEL:
        if (!whole_number(value, 99, &n) || n < 1)
            refusal = "CompressLevel must be a whole number, 1 or more\n";
        r->compress_level = static_cast<int>(n);
        break;
    case FILE_RULE_FILE_MODE:
        if (!mode_value(value, &r->file_mode))
            refusal = "FileMode must be an octal mode, 0 to 0777\n";
        break;
    case FILE_RULE_DIR_MODE:
        if (!mode_value(value, &r->dir_mode))
            refusal = "DirMode must be an octal mode, 0 to 0777\n";
        break;
    case FILE_RULE_OWNER:
        if (!id_value(value, false, &r->owner))
            refusal = "FileOwner must be a user name or number known to this system\n";
        break;
    case FILE_RULE_GROUP:
        if (!id_value(value, true, &r->group))
            refusal = "FileGroup must be a group name or number known to this system\n";
        break;
    case FILE_RULE_SYNC:
    case FILE_RULE_IDLE_CLOSE:
        if (!whole_number(value, INT_MAX, &n) || n < 1)
            refusal = rule == FILE_RULE_SYNC ? "SyncInterval must be a whole number of seconds, 1 or more\n"
                                             : "IdleClose must be a whole number of seconds, 1 or more\n";
        else if (rule == FILE_RULE_SYNC)
            r->sync_interval = static_cast<int>(n);
        else
            r->idle_close = static_cast<int>(n);
        break;
    }
    free(name);
    free(value);
    r->given |= rule;
    if (refusal != nullptr) {
        fputs(refusal, stderr);
        config_error(nullptr);
        return false;
    }
    return true;
}

// A refusal of the value just read: its reason, then the usual report.
static bool refuse_value(const char *reason)
{
    fputs(reason, stderr);
    config_error(nullptr);
    return false;
}

// DatedFile and VhostFile patterns, and a File that is not also a
// DatedFile (or the other way round), are checked as they are read.
static bool set_dated_file(char *pattern)
{
    ensure_facility();
    if (const char *error = dated_pattern_error(pattern, false)) {
        free(pattern);
        return refuse_value(error);
    }
    if (!log_facility_set_dated_file(current_facility, pattern))
        return refuse_value("DatedFile is a File's path already\n");
    return true;
}

static bool set_file(char *path)
{
    ensure_facility();
    if (!log_facility_set_file_checked(current_facility, path))
        return refuse_value("File is a DatedFile's pattern already\n");
    return true;
}

static bool set_vhostfile(char *pattern)
{
    ensure_facility();
    if (const char *error = dated_pattern_error(pattern, true)) {
        free(pattern);
        return refuse_value(error);
    }
    log_facility_set_vhostfile(current_facility, pattern);
    return true;
}
%}

%define api.prefix {config_}
/* Default reductions only where no lookahead could matter: a file is
   accepted, and its outputs opened, only once the end of file was read. */
%define lr.default-reduction consistent

%union {
    char *str;
}

%token TOK_EOF 0
%token TOK_BUFFERSIZE TOK_SPREAD TOK_PORT TOK_HOST TOK_LOG TOK_GROUP TOK_FILE
%token TOK_MATCH TOK_VHOSTGROUP TOK_VHOSTDIR TOK_REWRITETIMESTAMP TOK_CLF
%token TOK_DATEDFILE TOK_VHOSTFILE
%token TOK_LBRACE TOK_RBRACE TOK_EQUALS
%token <str> TOK_STRING
%type <str> setting_name log_setting_name
/* A token the scanner refuses (too long, or holding a NUL byte); no rule
   takes it, so the file is rejected with the usual report. */
%token TOK_INVALID

%type <str> value

%destructor { free($$); } <str>

%%

config
    : global_list spread_list
    ;

global_list
    : global_item global_list
    | %empty
    ;

global_item
    : TOK_BUFFERSIZE TOK_EQUALS value       { if (buffer_size < 0) buffer_size = atoi($3); free($3); }
    | setting_name TOK_EQUALS value         { if (!set_global($1, $3)) YYABORT; }
    ;

setting_name
    : TOK_STRING                            { if (($$ = known_setting($1)) == nullptr) YYABORT; }
    ;

log_setting_name
    : TOK_STRING                            { if (($$ = known_log_setting($1)) == nullptr) YYABORT; }
    ;

/* A value. The keywords added after the first release are values as well
   wherever a value is read, so that a file that used them as plain words
   still reads as it did. */
value
    : TOK_STRING
    | TOK_DATEDFILE                         { $$ = strdup("DatedFile"); }
    | TOK_VHOSTFILE                         { $$ = strdup("VhostFile"); }
    ;

spread_list
    : spread_block spread_list
    | spread_block
    ;

spread_block
    : TOK_SPREAD TOK_LBRACE spread_param_list log_list TOK_RBRACE
                                            { close_spread_block(); }
    ;

spread_param_list
    : spread_param spread_param_list
    | %empty
    ;

spread_param
    : TOK_PORT TOK_EQUALS value             { ensure_spread_conf(); spread_conf_set_port(current_spread_conf, $3); }
    | TOK_HOST TOK_EQUALS value             { ensure_spread_conf(); spread_conf_set_host(current_spread_conf, $3); }
    ;

log_list
    : log_block log_list
    | %empty
    ;

log_block
    : TOK_LOG TOK_LBRACE log_param_list TOK_RBRACE
                                            { if (!close_log_block()) YYABORT; }
    ;

log_param_list
    : log_param_list log_param
    | %empty
    ;

log_param
    : TOK_GROUP TOK_EQUALS value            { ensure_facility(); log_facility_set_group(current_facility, $3); }
    | TOK_FILE TOK_EQUALS value             { if (!set_file($3)) YYABORT; }
    | TOK_DATEDFILE TOK_EQUALS value        { if (!set_dated_file($3)) YYABORT; }
    | TOK_MATCH TOK_EQUALS value            { ensure_facility(); log_facility_add_match(current_facility, $3); free($3); }
    | TOK_VHOSTDIR TOK_EQUALS value         { ensure_facility(); log_facility_set_vhostdir(current_facility, $3); }
    | TOK_VHOSTFILE TOK_EQUALS value        { if (!set_vhostfile($3)) YYABORT; }
    | TOK_REWRITETIMESTAMP TOK_EQUALS TOK_CLF
        {
            ensure_facility();
            if (!reader_report_form)
                fprintf(stderr, "Setting logfacility to force local times in CLF\n");
            log_facility_set_clf(current_facility);
        }
    | TOK_REWRITETIMESTAMP TOK_EQUALS value
                                            { ensure_facility(); log_facility_set_strftime(current_facility, $3); }
    | log_setting_name TOK_EQUALS value     { if (!set_log_setting($1, $3)) YYABORT; }
    ;

%%

void config_error(const char *)
{
    fprintf(stderr, "Parser error on or before line %d\n", config_line);
    fprintf(stderr, "Offending token: %s\n", config_token_text());
}
