// The engine against a scripted adapter: what goes out in the transmit blocks, how the
// frames that come back are matched, connection and login state, events and release.

#include "support/EngineRig.h"
#include "tivlink/protocol/Checksum.h"

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
    r.transport->ClearWrites();
    ASSERT_EQ(r.engine->SendAcyclic(5, 4, sub, obj, 0xC0, ByteArrayArg{}), 0);
}

}  // namespace

TEST(EngineTransmit, ShortTelegramGoesOutAsThreeBlocks) {
    ScriptedRig r;
    const std::uint8_t none[1] = {};
    EXPECT_EQ(r.engine->SendAcyclic(5, 4, 1, 0x0102, 0, ByteArrayArg::Bytes({none, 0})), 0);
    const auto w = r.transport->Writes();
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
    const auto shown = r.window->Items();
    EXPECT_TRUE(HasLine(shown, "dritter Block gesendet - 00AAH"));
}

TEST(EngineTransmit, SizesAndTypesOutsideTheRecordAreRefused) {
    ScriptedRig r;
    const std::uint8_t data[3] = {1, 2, 3};
    EXPECT_EQ(r.engine->SendAcyclic(6, 4, 1, 1, 0, ByteArrayArg::Bytes(data)), -1);
    EXPECT_EQ(r.engine->SendAcyclic(5, -1, 1, 1, 0, ByteArrayArg::Bytes(data)), 128);
    EXPECT_EQ(r.engine->SendAcyclic(5, 133, 1, 1, 0, ByteArrayArg::Bytes(data)), 128);
    EXPECT_TRUE(r.transport->Writes().empty());

    // A size below 5 becomes 4, and the data are dropped.
    EXPECT_EQ(r.engine->SendAcyclic(7, 2, 1, 1, 3, ByteArrayArg::Bytes(data)), 0);
    const auto w = r.transport->Writes();
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
    const auto w = r.transport->Writes();
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
    r.transport->ClearWrites();
    const std::vector<std::int32_t> rec = {0x1A2, 0x104, 0x201, 0x302, 0x401, 0x5C0};
    EXPECT_EQ(r.engine->SendRequest(ByteArrayArg::Int32s(rec)), 0);
    const auto w2 = r.transport->Writes();
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

    TelegramFields again = Sentinel();
    EXPECT_EQ(r.engine->ReceiveAcyclicDelayed(again, data), 0);
    EXPECT_TRUE(Same(again, Sentinel()));
}

TEST(EngineMatching, DelayedAnswerThatNeverComesTimesOut) {
    ScriptedRig r(50.0);
    SendRead(r, 2, 1301);
    r.transport->QueueFrame(Request(5, 2, 1301, 0xC0));
    r.transport->QueueFrame(Request(6, 2, 1301, 0x01, {1}));
    ASSERT_TRUE(PumpUntil([&] { return r.engine->ResponseState() == 0; }));
    TelegramFields f;
    Bytes data;
    ASSERT_EQ(r.engine->ReceiveAcyclic(f, data), 6);
    ASSERT_TRUE(PumpUntil([&] { return r.engine->ReceiveAcyclicDelayed(f, data) != 1; }, 10s));
    EXPECT_EQ(r.engine->DelayedResponseState(), 5);
}

TEST(EngineTransaction, NoAnswerEndsAfterEighteenTicks) {
    ScriptedRig r(50.0);
    ASSERT_EQ(r.engine->StartReception(), 0);
    TelegramFields io{5, 4, 29, 1217, 0xC0};
    Bytes out;
    const auto start = os::clock().now();
    EXPECT_EQ(r.engine->AcyclicTransmission(io, ByteArrayArg{}, out), 1);
    const auto waited = os::clock().now() - start;
    EXPECT_GE(waited, 1700ms);
    EXPECT_LT(waited, 5s);
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
    ASSERT_TRUE(PumpUntil(
        [&] { return HasLine(r.log->Lines(), "*****EVENT-ERROR:Thread->OnResponse"); }));
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
