#pragma once

// Test rigs for the driver engine: a scripted transport that plays pipe-1 packets chosen
// by the test, a spy event sink, and an engine on the in-process simulated adapter.

#include <gtest/gtest.h>

#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "os/Clock.h"
#include "os/MessageQueue.h"
#include "simulator/FirmwareImage.h"
#include "simulator/Frames.h"
#include "simulator/SimTransport.h"
#include "simulator/Simulator.h"
#include "tivlink/protocol/DriverEngine.h"
#include "usb/IoctlCodes.h"

namespace enginetest {

using Bytes = std::vector<std::uint8_t>;
using Packet = std::array<std::uint8_t, 64>;
using namespace std::chrono_literals;

// Records events with the thread they arrived on.
class SpySink final : public tivlink::IDriverEventSink {
public:
    void OnEvent(int dispId) override {
        std::lock_guard lock(mutex_);
        events_.push_back(dispId);
        threads_.push_back(std::this_thread::get_id());
    }
    std::vector<int> Events() const {
        std::lock_guard lock(mutex_);
        return events_;
    }
    std::vector<std::thread::id> Threads() const {
        std::lock_guard lock(mutex_);
        return threads_;
    }
    int Count(int dispId) const {
        const auto e = Events();
        return static_cast<int>(std::count(e.begin(), e.end(), dispId));
    }

private:
    mutable std::mutex mutex_;
    std::vector<int> events_;
    std::vector<std::thread::id> threads_;
};

// Pumps this thread's messages until `done` holds or the nominal time-out passes; `done` may
// read any state, so it is polled as well.
inline bool PumpUntil(const std::function<bool()>& done, os::Clock::duration timeout = 3s) {
    return os::MessageQueue::forCurrentThread()->runUntil(done, timeout, 2ms);
}

// A transport whose pipe 1 plays the packets a test queues; pipe-2 writes are recorded.
class ScriptedTransport final : public usbio::Transport {
public:
    usbio::Handle open(std::string_view name) override {
        std::lock_guard lock(mutex_);
        if (!present_ || name != usbio::kDeviceNamePrefix + std::string("0"))
            return usbio::kInvalidHandle;
        ++opens_;
        return 1;
    }
    void close(usbio::Handle) override {
        std::lock_guard lock(mutex_);
        ++closes_;
    }
    bool ioControl(usbio::Handle, std::uint32_t code, const void* in, std::uint32_t inSize,
                   void* out, std::uint32_t outSize, std::uint32_t* returned) override {
        std::unique_lock lock(mutex_);
        *returned = 0;
        auto* o = static_cast<std::uint8_t*>(out);
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
        const std::uint32_t pipe = static_cast<const std::uint8_t*>(in)[0];
        if (code == usbio::kIoctlBulkWrite) {
            if (failWrites_) return false;
            Packet p{};
            std::copy_n(o, std::min<std::uint32_t>(64, outSize), p.begin());
            if (pipe == 2) writes_.push_back(p);
            if (pipe == 2 && p[0] == 0xF0) versionAsked_ = true;
            *returned = outSize;
            return true;
        }
        if (failReads_) return false;
        Packet p{};
        if (pipe == 1) {
            if (!pipe1_.empty()) {
                p = pipe1_.front();
                pipe1_.pop_front();
            } else {
                p[1] = idleFlags_;
                lock.unlock();
                std::this_thread::sleep_for(100us);
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

    // Queues packets carrying `stream` (bytes 2..63 each), with the flags byte.
    void QueueStream(const Bytes& stream, std::uint8_t flags = 0x10) {
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
    void QueueFrame(const Bytes& record, bool crc = true, bool corrupt = false,
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
    void SetIdleFlags(std::uint8_t f) {
        std::lock_guard lock(mutex_);
        idleFlags_ = f;
    }
    void SetStatus(std::size_t byte, std::uint8_t value) {
        std::lock_guard lock(mutex_);
        status_[byte] = value;
    }
    void SetPresent(bool p) {
        std::lock_guard lock(mutex_);
        present_ = p;
    }
    void SetFailWrites(bool f) {
        std::lock_guard lock(mutex_);
        failWrites_ = f;
    }
    std::vector<Packet> Writes() const {
        std::lock_guard lock(mutex_);
        return writes_;
    }
    void ClearWrites() {
        std::lock_guard lock(mutex_);
        writes_.clear();
    }
    std::pair<int, int> OpensCloses() const {
        std::lock_guard lock(mutex_);
        return {opens_, closes_};
    }

private:
    mutable std::mutex mutex_;
    std::deque<Packet> pipe1_;
    std::vector<Packet> writes_;
    Packet status_{};
    std::uint8_t idleFlags_ = 0x10;
    bool present_ = true;
    bool failWrites_ = false;
    bool failReads_ = false;
    bool versionAsked_ = false;
    int opens_ = 0;
    int closes_ = 0;
};

inline Bytes Request(int type, int sub, int obj, int control,
                     std::initializer_list<std::uint8_t> data = {}) {
    Bytes r{static_cast<std::uint8_t>(type << 5 | 2), static_cast<std::uint8_t>(4 + data.size()),
            static_cast<std::uint8_t>(sub),           static_cast<std::uint8_t>(obj & 0xFF),
            static_cast<std::uint8_t>(obj >> 8),      static_cast<std::uint8_t>(control)};
    for (auto b : data) r.push_back(b);
    return r;
}

inline const std::vector<std::uint8_t>& Image() {
    static const auto image = sim::makeFirmwareImage();
    return image;
}

// An engine over a scripted transport, under a fast clock, with the log on.
struct ScriptedRig {
    explicit ScriptedRig(double scale = 20.0, bool connectSink = true)
        : clock(std::make_shared<os::ScaledClock>(scale)),
          transport(std::make_shared<ScriptedTransport>()),
          log(std::make_shared<tivlink::MemoryLog>(true)),
          window(std::make_shared<tivlink::MemoryWindow>(true)),
          sink(std::make_shared<SpySink>()) {
        engine = std::make_unique<tivlink::DriverEngine>(
            tivlink::DriverEngine::Options{transport, Image(), log, window});
        if (connectSink) engine->ConnectSink(sink);
    }
    ~ScriptedRig() { engine.reset(); }

    os::ScopedClock clock;
    std::shared_ptr<ScriptedTransport> transport;
    std::shared_ptr<tivlink::MemoryLog> log;
    std::shared_ptr<tivlink::MemoryWindow> window;
    std::shared_ptr<SpySink> sink;
    std::unique_ptr<tivlink::DriverEngine> engine;
};

// An engine on the in-process simulated adapter.
struct SimRig {
    explicit SimRig(sim::Scenario scenario, double scale = 5.0)
        : clock(std::make_shared<os::ScaledClock>(scale)),
          sim(std::make_shared<sim::Simulator>(std::move(scenario))),
          log(std::make_shared<tivlink::MemoryLog>(true)),
          sink(std::make_shared<SpySink>()) {
        engine = std::make_unique<tivlink::DriverEngine>(
            tivlink::DriverEngine::Options{sim::makeSimTransport(sim), Image(), log, nullptr});
        engine->ConnectSink(sink);
    }
    ~SimRig() { engine.reset(); }

    // Selects adapter 1 and starts reception.
    void Ready() {
        std::vector<std::uint8_t> version;
        ASSERT_EQ(engine->SelectAdapter(1, 0, version), 0);
        ASSERT_EQ(engine->StartReception(), 0);
    }

    os::ScopedClock clock;
    std::shared_ptr<sim::Simulator> sim;
    std::shared_ptr<tivlink::MemoryLog> log;
    std::shared_ptr<SpySink> sink;
    std::unique_ptr<tivlink::DriverEngine> engine;
};

inline sim::Scenario Scenario(bool firmwareRunning = true) {
    sim::Scenario s;
    sim::AdapterSpec a;
    a.firmwareRunning = firmwareRunning;
    s.adapters.push_back(a);
    sim::DeviceSpec d;
    d.name = "test";
    d.objects.push_back({1217, 29, {0x0A, 0x0B, 0x0C, 0x0D}, true, {}, {}});
    d.objects.push_back({100, 1, {0x01, 0x02}, false, {}, {}});
    d.objects.push_back({1300, 1, {}, false, 132, {}});
    d.objects.push_back({1301, 2, {0x2A}, false, {}, 5});
    s.devices.push_back(d);
    return s;
}

inline bool HasLine(const std::vector<std::string>& lines, const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

}  // namespace enginetest
