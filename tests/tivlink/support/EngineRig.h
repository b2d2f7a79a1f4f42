#pragma once

// Test rigs for the driver engine: a spy event sink, an engine over the fake transport
// playing pipe-1 packets chosen by the test, and an engine on the in-process simulated adapter.

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
#include "support/FakeTransport.h"
#include "support/Pump.h"
#include "tivlink/protocol/DriverEngine.h"
#include "usb/IoctlCodes.h"

namespace enginetest {

using Bytes = std::vector<std::uint8_t>;
using Packet = testsupport::Packet;
using testsupport::FakeTransport;
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

using testsupport::PumpUntil;

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
          transport(std::make_shared<FakeTransport>()),
          log(std::make_shared<tivlink::MemoryLog>(true)),
          window(std::make_shared<tivlink::MemoryWindow>(true)),
          sink(std::make_shared<SpySink>()) {
        engine = std::make_unique<tivlink::DriverEngine>(
            tivlink::DriverEngine::Options{transport, Image(), log, window});
        if (connectSink) engine->ConnectSink(sink);
    }
    ~ScriptedRig() { engine.reset(); }

    os::ScopedClock clock;
    std::shared_ptr<FakeTransport> transport;
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
