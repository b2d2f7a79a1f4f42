#pragma once

// Test-side access to a simulated adapter through the transport.

#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "os/Clock.h"
#include "simulator/FirmwareImage.h"
#include "simulator/Probe.h"
#include "simulator/SimTransport.h"
#include "simulator/Simulator.h"
#include "usb/IoctlCodes.h"
#include "usb/Transport.h"

namespace simtest {

using namespace sim::probe;

inline Bytes request(std::uint8_t type, int sub, int obj, std::uint8_t control,
                     std::initializer_list<std::uint8_t> data = {}) {
    return telegram(type, sub, obj, control, data);
}

// A small scenario built in code so these tests do not depend on the file reader.
inline sim::Scenario testScenario(bool firmwareRunning = true, bool crc = true) {
    sim::Scenario s;
    sim::AdapterSpec a;
    a.device = 0;
    a.port = 0x5F;
    a.firmwareRunning = firmwareRunning;
    s.adapters.push_back(a);
    s.bus.crc = crc;
    s.bus.answerDelayMs = 2;
    sim::DeviceSpec d;
    d.name = "test";
    d.objects.push_back({1217, 29, {0x0A, 0x0B, 0x0C, 0x0D}, true, {}, {}});
    d.objects.push_back({100, 1, {0x01, 0x02}, false, {}, {}});
    d.objects.push_back({1300, 1, {}, false, 132, {}});
    d.objects.push_back({1301, 2, {0x2A}, false, {}, 5});
    d.objects.push_back({1400, 29, {0xF9, 0xFA, 0xFB, 0x00}, true, {}, {}});
    s.devices.push_back(d);
    return s;
}

}  // namespace simtest
