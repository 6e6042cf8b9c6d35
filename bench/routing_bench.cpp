// Cost per message of routing and rewriting, on records built by the
// configuration model's own operations.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "config/model.h"
#include "config/settings.h"
#include "output/rewrite.h"
#include "output/routing.h"
#include "output/writer.h"

namespace {

const char access_line[] =
    "www.example.com 192.0.2.17 - - [08/Dec/2025:20:53:07 -0500] \"GET /static/app.js HTTP/1.1\" 200 5120 "
    "\"https://www.example.com/\" \"Mozilla/5.0 (X11; Linux x86_64)\"\n";
const int access_length = sizeof access_line - 1;

// Ten filters as a site might configure them; the access line matches none
// but the last.
const char *const ten_patterns[] = {"^POST ", "\\.php", "\" 5[0-9][0-9] ", "/admin/", "[Bb]ot",
                                    "\\.cgi",  "curl/", "\" 404 ",         "^HEAD", "\\.js HTTP"};

// A connection with eight groups, so the facility lookup is not trivial.
SpreadConf *connection()
{
    static SpreadConf *conf = [] {
        config_registries_init();
        SpreadConf *c = spread_conf_new();
        for (int i = 0; i < 8; i++) {
            LogFacility *f = log_facility_new();
            log_facility_set_group(f, strdup(("filler" + std::to_string(i)).c_str()));
            log_facility_set_file(f, strdup("/dev/null"));
            spread_conf_add_facility(c, f);
        }
        return c;
    }();
    return conf;
}

LogFacility *facility(const char *group)
{
    LogFacility *f = log_facility_new();
    log_facility_set_group(f, strdup(group));
    spread_conf_add_facility(connection(), f);
    return f;
}

LogFacility *plain(const char *group, int npatterns)
{
    LogFacility *f = facility(group);
    log_facility_set_file(f, strdup("/dev/null"));
    f->logfile->fd = open("/dev/null", O_WRONLY);
    for (int i = 0; i < npatterns; i++)
        log_facility_add_match(f, ten_patterns[i]);
    return f;
}

void setup_globals()
{
    buffer_size = 8192;
    vhost_table_size = 1024;
    skip_locking = 0;
    verbose = 0;
}

void BM_RoutePlain(benchmark::State &state)
{
    setup_globals();
    static LogFacility *once = plain("plain", 0);
    (void)once;
    for (auto _ : state)
        benchmark::DoNotOptimize(route_message(connection(), "plain", access_line, access_length));
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_RoutePlain);

// Ten patterns, the line matching only the tenth: every pattern is searched.
void BM_RouteTenPatterns(benchmark::State &state)
{
    setup_globals();
    static LogFacility *once = plain("ten", 10);
    const char *group = once->groupname;
    if (route_message(connection(), group, access_line, access_length) < 0)
        state.SkipWithError("the tenth pattern does not match");
    for (auto _ : state)
        benchmark::DoNotOptimize(route_message(connection(), group, access_line, access_length));
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_RouteTenPatterns);

// The vhost directory lives until the benchmark program ends.
char vhost_dir[] = "/tmp/wkp-bench-XXXXXX";

void remove_vhost_dir()
{
    std::string file = std::string(vhost_dir) + "/www.example.com";
    unlink(file.c_str());
    rmdir(vhost_dir);
}

void BM_RouteKnownVhost(benchmark::State &state)
{
    setup_globals();
    static LogFacility *f = [] {
        LogFacility *vhost = facility("vhost");
        if (mkdtemp(vhost_dir)) {
            atexit(remove_vhost_dir);
            log_facility_set_vhostdir(vhost, strdup(vhost_dir));
        }
        return vhost;
    }();
    // The first message opens the file; the loop only finds it.
    if (!f->vhostdir || route_message(connection(), "vhost", access_line, access_length) < 0) {
        state.SkipWithError("vhost file not opened");
        return;
    }
    for (auto _ : state)
        benchmark::DoNotOptimize(route_message(connection(), "vhost", access_line, access_length));
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_RouteKnownVhost);

// The line is copied into the receive buffer each time (the rewrite changes
// it); BM_CopyLine is that copy alone.
void BM_PrepareClf(benchmark::State &state)
{
    setup_globals();
    static LogFacility *f = [] {
        LogFacility *clf = plain("clf", 0);
        log_facility_set_clf(clf);
        return clf;
    }();
    (void)f;
    static char buffer[8192];
    for (auto _ : state) {
        memcpy(buffer, access_line, access_length);
        int length = access_length;
        benchmark::DoNotOptimize(prepare_message(connection(), "clf", buffer, &length));
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_PrepareClf);

void BM_CopyLine(benchmark::State &state)
{
    static char buffer[8192];
    for (auto _ : state) {
        memcpy(buffer, access_line, access_length);
        benchmark::DoNotOptimize(buffer);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_CopyLine);

// The write step of a plain file: the access line written by output_write,
// with the batches written after every `range(0)` messages (1: one writev
// per message, as every message was written before batching). The file is
// emptied every 65,536 messages, in both cases alike.
char write_path[] = "/tmp/wkp-bench-write-XXXXXX";

void remove_write_file()
{
    unlink(write_path);
}

void BM_WriteStep(benchmark::State &state)
{
    setup_globals();
    static LogFile *file = [] {
        auto *f = static_cast<LogFile *>(calloc(1, sizeof(LogFile)));
        int fd = mkstemp(write_path);
        if (fd >= 0) {
            close(fd);
            atexit(remove_write_file);
            f->filename = strdup(write_path);
            f->fd = output_open_log_file(f, OUTPUT_OPEN_START);
        } else {
            f->fd = -1;
        }
        return f;
    }();
    if (file->fd < 0) {
        state.SkipWithError("file not opened");
        return;
    }
    const long every = state.range(0);
    long n = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(output_write(file->fd, access_line, access_length));
        if (++n % every == 0)
            output_flush();
        if (n % 65536 == 0)
            (void)!ftruncate(file->fd, 0);
    }
    output_flush();
    (void)!ftruncate(file->fd, 0);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_WriteStep)->Arg(1)->Arg(32)->Arg(400);

}  // namespace

BENCHMARK_MAIN();
