// Start-up services that can be checked inside one process: the open-file
// limit and the signal flags.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <csignal>

#include "daemon/process.h"
#include "daemon/signals.h"
#include "support/scoped.h"

// In a child, so the lowered limits do not outlive the case: lowers the
// limits, raises them again and exits 0 when the result and the new soft
// limit are the hard limit.
static void lower_then_raise(rlim_t soft, rlim_t hard)
{
    struct rlimit limit;
    limit.rlim_cur = soft;
    limit.rlim_max = hard;
    if (setrlimit(RLIMIT_NOFILE, &limit) != 0)
        _exit(10);
    if (raise_fd_limit() != (int)hard)
        _exit(11);
    getrlimit(RLIMIT_NOFILE, &limit);
    _exit(limit.rlim_cur == hard ? 0 : 12);
}

TEST(RaiseFdLimit, SoftLimitBecomesTheHardLimit)
{
    EXPECT_EXIT(lower_then_raise(256, 1024), ::testing::ExitedWithCode(0), "");
    EXPECT_EXIT(lower_then_raise(64, 4096), ::testing::ExitedWithCode(0), "");
}

TEST(SignalHandler, SetsOnlyItsOwnFlagAndRepeatsCollapse)
{
    wkp_test::Scoped hup(sighup_pending, 0);
    wkp_test::Scoped term(sigterm_pending, 0);
    install_signal_handlers();

    raise(SIGHUP);
    raise(SIGHUP);
    EXPECT_EQ(sighup_pending, 1);
    EXPECT_EQ(sigterm_pending, 0);

    sighup_pending = 0;
    raise(SIGTERM);
    EXPECT_EQ(sigterm_pending, 1);
    EXPECT_EQ(sighup_pending, 0);

    signal_handler(SIGUSR1);  // any other signal changes nothing
    EXPECT_EQ(sighup_pending, 0);
    signal(SIGHUP, SIG_DFL);
    signal(SIGTERM, SIG_DFL);
}
