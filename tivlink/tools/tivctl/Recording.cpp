#include "Recording.h"

#include <unistd.h>

#include <array>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <set>

#include <nlohmann/json.hpp>

#include "Decode.h"
#include "DriverClient.h"
#include "NumberCheck.h"
#include "os/Clock.h"

namespace tivctl {

using namespace std::chrono_literals;
using tivlink::ITivDriver;
using tivlink::TivDriverEvent;

namespace {

constexpr int kMaxFilterType = 16;
constexpr int kSlots = 10;
constexpr auto kLoopSlice = 200ms;

double Seconds(os::Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

// Runs this thread's messages until `seconds` (nominal) have passed, a stop signal came or
// `stop` holds; `tick` runs about once a second. Returns the time it ran.
template <class Stop, class Tick>
os::Clock::duration Pump(DriverClient& client, double seconds, Stop stop, Tick tick) {
    const auto start = os::clock().now();
    const bool forever = seconds <= 0;
    const auto end = start + Nominal(forever ? 0 : seconds);
    auto nextTick = start;
    for (;;) {
        const auto now = os::clock().now();
        if (Interrupted() || stop() || (!forever && now >= end)) break;
        if (now >= nextTick) {
            tick(now - start);
            nextTick += 1s;
        }
        auto slice = std::min<os::Clock::duration>(kLoopSlice, nextTick - now);
        if (!forever) slice = std::min<os::Clock::duration>(slice, end - now);
        client.PumpUntil(stop, slice);
    }
    return os::clock().now() - start;
}

std::optional<int> ParseNumber(std::string_view text, int min, int max) {
    int value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || value < min || value > max)
        return std::nullopt;
    return value;
}

// ---- values --------------------------------------------------------------------------

// What a slot holds, as the driver's properties show it.
struct SlotValue {
    std::int32_t status = 0;
    double value = 0;
    std::int32_t timeStamp = 0;
};

using DoubleGetter = com::HRESULT (ITivDriver::*)(double*);
using LongGetter = com::HRESULT (ITivDriver::*)(std::int32_t*);

constexpr std::array<DoubleGetter, kSlots> kValueGetters = {
    &ITivDriver::get_Value1, &ITivDriver::get_Value2, &ITivDriver::get_Value3,
    &ITivDriver::get_Value4, &ITivDriver::get_Value5, &ITivDriver::get_Value6,
    &ITivDriver::get_Value7, &ITivDriver::get_Value8, &ITivDriver::get_Value9,
    &ITivDriver::get_Value10};
constexpr std::array<LongGetter, kSlots> kStatusGetters = {
    &ITivDriver::get_Status1, &ITivDriver::get_Status2, &ITivDriver::get_Status3,
    &ITivDriver::get_Status4, &ITivDriver::get_Status5, &ITivDriver::get_Status6,
    &ITivDriver::get_Status7, &ITivDriver::get_Status8, &ITivDriver::get_Status9,
    &ITivDriver::get_Status10};
constexpr std::array<LongGetter, kSlots> kTimeStampGetters = {
    &ITivDriver::get_TimeStamp1, &ITivDriver::get_TimeStamp2, &ITivDriver::get_TimeStamp3,
    &ITivDriver::get_TimeStamp4, &ITivDriver::get_TimeStamp5, &ITivDriver::get_TimeStamp6,
    &ITivDriver::get_TimeStamp7, &ITivDriver::get_TimeStamp8, &ITivDriver::get_TimeStamp9,
    &ITivDriver::get_TimeStamp10};

SlotValue ReadSlot(DriverClient& client, int slot) {
    const auto i = static_cast<std::size_t>(slot - 1);
    const std::string n = std::to_string(slot);
    return {client.Call("Status" + n, kStatusGetters[i]),
            client.Call("Value" + n, kValueGetters[i]),
            client.Call("TimeStamp" + n, kTimeStampGetters[i])};
}

// Which slot an OnMvAvailable stands for. Every update posts its own event, and inside its
// handler ValueNr and the slot's getters show that update, even when later ones have
// arrived; reading the other slots there would show later values ahead of their own events.
class SlotWatch {
public:
    void Watch(const SlotAssignment& assignment) { watched_[Index(assignment.slot)] = assignment; }

    std::optional<std::pair<const SlotAssignment*, SlotValue>> Arrived(DriverClient& client) {
        const int slot = TIVCTL_GET(client, ValueNr);
        if (slot < 1 || slot > kSlots || !watched_[Index(slot)]) return std::nullopt;
        return std::pair{&*watched_[Index(slot)], ReadSlot(client, slot)};
    }

private:
    static std::size_t Index(int slot) { return static_cast<std::size_t>(slot - 1); }
    std::array<std::optional<SlotAssignment>, kSlots> watched_{};
};

void PrintValue(const SlotAssignment& a, const SlotValue& v, bool json) {
    if (json) {
        nlohmann::json j = {
            {"slot", a.slot}, {"msgType", a.msgType}, {"obj", a.obj}, {"status", v.status}};
        // JSON has no NaN or infinity; such values stay out.
        if (std::isfinite(v.value)) j["value"] = v.value;
        if (a.msgType == 0) j["timeStamp"] = v.timeStamp;
        PrintJson(j);
        return;
    }
    char line[160];
    std::snprintf(line, sizeof line, "slot %2d  type %d  obj %2d  status 0x%02X  value %.9g",
                  a.slot, a.msgType, a.obj, static_cast<unsigned>(v.status) & 0xFF, v.value);
    std::cout << line;
    if (a.msgType == 0) std::cout << "  time stamp " << v.timeStamp;
    std::cout << std::endl;
}

const std::vector<SlotAssignment> kDemoSlots = {{1, 0, 3}, {2, 1, 4}, {3, 2, 5}};

}  // namespace

std::optional<std::vector<SlotAssignment>> ParseSlots(const std::vector<std::string>& items,
                                                      std::string& error) {
    std::vector<SlotAssignment> slots;
    std::set<int> seen;
    for (const auto& item : items) {
        const auto first = item.find(':');
        const auto second = first == std::string::npos ? first : item.find(':', first + 1);
        if (second == std::string::npos) {
            error = "\"" + item + "\": expected SLOT:TYPE:OBJ";
            return std::nullopt;
        }
        const std::string_view text = item;
        const auto slot = ParseNumber(text.substr(0, first), 1, kSlots);
        const auto type = ParseNumber(text.substr(first + 1, second - first - 1), 0, 2);
        const auto obj = ParseNumber(text.substr(second + 1), 1, 30);
        if (!slot || !type || !obj) {
            error = "\"" + item + "\": slot 1..10, type 0..2 and object 1..30 expected";
            return std::nullopt;
        }
        if (!seen.insert(*slot).second) {
            error = "slot " + std::to_string(*slot) + " is given twice";
            return std::nullopt;
        }
        slots.push_back({*slot, *type, *obj});
    }
    return slots;
}

bool IsPcapng(const RecordOptions& record) {
    if (!record.format.empty()) return record.format == "pcapng";
    return std::filesystem::path(record.file).extension() == ".pcapng";
}

namespace {

// The telegrams the filter lets through, as a pcapng capture: the monitor's reading of the
// bus, written to a file.
int RecordPcapng(const GlobalOptions& options, const RecordOptions& record) {
    MonitorOptions capture;
    capture.seconds = record.seconds;
    capture.pcapng = record.file;
    capture.filter = record.filter;
    CaptureSummary summary;
    const int code = RunMonitor(options, capture, &summary);
    if (!summary.begun) return code;
    if (options.json) {
        PrintJson({{"file", record.file},
                   {"format", "pcapng"},
                   {"seconds", std::round(summary.seconds * 1000) / 1000},
                   {"telegrams", summary.packets}});
    } else {
        char line[200];
        std::snprintf(line, sizeof line, "recorded %llu telegrams (pcapng) in %.1f s",
                      static_cast<unsigned long long>(summary.packets), summary.seconds);
        std::cout << line << " -> " << record.file << std::endl;
    }
    return code;
}

}  // namespace

int RunRecord(const GlobalOptions& options, const RecordOptions& record) {
    if (IsPcapng(record)) return RecordPcapng(options, record);
    DriverClient client;
    if (const int code = client.Open(options); code != kExitOk) return code;
    StopSignals signals;
    errno = 0;
    if (TIVCTL_CALL(client, OpenRecFile, record.file.c_str()) != 0) {
        const int cause = errno;
        Error(record.file + ": cannot create the record file" +
              (cause != 0 ? std::string(": ") + std::strerror(cause) : std::string()));
        return kExitUsage;
    }
    if (const int code = client.BringUp(); code != kExitOk) return code;

    TIVCTL_PUT(client, FileRecMode, record.mode);
    Reception reception(client);
    if (const int code = reception.Start(record.filter); code != kExitOk) {
        TIVCTL_CALL(client, CloseRecFile);
        return code;
    }
    TIVCTL_CALL(client, StartFileRec);

    const bool progress = ::isatty(STDERR_FILENO) == 1;
    const auto showProgress = [&](os::Clock::duration elapsed) {
        if (!progress) return;
        char line[200];
        const long done = std::lround(Seconds(elapsed));
        char total[32] = "";
        if (record.seconds > 0) std::snprintf(total, sizeof total, "/%g", record.seconds);
        std::snprintf(
            line, sizeof line, "\rrecording: %ld%s s  %d bytes  %u telegrams  %d packets\x1b[K",
            done, total, TIVCTL_GET(client, RecFileSize),
            static_cast<std::uint32_t>(TIVCTL_GET(client, TelCnt)), TIVCTL_GET(client, UsbTelCntr));
        std::cerr << line << std::flush;
    };
    const auto elapsed = Pump(
        client, record.seconds, [&] { return !reception.Problem().empty(); }, showProgress);
    const std::string problem = reception.Problem();

    TIVCTL_CALL(client, StopFileRec);
    reception.Stop();
    if (progress) {
        showProgress(elapsed);
        std::cerr << "\n";
    }
    const std::int64_t bytes = TIVCTL_GET(client, RecFileSize);
    const auto telegrams = static_cast<std::uint32_t>(TIVCTL_GET(client, TelCnt));
    const int packets = TIVCTL_GET(client, UsbTelCntr);
    TIVCTL_CALL(client, CloseRecFile);

    int code = kExitOk;
    if (!problem.empty()) {
        Error(problem);
        code = kExitFailure;
    }
    // The driver does not report failed writes; what reached a plain file tells.
    std::error_code ec;
    const auto onDisk = std::filesystem::file_size(record.file, ec);
    if (!ec && std::filesystem::is_regular_file(record.file, ec) &&
        static_cast<std::int64_t>(onDisk) != bytes) {
        Error(record.file + ": only " + std::to_string(onDisk) + " of " + std::to_string(bytes) +
              " bytes were written");
        code = kExitFailure;
    }
    if (options.json) {
        PrintJson({{"file", record.file},
                   {"mode", record.mode},
                   {"seconds", std::round(Seconds(elapsed) * 1000) / 1000},
                   {"bytes", bytes},
                   {"telegrams", telegrams},
                   {"packets", packets}});
    } else {
        char line[200];
        std::snprintf(
            line, sizeof line, "recorded %lld bytes (mode %d) in %.1f s: %u telegrams, %d packets",
            static_cast<long long>(bytes), record.mode, Seconds(elapsed), telegrams, packets);
        std::cout << line << " -> " << record.file << std::endl;
    }
    if (!std::cout) {
        Error("cannot write the output");
        code = kExitFailure;
    }
    if (Interrupted()) Error("interrupted");
    return code;
}

int RunValues(const GlobalOptions& options, const ValuesOptions& values) {
    std::string error;
    auto parsed = ParseSlots(values.slots, error);
    if (!parsed) {
        Error("--slot: " + error);
        return kExitUsage;
    }
    const auto slots = parsed->empty() ? kDemoSlots : *parsed;

    DriverClient client;
    if (const int code = client.Open(options); code != kExitOk) return code;
    StopSignals signals;
    SlotWatch watch;
    for (const auto& s : slots) {
        TIVCTL_CALL(client, AssignMvPara, s.slot, s.msgType, s.obj);
        watch.Watch(s);
    }
    if (const int code = client.BringUp(); code != kExitOk) return code;

    bool outputFailed = false;
    client.OnEvent([&](TivDriverEvent event) {
        if (event != TivDriverEvent::OnMvAvailable || outputFailed) return;
        if (const auto arrived = watch.Arrived(client))
            PrintValue(*arrived->first, arrived->second, options.json);
        if (!std::cout) outputFailed = true;
    });
    Reception reception(client);
    if (const int code = reception.Start(0); code != kExitOk) return code;
    Pump(
        client, values.seconds, [&] { return outputFailed || !reception.Problem().empty(); },
        [](os::Clock::duration) {});
    client.OnEvent({});
    const std::string problem = reception.Problem();
    reception.Stop();
    int code = kExitOk;
    if (outputFailed) {
        Error("cannot write the output");
        code = kExitFailure;
    } else if (!problem.empty()) {
        Error(problem);
        code = kExitFailure;
    }
    if (Interrupted()) Error("interrupted");
    return code;
}

RecordingCommands::RecordingCommands(CLI::App& app) {
    recordCommand_ = app.add_subcommand(
        "record", "record the bus into a file, showing the progress on a terminal");
    recordCommand_->add_option("FILE", record_.file, "the record file (created or replaced)")
        ->required();
    modeOption_ =
        recordCommand_
            ->add_option("--mode", record_.mode,
                         "what goes into the file: 1 every pipe-1 packet, 2 every data packet, "
                         "3 every frame (default), 4 cyclic frames of types 0..2, 5 every frame "
                         "the filter stores")
            ->type_name("N")
            ->check(CLI::Range(1, 5));
    recordCommand_
        ->add_option("--seconds", record_.seconds,
                     "how long to record (default 10; 0: until SIGINT)")
        ->type_name("N")
        ->check(FiniteRange(0.0, 1e6));
    recordCommand_
        ->add_option("--filter", record_.filter,
                     "filter type 0..16 for what is stored (default 0: everything)")
        ->type_name("N")
        ->check(CLI::Range(0, kMaxFilterType));
    recordCommand_
        ->add_option("--format", record_.format,
                     "rec: the driver's record file; pcapng: a capture for packet analysers, "
                     "one packet per telegram (default: pcapng for a FILE ending in .pcapng)")
        ->type_name("rec|pcapng")
        ->check(CLI::IsMember({"rec", "pcapng"}));

    valuesCommand_ = app.add_subcommand(
        "values",
        "print measured values from the cyclic telegrams as they arrive; a value that arrives "
        "again unchanged is not repeated");
    valuesCommand_
        ->add_option("--slot", values_.slots,
                     "assign slot 1..10 to message type 0..2 and object 1..30; repeatable "
                     "(default: 1:0:3 2:1:4 3:2:5)")
        ->type_name("S:TYPE:OBJ");
    valuesCommand_
        ->add_option("--seconds", values_.seconds, "how long to watch (default 5; 0: until SIGINT)")
        ->type_name("N")
        ->check(FiniteRange(0.0, 1e6));
}

std::optional<int> RecordingCommands::Run(const GlobalOptions& options) const {
    if (*recordCommand_) {
        if (IsPcapng(record_) && modeOption_->count() > 0) {
            Error(
                "--mode selects what a record file holds; a pcapng capture holds every "
                "telegram the filter lets through");
            return kExitUsage;
        }
        return RunRecord(options, record_);
    }
    if (*valuesCommand_) return RunValues(options, values_);
    return std::nullopt;
}

}  // namespace tivctl
