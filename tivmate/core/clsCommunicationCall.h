#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "os/Clock.h"

namespace tivmate {

// One Tiv request or response inside the DTM.
struct clsCommunicationCall {
    std::string invokeId;
    std::uint8_t NoOfBytes = 0;  // data length + 4
    std::uint8_t SubNumber = 0;
    std::int32_t ObjectNumber = 0;
    std::uint8_t control = 0;  // control byte of a request, status byte of a response
    std::uint8_t MessageType = 0;
    std::uint8_t ObjectType = 0;
    std::vector<std::uint8_t> Data;
    std::string Filename;
    std::string RecordState;
    std::string RecordCommand;
    std::int16_t RepeatCounter = 0;
    // Time stamp halves in file-time units (UTC) and their sum, the deadline.
    double ResponseTimeHigh = 0, ResponseTimeLow = 0, ResponseTime = 0;
    std::string SpecialFunction;
    // The deadline on the steady clock: decisions use it, so wall-clock jumps neither cut nor
    // stretch a time-out.
    os::Clock::time_point Deadline{};
};

// One value of a cyclic record.
struct clsCyclicElement {
    std::uint8_t ValueNo = 0;  // 1-based
    std::uint8_t DataType = 0;
    std::uint8_t CylicValNo = 0;  // the device's number of the value
};

}  // namespace tivmate

namespace tivmate {

// The communication errors of the error document.
enum fdtTIVCommErrorCode : std::int16_t {
    cecNone = 0,
    cecAbort = 1,
    cecBusy = 2,
    cecInvalidCommunicationReference = 3,
    cecNoConnection = 4,
    cecNoParallelServices = 5,
    cecNoPendingRequest = 6,
    cecUnknownError = 7,
    cecTimeout = 8,
    cecDtmSpecific = 9,
    cecNotSupportedFeature = 10,
    cecChecksumError = 11,
    cecStackOverflow = 12,
    cecMemoryOverflow = 13,
};

}  // namespace tivmate
