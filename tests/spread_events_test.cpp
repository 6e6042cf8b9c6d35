// The event loop of the client library: timed events in order, queue
// operations, descriptors served by priority and threshold, callbacks that
// change the loop, and the two ways out.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <string>
#include <thread>

#include "spread/sp_events.h"
#include "support/process.h"

namespace {

std::string trace;

void note(int code, void *data)
{
    trace += std::to_string(code);
    if (data != nullptr)
        E_exit_events();
}

void note_fd(int fd, int code, void *)
{
    char c;
    (void)!read(fd, &c, 1);
    trace += std::to_string(code);
}

void stop_after_fd(int fd, int code, void *data)
{
    note_fd(fd, code, data);
    E_exit_events();
}

sp_time ms(long n) { return sp_time{n / 1000, (n % 1000) * 1000}; }

// A pipe with one byte waiting in it; closed by the fixture.
struct Pipes {
    std::vector<int> fds;
    int readable()
    {
        int p[2];
        EXPECT_EQ(pipe2(p, O_CLOEXEC), 0);
        EXPECT_EQ(write(p[1], "x", 1), 1);
        fds.push_back(p[0]);
        fds.push_back(p[1]);
        return p[0];
    }
    ~Pipes()
    {
        for (int fd : fds) {
            E_detach_fd(fd, READ_FD);
            E_detach_fd(fd, WRITE_FD);
            close(fd);
        }
        E_set_active_threshold(LOW_PRIORITY);
    }
};

}  // namespace

// Timed events run in the order of their times, ties in queuing order; a
// queued event queued again moves; a dequeued one never runs.
TEST(SpreadEvents, TimedEventsRunInOrder)
{
    ASSERT_EQ(E_init(), 0);
    trace.clear();
    int stop = 1;
    ASSERT_EQ(E_queue(note, 3, nullptr, ms(30)), 0);
    ASSERT_EQ(E_queue(note, 1, nullptr, ms(10)), 0);
    ASSERT_EQ(E_queue(note, 2, nullptr, ms(10)), 0);
    ASSERT_EQ(E_queue(note, 5, nullptr, ms(5)), 0);
    ASSERT_EQ(E_queue(note, 5, nullptr, ms(40)), 0);  // moved after 3
    ASSERT_EQ(E_queue(note, 7, nullptr, ms(20)), 0);
    EXPECT_EQ(E_in_queue(note, 7, nullptr), 1);
    EXPECT_EQ(E_dequeue(note, 7, nullptr), 0);
    EXPECT_EQ(E_in_queue(note, 7, nullptr), 0);
    EXPECT_EQ(E_dequeue(note, 7, nullptr), -1);
    ASSERT_EQ(E_queue(note, 9, &stop, ms(50)), 0);
    E_handle_events();
    EXPECT_EQ(trace, "12359");
    EXPECT_EQ(E_queue(nullptr, 0, nullptr, ms(1)), -1);
    EXPECT_EQ(E_queue(note, 0, nullptr, sp_time{-1, 0}), -1);
}

// Of the descriptors ready in one round, higher priorities are served
// first; below the threshold and deactivated ones are not served at all.
TEST(SpreadEvents, DescriptorsByPriorityAndThreshold)
{
    Pipes pipes;
    trace.clear();
    int low = pipes.readable(), medium = pipes.readable(), high = pipes.readable();
    ASSERT_EQ(E_attach_fd(low, READ_FD, note_fd, 0, nullptr, LOW_PRIORITY), 0);
    ASSERT_EQ(E_attach_fd(medium, READ_FD, note_fd, 1, nullptr, MEDIUM_PRIORITY), 0);
    ASSERT_EQ(E_attach_fd(high, READ_FD, note_fd, 2, nullptr, HIGH_PRIORITY), 0);
    EXPECT_EQ(E_num_active(MEDIUM_PRIORITY), 1);
    int stop = 1;
    ASSERT_EQ(E_queue(note, 9, &stop, ms(50)), 0);
    E_handle_events();
    EXPECT_EQ(trace, "2109");

    trace.clear();
    EXPECT_EQ(write(pipes.fds[1], "x", 1), 1);  // low
    EXPECT_EQ(write(pipes.fds[3], "x", 1), 1);  // medium
    EXPECT_EQ(write(pipes.fds[5], "x", 1), 1);  // high
    EXPECT_EQ(E_set_active_threshold(MEDIUM_PRIORITY), MEDIUM_PRIORITY);
    EXPECT_EQ(E_set_active_threshold(7), MEDIUM_PRIORITY);
    ASSERT_EQ(E_deactivate_fd(high, READ_FD), 0);
    EXPECT_EQ(E_num_active(HIGH_PRIORITY), 0);
    ASSERT_EQ(E_queue(note, 9, &stop, ms(50)), 0);
    E_handle_events();
    EXPECT_EQ(trace, "19");

    trace.clear();
    ASSERT_EQ(E_activate_fd(high, READ_FD), 0);
    ASSERT_EQ(E_attach_fd(high, READ_FD, stop_after_fd, 4, nullptr, HIGH_PRIORITY), 0);  // replaces
    E_handle_events();
    EXPECT_EQ(trace, "4");
}

// Attaching and detaching: argument checks, one handler per descriptor
// and type, detaching by priority.
TEST(SpreadEvents, AttachAndDetachResults)
{
    Pipes pipes;
    int fd = pipes.readable();
    struct Case {
        int fd, type, priority;
        bool with_func;
        int result;
    } cases[] = {
        {fd, READ_FD, LOW_PRIORITY, true, 0},   {-1, READ_FD, LOW_PRIORITY, true, -1},
        {fd, 3, LOW_PRIORITY, true, -1},        {fd, READ_FD, 3, true, -1},
        {fd, READ_FD, -1, true, -1},            {fd, READ_FD, LOW_PRIORITY, false, -1},
        {fd, WRITE_FD, HIGH_PRIORITY, true, 0}, {fd, EXCEPT_FD, MEDIUM_PRIORITY, true, 0},
    };
    for (const Case &c : cases)
        EXPECT_EQ(E_attach_fd(c.fd, c.type, c.with_func ? note_fd : nullptr, 0, nullptr, c.priority), c.result)
            << c.fd << " " << c.type << " " << c.priority;
    // Moving READ_FD to another priority leaves it attached once.
    ASSERT_EQ(E_attach_fd(fd, READ_FD, note_fd, 0, nullptr, HIGH_PRIORITY), 0);
    EXPECT_EQ(E_num_active(LOW_PRIORITY), 0);
    EXPECT_EQ(E_num_active(HIGH_PRIORITY), 2);
    EXPECT_EQ(E_detach_fd_priority(fd, READ_FD, LOW_PRIORITY), -1);
    EXPECT_EQ(E_detach_fd_priority(fd, READ_FD, HIGH_PRIORITY), 0);
    EXPECT_EQ(E_detach_fd(fd, READ_FD), -1);
    EXPECT_EQ(E_detach_fd(fd, EXCEPT_FD), 0);
    EXPECT_EQ(E_activate_fd(fd, EXCEPT_FD), -1);
    EXPECT_EQ(E_num_active(NUM_PRIORITY), -1);
}

// A signal handler ends a loop that waits with nothing to do.
TEST(SpreadEvents, ExitFromASignalHandlerEndsTheWait)
{
    ASSERT_EQ(E_init(), 0);
    struct sigaction action {};
    action.sa_handler = [](int) { E_exit_events_async_safe(); };
    sigemptyset(&action.sa_mask);
    struct sigaction old {};
    ASSERT_EQ(sigaction(SIGUSR2, &action, &old), 0);
    pthread_t loop = pthread_self();
    pid_t loop_tid = gettid();
    std::thread poke([loop, loop_tid] {
        // Once the loop is blocked in its wait.
        wkp_test::wait_until([&] { return wkp_test::blocked_in(loop_tid, SYS_poll); });
        pthread_kill(loop, SIGUSR2);
    });
    E_handle_events();  // returns only through the handler
    poke.join();
    sigaction(SIGUSR2, &old, nullptr);
    // The request is used up: the next loop runs until its own exit.
    trace.clear();
    int stop = 1;
    ASSERT_EQ(E_queue(note, 8, &stop, ms(10)), 0);
    E_handle_events();
    EXPECT_EQ(trace, "8");
}

// Time helpers: the monotonic clock moves forward, E_delay waits at least
// its delay, E_neg_time negates both fields.
TEST(SpreadEvents, TimeHelpers)
{
    sp_time start = E_get_time_monotonic();
    E_delay(ms(20));
    sp_time waited = E_sub_time(E_get_time_monotonic(), start);
    EXPECT_GE(waited.sec * 1000000 + waited.usec, 20000);
    sp_time n = E_neg_time(sp_time{3, 250000});
    EXPECT_EQ(n.sec, -3);
    EXPECT_EQ(n.usec, -250000);
    EXPECT_EQ(E_compare_time(E_add_time(n, sp_time{3, 250000}), sp_time{0, 0}), 0);
}
