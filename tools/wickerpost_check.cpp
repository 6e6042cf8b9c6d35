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
#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "config/config.h"
#include "config/model.h"
#include "config/settings.h"
#include "daemon/options.h"
#include "daemon/process.h"
#include "spread/client.h"
#include "wickerpost_check.h"

namespace check {

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

}  // namespace check

using namespace check;

namespace {

[[noreturn]] void usage()
{
    fprintf(stderr, "usage: wickerpost-check [-c configfile] [-b bytes]\n");
    exit(1);
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
