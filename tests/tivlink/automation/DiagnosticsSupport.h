#pragma once

// Helpers for the diagnostics tests: a scratch directory that is also the working directory
// and the system directory, log files read back line by line, and child processes.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

extern char** environ;

namespace diagtest {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// Sets or removes an environment variable for a scope.
class ScopedEnv {
public:
    ScopedEnv(const char* name, std::optional<std::string> value) : name_(name) {
        if (const char* old = std::getenv(name)) old_ = old;
        if (value)
            ::setenv(name, value->c_str(), 1);
        else
            ::unsetenv(name);
    }
    ~ScopedEnv() {
        if (old_)
            ::setenv(name_.c_str(), old_->c_str(), 1);
        else
            ::unsetenv(name_.c_str());
    }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    std::string name_;
    std::optional<std::string> old_;
};

// A fresh directory that is the working directory and $TIV_SYSTEM_DIR while it lives.
class ScratchDir {
public:
    ScratchDir() : old_(fs::current_path()) {
        std::string pattern = (fs::temp_directory_path() / "tivdiag-XXXXXX").string();
        if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
        path_ = pattern;
        fs::current_path(path_);
        env_.emplace("TIV_SYSTEM_DIR", path_.string());
    }
    ~ScratchDir() {
        env_.reset();
        std::error_code ec;
        fs::current_path(old_, ec);
        fs::remove_all(path_, ec);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    const fs::path& Path() const { return path_; }
    void WriteSettings(const std::string& text) const {
        std::ofstream(path_ / "Tivlink.ini", std::ios::binary) << text;
    }
    std::vector<std::string> Files() const {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(path_))
            names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

private:
    fs::path old_;
    fs::path path_;
    std::optional<ScopedEnv> env_;
};

inline std::string ReadAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// A log line as written: the time stamp, ",", the message.
struct LogLine {
    std::string stamp;
    std::string text;
};

inline const std::regex& StampPattern() {
    static const std::regex pattern(R"(^(\d{4}-\d{2}-\d{2},\d{2}:\d{2}:\d{2},\d{3}),(.*)$)");
    return pattern;
}

// The file's lines; fails the test for a line without CR LF or without a valid stamp.
inline std::vector<LogLine> ReadLog(const fs::path& path) {
    const auto content = ReadAll(path);
    std::vector<LogLine> lines;
    std::size_t at = 0;
    while (at < content.size()) {
        const auto end = content.find("\r\n", at);
        if (end == std::string::npos) {
            ADD_FAILURE() << "last line without CR LF: " << content.substr(at);
            break;
        }
        const auto raw = content.substr(at, end - at);
        at = end + 2;
        EXPECT_EQ(raw.find('\n'), std::string::npos) << "bare LF in: " << raw;
        std::smatch m;
        if (!std::regex_match(raw, m, StampPattern())) {
            ADD_FAILURE() << "line without time stamp: " << raw;
            continue;
        }
        lines.push_back({m[1], m[2]});
    }
    return lines;
}

inline std::vector<std::string> LogTexts(const fs::path& path) {
    std::vector<std::string> texts;
    if (!fs::exists(path)) return texts;
    for (auto& l : ReadLog(path)) texts.push_back(std::move(l.text));
    return texts;
}

inline std::size_t Count(const std::vector<std::string>& lines, const std::string& line) {
    return static_cast<std::size_t>(std::count(lines.begin(), lines.end(), line));
}

// ---- child processes -------------------------------------------------------------------

struct RunResult {
    int code = -1;  // exit code, or -1 when killed or not started
    std::string out;
    std::string err;
};

// Runs a program with its output captured, in `cwd`, with `env` changes (nullopt removes a
// variable). A child still running after `timeout` is killed and the run fails.
inline RunResult RunProgram(const std::vector<std::string>& args, const fs::path& cwd,
                            const std::map<std::string, std::optional<std::string>>& env = {},
                            std::chrono::milliseconds timeout = 60s) {
    RunResult result;
    int outPipe[2];
    int errPipe[2];
    if (::pipe2(outPipe, O_CLOEXEC) != 0) return result;
    if (::pipe2(errPipe, O_CLOEXEC) != 0) {
        ::close(outPipe[0]);
        ::close(outPipe[1]);
        return result;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, outPipe[1], 1);
    posix_spawn_file_actions_adddup2(&actions, errPipe[1], 2);
    posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());

    std::vector<std::string> envStrings;
    for (char** e = environ; *e; ++e) {
        const std::string entry(*e);
        const auto name = entry.substr(0, entry.find('='));
        if (!env.count(name)) envStrings.push_back(entry);
    }
    for (const auto& [name, value] : env)
        if (value) envStrings.push_back(name + "=" + *value);
    std::vector<char*> envp;
    for (auto& e : envStrings) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::vector<char*> argv;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);

    pid_t pid = -1;
    const int spawned = ::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(outPipe[1]);
    ::close(errPipe[1]);
    if (spawned != 0) {
        ::close(outPipe[0]);
        ::close(errPipe[0]);
        ADD_FAILURE() << "cannot start " << args[0];
        return result;
    }

    const auto deadline = std::chrono::steady_clock::now() + timeout;
    pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
    std::string* sinks[2] = {&result.out, &result.err};
    int open = 2;
    bool timedOut = false;
    while (open > 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            timedOut = true;
            break;
        }
        if (::poll(fds, 2, static_cast<int>(left.count())) < 0 && errno != EINTR) break;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            char buf[4096];
            const auto n = ::read(fds[i].fd, buf, sizeof buf);
            if (n > 0) {
                sinks[i]->append(buf, static_cast<std::size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                ::close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            }
        }
    }
    for (auto& f : fds)
        if (f.fd >= 0) ::close(f.fd);
    if (timedOut) ::kill(pid, SIGKILL);
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (timedOut) {
        ADD_FAILURE() << args[0] << " did not end within the time-out";
        return result;
    }
    result.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

}  // namespace diagtest
