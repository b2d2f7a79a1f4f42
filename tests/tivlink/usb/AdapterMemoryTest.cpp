// Writing and reading the adapter's memory: chunking, state queries, the download flag and
// how a download ends when the adapter goes away or stays busy.

#include <limits>
#include <tuple>

#include "usb/AdapterRig.h"

using namespace adaptertest;
using enginetest::PumpUntil;
using tivlink::ByteArrayArg;

namespace {

Bytes Pattern(std::size_t n, std::uint8_t seed) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(seed + i * 7);
    return b;
}

// Offset and count of every download data packet.
std::vector<std::pair<int, int>> Chunks(const FakeTransport& t) {
    std::vector<std::pair<int, int>> chunks;
    for (const auto& w : t.Commands(0xB0))
        chunks.emplace_back(w.packet[1] << 8 | w.packet[2], w.packet[3]);
    return chunks;
}

TEST(AdapterMemory, DownloadGoesOutInChunksOfSixtyAndReadsBack) {
    AdapterRig r(OneAdapter(true));
    ASSERT_EQ(r.Select(1), 0);
    const Bytes data = Pattern(125, 3);
    r.transport->Clear();
    ASSERT_EQ(r.engine->DlLoadAdapter(125, ByteArrayArg::Bytes(data)), 0);
    EXPECT_EQ(Chunks(*r.transport),
              (std::vector<std::pair<int, int>>{{0, 60}, {60, 60}, {120, 5}}));
    // Each chunk is followed by state queries before the next one goes out.
    const auto writes = r.transport->Writes();
    for (std::size_t i = 0; i + 1 < writes.size(); ++i) {
        if (writes[i].packet[0] == 0xB0) {
            EXPECT_EQ(writes[i + 1].packet[0], 0xB2) << i;
        }
    }
    const auto memory = r.sim->adapterMemory(0);
    EXPECT_TRUE(std::equal(data.begin(), data.end(), memory.begin()));
    EXPECT_EQ(memory[125], 0);

    std::vector<std::uint8_t> back;
    EXPECT_EQ(r.engine->UlReadAdapter(0, 100, back), 1);
    EXPECT_EQ(back, Bytes(data.begin(), data.begin() + 100));
    const auto reads = r.transport->Commands(0xB6);
    ASSERT_EQ(reads.size(), 2u);
    EXPECT_EQ(reads[1].packet[2], 64);
    EXPECT_EQ(reads[1].packet[3], 36);

    // The start address only bounds the request; the reads begin at offset 0.
    EXPECT_EQ(r.engine->UlReadAdapter(1000, 128, back), 2);
    ASSERT_EQ(back.size(), 128u);
    EXPECT_TRUE(std::equal(data.begin(), data.end(), back.begin()));
}

TEST(AdapterMemory, WholeMemoryRoundTripAndWideElements) {
    AdapterRig r(OneAdapter(true), 200.0);
    ASSERT_EQ(r.Select(1), 0);
    const Bytes data = Pattern(65536, 11);
    ASSERT_EQ(r.engine->DlLoadAdapter(65536, ByteArrayArg::Bytes(data)), 0);
    EXPECT_EQ(Chunks(*r.transport).back(), (std::pair<int, int>{65520, 16}));
    std::vector<std::uint8_t> back;
    EXPECT_EQ(r.engine->UlReadAdapter(0, 65536, back), 1024);
    EXPECT_EQ(back, data);

    // 32-bit elements give their low byte; an array shorter than Len sends zeros after it.
    const std::vector<std::int32_t> wide{0x1234, -1, 0x7F00};
    ASSERT_EQ(r.engine->DlLoadAdapter(5, ByteArrayArg::Int32s(wide)), 0);
    EXPECT_EQ(r.engine->UlReadAdapter(0, 6, back), 0);
    EXPECT_EQ(back, (Bytes{0x34, 0xFF, 0x00, 0x00, 0x00, data[5]}));
}

TEST(AdapterMemory, BadLengthsAndRangesAreRefusedWithoutTraffic) {
    AdapterRig r(OneAdapter(true));
    ASSERT_EQ(r.Select(1), 0);
    r.transport->Clear();
    const Bytes data(10, 1);
    for (const int len : {0, -1, 65537, std::numeric_limits<int>::min()})
        EXPECT_EQ(r.engine->DlLoadAdapter(len, ByteArrayArg::Bytes(data)), 130) << len;

    std::vector<std::uint8_t> back{0xEE};
    const std::vector<std::tuple<int, int, int>> cases = {
        {-1, 10, 129},
        {65500, 100, 129},
        {0, 65537, 129},
        {1, 65536, 129},
        {0, 0, 130},
        {0, -5, 130},
        {65536, 0, 130},
        {std::numeric_limits<int>::max(), 1, 129},
        {std::numeric_limits<int>::max(), std::numeric_limits<int>::max(), 129},
        {10, std::numeric_limits<int>::min(), 130}};
    for (const auto& [start, len, result] : cases)
        EXPECT_EQ(r.engine->UlReadAdapter(start, len, back), result) << start << "," << len;
    EXPECT_EQ(back, Bytes{0xEE});
    EXPECT_TRUE(r.transport->Writes().empty());
}

TEST(AdapterMemory, StateQueriesReportActivityAndLastAddress) {
    AdapterRig r(OneAdapter(true));
    ASSERT_EQ(r.Select(1), 0);
    EXPECT_EQ(r.engine->DlStart(0x10, 0x12345678), 0);
    const auto start = r.transport->Commands(0xB1);
    ASSERT_EQ(start.size(), 1u);
    EXPECT_EQ(Bytes(start[0].packet.begin() + 1, start[0].packet.begin() + 9),
              (Bytes{0, 0, 0, 0x10, 0x12, 0x34, 0x56, 0x78}));

    const Bytes data = Pattern(70, 0);
    ASSERT_EQ(r.engine->DlLoadAdapter(70, ByteArrayArg::Bytes(data)), 0);
    std::int32_t last = -1;
    EXPECT_EQ(r.engine->DlGetState(last) & 0x01, 0x01);
    EXPECT_EQ(last, 69);
    EXPECT_EQ(r.engine->DlStop(), 0);
    EXPECT_EQ(r.engine->DlGetState(last), 0);

    EXPECT_EQ(r.engine->UlStart(0, 99), 0);
    EXPECT_EQ(r.engine->UlGetState(last), 0x01);
    std::vector<std::uint8_t> back;
    ASSERT_EQ(r.engine->UlReadAdapter(0, 100, back), 1);
    EXPECT_EQ(r.engine->UlGetState(last), 0x01);
    EXPECT_EQ(last, 99);
    EXPECT_EQ(r.engine->UlStop(), 0);
    EXPECT_EQ(r.engine->UlGetState(last), 0);

    // Nothing comes from a vanished adapter: 255, and the address is left alone.
    r.sim->unplug(0);
    last = 1234;
    EXPECT_EQ(r.engine->DlGetState(last), 255);
    EXPECT_EQ(r.engine->UlGetState(last), 255);
    EXPECT_EQ(last, 1234);
}

TEST(AdapterMemory, DownloadFlagKeepsTheStatusPollAway) {
    AdapterRig r(OneAdapter(true), 50.0);
    ASSERT_EQ(r.Select(1), 0);
    r.engine->SetTimerIntervall(1);
    // The poll runs while the flag is clear...
    ASSERT_TRUE(PumpUntil([&] { return r.transport->StatusReads() >= 2; }, 5s));

    EXPECT_EQ(r.engine->DlLockAdapter(), 0);
    EXPECT_TRUE(r.engine->State().downloadFlag);
    EXPECT_TRUE(r.sim->snapshot(0).downloadLocked);
    // A poll already under way when the flag was set ends within the next tick.
    auto ticks = r.engine->State().tickCounter.load();
    ASSERT_TRUE(PumpUntil([&] { return r.engine->State().tickCounter >= ticks + 2; }, 5s));
    r.transport->Clear();
    ticks = r.engine->State().tickCounter.load();
    ASSERT_TRUE(PumpUntil([&] { return r.engine->State().tickCounter >= ticks + 10; }, 10s));
    EXPECT_EQ(r.transport->StatusReads(), 0);

    // ...and again once it is cleared.
    EXPECT_EQ(r.engine->DlUnlockAdapter(), 0);
    EXPECT_FALSE(r.engine->State().downloadFlag);
    EXPECT_FALSE(r.sim->snapshot(0).downloadLocked);
    EXPECT_TRUE(PumpUntil([&] { return r.transport->StatusReads() >= 2; }, 5s));
}

TEST(AdapterMemory, TransfersStopReceptionAndLetMessagesRun) {
    AdapterRig r(OneAdapter(true));
    ASSERT_EQ(r.Select(1), 0);
    ASSERT_EQ(r.engine->StartReception(), 0);
    ASSERT_TRUE(r.engine->ReceptionRunning());

    // A message posted while the first chunk goes out runs before the second one does.
    const auto postAtFirstRunAtSecond = [&](std::uint8_t command, bool& ran, bool& inTime) {
        r.transport->OnWrite([&ran, &inTime, command](const Written& w) {
            if (w.pipe != 2 || w.packet[0] != command) return;
            const int offset = w.packet[1] << 8 | w.packet[2];
            if (offset == 0)
                os::MessageQueue::forCurrentThread()->postTask([&ran] { ran = true; });
            else if (offset > 0 && !inTime)
                inTime = ran;
        });
    };
    bool ran = false;
    bool inTime = false;
    postAtFirstRunAtSecond(0xB0, ran, inTime);
    const Bytes data = Pattern(100, 5);
    ASSERT_EQ(r.engine->DlLoadAdapter(100, ByteArrayArg::Bytes(data)), 0);
    EXPECT_FALSE(r.engine->ReceptionRunning());
    EXPECT_TRUE(inTime);

    ASSERT_EQ(r.engine->StartReception(), 0);
    ran = inTime = false;
    postAtFirstRunAtSecond(0xB6, ran, inTime);
    std::vector<std::uint8_t> back;
    EXPECT_EQ(r.engine->UlReadAdapter(0, 100, back), 1);
    EXPECT_FALSE(r.engine->ReceptionRunning());
    EXPECT_TRUE(inTime);
    EXPECT_EQ(back, data);
    r.transport->OnWrite(nullptr);
}

TEST(AdapterMemory, DownloadEndsWhenTheAdapterGoesAwayOrStaysBusy) {
    AdapterRig r(OneAdapter(true), 50.0);
    ASSERT_EQ(r.Select(1), 0);

    // Unplugged after the second chunk: the state query fails and the download gives up.
    auto simulator = r.sim;
    r.transport->OnWrite([simulator](const Written& w) {
        if (w.packet[0] == 0xB0 && w.packet[2] == 60) simulator->unplug(0);
    });
    const Bytes data = Pattern(600, 9);
    EXPECT_EQ(r.engine->DlLoadAdapter(600, ByteArrayArg::Bytes(data)), 255);
    EXPECT_EQ(Chunks(*r.transport).size(), 2u);
    r.transport->OnWrite(nullptr);

    // An upload from the vanished adapter ends at once with what it has: nothing.
    std::vector<std::uint8_t> back;
    r.transport->Clear();
    EXPECT_EQ(r.engine->UlReadAdapter(0, 640, back), 10);
    EXPECT_EQ(back, Bytes(640, 0));
    EXPECT_EQ(r.transport->OpenAttempts(std::this_thread::get_id()), 1);

    // Busy for ever: each chunk is given two seconds, then the state it last showed ends it.
    r.sim->replug(0);
    ASSERT_EQ(r.Select(1), 0);
    r.transport->Clear();
    r.transport->ForceDownloadState(0x03);
    const auto before = os::clock().now();
    EXPECT_EQ(r.engine->DlLoadAdapter(120, ByteArrayArg::Bytes(data)), 0x03);
    EXPECT_GE(os::clock().now() - before, 2s);
    EXPECT_EQ(Chunks(*r.transport).size(), 1u);
    r.transport->ForceDownloadState(std::nullopt);
    EXPECT_EQ(r.engine->DlLoadAdapter(120, ByteArrayArg::Bytes(data)), 0);
}

}  // namespace
