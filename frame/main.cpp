// tivframe: a frame host on the command line. It creates the DTM through the registry, drives
// it through a list of steps as a frame would and prints what it sees.

#include <unistd.h>

#include <CLI/CLI.hpp>
#include <filesystem>
#include <iostream>

#include "Gui.h"
#include "Session.h"
#include "host/HostSetup.h"
#include "host/StopSignals.h"
#include "os/Clock.h"

namespace {

std::filesystem::path DefaultSchemas() {
    std::error_code ec;
    const auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec) return {};
    return exe.parent_path() / "FrameSchemas";
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{
        "tivframe: runs a list of steps on one Tivmate DTM, as an FDT frame does.\n"
        "Exit codes: 0 every step ran, 1 a step failed, 2 bad usage.\n"
        "tivframe [options] gui [FUNCTION...] shows the frame's window on a new project,\n"
        "opening the named functions (e.g. OfflineParameter About)."};
    app.footer(tivframe::Session::StepHelp());
    host::TransportOptions transport;
    std::optional<std::string> registry;
    tivframe::Options options;
    std::vector<std::string> steps;
    std::string language;
    std::optional<double> clockScale;
    app.add_option("--usb", transport.usb,
                   "transport: sim (default), socket:DIR or libusb (default $TIV_USB)");
    app.add_option("--scenario", transport.scenario, "simulated adapter scenario file");
    app.add_option("--registry", registry,
                   "registry file (default $TIV_REGISTRY, else the build tree's registry.reg)");
    app.add_flag("--json", options.json, "one JSON object per line");
    app.add_flag("--monitor", options.monitor, "print the DTM's monitor lines");
    app.add_option("--language", language, "language id for new and open (default 9)");
    app.add_option("--tag", options.tag, "system tag for new (default Tivframe1)");
    app.add_option("--schemas", options.schemas, "the frame's schema directory");
    app.add_option("--clock-scale", clockScale,
                   "run the system's clock this many times faster (for tests)")
        ->check(CLI::PositiveNumber);
    double guiSeconds = 0;
    app.add_option("--gui-seconds", guiSeconds, "gui: close the window after this many seconds")
        ->check(CLI::NonNegativeNumber);
    std::filesystem::path screenshot;
    app.add_option("--screenshot", screenshot,
                   "gui: save the screen as PNG to this file when the window closes");
    app.add_option("--pairs", options.recordPairs, "record: OBJ:TYPE,... (up to 10 values)");
    app.add_option("--seconds", options.recordSeconds, "record: its length in seconds")
        ->check(CLI::Range(1, 65535));
    app.add_option("--file", options.recordFile, "record: the CSV file");
    app.add_option("steps", steps, "steps to run, or gui")->required();
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e) == 0 ? 0 : 2;
    }
    if (!language.empty()) {
        try {
            std::size_t used = 0;
            options.language = std::stoi(language, &used, 0);
            if (used != language.size()) throw std::invalid_argument(language);
        } catch (const std::exception&) {
            std::cerr << "tivframe: --language: \"" << language << "\" is not a language id\n";
            return 2;
        }
    }
    if (clockScale) os::setClock(std::make_shared<os::ScaledClock>(*clockScale));
    if (options.schemas.empty()) options.schemas = DefaultSchemas();

    host::ChooseRegistry(registry);
    if (std::string error; !host::InstallTransport(transport, error)) {
        std::cerr << "tivframe: " << error << "\n";
        return 2;
    }
    host::StopSignals signals;
    if (steps.front() == "gui")
        return tivframe::RunGui(options, {steps.begin() + 1, steps.end()}, guiSeconds, screenshot);
    tivframe::Session session(options);
    return session.Run(steps);
}
