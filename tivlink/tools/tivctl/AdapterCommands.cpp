#include "AdapterCommands.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "Decode.h"
#include "os/Clock.h"
#include "os/MessageQueue.h"
#include "tivlink/protocol/DriverEngine.h"

namespace tivctl {

using namespace std::chrono_literals;

namespace {

constexpr int kFirmwareSilent = 128;
constexpr int kStageTwoPackets = 365;
constexpr int kBarWidth = 40;
constexpr auto kLoopSlice = 200ms;
constexpr const char* kLockSuffix = "_mtx_UsbDevice__AD";

void Error(const std::string& text) {
    std::cerr << "tivctl: " << text << std::endl;
}

void PrintJson(const nlohmann::json& j) {
    std::cout << j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) << std::endl;
}

os::Clock::duration Nominal(double seconds) {
    return std::chrono::duration_cast<os::Clock::duration>(std::chrono::duration<double>(seconds));
}

std::string Printable(std::span<const std::uint8_t> bytes) {
    std::string s;
    for (const auto b : bytes) s += (b >= 0x20 && b < 0x7F) ? static_cast<char>(b) : '?';
    return s;
}

// The version text and build bytes of a valid version record.
void AddVersion(nlohmann::json& j, const std::vector<std::uint8_t>& version) {
    if (version.size() < 10) return;
    j["versionText"] = Printable(std::span(version).first(6));
    j["build"] = {version[6], version[7]};
}

std::string VersionText(const std::vector<std::uint8_t>& version) {
    if (version.size() < 10) return {};
    return "version \"" + Printable(std::span(version).first(6)) + "\" build " +
           HexBytes(std::span(version).subspan(6, 2));
}

// The second download stage on stderr: a bar redrawn in place on a terminal, otherwise one
// line at the end, so logs of a run stay readable.
class ProgressBar {
public:
    explicit ProgressBar(bool terminal) : terminal_(terminal) {}

    void Show(int packets) {
        packets_ = std::clamp(packets, 0, kStageTwoPackets);
        if (!terminal_ || packets_ == 0) return;
        const int filled = packets_ * kBarWidth / kStageTwoPackets;
        std::string line = "\r[" + std::string(static_cast<std::size_t>(filled), '#') +
                           std::string(static_cast<std::size_t>(kBarWidth - filled), '.') + "] " +
                           std::to_string(packets_) + "/" + std::to_string(kStageTwoPackets) +
                           " packets";
        std::cerr << line << std::flush;
        drawn_ = true;
    }
    // Takes the bar off the line so that other output starts clean.
    void Clear() {
        if (!drawn_) return;
        std::cerr << "\r\033[K" << std::flush;
        drawn_ = false;
    }
    void Finish() {
        if (drawn_) {
            std::cerr << "\n";
            drawn_ = false;
        } else {
            std::cerr << "firmware download: " << packets_ << " of " << kStageTwoPackets
                      << " packets sent\n";
        }
        std::cerr.flush();
    }
    int Packets() const { return packets_; }

private:
    bool terminal_;
    bool drawn_ = false;
    int packets_ = 0;
};

std::string LockText(int result) {
    switch (result) {
        case 0:
            return "locked";
        case 1:
            return "this process holds the lock already";
        case 2:
            return "another program holds the lock";
        case 3:
            return "the lock is in an unknown state";
        default:
            return "the lock cannot be taken (error " + std::to_string(result) + ")";
    }
}

}  // namespace

int RunLoad(const GlobalOptions& options, const LoadOptions& load) {
    ProgressBar bar(::isatty(STDERR_FILENO) == 1);
    const auto onEvent = [&](int dispId) {
        if (dispId != tivlink::kOnStdLoaded && dispId != tivlink::kOnFirmwareLoaded) return;
        bar.Clear();
        if (options.json)
            PrintJson({{"event", tivlink::EventName(dispId)}});
        else
            std::cout << "event " << tivlink::EventName(dispId) << std::endl;
        bar.Show(bar.Packets());
    };
    const auto body = [&](tivlink::DriverEngine& engine) {
        const int number = options.adapter.value_or(1);
        std::vector<std::uint8_t> version;
        const int selected = engine.SelectAdapter(number, 0, version);
        if (selected != 0 && selected != kFirmwareSilent) {
            Error(SelectErrorText(number, selected));
            return kExitFailure;
        }

        auto queue = os::MessageQueue::forCurrentThread();
        auto progress = std::make_shared<std::atomic<int>>(0);
        engine.SetLoadProgress([progress, queue](int packet) {
            progress->store(packet);
            queue->wake();
        });
        const auto downloading = [&engine] {
            return engine.State().threadCommand.load() == tivlink::kThreadDownload;
        };
        engine.ConnectAdapter(1);
        const auto deadline = os::clock().now() + Nominal(load.timeoutSeconds);
        while (downloading() && !Interrupted()) {
            const auto left = deadline - os::clock().now();
            if (left <= os::Clock::duration::zero()) break;
            const int shown = progress->load();
            queue->runUntil(
                [&] { return Interrupted() || !downloading() || progress->load() != shown; },
                std::min<os::Clock::duration>(left, kLoopSlice));
            bar.Show(progress->load());
        }
        const bool finished = !downloading();
        // The events the download posted last.
        queue->processMessages();
        engine.SetLoadProgress(nullptr);
        bar.Show(progress->load());
        bar.Finish();
        if (!finished) {
            // The driver's release waits for the worker, so the download still ends cleanly.
            Error(Interrupted() ? "interrupted; the download ends first"
                                : "the download did not end in time");
            return kExitFailure;
        }

        const int result = engine.LoadResult();
        version.clear();
        const bool loaded = engine.IsFirmwareLoaded(version);
        if (options.json) {
            nlohmann::json j = {{"result", result},
                                {"adapter", engine.SelectedAdapter()},
                                {"loaded", loaded},
                                {"packets", progress->load()}};
            if (loaded) AddVersion(j, version);
            PrintJson(j);
        } else {
            std::cout << "load result " << result << ": firmware "
                      << (loaded ? "running, " + VersionText(version) : std::string("not running"))
                      << std::endl;
        }
        if (!loaded) Error("adapter " + std::to_string(number) + ": firmware does not run");
        return loaded ? kExitOk : kExitFailure;
    };
    return RunOnDriver(options, body, onEvent);
}

int RunSelect(const GlobalOptions& options, const SelectOptions& select) {
    const bool byAddress = select.byAddress;
    if (byAddress ? (select.number < 0 || select.number > 15)
                  : (select.number < 1 || select.number > 16)) {
        Error(byAddress ? "a bus address is 0..15, not " + std::to_string(select.number)
                        : "an adapter number is 1..16, not " + std::to_string(select.number));
        return kExitUsage;
    }
    const auto body = [&](tivlink::DriverEngine& engine) {
        std::vector<std::uint8_t> version;
        const int result = engine.SelectAdapter(select.number, byAddress ? 1 : 0, version);
        const int number = engine.SelectedAdapter();
        const auto entry = engine.Adapter(number);
        if (options.json) {
            nlohmann::json j = {{"result", result},
                                {"mode", byAddress ? 1 : 0},
                                {"adapter", number},
                                {"version", HexBytes(version)}};
            if (result == 0) {
                AddVersion(j, version);
                j["device"] = entry.deviceName;
                j["name"] = entry.displayName;
                j["address"] = entry.address;
                j["adapterToken"] = entry.adapterToken;
                j["nextToken"] = entry.nextToken;
            }
            PrintJson(j);
        } else {
            std::cout << "select " << (byAddress ? "bus address " : "adapter ") << select.number
                      << ": result " << result << "\n";
            if (result == 0) {
                std::cout << "  adapter " << number << "  " << entry.deviceName << "  "
                          << entry.displayName << "  address " << entry.address << "  tokens "
                          << entry.adapterToken << "/" << entry.nextToken << "\n";
            }
            if (!version.empty()) {
                std::cout << "  version record " << HexBytes(version);
                if (result == 0) std::cout << "  " << VersionText(version);
                std::cout << "\n";
            }
            std::cout.flush();
        }
        if (result == 0) return kExitOk;
        Error(byAddress && result == 16
                  ? "no adapter at bus address " + std::to_string(select.number)
                  : SelectErrorText(byAddress ? number : select.number, result));
        return kExitFailure;
    };
    return RunOnDriver(options, body, {});
}

int RunLock(const GlobalOptions& options, const LockOptions& lock) {
    const auto body = [&](tivlink::DriverEngine& engine) {
        const int number = options.adapter.value_or(1);
        if (options.adapter) {
            // The lock needs the adapter's entry, not its firmware.
            std::vector<std::uint8_t> version;
            const int selected = engine.SelectAdapter(number, 0, version);
            if (selected != 0 && selected != kFirmwareSilent) {
                Error(SelectErrorText(number, selected));
                return kExitFailure;
            }
        }
        const auto entry = engine.Adapter(engine.SelectedAdapter());
        if (entry.deviceName.empty()) {
            Error("adapter " + std::to_string(number) + ": no such adapter");
            return kExitFailure;
        }
        const std::string name = entry.displayName + kLockSuffix;
        const int result = engine.LockAdapter();
        if (options.json)
            PrintJson({{"command", "lock"}, {"result", result}, {"name", name}});
        else
            std::cout << "lock " << name << ": result " << result << " (" << LockText(result) << ")"
                      << std::endl;
        if (result != 0) {
            Error(name + ": " + LockText(result));
            return kExitFailure;
        }

        auto queue = os::MessageQueue::forCurrentThread();
        const bool forever = lock.seconds <= 0;
        const auto end = os::clock().now() + Nominal(forever ? 0 : lock.seconds);
        while (!Interrupted()) {
            const auto left = end - os::clock().now();
            if (!forever && left <= os::Clock::duration::zero()) break;
            queue->runUntil([] { return Interrupted(); },
                            forever ? kLoopSlice : std::min<os::Clock::duration>(left, kLoopSlice));
        }
        const int unlocked = engine.UnlockAdapter();
        if (options.json)
            PrintJson({{"command", "unlock"}, {"result", unlocked}});
        else
            std::cout << "unlock: result " << unlocked << std::endl;
        if (Interrupted()) Error("interrupted");
        if (unlocked == 0) return kExitOk;
        Error(name + ": the lock cannot be released (" + std::to_string(unlocked) + ")");
        return kExitFailure;
    };
    return RunOnDriver(options, body, {});
}

AdapterCommands::AdapterCommands(CLI::App& app) {
    loadCommand_ = app.add_subcommand(
        "load", "download the firmware into the adapter (in the driver's worker thread)");
    loadCommand_
        ->add_option("--timeout", load_.timeoutSeconds,
                     "how long to wait for the download, in seconds (default 60)")
        ->type_name("N")
        ->check(CLI::Range(1.0, 3600.0));

    selectCommand_ = app.add_subcommand(
        "select", "select an adapter by number (1..16) or bus address (0..15) and show it");
    selectCommand_->add_option("N", select_.number, "adapter number, or bus address")->required();
    selectCommand_->add_flag("--by-address", select_.byAddress, "N is a bus address");

    lockCommand_ = app.add_subcommand(
        "lock", "take the adapter lock and hold it until SIGINT or --seconds have passed");
    lockCommand_
        ->add_option("--seconds", lock_.seconds, "how long to hold it (default 0: until SIGINT)")
        ->type_name("N")
        ->check(CLI::Range(0.0, 1e6));
}

std::optional<int> AdapterCommands::Run(const GlobalOptions& options) const {
    if (*loadCommand_) return RunLoad(options, load_);
    if (*selectCommand_) return RunSelect(options, select_);
    if (*lockCommand_) return RunLock(options, lock_);
    return std::nullopt;
}

}  // namespace tivctl
