#include "AdapterCommands.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <span>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "Decode.h"
#include "DriverClient.h"
#include "NumberCheck.h"
#include "os/Clock.h"

namespace tivctl {

using namespace std::chrono_literals;
using tivlink::TivDriverEvent;

namespace {

using tivlink::result::kFirmwareSilent;
constexpr auto kLoopSlice = 200ms;
constexpr const char* kLockSuffix = "_mtx_UsbDevice__AD";

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

// Selects adapter `number` whether or not its firmware runs; kExitOk, or kExitFailure after
// a message.
int SelectEntry(DriverClient& client, int number) {
    com::Variant version;
    const auto selected = TIVCTL_CALL(client, SelectAdapter, number, 0, &version);
    if (selected == 0 || selected == kFirmwareSilent) return kExitOk;
    Error(SelectErrorText(number, selected));
    return kExitFailure;
}

// The download on stderr: the stage and the time so far, redrawn in place on a terminal,
// otherwise one line at the end, so logs of a run stay readable.
class LoadProgress {
public:
    explicit LoadProgress(bool terminal) : terminal_(terminal) {}

    void Show(const std::string& stage, os::Clock::duration elapsed) {
        if (!terminal_) return;
        char line[160];
        std::snprintf(line, sizeof line, "\rfirmware download: %s, %.1f s\033[K", stage.c_str(),
                      std::chrono::duration<double>(elapsed).count());
        std::cerr << line << std::flush;
        drawn_ = true;
    }
    // Takes the line away so that other output starts clean.
    void Clear() {
        if (!drawn_) return;
        std::cerr << "\r\033[K" << std::flush;
        drawn_ = false;
    }
    void Finish(const std::string& outcome, os::Clock::duration elapsed) {
        Clear();
        char line[160];
        std::snprintf(line, sizeof line, "firmware download: %s after %.1f s\n", outcome.c_str(),
                      std::chrono::duration<double>(elapsed).count());
        std::cerr << line << std::flush;
    }

private:
    bool terminal_;
    bool drawn_ = false;
};

}  // namespace

int RunLoad(const GlobalOptions& options, const LoadOptions& load) {
    DriverClient client;
    if (const int code = client.Open(options); code != kExitOk) return code;
    StopSignals signals;
    const int number = client.AdapterNumber();
    if (const int code = SelectEntry(client, number); code != kExitOk) return code;
    if (const int code = client.Lock(); code != kExitOk) return code;

    LoadProgress progress(::isatty(STDERR_FILENO) == 1);
    std::string stage = "first stage";
    os::Clock::duration elapsed{};
    client.OnEvent([&](TivDriverEvent event) {
        if (event != TivDriverEvent::OnStdLoaded && event != TivDriverEvent::OnFirmwareLoaded)
            return;
        const auto name = tivlink::TivDriverEventName(static_cast<com::DISPID>(event));
        progress.Clear();
        if (options.json)
            PrintJson({{"event", name}});
        else
            std::cout << "event " << name << std::endl;
        if (event == TivDriverEvent::OnStdLoaded)
            stage = "first stage loaded, sending the firmware";
        progress.Show(stage, elapsed);
    });

    // The download runs in the driver's worker thread. It ends with OnFirmwareLoaded, or,
    // when it failed, with a nonzero LoadResult.
    const auto start = os::clock().now();
    TIVCTL_CALL(client, ConnectAdapter, 1);
    const auto deadline = start + Nominal(load.timeoutSeconds);
    std::int32_t result = 0;
    const auto ended = [&] {
        result = TIVCTL_GET(client, LoadResult);
        return client.Count(TivDriverEvent::OnFirmwareLoaded) > 0 || result != 0;
    };
    bool finished = false;
    while (!(finished = ended()) && !Interrupted()) {
        const auto left = deadline - os::clock().now();
        if (left <= os::Clock::duration::zero()) break;
        client.PumpUntil(ended, std::min<os::Clock::duration>(left, kLoopSlice));
        elapsed = os::clock().now() - start;
        progress.Show(stage, elapsed);
    }
    elapsed = os::clock().now() - start;
    client.OnEvent({});
    if (!finished) {
        progress.Finish("not finished", elapsed);
        // Releasing the driver waits for the worker, so the download still ends cleanly.
        Error(Interrupted() ? "interrupted; the download ends first"
                            : "the download did not end in time");
        return kExitFailure;
    }
    progress.Finish(result == 0 ? "done" : "failed (" + std::to_string(result) + ")", elapsed);

    com::Variant version;
    const bool loaded = TIVCTL_CALL(client, IsFirmwareLoaded, &version) != 0;
    const auto record = BytesOf(version);
    if (options.json) {
        nlohmann::json j = {{"result", result},
                            {"adapter", number},
                            {"loaded", loaded},
                            {"seconds", std::chrono::duration<double>(elapsed).count()}};
        if (loaded) AddVersion(j, record);
        PrintJson(j);
    } else {
        std::cout << "load result " << result << ": firmware "
                  << (loaded ? "running, " + VersionText(record) : std::string("not running"))
                  << std::endl;
    }
    if (!loaded) Error("adapter " + std::to_string(number) + ": firmware does not run");
    return loaded ? kExitOk : kExitFailure;
}

int RunSelect(const GlobalOptions& options, const SelectOptions& select) {
    const bool byAddress = select.byAddress;
    if (byAddress ? (select.number < 0 || select.number > 15)
                  : (select.number < 1 || select.number > 16)) {
        Error(byAddress ? "a bus address is 0..15, not " + std::to_string(select.number)
                        : "an adapter number is 1..16, not " + std::to_string(select.number));
        return kExitUsage;
    }
    DriverClient client;
    if (const int code = client.Open(options); code != kExitOk) return code;

    // By address, the number the scan found for it: selecting an adapter whose firmware does
    // not answer clears its address.
    int number = select.number;
    if (byAddress) {
        TIVCTL_CALL(client, GetNumAdapters);
        number = TIVCTL_CALL(client, GetNumDueAddr, select.number);
    }
    com::Variant versionArg;
    const auto result =
        TIVCTL_CALL(client, SelectAdapter, select.number, byAddress ? 1 : 0, &versionArg);
    const auto version = BytesOf(versionArg);
    // The selection is the one look allowed before the lock; the queries behind it wait.
    if (result == 0 || result == kFirmwareSilent)
        if (const int code = client.Lock(); code != kExitOk) return code;
    nlohmann::json j = {{"result", result},
                        {"mode", byAddress ? 1 : 0},
                        {"adapter", number},
                        {"version", HexBytes(version)}};
    std::string details;
    if (result == 0) {
        const std::string name = client.AdapterName();
        const auto address = TIVCTL_CALL(client, GetAdapterAddr);
        const auto token = TIVCTL_CALL(client, GetAdapterToken);
        const auto next = TIVCTL_CALL(client, GetNextToken);
        AddVersion(j, version);
        j["name"] = name;
        j["address"] = address;
        j["adapterToken"] = token;
        j["nextToken"] = next;
        details = "  adapter " + std::to_string(number) + "  " + name + "  address " +
                  std::to_string(address) + "  tokens " + std::to_string(token) + "/" +
                  std::to_string(next) + "\n";
    }
    if (options.json) {
        PrintJson(j);
    } else {
        std::cout << "select " << (byAddress ? "bus address " : "adapter ") << select.number
                  << ": result " << result << "\n"
                  << details;
        if (!version.empty()) {
            std::cout << "  version record " << HexBytes(version);
            if (result == 0) std::cout << "  " << VersionText(version);
            std::cout << "\n";
        }
        std::cout.flush();
    }
    if (result == 0) return kExitOk;
    Error(byAddress && result == tivlink::result::SelectAdapter::kNoAdapterAtAddress
              ? "no adapter at bus address " + std::to_string(select.number)
              : SelectErrorText(number, result));
    return kExitFailure;
}

int RunLock(const GlobalOptions& options, const LockOptions& lock) {
    DriverClient client;
    if (const int code = client.Open(options); code != kExitOk) return code;
    StopSignals signals;
    const int number = client.AdapterNumber();
    // The lock needs the adapter's entry, not its firmware.
    if (const int code = SelectEntry(client, number); code != kExitOk) return code;
    const std::string name = client.AdapterName();
    const std::string what =
        name.empty() ? "adapter " + std::to_string(number) : name + kLockSuffix;

    const auto result = TIVCTL_CALL(client, LockAdapter);
    if (options.json) {
        nlohmann::json j = {{"command", "lock"}, {"result", result}, {"adapter", number}};
        if (!name.empty()) j["name"] = name + kLockSuffix;
        PrintJson(j);
    } else {
        std::cout << "lock " << what << ": result " << result << " (" << LockText(result) << ")"
                  << std::endl;
    }
    if (result != 0) {
        Error(what + ": " + LockText(result));
        // Result 2 keeps exit code 1; a lock that cannot be taken at all has its own.
        return result == 1 || result == 2 || result == 3 ? kExitFailure : kExitLockFailed;
    }

    const auto never = [] { return false; };
    if (lock.seconds > 0)
        client.PumpUntil(never, Nominal(lock.seconds));
    else
        while (!Interrupted()) client.PumpUntil(never, 1h);
    const auto unlocked = TIVCTL_CALL(client, UnlockAdapter);
    if (options.json)
        PrintJson({{"command", "unlock"}, {"result", unlocked}});
    else
        std::cout << "unlock: result " << unlocked << std::endl;
    if (Interrupted()) Error("interrupted");
    if (unlocked == 0) return kExitOk;
    Error(what + ": the lock cannot be released (" + std::to_string(unlocked) + ")");
    return kExitFailure;
}

AdapterCommands::AdapterCommands(CLI::App& app) {
    loadCommand_ = app.add_subcommand(
        "load", "download the firmware into the adapter (in the driver's worker thread)");
    loadCommand_
        ->add_option("--timeout", load_.timeoutSeconds,
                     "how long to wait for the download, in seconds (default 60)")
        ->type_name("N")
        ->check(FiniteRange(1.0, 3600.0));

    selectCommand_ = app.add_subcommand(
        "select", "select an adapter by number (1..16) or bus address (0..15) and show it");
    selectCommand_->add_option("N", select_.number, "adapter number, or bus address")->required();
    selectCommand_->add_flag("--by-address", select_.byAddress, "N is a bus address");

    lockCommand_ = app.add_subcommand(
        "lock", "take the adapter lock and hold it until SIGINT or --seconds have passed");
    lockCommand_
        ->add_option("--seconds", lock_.seconds, "how long to hold it (default 0: until SIGINT)")
        ->type_name("N")
        ->check(FiniteRange(0.0, 1e6));
}

std::optional<int> AdapterCommands::Run(const GlobalOptions& options) const {
    if (*loadCommand_) return RunLoad(options, load_);
    if (*selectCommand_) return RunSelect(options, select_);
    if (*lockCommand_) return RunLock(options, lock_);
    return std::nullopt;
}

}  // namespace tivctl
