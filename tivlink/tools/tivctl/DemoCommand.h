#pragma once

// `tivctl demo`: a short guided run on the embedded simulated adapter that shows how a client
// uses the driver. It reaches the driver only the way clients do: it creates Tivlink.TivDriver
// by ProgID through the COM runtime, calls the members of ITivDriver and takes the events of
// ITivDriverEvents through a sink of its own. It prints every step and every event as it goes.

#include <optional>
#include <string>

#include <CLI/CLI.hpp>

#include "Commands.h"

namespace tivctl {

// The demo's exit code: kExitOk when every step worked, kExitFailure otherwise.
int RunDemo(const GlobalOptions& options);

// The command on tivctl's command line.
class DemoCommand {
public:
    explicit DemoCommand(CLI::App& app);
    // The exit code when the command given was `demo`, else nullopt.
    std::optional<int> Run(const GlobalOptions& options) const;

private:
    CLI::App* command_ = nullptr;
};

}  // namespace tivctl
