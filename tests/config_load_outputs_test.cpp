// Loading configuration files in-process: the outputs opened only once the
// whole file is accepted, listed and locked, reopened, closed, and a load
// after an unload.
#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/file.h>

#include <map>
#include <set>

#include "config/model.h"
#include "config/reader.h"
#include "config/settings.h"
#include "output/load.h"
#include "output/log_files.h"
#include "support/config_load.h"
#include "support/config_unload.h"
#include "support/process.h"
#include "support/scoped.h"

using namespace wkp_test;

// Nothing is opened, created or started for a file that is rejected, even
// when the error comes after every block.
TEST_F(ConfigLoad, NoOutputBeforeTheWholeFileIsAccepted)
{
    const std::string blocks = "Spread { Log { Group = a File = %D/a.log } Log { Group = p File = '|touch %D/started' } }\n";
    for (const char *tail : {"}", "Spread {", "BufferSize = 1", "Spread { Log { Group = x } }"}) {
        SCOPED_TRACE(tail);
        std::set<pid_t> before = child_processes(getpid());
        EXPECT_EQ(load(blocks + tail).result, 1);
        // Anything the load started has run to its end.
        EXPECT_TRUE(wait_until([&] { return new_children_ended(before); }));
        EXPECT_FALSE(file_exists(dir.file("a.log")));
        EXPECT_FALSE(file_exists(dir.file("started")));
    }
    // The same blocks alone open both.
    EXPECT_EQ(load(blocks).result, 0);
    EXPECT_TRUE(file_exists(dir.file("a.log")));
    EXPECT_TRUE(wait_until([&] { return file_exists(dir.file("started")); }));
}

// Files are opened for appending, created with mode 0644 and locked; a
// shared LogFile is opened once and listed for each of its facilities; a
// vhost facility's File is not opened for it.
TEST_F(ConfigLoad, OpenListAndLock)
{
    write_file(dir.file("old.log"), "kept\n");
    verbose = 1;
    mode_t old_mask = umask(022);
    Loaded loaded = load(R"(
        Spread {
            Log { Group = b File = %D/old.log Match = x Match = y }
            Log { Group = a File = %D/old.log }
            Log { Group = v File = %D/vhost-only.log VhostDir = %D }
        }
    )");
    umask(old_mask);
    ASSERT_EQ(loaded.result, 0);
    LogFile *file = facility(connections()[0], "a")->logfile;
    ASSERT_GE(file->fd, 0);
    std::string fd = std::to_string(file->fd);
    EXPECT_EQ(loaded.err, "\nZeroing vhost hash for usage!\n"
                          "LogFacility: a\n\tFile: " + dir.file("old.log") + "\n\tFD: " + fd + "\n\t0 regexs\n"
                          "LogFacility: b\n\tFile: " + dir.file("old.log") + "\n\tFD: " + fd + "\n\t2 regexs\n");
    EXPECT_FALSE(file_exists(dir.file("vhost-only.log")));

    // Appending, close-on-exec, locked against any other open of the file.
    ASSERT_EQ(write(file->fd, "new\n", 4), 4);
    EXPECT_EQ(read_file(dir.file("old.log")), "kept\nnew\n");
    EXPECT_EQ(fcntl(file->fd, F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
    int other = open(dir.file("old.log").c_str(), O_RDONLY);
    EXPECT_EQ(flock(other, LOCK_EX | LOCK_NB), -1);

    // Closing releases the lock and marks the LogFile closed.
    close_log_files();
    EXPECT_EQ(file->fd, -1);
    EXPECT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);
    close(other);

    // A new file is created with mode 0644 (under umask 022).
    old_mask = umask(022);
    ASSERT_EQ(load("Spread { Log { Group = a File = %D/new.log } }").result, 0);
    umask(old_mask);
    struct stat st;
    ASSERT_EQ(stat(dir.file("new.log").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);
}

// Reopening creates a file that was moved away anew and restarts piped
// commands; each old command sees the end of its input.
TEST_F(ConfigLoad, Reopen)
{
    ASSERT_EQ(load(R"(Spread { Log { Group = f File = %D/f.log }
                               Log { Group = p File = '|cat >> %D/p.out' } })").result, 0);
    LogFile *f = facility(connections()[0], "f")->logfile;
    LogFile *p = facility(connections()[0], "p")->logfile;
    ASSERT_EQ(write(f->fd, "1", 1), 1);
    ASSERT_EQ(write(p->fd, "1", 1), 1);
    ASSERT_EQ(rename(dir.file("f.log").c_str(), dir.file("f.log.1").c_str()), 0);

    reopen_log_files();
    ASSERT_GE(f->fd, 0);
    ASSERT_GE(p->fd, 0);
    ASSERT_EQ(write(f->fd, "2", 1), 1);
    EXPECT_EQ(read_file(dir.file("f.log.1")), "1");
    EXPECT_EQ(read_file(dir.file("f.log")), "2");
    // What the first command received reaches its output.
    EXPECT_TRUE(wait_until([&] { return read_file(dir.file("p.out")) == "1"; }));
    ASSERT_EQ(write(p->fd, "2", 1), 1);
    close_log_files();
    EXPECT_TRUE(wait_until([&] { return read_file(dir.file("p.out")) == "12"; }));
}

// close_log_files empties every vhost slot that holds a descriptor.
TEST_F(ConfigLoad, CloseEmptiesVhostSlots)
{
    ASSERT_EQ(load("Spread { Log { Group = v VhostDir = %D } }").result, 0);
    VhostTable *table = facility(connections()[0], "v")->vhosts;
    int fd = open(dir.file("host").c_str(), O_WRONLY | O_CREAT, 0644);
    ASSERT_GT(fd, 0);
    ASSERT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0);
    table->slots[5].name = strdup("host");
    table->slots[5].fd = fd;

    close_log_files();
    EXPECT_EQ(table->slots[5].fd, -1);
    EXPECT_EQ(table->slots[5].name, nullptr);
    EXPECT_EQ(fcntl(fd, F_GETFD), -1);  // closed
    int other = open(dir.file("host").c_str(), O_RDONLY);
    EXPECT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);
    close(other);
}

// Several loads in one process, each after config_unload.
TEST_F(ConfigLoad, LoadUnloadLoad)
{
    for (int i = 0; i < 3; i++) {
        ASSERT_EQ(load("Spread { Log { Group = g File = %D/a.log } }").result, 0);
        EXPECT_EQ(connections().size(), 1u);
        EXPECT_EQ(log_file_names().size(), 1u);
        EXPECT_EQ(load("Spread { Log { Group = g File = %D/a.log } } }").result, 1);
    }
}
