// tivsim's per-connection handling over arbitrary bytes, without sockets: the first byte
// picks a device or the control connection and how the rest is cut into reads; whatever
// arrives, the session answers or hangs up, and never reads past what it was given.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "os/Clock.h"
#include "simulator/Scenario.h"
#include "simulator/Simulator.h"
#include "simulator/SocketServer.h"

namespace {

sim::Simulator& simulator() {
    static auto* s = [] {
        // Waits inside the simulated adapter pass quickly.
        os::setClock(std::make_shared<os::ScaledClock>(1000.0));
        auto scenario = sim::demoScenario();
        scenario.adapters.at(0).firmwareRunning = true;
        return new sim::Simulator(scenario);
    }();
    return *s;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    auto& sim = simulator();
    const bool control = (data[0] & 1) != 0;
    const std::size_t cut = 1 + (data[0] >> 1);  // bytes per read
    std::span<const std::uint8_t> rest(data + 1, size - 1);

    const int device = sim.devices().at(0);
    sim::DeviceSession deviceSession(sim, device, sim.openDevice(device));
    sim::ControlSession controlSession(sim, nullptr);
    std::vector<std::uint8_t> out;
    while (!rest.empty()) {
        const auto piece = rest.first(std::min(cut, rest.size()));
        rest = rest.subspan(piece.size());
        out.clear();
        const bool keep =
            control ? controlSession.feed(piece, out) : deviceSession.feed(piece, out);
        if (!keep) break;
    }
    // Leave the shared simulator as the next input expects it.
    sim.clearFaults();
    sim.replug(device);
    return 0;
}
