// Time config_load takes for large configuration files of valid blocks, to
// show that the reader is linear in the size of the file.
//
//     config_bench [-t DIR] [-r RUNS] [SIZE_MB...]      (default: 25 50 100)
//
// For each size and each of two kinds of file, writes the file into DIR
// (default /tmp), loads it RUNS times (default 3) with config_load and
// config_unload, and prints the fastest and the median wall time, the
// median in MB/s and the median time per MB relative to the smallest size
// (1.00 everywhere for a linear reader). The kinds:
//   short  Spread blocks of 10 Log blocks of 200 items: short words, quoted
//          values with blanks, comment lines (about 1,800 Spread blocks in
//          100 MB)
//   long   the same with values and comments of 60,000 bytes, close to the
//          longest token (config_token_max), 4 items per Log block
// Every file is accepted; its one output file is opened once per load.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "config/settings.h"
#include "output/load.h"
#include "tests/support/config_unload.h"

namespace {

double now_s()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

// Writes a file of about `bytes` bytes to `path`: Spread blocks of 10 Log
// blocks, each Log block of `rounds` rounds of items; false on a write
// error.
bool write_config(const std::string &path, const std::string &output, size_t bytes, bool long_values)
{
    FILE *f = fopen(path.c_str(), "w");
    if (f == nullptr)
        return false;
    size_t value_size = long_values ? 60000 : 12;
    int rounds = long_values ? 1 : 50;
    std::string word(value_size, 'w');
    std::string quoted = "'" + std::string(value_size / 2, 'q') + " " + std::string(value_size / 2, 'q') + "'";
    // One round of items: three values and a comment.
    std::string round = "    Group = " + word + "\n    # " + std::string(value_size, 'c') +
                        "\n    RewriteTimestamp = " + quoted + "\n    Group = \"" + word + "\"\n";
    size_t logs = std::max<size_t>(1, bytes / (round.size() * rounds));
    size_t written = 0;
    for (int s = 0; written < logs; s++) {
        fprintf(f, "Spread {\n  Port = %d\n", 10000 + s);
        for (int l = 0; l < 10 && written < logs; l++, written++) {
            fprintf(f, "  Log {\n    File = %s\n", output.c_str());
            for (int r = 0; r < rounds; r++)
                fwrite(round.data(), 1, round.size(), f);
            fprintf(f, "    Group = g%d\n  }\n", l);
        }
        fprintf(f, "}\n");
    }
    return fclose(f) == 0;
}

void usage()
{
    fprintf(stderr, "usage: config_bench [-t DIR] [-r RUNS] [SIZE_MB...]\n");
    exit(2);
}

}  // namespace

int main(int argc, char **argv)
{
    std::string dir = "/tmp";
    int runs = 3;
    int opt;
    while ((opt = getopt(argc, argv, "t:r:")) != -1) {
        switch (opt) {
        case 't': dir = optarg; break;
        case 'r': runs = atoi(optarg); break;
        default: usage();
        }
    }
    if (runs < 1)
        usage();
    std::vector<int> sizes;
    for (int i = optind; i < argc; i++)
        sizes.push_back(atoi(argv[i]));
    if (sizes.empty())
        sizes = {25, 50, 100};

    vhost_table_size = 16;
    std::string work = dir + "/wkp-config-bench-XXXXXX";
    if (mkdtemp(&work[0]) == nullptr) {
        perror(work.c_str());
        return 1;
    }
    std::string path = work + "/bench.conf", output = work + "/bench.log";

    printf("| kind | size | runs | load s min / median | MB/s median | s per MB vs %d MB |\n", sizes[0]);
    printf("|---|---|---|---|---|---|\n");
    int status = 0;
    for (bool long_values : {false, true}) {
        double first_per_mb = 0;
        for (int mb : sizes) {
            if (!write_config(path, output, (size_t)mb * 1000000, long_values)) {
                perror(path.c_str());
                status = 1;
                break;
            }
            FILE *f = fopen(path.c_str(), "r");
            fseek(f, 0, SEEK_END);
            double real_mb = ftell(f) / 1e6;
            fclose(f);
            std::vector<double> times;
            for (int r = 0; r < runs; r++) {
                buffer_size = -1;
                double t0 = now_s();
                int result = config_load(path.c_str());
                double t1 = now_s();
                config_unload();
                if (result != 0) {
                    fprintf(stderr, "config_bench: %s was not accepted (%d)\n", path.c_str(), result);
                    status = 1;
                    break;
                }
                times.push_back(t1 - t0);
            }
            if (times.empty())
                break;
            std::sort(times.begin(), times.end());
            double median = times[times.size() / 2];
            if (first_per_mb == 0)
                first_per_mb = median / real_mb;
            printf("| %s | %.1f MB | %d | %.3f / %.3f | %.1f | %.2f |\n", long_values ? "long" : "short", real_mb,
                   runs, times[0], median, real_mb / median, median / real_mb / first_per_mb);
            fflush(stdout);
        }
    }
    unlink(path.c_str());
    unlink(output.c_str());
    rmdir(work.c_str());
    return status;
}
