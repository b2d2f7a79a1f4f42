#pragma once

// Helpers for the diagnostics tests: a scratch directory that is also the working directory
// and the system directory, log files read back line by line, and child processes.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "support/ChildProcess.h"
#include "support/TempDir.h"

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
        fs::current_path(dir_.path());
        env_.emplace("TIV_SYSTEM_DIR", dir_.path().string());
    }
    ~ScratchDir() {
        env_.reset();
        std::error_code ec;
        fs::current_path(old_, ec);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    const fs::path& Path() const { return dir_.path(); }
    void WriteSettings(const std::string& text) const {
        std::ofstream(dir_ / "Tivlink.ini", std::ios::binary) << text;
    }
    std::vector<std::string> Files() const {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(dir_.path()))
            names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

private:
    fs::path old_;
    testsupport::TempDir dir_{"tivdiag"};  // removed after ~ScratchDir has left it
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
                            const proctest::Environment& env = {},
                            std::chrono::milliseconds timeout = 60s) {
    const auto run = proctest::RunTool(args, {.env = env, .cwd = cwd, .timeout = timeout});
    if (!run.started)
        ADD_FAILURE() << "cannot start " << args[0];
    else if (!run.exitCode)
        ADD_FAILURE() << args[0] << " did not end within the time-out";
    return {run.Code(), run.out, run.err};
}

}  // namespace diagtest
