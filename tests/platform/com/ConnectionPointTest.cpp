#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "TestCalc.h"
#include "com/ConnectionPoint.h"
#include "com/EventSink.h"

namespace {

using namespace com;
using comtest::DIID_ITestCalcEvents;
using comtest::TestCalc;

// Records the events a sink receives.
struct Recorder {
    std::mutex mutex;
    std::vector<DISPID> events;
    HRESULT answer = S_OK;

    ComPtr<EventSink> sink(const Guid& iid = DIID_ITestCalcEvents) {
        return EventSink::create(iid, [this](DISPID id, const DispParams&, Variant*) {
            std::lock_guard lock(mutex);
            events.push_back(id);
            return answer;
        });
    }
    std::vector<DISPID> seen() {
        std::lock_guard lock(mutex);
        return events;
    }
};

ComPtr<IConnectionPoint> pointOf(TestCalc* calc) {
    ComPtr<IConnectionPoint> p;
    EXPECT_EQ(calc->FindConnectionPoint(DIID_ITestCalcEvents, p.put()), S_OK);
    return p;
}

TEST(ComConnectionPoint, CookiesAreDistinctAndEventsReachEverySink) {
    auto calc = TestCalc::create();
    auto point = pointOf(calc.get());
    ASSERT_TRUE(point);
    Recorder a, b;
    std::uint32_t ca = 0, cb = 0;
    ASSERT_EQ(point->Advise(a.sink().get(), &ca), S_OK);
    ASSERT_EQ(point->Advise(b.sink().get(), &cb), S_OK);
    EXPECT_NE(ca, 0u);
    EXPECT_NE(cb, 0u);
    EXPECT_NE(ca, cb);

    std::int32_t sinks = 0;
    ASSERT_EQ(calc->Fire(2, &sinks), S_OK);
    EXPECT_EQ(sinks, 2);
    EXPECT_EQ(a.seen(), std::vector<DISPID>{2});
    EXPECT_EQ(b.seen(), std::vector<DISPID>{2});

    EXPECT_EQ(point->Unadvise(ca), S_OK);
    ASSERT_EQ(calc->Fire(1, &sinks), S_OK);
    EXPECT_EQ(a.seen(), std::vector<DISPID>{2});
    EXPECT_EQ(b.seen(), (std::vector<DISPID>{2, 1}));

    std::vector<ConnectData> connections;
    ASSERT_EQ(point->EnumConnections(&connections), S_OK);
    ASSERT_EQ(connections.size(), 1u);
    EXPECT_EQ(connections[0].cookie, cb);
}

TEST(ComConnectionPoint, UnknownCookiesAndSinksAreRefused) {
    auto calc = TestCalc::create();
    auto point = pointOf(calc.get());
    EXPECT_EQ(point->Unadvise(0), CONNECT_E_NOCONNECTION);
    EXPECT_EQ(point->Unadvise(12345), CONNECT_E_NOCONNECTION);
    Recorder r;
    std::uint32_t cookie = 0;
    ASSERT_EQ(point->Advise(r.sink().get(), &cookie), S_OK);
    EXPECT_EQ(point->Unadvise(cookie), S_OK);
    EXPECT_EQ(point->Unadvise(cookie), CONNECT_E_NOCONNECTION) << "twice";

    // A sink that does not implement the event interface.
    cookie = 77;
    EXPECT_EQ(
        point->Advise(r.sink(makeGuid("{00000000-0000-0000-0000-0000000000AA}")).get(), &cookie),
        CONNECT_E_CANNOTCONNECT);
    EXPECT_EQ(cookie, 0u);
    EXPECT_EQ(point->Advise(nullptr, &cookie), E_POINTER);

    ComPtr<IConnectionPoint> none;
    EXPECT_EQ(calc->FindConnectionPoint(comtest::IID_ITestCalc, none.put()),
              CONNECT_E_NOCONNECTION);
    EXPECT_FALSE(none);
}

TEST(ComConnectionPoint, PointSharesTheContainersLifetime) {
    auto calc = TestCalc::create();
    const auto before = calc->refCount();
    {
        auto point = pointOf(calc.get());
        EXPECT_EQ(calc->refCount(), before + 1);
        ComPtr<IConnectionPointContainer> back;
        ASSERT_EQ(point->GetConnectionPointContainer(back.put()), S_OK);
        EXPECT_EQ(static_cast<IConnectionPointContainer*>(calc.get()), back.get());
        Guid iid;
        EXPECT_EQ(point->GetConnectionInterface(&iid), S_OK);
        EXPECT_EQ(iid, DIID_ITestCalcEvents);
        EXPECT_EQ(point.As<IConnectionPoint>().get(), point.get());
    }
    EXPECT_EQ(calc->refCount(), before);
    std::vector<ComPtr<IConnectionPoint>> all;
    ASSERT_EQ(calc->EnumConnectionPoints(&all), S_OK);
    EXPECT_EQ(all.size(), 1u);
}

TEST(ComConnectionPoint, LimitObserverAndFailingSinks) {
    auto calc = TestCalc::create();
    ConnectionPoint limited(*calc, DIID_ITestCalcEvents, 1);
    std::vector<std::pair<bool, std::uint32_t>> seen;
    limited.setObserver([&](bool advised, std::uint32_t cookie, IDispatch* sink) {
        EXPECT_NE(sink, nullptr);
        seen.emplace_back(advised, cookie);
    });
    Recorder failing;
    failing.answer = E_FAIL;
    Recorder other;
    std::uint32_t c1 = 0, c2 = 0;
    ASSERT_EQ(limited.Advise(failing.sink().get(), &c1), S_OK);
    EXPECT_EQ(limited.Advise(other.sink().get(), &c2), CONNECT_E_ADVISELIMIT);
    EXPECT_EQ(limited.invoke(5), E_FAIL) << "the sink's failure is reported to the owner";
    EXPECT_EQ(failing.seen(), std::vector<DISPID>{5});
    ASSERT_EQ(limited.Unadvise(c1), S_OK);
    EXPECT_EQ((std::vector<std::pair<bool, std::uint32_t>>{{true, c1}, {false, c1}}), seen);
}

TEST(ComConnectionPoint, SinkMayUnadviseItselfDuringAnEvent) {
    auto calc = TestCalc::create();
    auto point = pointOf(calc.get());
    std::uint32_t cookie = 0;
    int calls = 0;
    auto sink = EventSink::create(DIID_ITestCalcEvents, [&](DISPID, const DispParams&, Variant*) {
        ++calls;
        return point->Unadvise(cookie);
    });
    ASSERT_EQ(point->Advise(sink.get(), &cookie), S_OK);
    const auto sinkRefs = sink->refCount();
    sink = nullptr;  // the point keeps it alive
    EXPECT_GT(sinkRefs, 1u);
    EXPECT_EQ(calc->events().invoke(1), S_OK);
    EXPECT_EQ(calc->events().invoke(1), S_OK);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(calc->events().count(), 0u);
}

TEST(ComConnectionPoint, ConcurrentAdviseUnadviseAndInvoke) {
    auto calc = TestCalc::create();
    auto point = pointOf(calc.get());
    Recorder r;
    std::atomic<bool> stop{false};
    std::thread firer([&] {
        while (!stop.load()) calc->events().invoke(1);
    });
    std::vector<std::thread> clients;
    std::mutex cookieMutex;
    std::set<std::uint32_t> cookies;
    for (int t = 0; t < 4; ++t)
        clients.emplace_back([&] {
            for (int i = 0; i < 200; ++i) {
                std::uint32_t c = 0;
                ASSERT_EQ(point->Advise(r.sink().get(), &c), S_OK);
                {
                    std::lock_guard lock(cookieMutex);
                    EXPECT_TRUE(cookies.insert(c).second) << "cookie " << c << " handed out twice";
                }
                ASSERT_EQ(point->Unadvise(c), S_OK);
            }
        });
    for (auto& c : clients) c.join();
    stop = true;
    firer.join();
    EXPECT_EQ(calc->events().count(), 0u);
    EXPECT_EQ(cookies.size(), 800u);
}

TEST(ComConnectionPoint, ClientHelpersFindThePoint) {
    auto calc = TestCalc::create();
    Recorder r;
    std::uint32_t cookie = 0;
    ASSERT_EQ(advise(calc->identity(), DIID_ITestCalcEvents, r.sink().get(), &cookie), S_OK);
    calc->events().invoke(2);
    EXPECT_EQ(r.seen(), std::vector<DISPID>{2});
    EXPECT_EQ(unadvise(calc->identity(), DIID_ITestCalcEvents, cookie), S_OK);
    EXPECT_EQ(unadvise(calc->identity(), DIID_ITestCalcEvents, cookie), CONNECT_E_NOCONNECTION);
    EXPECT_EQ(unadvise(r.sink()->identity(), DIID_ITestCalcEvents, 1), E_NOINTERFACE);
}

}  // namespace
