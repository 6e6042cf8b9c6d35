// Compression of the files closed for good (see Compression in
// output/file_rules.h): one thread of the write path compresses one file at
// a time, from a bounded queue the loop fills and never waits for; what it
// did comes back through the done list the loop drains at its tick.
#include "output/writer_internal.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>
#include <zstd.h>

#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>

#include "config/settings.h"

namespace writer {
namespace {

// Files waiting for the compressor at most; a file closed while the queue
// is full stays as it is, counted (compressions not done).
constexpr size_t compress_queue_max = 64;
constexpr size_t chunk = 128u << 10;

// One file to compress. A rotated file is named by its live name and its
// number, which the shifts of later rotations move on (under names_lock);
// any other (an ended period's) by its path.
struct Job {
    int output;
    int compress;         // COMPRESS_*
    int level;            // 0: the default
    std::string live;     // rotated files: the live name
    int index;            // rotated files: its number now; 0: `path` instead
    int keep;             // rotated files: numbers beyond are removed by the shifts
    std::string path;     // ended periods: the file
    bool cancelled;       // the file went (shifted past Keep) before it was done
};

struct Done {
    int output;
    bool ok;
    unsigned long long before, after;
    std::string path;    // failed: the file that stays as it is
    std::string reason;  // failed: why
};

struct CompressQueue {
    std::mutex lock;  // the queue and the file names of rotated files: the
                      // shifts and a compression's last step hold it
    std::condition_variable wake;
    std::deque<Job> waiting;
    Job *running = nullptr;  // the job being done, while the thread has one
    std::vector<Done> done;
    pid_t started_by = 0;
};
CompressQueue &queue = *new CompressQueue;

const char *suffix_of(int compress)
{
    return compress == COMPRESS_GZIP ? ".gz" : ".zst";
}

// Writes all of [data, data + n) to fd; false on an error.
bool write_out(int fd, const void *data, size_t n)
{
    const char *p = static_cast<const char *>(data);
    while (n > 0) {
        ssize_t w = write(fd, p, n);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            return false;
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

// Reads up to n bytes; -1 on an error.
ssize_t read_in(int fd, void *data, size_t n)
{
    for (;;) {
        ssize_t r = read(fd, data, n);
        if (r >= 0 || errno != EINTR)
            return r;
    }
}

// "read: ..." or "write: ..." with errno's text, for *why.
std::string io_error(const char *call)
{
    return std::string(call) + ": " + strerror(errno);
}

// The compressors: false with *why set when the data could not be read,
// compressed or written.
bool compress_zstd(int in, int out, int level, unsigned long long *after, std::string *why)
{
    ZSTD_CCtx *cctx = ZSTD_createCCtx();
    if (cctx == nullptr) {
        *why = "zstd: out of memory";
        return false;
    }
    ZSTD_CCtx_setParameter(cctx, ZSTD_c_compressionLevel, level > 0 ? level : ZSTD_CLEVEL_DEFAULT);
    ZSTD_CCtx_setParameter(cctx, ZSTD_c_checksumFlag, 1);
    std::vector<char> ibuf(chunk), obuf(ZSTD_CStreamOutSize());
    bool ok = true;
    for (bool last = false; ok && !last;) {
        ssize_t r = read_in(in, ibuf.data(), ibuf.size());
        if (r < 0) {
            *why = io_error("read");
            ok = false;
            break;
        }
        last = r == 0;
        ZSTD_inBuffer input{ibuf.data(), static_cast<size_t>(r), 0};
        for (bool finished = false; ok && !finished;) {
            ZSTD_outBuffer output{obuf.data(), obuf.size(), 0};
            size_t left = ZSTD_compressStream2(cctx, &output, &input, last ? ZSTD_e_end : ZSTD_e_continue);
            if (ZSTD_isError(left)) {
                *why = std::string("zstd: ") + ZSTD_getErrorName(left);
                ok = false;
                break;
            }
            if (!write_out(out, obuf.data(), output.pos)) {
                *why = io_error("write");
                ok = false;
                break;
            }
            *after += output.pos;
            finished = last ? left == 0 : input.pos == input.size;
        }
    }
    ZSTD_freeCCtx(cctx);
    return ok;
}

bool compress_gzip(int in, int out, int level, unsigned long long *after, std::string *why)
{
    z_stream z;
    memset(&z, 0, sizeof z);
    int status = deflateInit2(&z, level > 0 ? level : Z_DEFAULT_COMPRESSION, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY);
    if (status != Z_OK) {
        *why = std::string("zlib: ") + zError(status);
        return false;
    }
    std::vector<unsigned char> ibuf(chunk), obuf(chunk);
    bool ok = true;
    for (bool last = false; ok && !last;) {
        ssize_t r = read_in(in, ibuf.data(), ibuf.size());
        if (r < 0) {
            *why = io_error("read");
            ok = false;
            break;
        }
        last = r == 0;
        z.next_in = ibuf.data();
        z.avail_in = static_cast<uInt>(r);
        do {
            z.next_out = obuf.data();
            z.avail_out = static_cast<uInt>(obuf.size());
            status = deflate(&z, last ? Z_FINISH : Z_NO_FLUSH);
            size_t produced = obuf.size() - z.avail_out;
            if (status == Z_STREAM_ERROR) {
                *why = std::string("zlib: ") + zError(status);
                ok = false;
                break;
            }
            if (!write_out(out, obuf.data(), produced)) {
                *why = io_error("write");
                ok = false;
                break;
            }
            *after += produced;
        } while (z.avail_out == 0);
    }
    deflateEnd(&z);
    return ok;
}

// The file a job names now (called under the lock).
std::string source_of(const Job &job)
{
    return job.index > 0 ? rotated_name(job.live, job.index) : job.path;
}

std::string directory_part(const std::string &path)
{
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

// Gives the complete compressed data in `out` (or in `named_tmp`, when
// not empty) the name `target` (the lock held). A rotated file's number is
// the daemon's own, so whatever holds the name is replaced; an ended
// period's name is never replaced, as the name of a pattern that comes
// round again (a weekday, an hour) holds an earlier period. False with
// errno set.
bool give_name(const Job &job, int out, const std::string &named_tmp, const std::string &target)
{
    if (job.index > 0 && !named_tmp.empty())
        return rename(named_tmp.c_str(), target.c_str()) == 0;
    if (job.index > 0)
        (void)unlink(target.c_str());
    if (!named_tmp.empty())
        return link(named_tmp.c_str(), target.c_str()) == 0;
    char link_name[64];
    snprintf(link_name, sizeof link_name, "/proc/self/fd/%d", out);
    return linkat(AT_FDCWD, link_name, AT_FDCWD, target.c_str(), AT_SYMLINK_FOLLOW) == 0;
}

// Compresses the job's file: into an unnamed file of its directory
// (O_TMPFILE; a named "NAME.zst.tmp" where the file system has none),
// synced, then given the compressed name under the lock, and only then is
// the original removed. A crash at any point leaves the original, or the
// complete compressed file (and perhaps the original too, which the
// recovery at start-up removes). A failure leaves the original as it is
// and is reported with its reason. Runs on the thread, the lock not held.
void run_job(Job &job)
{
    std::unique_lock<std::mutex> hold(queue.lock);
    if (job.cancelled)
        return;
    std::string source = source_of(job);
    int in = open(source.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    int open_error = errno;
    hold.unlock();
    Done result{job.output, false, 0, 0, source, {}};
    struct stat st;
    if (in < 0 || fstat(in, &st) != 0 || !S_ISREG(st.st_mode)) {
        if (in >= 0)
            close(in);
        // Gone already (removed, or compressed by an earlier run or by
        // the daemon that handed over): nothing to do. Anything else
        // (a symlink in its place, say) stays, said.
        if (in >= 0 || open_error == ENOENT)
            return;
        result.reason = strerror(open_error);
        hold.lock();
        queue.done.push_back(result);
        return;
    }
    // An ended period's file that some daemon still has open is locked by
    // it: a daemon handing over writes on until it sees the period end, and
    // compresses the file then. The lock is only tried, never held: a
    // writer that opens the name must not find it taken. (A file closed by
    // this daemon was unlocked at its close, whatever duplicate of its
    // descriptor the sync thread holds.)
    if (job.index == 0 && !skip_locking) {
        if (flock(in, LOCK_EX | LOCK_NB) != 0) {
            close(in);
            return;
        }
        (void)flock(in, LOCK_UN);
    }
    result.before = static_cast<unsigned long long>(st.st_size);
    std::string named_tmp;
    int out = open(directory_part(source).c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, st.st_mode & 0777);
    if (out < 0) {
        named_tmp = source + suffix_of(job.compress) + ".tmp";
        out = open(named_tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, st.st_mode & 0777);
        if (out < 0) {
            result.reason = named_tmp + ": " + strerror(errno);
            named_tmp.clear();  // not ours
        }
    }
    bool ok = out >= 0;
    if (ok) {
        (void)fchown(out, st.st_uid, st.st_gid);
        (void)fchmod(out, st.st_mode & 0777);
        ok = job.compress == COMPRESS_GZIP ? compress_gzip(in, out, job.level, &result.after, &result.reason)
                                           : compress_zstd(in, out, job.level, &result.after, &result.reason);
        if (ok && fsync(out) != 0) {
            result.reason = io_error("fsync");
            ok = false;
        }
    }
    close(in);
    bool elsewhere = false;  // compressed meanwhile by another daemon
    hold.lock();
    if (ok && !job.cancelled) {
        // The names as they are now: a rotation may have moved the file on.
        source = source_of(job);
        std::string target = source + suffix_of(job.compress);
        ok = give_name(job, out, named_tmp, target);
        if (!ok) {
            int error = errno;
            struct stat now;
            elsewhere = error == EEXIST &&
                        (lstat(source.c_str(), &now) != 0 || now.st_dev != st.st_dev || now.st_ino != st.st_ino);
            result.reason = target + ": " + strerror(error);
        }
        if (ok)
            (void)unlink(source.c_str());
    }
    hold.unlock();
    if (!named_tmp.empty())
        (void)unlink(named_tmp.c_str());
    if (out >= 0)
        close(out);
    if (ok) {
        int dir = open(directory_part(source).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (dir >= 0) {
            (void)fsync(dir);
            close(dir);
        }
    }
    result.ok = ok || job.cancelled;
    hold.lock();
    if (!job.cancelled && !elsewhere)
        queue.done.push_back(result);
}

void compress_thread()
{
    // Named, so that its CPU can be told from the loop's (bench/).
    pthread_setname_np(pthread_self(), "wkp-compress");
    std::unique_lock<std::mutex> hold(queue.lock);
    for (;;) {
        queue.wake.wait(hold, [] { return !queue.waiting.empty(); });
        Job job = queue.waiting.front();
        queue.waiting.pop_front();
        queue.running = &job;
        hold.unlock();
        run_job(job);
        hold.lock();
        queue.running = nullptr;
    }
}

// Queues `job` (the lock held); false when the queue is full. The files
// a stopped run left are queued whatever the bound (there are at most
// Keep of them): refused, they would stay uncompressed for good.
bool push(Job job, bool bounded = true)
{
    if (bounded && queue.waiting.size() >= compress_queue_max)
        return false;
    queue.waiting.push_back(std::move(job));
    queue.wake.notify_one();
    return true;
}

// Starts the thread in this process once there is work (the lock held).
// Only the loop starts it: files queued at start-up, before the process
// detaches, are done by the detached daemon, and no thread (nor its hold
// on the lock) is ever copied by a fork.
void start_thread()
{
    if (queue.started_by == getpid() || queue.waiting.empty())
        return;
    queue.started_by = getpid();
    std::thread(compress_thread).detach();
}

Job job_for(int output, const FileRules *rules)
{
    Job job{};
    job.output = output;
    job.compress = rules->compress;
    job.level = file_rule(rules, FILE_RULE_COMPRESS_LEVEL) ? rules->compress_level : 0;
    return job;
}

// A file closed while the queue is full stays as it is: counted and said
// (the lock not held).
void not_queued(int output, const std::string &path)
{
    if (Output *o = output_at(output))
        o->compress_failed++;
    fprintf(stderr, "Cannot compress %s: %zu files wait already\n", path.c_str(), compress_queue_max);
}

// Live names and patterns whose leftovers were looked at in this process.
std::vector<std::string> &recovered = *new std::vector<std::string>;


// Queues the files a stopped run left, whatever the queue's bound.
void queue_left(int output, const FileRules *rules, const std::vector<std::string> &files)
{
    std::lock_guard<std::mutex> hold(queue.lock);
    for (const std::string &path : files) {
        Job job = job_for(output, rules);
        job.path = path;
        push(job, false);
    }
}

bool first_look(const std::string &key)
{
    for (const std::string &known : recovered)
        if (known == key)
            return false;
    recovered.push_back(key);
    return true;
}
}  // namespace

void compress_rotated(int output, const FileRules *rules, const std::string &live, int keep)
{
    if (!file_rule(rules, FILE_RULE_COMPRESS))
        return;
    Job job = job_for(output, rules);
    job.live = live;
    job.index = 1;
    job.keep = keep;
    bool queued;
    {
        std::lock_guard<std::mutex> hold(queue.lock);
        queued = push(job);
    }
    if (!queued)
        not_queued(output, rotated_name(live, 1));
}

void compress_closed(int output, const FileRules *rules, const std::string &path)
{
    if (!file_rule(rules, FILE_RULE_COMPRESS))
        return;
    Job job = job_for(output, rules);
    job.path = path;
    bool queued;
    {
        std::lock_guard<std::mutex> hold(queue.lock);
        queued = push(job);
    }
    if (!queued)
        not_queued(output, path);
}

void shift_rotated(const std::string &live, int keep, const std::function<bool(int *, int *)> &shift)
{
    std::lock_guard<std::mutex> hold(queue.lock);
    int lowest = 1, highest = 0;
    (void)shift(&lowest, &highest);
    auto move_on = [&](Job &job) {
        if (job.index >= lowest && job.index <= highest && job.live == live && ++job.index > keep)
            job.cancelled = true;
    };
    for (Job &job : queue.waiting)
        move_on(job);
    if (queue.running != nullptr)
        move_on(*queue.running);
}

void compress_recover(int output, const FileRules *rules, const std::string &live, int keep)
{
    if (!file_rule(rules, FILE_RULE_COMPRESS) || !file_rule(rules, FILE_RULE_MAX_SIZE) || !first_look(live))
        return;
    std::lock_guard<std::mutex> hold(queue.lock);
    const char *suffix = suffix_of(rules->compress);
    (void)unlink((live + suffix + ".tmp").c_str());
    for (int i = 1; i <= keep; i++) {
        std::string plain = rotated_name(live, i);
        (void)unlink((plain + suffix + ".tmp").c_str());
        struct stat st;
        if (lstat(plain.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
            continue;
        if (lstat((plain + suffix).c_str(), &st) == 0) {
            // Compressed and synced before it was named: the original stayed
            // only because the stop came before its removal.
            (void)unlink(plain.c_str());
            continue;
        }
        Job job = job_for(output, rules);
        job.live = live;
        job.index = i;
        job.keep = keep;
        push(job, false);
    }
}

void compress_recover_periods(int output, const FileRules *rules, const char *pattern, const char *current)
{
    if (!file_rule(rules, FILE_RULE_COMPRESS) || current == nullptr || !first_look(std::string("\n") + pattern))
        return;
    queue_left(output, rules, ended_period_files(pattern, current, suffix_of(rules->compress)));
}

void compress_recover_host_periods(int output, const FileRules *rules, const char *vhostdir, const char *pattern,
                                   const char *period)
{
    std::string key = std::string("\n") + vhostdir + "/*/" + pattern;
    if (!file_rule(rules, FILE_RULE_COMPRESS) || period == nullptr || !first_look(key))
        return;
    for (const std::string &host : directories_in(vhostdir)) {
        std::string dir = std::string(vhostdir) + "/" + host;
        queue_left(output, rules, ended_period_files(dir + "/" + pattern, dir + "/" + period, suffix_of(rules->compress)));
    }
}

size_t compress_waiting()
{
    std::lock_guard<std::mutex> hold(queue.lock);
    return queue.waiting.size() + (queue.running != nullptr ? 1 : 0);
}

void compress_results()
{
    std::vector<Done> done;
    {
        std::lock_guard<std::mutex> hold(queue.lock);
        start_thread();
        done.swap(queue.done);
    }
    for (const Done &d : done) {
        if (!d.ok)
            fprintf(stderr, "Cannot compress %s: %s\n", d.path.c_str(), d.reason.c_str());
        Output *o = output_at(d.output);
        if (o == nullptr)
            continue;
        if (d.ok) {
            o->compressed++;
            o->compress_bytes_before += d.before;
            o->compress_bytes_after += d.after;
        } else {
            o->compress_failed++;
        }
    }
}

}  // namespace writer
