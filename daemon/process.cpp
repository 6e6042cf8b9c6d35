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

    FILE *pid_file = fopen(pid_file_path, "w");
    if (pid_file == nullptr) {
        fprintf(stderr, "Cannot write pid file %s: %s\n", pid_file_path, strerror(errno));
        return;
    }
    char pid_text[32];
    snprintf(pid_text, sizeof pid_text, "%d", (int)getpid());
    fputs(pid_text, pid_file);
    fclose(pid_file);
}
