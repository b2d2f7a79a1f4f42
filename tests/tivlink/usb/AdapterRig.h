#pragma once

// An engine on the simulated adapters behind a transport that records what goes over the
// command pipe, can act at a chosen packet and can make the adapter report itself busy.

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "support/EngineRig.h"

namespace adaptertest {

using enginetest::Bytes;
using enginetest::Packet;
using namespace std::chrono_literals;

struct Written {
    std::uint32_t pipe = 0;
    Packet packet{};
    bool ok = false;
};

class RecordingTransport final : public usbio::Transport {
public:
    explicit RecordingTransport(std::shared_ptr<usbio::Transport> inner)
        : inner_(std::move(inner)) {}

    usbio::Handle open(std::string_view name) override {
        opens_.fetch_add(1);
        return inner_->open(name);
    }
    void close(usbio::Handle handle) override { inner_->close(handle); }

    bool ioControl(usbio::Handle handle, std::uint32_t code, const void* in, std::uint32_t inSize,
                   void* out, std::uint32_t outSize, std::uint32_t* returned) override {
        if (code == usbio::kIoctlFirmwareDownload && failDownload_) {
            *returned = 0;
            return false;
        }
        const bool ok = inner_->ioControl(handle, code, in, inSize, out, outSize, returned);
        if ((code != usbio::kIoctlBulkWrite && code != usbio::kIoctlBulkRead) || inSize < 4)
            return ok;
        const std::uint32_t pipe = static_cast<const std::uint8_t*>(in)[0];
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

    // Runs after every write on pipes 2 and 4, on the writing thread, without our lock.
    void OnWrite(std::function<void(const Written&)> hook) {
        std::lock_guard lock(mutex_);
        onWrite_ = std::move(hook);
    }
    // The first stage's download into the microcontroller fails while set.
    void FailFirmwareDownload(bool on) { failDownload_ = on; }
    // Every download state reply reports this state byte instead of the adapter's.
    void ForceDownloadState(std::optional<std::uint8_t> state) {
        std::lock_guard lock(mutex_);
        forcedState_ = state;
    }
    // Command packets written on pipe 2 with this command byte.
    std::vector<Written> Commands(std::uint8_t command) const {
        std::lock_guard lock(mutex_);
        std::vector<Written> found;
        for (const auto& w : writes_)
            if (w.pipe == 2 && w.packet[0] == command) found.push_back(w);
        return found;
    }
    std::vector<Written> Writes() const {
        std::lock_guard lock(mutex_);
        return writes_;
    }
    void Clear() {
        std::lock_guard lock(mutex_);
        writes_.clear();
        statusReads_ = 0;
        opens_ = 0;
    }
    // Device opens tried since the last Clear(), successful or not.
    int Opens() const { return opens_.load(); }
    int StatusReads() const {
        std::lock_guard lock(mutex_);
        return statusReads_;
    }

private:
    std::shared_ptr<usbio::Transport> inner_;
    mutable std::mutex mutex_;
    std::vector<Written> writes_;
    std::function<void(const Written&)> onWrite_;
    std::optional<std::uint8_t> forcedState_;
    std::uint8_t lastCommand_ = 0;
    int statusReads_ = 0;
    std::atomic<bool> failDownload_{false};
    std::atomic<int> opens_{0};
};

// Adapters at devices 3 and 7 with the port bytes 0x5F and 0xEF: bus addresses 10 and 1.
inline sim::Scenario TwoAdapters() {
    sim::Scenario s;
    s.adapters.push_back({3, 0x5F, true, 1, 2});
    s.adapters.push_back({7, 0xEF, true, 4, 6});
    return s;
}

inline sim::Scenario OneAdapter(bool firmwareRunning) {
    sim::Scenario s;
    s.adapters.push_back({0, 0xFF, firmwareRunning, 1, 2});
    return s;
}

struct AdapterRig {
    explicit AdapterRig(sim::Scenario scenario, double scale = 20.0,
                        std::span<const std::uint8_t> image = enginetest::Image())
        : clock(std::make_shared<os::ScaledClock>(scale)),
          sim(std::make_shared<sim::Simulator>(std::move(scenario))),
          transport(std::make_shared<RecordingTransport>(sim::makeSimTransport(sim))),
          log(std::make_shared<tivlink::MemoryLog>(true)),
          window(std::make_shared<tivlink::MemoryWindow>(true)),
          sink(std::make_shared<enginetest::SpySink>()) {
        engine = std::make_unique<tivlink::DriverEngine>(
            tivlink::DriverEngine::Options{transport, image, log, window});
        engine->ConnectSink(sink);
    }
    ~AdapterRig() { engine.reset(); }

    int Select(int number, int mode = 0) {
        std::vector<std::uint8_t> version;
        return engine->SelectAdapter(number, mode, version);
    }

    os::ScopedClock clock;
    std::shared_ptr<sim::Simulator> sim;
    std::shared_ptr<RecordingTransport> transport;
    std::shared_ptr<tivlink::MemoryLog> log;
    std::shared_ptr<tivlink::MemoryWindow> window;
    std::shared_ptr<enginetest::SpySink> sink;
    std::unique_ptr<tivlink::DriverEngine> engine;
};

// Index of the first item equal to `text` at or after `from`; -1 when none.
inline int IndexOf(const std::vector<std::string>& items, const std::string& text, int from = 0) {
    for (std::size_t i = static_cast<std::size_t>(std::max(from, 0)); i < items.size(); ++i)
        if (items[i] == text) return static_cast<int>(i);
    return -1;
}

}  // namespace adaptertest
