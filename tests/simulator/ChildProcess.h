#pragma once

// Runs the project's programs from tests: output captured through pipes, every wait bounded
// by a time-out, the child killed if a test leaves it running.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

extern char** environ;

namespace proctest {

using namespace std::chrono_literals;
using SteadyClock = std::chrono::steady_clock;

inline int msLeft(SteadyClock::time_point deadline) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - SteadyClock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

class Child {
public:
    Child() = default;
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    ~Child() {
        if (pid_ > 0 && !exitCode_) {
            ::kill(pid_, SIGKILL);
            int status;
            ::waitpid(pid_, &status, 0);
        }
        for (const int fd : {out_, err_})
            if (fd >= 0) ::close(fd);
    }

    bool start(const std::vector<std::string>& args) {
        int outPipe[2], errPipe[2];
        if (::pipe2(outPipe, O_CLOEXEC) != 0) return false;
        if (::pipe2(errPipe, O_CLOEXEC) != 0) return false;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_adddup2(&actions, outPipe[1], 1);
        posix_spawn_file_actions_adddup2(&actions, errPipe[1], 2);
        std::vector<char*> argv;
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        const int r = ::posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        ::close(outPipe[1]);
        ::close(errPipe[1]);
        out_ = outPipe[0];
        err_ = errPipe[0];
        if (r != 0) pid_ = -1;
        return r == 0;
    }

    // Reads output until a stdout line equal to `line` arrives; false on time-out or exit.
    bool waitForLine(const std::string& line, std::chrono::milliseconds timeout) {
        const auto deadline = SteadyClock::now() + timeout;
        for (;;) {
            for (std::size_t pos; (pos = out.find('\n', scanned_)) != std::string::npos;) {
                const bool match = out.compare(scanned_, pos - scanned_, line) == 0;
                scanned_ = pos + 1;
                if (match) return true;
            }
            if (!pump(deadline)) return false;
        }
    }

    bool signal(int sig) { return pid_ > 0 && ::kill(pid_, sig) == 0; }

    // The exit code once the child has ended (-signal when killed), or nothing on time-out.
    std::optional<int> wait(std::chrono::milliseconds timeout) {
        if (exitCode_) return exitCode_;
        const auto deadline = SteadyClock::now() + timeout;
        // End of both pipes means the child is gone or about to be.
        while (out_ >= 0 || err_ >= 0)
            if (!pump(deadline)) {
                if (SteadyClock::now() >= deadline) return std::nullopt;
            }
        const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0));
        if (pidfd >= 0) {
            pollfd p{pidfd, POLLIN, 0};
            const int r = ::poll(&p, 1, msLeft(deadline));
            ::close(pidfd);
            if (r <= 0) return std::nullopt;
        }
        int status = 0;
        if (::waitpid(pid_, &status, 0) != pid_) return std::nullopt;
        exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
        return exitCode_;
    }

    std::string out;
    std::string err;

private:
    // Moves whatever output is there into `out` and `err`; false when nothing more can come
    // before the deadline.
    bool pump(SteadyClock::time_point deadline) {
        pollfd fds[2] = {{out_, POLLIN, 0}, {err_, POLLIN, 0}};
        if (out_ < 0 && err_ < 0) return false;
        const int r = ::poll(fds, 2, msLeft(deadline));
        if (r <= 0) return false;
        bool progress = false;
        for (int i = 0; i < 2; ++i) {
            if (!fds[i].revents) continue;
            int& fd = i == 0 ? out_ : err_;
            char buffer[4096];
            const ssize_t n = ::read(fd, buffer, sizeof buffer);
            if (n > 0) {
                (i == 0 ? out : err).append(buffer, static_cast<std::size_t>(n));
            } else {
                ::close(fd);
                fd = -1;
            }
            progress = true;
        }
        return progress;
    }

    pid_t pid_ = -1;
    int out_ = -1;
    int err_ = -1;
    std::size_t scanned_ = 0;
    std::optional<int> exitCode_;
};

struct Result {
    std::optional<int> exitCode;  // nothing when the program did not end in time
    std::string out;
    std::string err;
};

// Runs a program to its end.
inline Result run(const std::vector<std::string>& args,
                  std::chrono::milliseconds timeout = 20000ms) {
    Child c;
    Result r;
    if (!c.start(args)) return r;
    r.exitCode = c.wait(timeout);
    r.out = c.out;
    r.err = c.err;
    return r;
}

// The build tree the tests run in: as tiv_add_test says, else two levels above this
// test program (BUILD/tests/simulator/...).
inline std::string binaryDir() {
    if (const char* dir = std::getenv("TIV_TEST_BINARY_DIR"); dir && *dir) return dir;
    std::error_code ec;
    const auto self = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::string() : self.parent_path().parent_path().parent_path().string();
}

}  // namespace proctest
