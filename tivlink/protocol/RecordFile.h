#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <span>
#include <string>

namespace tivlink {

// The monitor's record file: what the worker thread writes into it is chosen by the mode.
class RecordFile {
public:
    ~RecordFile();

    int Open(const std::string& name);  // 0, 1 cannot be created; an open file is closed first
    int Close();                        // 0, 1 no file open
    int Start();                        // 0, 1 no file open
    int Stop();                         // 0, 1 no file open
    std::int64_t Size() const;
    int Mode() const { return mode_.load(); }
    void SetMode(int mode) { mode_ = mode; }
    int State() const { return state_.load(); }
    void Idle() { state_ = 0; }

    // Worker thread: writes when recording is on and `mode` is the selected one. Checked
    // here, inline, since the receive path asks for every packet and frame.
    void WritePacket(int mode, std::span<const std::uint8_t> packet) {
        if (on_.load(std::memory_order_relaxed) && mode_.load(std::memory_order_relaxed) == mode)
            Write(packet);
    }
    // A frame from its start byte: length byte + 4 bytes with CRC, + 3 with the sum, never
    // more than the frame holds.
    void WriteFrame(int mode, std::span<const std::uint8_t> frame, bool crc) {
        if (on_.load(std::memory_order_relaxed) && mode_.load(std::memory_order_relaxed) == mode)
            WriteFrameBytes(frame, crc);
    }

private:
    void Write(std::span<const std::uint8_t> bytes);
    void WriteFrameBytes(std::span<const std::uint8_t> frame, bool crc);

    mutable std::mutex mutex_;
    std::FILE* file_ = nullptr;  // guarded by mutex_
    std::int64_t size_ = 0;      // guarded by mutex_
    std::atomic<bool> on_{false};
    std::atomic<int> mode_{1};
    std::atomic<int> state_{0};
};

}  // namespace tivlink
