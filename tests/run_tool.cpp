#include "run_tool.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <string_view>
#include <thread>

namespace {

std::string read_all(int fd)
{
    std::string s;
    char buf[4096];
    ::lseek(fd, 0, SEEK_SET);
    for (ssize_t n; (n = ::read(fd, buf, sizeof buf)) > 0;)
        s.append(buf, static_cast<std::size_t>(n));
    ::close(fd);
    return s;
}

// Writes as much of bytes as the pipe takes: all of it on a blocking pipe
// whose reader keeps reading, less when a non-blocking pipe is full
// (EAGAIN) or the reader has gone (EPIPE, the child exited without reading).
std::size_t write_input(int fd, std::string_view bytes)
{
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += static_cast<std::size_t>(n);
    }
    return done;
}

}  // namespace

child_run start_tool(const run_options& options)
{
    child_run child;
    child.out_fd = ::memfd_create("out", MFD_CLOEXEC);
    child.err_fd = ::memfd_create("err", MFD_CLOEXEC);
    if (child.out_fd < 0 || child.err_fd < 0)
        return child;
    int in[2] = {-1, -1};
    std::size_t written = 0;
    if (options.stdin_fd < 0) {
        // The input goes into the pipe before the child exists, so a child
        // that exits without reading (the usage error) can neither lose it
        // nor raise SIGPIPE here. Only input beyond the pipe's buffer is
        // written after the fork, where EPIPE just means the child stopped
        // reading.
        if (::signal(SIGPIPE, SIG_IGN) == SIG_ERR || ::pipe2(in, O_CLOEXEC) != 0)
            return child;
        if (::fcntl(in[1], F_SETFL, O_NONBLOCK) == 0)
            written = write_input(in[1], options.input);
        if (::fcntl(in[1], F_SETFL, 0) != 0) {
            ::close(in[0]);
            ::close(in[1]);
            return child;
        }
    }

    std::vector<std::string> args{ID3STAMP_BIN};
    args.insert(args.end(), options.args.begin(), options.args.end());
    std::vector<char*> argv;
    argv.reserve(args.size() + 1);
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    child.pid = ::fork();
    if (child.pid == 0) {
        ::signal(SIGPIPE, SIG_DFL);  // an ignored signal would stay ignored across exec
        ::dup2(options.stdin_fd >= 0 ? options.stdin_fd : in[0], 0);
        ::dup2(child.out_fd, 1);
        ::dup2(child.err_fd, 2);
        if (options.close_stderr)
            ::close(2);
        const rlimit limit{options.file_size_limit, options.file_size_limit};
        ::setrlimit(RLIMIT_FSIZE, &limit);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    if (in[0] >= 0) {
        ::close(in[0]);
        if (child.pid > 0)
            (void)write_input(in[1], std::string_view(options.input).substr(written));
        if (options.hold_input_open)
            child.input_fd = in[1];
        else
            ::close(in[1]);
    }
    return child;
}

bool still_running(const child_run& child, int wait_ms)
{
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(wait_ms);
    while (std::chrono::steady_clock::now() < until) {
        siginfo_t info{};
        if (::waitid(P_PID, static_cast<id_t>(child.pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
            info.si_pid == child.pid)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

run_result finish_tool(child_run& child, int timeout_ms)
{
    run_result result;
    if (child.pid < 0)
        return result;
    if (still_running(child, timeout_ms)) {
        result.timed_out = true;
        ::kill(child.pid, SIGKILL);
    }
    int status = 0;
    while (::waitpid(child.pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status))
        result.status = WEXITSTATUS(status);
    else if (WIFSIGNALED(status))
        result.signal = WTERMSIG(status);
    if (child.input_fd >= 0)
        ::close(child.input_fd);
    result.out = read_all(child.out_fd);
    result.err = read_all(child.err_fd);
    return result;
}

run_result run_tool(const run_options& options, int timeout_ms)
{
    child_run child = start_tool(options);
    return finish_tool(child, timeout_ms);
}
