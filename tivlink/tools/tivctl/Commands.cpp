#include "Commands.h"

#include <signal.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <deque>
#include <functional>
#include <iostream>
#include <memory>
#include <mutex>
#include <vector>

#include <nlohmann/json.hpp>

#include "Decode.h"
#include "os/Clock.h"
#include "os/MessageQueue.h"
#include "simulator/SimTransport.h"
#include "tivlink/automation/DriverObject.h"
#include "tivlink/automation/QtGuiSession.h"
#include "tivlink/protocol/DriverEngine.h"
#include "tivlink/protocol/TelegramRecord.h"
#include "tivlink/usb/FirmwareResource.h"
#include "usb/Transport.h"

namespace tivctl {

using namespace std::chrono_literals;

namespace {

constexpr int kFirmwareSilent = 128;
constexpr std::size_t kMaxSendData = tivlink::kMaxDataSize - tivlink::kMinDataSize;
constexpr int kControlRead = 0xC0;
constexpr int kControlWrite = 0xC1;
// Frames the monitor keeps while the output cannot keep up; more are counted and dropped.
constexpr std::size_t kMaxQueuedFrames = 10000;

void Error(const std::string& text) {
    std::cerr << "tivctl: " << text << std::endl;
}

// Strings from the adapter go into JSON, which must stay valid UTF-8 whatever arrives.
void PrintJson(const nlohmann::json& j) {
    std::cout << j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) << std::endl;
}

std::string Printable(std::span<const std::uint8_t> bytes) {
    std::string s;
    for (const auto b : bytes) s += (b >= 0x20 && b < 0x7F) ? static_cast<char>(b) : '?';
    return s;
}

// With --log the log file's lines also go to stderr as they are written, so a run can be
// followed without opening the file. Lines come whole from several threads.
void EchoLogLine(std::string_view text) {
    std::string line = "LOG ";
    line.append(text);
    line += '\n';
    static std::mutex mutex;
    std::lock_guard lock(mutex);
    std::fwrite(line.data(), 1, line.size(), stderr);
}

// Events arrive on the main thread; the monitor ends when the adapter goes away.
class EventSink final : public tivlink::IDriverEventSink {
public:
    explicit EventSink(bool verbose) : verbose_(verbose) {}
    void OnEvent(int dispId) override {
        if (dispId == tivlink::kOnAdapterDiscon) disconnected_ = true;
        if (verbose_) std::cerr << "EVENT " << tivlink::EventName(dispId) << std::endl;
        if (forward_) forward_(dispId);
    }
    bool Disconnected() const { return disconnected_; }
    void Forward(std::function<void(int)> to) { forward_ = std::move(to); }

private:
    bool verbose_;
    std::function<void(int)> forward_;
    std::atomic<bool> disconnected_{false};
};

// One driver object on this thread, over the transport the options name. --log switches its
// log file on; without it the settings file decides, as for any driver object.
class Session {
public:
    // Returns kExitOk when the engine exists, else the exit code after an error message.
    int Open(const GlobalOptions& options) {
        options_ = options;
        std::string error;
        const auto name = TransportName(options, std::getenv("TIV_USB"), error);
        if (!name) {
            Error(error);
            return kExitUsage;
        }
        sim::registerTransportBackend();
        auto transport = usbio::makeTransport(*name, error);
        if (!transport) {
            // An unknown transport, a missing directory or a scenario file that cannot be used; the
            // scenario's message already names its file.
            Error(options.scenario ? error : *name + ": " + error);
            return kExitUsage;
        }
        sink_ = std::make_shared<EventSink>(options.log);
        tivlink::DriverObject::Options driverOptions;
        driverOptions.transport = std::move(transport);
        driverOptions.firmwareImage = tivlink::FirmwareResource();
        if (options.log) {
            driverOptions.logFileOn = true;
            driverOptions.logEcho = EchoLogLine;
        }
        driver_ = std::make_unique<tivlink::DriverObject>(std::move(driverOptions));
        driver_->Engine().ConnectSink(sink_);
        return kExitOk;
    }

    tivlink::DriverObject& Driver() { return *driver_; }
    tivlink::DriverEngine& Engine() { return driver_->Engine(); }
    int AdapterNumber() const { return options_.adapter.value_or(1); }
    bool Disconnected() const { return sink_->Disconnected(); }
    void ForwardEvents(std::function<void(int)> to) { sink_->Forward(std::move(to)); }

    // Selects the adapter, downloading the firmware first when it does not answer.
    int BringUp() {
        const int number = AdapterNumber();
        auto& engine = Engine();
        std::vector<std::uint8_t> version;
        int result = engine.SelectAdapter(number, 0, version);
        if (result == kFirmwareSilent) {
            Error("adapter " + std::to_string(number) +
                  ": firmware does not answer, downloading it...");
            const int loaded = engine.LoadAdapter();
            if (loaded != 0) {
                Error("adapter " + std::to_string(number) + ": firmware download failed (" +
                      std::to_string(loaded) + ")");
                return kExitFailure;
            }
            Error("adapter " + std::to_string(number) + ": firmware loaded");
            result = engine.SelectAdapter(number, 0, version);
        }
        if (result == 0) return kExitOk;
        Error(SelectError(number, result));
        return kExitFailure;
    }

    static std::string SelectError(int number, int result) {
        const std::string which = "adapter " + std::to_string(number);
        switch (result) {
            case 16:
                return which + ": no such adapter";
            case 32:
                return which + ": not present";
            case 64:
                return which + ": number out of range";
            case kFirmwareSilent:
                return which + ": firmware does not answer";
            default:
                return which + ": cannot be selected (" + std::to_string(result) + ")";
        }
    }

private:
    GlobalOptions options_;
    std::shared_ptr<EventSink> sink_;  // outlives the engine
    std::unique_ptr<tivlink::DriverObject> driver_;
};

// ---- send ----------------------------------------------------------------------------

struct Answer {
    int result = 0;
    tivlink::TelegramFields fields;
    std::vector<std::uint8_t> data;      // without the checksum
    std::vector<std::uint8_t> checksum;  // the two bytes behind the data, when there
};

// The engine hands back the data with the two checksum bytes behind them.
Answer MakeAnswer(int result, const tivlink::TelegramFields& fields,
                  const std::vector<std::uint8_t>& raw) {
    Answer a{result, fields, raw, {}};
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
Answer AwaitDelayed(tivlink::DriverEngine& engine, os::Clock::duration timeout) {
    auto queue = os::MessageQueue::forCurrentThread();
    const auto deadline = os::clock().now() + timeout;
    tivlink::TelegramFields fields;
    std::vector<std::uint8_t> raw;
    int result = 1;
    for (;;) {
        result = engine.ReceiveAcyclicDelayed(fields, raw);
        if (result != 1) break;
        const auto left = deadline - os::clock().now();
        if (left <= os::Clock::duration::zero()) break;
        queue->runUntil(
            [&engine] {
                return engine.DelayedResponseState() != 1 || engine.State().delayedExpired;
            },
            std::min<os::Clock::duration>(left, 100ms));
    }
    return MakeAnswer(result, fields, raw);
}

// ---- monitor -------------------------------------------------------------------------

volatile std::sig_atomic_t interrupted = 0;

extern "C" void OnStopSignal(int) {
    interrupted = 1;
}

// Catches SIGINT and SIGTERM for its lifetime; the handler only sets a flag.
class StopSignals {
public:
    StopSignals() {
        interrupted = 0;
        struct sigaction action {};
        action.sa_handler = OnStopSignal;
        sigemptyset(&action.sa_mask);
        sigaction(SIGINT, &action, &oldInt_);
        sigaction(SIGTERM, &action, &oldTerm_);
    }
    ~StopSignals() {
        sigaction(SIGINT, &oldInt_, nullptr);
        sigaction(SIGTERM, &oldTerm_, nullptr);
    }
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

private:
    struct sigaction oldInt_ {};
    struct sigaction oldTerm_ {};
};

// Frames handed over from the worker thread's tap to the main thread.
struct Inbox {
    struct Frame {
        os::Clock::time_point at;
        std::vector<std::uint8_t> bytes;
    };
    std::mutex mutex;
    std::deque<Frame> frames;
    std::size_t dropped = 0;
    bool closed = false;
};

}  // namespace

std::optional<std::string> TransportName(const GlobalOptions& options, const char* environment,
                                         std::string& error) {
    if (options.scenario) {
        if (options.usb && *options.usb != "sim") {
            error =
                "--scenario works only with the simulated adapter (--usb sim), not with --usb " +
                *options.usb;
            return std::nullopt;
        }
        if (options.scenario->empty()) {
            error = "--scenario needs a file name";
            return std::nullopt;
        }
        return "sim:" + *options.scenario;
    }
    if (options.usb) {
        if (options.usb->empty()) {
            error = "--usb needs a transport (sim, sim:FILE or socket:DIR)";
            return std::nullopt;
        }
        return *options.usb;
    }
    if (environment && *environment) return std::string(environment);
    return std::string("sim");
}

int RunScan(const GlobalOptions& options) {
    Session session;
    if (const int code = session.Open(options); code != kExitOk) return code;
    auto& engine = session.Engine();

    const int found = engine.GetNumAdapters();
    nlohmann::json adapters = nlohmann::json::array();
    if (!options.json) std::cout << found << " adapter(s)\n";
    for (int n = 1; n <= found; ++n) {
        // Tokens, bus address and firmware come from selecting each adapter in turn; the
        // address the scan read from the port stays when the firmware does not answer.
        const auto scanned = engine.Adapter(n);
        std::vector<std::uint8_t> version;
        const bool loaded = engine.SelectAdapter(n, 0, version) == 0 && version.size() >= 10;
        const auto entry = loaded ? engine.Adapter(n) : scanned;
        nlohmann::json firmware = {{"loaded", loaded}};
        std::string firmwareText = "firmware not loaded";
        if (loaded) {
            const std::string versionText = Printable(std::span(version).first(6));
            firmware["version"] = versionText;
            firmware["build"] = {version[6], version[7]};
            firmwareText = "tokens " + std::to_string(entry.adapterToken) + "/" +
                           std::to_string(entry.nextToken) + "  firmware \"" + versionText +
                           "\" build " + HexBytes(std::span(version).subspan(6, 2));
        }
        if (options.json) {
            nlohmann::json adapter = {{"number", n},
                                      {"device", entry.deviceName},
                                      {"name", entry.displayName},
                                      {"address", entry.address},
                                      {"firmware", firmware}};
            if (loaded) {
                adapter["adapterToken"] = entry.adapterToken;
                adapter["nextToken"] = entry.nextToken;
            }
            adapters.push_back(adapter);
        } else {
            std::cout << "  " << n << "  " << entry.deviceName << "  " << entry.displayName
                      << "  address " << entry.address << "  " << firmwareText << "\n";
        }
    }
    nlohmann::json result = {{"adapters", adapters}};
    if (found == 0) {
        if (options.json) PrintJson(result);
        Error("no adapter found");
        return kExitFailure;
    }

    // The firmware state of the selected adapter (the first unless --adapter says otherwise);
    // selecting needs no firmware.
    int code = kExitOk;
    {
        const int number = options.adapter.value_or(1);
        std::vector<std::uint8_t> ignored;
        const int selected = engine.SelectAdapter(number, 0, ignored);
        if (selected != 0 && selected != kFirmwareSilent) {
            Error(Session::SelectError(number, selected));
            code = kExitFailure;
        }
    }
    if (code == kExitOk) {
        std::vector<std::uint8_t> version;
        const bool loaded = engine.IsFirmwareLoaded(version);
        nlohmann::json firmware = {{"adapter", engine.SelectedAdapter()}, {"loaded", loaded}};
        std::string text = "adapter " + std::to_string(engine.SelectedAdapter()) + ": firmware ";
        if (loaded && version.size() >= 8) {
            const std::string versionText = Printable(std::span(version).first(6));
            firmware["version"] = versionText;
            firmware["build"] = {version[6], version[7]};
            text += "running, version \"" + versionText + "\" build " +
                    HexBytes(std::span(version).subspan(6, 2));
        } else {
            text += "not loaded";
        }
        result["firmware"] = firmware;
        if (!options.json) std::cout << text << "\n";
    }
    if (options.json) PrintJson(result);
    std::cout.flush();
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

    Session session;
    if (const int code = session.Open(options); code != kExitOk) return code;
    if (const int code = session.BringUp(); code != kExitOk) return code;
    auto& engine = session.Engine();
    // Nobody drains the buffer here: a ring buffer never ends reception when it is full.
    engine.SetBufferMode(1);
    if (const int started = engine.StartReception(); started != 0) {
        Error("reception does not start (" + std::to_string(started) + ")");
        return kExitFailure;
    }

    tivlink::TelegramFields io;
    io.telType = send.type;
    io.dataSize = static_cast<int>(tivlink::kMinDataSize + data.size());
    io.subNo = send.sub;
    io.objNo = send.obj;
    io.control = send.control.value_or(send.data ? kControlWrite : kControlRead);
    std::vector<std::uint8_t> raw;
    const int result = engine.AcyclicTransmission(io, tivlink::ByteArrayArg::Bytes(data), raw);
    const Answer answer = MakeAnswer(result, io, raw);

    std::optional<Answer> delayed;
    if (result == 6) delayed = AwaitDelayed(engine, std::chrono::milliseconds(send.timeoutMs));
    engine.StopReception();

    if (options.json) {
        auto j = AnswerJson(answer);
        if (delayed) j["delayed"] = AnswerJson(*delayed);
        PrintJson(j);
    } else {
        const auto answered = [](int r) { return r == 0 || r == 6 || r == 255; };
        PrintAnswer("", ResultText(answer.result), answer, answered(answer.result));
        if (delayed)
            PrintAnswer("delayed answer: ", DelayedResultText(delayed->result), *delayed,
                        delayed->result == 0 || delayed->result == 255);
    }
    const bool ok = result == 0 || (result == 6 && delayed && delayed->result == 0);
    return ok ? kExitOk : kExitFailure;
}

int RunMonitor(const GlobalOptions& options, const MonitorOptions& monitor) {
    Session session;
    if (const int code = session.Open(options); code != kExitOk) return code;
    if (const int code = session.BringUp(); code != kExitOk) return code;
    auto& engine = session.Engine();

    auto inbox = std::make_shared<Inbox>();
    auto queue = os::MessageQueue::forCurrentThread();
    engine.SetFrameTap([inbox, queue](std::span<const std::uint8_t> frame) {
        {
            std::lock_guard lock(inbox->mutex);
            if (inbox->closed) return;
            if (inbox->frames.size() >= kMaxQueuedFrames) {
                ++inbox->dropped;
                return;
            }
            inbox->frames.push_back({os::clock().now(), {frame.begin(), frame.end()}});
        }
        queue->wake();
    });

    StopSignals signals;
    const auto start = os::clock().now();
    const bool forever = monitor.seconds <= 0;
    const auto end = start + std::chrono::duration_cast<os::Clock::duration>(
                                 std::chrono::duration<double>(forever ? 0 : monitor.seconds));
    // Nobody drains the buffer here: a ring buffer never ends reception when it is full.
    engine.SetBufferMode(1);
    if (const int started = engine.StartReception(); started != 0) {
        Error("reception does not start (" + std::to_string(started) + ")");
        return kExitFailure;
    }

    int code = kExitOk;
    std::deque<Inbox::Frame> batch;
    const auto printBatch = [&] {
        for (const auto& f : batch) {
            if (!forever && f.at > end) break;
            const double ms = std::chrono::duration<double, std::milli>(f.at - start).count();
            const auto telegram = DecodeFrame(f.bytes);
            if (options.json)
                PrintJson(TelegramJson(telegram, ms));
            else
                std::cout << TelegramText(telegram, ms) << std::endl;
        }
        batch.clear();
    };
    while (!interrupted) {
        const auto now = os::clock().now();
        if (!forever && now >= end) break;
        const auto slice =
            forever ? os::Clock::duration(200ms) : std::min<os::Clock::duration>(end - now, 200ms);
        queue->runUntil(
            [&inbox] {
                if (interrupted) return true;
                std::lock_guard lock(inbox->mutex);
                return !inbox->frames.empty();
            },
            slice);
        {
            std::lock_guard lock(inbox->mutex);
            batch.swap(inbox->frames);
        }
        printBatch();
        if (!std::cout) {
            Error("cannot write the output");
            code = kExitFailure;
            break;
        }
        if (session.Disconnected()) {
            Error("adapter disconnected");
            code = kExitFailure;
            break;
        }
    }
    engine.StopReception();
    std::size_t dropped = 0;
    {
        std::lock_guard lock(inbox->mutex);
        inbox->closed = true;
        batch.swap(inbox->frames);
        dropped = inbox->dropped;
    }
    if (code == kExitOk) printBatch();
    if (dropped > 0) Error(std::to_string(dropped) + " telegram(s) dropped: output too slow");
    if (interrupted) Error("interrupted");
    return code;
}

int RunWindow(const GlobalOptions& options, const WindowOptions& window) {
    // The application must outlive the driver object, whose window it shows.
    std::string error;
    const auto gui = tivlink::QtGuiSession::Start(error);
    if (!gui) {
        Error(error);
        return kExitFailure;
    }
    Session session;
    if (const int code = session.Open(options); code != kExitOk) return code;
    auto& driver = session.Driver();
    driver.ShowTestForm(0);
    if (const int code = session.BringUp(); code != kExitOk) return code;
    auto& engine = session.Engine();
    // Nobody drains the buffer here: a ring buffer never ends reception when it is full.
    engine.SetBufferMode(1);
    if (const int started = engine.StartReception(); started != 0) {
        Error("reception does not start (" + std::to_string(started) + ")");
        return kExitFailure;
    }

    StopSignals signals;
    const auto limit = std::chrono::duration_cast<os::Clock::duration>(
        std::chrono::duration<double>(window.seconds));
    gui->Run(driver.Form(), limit, [&session] { return interrupted || session.Disconnected(); });
    engine.StopReception();
    if (session.Disconnected()) {
        Error("adapter disconnected");
        return kExitFailure;
    }
    if (interrupted) Error("interrupted");
    return kExitOk;
}

bool Interrupted() {
    return interrupted != 0;
}

int RunOnAdapter(const GlobalOptions& options, const AdapterCommand& command) {
    Session session;
    if (const int code = session.Open(options); code != kExitOk) return code;
    if (command.onEvent) session.ForwardEvents(command.onEvent);
    StopSignals signals;
    if (command.prepare)
        if (const int code = command.prepare(session.Engine()); code != kExitOk) return code;
    if (const int code = session.BringUp(); code != kExitOk) return code;
    return command.body(session.Engine());
}

int RunOnDriver(const GlobalOptions& options,
                const std::function<int(tivlink::DriverEngine&)>& body,
                const std::function<void(int dispId)>& onEvent) {
    Session session;
    if (const int code = session.Open(options); code != kExitOk) return code;
    if (onEvent) session.ForwardEvents(onEvent);
    StopSignals signals;
    return body(session.Engine());
}

std::string SelectErrorText(int number, int result) {
    return Session::SelectError(number, result);
}

}  // namespace tivctl
