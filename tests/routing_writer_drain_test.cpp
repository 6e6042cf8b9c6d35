// The write step: the exit's drain, drop reports, the status counts, and
// the batches written before a report, a close and the exit.
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

// At exit a stream whose reader takes nothing is given up after the stall
// bound, long before the overall one; what it holds is dropped and
// counted.
TEST_F(Writer, DrainAtExitStopsAtItsBound)
{
    std::string fifo = tmp.file("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    LogFile *file = log_file(fifo);
    int fd = open_output(file);
    for (int i = 0; i < 100; i++) {
        std::string m = numbered_line(i, 1000);
        ASSERT_EQ(output_write(fd, m.data(), m.size()), 0);
    }
    ASSERT_GT(backlog_of(fifo), 0u);
    StderrCapture err;
    output_drain(50, 600000);
    output_report_pending();
    EXPECT_EQ(backlog_of(fifo), 0u);
    unsigned long abandoned = dropped(fifo, OUTPUT_DROP_ABANDONED);
    EXPECT_GT(abandoned, 0u);
    EXPECT_EQ(err.text(), "Dropped " + std::to_string(abandoned) + " messages for " + fifo + ": abandoned\n");
    std::string text = read_available(reader);
    EXPECT_EQ(text.size() / 1000 + abandoned, 100u);
    whole_lines(text.substr(0, text.size() / 1000 * 1000), 1000);
    close(reader);
}

// At exit a reader that keeps taking bytes, however slowly, gets the whole
// backlog while the overall bound allows: with a stall bound far above its
// pace every line lands; with an overall bound far below the time its
// reads need (1,000 bytes per 20 ms sleep) the rest is abandoned, and what
// landed is whole lines in order.
TEST_F(Writer, DrainAtExitGoesOnWhileTheReaderTakesBytes)
{
    struct Case {
        int stall_ms, total_ms;
        bool all_land;
    } cases[] = {
        {30000, 600000, true},
        {30000, 100, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "stall " << c.stall_ms << " total " << c.total_ms);
        std::string fifo = tmp.file("slow" + std::to_string(c.total_ms));
        ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
        int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
        int fd = open_output(log_file(fifo));
        for (int i = 0; i < 200; i++) {
            std::string m = numbered_line(i, 1000);
            ASSERT_EQ(output_write(fd, m.data(), m.size()), 0);
        }
        ASSERT_GT(backlog_of(fifo), 50000u);
        std::atomic<bool> stop{false};
        std::string text;
        std::thread slow([&] {
            char buffer[1000];
            while (!stop) {
                ssize_t n = read(reader, buffer, sizeof buffer);
                if (n > 0)
                    text.append(buffer, n);
                usleep(20000);
            }
        });
        StderrCapture err;
        output_drain(c.stall_ms, c.total_ms);
        output_report_pending();
        stop = true;
        slow.join();
        text += read_available(reader);
        EXPECT_EQ(backlog_of(fifo), 0u);
        unsigned long abandoned = dropped(fifo, OUTPUT_DROP_ABANDONED);
        if (c.all_land) {
            EXPECT_EQ(abandoned, 0u);
            EXPECT_EQ(err.text(), "");
        } else {
            EXPECT_GT(abandoned, 0u);
            EXPECT_EQ(err.text(), "Dropped " + std::to_string(abandoned) + " messages for " + fifo + ": abandoned\n");
        }
        // The message being written when the drain gave up may have left
        // its first bytes in the pipe: it is among the abandoned.
        EXPECT_EQ(text.size() / 1000 + abandoned, 200u);
        EXPECT_EQ(whole_lines(text.substr(0, text.size() / 1000 * 1000), 1000).size() + abandoned, 200u);
        close(reader);
    }
}

// One output and reason is reported at most once per interval: the first
// drop after a quiet interval at once, the next ones summed when the
// interval is up or when everything pending is reported (SIGHUP,
// SIGTERM). Each reason keeps its own time; a write error is reported
// with the text of the last error.
TEST_F(Writer, DropsAreReportedAtOnceThenOncePerInterval)
{
    int id = 0;
    output_of(&id, "/report/test", "file");
    const std::string p = "Dropped %s messages for /report/test: ";
    auto line = [&](const char *count, const char *reason) {
        std::string text = p;
        text.replace(text.find("%s"), 2, count);
        return text + reason + "\n";
    };
    long t0 = advance_output_clock(1);
    enum Action { DROP_FULL, DROP_NOSPACE, DROP_EIO, TICK, PENDING };
    struct Step {
        long at;
        Action action;
        std::string said;
    } steps[] = {
        {0, DROP_FULL, line("1", "backlog full")},
        {10, DROP_FULL, ""},
        {20, DROP_FULL, ""},
        {59, TICK, ""},
        {60, TICK, line("2", "backlog full")},
        {61, DROP_NOSPACE, line("1", "No space left on device")},
        {62, DROP_NOSPACE, ""},
        {63, DROP_EIO, ""},
        {70, DROP_FULL, ""},
        {119, TICK, ""},
        {120, TICK, line("1", "backlog full")},
        {121, TICK, line("2", "Input/output error")},
        {130, DROP_FULL, ""},
        {140, PENDING, line("1", "backlog full")},
        {150, DROP_FULL, ""},
        {199, TICK, ""},
        {200, TICK, line("1", "backlog full")},
        {300, DROP_FULL, line("1", "backlog full")},
    };
    for (const Step &step : steps) {
        SCOPED_TRACE(step.at);
        StderrCapture err;
        output_tick_at(t0 + step.at);
        switch (step.action) {
        case DROP_FULL: output_drop(id, OUTPUT_DROP_BACKLOG_FULL); break;
        case DROP_NOSPACE: output_drop(id, OUTPUT_DROP_WRITE_ERROR, ENOSPC); break;
        case DROP_EIO: output_drop(id, OUTPUT_DROP_WRITE_ERROR, EIO); break;
        case TICK: break;
        case PENDING: output_report_pending(); break;
        }
        EXPECT_EQ(err.text(), step.said);
    }
    advance_output_clock(300);
    EXPECT_EQ(dropped("/report/test", OUTPUT_DROP_BACKLOG_FULL), 7u);
    EXPECT_EQ(dropped("/report/test", OUTPUT_DROP_WRITE_ERROR), 3u);
}

// Counters per output: messages and bytes written whole, by kind.
TEST_F(Writer, StatusCountsWhatWasWritten)
{
    LogFile *file = log_file(tmp.file("counted.log"));
    ASSERT_GE(open_output(file), 0);
    for (const char *m : {"one\n", "two\n", "three\n", ""})
        ASSERT_EQ(output_write(file->fd, m, strlen(m)), 0);
    EXPECT_EQ(output_flush(), 0);
    struct Seen {
        std::string path;
        OutputStatus status;
        bool found;
    } seen{tmp.file("counted.log"), {}, false};
    output_for_each(
        [](const OutputStatus *status, void *arg) {
            Seen *s = static_cast<Seen *>(arg);
            if (s->path == status->path) {
                s->status = *status;
                s->found = true;
            }
        },
        &seen);
    ASSERT_TRUE(seen.found);
    EXPECT_STREQ(seen.status.kind, "file");
    EXPECT_EQ(seen.status.messages, 4u);
    EXPECT_EQ(seen.status.bytes, 14u);
    EXPECT_EQ(seen.status.backlog, 0u);
    for (unsigned long n : seen.status.dropped)
        EXPECT_EQ(n, 0u);
}

// Batched messages are written before anything that needs them in the
// file: a status report (its counters then tell what the file holds), the
// close of the descriptor (SIGHUP, a vhost file closed for room), the exit's
// drain; and by the loop's ticks once output_batch_ms passed after the tick
// that first saw them, even if the loop never runs out of messages. Until
// then the file holds none of them.
TEST_F(Writer, BatchesAreWrittenBeforeReportCloseAndExit)
{
    enum Action { REPORT, CLOSE, DRAIN, TICKS };
    for (Action action : {REPORT, CLOSE, DRAIN, TICKS}) {
        SCOPED_TRACE(action);
        std::string path = tmp.file("batched" + std::to_string(action) + ".log");
        LogFile *file = log_file(path);
        ASSERT_GE(open_output(file), 0);
        std::string sent;
        for (int i = 0; i < 50; i++) {
            std::string m = numbered_line(i, 80);
            ASSERT_EQ(output_write(file->fd, m.data(), m.size()), 0);
            sent += m;
        }
        ASSERT_EQ(read_file(path), "") << "batched, not written yet";
        if (action == REPORT) {
            char *text = nullptr;
            size_t size = 0;
            FILE *out = open_memstream(&text, &size);
            status_report(out);
            fclose(out);
            std::string report(text, size);
            free(text);
            EXPECT_NE(report.find("output path=" + path + " kind=file written=50 bytes=" + std::to_string(sent.size()) +
                                  " dropped=0 "),
                      std::string::npos)
                << report;
        } else if (action == CLOSE) {
            output_close_log_file(file);
        } else if (action == DRAIN) {
            output_drain(0, 0);
        } else {
            output_tick();  // the batch's time starts
            EXPECT_EQ(read_file(path), "");
            EXPECT_TRUE(wkp_test::wait_until([&] {
                output_tick();
                return read_file(path) == sent;
            }));
        }
        EXPECT_EQ(read_file(path), sent);
    }
}

}  // namespace
