#pragma once

// The adapter commands of tivctl: `load` downloads the firmware in the driver's worker thread,
// `select` picks an adapter by number or bus address, `lock` holds the adapter lock.

#include <optional>

#include <CLI/CLI.hpp>

#include "Commands.h"

namespace tivctl {

struct LoadOptions {
    double timeoutSeconds = 60;  // nominal; the download takes about 4.6 s
};

struct SelectOptions {
    int number = 0;  // adapter number 1..16, or the bus address 0..15
    bool byAddress = false;
};

struct LockOptions {
    double seconds = 0;  // nominal; 0 holds the lock until SIGINT
};

int RunLoad(const GlobalOptions& options, const LoadOptions& load);
int RunSelect(const GlobalOptions& options, const SelectOptions& select);
int RunLock(const GlobalOptions& options, const LockOptions& lock);

// The three commands on tivctl's command line.
class AdapterCommands {
public:
    explicit AdapterCommands(CLI::App& app);
    // The exit code of the command given, or nullopt when it was none of these.
    std::optional<int> Run(const GlobalOptions& options) const;

private:
    LoadOptions load_;
    SelectOptions select_;
    LockOptions lock_;
    CLI::App* loadCommand_ = nullptr;
    CLI::App* selectCommand_ = nullptr;
    CLI::App* lockCommand_ = nullptr;
};

}  // namespace tivctl
