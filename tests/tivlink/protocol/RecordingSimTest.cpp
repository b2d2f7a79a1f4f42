// The bus monitor on the simulated adapter: markers, measured values, a full linear
// buffer, raw mode and the record file.

#include <cmath>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "support/EngineRig.h"

using namespace enginetest;
using tivlink::ByteArrayArg;
using tivlink::TelegramFields;

namespace {

sim::Scenario WithCyclic() {
    auto s = Scenario();
    s.devices[0].cyclic = {
        {0, 3, 100, 1.5, 0, 0.25}, {1, 4, 100, -7.25, 1, 0}, {2, 5, 100, 21.5, 2, 0}};
    return s;
}

void Select(SimRig& r) {
    std::vector<std::uint8_t> version;
    ASSERT_EQ(r.engine->SelectAdapter(1, 0, version), 0);
}

Bytes FileBytes(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    return Bytes{std::istreambuf_iterator<char>(in), {}};
}

}  // namespace

TEST(MonitorOnSimulator, MarkersStartAndStopTheRecording) {
    SimRig r(Scenario());
    Select(r);
    r.engine->FilterOn();
    ASSERT_EQ(r.engine->MarkedStartRec(), 0);
    ASSERT_TRUE(PumpUntil([&] { return r.sink->Count(tivlink::kOnMarked) == 1; }));
    EXPECT_TRUE(HasLine(r.log->Lines(), "*****EVENT:Thread->OnMarked,\"START\""));
    EXPECT_EQ(r.engine->GetMarker(), 49);
    // The echoed start marker is the first stored telegram.
    Bytes data;
    int bytes = 1000;
    ASSERT_TRUE(PumpUntil([&] { return r.engine->BufferPos() > 0; }));
    r.engine->ReadData(0, bytes, data);
    ASSERT_GE(data.size(), 12u);
    EXPECT_EQ(data[2], 0xE2);  // length, flags, then the type byte of a type-7 telegram
    EXPECT_EQ(data[12], 49);

    ASSERT_EQ(r.engine->MarkedStopRec(), 0);
    ASSERT_TRUE(PumpUntil([&] { return r.sink->Count(tivlink::kOnMarked) == 2; }));
    // The worker clears the state on its first idle pass, just after reception ends.
    ASSERT_TRUE(PumpUntil([&] { return r.engine->RecState() == 0; }));
    EXPECT_FALSE(r.engine->ReceptionRunning());
    EXPECT_TRUE(HasLine(r.log->Lines(), "*****EVENT:Thread->OnMarked,\"STOP\""));
}

TEST(MonitorOnSimulator, MarkerOutsideItsRangeBecomes48) {
    SimRig r(Scenario());
    Select(r);
    r.engine->FilterOn();
    std::mutex m;
    std::vector<Bytes> seen;
    r.engine->SetFrameTap([&](std::span<const std::uint8_t> f) {
        std::lock_guard lock(m);
        seen.emplace_back(f.begin(), f.end());
    });
    ASSERT_EQ(r.engine->StartRec(), 0);
    EXPECT_EQ(r.engine->SetMarker(200), 2);
    EXPECT_EQ(r.engine->GetMarker(), 48);
    std::lock_guard lock(m);
    const auto marker = std::find_if(seen.begin(), seen.end(), [](const Bytes& f) {
        return f.size() > 13 && (f[3] >> 5) == 7 && f[6] == 0xF5 && f[7] == 0x7D;
    });
    ASSERT_NE(marker, seen.end());
    EXPECT_EQ((*marker)[13], 48);
    EXPECT_EQ(Bytes(marker->begin() + 9, marker->begin() + 13), (Bytes{'D', 'L', 'L', '_'}));
}

TEST(MonitorOnSimulator, MeasuredValuesOfAllThreeTypes) {
    SimRig r(WithCyclic());
    Select(r);
    r.engine->AssignMvPara(1, 0, 3);
    r.engine->AssignMvPara(2, 1, 4);
    r.engine->AssignMvPara(3, 2, 5);
    r.engine->FilterOn();
    ASSERT_EQ(r.engine->StartRec(), 0);
    ASSERT_TRUE(PumpUntil([&] {
        // The slots change on the worker before their events reach this thread.
        return r.engine->MeasuredValue(1).timeStamp > 0 && r.engine->MeasuredValue(2).status == 1 &&
               r.engine->MeasuredValue(3).status == 2 &&
               r.sink->Count(tivlink::kOnMvAvailable) >= 3;
    }));
    EXPECT_EQ(r.engine->MeasuredValue(2).value, -7.25);
    EXPECT_EQ(r.engine->MeasuredValue(3).value, 21.5);
    const double first = r.engine->MeasuredValue(1).value;
    EXPECT_GE(first, 1.5);
    EXPECT_EQ(std::fmod(first - 1.5, 0.25), 0.0);
    EXPECT_GE(r.engine->ValueNr(), 1);
}

TEST(MonitorOnSimulator, FullLinearBufferEndsReceptionOnce) {
    SimRig r(WithCyclic());
    Select(r);
    r.engine->SetBufferSize(1);
    ASSERT_EQ(r.engine->InitBuffer(), 0);
    r.engine->SetDataReceivedThreshold(30);
    r.engine->FilterOn();
    ASSERT_EQ(r.engine->StartRec(), 0);
    ASSERT_TRUE(PumpUntil([&] { return r.sink->Count(tivlink::kOnOverrun) == 1; }));
    ASSERT_TRUE(PumpUntil([&] { return !r.engine->ReceptionRunning(); }));
    EXPECT_TRUE(r.engine->BufferOverrun());
    EXPECT_EQ(r.engine->BufferPos(), 64);
    EXPECT_EQ(r.sink->Count(tivlink::kOnDataReceived), 1);
    EXPECT_EQ(r.engine->DataReceivedThreshold(), 0);
    EXPECT_GE(r.engine->TelCnt(), 5u);
    os::MessageQueue::forCurrentThread()->processMessages();
    EXPECT_EQ(r.sink->Count(tivlink::kOnOverrun), 1);

    // A new start clears the overrun.
    ASSERT_EQ(r.engine->StartRec(), 0);
    EXPECT_FALSE(r.engine->BufferOverrun());
}

TEST(MonitorOnSimulator, WithTheFilterOffNothingIsMatchedAndTheStreamIsKeptRaw) {
    SimRig r(Scenario(), 10.0);
    Select(r);
    r.engine->FilterOff();
    ASSERT_EQ(r.engine->StartRec(), 0);
    TelegramFields io{5, 4, 29, 1217, 0xC0};
    Bytes out;
    EXPECT_EQ(r.engine->AcyclicTransmission(io, ByteArrayArg{}, out), 1);
    EXPECT_EQ(r.sink->Count(tivlink::kOnResponse), 0);
    Bytes data;
    int bytes = 10000;
    ASSERT_EQ(r.engine->ReadData(0, bytes, data), 1);
    ASSERT_GE(data.size(), 62u);
    EXPECT_EQ(data[0], 0xFA);  // the echo's frame, escapes and all
}

TEST(MonitorOnSimulator, EachFileModeRecordsWhatItNames) {
    const auto dir = std::filesystem::temp_directory_path() / "tivlink-filemodes";
    std::filesystem::create_directories(dir);
    for (int mode = 1; mode <= 5; ++mode) {
        SimRig r(WithCyclic());
        Select(r);
        std::mutex m;
        Bytes expected;
        const bool frameMode = mode >= 3;
        r.engine->SetFrameTap([&](std::span<const std::uint8_t> f) {
            // Frames as they will land: from the start byte, length byte + 4 (CRC).
            if (!frameMode || f.size() < 4) return;
            if (mode == 4 && (f[3] >> 5) > 2) return;
            std::lock_guard lock(m);
            expected.insert(expected.end(), f.begin(),
                            f.begin() + std::min<std::size_t>(f[1] + 4u, f.size()));
        });
        const auto path = dir / ("mode" + std::to_string(mode) + ".bin");
        ASSERT_EQ(r.engine->OpenRecFile(path.string()), 0);
        r.engine->SetFileRecMode(mode);
        ASSERT_EQ(r.engine->StartFileRec(), 0);
        r.engine->FilterOn();
        ASSERT_EQ(r.engine->StartRec(), 0);
        ASSERT_TRUE(PumpUntil([&] { return r.engine->RecFileSize() >= 200; }));
        r.engine->StopFileRec();
        r.engine->StopRec();
        ASSERT_TRUE(PumpUntil([&] { return !r.engine->ReceptionRunning(); }));
        EXPECT_EQ(r.engine->FileRecState(), 0);
        const auto size = r.engine->RecFileSize();
        ASSERT_EQ(r.engine->CloseRecFile(), 0);
        const auto got = FileBytes(path);
        EXPECT_EQ(static_cast<std::int64_t>(got.size()), size) << "mode " << mode;
        if (!frameMode) {
            EXPECT_EQ(got.size() % 64, 0u) << "mode " << mode;
            continue;
        }
        std::lock_guard lock(m);
        // The file holds the frames in order; the tap may have seen a few more before the
        // stop took effect, and mode 5 only the stored (here: all) frames.
        ASSERT_LE(got.size(), expected.size()) << "mode " << mode;
        EXPECT_TRUE(std::equal(got.begin(), got.end(), expected.begin())) << "mode " << mode;
    }
    std::filesystem::remove_all(dir);
}

TEST(MonitorOnSimulator, TheFileSwitchOutlivesTheFile) {
    const auto dir = std::filesystem::temp_directory_path() / "tivlink-reopen";
    std::filesystem::create_directories(dir);
    SimRig r(WithCyclic());
    Select(r);
    ASSERT_EQ(r.engine->OpenRecFile((dir / "a.bin").string()), 0);
    ASSERT_EQ(r.engine->StartFileRec(), 0);
    r.engine->FilterOn();
    ASSERT_EQ(r.engine->StartRec(), 0);
    ASSERT_TRUE(PumpUntil([&] { return r.engine->RecFileSize() > 0; }));
    // Recording that is on goes on into the next file, however it was opened.
    ASSERT_EQ(r.engine->OpenRecFile((dir / "b.bin").string()), 0);
    EXPECT_EQ(r.engine->FileRecState(), 1);
    ASSERT_TRUE(PumpUntil([&] { return r.engine->RecFileSize() > 0; }));
    ASSERT_EQ(r.engine->CloseRecFile(), 0);
    ASSERT_EQ(r.engine->OpenRecFile((dir / "c.bin").string()), 0);
    ASSERT_TRUE(PumpUntil([&] { return r.engine->RecFileSize() > 0; }));
    ASSERT_EQ(r.engine->StopFileRec(), 0);
    EXPECT_EQ(r.engine->FileRecState(), 0);
    r.engine->StopRec();
    ASSERT_TRUE(PumpUntil([&] { return !r.engine->ReceptionRunning(); }));
    EXPECT_EQ(r.engine->CloseRecFile(), 0);
    std::filesystem::remove_all(dir);
}

TEST(MonitorOnSimulator, DrvFreeEndsRecordingAndReleasesTheBuffer) {
    SimRig r(WithCyclic());
    Select(r);
    const auto path = std::filesystem::temp_directory_path() / "tivlink-drvfree.bin";
    ASSERT_EQ(r.engine->OpenRecFile(path.string()), 0);
    r.engine->FilterOn();
    ASSERT_EQ(r.engine->StartRec(), 0);
    ASSERT_EQ(r.engine->StartFileRec(), 0);
    EXPECT_EQ(r.engine->DrvFree(), 0);
    EXPECT_FALSE(r.engine->ReceptionRunning());
    EXPECT_EQ(r.engine->CloseRecFile(), 1);  // already closed
    EXPECT_EQ(r.engine->LastError(), 2);
    EXPECT_EQ(r.engine->StartRec(), 1);
    std::filesystem::remove(path);
}

// InitBuffer replaces the block under the buffer's lock while the worker stores at full
// rate: reception goes on, no message of the caller runs meanwhile, and storing goes on in
// the new block. Under the sanitizers this is where a writer would meet a freed block.
TEST(MonitorWhileReceiving, InitBufferNeitherStopsReceptionNorPumps) {
    ScriptedRig r;
    r.engine->SetBufferMode(1);
    ASSERT_EQ(r.engine->StartReception(), 0);
    Bytes stream;
    for (int i = 0; i < 400; ++i) {
        const auto frame = sim::encodeFrame(
            Request(5, 3, 4000 + i, 0xC0, {1, 2, 3, 4, static_cast<std::uint8_t>(i)}), true);
        stream.insert(stream.end(), frame.begin(), frame.end());
    }
    auto& queue = os::MessageQueue::current();
    bool ran = false;
    for (int call = 0; call < 300; ++call) {
        SCOPED_TRACE("call " + std::to_string(call));
        if (r.transport->Drained()) r.transport->QueueStream(stream);
        queue.postTask([&] { ran = true; });
        ASSERT_EQ(call % 2 ? r.engine->InitMemBuf(1 + call % 7) : r.engine->InitBuffer(), 0);
        ASSERT_FALSE(ran) << "a message of the caller ran inside InitBuffer";
        ASSERT_TRUE(r.engine->ReceptionRunning());
        queue.processMessages();
        ran = false;
    }
    const auto counted = r.engine->TelCnt();
    r.transport->QueueStream(stream);
    ASSERT_TRUE(PumpUntil([&] { return r.engine->TelCnt() >= counted + 400; }));
    EXPECT_TRUE(r.engine->ReceptionRunning());
    int bytes = 0;
    Bytes data;
    EXPECT_EQ(r.engine->ReadData(0, bytes, data), 0);
    EXPECT_FALSE(data.empty());
    EXPECT_TRUE(HasLine(r.log->Lines(), "Exit:InitBuffer:0 ++++++++++"));
}

// TelCnt counts the frames that reach the buffer: one of 150 bytes or more is passed over.
TEST(MonitorWhileReceiving, TelCntCountsOnlyStoredFrames) {
    ScriptedRig r;
    r.engine->SetBufferMode(1);
    ASSERT_EQ(r.engine->StartReception(), 0);
    struct Case {
        std::size_t dataBytes;  // frame length = data + 12 (start, length, flags, header 6,
                                // checksum 2, end)
        std::uint32_t counted;
    };
    const Case cases[] = {{10, 1}, {137, 1}, {138, 0}, {120, 1}, {142, 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE("data bytes " + std::to_string(c.dataBytes));
        Bytes record = Request(6, 3, 4000, 0x41);
        record[1] = static_cast<std::uint8_t>(4 + c.dataBytes);
        record.resize(6 + c.dataBytes, 0x11);
        const auto before = r.engine->TelCnt();
        const auto taps = r.engine->UsbTelCntr();
        r.transport->QueueFrame(record);
        ASSERT_TRUE(PumpUntil([&] { return r.transport->Drained(); }));
        // The packet after the frame's proves the frame's packets were processed.
        r.transport->QueueFrame(Request(5, 1, 100, 0xC0));
        ASSERT_TRUE(PumpUntil([&] {
            return r.transport->Drained() && r.engine->UsbTelCntr() > taps &&
                   r.engine->TelCnt() >= before + c.counted + 1;
        }));
        EXPECT_EQ(r.engine->TelCnt(), before + c.counted + 1);
    }
}
