#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "tivlink/core/ArrayConversion.h"
#include "tivlink/core/Diagnostics.h"
#include "tivlink/core/DriverEvents.h"
#include "tivlink/core/DriverState.h"
#include "tivlink/protocol/GuardedRecord.h"

namespace tivlink {

// The header fields of a telegram as clients exchange them.
struct TelegramFields {
    std::int32_t telType = 0;
    std::int32_t dataSize = 0;
    std::int32_t subNo = 0;
    std::int32_t objNo = 0;
    std::int32_t control = 0;
};

// Matches received frames against the outstanding request and the pending delayed response,
// and hands the matched records to the client calls. Owns no thread: the worker feeds it
// frames, the client collects; the two meet in the shared state and the two records.
class ResponseMatcher {
public:
    ResponseMatcher(DriverState& state, const Diagnostics& diagnostics, EventPoster& events)
        : state_(state), diagnostics_(diagnostics), events_(events) {}

    // Worker: one assembled frame (0xFA..0xFB, unescaped). True when it changed what a
    // waiting client looks at (the transaction and delayed states, the acyclic flag), so
    // that the client is to be woken.
    bool Match(std::span<const std::uint8_t> frame);

    // Client calls. See the driver object's members of the same names.
    int ReceiveResponse(std::vector<std::uint8_t>& data, std::uint16_t dataVarType);
    int ReceiveAcyclic(TelegramFields& out, std::vector<std::uint8_t>& data,
                       std::uint16_t dataVarType);
    int ReceiveAcyclicDelayed(TelegramFields& out, std::vector<std::uint8_t>& data);

private:
    bool VerifyInto(std::span<const std::uint8_t> frame, GuardedRecord& target);
    void Log(const std::string& line) const { diagnostics_.Log(line); }
    void Show(const std::string& text) const { diagnostics_.Show(text); }

    DriverState& state_;
    const Diagnostics& diagnostics_;
    EventPoster& events_;
    GuardedRecord responseRecord_;
    GuardedRecord delayedRecord_;
};

}  // namespace tivlink
