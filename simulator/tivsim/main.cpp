// tivsim: serves simulated adapters to other processes as Unix sockets, and talks to a
// running instance.

#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "os/Clock.h"
#include "simulator/Scenario.h"
#include "simulator/Simulator.h"
#include "simulator/SocketServer.h"
#include "usb/SocketProtocol.h"

#include "Demo.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitBadInput = 2;

constexpr auto kControlTimeout = std::chrono::seconds(5);
constexpr std::size_t kMaxReplyLine = 64 * 1024;

// loadScenario names the file itself when it cannot read it.
std::string scenarioMessage(const std::string& file, const sim::ScenarioError& e) {
    const std::string what = e.what();
    return what.rfind(file, 0) == 0 ? what : file + ": " + what;
}

std::string hexByte(int v) {
    static constexpr char digits[] = "0123456789ABCDEF";
    return std::string("0x") + digits[(v >> 4) & 15] + digits[v & 15];
}

int serve(const std::optional<std::string>& scenarioFile, const std::string& dir,
          std::optional<double> scale) {
    if (dir.empty()) {
        std::cerr << "tivsim: --dir DIR is needed to serve (see --help)\n";
        return kExitBadInput;
    }
    sim::Scenario scenario;
    try {
        scenario = scenarioFile ? sim::loadScenario(*scenarioFile) : sim::demoScenario();
    } catch (const sim::ScenarioError& e) {
        std::cerr << "tivsim: " << (scenarioFile ? scenarioMessage(*scenarioFile, e) : e.what())
                  << "\n";
        return kExitBadInput;
    }
    if (scale) os::setClock(std::make_shared<os::ScaledClock>(*scale));

    // Blocked before any thread exists, so every thread inherits the mask and the signals
    // reach only sigwait() below.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    ::signal(SIGPIPE, SIG_IGN);

    std::shared_ptr<sim::Simulator> simulator;
    try {
        simulator = std::make_shared<sim::Simulator>(scenario);
    } catch (const std::exception& e) {
        std::cerr << "tivsim: cannot start the simulator: " << e.what() << "\n";
        return kExitFailure;
    }
    sim::SocketServer server(simulator, dir);
    std::string error;
    if (!server.start(&error)) {
        std::cerr << "tivsim: " << error << "\n";
        return kExitFailure;
    }
    for (const auto& a : scenario.adapters) {
        std::cout << "adapter " << a.device << ": " << server.deviceSocketPath(a.device).string()
                  << " (port " << hexByte(a.port) << ", firmware "
                  << (a.firmwareRunning ? "running" : "none") << ")\n";
    }
    std::cout << "control: " << server.controlSocketPath().string() << "\n"
              << "ready" << std::endl;

    int signal = 0;
    while (sigwait(&stopSignals, &signal) != 0) {
    }
    server.stop();
    std::cerr << "tivsim: " << (signal == SIGINT ? "interrupted" : "terminated")
              << ", sockets removed\n";
    return kExitOk;
}

int control(const std::string& dir, const std::vector<std::string>& words) {
    namespace wire = usbio::wire;
    if (dir.empty() || words.empty()) {
        std::cerr << "tivsim ctl: usage: tivsim ctl --dir DIR COMMAND... (see --help)\n";
        return kExitBadInput;
    }
    std::string line;
    for (const auto& w : words) line += (line.empty() ? "" : " ") + w;
    for (auto& c : line)
        if (c == '\n' || c == '\r') c = ' ';
    line += '\n';

    const std::string path = dir + "/control";
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path) {
        std::cerr << "tivsim ctl: " << path << ": path too long for a Unix socket\n";
        return kExitBadInput;
    }
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || ::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
        std::cerr << "tivsim ctl: no simulator serves " << dir << " (" << path << ": "
                  << std::strerror(errno) << ")\n";
        if (fd >= 0) ::close(fd);
        return kExitBadInput;
    }
    const auto deadline = std::chrono::steady_clock::now() + kControlTimeout;
    std::string reply;
    bool complete = false;
    if (wire::writeAll(fd, line.data(), line.size(), deadline) == wire::Io::ok) {
        char c;
        while (reply.size() < kMaxReplyLine &&
               wire::readExact(fd, &c, 1, deadline) == wire::Io::ok) {
            if (c == '\n') {
                complete = true;
                break;
            }
            reply += c;
        }
    }
    ::close(fd);
    if (!complete) {
        std::cerr << "tivsim ctl: no reply from the simulator at " << dir << "\n";
        return kExitFailure;
    }
    std::cout << reply << "\n";
    return reply.rfind("ok", 0) == 0 ? kExitOk : kExitFailure;
}

int check(const std::string& file) {
    try {
        const auto s = sim::loadScenario(file);
        std::size_t objects = 0;
        for (const auto& d : s.devices) objects += d.objects.size();
        std::cout << file << ": ok (" << s.adapters.size() << " adapter(s), " << s.devices.size()
                  << " device(s), " << objects << " object(s))\n";
        return kExitOk;
    } catch (const sim::ScenarioError& e) {
        std::cerr << "tivsim: " << scenarioMessage(file, e) << "\n";
        return kExitBadInput;
    }
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{
        "Simulated adapters for the driver.\n"
        "  tivsim [--scenario FILE] --dir DIR [--scale F]   serve until SIGINT or SIGTERM\n"
        "  tivsim ctl --dir DIR COMMAND...                   switch faults in a running tivsim\n"
        "  tivsim check FILE                                  validate a scenario file\n"
        "  tivsim demo [--scenario FILE]                      a short guided run"};
    app.footer(
        "Without --scenario the built-in demo scenario is served. Exit codes: 0 ok, 1 runtime "
        "failure (or the simulator refused a ctl command), 2 bad usage or a bad scenario file.");
    app.require_subcommand(0, 1);

    std::optional<std::string> scenarioFile;
    std::string dir;
    std::optional<double> scale;
    app.add_option("-s,--scenario", scenarioFile, "scenario file (JSON)")->type_name("FILE");
    app.add_option("-d,--dir", dir, "directory for the sockets ezusb-N and control")
        ->type_name("DIR");
    app.add_option("--scale", scale, "run the clock F times faster (for tests)")
        ->type_name("F")
        ->check(CLI::Validator(
            [](std::string& text) -> std::string {
                // CLI::Range lets NaN through: every comparison with it is false.
                double value = 0;
                if (!CLI::detail::lexical_cast(text, value) || !std::isfinite(value) ||
                    value < 1e-3 || value > 1e4)
                    return "must be a finite number in 0.001..10000, not " + text;
                return {};
            },
            "in 0.001..10000"));

    auto* ctl = app.add_subcommand("ctl", "send one command to a running tivsim");
    std::string ctlDir;
    ctl->add_option("-d,--dir", ctlDir, "the directory the simulator serves")->type_name("DIR");
    ctl->prefix_command();  // everything after the options is the command, "-1" included
    ctl->footer(std::string("Usage: tivsim ctl --dir DIR COMMAND...\nCommands:\n") +
                sim::Simulator::kControlHelp);

    auto* chk = app.add_subcommand("check", "validate a scenario file");
    std::string checkFile;
    chk->add_option("file", checkFile, "scenario file (JSON)")->type_name("FILE")->required();

    auto* dem = app.add_subcommand("demo", "a short guided run on a simulated adapter");
    std::optional<std::string> demoScenario;
    dem->add_option("-s,--scenario", demoScenario, "scenario file (JSON)")->type_name("FILE");

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e) == 0 ? kExitOk : kExitBadInput;
    }

    try {
        if (*ctl) return control(ctlDir.empty() ? dir : ctlDir, ctl->remaining());
        if (*chk) return check(checkFile);
        if (*dem) return runDemo(demoScenario ? demoScenario : scenarioFile);
        return serve(scenarioFile, dir, scale);
    } catch (const std::exception& e) {
        std::cerr << "tivsim: " << e.what() << "\n";
        return kExitFailure;
    }
}
