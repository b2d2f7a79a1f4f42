// The response matcher fed frames directly, without the worker thread.

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "os/MessageQueue.h"
#include "tivlink/TelegramCodec.h"
#include "tivlink/TivResults.h"
#include "tivlink/protocol/ResponseMatcher.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

class NullSink final : public tivlink::IDriverEventSink {
public:
    void OnEvent(int) override {}
};

// A matcher with its state block and an event sink that ignores what it is told.
struct Rig {
    explicit Rig(const std::shared_ptr<NullSink>& sink) { events.Connect(sink); }
    tivlink::Diagnostics diagnostics;
    tivlink::DriverState state;
    tivlink::EventPoster events{diagnostics};
    tivlink::ResponseMatcher matcher{state, diagnostics, events};
};

// An unescaped frame around a record whose size byte may claim more than it carries; the
// checksum (16-bit sum) covers what the size byte claims, so the frame verifies.
Bytes Frame(int telType, int dataSize, std::uint8_t control, const Bytes& data) {
    Bytes record(std::size_t(dataSize) + 2, 0);
    record[0] = static_cast<std::uint8_t>(telType << 5 | tivlink::kTransmitTypeLowBits);
    record[1] = static_cast<std::uint8_t>(dataSize);
    record[2] = 29;
    record[3] = 1217 & 0xFF;
    record[4] = 1217 >> 8;
    record[5] = control;
    std::copy(data.begin(), data.end(), record.begin() + tivlink::kRecordHeaderSize);
    const std::uint16_t sum = tivlink::TelegramChecksum(record, false);
    Bytes frame{tivlink::kFrameStart, 0, 0};
    frame.insert(frame.end(), record.begin(), record.end());
    frame.push_back(static_cast<std::uint8_t>(sum & 0xFF));
    frame.push_back(static_cast<std::uint8_t>(sum >> 8));
    frame.push_back(tivlink::kFrameEnd);
    return frame;
}

TEST(ResponseMatcher, DelayedAnswerDataNeverExceedsWhatWasReceived) {
    struct Case {
        const char* name;
        int telType;
        int dataSize;
        std::uint8_t control;
        std::size_t dataBytes;  // expected: data and checksum
    };
    const Case cases[] = {
        {"answer", tivlink::kTelTypeResponse, 6, tivlink::kControlPositive, 4},
        {"delivered service", tivlink::kTelTypeService, 8, tivlink::kControlDelivered, 4},
        // Beyond the valid sizes only the first 136 bytes are taken over.
        {"oversized answer", tivlink::kTelTypeResponse, 200, tivlink::kControlPositive,
         tivlink::kMaxRecordWithChecksum - tivlink::kRecordHeaderSize},
        {"oversized service", tivlink::kTelTypeService, 250, tivlink::kControlDelivered,
         tivlink::kMaxRecordWithChecksum - tivlink::kRecordHeaderSize - 2},
    };
    const auto sink = std::make_shared<NullSink>();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Rig rig(sink);
        tivlink::DriverState& state = rig.state;
        tivlink::ResponseMatcher& matcher = rig.matcher;
        state.delayedPending = true;
        state.delayedSub = 29;
        state.delayedObj = 1217;
        const Bytes data = c.control == tivlink::kControlDelivered
                               ? Bytes{tivlink::kControlPositive, 0, 0x12, 0x34}
                               : Bytes{0x12, 0x34};
        matcher.Match(Frame(c.telType, c.dataSize, c.control, data));
        tivlink::TelegramFields fields;
        Bytes out;
        EXPECT_EQ(matcher.ReceiveAcyclicDelayed(fields, out), 0);
        EXPECT_EQ(out.size(), c.dataBytes);
        ASSERT_GE(out.size(), 2u);
        EXPECT_EQ(out[0], 0x12);
        EXPECT_EQ(out[1], 0x34);
        os::MessageQueue::current().processMessages();
    }
}

// The worker wakes a waiting client only when Match says so: a frame that changed what the
// client waits on must say so, or the client sleeps on until its poll.
TEST(ResponseMatcher, AsksForAWakeExactlyWhenTheTransactionChanged) {
    namespace rx = tivlink::result::ReceiveAcyclic;
    struct Case {
        const char* name;
        bool requestSent, requestSeen, acyclicSeen;
        int telType;
        bool wake;
        int responseState;  // afterwards
    };
    const Case cases[] = {
        {"cyclic, nothing outstanding", false, false, true, 1, false, rx::kWaiting},
        {"last cyclic type keeps the request", false, true, true, 4, false, rx::kWaiting},
        {"cyclic ends a seen request", false, true, true, 1, true, rx::kCyclic},
        {"other station's acyclic traffic", false, false, true, 5, false, rx::kWaiting},
        {"first acyclic frame after a send", false, false, false, 5, true, rx::kWaiting},
        {"our request on the bus", true, false, true, 5, true, rx::kWaiting},
        {"the answer", false, true, true, 6, true, rx::kResponseOk},
        {"another acyclic before the answer", false, true, true, 7, true, rx::kOtherAcyclic},
    };
    const auto sink = std::make_shared<NullSink>();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Rig rig(sink);
        tivlink::DriverState& state = rig.state;
        tivlink::ResponseMatcher& matcher = rig.matcher;
        state.requestedSub = 29;
        state.requestedObj = 1217;
        state.requestSent = c.requestSent;
        state.requestSeen = c.requestSeen;
        state.acyclicSeen = c.acyclicSeen;
        state.responseState = rx::kWaiting;
        EXPECT_EQ(matcher.Match(Frame(c.telType, 4, tivlink::kControlPositive, {})), c.wake);
        EXPECT_EQ(state.responseState.load(), c.responseState);
        os::MessageQueue::current().processMessages();
    }
}

}  // namespace
