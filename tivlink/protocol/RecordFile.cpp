#include "tivlink/protocol/RecordFile.h"

#include <algorithm>

#include "tivlink/TivResults.h"

namespace tivlink {

RecordFile::~RecordFile() {
    Close();
}

int RecordFile::Open(const std::string& name) {
    std::lock_guard lock(mutex_);
    // The on/off switch belongs to StartFileRec/StopFileRec, not to the file: recording
    // that is on goes on into the new file.
    if (file_) std::fclose(file_);
    size_ = 0;
    file_ = std::fopen(name.c_str(), "wb");
    return file_ ? result::kOk : result::RecordFile::kNoFile;
}

int RecordFile::Close() {
    std::lock_guard lock(mutex_);
    if (!file_) return result::RecordFile::kNoFile;
    std::fclose(file_);
    file_ = nullptr;
    size_ = 0;
    return 0;
}

int RecordFile::Start() {
    std::lock_guard lock(mutex_);
    if (!file_) return result::RecordFile::kNoFile;
    on_ = true;
    state_ = 1;
    return 0;
}

int RecordFile::Stop() {
    std::lock_guard lock(mutex_);
    if (!file_) return result::RecordFile::kNoFile;
    on_ = false;
    state_ = 0;
    std::fflush(file_);
    return 0;
}

std::int64_t RecordFile::Size() const {
    std::lock_guard lock(mutex_);
    return file_ ? size_ : 0;
}

void RecordFile::Write(std::span<const std::uint8_t> bytes) {
    std::lock_guard lock(mutex_);
    if (!file_ || !on_) return;
    size_ += static_cast<std::int64_t>(std::fwrite(bytes.data(), 1, bytes.size(), file_));
    state_ = 1;
}

void RecordFile::WriteFrameBytes(std::span<const std::uint8_t> frame, bool crc) {
    if (frame.size() < 2) return;
    const std::size_t n = std::min<std::size_t>(frame[1] + (crc ? 4u : 3u), frame.size());
    Write(frame.first(n));
}

}  // namespace tivlink
