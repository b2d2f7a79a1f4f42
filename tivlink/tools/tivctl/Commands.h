#pragma once

// The tivctl commands, each driving one driver engine on the calling thread.

#include <functional>
#include <optional>
#include <string>

namespace tivlink {
class DriverEngine;
}

namespace tivctl {

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

struct GlobalOptions {
    std::optional<std::string> usb;
    std::optional<std::string> scenario;
    std::optional<int> adapter;  // 1..16; unset means adapter 1
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
    double seconds = 5.0;  // nominal; 0 runs until SIGINT
};

struct WindowOptions {
    double seconds = 0.0;  // nominal; 0 runs until the window is closed or SIGINT
};

// The transport the options ask for: --scenario FILE is "sim:FILE", else --usb, else
// `environment` ($TIV_USB) when set, else "sim". Nullopt with `error` set for a conflict.
std::optional<std::string> TransportName(const GlobalOptions& options, const char* environment,
                                         std::string& error);

int RunScan(const GlobalOptions& options);
int RunSend(const GlobalOptions& options, const SendOptions& send);
int RunMonitor(const GlobalOptions& options, const MonitorOptions& monitor);
// Shows the driver's debug window (a Qt window) while reception runs.
int RunWindow(const GlobalOptions& options, const WindowOptions& window);

// A command in a file of its own that works on the adapter, as send and monitor do.
struct AdapterCommand {
    // Before the adapter comes up; returns an exit code, kExitOk to go on. May be empty.
    std::function<int(tivlink::DriverEngine&)> prepare;
    // With the adapter up; returns the command's exit code.
    std::function<int(tivlink::DriverEngine&)> body;
    // Every event, on this thread, after the shared handling. May be empty.
    std::function<void(int dispId)> onEvent;
};

// Opens the driver on the options' transport and brings the adapter up around `command`,
// with SIGINT and SIGTERM caught. Returns the body's exit code, or the set-up's after its
// message.
int RunOnAdapter(const GlobalOptions& options, const AdapterCommand& command);
// Whether a SIGINT or SIGTERM came while RunOnAdapter (or monitor) ran.
bool Interrupted();

// Opens the driver as RunOnAdapter does but leaves selecting and loading the adapter to
// `body` (load, select, lock). `onEvent` may be empty.
int RunOnDriver(const GlobalOptions& options,
                const std::function<int(tivlink::DriverEngine&)>& body,
                const std::function<void(int dispId)>& onEvent);
// What a failed SelectAdapter of adapter `number` means, for an error message.
std::string SelectErrorText(int number, int result);

}  // namespace tivctl
