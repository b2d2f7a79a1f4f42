#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

struct AdapterSpec {
    int device = 0;                // N in "\\.\ezusb-N", 0..15
    int port = 255;                // raw port byte; address = (inverted byte) >> 4
    bool firmwareRunning = false;  // "running" or "none"
    int token = 1;                 // adapter token, 0..255
    int nextToken = 2;             // next token, 0..255
};

struct BusSpec {
    bool connected = true;
    bool loggedOn = true;
    int answerDelayMs = 2;  // 0..60000
    bool crc = true;        // "crc" or "sum": the adapters' method at power-up
};

struct ObjectSpec {
    int obj = 0;                      // 0..65535
    int sub = 0;                      // 0..255
    std::vector<std::uint8_t> value;  // at most 128 bytes
    bool writable = false;
    std::optional<int> error;    // control code answered instead, 0..255
    std::optional<int> delayed;  // wait time in timer ticks, 1..255
    // How the delayed answer comes: false a type-7 delivery (control 0x0A, the real control
    // as first data byte), true a plain type-6 response.
    bool deliverAsResponse = false;
};

struct CyclicSpec {
    int type = 0;        // 0, 1 or 2
    int obj = 1;         // 1..31
    int periodMs = 100;  // 1..3600000
    double value = 0.0;
    int status = 0;     // 0..255
    double step = 0.0;  // added to the value after every telegram
};

struct DeviceSpec {
    std::string name;
    std::vector<ObjectSpec> objects;
    std::vector<CyclicSpec> cyclic;
};

struct Scenario {
    std::vector<AdapterSpec> adapters;
    BusSpec bus;
    std::vector<DeviceSpec> devices;
};

// Thrown for a scenario that cannot be used; the message names the offending field,
// for example "devices[0].objects[2].sub: must be 0..255".
class ScenarioError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The built-in scenario: one adapter at device 0 without firmware, and a demo device with
// readable, writable, read-only, failing and delayed objects and cyclic values.
Scenario demoScenario();

// Reads a scenario from JSON text; every field is optional, unknown fields are refused.
Scenario parseScenario(std::string_view json);
Scenario loadScenario(const std::filesystem::path& file);

}  // namespace sim
