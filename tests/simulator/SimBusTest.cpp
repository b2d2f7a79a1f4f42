// Bus traffic through the simulated adapter: transmit blocks in, echo and device answers
// out as frames on pipe 1, with both checksum methods, escapes, delays, cyclic telegrams
// and the bus faults.

#include <gtest/gtest.h>

#include <bit>
#include <cstring>

#include "SimHarness.h"
#include "simulator/Frames.h"

using namespace simtest;
using namespace std::chrono_literals;

namespace {

struct BusRig {
    explicit BusRig(sim::Scenario s, double scale = 10.0)
        : clock(std::make_shared<os::ScaledClock>(scale)),
          sim(std::make_shared<sim::Simulator>(std::move(s))),
          transport(sim::makeSimTransport(sim)),
          dev(transport, 0) {}
    os::ScopedClock clock;
    std::shared_ptr<sim::Simulator> sim;
    std::shared_ptr<usbio::Transport> transport;
    DeviceAccess dev;

    std::vector<Frame> exchange(const Bytes& record, std::size_t frames,
                                std::chrono::milliseconds timeout = 2000ms) {
        EXPECT_TRUE(dev.sendTelegram(record));
        return collectFrames(dev, frames, timeout);
    }
};

sim::Scenario withoutCyclic(bool crc = true) {
    return testScenario(true, crc);
}

}  // namespace

TEST(SimBusChecksum, KnownRecordUnderBothMethods) {
    const Bytes record{0xA2, 0x04, 0x01, 0x02, 0x01, 0x00};
    EXPECT_EQ(sim::telegramChecksum(record, false), 0x00AA);
    EXPECT_EQ(sim::telegramChecksum(record, true), 0xC88B);
    EXPECT_EQ(sim::telegramChecksum({}, true), 0);
}

TEST(SimBusExchange, ReadComesBackAsEchoThenAnswerUnderEitherMethod) {
    for (const bool crc : {true, false}) {
        BusRig r(withoutCyclic(crc));
        const auto req = request(5, 29, 1217, 0xC0);
        const auto frames = r.exchange(req, 2);
        ASSERT_EQ(frames.size(), 2u) << "crc=" << crc;

        const auto& echo = frames[0];
        EXPECT_EQ(echo.record, req);
        EXPECT_EQ(echo.length, req.size() + 2);
        EXPECT_EQ(echo.flags & sim::kFlagCrc, crc ? sim::kFlagCrc : 0);
        EXPECT_EQ(echo.checksum, sim::telegramChecksum(echo.record, crc));

        const auto& answer = frames[1];
        EXPECT_EQ(answer.type(), 6);
        EXPECT_EQ(answer.sub(), 29);
        EXPECT_EQ(answer.obj(), 1217);
        EXPECT_EQ(answer.control(), 0x41);
        EXPECT_EQ(answer.data(), (Bytes{0x0A, 0x0B, 0x0C, 0x0D}));
        EXPECT_EQ(answer.record[1], 8);  // DataSize: header plus four value bytes
        EXPECT_EQ(answer.checksum, sim::telegramChecksum(answer.record, crc));
    }
}

TEST(SimBusExchange, MethodCommandSwitchesTheReportedChecksum) {
    BusRig r(withoutCyclic(true));
    ASSERT_TRUE(r.dev.command({0xDC, 0}));
    const auto frames = r.exchange(request(5, 29, 1217, 0xC0), 2);
    ASSERT_EQ(frames.size(), 2u);
    for (const auto& f : frames) {
        EXPECT_EQ(f.flags & sim::kFlagCrc, 0);
        EXPECT_EQ(f.checksum, sim::telegramChecksum(f.record, false));
    }
}

TEST(SimBusExchange, EscapedBytesAndPacking) {
    BusRig r(withoutCyclic());
    ASSERT_TRUE(r.dev.sendTelegram(request(5, 29, 1400, 0xC0)));
    FrameCollector c;
    const auto frames = collectFrames(r.dev, 2, 2000ms, &c);
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[1].data(), (Bytes{0xF9, 0xFA, 0xFB, 0x00}));
    EXPECT_GE(c.escapes, 3);
    EXPECT_EQ(c.junk, 0);
    EXPECT_FALSE(c.midFrame());

    // Many frames share packets back to back; no frame is torn by padding.
    for (int i = 0; i < 6; ++i)
        ASSERT_TRUE(r.dev.sendTelegram(request(7, 29, 0x7DF5, 0, {'D', 'L', 'L', '_', 49})));
    FrameCollector many;
    const auto echoes = collectFrames(r.dev, 6, 2000ms, &many);
    ASSERT_EQ(echoes.size(), 6u);
    EXPECT_EQ(many.junk, 0);
    EXPECT_EQ(echoes[5].data(), (Bytes{'D', 'L', 'L', '_', 49}));
}

TEST(SimBusExchange, FullSizeTelegramAndOversizedDataSize) {
    BusRig r(withoutCyclic());
    Bytes big = request(7, 9, 0x1234, 0);
    for (int i = 0; i < 128; ++i) big.push_back(static_cast<std::uint8_t>(i));
    big[1] = 132;
    auto frames = r.exchange(big, 1);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].record, big);  // 54 + 48 + 32 bytes across the three blocks

    // A size byte past 132 cannot make the adapter send more than a full record.
    big[1] = 250;
    frames = r.exchange(big, 1);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].record.size(), 134u);
    EXPECT_EQ(frames[0].record[1], 132);
}

TEST(SimBusDevices, WritesErrorsUnknownObjectsAndSilentSubs) {
    BusRig r(withoutCyclic());
    auto f = r.exchange(request(5, 29, 1217, 0xC1, {1, 2, 3}), 2);
    ASSERT_EQ(f.size(), 2u);
    EXPECT_EQ(f[1].control(), 0x41);
    EXPECT_TRUE(f[1].data().empty());
    f = r.exchange(request(5, 29, 1217, 0xC0), 2);
    ASSERT_EQ(f.size(), 2u);
    EXPECT_EQ(f[1].data(), (Bytes{1, 2, 3}));

    f = r.exchange(request(5, 1, 100, 0xC1, {9}), 2);
    ASSERT_EQ(f.size(), 2u);
    EXPECT_EQ(f[1].control(), 0x82);

    f = r.exchange(request(5, 1, 1300, 0xC0), 2);
    ASSERT_EQ(f.size(), 2u);
    EXPECT_EQ(f[1].control(), 132);

    f = r.exchange(request(5, 29, 4242, 0xC0), 2);
    ASSERT_EQ(f.size(), 2u);
    EXPECT_EQ(f[1].control(), 0x88);

    // No device listens to sub 77: only the echo comes back.
    f = r.exchange(request(5, 77, 1217, 0xC0), 2, 300ms);
    ASSERT_EQ(f.size(), 1u);
    EXPECT_EQ(f[0].type(), 5);
}

TEST(SimBusDevices, DelayedAnswerIsAnnouncedThenDelivered) {
    BusRig r(withoutCyclic(), 20.0);
    const auto sent = os::clock().now();
    auto f = r.exchange(request(5, 2, 1301, 0xC0), 2);
    ASSERT_EQ(f.size(), 2u);
    EXPECT_EQ(f[1].type(), 6);
    EXPECT_EQ(f[1].control(), 0x01);
    EXPECT_EQ(f[1].data(), (Bytes{5}));  // wait time in 100 ms ticks
    EXPECT_EQ(f[1].record[1], 5);

    f = collectFrames(r.dev, 1, 3000ms);
    ASSERT_EQ(f.size(), 1u);
    EXPECT_GE(os::clock().now() - sent, 500ms);
    EXPECT_EQ(f[0].type(), 7);
    EXPECT_EQ(f[0].sub(), 2);
    EXPECT_EQ(f[0].obj(), 1301);
    EXPECT_EQ(f[0].control(), 0x0A);
    EXPECT_EQ(f[0].data(), (Bytes{0x41, 0x00, 0x2A}));
}

TEST(SimBusFaults, AnswerFaultsHitOnlyTheNextAnswer) {
    BusRig r(withoutCyclic());
    ASSERT_EQ(r.sim->control("drop-answer"), "ok");
    auto f = r.exchange(request(5, 29, 1217, 0xC0), 2, 300ms);
    EXPECT_EQ(f.size(), 1u);

    ASSERT_EQ(r.sim->control("corrupt-checksum"), "ok");
    f = r.exchange(request(5, 29, 1217, 0xC0), 2);
    ASSERT_EQ(f.size(), 2u);
    EXPECT_EQ(f[0].checksum, sim::telegramChecksum(f[0].record, true));  // echo untouched
    EXPECT_NE(f[1].checksum, sim::telegramChecksum(f[1].record, true));

    ASSERT_EQ(r.sim->control("wrong-sub"), "ok");
    f = r.exchange(request(5, 29, 1217, 0xC0), 2);
    ASSERT_EQ(f.size(), 2u);
    EXPECT_EQ(f[1].sub(), 30);

    f = r.exchange(request(5, 29, 1217, 0xC0), 2);
    ASSERT_EQ(f.size(), 2u);
    EXPECT_EQ(f[1].sub(), 29);
    EXPECT_EQ(f[1].checksum, sim::telegramChecksum(f[1].record, true));
}

TEST(SimBusFaults, CountedFaultsLastTheirCountOrUntilClear) {
    BusRig r(withoutCyclic());
    ASSERT_EQ(r.sim->control("drop-answer 2"), "ok");
    EXPECT_EQ(r.exchange(request(5, 29, 1217, 0xC0), 2, 300ms).size(), 1u);
    EXPECT_EQ(r.exchange(request(5, 29, 1217, 0xC0), 2, 300ms).size(), 1u);
    EXPECT_EQ(r.exchange(request(5, 29, 1217, 0xC0), 2).size(), 2u);

    ASSERT_EQ(r.sim->control("corrupt-checksum -1"), "ok");
    for (int i = 0; i < 3; ++i) {
        const auto f = r.exchange(request(5, 29, 1217, 0xC0), 2);
        ASSERT_EQ(f.size(), 2u);
        EXPECT_NE(f[1].checksum, sim::telegramChecksum(f[1].record, true)) << i;
    }
    ASSERT_EQ(r.sim->control("clear"), "ok");
    const auto f = r.exchange(request(5, 29, 1217, 0xC0), 2);
    ASSERT_EQ(f.size(), 2u);
    EXPECT_EQ(f[1].checksum, sim::telegramChecksum(f[1].record, true));
}

TEST(SimBusFaults, SlowAnswersKeepTheirOrder) {
    BusRig r(withoutCyclic(), 20.0);
    ASSERT_EQ(r.sim->control("answer-delay 400"), "ok");
    const auto sent = os::clock().now();
    const auto f = r.exchange(request(5, 29, 1217, 0xC0), 2, 3000ms);
    ASSERT_EQ(f.size(), 2u);
    EXPECT_GE(os::clock().now() - sent, 400ms);
    EXPECT_EQ(f[1].control(), 0x41);
}

TEST(SimBusFaults, OffTheBusNothingIsSentOrHeard) {
    BusRig r(withoutCyclic());
    ASSERT_EQ(r.sim->control("logoff"), "ok");
    auto p = r.dev.bulkRead(1);
    ASSERT_TRUE(p);
    EXPECT_EQ((*p)[1] & 0x10, 0);
    EXPECT_TRUE(r.exchange(request(5, 29, 1217, 0xC0), 1, 200ms).empty());
    EXPECT_EQ(r.sim->snapshot(0).telegramsSent, 0u);

    ASSERT_EQ(r.sim->control("logon"), "ok");
    ASSERT_EQ(r.sim->control("bus-disconnect"), "ok");
    EXPECT_TRUE(r.exchange(request(5, 29, 1217, 0xC0), 1, 200ms).empty());
    p = r.dev.bulkRead(1);
    ASSERT_TRUE(p);
    EXPECT_EQ((*p)[1] & 0x04, 0x04);

    ASSERT_EQ(r.sim->control("bus-connect"), "ok");
    EXPECT_EQ(r.exchange(request(5, 29, 1217, 0xC0), 2).size(), 2u);

    // A hardware reset of the bus side drops the login for a moment.
    ASSERT_TRUE(r.dev.command({0xD7}));
    p = r.dev.bulkRead(1);
    ASSERT_TRUE(p);
    EXPECT_EQ((*p)[1] & 0x10, 0);
}

TEST(SimBusCyclic, MeasuredValuesOfAllThreeTypes) {
    auto s = withoutCyclic();
    s.devices[0].cyclic = {
        {0, 3, 100, 1.5, 0, 0.25}, {1, 4, 100, -7.25, 1, 0}, {2, 5, 100, 21.5, 2, 0}};
    BusRig r(s, 20.0);
    const auto frames = collectFrames(r.dev, 9, 5000ms);
    ASSERT_GE(frames.size(), 6u);
    std::vector<float> type0;
    for (const auto& f : frames) {
        ASSERT_LT(f.type(), 3);
        const int obj = f.record[0] & 0x1F;
        EXPECT_EQ(f.length, f.record.size() + 2);
        if (f.type() == 0) {
            ASSERT_EQ(f.record.size(), 10u);
            EXPECT_EQ(obj, 3);
            type0.push_back(std::bit_cast<float>(static_cast<std::uint32_t>(
                f.record[2] | f.record[3] << 8 | f.record[4] << 16 | f.record[5] << 24)));
        } else if (f.type() == 1) {
            ASSERT_EQ(f.record.size(), 6u);
            EXPECT_EQ(obj, 4);
            EXPECT_EQ(f.record[1], 1);
            float v;
            std::memcpy(&v, &f.record[2], 4);
            EXPECT_EQ(v, -7.25f);
        } else {
            ASSERT_EQ(f.record.size(), 10u);
            EXPECT_EQ(obj, 5);
            double v;
            std::memcpy(&v, &f.record[2], 8);
            EXPECT_EQ(v, 21.5);
        }
    }
    ASSERT_GE(type0.size(), 2u);
    EXPECT_EQ(type0[0], 1.5f);
    EXPECT_EQ(type0[1], 1.75f);
}

TEST(SimBusCyclic, SetWritePointerDiscardsWhatWasNotRead) {
    auto s = withoutCyclic();
    // A telegram every 50 ms in real time: far apart next to the command and the read, so
    // only a stall of that length lets a second one in.
    s.devices[0].cyclic = {{1, 4, 50, 1.0, 0, 0}};
    BusRig r(s, 1.0);
    // Let a packet's worth and more pile up unread, then clear it the way a recording start
    // does: the read returns with the first telegram heard after it.
    os::clock().sleepFor(500ms);
    ASSERT_TRUE(r.dev.command({0x9E}));
    const auto p = r.dev.bulkRead(1);
    ASSERT_TRUE(p);
    FrameCollector c;
    c.feed(*p);
    EXPECT_LE(c.frames.size(), 2u);
}

TEST(SimBusTwoAdapters, EachHearsTheOthersTelegram) {
    sim::Scenario s = withoutCyclic();
    sim::AdapterSpec second;
    second.device = 7;
    second.port = 0xEF;
    second.firmwareRunning = true;
    s.adapters.push_back(second);
    BusRig r(s);
    DeviceAccess other(r.transport, 7);
    ASSERT_TRUE(r.dev.sendTelegram(request(5, 29, 1217, 0xC0)));
    const auto heard = collectFrames(other, 2, 2000ms);
    ASSERT_EQ(heard.size(), 2u);
    EXPECT_EQ(heard[0].type(), 5);
    EXPECT_EQ(heard[1].type(), 6);
    EXPECT_EQ(other.readPort(), 0xEF);
    EXPECT_EQ(r.sim->snapshot(7).address, 1);
}
