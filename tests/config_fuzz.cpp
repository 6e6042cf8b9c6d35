// libFuzzer target: config_load on arbitrary bytes. Under AddressSanitizer
// any memory fault or leak is a failure; so is a model that breaks the
// invariants every reader of the configuration relies on.
//
// The outputs of an accepted file are not opened: a fuzzed file may name
// any path or command. This file defines open_log_files and close_log_files
// itself, so the linker takes these instead of the real ones from the
// library; in their place the accepted model is checked.
#include <regex.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "config/model.h"
#include "config/settings.h"
#include "output/load.h"
#include "support/config_unload.h"

// The regex compiler's automaton grows exponentially with stacked or nested
// repetitions. The daemon bounds that with an address-space cap around each
// compilation (tested end to end), which cannot work under AddressSanitizer.
// This target is about the reader, so it hands the compiler only patterns
// whose growth is bounded: each +, * or ? counts twice, each interval by its
// largest bound, and a pattern whose product passes 4096 is refused as the
// capped compiler would refuse it. (Linked with --wrap=re_compile_pattern.)
extern "C" const char *__real_re_compile_pattern(const char *pattern, size_t length,
                                                  struct re_pattern_buffer *buffer);
extern "C" const char *__wrap_re_compile_pattern(const char *pattern, size_t length,
                                                  struct re_pattern_buffer *buffer)
{
    unsigned long growth = 1;
    for (size_t i = 0; i < length && growth <= 4096; i++) {
        char c = pattern[i];
        if (c == '+' || c == '*' || c == '?') {
            growth *= 2;
        } else if (c == '{') {
            unsigned long bound = 0, largest = 1;
            for (size_t j = i + 1; j < length && pattern[j] != '}'; j++) {
                if (pattern[j] >= '0' && pattern[j] <= '9')
                    bound = bound * 10 + (pattern[j] - '0') < 100000 ? bound * 10 + (pattern[j] - '0') : 100000;
                else
                    bound = 0;
                if (bound > largest)
                    largest = bound;
            }
            growth *= largest;
        }
    }
    if (growth > 4096)
        return "Memory exhausted";
    return __real_re_compile_pattern(pattern, length, buffer);
}

static int input_fd = -1;
static char input_path[64];
static FILE *original_stderr;

#define CHECK(condition)                                                        \
    do {                                                                        \
        if (!(condition)) {                                                     \
            fprintf(original_stderr, "model check failed: %s\n", #condition); \
            abort();                                                            \
        }                                                                       \
    } while (0)

// Walks a list, checking that it is strictly ascending under its own
// comparator; returns the number of elements.
static int check_list(Skiplist *list)
{
    int count = 0;
    SkiplistNode *node = sl_first(list);
    void *previous = nullptr;
    for (void *e = node ? node->data : nullptr; e != nullptr; e = sl_next(list, &node)) {
        if (previous != nullptr)
            CHECK(list->compare(previous, e) < 0);
        previous = e;
        count++;
    }
    CHECK(count == list->size);
    return count;
}

int open_log_files()
{
    check_list(&log_files);
    check_list(&spread_confs);
    SkiplistNode *conf_node = sl_first(&spread_confs);
    for (void *c = conf_node ? conf_node->data : nullptr; c; c = sl_next(&spread_confs, &conf_node)) {
        SpreadConf *conf = static_cast<SpreadConf *>(c);
        CHECK(conf->port != nullptr);
        CHECK(conf->connected == 0);
        check_list(conf->facilities);
        SkiplistNode *node = sl_first(conf->facilities);
        for (void *f = node ? node->data : nullptr; f; f = sl_next(conf->facilities, &node)) {
            LogFacility *facility = static_cast<LogFacility *>(f);
            CHECK(facility->groupname != nullptr);
            CHECK(sl_find(conf->facilities, facility->groupname, nullptr) == facility);
            CHECK(facility->logfile != nullptr || facility->vhostdir != nullptr);
            CHECK((facility->vhostdir == nullptr) == (facility->vhosts == nullptr));
            CHECK(facility->nmatches >= 0 && facility->nmatches <= max_matches);
            CHECK(facility->rewrite_mode >= REWRITE_NONE && facility->rewrite_mode <= REWRITE_STRFTIME);
            CHECK(facility->rewrite_mode != REWRITE_STRFTIME || facility->rewrite_format != nullptr);
            if (facility->logfile != nullptr) {
                CHECK(sl_find(&log_files, facility->logfile->filename, nullptr) == facility->logfile);
                CHECK(facility->logfile->fd == -1);
            }
            for (int i = 0; facility->vhosts != nullptr && i < vhost_table_size; i++)
                CHECK(facility->vhosts->slots[i].fd == -1 && facility->vhosts->slots[i].name == nullptr);
        }
    }
    return 0;
}

int close_log_files()
{
    return 0;
}

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    // The reader's messages would drown the fuzzer's own, which go to the
    // stream it took at start-up.
    original_stderr = stderr;
    stderr = fopen("/dev/null", "w");
    input_fd = memfd_create("config", MFD_CLOEXEC);
    snprintf(input_path, sizeof input_path, "/proc/self/fd/%d", input_fd);
    vhost_table_size = 8;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (ftruncate(input_fd, 0) != 0 || pwrite(input_fd, data, size, 0) != (ssize_t)size)
        abort();
    buffer_size = -1;
    int result = config_load(input_path);
    CHECK(result == 0 || result == 1);
    config_unload();
    return 0;
}
