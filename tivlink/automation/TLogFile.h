#pragma once

#include <filesystem>
#include <mutex>
#include <string_view>

namespace tivlink {

// One open text log: appended to when it exists, created when not. Every line goes out in
// one write as soon as it is written, so lines from several threads (and several objects
// sharing the file) never mix within a line.
class tLogFile {
public:
    explicit tLogFile(const std::filesystem::path& fileName);
    ~tLogFile();
    tLogFile(const tLogFile&) = delete;
    tLogFile& operator=(const tLogFile&) = delete;

    // Appends text and CR LF; does nothing when the file could not be opened.
    void WriteLine(std::string_view text);

    bool Opened() const { return fd_ >= 0; }
    const std::filesystem::path& FileName() const { return fileName_; }

private:
    const std::filesystem::path fileName_;
    const int fd_;
    std::mutex mutex_;
};

}  // namespace tivlink
