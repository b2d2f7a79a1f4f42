#pragma once

// The one transport the tests put under the driver. By default it plays a scripted adapter at
// device 0 whose pipe 1 delivers the packets a test queues; made over another transport (the
// simulator's) it passes every call on. Either way it records what goes over the command
// pipes and can inject faults: no device, refused requests, failed writes or downloads, a
// forced download state, an exception. Include as "support/FakeTransport.h".

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "simulator/Frames.h"
#include "usb/IoctlCodes.h"
#include "usb/Transport.h"

namespace testsupport {

using Packet = std::array<std::uint8_t, 64>;

// A bulk write on pipe 2 (commands) or 4, as it went out, and whether it succeeded.
struct Written {
    std::uint32_t pipe = 0;
    Packet packet{};
    bool ok = false;
};

class FakeTransport final : public usbio::Transport {
public:
    FakeTransport() = default;
    explicit FakeTransport(std::shared_ptr<usbio::Transport> inner) : inner_(std::move(inner)) {}

    // Free for the test: a backend factory's argument, say.
    std::string tag;

    usbio::Handle open(std::string_view name) override {
        RunBeforeCall();
        {
            std::lock_guard lock(mutex_);
            openers_.push_back(std::this_thread::get_id());
        }
        usbio::Handle handle = usbio::kInvalidHandle;
        if (inner_) {
            handle = inner_->open(name);
        } else {
            std::lock_guard lock(mutex_);
            if (present_ && name == usbio::kDeviceNamePrefix + std::string("0")) handle = 1;
        }
        if (handle != usbio::kInvalidHandle) opens_.fetch_add(1);
        return handle;
    }

    void close(usbio::Handle handle) override {
        closes_.fetch_add(1);
        if (inner_) inner_->close(handle);
    }

    bool ioControl(usbio::Handle handle, std::uint32_t code, const void* in, std::uint32_t inSize,
                   void* out, std::uint32_t outSize, std::uint32_t* returned) override {
        RunBeforeCall();
        if (refuseRequests_) return false;
        if (code == usbio::kIoctlFirmwareDownload && failDownload_) {
            *returned = 0;
            return false;
        }
        const bool bulk =
            (code == usbio::kIoctlBulkWrite || code == usbio::kIoctlBulkRead) && inSize >= 4;
        const std::uint32_t pipe = bulk ? static_cast<const std::uint8_t*>(in)[0] : 0;
        bool ok = false;
        if (code == usbio::kIoctlBulkWrite && failWrites_) {
            *returned = 0;
        } else if (inner_) {
            ok = inner_->ioControl(handle, code, in, inSize, out, outSize, returned);
        } else {
            ok = Scripted(code, inSize, pipe, static_cast<std::uint8_t*>(out), outSize, returned);
        }
        if (!bulk) return ok;

        auto* bytes = static_cast<std::uint8_t*>(out);
        std::function<void(const Written&)> hook;
        Written w{pipe, {}, ok};
        {
            std::lock_guard lock(mutex_);
            if (code == usbio::kIoctlBulkWrite) {
                std::copy_n(bytes, std::min<std::uint32_t>(64, outSize), w.packet.begin());
                if (pipe == 2 || pipe == 4) writes_.push_back(w);
                if (pipe == 2) lastCommand_ = w.packet[0];
                hook = onWrite_;
            } else if (pipe == 3) {
                ++statusReads_;
            } else if (pipe == 5 && ok && forcedState_ && lastCommand_ == 0xB2 && outSize > 0) {
                bytes[0] = *forcedState_;
            }
        }
        if (hook) hook(w);
        return ok;
    }

    // ---- faults ----
    // Device 0 of the scripted adapter is there (the default) or not.
    void SetPresent(bool present) {
        std::lock_guard lock(mutex_);
        present_ = present;
    }
    // Every request fails, whatever device it goes to.
    void RefuseRequests(bool on) { refuseRequests_ = on; }
    void SetFailWrites(bool on) { failWrites_ = on; }
    // Firmware downloads into the microcontroller fail while set.
    void FailFirmwareDownload(bool on) { failDownload_ = on; }
    // Every download state reply reports this state byte instead of the adapter's.
    void ForceDownloadState(std::optional<std::uint8_t> state) {
        std::lock_guard lock(mutex_);
        forcedState_ = state;
    }
    // Runs at the start of every open and request, on the calling thread; it may throw.
    void BeforeCall(std::function<void()> hook) {
        std::lock_guard lock(mutex_);
        beforeCall_ = std::move(hook);
    }
    // Runs after every write on pipes 2 and 4, on the writing thread, without our lock.
    void OnWrite(std::function<void(const Written&)> hook) {
        std::lock_guard lock(mutex_);
        onWrite_ = std::move(hook);
    }

    // ---- the scripted adapter ----
    // Queues packets carrying `stream` (bytes 2..63 each), with the flags byte.
    void QueueStream(const std::vector<std::uint8_t>& stream, std::uint8_t flags = 0x10) {
        std::lock_guard lock(mutex_);
        for (std::size_t at = 0; at < stream.size(); at += 62) {
            Packet p{};
            p[0] = 1;
            p[1] = flags;
            std::copy_n(stream.begin() + static_cast<std::ptrdiff_t>(at),
                        std::min<std::size_t>(62, stream.size() - at), p.begin() + 2);
            pipe1_.push_back(p);
        }
    }
    void QueueFrame(const std::vector<std::uint8_t>& record, bool crc = true, bool corrupt = false,
                    std::uint8_t flags = 0x10) {
        QueueStream(sim::encodeFrame(record, crc, corrupt), flags);
    }
    void QueuePacket(const Packet& p) {
        std::lock_guard lock(mutex_);
        pipe1_.push_back(p);
    }
    bool Drained() const {
        std::lock_guard lock(mutex_);
        return pipe1_.empty();
    }
    // The flags byte of the empty packets pipe 1 gives while nothing is queued.
    void SetIdleFlags(std::uint8_t flags) {
        std::lock_guard lock(mutex_);
        idleFlags_ = flags;
    }
    void SetStatus(std::size_t byte, std::uint8_t value) {
        std::lock_guard lock(mutex_);
        status_[byte] = value;
    }

    // ---- what went over the wire ----
    std::vector<Written> Writes() const {
        std::lock_guard lock(mutex_);
        return writes_;
    }
    // Command packets that went out on pipe 2, all of them or those with this command byte.
    std::vector<Packet> CommandPackets() const {
        std::vector<Packet> found;
        for (const auto& w : Writes())
            if (w.pipe == 2 && w.ok) found.push_back(w.packet);
        return found;
    }
    std::vector<Written> Commands(std::uint8_t command) const {
        std::vector<Written> found;
        for (const auto& w : Writes())
            if (w.pipe == 2 && w.packet[0] == command) found.push_back(w);
        return found;
    }
    // Forgets the writes, the status reads and the open attempts.
    void Clear() {
        std::lock_guard lock(mutex_);
        writes_.clear();
        statusReads_ = 0;
        openers_.clear();
    }
    // Device opens the thread `by` tried since the last Clear(), successful or not. Per thread,
    // as the driver's timer may try one whenever a loaded machine lets it run.
    int OpenAttempts(std::thread::id by) const {
        std::lock_guard lock(mutex_);
        return static_cast<int>(std::count(openers_.begin(), openers_.end(), by));
    }
    // Successful opens and closes since the start.
    std::pair<int, int> OpensCloses() const { return {opens_.load(), closes_.load()}; }
    int StatusReads() const {
        std::lock_guard lock(mutex_);
        return statusReads_;
    }

private:
    void RunBeforeCall() {
        std::function<void()> hook;
        {
            std::lock_guard lock(mutex_);
            hook = beforeCall_;
        }
        if (hook) hook();
    }

    bool Scripted(std::uint32_t code, std::uint32_t inSize, std::uint32_t pipe, std::uint8_t* o,
                  std::uint32_t outSize, std::uint32_t* returned) {
        std::unique_lock lock(mutex_);
        *returned = 0;
        if (code == usbio::kIoctlGetDeviceDescriptor) {
            const std::uint8_t d[18] = {18, 1, 0, 0, 0, 0, 0, 64, 0x47, 0x05, 0x31, 0x21};
            std::copy_n(d, std::min<std::uint32_t>(18, outSize), o);
            *returned = 18;
            return true;
        }
        if (code == usbio::kIoctlVendorRequest) {
            if (outSize) o[0] = 0xFF;
            *returned = std::min<std::uint32_t>(3, outSize);
            return true;
        }
        // Downloads and interface switches are taken as done; the firmware answers anyway.
        if (code == usbio::kIoctlFirmwareDownload || code == usbio::kIoctlSetInterface) return true;
        if (inSize < 4) return false;
        if (code == usbio::kIoctlBulkWrite) {
            if (pipe == 2 && outSize > 0 && o[0] == 0xF0) versionAsked_ = true;
            *returned = outSize;
            return true;
        }
        Packet p{};
        if (pipe == 1) {
            if (!pipe1_.empty()) {
                p = pipe1_.front();
                pipe1_.pop_front();
            } else {
                p[1] = idleFlags_;
                lock.unlock();
                std::this_thread::sleep_for(std::chrono::microseconds(100));
                lock.lock();
            }
        } else if (pipe == 3) {
            p = status_;
        } else if (pipe == 5) {
            if (!versionAsked_) return true;
            versionAsked_ = false;
            const std::uint8_t v[10] = {'T', 'E', 'S', 'T', '0', '1', 0, 1, 'S', 'W'};
            std::copy_n(v, 10, p.begin());
        }
        std::copy_n(p.begin(), std::min<std::uint32_t>(64, outSize), o);
        *returned = std::min<std::uint32_t>(64, outSize);
        return true;
    }

    const std::shared_ptr<usbio::Transport> inner_;
    mutable std::mutex mutex_;
    // The scripted adapter.
    std::deque<Packet> pipe1_;
    Packet status_{};
    std::uint8_t idleFlags_ = 0x10;
    bool present_ = true;
    bool versionAsked_ = false;
    // Faults.
    std::atomic<bool> refuseRequests_{false};
    std::atomic<bool> failWrites_{false};
    std::atomic<bool> failDownload_{false};
    std::optional<std::uint8_t> forcedState_;
    std::function<void()> beforeCall_;
    std::function<void(const Written&)> onWrite_;
    // Records.
    std::vector<Written> writes_;
    std::uint8_t lastCommand_ = 0;
    int statusReads_ = 0;
    std::vector<std::thread::id> openers_;
    std::atomic<int> opens_{0};
    std::atomic<int> closes_{0};
};

}  // namespace testsupport
