#include "config/model.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <sys/resource.h>
#include <unistd.h>

#include "config/settings.h"

Skiplist spread_confs;
Skiplist log_files;

// The regex syntax of Match patterns: POSIX egrep as the GNU library
// defines it.
constexpr reg_syntax_t match_syntax = 0x23BA5C;
static_assert(match_syntax == (RE_CHAR_CLASSES | RE_CONTEXT_INDEP_ANCHORS | RE_CONTEXT_INDEP_OPS |
                               RE_DOT_NEWLINE | RE_INTERVALS | RE_NEWLINE_ALT | RE_NO_BK_BRACES |
                               RE_NO_BK_PARENS | RE_NO_BK_VBAR | RE_NO_EMPTY_RANGES |
                               RE_UNMATCHED_RIGHT_PAREN_ORD | RE_INVALID_INTERVAL_ORD),
              "Match syntax is POSIX egrep");

static void *model_calloc(size_t count, size_t size)
{
    void *p = calloc(count, size);
    if (p == nullptr && count > 0 && size > 0) {
        fprintf(stderr, "Out of memory while building the configuration\n");
        exit(-1);
    }
    return p;
}

static char *model_strdup(const char *text)
{
    size_t length = strlen(text);
    char *copy = static_cast<char *>(model_calloc(length + 1, 1));
    memcpy(copy, text, length);
    return copy;
}

int log_file_comp(const void *a, const void *b)
{
    return strcmp(static_cast<const LogFile *>(a)->filename, static_cast<const LogFile *>(b)->filename);
}

int log_file_compk(const void *key, const void *b)
{
    return strcmp(static_cast<const char *>(key), static_cast<const LogFile *>(b)->filename);
}

int facility_comp(const void *a, const void *b)
{
    return strcmp(static_cast<const LogFacility *>(a)->groupname,
                  static_cast<const LogFacility *>(b)->groupname);
}

int facility_compk(const void *key, const void *b)
{
    return strcmp(static_cast<const char *>(key), static_cast<const LogFacility *>(b)->groupname);
}

int spread_conf_comp(const void *a, const void *b)
{
    const SpreadConf *x = static_cast<const SpreadConf *>(a);
    const SpreadConf *y = static_cast<const SpreadConf *>(b);
    int by_port = strcmp(x->port, y->port);
    if (by_port != 0)
        return by_port;
    if (x->host == nullptr && y->host == nullptr)
        return 0;
    if (x->host == nullptr)
        return -1;
    if (y->host == nullptr)
        return 1;
    return strcmp(x->host, y->host);
}

// The registry is never searched; a key is a SpreadConf like the elements.
int spread_conf_compk(const void *key, const void *b)
{
    return spread_conf_comp(key, b);
}

void config_registries_init()
{
    sl_init(&log_files);
    sl_set_compare(&log_files, log_file_comp, log_file_compk);
    sl_init(&spread_confs);
    sl_set_compare(&spread_confs, spread_conf_comp, spread_conf_compk);
}

SpreadConf *spread_conf_new()
{
    SpreadConf *conf = static_cast<SpreadConf *>(model_calloc(1, sizeof(SpreadConf)));
    conf->port = model_strdup("4803");
    conf->host = nullptr;
    conf->connected = 0;
    conf->facilities = static_cast<Skiplist *>(model_calloc(1, sizeof(Skiplist)));
    sl_init(conf->facilities);
    sl_set_compare(conf->facilities, facility_comp, facility_compk);
    return conf;
}

void spread_conf_set_port(SpreadConf *conf, char *port)
{
    free(conf->port);
    conf->port = port;
}

void spread_conf_set_host(SpreadConf *conf, char *host)
{
    free(conf->host);
    conf->host = host;
}

SkiplistNode *spread_confs_add(SpreadConf *conf)
{
    return sl_insert(&spread_confs, conf);
}

SkiplistNode *spread_conf_add_facility(SpreadConf *conf, LogFacility *facility)
{
    return sl_insert(conf->facilities, facility);
}

LogFacility *spread_conf_facility(SpreadConf *conf, const char *group)
{
    if (conf == nullptr || conf->facilities == nullptr)
        return nullptr;
    return static_cast<LogFacility *>(sl_find(conf->facilities, group, nullptr));
}

LogFacility *log_facility_new()
{
    // Zeroed: no strings, no LogFile, no patterns, and every pattern buffer
    // without buffer, fastmap or translation table.
    return static_cast<LogFacility *>(model_calloc(1, sizeof(LogFacility)));
}

void log_facility_set_group(LogFacility *facility, char *group)
{
    free(facility->groupname);
    facility->groupname = group;
}

// The LogFile of `path` (a File path, or a DatedFile pattern when
// `dated`), made on first use; null, with `path` freed, when the same text
// names the other kind already.
static bool set_log_file(LogFacility *facility, char *path, bool dated)
{
    LogFile *file = static_cast<LogFile *>(sl_find(&log_files, path, nullptr));
    if (file != nullptr) {
        free(path);
        if (file->dated != dated)
            return false;
    } else {
        file = static_cast<LogFile *>(model_calloc(1, sizeof(LogFile)));
        file->filename = path;
        file->fd = -1;
        file->dated = dated;
        sl_insert(&log_files, file);
    }
    facility->logfile = file;
    return true;
}

void log_facility_set_file(LogFacility *facility, char *path)
{
    (void)set_log_file(facility, path, false);
}

bool log_facility_set_file_checked(LogFacility *facility, char *path)
{
    return set_log_file(facility, path, false);
}

bool log_facility_set_dated_file(LogFacility *facility, char *pattern)
{
    return set_log_file(facility, pattern, true);
}

void log_facility_set_vhostfile(LogFacility *facility, char *pattern)
{
    free(facility->vhostfile);
    facility->vhostfile = pattern;
}

#if defined(__SANITIZE_ADDRESS__)
#define WKP_ADDRESS_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define WKP_ADDRESS_SANITIZER 1
#endif
#endif

// Room the regex compiler may take for one pattern.
static constexpr rlim_t compile_room = 256ul << 20;

// Compiles `pattern` into `buffer`; returns the library's error text or
// null. Stacked or nested repetitions (a+++++++++++++++++++, or twenty
// levels of (...+)+) make the compiler's automaton grow exponentially: six
// gigabytes for twenty stacked operators. So the compilation runs with the
// address space capped at what the process uses plus compile_room; such a
// pattern then fails with the library's own "Memory exhausted" instead of
// taking the machine's memory. (Not under AddressSanitizer, whose shadow
// memory cannot live under an address-space cap.)
static const char *compile_bounded(const char *pattern, re_pattern_buffer *buffer)
{
#ifndef WKP_ADDRESS_SANITIZER
    struct rlimit saved;
    unsigned long pages = 0;
    FILE *statm = fopen("/proc/self/statm", "re");
    bool capped = false;
    if (statm != nullptr && fscanf(statm, "%lu", &pages) == 1 && getrlimit(RLIMIT_AS, &saved) == 0) {
        struct rlimit cap = saved;
        rlim_t want = (rlim_t)pages * (rlim_t)sysconf(_SC_PAGESIZE) + compile_room;
        if (cap.rlim_cur == RLIM_INFINITY || cap.rlim_cur > want)
            cap.rlim_cur = want;
        capped = setrlimit(RLIMIT_AS, &cap) == 0;
    }
    if (statm != nullptr)
        fclose(statm);
#endif
    const char *error = re_compile_pattern(pattern, strlen(pattern), buffer);
#ifndef WKP_ADDRESS_SANITIZER
    if (capped)
        setrlimit(RLIMIT_AS, &saved);
#endif
    return error;
}

void log_facility_add_match(LogFacility *facility, const char *pattern)
{
    if (facility->nmatches >= max_matches) {
        fprintf(stderr, "Already 10 regex's on group\n");
        return;
    }
    // The syntax is a process-wide setting of the library: set it for every
    // compilation.
    re_set_syntax(match_syntax);
    // With a fastmap the search skips every start position whose byte
    // cannot begin a match: about ten times faster on log lines. regfree
    // releases it with the buffer; a failed compilation leaves it for the
    // next pattern of the block.
    re_pattern_buffer *buffer = &facility->matches[facility->nmatches];
    if (buffer->fastmap == nullptr)
        buffer->fastmap = (char *)malloc(256);
    const char *error = compile_bounded(pattern, buffer);
    if (error != nullptr) {
        fputs(error, stderr);
        if (reader_report_form)
            fputc('\n', stderr);
        return;
    }
    facility->nmatches++;
}

static void vhost_table_free(VhostTable *table)
{
    if (table == nullptr)
        return;
    for (int i = 0; i < vhost_table_size; i++)
        free(table->slots[i].name);
    free(table->slots);
    free(table->period);
    free(table);
}

void log_facility_set_vhostdir(LogFacility *facility, char *dir)
{
    free(facility->vhostdir);
    vhost_table_free(facility->vhosts);
    facility->vhostdir = dir;
    facility->vhosts = static_cast<VhostTable *>(model_calloc(1, sizeof(VhostTable)));
    facility->vhosts->slots = static_cast<VhostSlot *>(model_calloc(vhost_table_size, sizeof(VhostSlot)));
    if (!reader_report_form)
        fprintf(stderr, "\nZeroing vhost hash for usage!\n");
    for (int i = 0; i < vhost_table_size; i++) {
        facility->vhosts->slots[i].name = nullptr;
        facility->vhosts->slots[i].fd = -1;
    }
}

void log_facility_set_clf(LogFacility *facility)
{
    facility->rewrite_mode = REWRITE_CLF;
}

void log_facility_set_strftime(LogFacility *facility, char *format)
{
    free(facility->rewrite_format);
    facility->rewrite_mode = REWRITE_STRFTIME;
    facility->rewrite_format = format;
}

void log_facility_free(LogFacility *facility)
{
    if (facility == nullptr)
        return;
    free(facility->groupname);
    free(facility->rewrite_format);
    for (int i = 0; i < facility->nmatches; i++)
        regfree(&facility->matches[i]);
    // A pattern that failed to compile leaves nothing behind in its buffer,
    // but the slot after the last valid one is released all the same.
    if (facility->nmatches < max_matches)
        regfree(&facility->matches[facility->nmatches]);
    free(facility->vhostdir);
    vhost_table_free(facility->vhosts);
    free(facility->vhostfile);
    free(facility);
}

static void release_facility(void *element)
{
    log_facility_free(static_cast<LogFacility *>(element));
}

static void release_spread_conf(void *element)
{
    spread_conf_free(static_cast<SpreadConf *>(element));
}

static void release_log_file(void *element)
{
    LogFile *file = static_cast<LogFile *>(element);
    free(file->filename);
    free(file->current);
    free(file);
}

// Releases the nodes of a list and the (empty) index registry that sl_init
// gave it; the record itself stays the caller's.
static void release_list(Skiplist *list, SkiplistFreeFunc release_element)
{
    sl_destroy(list, release_element);
    if (list->indexes != nullptr) {
        sl_destroy(list->indexes, nullptr);
        free(list->indexes);
        list->indexes = nullptr;
    }
}

void spread_conf_free(SpreadConf *conf)
{
    if (conf == nullptr)
        return;
    free(conf->port);
    free(conf->host);
    release_list(conf->facilities, release_facility);
    free(conf->facilities);
    free(conf);
}

void config_registries_free()
{
    release_list(&spread_confs, release_spread_conf);
    release_list(&log_files, release_log_file);
}

void for_each_spread_conf(SpreadConfOp op, void *arg)
{
    SkiplistNode *node = sl_first(&spread_confs);
    if (node == nullptr)
        return;
    for (void *conf = node->data; conf != nullptr; conf = sl_next(&spread_confs, &node))
        op(static_cast<SpreadConf *>(conf), arg);
}

void for_each_facility(SpreadConf *conf, FacilityOp op, void *arg)
{
    SkiplistNode *node = sl_first(conf->facilities);
    if (node == nullptr)
        return;
    for (void *facility = node->data; facility != nullptr; facility = sl_next(conf->facilities, &node))
        op(static_cast<LogFacility *>(facility), arg);
}

namespace {
struct FacilityWalk {
    FacilityOp op;
    void *arg;
};
int walk_facilities_of(SpreadConf *conf, void *walk)
{
    FacilityWalk *w = static_cast<FacilityWalk *>(walk);
    for_each_facility(conf, w->op, w->arg);
    return 0;
}
}  // namespace

void for_each_configured_facility(FacilityOp op, void *arg)
{
    FacilityWalk walk{op, arg};
    for_each_spread_conf(walk_facilities_of, &walk);
}

// --- File settings ------------------------------------------------------

namespace {

// Setting names, by bit of FileRule.
constexpr const char *file_rule_names[] = {
    "MaxSize", "Keep", "Compress", "CompressLevel", "FileMode",
    "DirMode", "FileOwner", "FileGroup", "SyncInterval", "IdleClose",
};
static_assert(FILE_RULE_IDLE_CLOSE == 1u << (std::size(file_rule_names) - 1), "a name for every setting");

bool same_rules(const FileRules &a, const FileRules &b)
{
    return a.given == b.given && a.max_size == b.max_size && a.keep == b.keep && a.compress == b.compress &&
           a.compress_level == b.compress_level && a.file_mode == b.file_mode && a.dir_mode == b.dir_mode &&
           a.owner == b.owner && a.group == b.group && a.sync_interval == b.sync_interval &&
           a.idle_close == b.idle_close;
}

}  // namespace

const char *log_facility_rules_error(const LogFacility *facility)
{
    const FileRules *r = &facility->rules;
    if (r->given == 0)
        return nullptr;
    bool vhosts = facility->vhostdir != nullptr;
    const LogFile *file = facility->logfile;
    if (!vhosts && file != nullptr && file->filename[0] == '|') {
        // The first setting written names the refusal.
        static char text[80];
        for (unsigned bit = 0; bit < std::size(file_rule_names); bit++)
            if (r->given & (1u << bit)) {
                snprintf(text, sizeof text, "%s does not apply to a piped command\n", file_rule_names[bit]);
                break;
            }
        return text;
    }
    bool dated = !vhosts && file != nullptr && file->dated;
    if (file_rule(r, FILE_RULE_IDLE_CLOSE) && !vhosts && !dated)
        return "IdleClose applies to DatedFile and VhostDir outputs only\n";
    if (file_rule(r, FILE_RULE_DIR_MODE) && !dated && !(vhosts && facility->vhostfile != nullptr))
        return "DirMode applies to DatedFile and VhostFile outputs only\n";
    if (file_rule(r, FILE_RULE_KEEP) && !file_rule(r, FILE_RULE_MAX_SIZE))
        return "Keep without MaxSize\n";
    if (file_rule(r, FILE_RULE_COMPRESS_LEVEL) && !file_rule(r, FILE_RULE_COMPRESS))
        return "CompressLevel without Compress\n";
    if (file_rule(r, FILE_RULE_COMPRESS) && !file_rule(r, FILE_RULE_MAX_SIZE) && !dated &&
        !(vhosts && facility->vhostfile != nullptr))
        return "Compress without MaxSize, DatedFile or VhostFile: no file is ever closed for good\n";
    if (file_rule(r, FILE_RULE_COMPRESS_LEVEL)) {
        if (r->compress == COMPRESS_ZSTD && (r->compress_level < 1 || r->compress_level > 19))
            return "CompressLevel must be 1 to 19 for zstd\n";
        if (r->compress == COMPRESS_GZIP && (r->compress_level < 1 || r->compress_level > 9))
            return "CompressLevel must be 1 to 9 for gzip\n";
    }
    return nullptr;
}

bool log_facility_share_rules(LogFacility *facility)
{
    LogFile *file = facility->logfile;
    if (facility->vhostdir != nullptr || file == nullptr || facility->rules.given == 0)
        return true;
    if (file->rules.given == 0) {
        file->rules = facility->rules;
        return true;
    }
    return same_rules(file->rules, facility->rules);
}
