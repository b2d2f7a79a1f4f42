// tivctl: drives one driver object from the command line, as a client of the registered
// module.

#include <signal.h>

#include <iostream>
#include <memory>
#include <optional>
#include <string>

#include <CLI/CLI.hpp>

#include "AdapterCommands.h"
#include "ComCommands.h"
#include "Commands.h"
#include "DemoCommand.h"
#include "NumberCheck.h"
#include "Recording.h"
#include "os/Clock.h"

int main(int argc, char** argv) {
    using namespace tivctl;

    CLI::App app{
        "Drives one driver object (Tivlink.TivDriver, created through the COM runtime) on an "
        "adapter.\n"
        "  tivctl [OPTIONS] scan                                      list the adapters\n"
        "  tivctl [OPTIONS] load [--timeout N]                        download the firmware\n"
        "  tivctl [OPTIONS] select N [--by-address]                   select an adapter\n"
        "  tivctl [OPTIONS] lock [--seconds N]                        hold the adapter lock\n"
        "  tivctl [OPTIONS] send --obj N --sub N [--data HEX] [...]   one acyclic transaction\n"
        "  tivctl [OPTIONS] monitor [--seconds N] [--pcapng FILE|-]   show or capture the bus\n"
        "  tivctl [OPTIONS] record FILE[.pcapng] [--mode N] [...]     record the bus into a file\n"
        "  tivctl [OPTIONS] values [--slot S:TYPE:OBJ ...]            show measured values\n"
        "  tivctl [OPTIONS] window [--seconds N]                      show the debug window\n"
        "  tivctl [OPTIONS] members                                   the driver's type library\n"
        "  tivctl [OPTIONS] call MEMBER [ARGS...]                     call a member through COM\n"
        "  tivctl [OPTIONS] demo                                      a guided run through COM"};
    app.footer(
        "Without --usb the transport comes from $TIV_USB, else the in-process simulated adapter "
        "(sim); --usb libusb (or TIV_USB=libusb) reaches the adapters plugged into this machine. "
        "Every command that uses an adapter holds its lock (LockAdapter) while it runs. "
        "Exit codes: 0 ok, 1 the adapter or device answered with an error or a transfer "
        "failed, 2 bad usage or a bad scenario file, 3 another program holds the adapter lock "
        "(`lock` itself exits 1 then), 4 the adapter lock cannot be taken (e.g. the lock "
        "directory is not writable).");
    app.require_subcommand(1);
    app.fallthrough();  // global options may also follow the command

    GlobalOptions global;
    std::optional<double> clockScale;
    app.add_option("--usb", global.usb,
                   "transport: sim, sim:FILE, socket:DIR or libusb (real adapters; "
                   "libusb:VVVV:PPPP,... for other USB ids)")
        ->type_name("TRANSPORT");
    app.add_option("--scenario", global.scenario, "scenario file for the simulated adapter")
        ->type_name("FILE");
    app.add_option("--registry", global.registry,
                   "registry file the driver is registered in (default $TIV_REGISTRY, else the "
                   "build tree's registry.reg, else the user's)")
        ->type_name("FILE");
    app.add_option("--adapter", global.adapter, "adapter number 1..16 (default 1)")
        ->type_name("N")
        ->check(CLI::Range(1, 16));
    app.add_flag("--json", global.json, "print one JSON object per result");
    app.add_flag("--log", global.log,
                 "switch the driver's log file on (LogFileOn; Tivlink-HOST.txt in the current "
                 "directory) and print its new lines on stderr too");
    app.add_option("--clock-scale", clockScale,
                   "run all driver and simulator time F times faster (for tests)")
        ->type_name("F")
        ->check(FiniteRange(0.01, 1000.0));

    auto* scan = app.add_subcommand("scan", "list the adapters and the firmware state");

    SendOptions send;
    auto* sendCommand = app.add_subcommand(
        "send", "send one acyclic telegram and wait for the answer (and a delayed one)");
    sendCommand->add_option("--obj", send.obj, "object number 0..65535")
        ->type_name("N")
        ->required()
        ->check(CLI::Range(0, 65535));
    sendCommand->add_option("--sub", send.sub, "sub number 0..255")
        ->type_name("N")
        ->required()
        ->check(CLI::Range(0, 255));
    sendCommand->add_option("--type", send.type, "telegram type: 5 request, 7 service")
        ->type_name("5|7")
        ->check(CLI::IsMember({5, 7}));
    sendCommand
        ->add_option("--ctrl", send.control,
                     "control code 0..255 (default 0xC0 read, or 0xC1 write with --data)")
        ->type_name("N")
        ->check(CLI::Range(0, 255));
    sendCommand->add_option("--data", send.data, "data bytes in hex, at most 128 (e.g. 0A0B)")
        ->type_name("HEX");
    sendCommand
        ->add_option("--timeout-ms", send.timeoutMs,
                     "how long to wait for a delayed answer (default 10000)")
        ->type_name("N")
        ->check(CLI::Range(1, 3600000));

    MonitorOptions monitor;
    auto* monitorCommand = app.add_subcommand(
        "monitor",
        "print the telegrams on the bus, or capture them as pcapng, until time-out or SIGINT");
    auto* monitorSeconds =
        monitorCommand
            ->add_option("--seconds", monitor.seconds,
                         "how long to watch (default 5, with --pcapng 0; 0: until SIGINT or, "
                         "for a capture, until its reader closes the pipe)")
            ->type_name("N")
            ->check(FiniteRange(0.0, 1e6));
    monitorCommand
        ->add_option("--pcapng", monitor.pcapng,
                     "write the telegrams as a pcapng capture into FILE instead of printing "
                     "them; - for stdout (tivctl monitor --pcapng - | wireshark -k -i -)")
        ->type_name("FILE");

    WindowOptions window;
    auto* windowCommand = app.add_subcommand(
        "window", "show the driver's debug window while reception runs (needs a display)");
    windowCommand
        ->add_option("--seconds", window.seconds,
                     "how long to show it (default 0: until the window is closed or SIGINT)")
        ->type_name("N")
        ->check(FiniteRange(0.0, 1e6));

    RecordingCommands recording(app);
    AdapterCommands adapterCommands(app);
    ComCommands comCommands(app);
    DemoCommand demoCommand(app);

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e) == 0 ? kExitOk : kExitUsage;
    }

    // A live capture runs as long as its viewer.
    if (monitor.pcapng && monitorSeconds->count() == 0) monitor.seconds = 0;

    // A closed output is an error to report, not a reason to die.
    ::signal(SIGPIPE, SIG_IGN);
    if (clockScale) os::setClock(std::make_shared<os::ScaledClock>(*clockScale));

    try {
        if (*scan) return RunScan(global);
        if (*sendCommand) return RunSend(global, send);
        if (*monitorCommand) return RunMonitor(global, monitor);
        if (const auto code = recording.Run(global)) return *code;
        if (const auto code = adapterCommands.Run(global)) return *code;
        if (const auto code = comCommands.Run(global)) return *code;
        if (const auto code = demoCommand.Run(global)) return *code;
        if (*windowCommand) return RunWindow(global, window);
    } catch (const std::exception& e) {
        // A member that failed outright (CallError) says which one and why.
        std::cerr << "tivctl: " << e.what() << std::endl;
        return kExitFailure;
    }
    return kExitUsage;
}
