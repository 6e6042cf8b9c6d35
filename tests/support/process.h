// Helpers for tests that run the real binaries as processes: temporary
// directories, free ports, child processes with captured output, waiting.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#ifndef WKP_BUILD_DIR
#define WKP_BUILD_DIR "build"
#endif
#ifndef WKP_SOURCE_DIR
#define WKP_SOURCE_DIR "."
#endif

namespace wkp_test {

// Path of a binary in the build directory: bin("wickerpost").
inline std::string bin(const std::string &name) { return std::string(WKP_BUILD_DIR) + "/" + name; }
inline std::string source(const std::string &rel) { return std::string(WKP_SOURCE_DIR) + "/" + rel; }

// A fresh directory under /tmp, removed with its contents on destruction.
struct TempDir {
    std::string path;
    TempDir()
    {
        char tmpl[] = "/tmp/wkp-test-XXXXXX";
        char *p = mkdtemp(tmpl);
        path = p ? p : "";
    }
    ~TempDir()
    {
        if (!path.empty())
            (void)!system(("rm -rf '" + path + "'").c_str());
    }
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    std::string file(const std::string &name) const { return path + "/" + name; }
};

inline void write_file(const std::string &path, const std::string &text)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

// Line i of a numbered stream: "%07d " and filler up to `size` bytes, the
// last one a newline.
inline std::string numbered_line(int i, size_t size)
{
    char head[16];
    snprintf(head, sizeof head, "%07d ", i);
    std::string line = head;
    line.resize(size - 1, 'x');
    return line + "\n";
}

// Names in a directory, "." and ".." left out.
inline std::set<std::string> entries(const std::string &dir)
{
    std::set<std::string> names;
    if (DIR *d = opendir(dir.c_str())) {
        while (dirent *e = readdir(d)) {
            std::string name = e->d_name;
            if (name != "." && name != "..")
                names.insert(name);
        }
        closedir(d);
    }
    return names;
}

inline std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

inline bool file_exists(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

// Polls pred every 10 ms until it holds or the timeout passes. The default
// bounds in these helpers only stop a test that hangs: they are far above
// what any condition takes on a loaded machine, and a wait that is met
// early costs nothing.
inline bool wait_until(const std::function<bool()> &pred, int timeout_ms = 60000)
{
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (std::chrono::steady_clock::now() < end) {
        if (pred())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return pred();
}

// Whether process pid has ended: gone, or a zombie nobody has reaped yet.
inline bool ended(pid_t pid)
{
    std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
    size_t name_end = stat.rfind(')');
    return name_end == std::string::npos || stat.compare(name_end + 2, 1, "Z") == 0;
}

// Whether process pid (its main thread) is blocked in system call `nr`
// (SYS_epoll_pwait, say).
inline bool blocked_in(pid_t pid, long nr)
{
    std::istringstream in(read_file("/proc/" + std::to_string(pid) + "/syscall"));
    long current = -1;
    return (in >> current) && current == nr;
}

// Descriptor numbers of process pid whose link starts with `prefix`
// ("socket:", "anon_inode:[eventpoll]").
inline std::vector<int> descriptors(pid_t pid, const std::string &prefix)
{
    std::vector<int> found;
    std::string dir = "/proc/" + std::to_string(pid) + "/fd";
    for (const std::string &name : entries(dir)) {
        char target[256] = {};
        ssize_t n = readlink((dir + "/" + name).c_str(), target, sizeof target - 1);
        if (n > 0 && std::string(target, (size_t)n).rfind(prefix, 0) == 0)
            found.push_back(std::stoi(name));
    }
    return found;
}

// Bytes the sockets of process pid have received and it has not read yet
// (FIONREAD on a copy of each descriptor, taken with pidfd_getfd).
inline size_t unread_socket_bytes(pid_t pid)
{
    size_t total = 0;
    int pidfd = (int)syscall(SYS_pidfd_open, pid, 0);
    if (pidfd < 0)
        return 0;
    for (int fd : descriptors(pid, "socket:")) {
        int copy = (int)syscall(SYS_pidfd_getfd, pidfd, fd, 0);
        int n = 0;
        if (copy >= 0 && ioctl(copy, FIONREAD, &n) == 0 && n > 0)
            total += (size_t)n;
        if (copy >= 0)
            close(copy);
    }
    close(pidfd);
    return total;
}

// Whether an epoll set of process pid waits for a descriptor to take
// output (EPOLLOUT, 0x4, in /proc/PID/fdinfo): the process holds bytes it
// has yet to write there.
inline bool waits_to_write(pid_t pid)
{
    for (int epfd : descriptors(pid, "anon_inode:[eventpoll]")) {
        std::istringstream in(read_file("/proc/" + std::to_string(pid) + "/fdinfo/" + std::to_string(epfd)));
        for (std::string line; std::getline(in, line);) {
            unsigned events = 0;
            int target = -1;
            if (sscanf(line.c_str(), "tfd: %d events: %x", &target, &events) == 2 && (events & 0x4))
                return true;
        }
    }
    return false;
}

// Processes whose parent is pid (any of its threads).
inline std::set<pid_t> child_processes(pid_t pid)
{
    std::set<pid_t> found;
    std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    for (const std::string &task : entries(tasks)) {
        std::istringstream in(read_file(tasks + "/" + task + "/children"));
        for (pid_t child; in >> child;)
            found.insert(child);
    }
    return found;
}

// Whether every child of this process not in `before` has ended.
inline bool new_children_ended(const std::set<pid_t> &before)
{
    for (pid_t child : child_processes(getpid()))
        if (!before.count(child) && !ended(child))
            return false;
    return true;
}

// For as long as it lives, this process adopts what its children leave
// behind (PR_SET_CHILD_SUBREAPER), so a test can wait for the commands a
// daemon started after the daemon itself is gone; the orphans are reaped
// at the end.
struct Subreaper {
    std::set<pid_t> before = child_processes(getpid());
    Subreaper() { prctl(PR_SET_CHILD_SUBREAPER, 1); }
    ~Subreaper()
    {
        prctl(PR_SET_CHILD_SUBREAPER, 0);
        for (pid_t child : child_processes(getpid()))
            if (!before.count(child) && ended(child))
                waitpid(child, nullptr, WNOHANG);
    }
    // Every process adopted or started since has ended.
    bool orphans_ended() const { return new_children_ended(before); }
};

// Standard output of a shell command, and its exit status in *status.
inline std::string command_output(const std::string &command, int *status)
{
    std::string out;
    FILE *p = popen(command.c_str(), "r");
    if (p == nullptr) {
        *status = -1;
        return out;
    }
    char buf[65536];
    for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;)
        out.append(buf, n);
    int rc = pclose(p);
    *status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    return out;
}

// A TCP port on 127.0.0.1 that is free now and whose Unix socket /tmp/PORT
// does not exist (a Spread daemon listens on both).
inline int free_port()
{
    // Ports from bind(0) are ephemeral (32768 and up here), so candidates are
    // drawn at random below 32768 and kept when they bind.
    static unsigned seed = (unsigned)getpid() * 2654435761u ^ (unsigned)time(nullptr);
    for (int attempt = 0; attempt < 200; attempt++) {
        int port = 20000 + (int)(rand_r(&seed) % 12768);
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = htons((uint16_t)port);
        bool ok = bind(fd, (sockaddr *)&addr, sizeof addr) == 0;
        close(fd);
        if (ok && !file_exists("/tmp/" + std::to_string(port)))
            return port;
    }
    return -1;
}

// A child process with standard output and standard error sent to files
// (read them with out() and err()), standard input from /dev/null unless
// stdin_pipe is asked for. Killed (SIGKILL) on destruction if still running.
struct Process {
    pid_t pid = -1;
    int status = -1;     // wait status once reaped
    int stdin_fd = -1;   // write end when started with stdin_pipe
    std::string out_path, err_path;

    Process() = default;
    Process(const Process &) = delete;
    Process &operator=(const Process &) = delete;
    ~Process()
    {
        if (stdin_fd >= 0)
            close(stdin_fd);
        if (pid > 0 && status == -1) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
        }
        if (!out_path.empty())
            unlink(out_path.c_str());
        if (!err_path.empty())
            unlink(err_path.c_str());
    }

    bool start(const std::vector<std::string> &argv, bool stdin_pipe = false,
               const std::vector<std::string> &env = {})
    {
        char out_t[] = "/tmp/wkp-out-XXXXXX", err_t[] = "/tmp/wkp-err-XXXXXX";
        int out_fd = mkstemp(out_t), err_fd = mkstemp(err_t);
        out_path = out_t;
        err_path = err_t;
        int in_pipe[2] = {-1, -1};
        // Close-on-exec, so that the write end stays out of processes
        // started later: the child sees end of input once close_stdin().
        if (stdin_pipe && pipe2(in_pipe, O_CLOEXEC) != 0)
            return false;
        std::vector<char *> args;
        for (auto &a : argv)
            args.push_back(const_cast<char *>(a.c_str()));
        args.push_back(nullptr);
        pid = fork();
        if (pid == 0) {
            if (stdin_pipe) {
                dup2(in_pipe[0], 0);
                close(in_pipe[0]);
                close(in_pipe[1]);
            } else {
                int null_fd = open("/dev/null", O_RDONLY);
                dup2(null_fd, 0);
                close(null_fd);
            }
            dup2(out_fd, 1);
            dup2(err_fd, 2);
            close(out_fd);
            close(err_fd);
            for (auto &e : env)
                putenv(const_cast<char *>(e.c_str()));
            execv(args[0], args.data());
            _exit(127);
        }
        close(out_fd);
        close(err_fd);
        if (stdin_pipe) {
            close(in_pipe[0]);
            stdin_fd = in_pipe[1];
        }
        return pid > 0;
    }

    // Writes to the child's standard input (stdin_pipe only). A child that
    // has already ended (a refused command line, say) makes the write fail
    // with EPIPE instead of killing the test with SIGPIPE.
    void send(const std::string &text)
    {
        ::signal(SIGPIPE, SIG_IGN);
        (void)!::write(stdin_fd, text.data(), text.size());
    }
    void close_stdin()
    {
        if (stdin_fd >= 0)
            close(stdin_fd);
        stdin_fd = -1;
    }

    // Waits for the process to end; false on timeout (it keeps running).
    bool wait(int timeout_ms = 60000)
    {
        if (status != -1)
            return true;
        return wait_until([&] { return waitpid(pid, &status, WNOHANG) == pid; }, timeout_ms);
    }
    bool running() { return status == -1 && waitpid(pid, &status, WNOHANG) == 0; }
    void signal(int sig) { kill(pid, sig); }
    // Exit status, or -1 when it did not exit normally.
    int exit_code() const { return (status != -1 && WIFEXITED(status)) ? WEXITSTATUS(status) : -1; }
    std::string out() const { return read_file(out_path); }
    std::string err() const { return read_file(err_path); }
};

// Runs a command to its end (60 s at most); returns the finished process.
inline void run(Process &p, const std::vector<std::string> &argv, int timeout_ms = 60000)
{
    p.start(argv);
    p.wait(timeout_ms);
}

}  // namespace wkp_test
