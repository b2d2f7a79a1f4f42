#pragma once

// The monitor commands of tivctl: `record` writes the bus into a record file, `values`
// prints the measured values the engine picks out of the cyclic telegrams.

#include <optional>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "Commands.h"

namespace tivctl {

struct RecordOptions {
    std::string file;
    int mode = 3;         // the engine's file record mode 1..5
    double seconds = 10;  // nominal; 0 runs until SIGINT
    int filter = 0;       // the filter type; 0 lets everything through
    std::string format;   // "rec" or "pcapng"; empty: pcapng for a name ending in ".pcapng"
};

// Whether `record` writes a pcapng capture rather than the driver's record file.
bool IsPcapng(const RecordOptions& record);

struct ValuesOptions {
    std::vector<std::string> slots;  // "S:TYPE:OBJ"; empty: the demo's three cyclic values
    double seconds = 5;              // nominal; 0 runs until SIGINT
};

// One measured-value slot assignment.
struct SlotAssignment {
    int slot = 0;     // 1..10
    int msgType = 0;  // 0..2
    int obj = 0;      // 1..30
};

// Reads "S:TYPE:OBJ" items, each number in its range and every slot at most once. Nullopt with
// `error` set otherwise.
std::optional<std::vector<SlotAssignment>> ParseSlots(const std::vector<std::string>& items,
                                                      std::string& error);

int RunRecord(const GlobalOptions& options, const RecordOptions& record);
int RunValues(const GlobalOptions& options, const ValuesOptions& values);

// The two commands on tivctl's command line.
class RecordingCommands {
public:
    explicit RecordingCommands(CLI::App& app);
    // The exit code of the command given, or nullopt when it was neither of these.
    std::optional<int> Run(const GlobalOptions& options) const;

private:
    RecordOptions record_;
    ValuesOptions values_;
    CLI::App* recordCommand_ = nullptr;
    CLI::App* valuesCommand_ = nullptr;
    CLI::Option* modeOption_ = nullptr;
};

}  // namespace tivctl
