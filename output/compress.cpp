// Compression of the files closed for good (see Compression in
// output/file_rules.h): one thread of the write path compresses one file at
// a time, from a bounded queue the loop fills and never waits for; what it
// did comes back through the done list the loop drains at its tick.
#include "output/writer_internal.h"

#include <fcntl.h>
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

bool compress_zstd(int in, int out, int level, unsigned long long *after)
{
    ZSTD_CCtx *cctx = ZSTD_createCCtx();
    if (cctx == nullptr)
        return false;
    ZSTD_CCtx_setParameter(cctx, ZSTD_c_compressionLevel, level > 0 ? level : ZSTD_CLEVEL_DEFAULT);
    ZSTD_CCtx_setParameter(cctx, ZSTD_c_checksumFlag, 1);
    std::vector<char> ibuf(chunk), obuf(ZSTD_CStreamOutSize());
    bool ok = true;
    for (bool last = false; ok && !last;) {
        ssize_t r = read_in(in, ibuf.data(), ibuf.size());
        if (r < 0) {
            ok = false;
            break;
        }
        last = r == 0;
        ZSTD_inBuffer input{ibuf.data(), static_cast<size_t>(r), 0};
        for (bool finished = false; ok && !finished;) {
            ZSTD_outBuffer output{obuf.data(), obuf.size(), 0};
            size_t left = ZSTD_compressStream2(cctx, &output, &input, last ? ZSTD_e_end : ZSTD_e_continue);
            if (ZSTD_isError(left) || !write_out(out, obuf.data(), output.pos)) {
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

bool compress_gzip(int in, int out, int level, unsigned long long *after)
{
    z_stream z;
    memset(&z, 0, sizeof z);
    if (deflateInit2(&z, level > 0 ? level : Z_DEFAULT_COMPRESSION, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        return false;
    std::vector<unsigned char> ibuf(chunk), obuf(chunk);
    bool ok = true;
    for (bool last = false; ok && !last;) {
        ssize_t r = read_in(in, ibuf.data(), ibuf.size());
        if (r < 0) {
            ok = false;
            break;
        }
        last = r == 0;
        z.next_in = ibuf.data();
        z.avail_in = static_cast<uInt>(r);
        do {
            z.next_out = obuf.data();
            z.avail_out = static_cast<uInt>(obuf.size());
            int status = deflate(&z, last ? Z_FINISH : Z_NO_FLUSH);
            size_t produced = obuf.size() - z.avail_out;
            if (status == Z_STREAM_ERROR || !write_out(out, obuf.data(), produced)) {
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

// Compresses the job's file: into an unnamed file of its directory
// (O_TMPFILE; a named "NAME.zst.tmp" where the file system has none),
// synced, then given the compressed name under the lock, and only then is
// the original removed. A crash at any point leaves the original, or the
// complete compressed file (and perhaps the original too, which the
// recovery at start-up removes). Runs on the thread, the lock not held.
void run_job(Job &job)
{
    std::unique_lock<std::mutex> hold(queue.lock);
    if (job.cancelled)
        return;
    std::string source = source_of(job);
    int in = open(source.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    hold.unlock();
    Done result{job.output, false, 0, 0};
    struct stat st;
    if (in < 0 || fstat(in, &st) != 0 || !S_ISREG(st.st_mode)) {
        if (in >= 0)
            close(in);
        // Gone already (removed, or compressed by an earlier run): nothing to do.
        return;
    }
    result.before = static_cast<unsigned long long>(st.st_size);
    std::string named_tmp;
    int out = open(directory_part(source).c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, st.st_mode & 0777);
    if (out < 0) {
        named_tmp = source + suffix_of(job.compress) + ".tmp";
        out = open(named_tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, st.st_mode & 0777);
    }
    bool ok = out >= 0;
    if (ok) {
        (void)fchown(out, st.st_uid, st.st_gid);
        (void)fchmod(out, st.st_mode & 0777);
        ok = job.compress == COMPRESS_GZIP ? compress_gzip(in, out, job.level, &result.after)
                                           : compress_zstd(in, out, job.level, &result.after);
        ok = ok && fsync(out) == 0;
    }
    close(in);
    hold.lock();
    if (ok && !job.cancelled) {
        // The names as they are now: a rotation may have moved the file on.
        source = source_of(job);
        std::string target = source + suffix_of(job.compress);
        if (named_tmp.empty()) {
            char link[64];
            snprintf(link, sizeof link, "/proc/self/fd/%d", out);
            (void)unlink(target.c_str());
            ok = linkat(AT_FDCWD, link, AT_FDCWD, target.c_str(), AT_SYMLINK_FOLLOW) == 0;
        } else {
            ok = rename(named_tmp.c_str(), target.c_str()) == 0;
            if (ok)
                named_tmp.clear();
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
    if (!job.cancelled)
        queue.done.push_back(result);
}

void compress_thread()
{
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
    if (queue.started_by != getpid()) {
        queue.started_by = getpid();
        std::thread(compress_thread).detach();
    }
    queue.waiting.push_back(std::move(job));
    queue.wake.notify_one();
    return true;
}

Job job_for(int output, const FileRules *rules)
{
    Job job{};
    job.output = output;
    job.compress = rules->compress;
    job.level = file_rule(rules, FILE_RULE_COMPRESS_LEVEL) ? rules->compress_level : 0;
    return job;
}

void count_not_queued(int output)
{
    if (Output *o = output_at(output))
        o->compress_failed++;
}

// Live names whose leftovers were looked at in this process.
std::vector<std::string> &recovered = *new std::vector<std::string>;

}  // namespace

void compress_rotated(int output, const FileRules *rules, const std::string &live, int keep)
{
    if (!file_rule(rules, FILE_RULE_COMPRESS))
        return;
    Job job = job_for(output, rules);
    job.live = live;
    job.index = 1;
    job.keep = keep;
    std::lock_guard<std::mutex> hold(queue.lock);
    if (!push(job))
        count_not_queued(output);
}

void compress_closed(int output, const FileRules *rules, const std::string &path)
{
    if (!file_rule(rules, FILE_RULE_COMPRESS))
        return;
    Job job = job_for(output, rules);
    job.path = path;
    std::lock_guard<std::mutex> hold(queue.lock);
    if (!push(job))
        count_not_queued(output);
}

void shift_rotated(const std::string &live, int keep, const std::function<bool()> &shift)
{
    std::lock_guard<std::mutex> hold(queue.lock);
    if (!shift())
        return;
    auto move_on = [&](Job &job) {
        if (job.index > 0 && job.live == live && ++job.index > keep)
            job.cancelled = true;
    };
    for (Job &job : queue.waiting)
        move_on(job);
    if (queue.running != nullptr)
        move_on(*queue.running);
}

void compress_recover(int output, const FileRules *rules, const std::string &live, int keep)
{
    if (!file_rule(rules, FILE_RULE_COMPRESS) || !file_rule(rules, FILE_RULE_MAX_SIZE))
        return;
    for (const std::string &known : recovered)
        if (known == live)
            return;
    recovered.push_back(live);
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
        if (!push(job, false))
            count_not_queued(output);
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
        done.swap(queue.done);
    }
    for (const Done &d : done) {
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
