#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tivlink/core/ArrayConversion.h"
#include "tivlink/core/Diagnostics.h"
#include "tivlink/core/DriverState.h"
#include "tivlink/protocol/ResponseMatcher.h"
#include "tivlink/usb/AdapterLoader.h"
#include "tivlink/usb/CommandPipe.h"

namespace tivlink {

// Sending: telegrams as three transmit blocks on the command pipe, caller-made packets, the
// check settings, and the acyclic transaction that waits for the matcher's answer.
// Client calls.
class Transmitter {
public:
    Transmitter(DriverState& state, const Diagnostics& diagnostics, CommandPipe& pipe,
                AdapterLoader& loader, ResponseMatcher& matcher)
        : state_(state),
          diagnostics_(diagnostics),
          pipe_(pipe),
          loader_(loader),
          matcher_(matcher) {}

    int SendAcyclic(int telType, int dataSize, int subNo, int objNo, int control,
                    const ByteArrayArg& data);
    int SendRequest(const ByteArrayArg& data);
    // Sends `io` and waits for the answer, letting this thread's messages run meanwhile.
    // `dataVarType` is the variant type of the client's data, as the log reports it.
    int AcyclicTransmission(TelegramFields& io, const ByteArrayArg& dataIn,
                            std::vector<std::uint8_t>& dataOut, std::uint16_t dataVarType);
    int WriteData(const ByteArrayArg& data);
    int CheckArrayCRC(const ByteArrayArg& data, int len);
    int SetCheckMethod(int value);
    int SetCheckMode(int value);
    int TivReset();
    int TivSoftstart();

private:
    int SendAcyclicImpl(int telType, int dataSize, int subNo, int objNo, int control,
                        const ByteArrayArg& data, bool wholeRecord);
    void Log(const std::string& line) const { diagnostics_.Log(line); }
    void Show(const std::string& text) const { diagnostics_.Show(text); }

    DriverState& state_;
    const Diagnostics& diagnostics_;
    CommandPipe& pipe_;
    AdapterLoader& loader_;
    ResponseMatcher& matcher_;
};

}  // namespace tivlink
