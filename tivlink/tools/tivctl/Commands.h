#pragma once

// The tivctl commands, each driving one driver object on the calling thread.

#include <cstdint>
#include <optional>
#include <string>

#include "host/HostSetup.h"

namespace tivctl {

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;
constexpr int kExitLocked = 3;      // another program holds the adapter lock
constexpr int kExitLockFailed = 4;  // the adapter lock cannot be taken at all

// --usb and --scenario come from the host options.
struct GlobalOptions : host::TransportOptions {
    std::optional<int> adapter;  // 1..16; unset means adapter 1
    std::optional<std::string> registry;
    bool json = false;
    bool log = false;
};

struct SendOptions {
    int obj = 0;
    int sub = 0;
    int type = 5;
    std::optional<int> control;
    std::optional<std::string> data;  // hex
    int timeoutMs = 10000;            // nominal, for the delayed answer
};

struct MonitorOptions {
    double seconds = 5.0;               // nominal; 0 runs until SIGINT
    std::optional<std::string> pcapng;  // a capture file in place of the text; "-": stdout
    int filter = 0;                     // the filter type of reception
};

// What a capture wrote, for the caller's summary.
struct CaptureSummary {
    bool begun = false;  // the capture file got its headers
    std::uint64_t packets = 0;
    double seconds = 0;  // nominal
};

struct WindowOptions {
    double seconds = 0.0;  // nominal; 0 runs until the window is closed or SIGINT
};

int RunScan(const GlobalOptions& options);
int RunSend(const GlobalOptions& options, const SendOptions& send);
// With `monitor.pcapng` the telegrams go into a capture file; `summary` then says what it got.
int RunMonitor(const GlobalOptions& options, const MonitorOptions& monitor,
               CaptureSummary* summary = nullptr);
// Shows the driver's debug window (a Qt window) while reception runs.
int RunWindow(const GlobalOptions& options, const WindowOptions& window);

}  // namespace tivctl
