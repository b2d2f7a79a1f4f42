#pragma once

// Temporary directories and registry files for the COM runtime tests.

#include <filesystem>
#include <fstream>
#include <string>

#include "com/Registry.h"
#include "support/TempDir.h"

namespace comtest {

namespace fs = std::filesystem;

struct TempDir : testsupport::TempDir {
    TempDir() : testsupport::TempDir("tiv-com") {}
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
