#pragma once

// Temporary directories and registry files for the COM runtime tests.

#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <string>

#include "com/Registry.h"

namespace comtest {

namespace fs = std::filesystem;

class TempDir {
public:
    TempDir() {
        static std::atomic<int> serial{0};
        path_ = fs::temp_directory_path() /
                ("tiv-com-" + std::to_string(::getpid()) + "-" + std::to_string(serial++));
        fs::remove_all(path_);
        fs::create_directories(path_);
    }
    ~TempDir() {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const fs::path& path() const { return path_; }
    fs::path operator/(const std::string& name) const { return path_ / name; }

private:
    fs::path path_;
};

// Points the whole process (all modules) at a fresh registry file for its lifetime.
class ScopedRegistry {
public:
    ScopedRegistry() : file_(dir_ / "registry.reg") { com::Registry::setPath(file_); }
    ~ScopedRegistry() { com::Registry::setPath({}); }
    ScopedRegistry(const ScopedRegistry&) = delete;
    ScopedRegistry& operator=(const ScopedRegistry&) = delete;

    const fs::path& file() const { return file_; }
    const TempDir& dir() const { return dir_; }

private:
    TempDir dir_;
    fs::path file_;
};

inline void writeFile(const fs::path& p, const std::string& text) {
    std::ofstream(p, std::ios::binary) << text;
}

inline std::string readFile(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

}  // namespace comtest
