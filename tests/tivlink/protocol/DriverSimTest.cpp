// The engine on the in-process simulated adapter: whole transactions, the firmware
// download, and what the engine makes of unplugging and bus loss.

#include "support/EngineRig.h"

using namespace enginetest;
using tivlink::ByteArrayArg;
using tivlink::TelegramFields;

namespace {

int Transact(SimRig& r, TelegramFields& io, const Bytes& data, Bytes& out) {
    return r.engine->AcyclicTransmission(io, ByteArrayArg::Bytes(data), out);
}

Bytes Payload(const Bytes& withChecksum) {
    return withChecksum.size() >= 2 ? Bytes(withChecksum.begin(), withChecksum.end() - 2) : Bytes{};
}

}  // namespace

TEST(EngineOnSimulator, ReadWriteErrorAndDelayedAnswers) {
    SimRig r(Scenario());
    r.Ready();
    Bytes out;

    TelegramFields read{5, 4, 29, 1217, 0xC0};
    ASSERT_EQ(Transact(r, read, {}, out), 0);
    EXPECT_EQ(read.control, 0x41);
    EXPECT_EQ(Payload(out), (Bytes{0x0A, 0x0B, 0x0C, 0x0D}));
    EXPECT_GE(r.sink->Count(tivlink::kOnDataWasSent), 1);
    EXPECT_GE(r.sink->Count(tivlink::kOnResponse), 1);

    TelegramFields write{5, 6, 29, 1217, 0xC1};
    ASSERT_EQ(Transact(r, write, {0x55, 0x66}, out), 0);
    TelegramFields again{5, 4, 29, 1217, 0xC0};
    ASSERT_EQ(Transact(r, again, {}, out), 0);
    EXPECT_EQ(Payload(out), (Bytes{0x55, 0x66}));

    TelegramFields readOnly{5, 5, 1, 100, 0xC1};
    EXPECT_EQ(Transact(r, readOnly, {9}, out), 255);
    EXPECT_EQ(readOnly.control, 0x82);

    TelegramFields failing{5, 4, 1, 1300, 0xC0};
    EXPECT_EQ(Transact(r, failing, {}, out), 255);
    EXPECT_EQ(failing.control, 132);

    TelegramFields delayed{5, 4, 2, 1301, 0xC0};
    ASSERT_EQ(Transact(r, delayed, {}, out), 6);
    EXPECT_EQ(r.engine->DelayedResponseState(), 1);
    ASSERT_TRUE(PumpUntil([&] { return r.sink->Count(tivlink::kOnDelayedResponse) == 1; }, 5s));
    TelegramFields late;
    Bytes lateData;
    EXPECT_EQ(r.engine->ReceiveAcyclicDelayed(late, lateData), 0);
    EXPECT_EQ(late.control, 0x41);
    EXPECT_EQ(Payload(lateData), (Bytes{0x2A}));
}

TEST(EngineOnSimulator, DelayedAnswerDeliveredAsAPlainResponse) {
    auto scenario = Scenario();
    scenario.devices[0].objects[3].deliverAsResponse = true;
    SimRig r(scenario);
    r.Ready();
    Bytes out;
    TelegramFields delayed{5, 4, 2, 1301, 0xC0};
    ASSERT_EQ(Transact(r, delayed, {}, out), 6);
    ASSERT_TRUE(PumpUntil([&] { return r.sink->Count(tivlink::kOnDelayedResponse) == 1; }, 5s));
    EXPECT_TRUE(HasLine(r.log->Lines(), "*****EVENT:Thread->OnDelayedResponse, MsgType=6"));
    TelegramFields late;
    Bytes lateData;
    EXPECT_EQ(r.engine->ReceiveAcyclicDelayed(late, lateData), 0);
    EXPECT_EQ(late.telType >> 5, 6);
    EXPECT_EQ(late.control, 0x41);
    EXPECT_EQ(Payload(lateData), (Bytes{0x2A}));
}

TEST(EngineOnSimulator, LostAndSpoiltAnswers) {
    SimRig r(Scenario(), 10.0);
    r.Ready();
    Bytes out;
    ASSERT_EQ(r.sim->control("drop-answer"), "ok");
    TelegramFields io{5, 4, 29, 1217, 0xC0};
    EXPECT_EQ(Transact(r, io, {}, out), 1);

    ASSERT_EQ(r.sim->control("corrupt-checksum"), "ok");
    TelegramFields spoilt{5, 4, 29, 1217, 0xC0};
    EXPECT_EQ(Transact(r, spoilt, {}, out), 3);

    // Nobody answers a sub number no device uses.
    TelegramFields nobody{5, 4, 77, 1217, 0xC0};
    EXPECT_EQ(Transact(r, nobody, {}, out), 1);

    TelegramFields fine{5, 4, 29, 1217, 0xC0};
    EXPECT_EQ(Transact(r, fine, {}, out), 0);
}

TEST(EngineOnSimulator, UnplugDuringReceptionIsReportedOnce) {
    SimRig r(Scenario());
    r.Ready();
    ASSERT_TRUE(r.engine->ReceptionRunning());
    ASSERT_EQ(r.sim->control("unplug"), "ok");
    ASSERT_TRUE(PumpUntil([&] { return r.sink->Count(tivlink::kOnAdapterDiscon) == 1; }));
    ASSERT_TRUE(PumpUntil([&] { return !r.engine->ReceptionRunning(); }));
    // The read code: the open failed (1), or the request did because the device went
    // away while it was open (2).
    const int lastError = r.engine->LastError();
    EXPECT_TRUE(lastError == 1 || lastError == 2) << lastError;
    EXPECT_FALSE(r.engine->IsUsbConnected());
    // The timer does not report the same loss again.
    os::clock().sleepFor(500ms);
    os::MessageQueue::forCurrentThread()->processMessages();
    EXPECT_EQ(r.sink->Count(tivlink::kOnAdapterDiscon), 1);
}

TEST(EngineOnSimulator, BusDisconnectAndReconnectFireEachWay) {
    SimRig r(Scenario());
    r.Ready();
    ASSERT_EQ(r.sim->control("bus-disconnect"), "ok");
    ASSERT_TRUE(PumpUntil([&] { return r.sink->Count(tivlink::kOnTivConnected) == 1; }));
    EXPECT_FALSE(r.engine->IsTivConnected());
    ASSERT_EQ(r.sim->control("bus-connect"), "ok");
    ASSERT_TRUE(PumpUntil([&] { return r.sink->Count(tivlink::kOnTivConnected) == 2; }));
    EXPECT_TRUE(r.engine->IsTivConnected());
}

TEST(EngineOnSimulator, FirmwareDownloadBringsAFreshAdapterToLife) {
    SimRig r(Scenario(false));
    std::vector<std::uint8_t> version;
    EXPECT_EQ(r.engine->SelectAdapter(1, 0, version), 128);
    EXPECT_EQ(version.size(), 10u);
    EXPECT_EQ(version[0], 128);
    EXPECT_EQ(version[1], 19);  // the version query could not be written

    EXPECT_EQ(r.engine->ConnectAdapter(1), 64);
    ASSERT_TRUE(PumpUntil([&] { return r.sink->Count(tivlink::kOnFirmwareLoaded) == 1; }, 20s));
    const auto events = r.sink->Events();
    const auto std = std::find(events.begin(), events.end(), tivlink::kOnStdLoaded);
    const auto fw = std::find(events.begin(), events.end(), tivlink::kOnFirmwareLoaded);
    ASSERT_NE(std, events.end());
    EXPECT_LT(std, fw);
    EXPECT_EQ(r.engine->LoadResult(), 0);
    EXPECT_TRUE(r.sim->snapshot(0).firmwareRunning);
    EXPECT_TRUE(r.engine->IsFirmwareLoaded(version));
    EXPECT_EQ(version[8], 'S');

    ASSERT_EQ(r.engine->StartReception(), 0);
    Bytes out;
    TelegramFields read{5, 4, 29, 1217, 0xC0};
    EXPECT_EQ(r.engine->AcyclicTransmission(read, ByteArrayArg{}, out), 0);
}

TEST(EngineOnSimulator, DamagedImageOrVanishingAdapterGiveHonestResults) {
    {
        os::ScopedClock fast(std::make_shared<os::ScaledClock>(50.0));
        auto image = Image();
        image[sim::kStageTwoOffset + 100] ^= 0xFF;
        auto simulator = std::make_shared<sim::Simulator>(Scenario(false));
        auto sink = std::make_shared<SpySink>();
        tivlink::DriverEngine engine({sim::makeSimTransport(simulator), image, nullptr, nullptr});
        engine.ConnectSink(sink);
        EXPECT_EQ(engine.LoadAdapter(), 128);
        EXPECT_EQ(engine.LoadResult(), 128);
        os::MessageQueue::forCurrentThread()->processMessages();
        EXPECT_EQ(sink->Count(tivlink::kOnStdLoaded), 1);
        EXPECT_EQ(sink->Count(tivlink::kOnFirmwareLoaded), 0);
        EXPECT_FALSE(simulator->snapshot(0).onHold);
    }
    {
        SimRig r(Scenario(false), 50.0);
        EXPECT_EQ(r.engine->ConnectAdapter(1), 64);
        ASSERT_TRUE(PumpUntil([&] { return r.sink->Count(tivlink::kOnStdLoaded) == 1; }, 10s));
        r.sim->unplug(0);
        // The download finishes without hanging and says the firmware never answered.
        ASSERT_TRUE(PumpUntil([&] { return r.engine->LoadResult() != 0; }, 20s));
        EXPECT_EQ(r.engine->LoadResult(), 128);
        EXPECT_EQ(r.sink->Count(tivlink::kOnFirmwareLoaded), 0);
    }
    {
        SimRig r(Scenario(false), 50.0);
        tivlink::DriverEngine none({sim::makeSimTransport(r.sim), {}, nullptr, nullptr});
        EXPECT_EQ(none.LoadAdapter(), 1);
    }
}
