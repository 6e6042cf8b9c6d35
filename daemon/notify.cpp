#include "daemon/notify.h"

#include <systemd/sd-daemon.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "daemon/session.h"
#include "output/clock.h"
#include "output/writer.h"

namespace {

// True while there is a NOTIFY_SOCKET to send to.
bool notifying = false;
// The process id at notify_start; the first READY=1 from another one (the
// daemon detached) tells systemd its id.
pid_t start_pid = 0;
bool told_pid = false;

// The watchdog: half its interval in microseconds (0: no watchdog), and
// when the last ping was sent.
unsigned long long ping_interval_us = 0;
unsigned long long last_ping_us = 0;

// The clock as read by the last notify_pass, and when STATUS= was sent.
unsigned long long pass_us = 0;
unsigned long long last_status_us = 0;
std::string last_status;

// Per output (by the order output_for_each gives, which never changes):
// since when, as seen at the refreshes, it has had a backlog; 0 for none.
std::vector<unsigned long long> backlog_since_us;

struct Summary {
    unsigned long long now;
    int connected = 0, configured = 0;
    unsigned long long written = 0, dropped = 0, backlog = 0, oldest_us = 0;
    size_t output = 0;
};

int count_connection(SpreadConf *conf, void *arg)
{
    auto *s = static_cast<Summary *>(arg);
    s->configured++;
    s->connected += conf->connected != 0;
    return 0;
}

void count_output(const OutputStatus *status, void *arg)
{
    auto *s = static_cast<Summary *>(arg);
    s->written += status->messages;
    for (unsigned long n : status->dropped)
        s->dropped += n;
    if (backlog_since_us.size() <= s->output)
        backlog_since_us.resize(s->output + 1, 0);
    unsigned long long &since = backlog_since_us[s->output++];
    if (status->backlog == 0) {
        since = 0;
        return;
    }
    if (since == 0)
        since = s->now;
    s->backlog += status->backlog;
    if (s->now - since > s->oldest_us)
        s->oldest_us = s->now - since;
}

void send_status(unsigned long long now)
{
    last_status_us = now;
    std::string line = notify_status_line();
    if (line == last_status)
        return;
    last_status = line;
    sd_notifyf(0, "STATUS=%s", line.c_str());
}

}  // namespace

std::string notify_status_line()
{
    Summary s;
    s.now = clock_us();
    for_each_spread_conf(count_connection, &s);
    output_for_each(count_output, &s);
    char text[256];
    int n = snprintf(text, sizeof text, "%d/%d Spread daemons connected, %llu lines written, %llu dropped, ",
                     s.connected, s.configured, s.written, s.dropped);
    if (s.backlog == 0)
        snprintf(text + n, sizeof text - n, "no backlog");
    else
        snprintf(text + n, sizeof text - n, "backlog %llu bytes, oldest %llu s", s.backlog, s.oldest_us / 1000000);
    return text;
}

void notify_start()
{
    // sd_notify looks the socket up again at every call; it sends nothing
    // without one.
    notifying = getenv("NOTIFY_SOCKET") != nullptr;
    if (!notifying)
        return;
    start_pid = getpid();
    uint64_t usec = 0;
    if (sd_watchdog_enabled(1, &usec) > 0 && usec > 0)
        ping_interval_us = usec / 2;
    last_ping_us = pass_us = clock_us();
}

void notify_ready()
{
    if (!notifying)
        return;
    std::string line = notify_status_line();
    last_status = line;
    last_status_us = clock_us();
    if (getpid() != start_pid && !told_pid) {
        sd_notifyf(0, "READY=1\nMAINPID=%d\nSTATUS=%s", static_cast<int>(getpid()), line.c_str());
        told_pid = true;
    } else {
        sd_notifyf(0, "READY=1\nSTATUS=%s", line.c_str());
    }
}

void notify_reloading()
{
    if (notifying)
        sd_notifyf(0, "RELOADING=1\nMONOTONIC_USEC=%llu\nSTATUS=Reopening the outputs", clock_us());
}

void notify_handing_over()
{
    if (notifying)
        sd_notifyf(0, "RELOADING=1\nMONOTONIC_USEC=%llu\nSTATUS=Handing over to a new daemon", clock_us());
}

void notify_main_pid(int pid)
{
    if (notifying)
        sd_notifyf(0, "MAINPID=%d\nSTATUS=Handed over to process %d", pid, pid);
}

unsigned long long notify_watchdog_usec()
{
    return ping_interval_us * 2;
}

void notify_stopping()
{
    if (notifying)
        sd_notify(0, "STOPPING=1\nSTATUS=Stopping: writing the messages already read");
}

void notify_pass()
{
    if (!notifying)
        return;
    pass_us = clock_us();
    if (ping_interval_us > 0 && pass_us - last_ping_us >= ping_interval_us) {
        sd_notify(0, "WATCHDOG=1");
        last_ping_us = pass_us;
    }
    if (pass_us - last_status_us >= notify_status_interval * 1000000ull)
        send_status(pass_us);
}

int notify_wait_ms(int ms)
{
    if (ping_interval_us == 0)
        return ms;
    unsigned long long due = last_ping_us + ping_interval_us;
    if (due <= pass_us)
        return 0;
    unsigned long long left_ms = (due - pass_us + 999) / 1000;
    return left_ms < static_cast<unsigned long long>(ms) ? static_cast<int>(left_ms) : ms;
}
