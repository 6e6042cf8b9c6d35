// The configuration model: Spread connections, their log facilities and
// the shared log files.
//
// Built once by the configuration reader, before the daemon detaches, and
// never freed by the daemon (tests free it with config_registries_free).
// Afterwards only the run-time fields change: `connected`, `private_group`
// and the counters of a SpreadConf, `fd` and `output` of a LogFile, the
// slots and `output` of a VhostTable, and the counter of a LogFacility.
//
// Ownership: every string handed to a setter is a fresh heap copy and the
// setter takes ownership of it (stores it or frees it); setting port, host,
// groupname, rewrite_format or vhostdir frees the value replaced. The one
// exception is log_facility_add_match, which only reads its pattern.
//
// Running out of memory while the model is built ends the process with
// status 255 after one line on standard error.
#pragma once

#include <regex.h>

#include <cstdint>

#include "skiplist/skiplist.h"

enum {
    REWRITE_NONE = 0,      // the message is written as received
    REWRITE_CLF = 1,       // first bracketed field := local time, Common Log Format
    REWRITE_STRFTIME = 2,  // first bracketed field := local time, rewrite_format
};

constexpr int max_matches = 10;

// Compressors of closed files (Compress).
enum { COMPRESS_NONE = 0, COMPRESS_ZSTD = 1, COMPRESS_GZIP = 2 };

// The settings of a Log block for the files it writes (its File, its
// DatedFile, or each host's file under its VhostDir). A bit of `given` is
// set for every setting the block wrote; a field whose bit is clear keeps
// the behaviour of a configuration without it, and its value is 0. The
// record holds no pointers: it is copied whole.
enum FileRule : unsigned {
    FILE_RULE_MAX_SIZE = 1u << 0,        // MaxSize
    FILE_RULE_KEEP = 1u << 1,            // Keep
    FILE_RULE_COMPRESS = 1u << 2,        // Compress
    FILE_RULE_COMPRESS_LEVEL = 1u << 3,  // CompressLevel
    FILE_RULE_FILE_MODE = 1u << 4,       // FileMode
    FILE_RULE_DIR_MODE = 1u << 5,        // DirMode
    FILE_RULE_OWNER = 1u << 6,           // FileOwner
    FILE_RULE_GROUP = 1u << 7,           // FileGroup
    FILE_RULE_SYNC = 1u << 8,            // SyncInterval
    FILE_RULE_IDLE_CLOSE = 1u << 9,      // IdleClose
};

struct FileRules {
    unsigned long long max_size;  // bytes a file may reach; 0: no limit
    int keep;                     // rotated files kept: NAME.1 .. NAME.keep
    int compress;                 // COMPRESS_*
    int compress_level;           // 0: the compressor's default
    unsigned file_mode;           // mode of the files the daemon creates
    unsigned dir_mode;            // mode of the directories it creates
    unsigned owner;               // uid given to them
    unsigned group;               // gid given to them
    int sync_interval;            // seconds between two fdatasync of a written file; 0: none
    int idle_close;               // seconds without a message before a file is closed; 0: never
    unsigned given;               // FILE_RULE_* bits of the settings written
};

// Whether `rules` holds the setting `rule` (a null record holds none).
inline bool file_rule(const FileRules *rules, unsigned rule)
{
    return rules != nullptr && (rules->given & rule) != 0;
}

// One output path, shared by every facility that names it. Owned by
// `log_files`.
struct LogFile {
    char *filename;  // owned; "|command" names a command fed through a pipe;
                     // a DatedFile's pattern when `dated`
    int fd;          // open descriptor, -1 while closed
    int output;      // run-time: its number in the output module, 0 until first opened
    bool dated;      // a DatedFile: the file opened is the pattern expanded
    char *current;   // run-time, owned: the expanded name of a DatedFile's
                     // period, null until first opened
    FileRules rules; // the file settings of the Log blocks naming it (all
                     // of them give the same, or none); given 0: none
};

// The path a LogFile opens: the current period's name of a DatedFile
// (once it has one), else the filename.
inline const char *log_file_path(const LogFile *file)
{
    return file->dated && file->current != nullptr ? file->current : file->filename;
}

// One slot of a vhost table, in one of three states: empty (name null, fd
// -1), open (name and the open descriptor of its file), or remembered with
// its file closed (name, fd -1). close_log_files closes the slot's file,
// frees its name and empties it.
struct VhostSlot {
    char *name;              // owned copy of the virtual-host name; null when empty
    int fd;                  // that host's file; -1 when empty or its file is closed
    uint32_t hash;           // run-time: vhost_hash of name, compared before its bytes
    unsigned last_use;       // run-time: use stamp of its last message
    VhostSlot *lru_prev;     // run-time: list of open vhost files of all tables,
    VhostSlot *lru_next;     //   most recently used first; null ends
};

// vhost_table_size slots, hashed and probed by the routing code.
struct VhostTable {
    VhostSlot *slots;
    int output;    // run-time: its VhostDir's number in the output module, 0 until used
    char *period;  // run-time, owned: the facility's VhostFile expanded for
                   // the files open now; null until first used
};

// One Log block: what is done with the messages of one group on one
// connection.
struct LogFacility {
    char *groupname;                        // owned, or null
    LogFile *logfile;                       // not owned (log_files owns it), or null
    int nmatches;                           // valid entries of matches, 0..10
    int rewrite_mode;                       // REWRITE_*
    char *rewrite_format;                   // owned strftime format, or null
    re_pattern_buffer matches[max_matches]; // compiled Match patterns
    char *vhostdir;                         // owned; set => vhost facility
    VhostTable *vhosts;                     // owned; set together with vhostdir
    char *vhostfile;                        // owned VhostFile pattern, or null:
                                            // a host's lines go to vhostdir/host/<expanded>
    unsigned long long received;            // run-time: regular messages received for
                                            // it (its group the first logged one)
    FileRules rules;                        // MaxSize, Keep, FileMode...: for its File or
                                            // DatedFile (copied to the LogFile when the block
                                            // closes) or its hosts' files
};

// One Spread block: one Spread daemon connection.
struct SpreadConf {
    char *port;              // owned; "4803" by default
    char *host;              // owned, or null for the local daemon
    char private_group[32];  // written by SP_connect (MAX_GROUP_NAME bytes)
    int connected;           // 1 while the session is up
    Skiplist *facilities;    // owned; LogFacility records by groupname
    unsigned long connections;         // sessions accepted so far
    unsigned long long received;       // regular messages received
    unsigned long long taken;          // messages of any kind taken from its sessions
};

// The registries, prepared by config_load_model before the file is read.
extern Skiplist spread_confs;  // SpreadConf by port text, then null host, then host
extern Skiplist log_files;     // LogFile by filename

// Comparators (strcmp convention). Element comparators take two records;
// key comparators take (key, record).
int spread_conf_comp(const void *a, const void *b);
int spread_conf_compk(const void *key, const void *b);
int log_file_comp(const void *a, const void *b);
int log_file_compk(const void *key, const void *b);
int facility_comp(const void *a, const void *b);
int facility_compk(const void *key, const void *b);

// Prepares spread_confs and log_files as empty registries. Anything they
// held before is forgotten, not freed (see config_registries_free).
void config_registries_init();

// The walks of the registries, for everyone who goes through the model:
// op(conf, arg) for every SpreadConf in registry order; op(facility, arg)
// for every facility of conf in group-name order; and for every facility
// of every SpreadConf, connection by connection. op's result is not
// looked at. The registries must not change during a walk.
typedef int (*SpreadConfOp)(SpreadConf *conf, void *arg);
typedef int (*FacilityOp)(LogFacility *facility, void *arg);
void for_each_spread_conf(SpreadConfOp op, void *arg);
void for_each_facility(SpreadConf *conf, FacilityOp op, void *arg);
void for_each_configured_facility(FacilityOp op, void *arg);

SpreadConf *spread_conf_new();
void spread_conf_set_port(SpreadConf *conf, char *port);  // takes ownership
void spread_conf_set_host(SpreadConf *conf, char *host);  // takes ownership
SkiplistNode *spread_confs_add(SpreadConf *conf);         // null when refused
SkiplistNode *spread_conf_add_facility(SpreadConf *conf, LogFacility *facility);
// The facility of `group` (a NUL-terminated name) on conf; null when conf,
// or its list, or such a facility is missing.
LogFacility *spread_conf_facility(SpreadConf *conf, const char *group);

LogFacility *log_facility_new();
void log_facility_set_group(LogFacility *facility, char *group);      // takes ownership
void log_facility_set_file(LogFacility *facility, char *path);        // takes ownership
// DatedFile: the LogFile of `pattern`, shared by every facility that names
// it as a DatedFile; false (pattern freed, nothing set) when the same text
// is a File's path already, or the other way round for set_file_checked.
bool log_facility_set_dated_file(LogFacility *facility, char *pattern);  // takes ownership
bool log_facility_set_file_checked(LogFacility *facility, char *path);   // takes ownership
void log_facility_set_vhostfile(LogFacility *facility, char *pattern);  // takes ownership
void log_facility_add_match(LogFacility *facility, const char *pattern);  // only reads
void log_facility_set_vhostdir(LogFacility *facility, char *dir);     // takes ownership
void log_facility_set_clf(LogFacility *facility);
void log_facility_set_strftime(LogFacility *facility, char *format);  // takes ownership

// Why the file settings of `facility` (its block read whole) cannot be
// kept, or null when they can: a setting that does not apply to its
// output, or one that needs another. The text ends with a newline.
const char *log_facility_rules_error(const LogFacility *facility);
// A kept facility hands its settings to its File or DatedFile: false when
// that LogFile has other settings from another block already.
bool log_facility_share_rules(LogFacility *facility);

// Release a record that no registry holds (a refused duplicate, or a block
// left open by a failed read), with everything it owns: a SpreadConf takes
// its facilities with it; a facility's LogFile stays, log_files owns it.
void log_facility_free(LogFacility *facility);
void spread_conf_free(SpreadConf *conf);

// Empties both registries, releasing every SpreadConf (with its facilities)
// and every LogFile. Descriptors are not closed here: close_log_files first.
// The daemon never calls it; tests and the fuzzer use it to load
// configurations one after the other.
void config_registries_free();
