#include "daemon/process.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/resource.h>
#include <unistd.h>

#include "config/settings.h"

int raise_fd_limit()
{
    struct rlimit limit = {0, 0};
    (void)getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = limit.rlim_max;
    (void)setrlimit(RLIMIT_NOFILE, &limit);
    if (limit.rlim_max == RLIM_INFINITY || limit.rlim_max > (rlim_t)vhost_table_size_max)
        return vhost_table_size_max;
    return (int)limit.rlim_max;
}

void daemonize()
{
    if (fork() != 0)
        exit(0);
    (void)setsid();
    if (fork() != 0)
        exit(0);

    write_pid_file();
}

void write_pid_file()
{
    char temporary[256];
    snprintf(temporary, sizeof temporary, "%s.%d", pid_file_path, (int)getpid());
    FILE *pid_file = fopen(temporary, "w");
    if (pid_file == nullptr) {
        fprintf(stderr, "Cannot write pid file %s: %s\n", pid_file_path, strerror(errno));
        return;
    }
    fprintf(pid_file, "%d", (int)getpid());
    if (fclose(pid_file) != 0 || rename(temporary, pid_file_path) != 0) {
        fprintf(stderr, "Cannot write pid file %s: %s\n", pid_file_path, strerror(errno));
        unlink(temporary);
    }
}
