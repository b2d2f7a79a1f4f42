// The engine against a scripted adapter: what goes out in the transmit blocks, how the
// frames that come back are matched, connection and login state, events and release.

#include "support/EngineRig.h"
#include "tivlink/TelegramCodec.h"

using namespace enginetest;
using tivlink::ByteArrayArg;
using tivlink::TelegramFields;

namespace {

TelegramFields Sentinel() {
    return {-7, -7, -7, -7, -7};
}

bool Same(const TelegramFields& a, const TelegramFields& b) {
    return a.telType == b.telType && a.dataSize == b.dataSize && a.subNo == b.subNo &&
           a.objNo == b.objNo && a.control == b.control;
}

// Starts reception and sends a read request for 1217/29; leaves the blocks recorded.
void SendRead(ScriptedRig& r, int sub = 29, int obj = 1217) {
    ASSERT_EQ(r.engine->StartReception(), 0);
    r.transport->Clear();
    ASSERT_EQ(r.engine->SendAcyclic(5, 4, sub, obj, 0xC0, ByteArrayArg{}), 0);
}

// A CRC frame that lost the high byte of its checksum, with data chosen so that the closing
// 0xFB is exactly what that byte should have been: read as checksum, it would pass.
Bytes OneByteShort(Bytes record) {
    record.resize(record.size() + 2);
    record[1] = static_cast<std::uint8_t>(record[1] + 2);
    const auto plain = [](std::uint8_t b) { return b < 0xF9; };
    for (int a = 0; a < 0xF9; ++a) {
        for (int b = 0; b < 0xF9; ++b) {
            record[record.size() - 2] = static_cast<std::uint8_t>(a);
            record[record.size() - 1] = static_cast<std::uint8_t>(b);
            const auto crc = tivlink::Crc16(record);
            if (crc >> 8 != 0xFB || !plain(crc & 0xFF) ||
                !std::all_of(record.begin(), record.end(), plain))
                continue;
            Bytes frame{0xFA, static_cast<std::uint8_t>(record.size() + 2), 0x80};
            frame.insert(frame.end(), record.begin(), record.end());
            frame.push_back(static_cast<std::uint8_t>(crc & 0xFF));
            frame.push_back(0xFB);
            return frame;
        }
    }
    ADD_FAILURE() << "no such data";
    return {};
}

// Waits without letting this thread's messages run, so that posted events stay queued.
bool WaitQueued(const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

// The line after the first one that starts with `prefix`, and the `n` after it.
std::vector<std::string> LinesFrom(const std::vector<std::string>& lines, const std::string& prefix,
                                   std::size_t n) {
    const auto at = std::find_if(lines.begin(), lines.end(),
                                 [&](const std::string& l) { return l.rfind(prefix, 0) == 0; });
    if (at == lines.end()) return {};
    return {at, at + static_cast<std::ptrdiff_t>(
                         std::min<std::size_t>(n + 1, static_cast<std::size_t>(lines.end() - at)))};
}

// Announces a delayed answer for 1301/2 and collects the announcement.
void AnnounceDelayed(ScriptedRig& r) {
    SendRead(r, 2, 1301);
    r.transport->QueueFrame(Request(5, 2, 1301, 0xC0));
    r.transport->QueueFrame(Request(6, 2, 1301, 0x01, {5}));
    ASSERT_TRUE(PumpUntil([&] { return r.engine->ResponseState() == 0; }));
    TelegramFields f;
    Bytes data;
    ASSERT_EQ(r.engine->ReceiveAcyclic(f, data), 6);
}

}  // namespace

TEST(EngineTransmit, ShortTelegramGoesOutAsThreeBlocks) {
    ScriptedRig r;
    const std::uint8_t none[1] = {};
    EXPECT_EQ(r.engine->SendAcyclic(5, 4, 1, 0x0102, 0, ByteArrayArg::Bytes({none, 0})), 0);
    const auto w = r.transport->CommandPackets();
    ASSERT_EQ(w.size(), 3u);
    EXPECT_EQ(w[0][0], 0xA1);
    EXPECT_EQ(w[1][0], 0xA2);
    EXPECT_EQ(w[2][0], 0xA3);
    const Bytes head(w[0].begin() + 1, w[0].begin() + 7);
    EXPECT_EQ(head, (Bytes{0xA2, 0x04, 0x01, 0x02, 0x01, 0x00}));
    EXPECT_TRUE(std::all_of(w[1].begin() + 1, w[1].end(), [](auto b) { return b == 0; }));
    // The check method starts as the sum: 0x00AA, low byte first at bytes 33 and 34.
    EXPECT_EQ(w[2][33], 0xAA);
    EXPECT_EQ(w[2][34], 0x00);
    EXPECT_EQ(r.engine->ResponseState(), 1);

    const auto lines = r.log->Lines();
    EXPECT_TRUE(HasLine(lines,
                        "Entry:SendAcyclic,Type:5 - Size:4 - SubNo:1 - ObjNo:258 - Ctrl:0 - "
                        "DataType:2011H ----------"));
    EXPECT_TRUE(HasLine(lines, "SendAcyclic->transmit Block 2 Ok"));
    EXPECT_TRUE(HasLine(lines, "Exit:SendAcyclic:0 ++++++++++"));
    Bytes none2;
    EXPECT_EQ(r.engine->ReceiveResponse(none2), -1);
    const std::uint8_t packet[12] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 0xFA, 0xEE, 0xEE};
    EXPECT_EQ(r.engine->WriteData(ByteArrayArg::Bytes(packet)), 0);
    const auto shown = r.window->Items();
    for (const char* text :
         {"erster Block gesendet", "zweiter Block gesendet", "dritter Block gesendet - 00AAH",
          "Daten geholt - 1", "Daten gesendet- 01 02 03 04 05 06 07 08 09 FA"})
        EXPECT_TRUE(HasLine(shown, text)) << text;
}

TEST(EngineTransmit, CheckSettingsReachTheAdapterOnlyWhenItsFirmwareAnswers) {
    using tivlink::DriverEngine;
    const struct {
        const char* name;
        int (DriverEngine::*set)(int);
        bool (DriverEngine::*get)() const;
        std::uint8_t command;
    } cases[] = {
        {"method", &DriverEngine::SetCheckMethod, &DriverEngine::GetCheckMethod, 0xDC},
        {"mode", &DriverEngine::SetCheckMode, &DriverEngine::GetCheckMode, 0xDA},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedRig r;
        auto& e = *r.engine;
        for (const int value : {1, 0}) {
            r.transport->Clear();
            EXPECT_EQ((e.*c.set)(value), 0);
            EXPECT_EQ((e.*c.get)(), value != 0);
            // The firmware is asked first (0xF0), then the setting goes out.
            const auto w = r.transport->CommandPackets();
            ASSERT_EQ(w.size(), 2u);
            EXPECT_EQ(w[0][0], 0xF0);
            EXPECT_EQ(w[1][0], c.command);
            EXPECT_EQ(w[1][1], value);
        }
        r.transport->SetFailWrites(true);
        EXPECT_EQ((e.*c.set)(1), -1);
        EXPECT_FALSE((e.*c.get)());
    }
}

TEST(EngineTransmit, SizesAndTypesOutsideTheRecordAreRefused) {
    ScriptedRig r;
    const std::uint8_t data[3] = {1, 2, 3};
    EXPECT_EQ(r.engine->SendAcyclic(6, 4, 1, 1, 0, ByteArrayArg::Bytes(data)), -1);
    EXPECT_EQ(r.engine->SendAcyclic(5, -1, 1, 1, 0, ByteArrayArg::Bytes(data)), 128);
    EXPECT_EQ(r.engine->SendAcyclic(5, 133, 1, 1, 0, ByteArrayArg::Bytes(data)), 128);
    EXPECT_TRUE(r.transport->CommandPackets().empty());

    // A size below 5 becomes 4, and the data are dropped.
    EXPECT_EQ(r.engine->SendAcyclic(7, 2, 1, 1, 3, ByteArrayArg::Bytes(data)), 0);
    const auto w = r.transport->CommandPackets();
    ASSERT_EQ(w.size(), 3u);
    EXPECT_EQ(w[0][2], 4);
    EXPECT_EQ(w[0][7], 0);
}

TEST(EngineTransmit, FullRecordFillsTheBlocksAndWideElementsGiveTheirLowByte) {
    ScriptedRig r;
    std::vector<std::int16_t> data(128);
    for (int i = 0; i < 128; ++i)
        data[static_cast<std::size_t>(i)] = static_cast<std::int16_t>(0x1100 + i);
    ASSERT_EQ(r.engine->SendAcyclic(5, 132, 9, 77, 0xC1, ByteArrayArg::Int16s(data)), 0);
    const auto w = r.transport->CommandPackets();
    ASSERT_EQ(w.size(), 3u);
    Bytes record;
    record.insert(record.end(), w[0].begin() + 1, w[0].begin() + 55);
    record.insert(record.end(), w[1].begin() + 1, w[1].begin() + 49);
    record.insert(record.end(), w[2].begin() + 1, w[2].begin() + 33);
    ASSERT_EQ(record.size(), 134u);
    for (int i = 0; i < 128; ++i) EXPECT_EQ(record[6 + static_cast<std::size_t>(i)], i);
    const auto sum = tivlink::Sum16(record);
    EXPECT_EQ(w[2][33] | w[2][34] << 8, sum);

    // A whole record through SendRequest, from 32-bit elements.
    r.transport->Clear();
    const std::vector<std::int32_t> rec = {0x1A2, 0x104, 0x201, 0x302, 0x401, 0x5C0};
    EXPECT_EQ(r.engine->SendRequest(ByteArrayArg::Int32s(rec)), 0);
    const auto w2 = r.transport->CommandPackets();
    ASSERT_EQ(w2.size(), 3u);
    EXPECT_EQ(Bytes(w2[0].begin() + 1, w2[0].begin() + 7), (Bytes{0xA2, 4, 1, 2, 1, 0xC0}));
}

TEST(EngineTransmit, FailingBlockGivesItsRangeAndCheckArrayCrcStaysInside) {
    ScriptedRig r;
    r.transport->SetFailWrites(true);
    EXPECT_EQ(r.engine->SendAcyclic(5, 4, 1, 1, 0, ByteArrayArg{}), 16 + 19);
    EXPECT_EQ(r.engine->WriteData(ByteArrayArg{}), 19);
    r.transport->SetPresent(false);
    EXPECT_EQ(r.engine->SendAcyclic(5, 4, 1, 1, 0, ByteArrayArg{}), 16 + 20);
    const auto [opens, closes] = r.transport->OpensCloses();
    EXPECT_EQ(opens, closes);  // every open closed, failures included

    const std::uint8_t bytes[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    EXPECT_EQ(r.engine->CheckArrayCRC(ByteArrayArg::Bytes(bytes), 9), 0x31C3);
    // Len beyond the array: only what the array holds counts.
    EXPECT_EQ(r.engine->CheckArrayCRC(ByteArrayArg::Bytes(bytes), 1000000), 0x31C3);
    EXPECT_EQ(r.engine->CheckArrayCRC(ByteArrayArg::Bytes(bytes), 0), -1);
}

TEST(EngineMatching, WrongSubThenRightOneEndsTheRequest) {
    ScriptedRig r;
    SendRead(r);
    r.transport->QueueFrame(Request(5, 29, 1217, 0xC0));
    r.transport->QueueFrame(Request(6, 30, 1217, 0x41, {1, 2}));
    // The state changes on the worker before the echo's event reaches this thread.
    ASSERT_TRUE(PumpUntil([&] {
        return r.engine->ResponseState() == 4 && r.sink->Count(tivlink::kOnDataWasSent) == 1;
    }));

    r.transport->QueueFrame(Request(6, 29, 1217, 0x41, {0x0A, 0x0B}));
    ASSERT_TRUE(PumpUntil([&] { return r.sink->Count(tivlink::kOnResponse) == 1; }));
    EXPECT_EQ(r.engine->ResponseState(), 0);

    TelegramFields f = Sentinel();
    Bytes data;
    EXPECT_EQ(r.engine->ReceiveAcyclic(f, data), 0);
    EXPECT_EQ(f.telType, 0xC2);
    EXPECT_EQ(f.dataSize, 6);
    EXPECT_EQ(f.subNo, 29);
    EXPECT_EQ(f.objNo, 1217);
    EXPECT_EQ(f.control, 0x41);
    // The data with the checksum (CRC: the frames carried the CRC flag) behind them.
    const auto crc = tivlink::Crc16(Request(6, 29, 1217, 0x41, {0x0A, 0x0B}));
    EXPECT_EQ(data, (Bytes{0x0A, 0x0B, static_cast<std::uint8_t>(crc & 0xFF),
                           static_cast<std::uint8_t>(crc >> 8)}));
    EXPECT_TRUE(r.engine->GetCheckMethod());
    EXPECT_TRUE(
        HasLine(r.log->Lines(), "Exit:ReceiveAcyclic:\"Response Ok\", Control=41H,0 ++++++++++"));
    // The record goes through the same conversion as every other caller's, with its lines.
    const auto nested = LinesFrom(r.log->Lines(), "Call:ReceiveAcyclic->VariantToRecord,", 4);
    ASSERT_EQ(nested.size(), 5u);
    EXPECT_EQ(nested[1].rfind("Entry:VariantToRecord,DestPtr:", 0), 0u) << nested[1];
    EXPECT_NE(nested[1].find(", Size:10----------"), std::string::npos) << nested[1];
    EXPECT_EQ(nested[2].rfind("1:VariantToRecord,VarType:11H, DestPtr:", 0), 0u) << nested[2];
    EXPECT_EQ(nested[3], "Exit:VariantToRecord:273 ++++++++++");
    EXPECT_EQ(nested[4], "Return:ReceiveAcyclic->VariantToRecord");

    // The record was taken by the first read.
    TelegramFields again = Sentinel();
    EXPECT_EQ(r.engine->ReceiveAcyclic(again, data), 0);
    EXPECT_TRUE(Same(again, Sentinel()));
    EXPECT_EQ(data, Bytes(136, 0));
}

TEST(EngineMatching, ChecksumErrorsShortFramesAndIntruders) {
    {
        ScriptedRig r;
        SendRead(r);
        r.transport->QueueFrame(Request(5, 29, 1217, 0xC0));
        r.transport->QueueFrame(Request(6, 29, 1217, 0x41, {1}), true, true);
        ASSERT_TRUE(PumpUntil([&] { return r.engine->ResponseState() == 3; }));
        EXPECT_EQ(r.sink->Count(tivlink::kOnResponse), 0);
    }
    {
        // A frame whose DataSize claims more than it carries.
        ScriptedRig r;
        SendRead(r);
        r.transport->QueueFrame(Request(5, 29, 1217, 0xC0));
        r.transport->QueueStream({0xFA, 0x08, 0x80, 0xC2, 120, 29, 0xC1, 0x04, 0x41, 0xFB});
        ASSERT_TRUE(PumpUntil([&] { return r.engine->ResponseState() == 3; }));
    }
    {
        ScriptedRig r;
        SendRead(r);
        r.transport->QueueFrame(Request(5, 29, 1217, 0xC0));
        r.transport->QueueFrame({0x45, 0x00, 0, 0, 0, 0});  // cyclic type 2
        ASSERT_TRUE(PumpUntil([&] { return r.engine->ResponseState() == 5; }));
    }
    {
        ScriptedRig r;
        SendRead(r);
        r.transport->QueueFrame(Request(5, 29, 1217, 0xC0));
        r.transport->QueueFrame(Request(7, 1, 1, 1));
        ASSERT_TRUE(PumpUntil([&] { return r.engine->ResponseState() == 2; }));
        TelegramFields f;
        Bytes data;
        EXPECT_EQ(r.engine->ReceiveAcyclic(f, data), 2);
    }
}

TEST(EngineMatching, EveryOutcomeHasItsResultAndText) {
    const struct {
        const char* what;
        Bytes stream;
        int result;
        const char* exit;
    } cases[] = {
        {"device error", sim::encodeFrame(Request(6, 29, 1217, 0x84), true), 255,
         "\"ERROR;response error from TIV-Device\",Control=84H,255"},
        {"other acyclic", sim::encodeFrame(Request(7, 1, 1, 1), true), 2,
         "\"ERROR;receive other acyclic telegram\",Control=00H,2"},
        {"checksum", sim::encodeFrame(Request(6, 29, 1217, 0x41, {1}), true, true), 3,
         "\"ERROR;Checksum-ERROR\",Control=00H,3"},
        // The closing 0xFB must not stand in for a missing checksum byte.
        {"one byte short", OneByteShort(Request(6, 29, 1217, 0x41)), 3,
         "\"ERROR;Checksum-ERROR\",Control=00H,3"},
        {"other object", sim::encodeFrame(Request(6, 30, 1217, 0x41), true), 4,
         "\"ERROR;receive not the requested object number\",Control=00H,4"},
        {"cyclic", sim::encodeFrame(Bytes{0x45, 0, 0, 0, 0, 0}, true), 5,
         "\"ERROR;receive cyclic telegram\",Control=00H,5"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ScriptedRig r;
        SendRead(r);
        r.transport->QueueFrame(Request(5, 29, 1217, 0xC0));
        r.transport->QueueStream(c.stream);
        ASSERT_TRUE(PumpUntil([&] { return r.engine->ResponseState() != 1; }));
        TelegramFields f;
        Bytes data;
        EXPECT_EQ(r.engine->ReceiveAcyclic(f, data), c.result);
        EXPECT_TRUE(
            HasLine(r.log->Lines(), "Exit:ReceiveAcyclic:" + std::string(c.exit) + " ++++++++++"));
        if (c.result == 255) {
            ASSERT_TRUE(PumpUntil([&] { return r.sink->Count(tivlink::kOnResponse) == 1; }));
        }
        os::MessageQueue::forCurrentThread()->processMessages();
        EXPECT_EQ(r.sink->Count(tivlink::kOnResponse), c.result == 255 ? 1 : 0);
    }
}

TEST(EngineMatching, DelayedAnswerOutcomes) {
    const struct {
        const char* what;
        Bytes stream;
        int state;
        int result;
        const char* event;  // the event's log line, nullptr for none
        const char* exit;
    } cases[] = {
        {"service delivery", sim::encodeFrame(Request(7, 2, 1301, 0x0A, {0x41, 0, 0x2A}), true), 0,
         0, "*****EVENT:Thread->OnDelayedResponse, MsgType=7", "Response Ok, Control=41H,0"},
        {"plain response", sim::encodeFrame(Request(6, 2, 1301, 0x41, {0x2A}), true), 0, 0,
         "*****EVENT:Thread->OnDelayedResponse, MsgType=6", "Response Ok, Control=41H,0"},
        {"device error", sim::encodeFrame(Request(7, 2, 1301, 0x0A, {0x84, 0, 0x2A}), true), 0, 255,
         "*****EVENT:Thread->OnDelayedResponse, MsgType=7",
         "ERROR;response error from TIV-Device,Control=84H,255"},
        {"checksum", sim::encodeFrame(Request(7, 2, 1301, 0x0A, {0x41, 0, 0x2A}), true, true), 3, 3,
         nullptr, "ERROR;Checksum-ERROR,Control=00H,3"},
        {"response with checksum error",
         sim::encodeFrame(Request(6, 2, 1301, 0x41, {0x2A}), true, true), 3, 3, nullptr,
         "ERROR;Checksum-ERROR,Control=00H,3"},
        {"one byte short", OneByteShort(Request(7, 2, 1301, 0x0A, {0x41, 0})), 3, 3, nullptr,
         "ERROR;Checksum-ERROR,Control=00H,3"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ScriptedRig r;
        AnnounceDelayed(r);
        r.transport->QueueStream(c.stream);
        ASSERT_TRUE(PumpUntil([&] { return r.engine->DelayedResponseState() != 1; }));
        EXPECT_EQ(r.engine->DelayedResponseState(), c.state);
        TelegramFields f;
        Bytes data;
        EXPECT_EQ(r.engine->ReceiveAcyclicDelayed(f, data), c.result);
        EXPECT_TRUE(HasLine(r.log->Lines(), "Exit:ReceiveAcyclicDelayed:" + std::string(c.exit)));
        if (c.event) {
            ASSERT_TRUE(PumpUntil([&] { return r.sink->Count(tivlink::kOnDelayedResponse) == 1; }));
            EXPECT_TRUE(HasLine(r.log->Lines(), c.event));
        }
        EXPECT_EQ(r.sink->Count(tivlink::kOnDelayedResponse), c.event ? 1 : 0);
    }
}

TEST(EngineMatching, DelayedAnswerIsAnnouncedDeliveredAndTakenOnce) {
    ScriptedRig r;
    SendRead(r, 2, 1301);
    r.transport->QueueFrame(Request(5, 2, 1301, 0xC0));
    r.transport->QueueFrame(Request(6, 2, 1301, 0x01, {5}));
    ASSERT_TRUE(PumpUntil([&] { return r.engine->ResponseState() == 0; }));
    TelegramFields f;
    Bytes data;
    EXPECT_EQ(r.engine->ReceiveAcyclic(f, data), 6);
    EXPECT_EQ(r.engine->DelayedResponseState(), 1);
    EXPECT_TRUE(
        HasLine(r.log->Lines(), "Exit:ReceiveAcyclic:\"DelayedResponse\",Time:35000,6 ++++++++++"));
    EXPECT_EQ(r.engine->ReceiveAcyclicDelayed(f, data), 1);

    r.transport->QueueFrame(Request(7, 2, 1301, 0x0A, {0x41, 0x00, 0x2A}));
    ASSERT_TRUE(PumpUntil([&] { return r.sink->Count(tivlink::kOnDelayedResponse) == 1; }));
    EXPECT_EQ(r.engine->ReceiveAcyclicDelayed(f, data), 0);
    EXPECT_EQ(f.control, 0x41);
    EXPECT_EQ(f.dataSize, 5);
    EXPECT_EQ(data.front(), 0x2A);
    EXPECT_EQ(data.size(), 3u);  // value and checksum
    EXPECT_TRUE(HasLine(r.log->Lines(), "Exit:ReceiveAcyclicDelayed:Response Ok, Control=41H,0"));
    const auto nested =
        LinesFrom(r.log->Lines(), "Call:ReceiveAcyclicDelayed->VariantToRecord,", 4);
    ASSERT_EQ(nested.size(), 5u);
    EXPECT_EQ(nested[1].rfind("Entry:VariantToRecord,DestPtr:", 0), 0u) << nested[1];
    EXPECT_EQ(nested[3], "Exit:VariantToRecord:273 ++++++++++");
    EXPECT_EQ(nested[4], "Return:ReceiveAcyclicDelayed->VariantToRecord");

    TelegramFields again = Sentinel();
    EXPECT_EQ(r.engine->ReceiveAcyclicDelayed(again, data), 0);
    EXPECT_TRUE(Same(again, Sentinel()));
}

TEST(EngineMatching, DelayedAnswerThatNeverComesTimesOut) {
    // The echo and the announcement must be read within the request's eighteen ticks: 180 ms
    // of real time here, which a stalled worker on a loaded machine does not use up.
    ScriptedRig r(10.0);
    SendRead(r, 2, 1301);
    r.transport->QueueFrame(Request(5, 2, 1301, 0xC0));
    r.transport->QueueFrame(Request(6, 2, 1301, 0x01, {1}));
    ASSERT_TRUE(PumpUntil([&] { return r.engine->ResponseState() == 0; }));
    TelegramFields f;
    Bytes data;
    ASSERT_EQ(r.engine->ReceiveAcyclic(f, data), 6);
    ASSERT_TRUE(PumpUntil([&] { return r.engine->ReceiveAcyclicDelayed(f, data) != 1; }, 10s));
    EXPECT_EQ(r.engine->DelayedResponseState(), 5);
    EXPECT_TRUE(HasLine(r.log->Lines(),
                        "Exit:ReceiveAcyclicDelayed:ERROR;timeout(waittime),Control=01H,5"));
}

TEST(EngineTransaction, NoAnswerEndsAfterEighteenTicks) {
    ScriptedRig r(10.0);
    ASSERT_EQ(r.engine->StartReception(), 0);
    TelegramFields io{5, 4, 29, 1217, 0xC0};
    Bytes out;
    // Counted in the engine's own ticks, not in time: a loaded machine delays ticks, and the
    // wait with them. Thirty more would be the delayed answer's window, the wrong one.
    const auto start = r.engine->State().tickCounter.load();
    EXPECT_EQ(r.engine->AcyclicTransmission(io, ByteArrayArg{}, out), 1);
    const auto waited = r.engine->State().tickCounter.load() - start;
    EXPECT_GE(waited, 18u);
    EXPECT_LT(waited, 18u + 30u);
}

TEST(EngineTransaction, LogShowsTheClientsDataTypeAndEveryCallEvenWhenSendingFails) {
    ScriptedRig r;
    r.transport->SetFailWrites(true);
    TelegramFields io{5, 4, 29, 1217, 0xC0};
    Bytes out;
    const int sent = r.engine->AcyclicTransmission(io, ByteArrayArg{}, out, 0x200C);
    EXPECT_EQ(sent, 16 + 19);
    std::vector<std::string> own;
    for (const auto& l : r.log->Lines())
        if (l.find("AcyclicTransmission") != std::string::npos) own.push_back(l);
    ASSERT_EQ(own.size(), 6u);
    EXPECT_EQ(own[0], "Entry:AcyclicTransmission,----------");
    // An empty array has no data of its own; the pointer is still a real one.
    const std::string call = "Call:AcyclicTransmission->SendAcyclic,DestPtr:";
    EXPECT_EQ(own[1].rfind(call, 0), 0u) << own[1];
    EXPECT_NE(own[1], call + "0,Size:4");
    const std::vector<std::string> rest(own.begin() + 2, own.end());
    EXPECT_EQ(rest, (std::vector<std::string>{
                        "Return:AcyclicTransmission->SendAcyclic",
                        "Call:AcyclicTransmission->ReceiveAcyclic",
                        "Return:AcyclicTransmission->ReceiveAcyclic,Type:5 - Size:4 - SubNo:29 - "
                        "ObjNo:1217 - Ctrl:192 - DataType:200CH",
                        "Exit:AcyclicTransmission:200CH ++++++++++"}));
}

TEST(EngineConnection, LoginNeedsThreeReportsAndLogoutThree) {
    ScriptedRig r;
    ASSERT_EQ(r.engine->StartReception(), 0);
    Packet on{};
    on[0] = 1;
    on[1] = 0x10;
    Packet off = on;
    off[1] = 0;
    r.transport->QueuePacket(on);
    r.transport->QueuePacket(on);
    ASSERT_TRUE(PumpUntil([&] { return r.transport->Drained() && r.engine->UsbTelCntr() >= 2; }));
    EXPECT_FALSE(r.engine->AdapterState());
    r.transport->QueuePacket(on);
    ASSERT_TRUE(PumpUntil([&] { return r.sink->Count(tivlink::kOnAdapterLoggedIn) == 1; }));
    EXPECT_TRUE(r.engine->AdapterState());

    r.transport->QueuePacket(off);
    r.transport->QueuePacket(off);
    ASSERT_TRUE(PumpUntil([&] { return r.transport->Drained() && r.engine->UsbTelCntr() >= 5; }));
    EXPECT_TRUE(r.engine->AdapterState());
    r.transport->QueuePacket(off);
    ASSERT_TRUE(PumpUntil([&] { return r.sink->Count(tivlink::kOnAdapterLoggedOut) == 1; }));
    EXPECT_FALSE(r.engine->AdapterState());
    EXPECT_EQ(r.sink->Count(tivlink::kOnAdapterLoggedIn), 1);
}

TEST(EngineConnection, BusLossAndReturnSeenByTheWorker) {
    ScriptedRig r;
    ASSERT_EQ(r.engine->StartReception(), 0);
    EXPECT_TRUE(r.engine->IsTivConnected());
    r.transport->SetIdleFlags(0x04);
    ASSERT_TRUE(PumpUntil([&] { return r.sink->Count(tivlink::kOnTivConnected) == 1; }));
    EXPECT_FALSE(r.engine->IsTivConnected());
    EXPECT_EQ(r.engine->LastError(), 16);
    r.transport->SetIdleFlags(0x10);
    ASSERT_TRUE(PumpUntil([&] { return r.sink->Count(tivlink::kOnTivConnected) == 2; }));
    EXPECT_TRUE(r.engine->IsTivConnected());
    EXPECT_TRUE(HasLine(r.log->Lines(), "*****EVENT:Thread->OnTivConnected,\"no connection\""));
    EXPECT_TRUE(HasLine(r.log->Lines(), "*****EVENT:Thread->OnTivConnected,\"connection OK\""));

    // A stop is served even while the bus is away.
    r.transport->SetIdleFlags(0x04);
    r.engine->StopReception();
    ASSERT_TRUE(PumpUntil([&] { return !r.engine->ReceptionRunning(); }));
}

TEST(EngineConnection, StatusPollFollowsTimerIntervall) {
    ScriptedRig r;
    std::vector<std::uint8_t> version;
    ASSERT_EQ(r.engine->SelectAdapter(1, 0, version), 0);
    EXPECT_EQ(Bytes(version.begin(), version.end()),
              (Bytes{'T', 'E', 'S', 'T', '0', '1', 0, 1, 'S', 'W'}));
    r.engine->SetTimerIntervall(0);
    r.engine->SetTimerIntervall(101);
    EXPECT_EQ(r.engine->TimerIntervall(), 3);
    r.engine->SetTimerIntervall(1);
    EXPECT_EQ(r.engine->TimerIntervall(), 1);
    ASSERT_TRUE(PumpUntil([&] { return r.sink->Count(tivlink::kOnTivConnected) == 1; }));
    EXPECT_TRUE(r.engine->IsTivConnected());
    r.transport->SetStatus(14, 1);
    ASSERT_TRUE(PumpUntil([&] { return r.sink->Count(tivlink::kOnTivConnected) == 2; }));
    EXPECT_FALSE(r.engine->IsTivConnected());
    r.transport->SetStatus(19, 1);
    ASSERT_TRUE(PumpUntil([&] { return r.engine->GetCheckMethod(); }));

    r.transport->SetPresent(false);
    ASSERT_TRUE(PumpUntil([&] { return r.sink->Count(tivlink::kOnAdapterDiscon) == 1; }));
    EXPECT_TRUE(HasLine(r.log->Lines(), "*****EVENT:Timer->OnAdapterDiscon"));
}

TEST(EngineEvents, DeliveredOnTheCreatingThreadInPostingOrder) {
    ScriptedRig r;
    SendRead(r);
    r.transport->QueueFrame(Request(5, 29, 1217, 0xC0));
    r.transport->QueueFrame(Request(6, 29, 1217, 0x41));
    ASSERT_TRUE(PumpUntil([&] { return r.sink->Count(tivlink::kOnResponse) == 1; }));
    const auto events = r.sink->Events();
    const auto sent = std::find(events.begin(), events.end(), tivlink::kOnDataWasSent);
    const auto resp = std::find(events.begin(), events.end(), tivlink::kOnResponse);
    ASSERT_NE(sent, events.end());
    EXPECT_LT(sent, resp);
    for (const auto id : r.sink->Threads()) EXPECT_EQ(id, std::this_thread::get_id());
}

TEST(EngineEvents, WithoutSinkEveryEventIsOnlyLogged) {
    ScriptedRig r(20.0, false);
    SendRead(r);
    r.transport->QueueFrame(Request(5, 29, 1217, 0xC0));
    r.transport->QueueFrame(Request(6, 29, 1217, 0x41));
    // The state changes before the event line is written.
    ASSERT_TRUE(
        PumpUntil([&] { return HasLine(r.log->Lines(), "*****EVENT-ERROR:Thread->OnResponse"); }));
    const auto lines = r.log->Lines();
    EXPECT_TRUE(HasLine(lines, "*****EVENT-ERROR:Thread->OnDataWasSent"));
    EXPECT_TRUE(HasLine(lines, "*****EVENT-ERROR:Thread->OnResponse"));
    EXPECT_EQ(os::MessageQueue::forCurrentThread()->pendingCount(), 0u);
}

TEST(EngineLifecycle, DrvFreeTwiceAndStartupSequence) {
    ScriptedRig r;
    const auto startup = r.log->Lines();
    ASSERT_GE(startup.size(), 2u);
    EXPECT_EQ(startup[0], "Entry:Initialize,----------");
    EXPECT_EQ(startup[1], "Call:Initialize->Set_BufferSize,Size:12800");
    EXPECT_TRUE(HasLine(startup, "CreateThread->\"thread ok\", priority:3"));
    EXPECT_TRUE(HasLine(startup, "Return:Initialize->ScanUSB:1"));
    EXPECT_TRUE(HasLine(startup, "Return:Initialize->ReadVID_PID: VID:0547H,PID:2131H"));
    EXPECT_EQ(startup.back(), "Exit:Initialize: ++++++++++");

    r.log->Reset();
    EXPECT_EQ(r.engine->DrvFree(), 0);
    EXPECT_EQ(r.engine->LastError(), 2);
    const auto first = r.log->Lines();
    EXPECT_TRUE(HasLine(first, "Call:DrvFree->TimeKillEvent"));
    EXPECT_TRUE(HasLine(first, "DrvFree->\"destroy thread\""));
    r.log->Reset();
    EXPECT_EQ(r.engine->DrvFree(), 0);
    const auto second = r.log->Lines();
    EXPECT_FALSE(HasLine(second, "Call:DrvFree->TimeKillEvent"));
    EXPECT_FALSE(HasLine(second, "DrvFree->\"destroy thread\""));
    EXPECT_TRUE(HasLine(second, "Call:DrvFree->StopRec"));
    EXPECT_EQ(r.sink->Count(tivlink::kOnFree), 2);
    // Without its thread the engine no longer receives.
    EXPECT_EQ(r.engine->StartReception(), 1);
}

TEST(EngineLifecycle, AfterDrvFreeTheSinkHearsOnlyOnFree) {
    ScriptedRig r;
    ASSERT_EQ(r.engine->StartReception(), 0);
    Packet on{};
    on[0] = 1;
    on[1] = 0x10;
    for (int i = 0; i < 3; ++i) r.transport->QueuePacket(on);
    // Posted but not yet run when the client releases the driver.
    ASSERT_TRUE(WaitQueued([&] {
        return HasLine(r.log->Lines(), "*****EVENT:Thread->OnAdapterLoggedIn") &&
               os::MessageQueue::forCurrentThread()->pendingCount() > 0;
    }));
    EXPECT_EQ(r.engine->DrvFree(), 0);
    // A download after the release still runs and logs its events, but tells nobody.
    r.engine->LoadAdapter();
    EXPECT_TRUE(HasLine(r.log->Lines(), "*****EVENT:LoadAdapter->OnFirmwareLoaded"));
    os::MessageQueue::forCurrentThread()->processMessages();
    EXPECT_EQ(r.sink->Events(), std::vector<int>{tivlink::kOnFree});
}

TEST(EngineEvents, WithoutSinkEverySiteWritesItsErrorText) {
    ScriptedRig r(20.0, false);
    auto& e = *r.engine;
    auto& t = *r.transport;
    const auto logged = [&](const std::string& text) {
        return PumpUntil([&] { return HasLine(r.log->Lines(), "*****EVENT-ERROR:" + text); });
    };
    std::vector<std::uint8_t> version;
    ASSERT_EQ(e.SelectAdapter(1, 0, version), 0);

    // The timer's status poll, while reception is off.
    e.SetTimerIntervall(1);
    EXPECT_TRUE(logged("Timer->OnTivConnected,\"connection OK\""));
    t.SetStatus(14, 1);
    EXPECT_TRUE(logged("Timer->OnTivConnected,\"no connection\""));
    t.SetStatus(16, 1);
    EXPECT_TRUE(logged("Timer->OnAdapterLoggedIn"));
    t.SetStatus(16, 0);
    EXPECT_TRUE(logged("Timer->OnAdapterLoggedOut"));
    t.SetStatus(14, 0);

    // The worker thread.
    ASSERT_EQ(e.StartReception(), 0);
    t.SetIdleFlags(0x04);
    EXPECT_TRUE(logged("Thread->OnTivConnected,\"no connection\""));
    t.SetIdleFlags(0x10);
    EXPECT_TRUE(logged("Thread->OnTivConnected,\"connection OK\""));
    Packet on{};
    on[0] = 1;
    on[1] = 0x10;
    Packet off = on;
    off[1] = 0;
    for (int i = 0; i < 3; ++i) t.QueuePacket(on);
    EXPECT_TRUE(logged("Thread->OnAdapterLoggedIn"));
    for (int i = 0; i < 3; ++i) t.QueuePacket(off);
    EXPECT_TRUE(logged("Thread->OnAdapterLoggedOut"));

    ASSERT_EQ(e.SendAcyclic(5, 4, 29, 1217, 0xC0, ByteArrayArg{}), 0);
    t.QueueFrame(Request(5, 29, 1217, 0xC0));
    t.QueueFrame(Request(6, 29, 1217, 0x41));
    EXPECT_TRUE(logged("Thread->OnDataWasSent"));
    EXPECT_TRUE(logged("Thread->OnResponse"));

    const Bytes deliveries[] = {Request(7, 2, 1301, 0x0A, {0x41, 0, 1}),
                                Request(6, 2, 1301, 0x41, {1})};
    for (const auto& delivery : deliveries) {
        AnnounceDelayed(r);
        t.QueueFrame(delivery);
        EXPECT_TRUE(logged(std::string("Thread->OnDelayedResponse, MsgType=") +
                           (delivery[0] >> 5 == 7 ? "7" : "6")));
    }

    e.SetMarker(49);  // nothing echoes it here; the echo follows
    t.QueueFrame(Request(7, 29, 0x7DF5, 0, {'D', 'L', 'L', '_', 49}));
    EXPECT_TRUE(logged("Thread->OnMarked"));

    t.SetPresent(false);
    EXPECT_TRUE(logged("Thread->OnAdapterDiscon"));

    // The timer notices the loss as well, once the adapter is selected again.
    t.SetPresent(true);
    ASSERT_TRUE(PumpUntil([&] { return !e.ReceptionRunning(); }));
    ASSERT_EQ(e.SelectAdapter(1, 0, version), 0);
    t.SetPresent(false);
    EXPECT_TRUE(logged("Timer->OnAdapterDiscon"));

    t.SetPresent(true);
    e.LoadAdapter();
    EXPECT_TRUE(logged("LoadAdapterFile->OnStdLoaded"));
    EXPECT_TRUE(logged("LoadAdapterFile->OnFirmwareLoaded"));

    for (const auto& line : r.log->Lines())
        EXPECT_EQ(line.rfind("*****EVENT:", 0), std::string::npos);
    EXPECT_EQ(os::MessageQueue::forCurrentThread()->pendingCount(), 0u);
}

TEST(EngineRecording, StartAndMarkerResults) {
    {
        ScriptedRig r;
        // A size of 0 leaves no usable buffer, even before the next InitBuffer.
        r.engine->SetBufferSize(0);
        EXPECT_EQ(r.engine->StartRec(), 2);
        EXPECT_EQ(r.engine->MarkedStartRec(), 2);
        r.engine->SetBufferSize(1);
        r.transport->SetPresent(false);
        EXPECT_FALSE(r.engine->IsAdapterPresent());
        EXPECT_EQ(r.engine->StartRec(), 3);
    }
    {
        // Nothing comes back: the marker counts as not sent.
        ScriptedRig r;
        EXPECT_EQ(r.engine->MarkedStartRec(), 4);
        EXPECT_EQ(r.engine->SetMarker(60), 1);
        EXPECT_EQ(r.engine->MarkedStopRec(), 4);
    }
    {
        // A failed send counts as seen, but the marker never returns.
        ScriptedRig r;
        r.transport->SetFailWrites(true);
        EXPECT_EQ(r.engine->MarkedStartRec(), 5);
        EXPECT_EQ(r.engine->MarkedStopRec(), 5);
    }
}

TEST(EngineRecording, ThresholdIsKeptCutToTheBufferSize) {
    ScriptedRig r;
    r.engine->SetBufferSize(1);
    ASSERT_EQ(r.engine->InitBuffer(), 0);
    r.engine->SetDataReceivedThreshold(1000);
    ASSERT_EQ(r.engine->StartReception(false), 0);
    r.transport->QueueStream(Bytes(62, 0x33));
    ASSERT_TRUE(PumpUntil([&] { return r.engine->BufferPos() == 62; }));
    EXPECT_EQ(r.engine->DataReceivedThreshold(), 64);
    EXPECT_EQ(r.sink->Count(tivlink::kOnDataReceived), 0);
}
