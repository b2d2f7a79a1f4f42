// The two-stage firmware download: on the worker thread with its progress and events, and
// what a failing first stage, a damaged image or an unplugged adapter make of it.

#include <thread>

#include "usb/AdapterRig.h"

using namespace adaptertest;
using enginetest::HasLine;
using enginetest::PumpUntil;

namespace {

// Packets reported by the progress hook, with the threads they came from.
struct ProgressSpy {
    void operator()(int packet) {
        std::lock_guard lock(mutex);
        packets.push_back(packet);
        threads.push_back(std::this_thread::get_id());
    }
    std::vector<int> Packets() {
        std::lock_guard lock(mutex);
        return packets;
    }
    std::mutex mutex;
    std::vector<int> packets;
    std::vector<std::thread::id> threads;
};

TEST(FirmwareLoad, FreshAdapterComesToLifeOnTheWorkerThread) {
    AdapterRig r(OneAdapter(false));
    auto progress = std::make_shared<ProgressSpy>();
    r.engine->SetLoadProgress([progress](int packet) { (*progress)(packet); });
    ASSERT_EQ(r.Select(1), 128);
    r.log->Reset();
    r.window->Clear();
    r.transport->Clear();

    EXPECT_EQ(r.engine->ConnectAdapter(1), 64);
    ASSERT_TRUE(PumpUntil([&] { return r.sink->Count(tivlink::kOnFirmwareLoaded) == 1; }, 30s));
    // The status poll may add connection events once the adapter is ready; these two come
    // once each, in this order.
    std::vector<int> loadEvents;
    for (const int e : r.sink->Events())
        if (e == tivlink::kOnStdLoaded || e == tivlink::kOnFirmwareLoaded) loadEvents.push_back(e);
    EXPECT_EQ(loadEvents, (std::vector<int>{tivlink::kOnStdLoaded, tivlink::kOnFirmwareLoaded}));
    EXPECT_EQ(r.engine->LoadResult(), 0);
    EXPECT_TRUE(r.engine->State().adapterReady);
    EXPECT_TRUE(r.sim->snapshot(0).firmwareRunning);

    // Every packet of the second stage once, in order, reported from the worker thread.
    std::vector<int> expected(365);
    for (int i = 0; i < 365; ++i) expected[static_cast<std::size_t>(i)] = i + 1;
    EXPECT_EQ(progress->Packets(), expected);
    for (const auto& id : progress->threads) EXPECT_NE(id, std::this_thread::get_id());

    // The second stage is image bytes 8192..31551 in 64-byte packets on pipe 4.
    std::vector<Written> stageTwo;
    for (const auto& w : r.transport->Writes())
        if (w.pipe == 4) stageTwo.push_back(w);
    ASSERT_EQ(stageTwo.size(), 365u);
    const auto& image = enginetest::Image();
    EXPECT_TRUE(std::equal(stageTwo.front().packet.begin(), stageTwo.front().packet.end(),
                           image.begin() + 8192));
    EXPECT_TRUE(std::equal(stageTwo.back().packet.begin(), stageTwo.back().packet.end(),
                           image.begin() + 31552 - 64));

    // The event reaches this thread before the worker writes the exit line.
    ASSERT_TRUE(enginetest::PumpUntil(
        [&] { return IndexOf(r.log->Lines(), "Exit:LoadAdapter:0 ++++++++++") >= 0; }));
    const auto lines = r.log->Lines();
    const int entry = IndexOf(lines, "Entry:LoadAdapter, ----------");
    const int stdLoaded = IndexOf(lines, "*****EVENT:LoadAdapter->OnStdLoaded", entry);
    const int loaded = IndexOf(lines, "*****EVENT:LoadAdapter->OnFirmwareLoaded", stdLoaded);
    const int exit = IndexOf(lines, "Exit:LoadAdapter:0 ++++++++++", loaded);
    EXPECT_TRUE(entry >= 0 && stdLoaded > entry && loaded > stdLoaded && exit > loaded);
    const auto items = r.window->Items();
    const int standard = IndexOf(items, "Standardbereich geladen");
    EXPECT_GE(standard, 0);
    EXPECT_GT(IndexOf(items, "Firmware geladen !", standard), standard);
}

TEST(FirmwareLoad, FailedFirstStageReleasesTheMicrocontroller) {
    AdapterRig r(OneAdapter(false), 50.0);
    r.transport->FailFirmwareDownload(true);
    r.window->Clear();
    EXPECT_EQ(r.engine->LoadAdapter(), 2);
    EXPECT_EQ(r.engine->LoadResult(), 2);
    EXPECT_EQ(r.engine->LastError(), 32);
    EXPECT_FALSE(r.sim->snapshot(0).onHold);
    EXPECT_TRUE(HasLine(r.window->Items(), "Datei-Download fehlgeschlagen !"));
    EXPECT_FALSE(HasLine(r.window->Items(), "Standardbereich geladen"));
    EXPECT_TRUE(HasLine(r.log->Lines(), "Exit:LoadAdapter:2 ++++++++++"));
    os::MessageQueue::forCurrentThread()->processMessages();
    EXPECT_TRUE(r.sink->Events().empty());

    // The next attempt starts from scratch and succeeds.
    r.transport->FailFirmwareDownload(false);
    EXPECT_EQ(r.engine->LoadAdapter(), 0);
    EXPECT_EQ(r.engine->LoadResult(), 0);
}

TEST(FirmwareLoad, DamagedOrMissingImagesGiveHonestResults) {
    for (const std::size_t spoiled : {std::size_t{100}, std::size_t{8192 + 5000}}) {
        auto image = enginetest::Image();
        image[spoiled] ^= 0x5A;
        AdapterRig r(OneAdapter(false), 50.0, image);
        EXPECT_EQ(r.engine->LoadAdapter(), 128) << spoiled;
        EXPECT_FALSE(r.engine->State().adapterReady);
        EXPECT_FALSE(r.sim->snapshot(0).onHold);
        EXPECT_FALSE(r.sim->snapshot(0).firmwareRunning);
        os::MessageQueue::forCurrentThread()->processMessages();
        // The first stage went down, so it was announced; the firmware never was.
        EXPECT_EQ(r.sink->Events(), std::vector<int>{tivlink::kOnStdLoaded}) << spoiled;
    }

    const std::vector<std::uint8_t> shortImage(31743, 0);
    for (const auto& image : {std::vector<std::uint8_t>{}, shortImage}) {
        AdapterRig r(OneAdapter(false), 50.0, image);
        r.transport->Clear();
        EXPECT_EQ(r.engine->LoadAdapter(), 1);
        EXPECT_EQ(r.engine->LoadResult(), 1);
        EXPECT_TRUE(r.transport->Writes().empty());
        EXPECT_FALSE(r.sim->snapshot(0).onHold);
    }
}

TEST(FirmwareLoad, UnplugDuringTheSecondStageEndsWithoutHanging) {
    AdapterRig r(OneAdapter(false));
    auto progress = std::make_shared<ProgressSpy>();
    auto simulator = r.sim;
    r.engine->SetLoadProgress([progress, simulator](int packet) {
        (*progress)(packet);
        if (packet == 100) simulator->unplug(0);
    });
    ASSERT_EQ(r.engine->ConnectAdapter(1), 64);
    ASSERT_TRUE(PumpUntil(
        [&] { return r.engine->State().threadCommand != tivlink::kThreadDownload; }, 30s));
    EXPECT_EQ(r.engine->LoadResult(), 128);
    EXPECT_FALSE(r.engine->State().adapterReady);
    EXPECT_EQ(progress->Packets().size(), 365u);
    os::MessageQueue::forCurrentThread()->processMessages();
    EXPECT_EQ(r.sink->Count(tivlink::kOnFirmwareLoaded), 0);

    // Plugged in again, the adapter starts from power-up and loads normally.
    r.engine->SetLoadProgress(nullptr);
    r.sim->replug(0);
    EXPECT_EQ(r.engine->LoadAdapter(), 0);
    EXPECT_EQ(r.Select(1), 0);
}

}  // namespace
