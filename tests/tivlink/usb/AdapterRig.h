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
using testsupport::FakeTransport;
using testsupport::Written;
using namespace std::chrono_literals;

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
          transport(std::make_shared<FakeTransport>(sim::makeSimTransport(sim))),
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
    std::shared_ptr<FakeTransport> transport;
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
