#pragma once

// Runs the project's programs from tests: stdin from /dev/null, stdout and stderr captured
// through pipes, every wait bounded by a time-out, the child killed if a test leaves it running.
// Include as "support/ChildProcess.h" (tiv_add_test puts tests/ on the include path).

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

extern char** environ;

namespace proctest {

using namespace std::chrono_literals;
using SteadyClock = std::chrono::steady_clock;

// Programs that use an adapter take its lock, a file in $TIV_LOCK_DIR shared by every process
// on the machine. Tests run side by side, each with the same simulated adapter names, so
// each test process (and what it starts) gets a lock directory of its own unless it chose one.
inline const bool kOwnLockDirectory = [] {
    if (const char* dir = std::getenv("TIV_LOCK_DIR"); dir && *dir) return false;
    char pattern[] = "/tmp/tiv-test-locks-XXXXXX";
    if (!::mkdtemp(pattern)) return false;
    static const std::filesystem::path made = pattern;
    ::setenv("TIV_LOCK_DIR", pattern, 1);
    std::atexit([] {
        std::error_code ec;
        std::filesystem::remove_all(made, ec);
    });
    return true;
}();

// Changes to the test's own environment for a child: a value sets the variable, nothing
// removes it; every other variable is passed on as it is.
using Environment = std::map<std::string, std::optional<std::string>>;

struct Options {
    Environment env{};
    std::filesystem::path cwd{};              // empty: the test's working directory
    std::chrono::milliseconds timeout = 20s;  // how long RunTool waits for the end
};

inline int MsLeft(SteadyClock::time_point deadline) {
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
            int status = 0;
            while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
            }
        }
        for (const int fd : {out_, err_})
            if (fd >= 0) ::close(fd);
    }

    // Starts args[0] (a path, not looked up in PATH) with the arguments that follow.
    bool Start(const std::vector<std::string>& args, const Options& options = {}) {
        if (pid_ > 0 || args.empty()) return false;
        int outPipe[2];
        int errPipe[2];
        if (::pipe2(outPipe, O_CLOEXEC) != 0) return false;
        if (::pipe2(errPipe, O_CLOEXEC) != 0) {
            ::close(outPipe[0]);
            ::close(outPipe[1]);
            return false;
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_adddup2(&actions, outPipe[1], 1);
        posix_spawn_file_actions_adddup2(&actions, errPipe[1], 2);
        if (!options.cwd.empty())
            posix_spawn_file_actions_addchdir_np(&actions, options.cwd.c_str());
        std::vector<char*> argv;
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        std::vector<std::string> env = Merged(options.env);
        std::vector<char*> envp;
        for (auto& e : env) envp.push_back(e.data());
        envp.push_back(nullptr);
        const int r = ::posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data());
        posix_spawn_file_actions_destroy(&actions);
        ::close(outPipe[1]);
        ::close(errPipe[1]);
        if (r != 0) {
            pid_ = -1;
            ::close(outPipe[0]);
            ::close(errPipe[0]);
            return false;
        }
        out_ = outPipe[0];
        err_ = errPipe[0];
        return true;
    }

    // Reads output until stdout holds `text`; false on time-out or end of output.
    bool WaitFor(const std::string& text, std::chrono::milliseconds timeout) {
        const auto deadline = SteadyClock::now() + timeout;
        while (out.find(text) == std::string::npos)
            if (!Pump(deadline)) return false;
        return true;
    }

    // Reads output until a stdout line equal to `line` arrives, looking only at lines after the
    // last one an earlier call matched; false on time-out or end of output.
    bool WaitForLine(const std::string& line, std::chrono::milliseconds timeout) {
        const auto deadline = SteadyClock::now() + timeout;
        for (;;) {
            for (std::size_t pos; (pos = out.find('\n', scanned_)) != std::string::npos;) {
                const bool match = out.compare(scanned_, pos - scanned_, line) == 0;
                scanned_ = pos + 1;
                if (match) return true;
            }
            if (!Pump(deadline)) return false;
        }
    }

    // False when there is no running child to signal.
    bool Signal(int sig) { return pid_ > 0 && !exitCode_ && ::kill(pid_, sig) == 0; }

    // Reads all output and reaps the child: its exit code (-signal when a signal ended it),
    // or nothing on time-out or when it never started.
    std::optional<int> Wait(std::chrono::milliseconds timeout) {
        if (exitCode_ || pid_ <= 0) return exitCode_;
        const auto deadline = SteadyClock::now() + timeout;
        // End of both pipes means the child is gone or about to be.
        while (Pump(deadline)) {
        }
        if (out_ >= 0 || err_ >= 0) return std::nullopt;
        const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0));
        if (pidfd >= 0) {
            pollfd p{pidfd, POLLIN, 0};
            int r;
            while ((r = ::poll(&p, 1, MsLeft(deadline))) < 0 && errno == EINTR) {
            }
            ::close(pidfd);
            if (r <= 0) return std::nullopt;
        }
        int status = 0;
        pid_t reaped;
        while ((reaped = ::waitpid(pid_, &status, 0)) < 0 && errno == EINTR) {
        }
        if (reaped != pid_) return std::nullopt;
        exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
        return exitCode_;
    }

    std::string out;
    std::string err;

private:
    // The test's environment with `changes` applied, as NAME=VALUE strings.
    static std::vector<std::string> Merged(const Environment& changes) {
        std::vector<std::string> env;
        for (char** e = environ; *e; ++e) {
            const std::string entry(*e);
            if (!changes.count(entry.substr(0, entry.find('=')))) env.push_back(entry);
        }
        for (const auto& [name, value] : changes)
            if (value) env.push_back(name + "=" + *value);
        return env;
    }

    // Waits for output until the deadline and moves what came into `out` and `err`; false
    // once both pipes are closed or the deadline has passed.
    bool Pump(SteadyClock::time_point deadline) {
        if (out_ < 0 && err_ < 0) return false;
        const int left = MsLeft(deadline);
        if (left <= 0) return false;
        pollfd fds[2] = {{out_, POLLIN, 0}, {err_, POLLIN, 0}};
        const int r = ::poll(fds, 2, left);
        if (r < 0 && errno != EINTR) return false;
        if (r <= 0) return true;  // the next round sees the deadline
        Drain(out_, fds[0].revents, out);
        Drain(err_, fds[1].revents, err);
        return true;
    }

    static void Drain(int& fd, short revents, std::string& into) {
        if (fd < 0 || !(revents & (POLLIN | POLLHUP | POLLERR))) return;
        char buffer[4096];
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n > 0) {
            into.append(buffer, static_cast<std::size_t>(n));
        } else if (n == 0 || errno != EINTR) {
            ::close(fd);
            fd = -1;
        }
    }

    pid_t pid_ = -1;
    int out_ = -1;
    int err_ = -1;
    std::size_t scanned_ = 0;
    std::optional<int> exitCode_;
};

struct Result {
    bool started = false;
    // The exit code (-signal when a signal ended the program); nothing when it did not start
    // or did not end in time.
    std::optional<int> exitCode;
    std::string out;
    std::string err;

    // Ended by itself, with an exit code.
    bool Exited() const { return exitCode && *exitCode >= 0; }
    // The exit code, or -1 when the program did not start, did not end in time or was killed.
    int Code() const { return Exited() ? *exitCode : -1; }
};

// Runs a program to its end, at most options.timeout; one still running then is killed.
inline Result RunTool(const std::vector<std::string>& args, const Options& options = {}) {
    Child child;
    Result result;
    result.started = child.Start(args, options);
    if (!result.started) return result;
    result.exitCode = child.Wait(options.timeout);
    result.out = std::move(child.out);
    result.err = std::move(child.err);
    return result;
}

// The build tree the tests run in: as tiv_add_test says, else two levels above this
// test program (BUILD/tests/simulator/...).
inline std::string BinaryDir() {
    if (const char* dir = std::getenv("TIV_TEST_BINARY_DIR"); dir && *dir) return dir;
    std::error_code ec;
    const auto self = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::string() : self.parent_path().parent_path().parent_path().string();
}

}  // namespace proctest
