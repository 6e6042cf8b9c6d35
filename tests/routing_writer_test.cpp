// The write step: files cut back after a failed write, stream backlogs,
// a reader that ends, a command that keeps ending, retired streams. The
// exit's drain and the drop reports are in routing_writer_drain_test.cpp.
#include "output/writer.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "daemon/status.h"
#include "support/process.h"
#include "support/routing.h"
#include "support/writer.h"

using namespace routing_test;
using wkp_test::numbered_line;
using wkp_test::read_file;
using wkp_test::TempDir;

namespace {

// Writes what stream backlogs the readers take, as the loop does when its
// wait reports them writable.
void service_backlogs()
{
    std::vector<pollfd> set;
    output_poll_backlogs(&set);
    for (pollfd &p : set)
        p.revents = POLLOUT;
    output_write_backlogs(set.data(), set.size());
}

// A write that fails part-way (here EFBIG at the file size limit) leaves
// the file as it was before the message: cut back, never torn. The drop is
// counted and reported with the error's text; smaller messages still land.
// The same steps written one by one (a flush after each) and as one batch
// (one flush at the end) give the same file, drops and reports: a batch
// keeps every whole message before a failure, and the message after it
// tries afresh.
TEST_F(Writer, FailedWriteIsCutBackToWhereTheMessageBegan)
{
    struct Step {
        std::string message;
        int result;         // of output_write, then output_flush
        size_t size_after;  // of the file
    } steps[] = {
        {std::string(39, 'a') + "\n", 0, 40},
        {std::string(39, 'b') + "\n", 0, 80},
        {std::string(39, 'c') + "\n", -1, 80},  // 20 bytes land, then EFBIG: cut
        {std::string(9, 'd') + "\n", 0, 90},
        {std::string(10, 'e') + "\n", -1, 90},  // 10 land: the limit; then EFBIG
        {std::string(9, 'f') + "\n", 0, 100},
        {"g\n", -1, 100},                       // nothing lands
    };
    for (bool batched : {false, true}) {
        SCOPED_TRACE(batched ? "one batch" : "one by one");
        // The limit holds for every file of the process, standard error's
        // too: the log starts 4000 bytes in, and may grow 100 more.
        const size_t base = 4000;
        std::string path = tmp.file(batched ? "batched.log" : "limited.log");
        wkp_test::write_file(path, std::string(base - 1, '0') + "\n");
        LogFile *file = log_file(path);
        ASSERT_GE(open_output(file), 0);
        auto [status, err] = in_child([&] {
            signal(SIGXFSZ, SIG_IGN);
            struct rlimit limit = {base + 100, base + 100};
            if (setrlimit(RLIMIT_FSIZE, &limit) != 0)
                _exit(3);
            for (const Step &step : steps) {
                int result = output_write(file->fd, step.message.data(), step.message.size());
                if (batched) {
                    EXPECT_EQ(result, 0) << step.message;
                    continue;
                }
                EXPECT_EQ(result == 0 ? output_flush() : result, step.result) << step.message;
                struct stat st;
                fstat(file->fd, &st);
                EXPECT_EQ((size_t)st.st_size, base + step.size_after) << step.message;
            }
            if (batched) {
                EXPECT_EQ(output_flush(), -1);
            }
            EXPECT_EQ(dropped(file->filename, OUTPUT_DROP_WRITE_ERROR), 3u);
            output_report_pending();
            _exit(::testing::Test::HasFailure() ? 4 : 0);
        });
        EXPECT_EQ(status, 0);
        EXPECT_EQ(err, "Dropped 1 messages for " + path + ": File too large\n"
                       "Dropped 2 messages for " + path + ": File too large\n");
        EXPECT_EQ(read_file(path).substr(base),
                  steps[0].message + steps[1].message + steps[3].message + steps[5].message);
    }
}

// A batch of consecutive messages to one file meets the size limit part-way
// (in one writev, the limit inside message 30): messages 0 to 29 stay
// whole, message 30's bytes that landed are cut off, and every message
// from 30 on is dropped and counted. Until the flush nothing is written.
TEST_F(Writer, BatchThatMeetsTheSizeLimitKeepsEveryWholeMessageBeforeIt)
{
    const size_t size = 40;
    const int total = 100, fit = 30;
    const size_t limit_at = fit * size + size / 2;
    std::string path = tmp.file("limited.log");
    LogFile *file = log_file(path);
    ASSERT_GE(open_output(file), 0);
    auto [status, err] = in_child([&] {
        signal(SIGXFSZ, SIG_IGN);
        struct rlimit limit = {limit_at, limit_at};
        if (setrlimit(RLIMIT_FSIZE, &limit) != 0)
            _exit(3);
        for (int i = 0; i < total; i++) {
            std::string m = numbered_line(i, size);
            EXPECT_EQ(output_write(file->fd, m.data(), m.size()), 0) << i;
        }
        struct stat st;
        fstat(file->fd, &st);
        EXPECT_EQ(st.st_size, 0) << "batched, not written yet";
        EXPECT_EQ(output_flush(), -1);
        fstat(file->fd, &st);
        EXPECT_EQ((size_t)st.st_size, fit * size);
        EXPECT_EQ(dropped(file->filename, OUTPUT_DROP_WRITE_ERROR), (unsigned long)(total - fit));
        output_report_pending();
        _exit(::testing::Test::HasFailure() ? 4 : 0);
    });
    EXPECT_EQ(status, 0) << err;
    EXPECT_EQ(err, "Dropped 1 messages for " + path + ": File too large\n"
                   "Dropped " + std::to_string(total - fit - 1) + " messages for " + path + ": File too large\n");
    std::vector<int> numbers = whole_lines(read_file(path), size);
    ASSERT_EQ(numbers.size(), (size_t)fit);
    EXPECT_EQ(numbers.front(), 0);
    EXPECT_EQ(numbers.back(), fit - 1);
}

// A stream's reader that takes nothing: the pipe fills, then the backlog
// takes whole messages up to its bound, then messages are dropped and
// counted. Once the reader reads, every message not dropped arrives whole
// and in order, and messages are taken again.
TEST_F(Writer, StreamBacklogTakesWholeMessagesAndDropsWhenFull)
{
    std::string fifo = tmp.file("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    LogFile *file = log_file(fifo);
    int fd = open_output(file);
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(fcntl(fd, F_GETFL) & O_NONBLOCK);

    const size_t size = 1000;
    const int total = 5000;  // 5 MB: more than the pipe and the backlog hold
    int taken = 0, refused = 0;
    StderrCapture err;
    for (int i = 0; i < total; i++) {
        std::string m = numbered_line(i, size);
        (output_write(fd, m.data(), m.size()) == 0 ? taken : refused)++;
    }
    EXPECT_EQ(err.text(), "Dropped 1 messages for " + fifo + ": backlog full\n");
    EXPECT_GT(refused, 0);
    EXPECT_EQ(dropped(fifo, OUTPUT_DROP_BACKLOG_FULL), (unsigned long)refused);
    EXPECT_GT(backlog_of(fifo), output_backlog_max - size);
    EXPECT_LE(backlog_of(fifo), output_backlog_max);

    // Reading frees room: a new message is taken again, after the others.
    std::string text = read_available(reader);
    std::string late = numbered_line(total, size);
    EXPECT_EQ(output_write(fd, late.data(), late.size()), 0);
    for (int round = 0; round < 1000 && backlog_of(fifo) > 0; round++) {
        service_backlogs();
        text += read_available(reader);
    }
    text += read_available(reader);
    EXPECT_EQ(backlog_of(fifo), 0u);
    std::vector<int> numbers = whole_lines(text, size);
    EXPECT_EQ(numbers.size(), (size_t)taken + 1);
    EXPECT_EQ(numbers.back(), total);
    close(reader);
}

// The reader ends with a message half taken: the rest of that message is
// dropped ("reader ended"), never sent to the next reader; the output is
// opened again at once (a FIFO without a reader: not yet, so the message
// that met EPIPE is dropped too), and the next reader starts clean.
TEST_F(Writer, ReaderThatEndsMidMessageLeavesTheNextOneClean)
{
    std::string fifo = tmp.file("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    int first_reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    LogFile *file = log_file(fifo);
    int fd = open_output(file);
    ASSERT_GE(fd, 0);

    std::string big = numbered_line(1, 100000);  // more than the pipe holds
    ASSERT_EQ(output_write(fd, big.data(), big.size()), 0);
    EXPECT_GT(backlog_of(fifo), 0u);
    close(first_reader);

    StderrCapture err;
    std::string second = numbered_line(2, 100);
    EXPECT_EQ(output_write(fd, second.data(), second.size()), -1);
    EXPECT_EQ(file->fd, -1);
    EXPECT_EQ(err.text(), "Dropped 1 messages for " + fifo + ": reader ended\n"
                          "Cannot open " + fifo + ": No such device or address\n"
                          "Dropped 1 messages for " + fifo + ": output not open\n");

    int next_reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(open_output(file), 0);
    std::string third = numbered_line(3, 100);
    EXPECT_EQ(output_write(file->fd, third.data(), third.size()), 0);
    EXPECT_EQ(read_available(next_reader), third);
    EXPECT_EQ(dropped(fifo, OUTPUT_DROP_READER_ENDED), 1u);
    EXPECT_EQ(dropped(fifo, OUTPUT_DROP_NOT_OPEN), 1u);
    close(next_reader);
}

// A command that ends at once is restarted after each EPIPE, but no more
// than output_restart_burst times per window: then its messages are
// dropped without a fork, until the window has passed.
TEST_F(Writer, CommandThatKeepsEndingIsRestartedWithinItsBudget)
{
    LogFile *file = log_file("|exit 0");
    ASSERT_GE(open_output(file), 0);
    std::string m = "x\n";
    StderrCapture err;
    // Each command ends on its own time; keep writing until the budget is
    // spent (a write before the command ended simply lands in its pipe).
    ASSERT_TRUE(wkp_test::wait_until([&] {
        int fd = file->fd >= 0 ? file->fd : open_output(file);
        if (fd >= 0)
            output_write(fd, m.data(), m.size());
        return dropped(file->filename, OUTPUT_DROP_NOT_OPEN) > 0;
    }));
    err.text();
    // Spent: no new command for this window.
    EXPECT_EQ(open_output(file), -1);
    EXPECT_EQ(open_output(file), -1);
    // The window passed: started again.
    next_report_interval();
    EXPECT_GE(open_output(file), 0);
}

// A stream closed with a backlog (SIGHUP) is retired: written out as its
// reader takes it, every message whole, then closed. One whose reader
// takes nothing is given up after output_retire_seconds, what is left
// counted as abandoned.
TEST_F(Writer, RetiredStreamIsWrittenOutThenClosed)
{
    for (bool reads : {true, false}) {
        SCOPED_TRACE(reads ? "reader reads" : "reader stuck");
        next_report_interval();
        std::string fifo = tmp.file(reads ? "reads" : "stuck");
        ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
        int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
        LogFile *file = log_file(fifo);
        int fd = open_output(file);
        const size_t size = 1000;
        const int total = 200;
        for (int i = 0; i < total; i++) {
            std::string m = numbered_line(i, size);
            ASSERT_EQ(output_write(fd, m.data(), m.size()), 0);
        }
        ASSERT_GT(backlog_of(fifo), 0u);
        output_close_log_file(file);
        EXPECT_EQ(file->fd, -1);
        EXPECT_NE(fcntl(fd, F_GETFD), -1) << "kept open while its backlog waits";

        std::string text;
        unsigned long abandoned = 0;
        if (reads) {
            for (int round = 0; round < 100 && backlog_of(fifo) > 0; round++) {
                text += read_available(reader);
                service_backlogs();
            }
        } else {
            StderrCapture err;
            advance_output_clock(output_retire_seconds);
            abandoned = dropped(fifo, OUTPUT_DROP_ABANDONED);
            EXPECT_EQ(err.text(), "Dropped " + std::to_string(abandoned) + " messages for " + fifo + ": abandoned\n");
        }
        EXPECT_EQ(backlog_of(fifo), 0u);
        // Closed: the reader sees the end once it has read everything.
        text += read_available(reader);
        char byte;
        EXPECT_EQ(read(reader, &byte, 1), 0);
        close(reader);
        if (reads) {
            EXPECT_EQ(whole_lines(text, size).size(), (size_t)total);
        } else {
            // The pipe holds what it took, whole messages but for the last
            // one when the reader took part of it: that one had nowhere
            // else to go and is counted with the abandoned ones.
            size_t whole = text.size() / size;
            EXPECT_EQ(whole + abandoned, (size_t)total);
            whole_lines(text.substr(0, whole * size), size);
        }
    }
}

// A FIFO reopened while its retired descriptor still holds a backlog: the
// new descriptor takes the backlog over (a second writer of ours on the
// same pipe could interleave parts of messages), and the reader gets every
// message whole, the old ones first.
TEST_F(Writer, ReopenedFifoTakesOverItsRetiredBacklog)
{
    std::string fifo = tmp.file("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    LogFile *file = log_file(fifo);
    int old_fd = open_output(file);
    const size_t size = 1000;
    for (int i = 0; i < 200; i++) {
        std::string m = numbered_line(i, size);
        ASSERT_EQ(output_write(old_fd, m.data(), m.size()), 0);
    }
    size_t waiting = backlog_of(fifo);
    ASSERT_GT(waiting, 0u);
    output_close_log_file(file);
    int fd = open_output(file);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(backlog_of(fifo), waiting);
    if (fd != old_fd) {
        EXPECT_EQ(fcntl(old_fd, F_GETFD), -1) << "the retired descriptor is closed";
    }
    for (int i = 200; i < 210; i++) {
        std::string m = numbered_line(i, size);
        ASSERT_EQ(output_write(fd, m.data(), m.size()), 0);
    }
    std::string text;
    for (int round = 0; round < 100 && backlog_of(fifo) > 0; round++) {
        text += read_available(reader);
        service_backlogs();
    }
    text += read_available(reader);
    EXPECT_EQ(whole_lines(text, size).size(), 210u);
    close(reader);
}

}  // namespace
