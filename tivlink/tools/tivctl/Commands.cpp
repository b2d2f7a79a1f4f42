#include "Commands.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <iostream>
#include <span>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "Decode.h"
#include "DriverClient.h"
#include "Pcapng.h"
#include "os/Clock.h"
#include "qt/GuiSession.h"

namespace tivctl {

using namespace std::chrono_literals;
using tivlink::TivDriverEvent;

namespace {

constexpr std::int32_t kHeaderSize = 4;  // DataSize counts the header and the data bytes
constexpr std::size_t kMaxSendData = 128;
constexpr std::int32_t kControlRead = 0xC0;
constexpr std::int32_t kControlWrite = 0xC1;
namespace rx = tivlink::result::ReceiveAcyclic;
// The monitor's ring buffer, in units of 64 bytes: 64 KiB, more than a saturated full-speed
// USB link delivers between two reads.
constexpr std::int32_t kMonitorBufferUnits = 1024;
constexpr auto kMonitorSlice = 50ms;
// A capture reads more often: each telegram carries the time of the read that fetched it.
constexpr auto kCaptureSlice = 10ms;
constexpr std::int32_t kMaxBusAddress = 15;
constexpr auto kDelayedSlice = 100ms;
// How long an unplug may take to show as an event after a failed transaction (nominal).
constexpr auto kDisconnectGrace = 200ms;
// Failed USB reads the monitor recovers from before it gives up.
constexpr int kMonitorRestarts = 3;

// ---- send ----------------------------------------------------------------------------

// One acyclic telegram as AcyclicTransmission takes and returns it.
struct Fields {
    std::int32_t telType = 5;
    std::int32_t dataSize = kHeaderSize;
    std::int32_t subNo = 0;
    std::int32_t objNo = 0;
    std::int32_t control = kControlRead;
};

struct Answer {
    std::int32_t result = 0;
    Fields fields;
    std::vector<std::uint8_t> data;      // without the checksum
    std::vector<std::uint8_t> checksum;  // the two bytes behind the data, when there
};

// The driver hands back the data with the two checksum bytes behind them.
Answer MakeAnswer(std::int32_t result, const Fields& fields, const com::Variant& raw) {
    Answer a{result, fields, BytesOf(raw), {}};
    if (a.data.size() >= 2) {
        a.checksum.assign(a.data.end() - 2, a.data.end());
        a.data.resize(a.data.size() - 2);
    }
    return a;
}

nlohmann::json AnswerJson(const Answer& a) {
    return {{"result", a.result},
            {"telType", a.fields.telType},
            {"dataSize", a.fields.dataSize},
            {"subNo", a.fields.subNo},
            {"objNo", a.fields.objNo},
            {"control", a.fields.control},
            {"data", HexBytes(a.data)},
            {"checksum", HexBytes(a.checksum)}};
}

// The fields are shown only when an answer came; otherwise they still hold the request.
void PrintAnswer(const char* title, const std::string& text, const Answer& a, bool answered) {
    std::cout << title << text << " (result " << a.result << ")\n";
    if (answered) {
        char fields[160];
        std::snprintf(fields, sizeof fields,
                      "  type byte 0x%02X  size %d  sub %d  obj %d  control 0x%02X (%d)\n",
                      static_cast<unsigned>(a.fields.telType) & 0xFF, a.fields.dataSize,
                      a.fields.subNo, a.fields.objNo,
                      static_cast<unsigned>(a.fields.control) & 0xFF, a.fields.control);
        std::cout << fields << "  data [" << HexBytes(a.data) << "]  checksum ["
                  << HexBytes(a.checksum) << "]\n";
    }
    std::cout.flush();
}

// Waits for the announced delayed answer, letting events run, at most `timeout` (nominal).
Answer AwaitDelayed(DriverClient& client, os::Clock::duration timeout) {
    const auto deadline = os::clock().now() + timeout;
    const int before = client.Count(TivDriverEvent::OnDelayedResponse);
    for (;;) {
        Fields f;
        com::Variant data;
        const std::int32_t result = TIVCTL_CALL(client, ReceiveAcyclicDelayed, &f.telType,
                                                &f.dataSize, &f.subNo, &f.objNo, &f.control, &data);
        const auto left = deadline - os::clock().now();
        if (result != 1 || left <= os::Clock::duration::zero() || Interrupted())
            return MakeAnswer(result, f, data);
        client.PumpUntil(
            [&] {
                return client.Count(TivDriverEvent::OnDelayedResponse) > before ||
                       TIVCTL_GET(client, DelayedResponseState) != 1;
            },
            std::min<os::Clock::duration>(left, kDelayedSlice));
    }
}

// ---- monitor -------------------------------------------------------------------------

}  // namespace

int RunScan(const GlobalOptions& options) {
    DriverClient client;
    if (const int code = client.Open(options); code != kExitOk) return code;

    const std::int32_t found = TIVCTL_CALL(client, GetNumAdapters);
    // The addresses the scan read from the ports; selecting an adapter whose firmware does not
    // answer clears its entry.
    std::vector<std::int32_t> addresses;
    for (int n = 1; n <= found; ++n) addresses.push_back(TIVCTL_CALL(client, GetAddrDueNum, n));

    nlohmann::json adapters = nlohmann::json::array();
    if (!options.json) std::cout << found << " adapter(s)\n";
    int code = kExitOk;
    const auto worsen = [&](int c) {
        // A held lock says more than a failed transfer.
        if (code == kExitOk || c == kExitLocked) code = c;
    };
    nlohmann::json selectedFirmware;
    std::string selectedText;
    for (int n = 1; n <= found; ++n) {
        // Name, tokens, bus address and firmware come from selecting each adapter in turn.
        const auto selection = client.Select(n);
        nlohmann::json adapter = {{"number", n}};
        nlohmann::json firmware;
        std::string text = "  " + std::to_string(n);
        std::string state;
        std::int32_t address = addresses[static_cast<std::size_t>(n - 1)];
        bool addressKnown = address >= 0 && address <= 15;
        const bool loaded = selection.running() && selection.version.size() >= 10;
        // Another program's adapter is left alone past the selection.
        const std::int32_t lock = TIVCTL_CALL(client, LockAdapter);
        if (lock == 2) {
            adapter["locked"] = true;
            state = "locked by another program";
            worsen(kExitLocked);
        } else if (selection.result == 17 || selection.result == 18) {
            adapter["error"] = "USB transfer failed (" + std::to_string(selection.result) + ")";
            state = adapter["error"].get<std::string>();
            worsen(kExitFailure);
        } else if (loaded) {
            if (const auto name = client.AdapterName(); !name.empty()) {
                adapter["name"] = name;
                text += "  " + name;
            }
            // On a failed read the entry is cleared while the member returns the error code:
            // only a value the entry agrees with is an address.
            const auto read = TIVCTL_CALL(client, GetAdapterAddr);
            addressKnown = read == TIVCTL_CALL(client, GetAddrDueNum, n);
            if (addressKnown) {
                address = read;
            } else {
                adapter["error"] = "USB transfer failed (" + std::to_string(read) + ")";
                worsen(kExitFailure);
            }
        } else if (!selection.silent()) {
            adapter["error"] = SelectErrorText(n, selection.result);
            state = "cannot be selected (" + std::to_string(selection.result) + ")";
            worsen(kExitFailure);
        }
        if (lock == 0) TIVCTL_CALL(client, UnlockAdapter);
        if (selection.recovered()) {
            adapter["retried"] = selection.failedTries;
            Error(RecoveredText(n, selection));
        }

        if (addressKnown) {
            adapter["address"] = address;
            text += "  address " + std::to_string(address);
        } else {
            text += "  address unknown";
        }
        firmware["loaded"] = loaded && state.empty();
        if (!state.empty()) {
            text += "  " + state;
        } else if (loaded) {
            const auto& record = selection.version;
            const std::string versionText = Printable(std::span(record).first(6));
            firmware["version"] = versionText;
            firmware["build"] = {record[6], record[7]};
            text += "  firmware \"" + versionText + "\" build " +
                    HexBytes(std::span(record).subspan(6, 2));
            if (adapter.contains("error")) text += "  " + adapter["error"].get<std::string>();
        } else {
            text += "  firmware not loaded";
        }
        adapter["firmware"] = firmware;
        adapters.push_back(adapter);
        if (!options.json) std::cout << text << "\n";

        // The selected adapter's state comes from this one look, so that it cannot tell
        // another story than its line.
        if (n == client.AdapterNumber()) {
            selectedFirmware = firmware;
            selectedFirmware["adapter"] = n;
            selectedText =
                "adapter " + std::to_string(n) + ": firmware " +
                (!state.empty() ? state
                 : firmware["loaded"].get<bool>()
                     ? "running, version \"" + firmware["version"].get<std::string>() + "\""
                     : std::string("not loaded"));
        }
    }
    nlohmann::json result = {{"adapters", adapters}};
    if (found == 0) {
        if (options.json) PrintJson(result);
        Error("no adapter found");
        return kExitFailure;
    }
    if (selectedFirmware.is_null()) {
        Error(SelectErrorText(client.AdapterNumber(), 16));
        worsen(kExitFailure);
    } else {
        result["firmware"] = selectedFirmware;
        if (!options.json) std::cout << selectedText << "\n";
    }
    if (options.json) PrintJson(result);
    std::cout.flush();
    for (const auto& a : adapters) {
        if (a.contains("locked"))
            Error("adapter " + std::to_string(a["number"].get<int>()) + ": " + LockText(2));
        else if (a.contains("error"))
            Error("adapter " + std::to_string(a["number"].get<int>()) + ": " +
                  a["error"].get<std::string>());
    }
    return code;
}

int RunSend(const GlobalOptions& options, const SendOptions& send) {
    std::vector<std::uint8_t> data;
    if (send.data) {
        std::string error;
        auto parsed = ParseHex(*send.data, error);
        if (!parsed) {
            Error("--data: " + error);
            return kExitUsage;
        }
        if (parsed->size() > kMaxSendData) {
            Error("--data: at most " + std::to_string(kMaxSendData) + " bytes, not " +
                  std::to_string(parsed->size()));
            return kExitUsage;
        }
        data = std::move(*parsed);
    }

    DriverClient client;
    if (const int code = client.Open(options); code != kExitOk) return code;
    StopSignals signals;
    if (const int code = client.BringUp(); code != kExitOk) return code;
    Reception reception(client);
    if (const int code = reception.Start(); code != kExitOk) return code;

    Fields io;
    io.telType = send.type;
    io.dataSize = kHeaderSize + static_cast<std::int32_t>(data.size());
    io.subNo = send.sub;
    io.objNo = send.obj;
    io.control = send.control.value_or(send.data ? kControlWrite : kControlRead);
    com::Variant raw = com::Variant::fromBytes(data);
    const std::int32_t result = TIVCTL_CALL(client, AcyclicTransmission, &io.telType, &io.dataSize,
                                            &io.subNo, &io.objNo, &io.control, &raw);
    const Answer answer = MakeAnswer(result, io, raw);
    // A missing answer may mean the adapter went away; the event may still be on its way.
    bool unplugged = false;
    if (result != rx::kResponseOk && result != rx::kDelayed && result != rx::kDeviceError) {
        client.PumpUntil([&] { return client.Disconnected(); }, kDisconnectGrace);
        unplugged = client.Disconnected() && !client.Present();
    }

    std::optional<Answer> delayed;
    if (result == rx::kDelayed)
        delayed = AwaitDelayed(client, std::chrono::milliseconds(send.timeoutMs));
    reception.Stop();

    if (options.json) {
        auto j = AnswerJson(answer);
        if (delayed) j["delayed"] = AnswerJson(*delayed);
        PrintJson(j);
    } else {
        const auto answered = [](int r) {
            return r == rx::kResponseOk || r == rx::kDelayed || r == rx::kDeviceError;
        };
        PrintAnswer("", ResultText(answer.result), answer, answered(answer.result));
        if (delayed)
            PrintAnswer("delayed answer: ", DelayedResultText(delayed->result), *delayed,
                        delayed->result == rx::kResponseOk || delayed->result == rx::kDeviceError);
    }
    if (unplugged)
        Error("adapter " + std::to_string(client.AdapterNumber()) +
              " disconnected during the transaction");
    if (Interrupted()) Error("interrupted");
    const bool ok = result == rx::kResponseOk ||
                    (result == rx::kDelayed && delayed && delayed->result == rx::kResponseOk);
    return ok ? kExitOk : kExitFailure;
}

int RunMonitor(const GlobalOptions& options, const MonitorOptions& monitor,
               CaptureSummary* summary) {
    pcapng::Writer capture;
    const bool capturing = monitor.pcapng.has_value();
    if (capturing) {
        std::string error;
        if (!capture.Open(*monitor.pcapng, error)) {
            Error(error);
            return kExitUsage;
        }
    }
    DriverClient client;
    if (const int code = client.Open(options); code != kExitOk) return code;
    StopSignals signals;
    if (const int code = client.BringUp(); code != kExitOk) return code;
    if (capturing) {
        // A failed read returns its error code and clears the table's entry: only a value
        // the table agrees with is an address.
        const std::int32_t address = TIVCTL_CALL(client, GetAdapterAddr);
        const bool known = address >= 0 && address <= kMaxBusAddress &&
                           address == TIVCTL_CALL(client, GetAddrDueNum, client.AdapterNumber());
        const std::string description =
            known ? "bus address " + std::to_string(address) : std::string("bus address unknown");
        if (!capture.Begin("tiv" + std::to_string(client.AdapterNumber()), description)) {
            Error("cannot write the capture");
            return kExitFailure;
        }
        if (summary) summary->begun = true;
    }

    TIVCTL_PUT(client, BufferSize, kMonitorBufferUnits);
    if (const std::int32_t r = TIVCTL_CALL(client, InitBuffer); r != 0) {
        Error("the receive buffer cannot be allocated (" + std::to_string(r) + ")");
        return kExitFailure;
    }
    Reception reception(client);
    if (const int code = reception.Start(monitor.filter); code != kExitOk) return code;

    const auto start = os::clock().now();
    const bool forever = monitor.seconds <= 0;
    const auto end = start + Nominal(forever ? 0 : monitor.seconds);
    std::uint32_t shown = 0;  // telegrams taken from the buffer
    // Prints what reception stored since the last read; false when the output failed.
    const auto drain = [&] {
        std::int32_t bytes = 0;
        com::Variant data;
        TIVCTL_CALL(client, ReadData, 0, &bytes, &data);
        // Stamped with the time of the read, which the last read may take past the end.
        const auto at = forever ? os::clock().now() : std::min(os::clock().now(), end);
        const double ms = std::chrono::duration<double, std::milli>(at - start).count();
        const auto frames = SplitStoredFrames(BytesOf(data));
        if (capturing) {
            // The interface hands out no time per telegram: each is stamped with its read.
            const auto stamp = std::chrono::duration_cast<std::chrono::microseconds>(
                os::clock().systemNow().time_since_epoch());
            shown += static_cast<std::uint32_t>(frames.size());
            return capture.Write(frames, static_cast<std::uint64_t>(stamp.count()));
        }
        for (const auto& frame : frames) {
            ++shown;
            const auto telegram = DecodeFrame(frame);
            if (options.json)
                PrintJson(TelegramJson(telegram, ms));
            else
                std::cout << TelegramText(telegram, ms) << '\n';
        }
        std::cout.flush();
        return static_cast<bool>(std::cout);
    };

    // Bus connection changes are news for whoever watches the bus.
    bool busConnected = TIVCTL_GET(client, IsTivConnected) != com::VARIANT_FALSE;
    client.OnEvent([&](TivDriverEvent event) {
        if (event != TivDriverEvent::OnTivConnected) return;
        const bool connected = TIVCTL_GET(client, IsTivConnected) != com::VARIANT_FALSE;
        if (connected == busConnected) return;
        busConnected = connected;
        // A capture may own stdout.
        if (capturing)
            std::cerr << (connected ? "tivctl: bus connected" : "tivctl: bus disconnected")
                      << std::endl;
        else if (options.json)
            PrintJson({{"event", "OnTivConnected"}, {"busConnected", connected}});
        else
            std::cout << (connected ? "bus connected" : "bus disconnected") << std::endl;
    });

    int code = kExitOk;
    int restarts = 0;
    while (!Interrupted()) {
        const auto now = os::clock().now();
        if (!forever && now >= end) break;
        const os::Clock::duration every = capturing ? kCaptureSlice : kMonitorSlice;
        const auto slice = forever ? every : std::min<os::Clock::duration>(end - now, every);
        const int discons = client.Count(TivDriverEvent::OnAdapterDiscon);
        client.PumpUntil([&] { return client.Count(TivDriverEvent::OnAdapterDiscon) > discons; },
                         slice);
        if (!drain()) {
            // A live view that was closed ends the capture as an interrupt would.
            if (capture.ReaderGone()) break;
            Error("cannot write the output");
            code = kExitFailure;
            break;
        }
        if (auto problem = reception.Problem(); !problem.empty()) {
            if (reception.Recoverable()) {
                if (restarts < kMonitorRestarts && reception.Restart()) {
                    ++restarts;
                    Error(problem + "; reception restarted");
                    continue;
                }
                // An unplug can fail the read before the device name is gone: ask again.
                if (!client.Present()) problem = "adapter disconnected";
            }
            Error(problem);
            code = kExitFailure;
            break;
        }
    }
    client.OnEvent({});
    reception.Stop();
    if (code == kExitOk && !drain() && !capture.ReaderGone()) {
        Error("cannot write the output");
        code = kExitFailure;
    }
    if (capturing && !capture.Close() && code == kExitOk && !capture.ReaderGone()) {
        Error("cannot write the capture");
        code = kExitFailure;
    }
    if (summary) {
        summary->packets = capture.Packets();
        summary->seconds = std::chrono::duration<double>(os::clock().now() - start).count();
    }
    // The ring drops the oldest telegrams when the output falls behind by a whole buffer.
    const auto stored = static_cast<std::uint32_t>(TIVCTL_GET(client, TelCnt));
    if (code == kExitOk && stored > shown && !capture.ReaderGone())
        Error(std::to_string(stored - shown) + " telegram(s) lost: output too slow");
    if (Interrupted()) Error("interrupted");
    return code;
}

int RunWindow(const GlobalOptions& options, const WindowOptions& window) {
    // The application outlives the driver object, whose window it shows.
    std::string error;
    const auto gui = qtos::GuiSession::Start("tivctl", error);
    if (!gui) {
        Error(error);
        return kExitFailure;
    }
    DriverClient client;
    if (const int code = client.Open(options); code != kExitOk) return code;
    TIVCTL_CALL(client, ShowTestForm, 0);
    StopSignals signals;
    if (const int code = client.BringUp(); code != kExitOk) return code;
    Reception reception(client);
    if (const int code = reception.Start(); code != kExitOk) return code;

    std::string problem;
    gui->Run(Nominal(window.seconds), [&] {
        client.EchoLog();
        problem = reception.Problem();
        return Interrupted() || !problem.empty();
    });
    reception.Stop();
    if (!problem.empty()) {
        Error(problem);
        return kExitFailure;
    }
    if (Interrupted()) Error("interrupted");
    return kExitOk;
}

}  // namespace tivctl
