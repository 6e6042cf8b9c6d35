%{
// Grammar of the configuration file. Each action is a line or two calling
// the model; the blocks' records are created at their first item and
// linked in when the block closes.
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

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
%type <str> setting_name
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
    ;

%%

void config_error(const char *)
{
    fprintf(stderr, "Parser error on or before line %d\n", config_line);
    fprintf(stderr, "Offending token: %s\n", config_token_text());
}
