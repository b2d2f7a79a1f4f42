// The simulated adapter's USB side as a driver sees it: core requests, the two-stage
// firmware download, the firmware's command, status and reply pipes, plugging.

#include <gtest/gtest.h>

#include "SimHarness.h"

using namespace simtest;

namespace {

struct Rig {
    explicit Rig(sim::Scenario s)
        : sim(std::make_shared<sim::Simulator>(std::move(s))),
          transport(sim::makeSimTransport(sim)),
          dev(transport, 0) {}
    std::shared_ptr<sim::Simulator> sim;
    std::shared_ptr<usbio::Transport> transport;
    DeviceAccess dev;
};

}  // namespace

TEST(SimAdapterCore, DescriptorPortAndUnknownRequests) {
    Rig r(testScenario(false));
    std::uint8_t d[18] = {};
    std::uint32_t n = 0;
    ASSERT_TRUE(r.dev.request(usbio::kIoctlGetDeviceDescriptor, nullptr, 0, d, sizeof d, &n));
    EXPECT_EQ(n, 18u);
    EXPECT_EQ(d[8] | d[9] << 8, 0x0547);
    EXPECT_EQ(d[10] | d[11] << 8, 0x2131);

    // Port byte 0x5F: the driver inverts it and shifts by four to get address 10.
    const auto port = r.dev.readPort();
    ASSERT_TRUE(port);
    EXPECT_EQ(*port, 0x5F);
    EXPECT_EQ(static_cast<std::uint8_t>(~*port) >> 4, 10);

    EXPECT_FALSE(r.dev.request(0x222FFF, nullptr, 0, nullptr, 0));
    std::uint8_t shortBlock[3] = {0xA0, 0, 0};
    EXPECT_FALSE(r.dev.request(usbio::kIoctlVendorRequest, shortBlock, 3, nullptr, 0));
    EXPECT_FALSE(r.dev.request(usbio::kIoctlBulkRead, nullptr, 0, d, sizeof d));
    EXPECT_FALSE(r.dev.setInterface(1, 0));
}

TEST(SimAdapterCore, OnlyDeviceNamesOfPluggedAdaptersOpen) {
    Rig r(testScenario());
    EXPECT_EQ(r.transport->open("\\\\.\\ezusb-1"), usbio::kInvalidHandle);
    EXPECT_EQ(r.transport->open("ezusb-0"), usbio::kInvalidHandle);
    EXPECT_EQ(r.transport->open("\\\\.\\ezusb-16"), usbio::kInvalidHandle);

    const auto stale = r.transport->open(deviceName(0));
    ASSERT_NE(stale, usbio::kInvalidHandle);
    EXPECT_EQ(r.sim->control("unplug 0"), "ok");
    EXPECT_FALSE(r.dev.present());
    std::uint8_t d[18];
    std::uint32_t n = 99;
    EXPECT_FALSE(r.transport->ioControl(stale, usbio::kIoctlGetDeviceDescriptor, nullptr, 0, d,
                                        sizeof d, &n));
    EXPECT_EQ(n, 0u);

    EXPECT_EQ(r.sim->control("replug 0"), "ok");
    EXPECT_TRUE(r.dev.present());
    // A handle from before the unplug stays dead: it belonged to the old attachment.
    EXPECT_FALSE(r.transport->ioControl(stale, usbio::kIoctlGetDeviceDescriptor, nullptr, 0, d,
                                        sizeof d, &n));
    r.transport->close(stale);
    r.transport->close(stale);  // twice is harmless
}

TEST(SimAdapterFirmware, IntactImageBringsFirmwareToLife) {
    Rig r(testScenario(false));
    // Nothing runs yet: every bulk pipe fails.
    for (std::uint32_t pipe = 1; pipe <= 5; ++pipe) EXPECT_FALSE(r.dev.bulkRead(pipe));
    EXPECT_FALSE(r.dev.command({0xF0}));

    const auto image = sim::makeFirmwareImage();
    ASSERT_TRUE(r.dev.loadFirmware(image));
    const auto s = r.sim->snapshot(0);
    EXPECT_TRUE(s.firmwareRunning);
    EXPECT_FALSE(s.onHold);

    ASSERT_TRUE(r.dev.command({0xF0}));
    const auto version = r.dev.bulkRead(5);
    ASSERT_TRUE(version);
    EXPECT_EQ((*version)[8], 'S');
    EXPECT_EQ((*version)[9], 'W');
    EXPECT_TRUE(std::equal(image.begin() + sim::kStageTwoOffset,
                           image.begin() + sim::kStageTwoOffset + 10, version->begin()));

    // Holding the core stops the firmware again.
    ASSERT_TRUE(r.dev.hold());
    EXPECT_FALSE(r.sim->snapshot(0).firmwareRunning);
    EXPECT_FALSE(r.dev.bulkRead(3));
}

TEST(SimAdapterFirmware, DamagedOrMisplacedImageLeavesSilentAdapter) {
    const auto good = sim::makeFirmwareImage();
    {
        auto bad = good;
        bad[100] ^= 0x01;  // stage one
        Rig r(testScenario(false));
        r.dev.loadFirmware(bad);
        const auto s = r.sim->snapshot(0);
        EXPECT_FALSE(s.stageOneRunning);
        EXPECT_FALSE(s.firmwareRunning);
        EXPECT_FALSE(r.dev.bulkWrite(4, std::span(good).subspan(sim::kStageTwoOffset, 64)));
    }
    {
        auto bad = good;
        bad[sim::kStageTwoOffset + 5000] ^= 0x80;  // stage two
        Rig r(testScenario(false));
        ASSERT_TRUE(r.dev.loadFirmware(bad));
        const auto s = r.sim->snapshot(0);
        EXPECT_TRUE(s.stageOneRunning);
        EXPECT_FALSE(s.firmwareRunning);
        ASSERT_FALSE(r.dev.command({0xF0}));
        // The stage-one loader takes a fresh second stage after a bad one.
        for (std::size_t i = 0; i < sim::kStageTwoPackets; ++i)
            r.dev.bulkWrite(4, std::span(good).subspan(sim::kStageTwoOffset + i * 64, 64));
        EXPECT_TRUE(r.sim->snapshot(0).firmwareRunning);
    }
    {
        // Internal memory takes code only while the core is held.
        Rig r(testScenario(false));
        EXPECT_FALSE(r.dev.download(0, std::span(good).first(sim::kStageOneSize)));
        ASSERT_TRUE(r.dev.hold());
        EXPECT_FALSE(r.dev.download(8000, std::span(good).first(512)));  // past the memory
        // Stage one at the wrong offset does not start.
        ASSERT_TRUE(r.dev.download(64, std::span(good).first(sim::kStageOneSize)));
        ASSERT_TRUE(r.dev.run());
        EXPECT_FALSE(r.sim->snapshot(0).stageOneRunning);
    }
}

TEST(SimAdapterFirmware, StatusPacketCarriesTokensAddressAndFlags) {
    Rig r(testScenario());
    ASSERT_TRUE(r.dev.command({0x9C, 7, 5}));  // next token 7, adapter token 5
    ASSERT_TRUE(r.dev.command({0xDA, 1}));
    ASSERT_TRUE(r.dev.command({0xDC, 0}));
    auto s = r.dev.bulkRead(3);
    ASSERT_TRUE(s);
    EXPECT_EQ((*s)[10], 5);
    EXPECT_EQ((*s)[11], 7);
    EXPECT_EQ((*s)[13], 10);
    EXPECT_EQ((*s)[14] & 1, 0);
    EXPECT_EQ((*s)[16] & 1, 1);
    EXPECT_EQ((*s)[18] & 1, 1);
    EXPECT_EQ((*s)[19] & 1, 0);

    ASSERT_TRUE(r.dev.command({0xD5, 0}));  // adapter off the bus
    r.sim->setBusConnected(0, false);
    s = r.dev.bulkRead(3);
    ASSERT_TRUE(s);
    EXPECT_EQ((*s)[14] & 1, 1);
    EXPECT_EQ((*s)[16] & 1, 0);
    const auto p = r.dev.bulkRead(1);
    ASSERT_TRUE(p);
    EXPECT_EQ((*p)[0], 0);
    EXPECT_EQ((*p)[1], 0x04);
}

TEST(SimAdapterFirmware, MemoryDownloadReadsBackThroughUpload) {
    Rig r(testScenario());
    ASSERT_TRUE(r.dev.command({0xA4, 0}));
    ASSERT_TRUE(r.dev.command({0xB1, 0, 0, 0, 0, 0, 0, 0, 124}));
    // 125 bytes in chunks of 60, 60 and 5, as a driver sends them.
    std::vector<std::uint8_t> data(125);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 3 + 1);
    for (std::size_t at = 0; at < data.size(); at += 60) {
        const std::size_t n = std::min<std::size_t>(60, data.size() - at);
        Packet p{0xB0, static_cast<std::uint8_t>(at >> 8), static_cast<std::uint8_t>(at),
                 static_cast<std::uint8_t>(n)};
        std::copy_n(data.begin() + at, n, p.begin() + 4);
        ASSERT_TRUE(r.dev.bulkWrite(2, p));
        // The state reports busy (bit 1) for a moment after each chunk, then clears.
        std::optional<Packet> state;
        const auto deadline = os::clock().now() + std::chrono::seconds(2);
        do {
            ASSERT_TRUE(r.dev.command({0xB2}));
            state = r.dev.bulkRead(5);
            ASSERT_TRUE(state);
        } while (((*state)[0] & 0x02) && os::clock().now() < deadline);
        EXPECT_EQ((*state)[0] & 0x02, 0);
        EXPECT_EQ((*state)[0] & 0x01, 1);
        const std::uint32_t last = static_cast<std::uint32_t>(
            (*state)[1] << 24 | (*state)[2] << 16 | (*state)[3] << 8 | (*state)[4]);
        EXPECT_EQ(last, at + n - 1);
    }
    ASSERT_TRUE(r.dev.command({0xB3}));
    EXPECT_TRUE(r.sim->snapshot(0).downloadLocked);

    std::vector<std::uint8_t> back;
    for (std::size_t at = 0; at < 128; at += 64) {
        ASSERT_TRUE(r.dev.command(
            {0xB6, static_cast<std::uint8_t>(at >> 8), static_cast<std::uint8_t>(at), 64}));
        const auto p = r.dev.bulkRead(5);
        ASSERT_TRUE(p);
        back.insert(back.end(), p->begin(), p->end());
    }
    EXPECT_TRUE(std::equal(data.begin(), data.end(), back.begin()));
    EXPECT_EQ(back[125], 0);

    // An empty reply pipe answers with a zero-length packet instead of blocking.
    std::uint32_t n = 99;
    ASSERT_TRUE(r.dev.bulkRead(5, &n));
    EXPECT_EQ(n, 0u);
}

TEST(SimAdapterFaults, TransferErrorsAndWrongDirections) {
    Rig r(testScenario());
    EXPECT_FALSE(r.dev.bulkRead(2));
    EXPECT_FALSE(r.dev.bulkWrite(3, Packet{}));
    EXPECT_FALSE(r.dev.bulkRead(6));

    EXPECT_EQ(r.sim->control("usb-errors 2"), "ok");
    EXPECT_FALSE(r.dev.bulkRead(3));
    EXPECT_FALSE(r.dev.command({0xF0}));
    EXPECT_TRUE(r.dev.bulkRead(3));

    EXPECT_EQ(r.sim->control("usb-errors -1 0"), "ok");
    for (int i = 0; i < 5; ++i) EXPECT_FALSE(r.dev.bulkRead(3));
    EXPECT_EQ(r.sim->control("clear"), "ok");
    EXPECT_TRUE(r.dev.bulkRead(3));
}

TEST(SimControl, RefusesBadCommandsWithReasons) {
    Rig r(testScenario());
    for (const char* bad : {"", "fly", "unplug 9", "unplug x", "usb-errors", "usb-errors -5",
                            "answer-delay -1", "answer-delay", "drop-answer now", "drop-answer -2",
                            "wrong-sub 1 2", "clear 1", "unplug 0 1"}) {
        const auto reply = r.sim->control(bad);
        EXPECT_EQ(reply.rfind("error: ", 0), 0u) << "'" << bad << "' gave " << reply;
    }
    EXPECT_EQ(r.sim->control("list"), "ok 0:plugged");
    EXPECT_EQ(r.sim->control("  status  ").rfind("ok device=0 plugged=1", 0), 0u);
    EXPECT_EQ(r.sim->control("help").rfind("ok\n", 0), 0u);
}
