#include "daemon/journal.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>

namespace {

struct Beginning {
    std::string_view text;
    int priority;
};

// Every diagnostic the daemon prints, by the fixed text it begins with.
// tests/journal_test.cpp checks that each message in the sources finds its
// entry here: a new message needs one.
constexpr Beginning beginnings[] = {
    // What the daemon did (-v, -x, SIGUSR1, the reader's notices).
    {"running wickerpost as ", journal_info},
    {"Successfully connected to spread at ", journal_info},
    {"Joined ", journal_info},
    {"Setting FD: ", journal_info},
    {"LogFacility: ", journal_info},
    {"Setting logfacility to force local times in CLF", journal_info},
    {"Zeroing vhost hash for usage!", journal_info},
    {"Received SIGTERM, closing log files.", journal_info},
    {"Log files closed, exiting.", journal_info},
    {"spread daemon=", journal_info},
    {"output path=", journal_info},
    {"Handing over to new daemon ", journal_info},
    {"Handed over to new daemon ", journal_info},
    {"Took over from daemon ", journal_info},

    // Messages dropped, connections failed or lost.
    {"Dropped ", journal_warning},
    {"Lost the session with spread daemon ", journal_warning},
    {"Refused vhost name ", journal_warning},
    {"Vhost message without a vhost name dropped", journal_warning},
    {"Vhost path too long for ", journal_warning},
    {"Failed connection to spread at ", journal_warning},
    {"Error connecting to spread daemon", journal_warning},
    {"Terminal error closing spread mailbox ", journal_warning},
    {"Cannot read ahead on spread mailbox ", journal_warning},
    {"Failed match!", journal_warning},
    {"Hand-over in progress", journal_warning},
    {"Handing over: ", journal_warning},
    {"WICKERPOST_HANDOVER ignored: ", journal_warning},

    // The daemon or an output cannot work as configured.
    {"Error receiving from spread:", journal_error},
    {"Lost ", journal_error},
    {"Messages of spread daemon ", journal_error},
    {"SP_error: ", journal_error},
    {"Cannot open ", journal_error},
    {"Cannot lock ", journal_error},
    {"Cannot write pid file ", journal_error},
    {"Cannot write stats file ", journal_error},
    {"Cannot rename ", journal_error},
    {"Cannot listen on ", journal_error},
    {"Cannot serve metrics on ", journal_error},
    {"Out of memory", journal_error},
    {"An error occured while registering a ", journal_error},
    {"sigaction: ", journal_error},
    {"Internal error in re_search.", journal_error},
    {"Hand-over failed: ", journal_error},
    {"Taking over: ", journal_error},
    // The configuration reader: its own messages, the scanner's and the
    // regular expression library's.
    {"Couldn't open input file: ", journal_error},
    {"Parser error on or before line ", journal_error},
    {"Offending token: ", journal_error},
    {"Log block without ", journal_error},
    {"StatsFile must name a file", journal_error},
    {"StatsInterval must be ", journal_error},
    {"StatsListen must be ", journal_error},
    {"DatedFile ", journal_error},
    {"VhostFile ", journal_error},
    {"File is a DatedFile", journal_error},
    {"Empty or .. component ", journal_error},
    {"File name pattern expands ", journal_error},
    {"Already 10 regex's on group", journal_error},
    {"out of dynamic memory in ", journal_error},
    {"fatal flex scanner internal error", journal_error},
    {"input in flex scanner failed", journal_error},
    {"Invalid ", journal_error},
    {"Unmatched ", journal_error},
    {"Trailing backslash", journal_error},
    {"Premature end of regular expression", journal_error},
    {"Regular expression too big", journal_error},
    {"Memory exhausted", journal_error},
    // The file settings of Log blocks: their values, and what the write
    // path could not do with them.
    {"MaxSize ", journal_error},
    {"Keep ", journal_error},
    {"Compress must be ", journal_error},
    {"Compress without ", journal_error},
    {"CompressLevel ", journal_error},
    {"FileMode ", journal_error},
    {"DirMode ", journal_error},
    {"FileOwner ", journal_error},
    {"FileGroup ", journal_error},
    {"SyncInterval ", journal_error},
    {"IdleClose ", journal_error},
    {"Log blocks naming the same File ", journal_error},
    {"Cannot rotate ", journal_error},
    {"Cannot sync ", journal_error},
    {"Cannot compress ", journal_error},
    {"Cannot set owner or mode of ", journal_error},
};

// An entry that begins with an earlier one would never be used.
constexpr bool none_shadowed()
{
    for (size_t i = 0; i < std::size(beginnings); i++) {
        if (beginnings[i].text.empty())
            return false;
        for (size_t j = 0; j < i; j++)
            if (beginnings[i].text.starts_with(beginnings[j].text))
                return false;
    }
    return true;
}
static_assert(none_shadowed(), "every message beginning is reachable");

// The stream that replaces stderr: the line being assembled, and the
// priority of the last line written (for continuation lines).
struct JournalStream {
    int fd;
    std::string pending;
    int previous;
};

JournalStream journal_state{STDERR_FILENO, {}, journal_info};
FILE *journal_file = nullptr;

void write_all(int fd, const char *data, size_t size)
{
    while (size > 0) {
        ssize_t n = write(fd, data, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;  // nowhere else to say it
        data += n;
        size -= static_cast<size_t>(n);
    }
}

// Appends `line` with its priority prefix and a newline to `out`.
void append_line(JournalStream *s, std::string_view line, std::string *out)
{
    if (line.empty())
        return;
    int priority = journal_priority(line, s->previous, program_invocation_name);
    s->previous = priority;
    *out += '<';
    *out += static_cast<char>('0' + priority);
    *out += '>';
    out->append(line);
    *out += '\n';
}

ssize_t journal_write(void *cookie, const char *data, size_t size)
{
    auto *s = static_cast<JournalStream *>(cookie);
    int saved_errno = errno;
    s->pending.append(data, size);
    std::string out;
    size_t start = 0;
    for (size_t end; (end = s->pending.find('\n', start)) != std::string::npos; start = end + 1)
        append_line(s, std::string_view(s->pending).substr(start, end - start), &out);
    s->pending.erase(0, start);
    write_all(s->fd, out.data(), out.size());
    errno = saved_errno;  // perror and callers that print errno after us
    return static_cast<ssize_t>(size);
}

// At exit: a line still without its newline is written as a whole line.
void journal_flush_at_exit()
{
    if (journal_file == nullptr)
        return;
    fflush(journal_file);
    std::string out;
    append_line(&journal_state, journal_state.pending, &out);
    journal_state.pending.clear();
    write_all(journal_state.fd, out.data(), out.size());
}

}  // namespace

int journal_classify(std::string_view line)
{
    for (const Beginning &b : beginnings)
        if (line.starts_with(b.text))
            return b.priority;
    return -1;
}

int journal_priority(std::string_view line, int previous, std::string_view program)
{
    if (!line.empty() && (line[0] == '\t' || line[0] == ' '))
        return previous;
    if (!program.empty() && line.starts_with(program))
        return journal_error;
    int priority = journal_classify(line);
    return priority >= 0 ? priority : journal_warning;
}

bool journal_stream_is(int fd)
{
    const char *stream = getenv("JOURNAL_STREAM");
    if (stream == nullptr)
        return false;
    unsigned long long dev = 0, ino = 0;
    char rest = 0;
    if (sscanf(stream, "%llu:%llu%c", &dev, &ino, &rest) != 2)
        return false;
    struct stat st;
    if (fstat(fd, &st) != 0)
        return false;
    return static_cast<unsigned long long>(st.st_dev) == dev && static_cast<unsigned long long>(st.st_ino) == ino;
}

bool journal_stderr_install()
{
    if (!journal_stream_is(STDERR_FILENO))
        return false;
    cookie_io_functions_t io{};
    io.write = journal_write;
    FILE *file = fopencookie(&journal_state, "w", io);
    if (file == nullptr)
        return false;
    setvbuf(file, nullptr, _IOLBF, BUFSIZ);
    fflush(stderr);
    journal_file = file;
    stderr = file;
    atexit(journal_flush_at_exit);
    return true;
}
