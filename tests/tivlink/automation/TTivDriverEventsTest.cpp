// The driver object on the in-process simulated adapter: a whole transaction as a client makes
// it, and how events reach (or do not reach) the sinks advised on the connection point.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "DiagnosticsSupport.h"
#include "TTivDriverSupport.h"
#include "simulator/SimTransport.h"

namespace {

using namespace comdrv;
using com::ComPtr;
using com::Variant;
using diagtest::Count;
using diagtest::LogTexts;
using diagtest::ScratchDir;
using enginetest::PumpUntil;
using tivlink::ITivDriver;
using tivlink::TivDriverEvent;

class TTivDriverOnSimulator : public ::testing::Test {
protected:
    TTivDriverOnSimulator() : TTivDriverOnSimulator(enginetest::Scenario()) {}
    explicit TTivDriverOnSimulator(sim::Scenario scenario)
        : sim(std::make_shared<sim::Simulator>(std::move(scenario))),
          driver(MakeDriver(sim::makeSimTransport(sim))) {}

    // Selects adapter 1 and switches reception on with frames matched.
    void Ready() {
        Variant version;
        std::int32_t r = -1;
        ASSERT_EQ(driver->SelectAdapter(1, 0, &version, &r), com::S_OK);
        ASSERT_EQ(r, 0);
        ASSERT_EQ(driver->put_TraDelay(0), com::S_OK);
        ASSERT_EQ(driver->FilterOn(&r), com::S_OK);
        ASSERT_EQ(driver->StartRec(&r), com::S_OK);
        ASSERT_EQ(r, 0);
    }

    // Sends a read of 1217/29 and waits until the answer has been matched.
    void Read() {
        std::int32_t r = -1;
        ASSERT_EQ(driver->SendAcyclic(5, 4, 29, 1217, 0xC0, Variant(), &r), com::S_OK);
        ASSERT_EQ(r, 0);
        ASSERT_TRUE(PumpUntil([&] { return ResponseState() != 1; }, 5s));
        EXPECT_EQ(ResponseState(), 0);
    }

    std::int32_t ResponseState() {
        std::int32_t state = -1;
        EXPECT_EQ(driver->get_ResponseState(&state), com::S_OK);
        return state;
    }

    std::vector<std::string> Log() const {
        return LogTexts(dir.Path() / tivlink::DefaultLogFileName());
    }
    // Waits for the log to hold `n` copies of `line`, letting messages run meanwhile.
    bool WaitForLog(const std::string& line, std::size_t n) {
        return PumpUntil([&] { return Count(Log(), line) >= n; }, 5s);
    }

    ScratchDir dir;
    os::ScopedClock clock{std::make_shared<os::ScaledClock>(5.0)};
    std::shared_ptr<sim::Simulator> sim;
    ComPtr<ITivDriver> driver;
};

class TTivDriverFreshAdapter : public TTivDriverOnSimulator {
protected:
    TTivDriverFreshAdapter() : TTivDriverOnSimulator(enginetest::Scenario(false)) {}
};

// A bus with two stations sending measured values: a float with a time stamp and a double.
sim::Scenario CyclicBus() {
    auto s = enginetest::Scenario();
    s.devices[0].cyclic.push_back({0, 5, 20, 21.5, 3, 0.0});
    s.devices[0].cyclic.push_back({2, 7, 20, -4.25, 9, 0.0});
    return s;
}

class TTivDriverCyclicBus : public TTivDriverOnSimulator {
protected:
    TTivDriverCyclicBus() : TTivDriverOnSimulator(CyclicBus()) {}
};

TEST_F(TTivDriverFreshAdapter, TransactionStepByStepAsAClientMakesIt) {
    Spy spy;
    Advise(driver, spy);

    // The adapter has no firmware yet: the version query finds nobody.
    Variant version = Variant::fromI4(0);
    std::int32_t r = -1;
    ASSERT_EQ(driver->SelectAdapter(1, 0, &version, &r), com::S_OK);
    EXPECT_EQ(r, 128);
    ASSERT_EQ(BytesOf(version).size(), 10u);
    EXPECT_EQ(BytesOf(version)[0], 128);

    ASSERT_EQ(driver->LoadAdapter(&r), com::S_OK);
    EXPECT_EQ(r, 0);
    ASSERT_TRUE(PumpUntil([&] { return spy.Count(TivDriverEvent::OnFirmwareLoaded) == 1; }, 10s));
    ASSERT_EQ(driver->SelectAdapter(1, 0, &version, &r), com::S_OK);
    EXPECT_EQ(r, 0);
    const Bytes v = BytesOf(version);
    ASSERT_EQ(v.size(), 10u);
    EXPECT_EQ(v[8], 'S');
    EXPECT_EQ(v[9], 'W');
    com::VARIANT_BOOL loaded = 0;
    Variant softVer;
    ASSERT_EQ(driver->IsFirmwareLoaded(&softVer, &loaded), com::S_OK);
    EXPECT_EQ(loaded, com::VARIANT_TRUE);
    EXPECT_EQ(BytesOf(softVer), v);

    ASSERT_EQ(driver->put_TraDelay(0), com::S_OK);
    ASSERT_EQ(driver->put_FilterType(11), com::S_OK);
    ASSERT_EQ(driver->FilterOn(&r), com::S_OK);
    ASSERT_EQ(driver->StartRec(&r), com::S_OK);
    ASSERT_EQ(r, 0);

    ASSERT_EQ(driver->SendAcyclic(5, 4, 29, 1217, 0xC0, Variant(), &r), com::S_OK);
    ASSERT_EQ(r, 0);
    ASSERT_TRUE(PumpUntil([&] { return spy.Count(TivDriverEvent::OnResponse) == 1; }, 5s));
    EXPECT_GE(spy.Count(TivDriverEvent::OnDataWasSent), 1);
    EXPECT_FALSE(spy.ArgumentsSeen());

    std::int32_t telType = -1, dataSize = -1, subNo = -1, objNo = -1, control = -1;
    Variant data;
    ASSERT_EQ(driver->ReceiveAcyclic(&telType, &dataSize, &subNo, &objNo, &control, &data, &r),
              com::S_OK);
    EXPECT_EQ(r, 0);
    EXPECT_EQ(telType, 0xC2);
    EXPECT_EQ(dataSize, 8);
    EXPECT_EQ(subNo, 29);
    EXPECT_EQ(objNo, 1217);
    EXPECT_EQ(control, 0x41);
    EXPECT_EQ(data.vt(), com::VT_ARRAY | com::VT_UI1);
    EXPECT_EQ(data.array().lowerBound(), 0);
    const Bytes payload = BytesOf(data);
    ASSERT_EQ(payload.size(), 6u);  // the value and the checksum behind it
    EXPECT_EQ(Bytes(payload.begin(), payload.begin() + 4), (Bytes{0x0A, 0x0B, 0x0C, 0x0D}));

    // Every event came on this thread, the one that made the object.
    for (const auto& t : spy.Threads()) EXPECT_EQ(t, std::this_thread::get_id());

    // The same exchange in one late-bound call, writing through the caller's references.
    std::int32_t f[5] = {5, 6, 29, 1217, 0xC1};
    Variant io = ByteArray({0x55, 0x66});
    Variant result;
    ASSERT_EQ(com::invokeByName(
                  driver.get(), "AcyclicTransmission", com::DISPATCH_METHOD,
                  com::DispArgs{Variant::byRef(&f[0]), Variant::byRef(&f[1]), Variant::byRef(&f[2]),
                                Variant::byRef(&f[3]), Variant::byRef(&f[4]), Variant::byRef(&io)},
                  &result),
              com::S_OK);
    EXPECT_EQ(result.i4(), 0);
    EXPECT_EQ(f[4], 0x41);
    EXPECT_EQ(BytesOf(io).size(), 2u);  // a write answers without data: the checksum only
    EXPECT_EQ(f[0], 0xC2);              // the answer's whole type byte
    // Read it back: the fields hold the answer now, so they are set afresh.
    f[0] = 5;
    f[1] = 4;
    f[2] = 29;
    f[3] = 1217;
    f[4] = 0xC0;
    io = Variant();
    ASSERT_EQ(com::invokeByName(
                  driver.get(), "AcyclicTransmission", com::DISPATCH_METHOD,
                  com::DispArgs{Variant::byRef(&f[0]), Variant::byRef(&f[1]), Variant::byRef(&f[2]),
                                Variant::byRef(&f[3]), Variant::byRef(&f[4]), Variant::byRef(&io)},
                  &result),
              com::S_OK);
    EXPECT_EQ(result.i4(), 0);
    const Bytes written = BytesOf(io);
    ASSERT_GE(written.size(), 2u);
    EXPECT_EQ(Bytes(written.begin(), written.begin() + 2), (Bytes{0x55, 0x66}));
}

TEST_F(TTivDriverOnSimulator, WithoutASinkEventsOnlyLeaveErrorLinesInTheLog) {
    ASSERT_EQ(driver->put_LogFileOn(com::VARIANT_TRUE), com::S_OK);
    com::VARIANT_BOOL on = 0;
    ASSERT_EQ(driver->get_LogFileOn(&on), com::S_OK);
    EXPECT_EQ(on, com::VARIANT_TRUE);
    Ready();
    Read();
    ASSERT_TRUE(WaitForLog("*****EVENT-ERROR:Thread->OnResponse", 1));
    EXPECT_EQ(Count(Log(), "*****EVENT:Thread->OnResponse"), 0u);

    // Once a sink is there the same exchange is an event.
    Spy spy;
    Advise(driver, spy);
    Read();
    ASSERT_TRUE(PumpUntil([&] { return spy.Count(TivDriverEvent::OnResponse) == 1; }, 5s));
    EXPECT_EQ(Count(Log(), "*****EVENT:Thread->OnResponse"), 1u);
    EXPECT_EQ(Count(Log(), "*****EVENT-ERROR:Thread->OnResponse"), 1u);
}

TEST_F(TTivDriverOnSimulator, OnlyTheLastAdvisedSinkHearsAndAnyUnadviseSilencesIt) {
    ASSERT_EQ(driver->put_LogFileOn(com::VARIANT_TRUE), com::S_OK);
    Ready();
    Spy first, second;
    const auto firstCookie = Advise(driver, first);
    const auto secondCookie = Advise(driver, second);
    ASSERT_NE(firstCookie, secondCookie);

    Read();
    ASSERT_TRUE(PumpUntil([&] { return second.Count(TivDriverEvent::OnResponse) == 1; }, 5s));
    EXPECT_TRUE(first.Events().empty());

    // Dropping the first sink leaves none: the next answer is logged as undelivered.
    Unadvise(driver, firstCookie);
    second.Clear();
    Read();
    ASSERT_TRUE(WaitForLog("*****EVENT-ERROR:Thread->OnResponse", 1));
    os::processMessages();
    EXPECT_TRUE(second.Events().empty());
    EXPECT_TRUE(first.Events().empty());

    // Both connections are still listed; advising again makes that sink current.
    com::ComPtr<com::IConnectionPoint> point;
    auto container = driver.As<com::IConnectionPointContainer>();
    ASSERT_TRUE(container);
    ASSERT_EQ(container->FindConnectionPoint(tivlink::DIID_ITivDriverEvents, point.put()),
              com::S_OK);
    std::vector<com::ConnectData> connections;
    ASSERT_EQ(point->EnumConnections(&connections), com::S_OK);
    ASSERT_EQ(connections.size(), 1u);
    EXPECT_EQ(connections[0].cookie, secondCookie);
    const auto again = Advise(driver, first);
    Read();
    ASSERT_TRUE(PumpUntil([&] { return first.Count(TivDriverEvent::OnResponse) == 1; }, 5s));
    EXPECT_TRUE(second.Events().empty());
    Unadvise(driver, again);
    Unadvise(driver, secondCookie);
    EXPECT_EQ(point->Unadvise(secondCookie), com::CONNECT_E_NOCONNECTION);
}

TEST_F(TTivDriverOnSimulator, AFailingHandlerChangesNothingForTheDriver) {
    Ready();
    Spy spy;
    Advise(driver, spy);
    for (const auto answer : {Spy::Answer::Fail, Spy::Answer::Throw, Spy::Answer::Ok}) {
        spy.SetAnswer(answer);
        spy.Clear();
        Read();
        ASSERT_TRUE(PumpUntil([&] { return spy.Count(TivDriverEvent::OnResponse) == 1; }, 5s));
        // The handler's failure left nothing behind for the client to pick up.
        EXPECT_FALSE(com::takeErrorInfo().has_value());
        std::int32_t telType = 0, dataSize = 0, subNo = 0, objNo = 0, control = 0, r = -1;
        Variant data;
        ASSERT_EQ(driver->ReceiveAcyclic(&telType, &dataSize, &subNo, &objNo, &control, &data, &r),
                  com::S_OK);
        EXPECT_EQ(r, 0);
        EXPECT_EQ(control, 0x41);
    }
}

TEST_F(TTivDriverOnSimulator, DrvFreeTellsTheSinkAtOnceAndLeavesTheValuesUsable) {
    Ready();
    Spy spy;
    Advise(driver, spy);
    std::int32_t r = -1;
    ASSERT_EQ(driver->DrvFree(&r), com::S_OK);
    EXPECT_EQ(r, 0);
    // Invoked during the call, not posted: no message had to run.
    EXPECT_EQ(spy.Count(TivDriverEvent::OnFree), 1);

    ASSERT_EQ(driver->put_TraDelay(30), com::S_OK);
    std::int32_t delay = 0;
    ASSERT_EQ(driver->get_TraDelay(&delay), com::S_OK);
    EXPECT_EQ(delay, 30);
    ASSERT_EQ(driver->DrvFree(&r), com::S_OK);
    EXPECT_EQ(spy.Count(TivDriverEvent::OnFree), 2);
    os::processMessages();
    EXPECT_EQ(spy.Events().size(), 2u);
}

TEST_F(TTivDriverOnSimulator, ReleaseWithASinkThatCallsBackDuringTheLastOnFree) {
    Ready();
    ITivDriver* raw = driver.get();
    std::vector<com::HRESULT> seen;
    auto sink = com::EventSink::create(
        tivlink::DIID_ITivDriverEvents,
        [&](com::DISPID id, const com::DispParams&, Variant*) -> com::HRESULT {
            if (id != static_cast<com::DISPID>(TivDriverEvent::OnFree)) return com::S_OK;
            // A client that takes a reference and calls in while the object goes away.
            com::ComPtr<ITivDriver> keep(raw);
            std::int32_t v = 0;
            seen.push_back(keep->get_Version(&v));
            return com::S_OK;
        });
    std::uint32_t cookie = 0;
    ASSERT_EQ(com::advise(driver.get(), tivlink::DIID_ITivDriverEvents,
                          static_cast<com::IDispatch*>(sink.get()), &cookie),
              com::S_OK);
    driver = nullptr;
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0], com::E_UNEXPECTED);
    EXPECT_EQ(sink->refCount(), 1u);  // the connection let go of it
}

TEST_F(TTivDriverCyclicBus, MeasuredValuesReachTheirOwnSlots) {
    Spy spy;
    Advise(driver, spy);
    std::int32_t r = -1;
    ASSERT_EQ(driver->AssignMvPara(1, 2, 7, &r), com::S_OK);
    ASSERT_EQ(driver->AssignMvPara(10, 0, 5, &r), com::S_OK);
    Ready();
    auto value = [&](auto getter) {
        double v = 0;
        EXPECT_EQ((driver.get()->*getter)(&v), com::S_OK);
        return v;
    };
    // The slots fill before their events are delivered: wait for both.
    EXPECT_TRUE(PumpUntil(
        [&] {
            return value(&ITivDriver::get_Value1) == -4.25 &&
                   value(&ITivDriver::get_Value10) == 21.5 &&
                   spy.Count(TivDriverEvent::OnMvAvailable) >= 2;
        },
        5s))
        << spy.Count(TivDriverEvent::OnMvAvailable) << " OnMvAvailable";
    std::int32_t status1 = 0, status10 = 0, valueNr = 0;
    ASSERT_EQ(driver->get_Status1(&status1), com::S_OK);
    ASSERT_EQ(driver->get_Status10(&status10), com::S_OK);
    EXPECT_EQ(status1, 9);
    EXPECT_EQ(status10, 3);
    ASSERT_EQ(driver->get_ValueNr(&valueNr), com::S_OK);
    EXPECT_TRUE(valueNr == 1 || valueNr == 10) << valueNr;

    // The slots in between hold nothing; each getter reads its own slot.
    for (auto getter : {&ITivDriver::get_Value2, &ITivDriver::get_Value5, &ITivDriver::get_Value9})
        EXPECT_EQ(value(getter), 0.0);
    std::int32_t stamp1 = -1, stamp2 = -1;
    ASSERT_EQ(driver->get_TimeStamp1(&stamp1), com::S_OK);
    ASSERT_EQ(driver->get_TimeStamp2(&stamp2), com::S_OK);
    EXPECT_EQ(stamp1, 0);  // a double carries no time stamp
    EXPECT_EQ(stamp2, 0);

    // Late-bound by name, the same slot.
    Variant late;
    ASSERT_EQ(com::invokeByName(driver.get(), "value10", com::DISPATCH_PROPERTYGET, {}, &late),
              com::S_OK);
    EXPECT_EQ(late.vt(), com::VT_R8);
    EXPECT_EQ(late.r8(), 21.5);
}

}  // namespace
