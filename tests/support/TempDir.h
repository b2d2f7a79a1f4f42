#pragma once

// A fresh directory of a test's own, removed with everything in it when the test is done.
// Include as "support/TempDir.h".

#include <stdlib.h>

#include <filesystem>
#include <stdexcept>
#include <string>

namespace testsupport {

class TempDir {
public:
    // PARENT/PREFIX-XXXXXX with a unique ending. Tests that put sockets inside name a short
    // parent such as /tmp: a socket path has a length limit.
    explicit TempDir(const std::string& prefix,
                     const std::filesystem::path& parent = std::filesystem::temp_directory_path()) {
        std::string pattern = (parent / (prefix + "-XXXXXX")).string();
        if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed: " + pattern);
        path_ = pattern;
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

private:
    std::filesystem::path path_;
};

}  // namespace testsupport
