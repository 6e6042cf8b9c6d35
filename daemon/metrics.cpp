#include "daemon/metrics.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <iterator>
#include <map>
#include <vector>

#include "config/settings.h"
#include "daemon/books.h"
#include "daemon/connections.h"
#include "daemon/metrics_http.h"
#include "daemon/options.h"
#include "daemon/session.h"
#include "daemon/spread_drops.h"
#include "daemon/status.h"
#include "output/clock.h"
#include "output/writer.h"

namespace {

// Unix time at metrics_start.
long long start_time = 0;
// Through a hand-over: the counts the old daemon carried over, by series
// ("name{labels}"), added to ours; whether a file may be written now (not
// while the other daemon writes it); the hand-overs by result; whether
// the file being made is the final one.
std::map<std::string, unsigned long long> &carried = *new std::map<std::string, unsigned long long>;
bool held = false;
unsigned long handovers_done = 0, handovers_failed = 0;
bool final_file = false;

// Coarse monotonic milliseconds: as seen at the last metrics_pass, and when
// the next write is due (0: at the first pass).
long long pass_ms = 0;
long long next_ms = 0;

// The error said last (its step and errno), 0 when the last write
// succeeded or none failed yet: a failure of the same kind is not said
// again.
enum Step { STEP_NONE, STEP_WRITE, STEP_RENAME };
Step said_step = STEP_NONE;
int said_errno = 0;

// Length of the valid UTF-8 sequence at s[0, n), or 0 when it is not one
// (overlong forms, surrogates and code points past U+10FFFF included).
size_t utf8_sequence(const unsigned char *s, size_t n)
{
    unsigned char c = s[0];
    if (c < 0x80)
        return 1;
    size_t length;
    unsigned char low = 0x80, high = 0xbf;  // bounds of the second byte
    if (c >= 0xc2 && c <= 0xdf) {
        length = 2;
    } else if (c >= 0xe0 && c <= 0xef) {
        length = 3;
        if (c == 0xe0)
            low = 0xa0;
        else if (c == 0xed)
            high = 0x9f;
    } else if (c >= 0xf0 && c <= 0xf4) {
        length = 4;
        if (c == 0xf0)
            low = 0x90;
        else if (c == 0xf4)
            high = 0x8f;
    } else {
        return 0;
    }
    if (n < length || s[1] < low || s[1] > high)
        return 0;
    for (size_t i = 2; i < length; i++)
        if (s[i] < 0x80 || s[i] > 0xbf)
            return 0;
    return length;
}

// `text` escaped: \ and newline always, " when `quote` is set; bytes that
// are not UTF-8 replaced.
std::string escaped(std::string_view text, bool quote)
{
    std::string out;
    out.reserve(text.size());
    const unsigned char *s = reinterpret_cast<const unsigned char *>(text.data());
    for (size_t i = 0; i < text.size();) {
        size_t length = utf8_sequence(s + i, text.size() - i);
        if (length == 0) {
            out += "\xef\xbf\xbd";  // U+FFFD
            i++;
            continue;
        }
        char c = text[i];
        if (c == '\\')
            out += "\\\\";
        else if (c == '\n')
            out += "\\n";
        else if (c == '"' && quote)
            out += "\\\"";
        else
            out.append(text.substr(i, length));
        i += length;
    }
    return out;
}

void family(std::string *out, const char *name, const char *type, const char *help)
{
    *out += "# HELP ";
    *out += name;
    *out += ' ';
    *out += metrics_help_text(help);
    *out += "\n# TYPE ";
    *out += name;
    *out += ' ';
    *out += type;
    *out += '\n';
}

void sample_text(std::string *out, const char *name, const std::string &labels, const char *number)
{
    *out += name;
    if (!labels.empty()) {
        *out += '{';
        *out += labels;
        *out += '}';
    }
    *out += ' ';
    *out += number;
    *out += '\n';
}

void sample(std::string *out, const char *name, const std::string &labels, unsigned long long value)
{
    // A counter goes on from what the daemon before us counted.
    if (std::string_view(name).ends_with("_total") && !carried.empty()) {
        auto at = carried.find(std::string(name) + "{" + labels + "}");
        if (at != carried.end())
            value += at->second;
    }
    char number[32];
    snprintf(number, sizeof number, "%llu", value);
    sample_text(out, name, labels, number);
}

void sample_real(std::string *out, const char *name, const std::string &labels, double value)
{
    char number[64];
    snprintf(number, sizeof number, "%.15g", value);
    sample_text(out, name, labels, number);
}

// One connection, one output: labels ready to print, and the values.
struct SpreadSeries {
    std::string labels;
    int connected;
    unsigned long reconnects;
    unsigned long long received;
    unsigned long long dropped[SPREAD_DROP_REASONS];
    SpreadBooks books;
};

struct OutputSeries {
    std::string labels;
    unsigned long messages;
    unsigned long long bytes;
    unsigned long dropped[OUTPUT_DROP_REASONS];
    unsigned long filtered;
    size_t backlog;
    long long last_write_ms;
};

std::string daemon_label(SpreadConf *conf)
{
    return "daemon=\"" + metrics_label_value(spread_daemon_name(conf)) + "\"";
}

int take_spread(SpreadConf *conf, void *arg)
{
    auto *all = static_cast<std::vector<SpreadSeries> *>(arg);
    SpreadSeries series{daemon_label(conf), conn_mailbox(conf) >= 0, status_reconnects(conf), conf->received, {}, {}};
    for (int reason = 0; reason < SPREAD_DROP_REASONS; reason++)
        series.dropped[reason] = spread_drops_count(conf, static_cast<SpreadDrop>(reason));
    books_read(conf, conn_mailbox(conf), &series.books);
    all->push_back(std::move(series));
    return 0;
}

void take_output(const OutputStatus *status, void *arg)
{
    auto *all = static_cast<std::vector<OutputSeries> *>(arg);
    OutputSeries series{"output=\"" + metrics_label_value(status->path) + "\",kind=\"" +
                            metrics_label_value(status_key(status->kind)) + "\"",
                        status->messages, status->bytes, {}, status->filtered, status->backlog,
                        status->last_write_ms};
    std::copy(std::begin(status->dropped), std::end(status->dropped), series.dropped);
    all->push_back(std::move(series));
}

std::string reason_label(const char *name)
{
    return ",reason=\"" + metrics_label_value(status_key(name)) + "\"";
}

// The blocks of the text, one per group of families, in the order they are
// written.

// The reading path's books of each connection (daemon/books.h).
void spread_books_text(std::string *out, const std::vector<SpreadSeries> &spreads)
{
    family(out, "wickerpost_spread_read_bytes_total", "counter",
           "Bytes read from the sessions with the Spread daemon.");
    for (const SpreadSeries &s : spreads)
        sample(out, "wickerpost_spread_read_bytes_total", s.labels, s.books.read_bytes);
    family(out, "wickerpost_spread_framed_messages_total", "counter",
           "Whole messages found in the bytes read from the Spread daemon.");
    for (const SpreadSeries &s : spreads)
        sample(out, "wickerpost_spread_framed_messages_total", s.labels, s.books.framed);
    family(out, "wickerpost_spread_taken_messages_total", "counter",
           "Messages of any kind the loop took from the sessions with the Spread daemon.");
    for (const SpreadSeries &s : spreads)
        sample(out, "wickerpost_spread_taken_messages_total", s.labels, s.books.loop_taken);
    family(out, "wickerpost_spread_sessions_lost_total", "counter",
           "Sessions the Spread daemon ended; what it sent until the next join is lost.");
    for (const SpreadSeries &s : spreads)
        sample(out, "wickerpost_spread_sessions_lost_total", s.labels, s.books.lost);
}

// The read-ahead of each connection: what it holds now, its bound, and the
// most it held at once since start (how close the loop came to having its
// session dropped by the Spread daemon for not reading).
void spread_readahead_text(std::string *out, const std::vector<SpreadSeries> &spreads)
{
    family(out, "wickerpost_spread_readahead_bytes", "gauge",
           "Bytes read from the Spread daemon and not yet taken by the loop.");
    for (const SpreadSeries &s : spreads)
        sample(out, "wickerpost_spread_readahead_bytes", s.labels, s.books.held_bytes);
    family(out, "wickerpost_spread_readahead_limit_bytes", "gauge",
           "Bytes the read-ahead of the session holds at most; 0 while there is no session.");
    for (const SpreadSeries &s : spreads)
        sample(out, "wickerpost_spread_readahead_limit_bytes", s.labels, s.books.limit_bytes);
    family(out, "wickerpost_spread_readahead_max_bytes", "gauge",
           "The most bytes the read-ahead held at once since the daemon started, any session.");
    for (const SpreadSeries &s : spreads)
        sample(out, "wickerpost_spread_readahead_max_bytes", s.labels, s.books.max_held_bytes);
}

void spread_block(std::string *out)
{
    std::vector<SpreadSeries> spreads;
    for_each_spread_conf(take_spread, &spreads);
    family(out, "wickerpost_spread_connected", "gauge",
                   "Whether the session with the Spread daemon is up (1) or not (0).");
    for (const SpreadSeries &s : spreads)
        sample(out, "wickerpost_spread_connected", s.labels, final_file ? 0 : s.connected);
    family(out, "wickerpost_spread_reconnects_total", "counter",
                   "Sessions with the Spread daemon accepted after the first one.");
    for (const SpreadSeries &s : spreads)
        sample(out, "wickerpost_spread_reconnects_total", s.labels, s.reconnects);
    family(out, "wickerpost_spread_received_messages_total", "counter",
                   "Regular messages received from the Spread daemon.");
    for (const SpreadSeries &s : spreads)
        sample(out, "wickerpost_spread_received_messages_total", s.labels, s.received);
    spread_books_text(out, spreads);
    spread_readahead_text(out, spreads);
    family(out, "wickerpost_spread_dropped_messages_total", "counter",
                   "Messages received and lost before any output could take them, by reason.");
    for (const SpreadSeries &s : spreads)
        for (int reason = 0; reason < SPREAD_DROP_REASONS; reason++)
            sample(out, "wickerpost_spread_dropped_messages_total",
                           s.labels + reason_label(spread_drop_names[reason]), s.dropped[reason]);
}

struct GroupWalk {
    std::string *out;
    std::string daemon;
};

int group_sample(LogFacility *facility, void *arg)
{
    auto *walk = static_cast<GroupWalk *>(arg);
    sample(walk->out, "wickerpost_group_received_messages_total",
                   walk->daemon + ",group=\"" + metrics_label_value(facility->groupname ? facility->groupname : "") +
                       "\"",
                   facility->received);
    return 0;
}

int group_samples(SpreadConf *conf, void *arg)
{
    GroupWalk walk{static_cast<std::string *>(arg), daemon_label(conf)};
    for_each_facility(conf, group_sample, &walk);
    return 0;
}

void group_block(std::string *out)
{
    family(out, "wickerpost_group_received_messages_total", "counter",
                   "Regular messages received for the group on the connection.");
    for_each_spread_conf(group_samples, out);
}

// Makes every configured output known to the output module, opened or
// not, so that each has its series from the first file on.
int register_output(LogFacility *facility, void *)
{
    if (facility->vhostdir != nullptr)
        (void)output_of_vhosts(facility);
    else if (LogFile *file = facility->logfile)
        (void)output_of(&file->output, file->filename, file->filename[0] == '|' ? "command" : "file");
    return 0;
}

int register_outputs(SpreadConf *conf, void *)
{
    for_each_facility(conf, register_output, nullptr);
    return 0;
}

void output_block(std::string *out)
{
    std::vector<OutputSeries> outputs;
    for_each_spread_conf(register_outputs, nullptr);
    output_for_each(take_output, &outputs);
    family(out, "wickerpost_output_written_messages_total", "counter", "Messages written whole to the output.");
    for (const OutputSeries &o : outputs)
        sample(out, "wickerpost_output_written_messages_total", o.labels, o.messages);
    family(out, "wickerpost_output_written_bytes_total", "counter",
                   "Bytes written to the output, parts of messages included.");
    for (const OutputSeries &o : outputs)
        sample(out, "wickerpost_output_written_bytes_total", o.labels, o.bytes);
    family(out, "wickerpost_output_dropped_messages_total", "counter",
                   "Messages not written to the output, by reason.");
    for (const OutputSeries &o : outputs)
        for (int reason = 0; reason < OUTPUT_DROP_REASONS; reason++)
            sample(out, "wickerpost_output_dropped_messages_total",
                           o.labels + reason_label(output_drop_names[reason]), o.dropped[reason]);
    family(out, "wickerpost_output_filtered_messages_total", "counter",
                   "Messages for the output that none of its Match patterns selected.");
    for (const OutputSeries &o : outputs)
        sample(out, "wickerpost_output_filtered_messages_total", o.labels, o.filtered);
    family(out, "wickerpost_output_backlog_bytes", "gauge",
                   "Bytes waiting to be written to the output, in its backlog.");
    for (const OutputSeries &o : outputs)
        sample(out, "wickerpost_output_backlog_bytes", o.labels, o.backlog);
    family(out, "wickerpost_output_last_write_timestamp_seconds", "gauge",
                   "Time of the last message written whole to the output since the Unix epoch in seconds, "
                   "0 before the first.");
    for (const OutputSeries &o : outputs)
        sample_real(out, "wickerpost_output_last_write_timestamp_seconds", o.labels,
                            static_cast<double>(o.last_write_ms) / 1000);
}

void daemon_block(std::string *out)
{
    family(out, "wickerpost_start_time_seconds", "gauge",
                   "Start time of the daemon since the Unix epoch in seconds.");
    sample(out, "wickerpost_start_time_seconds", "", static_cast<unsigned long long>(start_time));
    family(out, "wickerpost_handovers_total", "counter", "Hand-overs to a new daemon (SIGUSR2), by result.");
    sample(out, "wickerpost_handovers_total", "result=\"done\"", handovers_done);
    sample(out, "wickerpost_handovers_total", "result=\"failed\"", handovers_failed);
    family(out, "wickerpost_build_info", "gauge", "The version of the running daemon, as a label; always 1.");
    sample(out, "wickerpost_build_info", "version=\"" + metrics_label_value(wickerpost_version) + "\"", 1);
}

// Writes `text` to `path` whole, mode 0644; false with errno set when it
// could not (a partly written file is removed).
bool write_whole(const char *path, const std::string &text)
{
    // A temporary file left by a process that ended mid-write is replaced;
    // where it cannot be, the open says why.
    (void)unlink(path);
    int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    // The umask would take away the read bits the collector needs.
    bool ok = fchmod(fd, 0644) == 0;
    // A local file: write() takes it all, short writes and EINTR go on; any
    // error (ENOSPC, EDQUOT, EIO) ends this write, the old file stays.
    for (size_t done = 0; ok && done < text.size();) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            ok = false;
            if (n == 0)
                errno = EIO;
            break;
        }
        done += static_cast<size_t>(n);
    }
    int error = errno;
    if (close(fd) != 0 && ok) {
        ok = false;
        error = errno;
    }
    if (!ok) {
        unlink(path);
        errno = error;
    }
    return ok;
}

// The series of outputs with file settings (MaxSize, Compress, IdleClose...),
// written only when some Log block gives them.
void take_file_output(const OutputFileStatus *status, void *arg)
{
    static_cast<std::vector<OutputFileStatus> *>(arg)->push_back(*status);
}

void file_series(std::string *out)
{
    std::vector<OutputFileStatus> files;
    output_files_for_each(take_file_output, &files);
    if (files.empty())
        return;
    std::vector<std::string> labels;
    for (const OutputFileStatus &f : files)
        labels.push_back("output=\"" + metrics_label_value(f.path) + "\",kind=\"" +
                         metrics_label_value(status_key(f.kind)) + "\"");
    struct Counter {
        const char *name, *type, *help;
        unsigned long long (*value)(const OutputFileStatus &);
    };
    static const Counter counters[] = {
        {"wickerpost_output_files_open", "gauge", "Files of the output open now.",
         [](const OutputFileStatus &f) { return static_cast<unsigned long long>(f.open); }},
        {"wickerpost_output_file_opens_total", "counter", "Files of the output opened.",
         [](const OutputFileStatus &f) { return static_cast<unsigned long long>(f.opens); }},
        {"wickerpost_output_idle_closes_total", "counter", "Files of the output closed after IdleClose seconds without a message.",
         [](const OutputFileStatus &f) { return static_cast<unsigned long long>(f.idle_closes); }},
        {"wickerpost_output_evictions_total", "counter", "Files of the output closed to stay within the open-file limit.",
         [](const OutputFileStatus &f) { return static_cast<unsigned long long>(f.evictions); }},
        {"wickerpost_output_rotations_total", "counter", "Files of the output rotated at MaxSize.",
         [](const OutputFileStatus &f) { return static_cast<unsigned long long>(f.rotations); }},
        {"wickerpost_output_compressions_total", "counter", "Closed files of the output compressed.",
         [](const OutputFileStatus &f) { return static_cast<unsigned long long>(f.compressed); }},
        {"wickerpost_output_compression_failures_total", "counter",
         "Closed files of the output left uncompressed: the compression failed or its queue was full.",
         [](const OutputFileStatus &f) { return static_cast<unsigned long long>(f.compress_failed); }},
        {"wickerpost_output_compressed_input_bytes_total", "counter", "Bytes of the closed files compressed.",
         [](const OutputFileStatus &f) { return f.compress_bytes_before; }},
        {"wickerpost_output_compressed_output_bytes_total", "counter", "Bytes of their compressed forms.",
         [](const OutputFileStatus &f) { return f.compress_bytes_after; }},
        {"wickerpost_output_last_sync_time_seconds", "gauge",
         "Time of the output's last fdatasync that worked since the Unix epoch in seconds; 0 before the first.",
         [](const OutputFileStatus &f) { return static_cast<unsigned long long>(f.synced_at); }},
    };
    for (const Counter &c : counters) {
        family(out, c.name, c.type, c.help);
        for (size_t i = 0; i < files.size(); i++)
            sample(out, c.name, labels[i], c.value(files[i]));
    }
    family(out, "wickerpost_compress_waiting_files", "gauge", "Closed files waiting to be compressed, or being compressed.");
    sample(out, "wickerpost_compress_waiting_files", "", output_compress_waiting());
}

}  // namespace

std::string metrics_label_value(std::string_view value)
{
    return escaped(value, true);
}

std::string metrics_help_text(std::string_view text)
{
    return escaped(text, false);
}

void metrics_family(std::string *out, const char *name, const char *type, const char *help)
{
    family(out, name, type, help);
}

void metrics_sample(std::string *out, const char *name, const std::string &labels, unsigned long long value)
{
    sample(out, name, labels, value);
}

void metrics_sample_real(std::string *out, const char *name, const std::string &labels, double value)
{
    sample_real(out, name, labels, value);
}

std::string metrics_loop_text()
{
    // The counters then tell what is in the files.
    output_flush();
    std::string out;
    spread_block(&out);
    group_block(&out);
    output_block(&out);
    file_series(&out);
    daemon_block(&out);
    return out;
}

std::string metrics_text()
{
    std::string out = metrics_loop_text();
    metrics_process_block(&out);
    return out;
}

void metrics_start()
{
    start_time = static_cast<long long>(time(nullptr));
}

void metrics_write()
{
    if (stats_file == nullptr || held)
        return;
    std::string text = metrics_text();
    // Ours alone: during a hand-over another daemon may be writing its own.
    std::string temporary = std::string(stats_file) + "." + std::to_string(getpid()) + ".tmp";
    Step failed = STEP_NONE;
    int error = 0;
    if (!write_whole(temporary.c_str(), text)) {
        failed = STEP_WRITE;
        error = errno;
    } else if (rename(temporary.c_str(), stats_file) != 0) {
        failed = STEP_RENAME;
        error = errno;
        unlink(temporary.c_str());
    }
    if (failed != STEP_NONE && (failed != said_step || error != said_errno)) {
        if (failed == STEP_WRITE)
            fprintf(stderr, "Cannot write stats file %s: %s\n", stats_file, strerror(error));
        else
            fprintf(stderr, "Cannot rename %s to %s: %s\n", temporary.c_str(), stats_file, strerror(error));
    }
    said_step = failed;
    said_errno = error;
}

void metrics_pass()
{
    metrics_http_pass();
    spread_drops_tick();
    if (stats_file == nullptr)
        return;
    pass_ms = clock_coarse_ms();
    if (pass_ms < next_ms)
        return;
    metrics_write();
    long long interval_ms = static_cast<long long>(stats_interval) * 1000;
    next_ms = next_ms == 0 ? pass_ms + interval_ms : next_ms + interval_ms;
    if (next_ms <= pass_ms)
        next_ms = pass_ms + interval_ms;
}

int metrics_wait_ms(int ms)
{
    if (stats_file == nullptr)
        return ms;
    long long left = next_ms - pass_ms;
    if (left <= 0)
        return 0;
    return left < ms ? static_cast<int>(left) : ms;
}

// --- Through a hand-over ---------------------------------------------------

void metrics_write_final()
{
    final_file = true;
    metrics_write();
    final_file = false;
}

void metrics_hold(bool hold)
{
    held = hold;
}

std::vector<std::pair<std::string, unsigned long long>> metrics_counters()
{
    std::vector<std::pair<std::string, unsigned long long>> counters;
    std::string text = metrics_text();
    for (size_t at = 0; at < text.size();) {
        size_t end = text.find('\n', at);
        std::string_view line(text.data() + at, (end == std::string::npos ? text.size() : end) - at);
        at = end == std::string::npos ? text.size() : end + 1;
        size_t name_end = line.find_first_of("{ ");
        size_t space = line.rfind(' ');
        if (line.empty() || line[0] == '#' || name_end == std::string_view::npos || space == std::string_view::npos ||
            !line.substr(0, name_end).ends_with("_total"))
            continue;
        std::string key(line.substr(0, space));
        if (key.find('{') == std::string::npos)
            key += "{}";
        counters.emplace_back(key, strtoull(std::string(line.substr(space + 1)).c_str(), nullptr, 10));
    }
    return counters;
}

void metrics_carry(const std::string &series, unsigned long long value)
{
    carried[series] = value;
}

long long metrics_start_time()
{
    return start_time;
}

void metrics_keep_start_time(long long seconds)
{
    start_time = seconds;
}

void metrics_count_handover(bool done)
{
    (done ? handovers_done : handovers_failed)++;
}
