#include "Recording.h"

#include <unistd.h>

#include <array>
#include <bit>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <set>

#include <nlohmann/json.hpp>

#include "os/Clock.h"
#include "os/MessageQueue.h"
#include "tivlink/protocol/DriverEngine.h"

namespace tivctl {

using namespace std::chrono_literals;

namespace {

constexpr int kMaxFilterType = 16;
constexpr auto kLoopSlice = 200ms;
// How long the worker may take to notice a stop (nominal); it stops after its next packet.
constexpr auto kStopWait = 2s;

void Error(const std::string& text) {
    std::cerr << "tivctl: " << text << std::endl;
}

void PrintJson(const nlohmann::json& j) {
    std::cout << j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) << std::endl;
}

double Seconds(os::Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

os::Clock::duration Nominal(double seconds) {
    return std::chrono::duration_cast<os::Clock::duration>(std::chrono::duration<double>(seconds));
}

// Runs this thread's messages until `seconds` (nominal) have passed, a stop signal came or
// `stop` holds; `tick` runs about once a second and may end the run by returning false.
// Returns the time it ran.
template <class Stop, class Tick>
os::Clock::duration Pump(double seconds, Stop stop, Tick tick) {
    auto queue = os::MessageQueue::forCurrentThread();
    const auto start = os::clock().now();
    const bool forever = seconds <= 0;
    const auto end = start + Nominal(forever ? 0 : seconds);
    auto nextTick = start;
    for (;;) {
        const auto now = os::clock().now();
        if (Interrupted() || stop() || (!forever && now >= end)) break;
        if (now >= nextTick) {
            if (!tick(now - start)) break;
            nextTick += 1s;
        }
        auto slice = std::min<os::Clock::duration>(kLoopSlice, nextTick - now);
        if (!forever) slice = std::min<os::Clock::duration>(slice, end - now);
        queue->runUntil([&] { return Interrupted() || stop(); }, slice);
    }
    return os::clock().now() - start;
}

// Asks reception to stop and waits until the worker has left it, so that the counters and
// the file hold everything it took in.
void StopReception(tivlink::DriverEngine& engine) {
    engine.StopRec();
    os::MessageQueue::forCurrentThread()->runUntil([&] { return !engine.ReceptionRunning(); },
                                                   kStopWait);
}

// Reception started; 0, or the exit code after a message.
int StartReception(tivlink::DriverEngine& engine, int filterType) {
    // A ring, so that a long run never ends because nobody drains the buffer.
    engine.SetBufferMode(1);
    engine.FilterOn();
    engine.Filter().filterType = filterType;
    if (const int started = engine.StartRec(); started != 0) {
        Error("reception does not start (" + std::to_string(started) + ")");
        return kExitFailure;
    }
    return kExitOk;
}

// Why reception ended without being asked to, or empty while it runs.
std::string ReceptionProblem(tivlink::DriverEngine& engine, bool disconnected) {
    if (disconnected) return "adapter disconnected";
    if (!engine.ReceptionRunning())
        return "reception stopped (adapter error " + std::to_string(engine.LastError()) + ")";
    return {};
}

std::optional<int> ParseNumber(std::string_view text, int min, int max) {
    int value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || value < min || value > max)
        return std::nullopt;
    return value;
}

// ---- values --------------------------------------------------------------------------

bool SameContent(const tivlink::MvSlot& a, const tivlink::MvSlot& b) {
    return a.status == b.status && a.timeStamp == b.timeStamp &&
           std::bit_cast<std::uint64_t>(a.value) == std::bit_cast<std::uint64_t>(b.value);
}

// Decides which slots an OnMvAvailable stands for. The event names no slot and ValueNr only
// the latest, so when values arrive close together the others are found by comparing each
// slot with what was printed of it; an unchanged value arriving again is shown only when it
// is the one ValueNr names.
class SlotWatch {
public:
    void Watch(int slot, const tivlink::MvSlot& initial) {
        shown_[Index(slot)] = {true, false, initial};
    }

    std::vector<std::pair<int, tivlink::MvSlot>> Arrived(const tivlink::DriverEngine& engine) {
        const int latest = engine.ValueNr();
        std::vector<std::pair<int, tivlink::MvSlot>> arrived;
        for (int slot = 1; slot <= tivlink::MeasuredValues::kSlots; ++slot) {
            auto& shown = shown_[Index(slot)];
            if (!shown.watched) continue;
            const auto now = engine.MeasuredValue(slot);
            if (SameContent(now, shown.slot) && (slot != latest || shown.printed)) continue;
            shown.slot = now;
            shown.printed = true;
            arrived.emplace_back(slot, now);
        }
        return arrived;
    }

private:
    struct Shown {
        bool watched = false;
        bool printed = false;
        tivlink::MvSlot slot;
    };
    static std::size_t Index(int slot) { return static_cast<std::size_t>(slot - 1); }
    std::array<Shown, tivlink::MeasuredValues::kSlots> shown_{};
};

void PrintValue(int slot, const tivlink::MvSlot& v, bool json) {
    if (json) {
        nlohmann::json j = {
            {"slot", slot}, {"msgType", v.msgType}, {"obj", v.obj}, {"status", v.status}};
        // JSON has no NaN or infinity; such values stay out.
        if (std::isfinite(v.value)) j["value"] = v.value;
        if (v.msgType == 0) j["timeStamp"] = v.timeStamp;
        PrintJson(j);
        return;
    }
    char line[160];
    std::snprintf(line, sizeof line, "slot %2d  type %d  obj %2d  status 0x%02X  value %.9g", slot,
                  v.msgType, v.obj, v.status, v.value);
    std::cout << line;
    if (v.msgType == 0) std::cout << "  time stamp " << v.timeStamp;
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
        const auto slot = ParseNumber(text.substr(0, first), 1, tivlink::MeasuredValues::kSlots);
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

int RunRecord(const GlobalOptions& options, const RecordOptions& record) {
    bool disconnected = false;
    AdapterCommand command;
    command.onEvent = [&](int dispId) {
        if (dispId == tivlink::kOnAdapterDiscon) disconnected = true;
    };
    command.prepare = [&](tivlink::DriverEngine& engine) {
        errno = 0;
        if (engine.OpenRecFile(record.file) != 0) {
            const int cause = errno;
            Error(record.file + ": cannot create the record file" +
                  (cause != 0 ? std::string(": ") + std::strerror(cause) : std::string()));
            return kExitUsage;
        }
        return kExitOk;
    };
    command.body = [&](tivlink::DriverEngine& engine) {
        engine.SetFileRecMode(record.mode);
        if (const int code = StartReception(engine, record.filter); code != kExitOk) {
            engine.CloseRecFile();
            return code;
        }
        engine.StartFileRec();

        const bool progress = ::isatty(STDERR_FILENO) == 1;
        const auto showProgress = [&](os::Clock::duration elapsed) {
            char line[200];
            const long done = std::lround(Seconds(elapsed));
            char total[32] = "";
            if (record.seconds > 0) std::snprintf(total, sizeof total, "/%g", record.seconds);
            std::snprintf(line, sizeof line,
                          "\rrecording: %ld%s s  %lld bytes  %u telegrams  %d packets\x1b[K", done,
                          total, static_cast<long long>(engine.RecFileSize()), engine.TelCnt(),
                          engine.UsbTelCntr());
            std::cerr << line << std::flush;
            return true;
        };
        const auto problemNow = [&] { return !ReceptionProblem(engine, disconnected).empty(); };
        const auto elapsed = Pump(record.seconds, problemNow, [&](os::Clock::duration at) {
            return progress ? showProgress(at) : true;
        });
        const std::string problem = ReceptionProblem(engine, disconnected);

        engine.StopFileRec();
        StopReception(engine);
        if (progress) {
            showProgress(elapsed);
            std::cerr << "\n";
        }
        const std::int64_t bytes = engine.RecFileSize();
        const std::uint32_t telegrams = engine.TelCnt();
        const int packets = engine.UsbTelCntr();
        engine.CloseRecFile();

        int code = kExitOk;
        if (!problem.empty()) {
            Error(problem);
            code = kExitFailure;
        }
        // The engine does not report failed writes; what reached a plain file tells.
        std::error_code ec;
        const auto onDisk = std::filesystem::file_size(record.file, ec);
        if (!ec && std::filesystem::is_regular_file(record.file, ec) &&
            static_cast<std::int64_t>(onDisk) != bytes) {
            Error(record.file + ": only " + std::to_string(onDisk) + " of " +
                  std::to_string(bytes) + " bytes were written");
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
            std::snprintf(line, sizeof line,
                          "recorded %lld bytes (mode %d) in %.1f s: %u telegrams, %d packets",
                          static_cast<long long>(bytes), record.mode, Seconds(elapsed), telegrams,
                          packets);
            std::cout << line << " -> " << record.file << std::endl;
        }
        if (!std::cout) {
            Error("cannot write the output");
            code = kExitFailure;
        }
        if (Interrupted()) Error("interrupted");
        return code;
    };
    return RunOnAdapter(options, command);
}

int RunValues(const GlobalOptions& options, const ValuesOptions& values) {
    std::string error;
    auto parsed = ParseSlots(values.slots, error);
    if (!parsed) {
        Error("--slot: " + error);
        return kExitUsage;
    }
    const auto slots = parsed->empty() ? kDemoSlots : *parsed;

    tivlink::DriverEngine* engine = nullptr;
    SlotWatch watch;
    bool printing = false;
    bool disconnected = false;
    bool outputFailed = false;
    AdapterCommand command;
    command.onEvent = [&](int dispId) {
        if (dispId == tivlink::kOnAdapterDiscon) disconnected = true;
        if (dispId != tivlink::kOnMvAvailable || !printing || !engine) return;
        for (const auto& [slot, value] : watch.Arrived(*engine))
            PrintValue(slot, value, options.json);
        if (!std::cout) outputFailed = true;
    };
    command.prepare = [&](tivlink::DriverEngine& e) {
        engine = &e;
        for (const auto& s : slots) {
            e.AssignMvPara(s.slot, s.msgType, s.obj);
            watch.Watch(s.slot, e.MeasuredValue(s.slot));
        }
        return kExitOk;
    };
    command.body = [&](tivlink::DriverEngine& e) {
        if (const int code = StartReception(e, 0); code != kExitOk) return code;
        printing = true;
        Pump(
            values.seconds,
            [&] { return outputFailed || !ReceptionProblem(e, disconnected).empty(); },
            [](os::Clock::duration) { return true; });
        printing = false;
        const std::string problem = ReceptionProblem(e, disconnected);
        StopReception(e);
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
    };
    return RunOnAdapter(options, command);
}

RecordingCommands::RecordingCommands(CLI::App& app) {
    recordCommand_ = app.add_subcommand(
        "record", "record the bus into a file, showing the progress on a terminal");
    recordCommand_->add_option("FILE", record_.file, "the record file (created or replaced)")
        ->required();
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
        ->check(CLI::Range(0.0, 1e6));
    recordCommand_
        ->add_option("--filter", record_.filter,
                     "filter type 0..16 for what is stored (default 0: everything)")
        ->type_name("N")
        ->check(CLI::Range(0, kMaxFilterType));

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
        ->check(CLI::Range(0.0, 1e6));
}

std::optional<int> RecordingCommands::Run(const GlobalOptions& options) const {
    if (*recordCommand_) return RunRecord(options, record_);
    if (*valuesCommand_) return RunValues(options, values_);
    return std::nullopt;
}

}  // namespace tivctl
