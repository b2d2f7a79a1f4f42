// The bus monitor's parts on their own: receive buffer, filter, measured values and the
// record file.

#include <gtest/gtest.h>

#include <bit>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tivlink/protocol/MeasuredValues.h"
#include "tivlink/protocol/ReceiveBuffer.h"
#include "tivlink/protocol/RecordFile.h"
#include "tivlink/protocol/TelegramFilter.h"

using tivlink::ReceiveBuffer;
using Bytes = std::vector<std::uint8_t>;

namespace {

constexpr std::uint64_t kPlenty = 1ull << 40;

Bytes Seq(std::size_t n, std::uint8_t from = 1) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(from + i);
    return b;
}

// One unit (64 bytes) as a ring; Init's result.
int InitRing(ReceiveBuffer& b) {
    b.SetSizeUnits(1);
    b.SetMode(1);
    return b.Init(kPlenty);
}

// Stores `records` records of 10 bytes; how many of the stores set `event`.
int CountEvents(ReceiveBuffer& b, int records, bool ReceiveBuffer::StoreResult::*event) {
    int count = 0;
    for (int i = 0; i < records; ++i) {
        ReceiveBuffer::StoreResult r;
        b.StoreRecord(Seq(10), false, r);
        count += r.*event;
    }
    return count;
}

// A frame as the assembler hands it over: start byte, length, flags, record, checksum, end.
Bytes Frame(const Bytes& record) {
    Bytes f{0xFA, static_cast<std::uint8_t>(record.size() + 2), 0x80};
    f.insert(f.end(), record.begin(), record.end());
    f.insert(f.end(), {0x12, 0x34, 0xFB});
    return f;
}

Bytes Acyclic(int type, int sub, int obj) {
    return Frame({static_cast<std::uint8_t>(type << 5 | 2), 4, static_cast<std::uint8_t>(sub),
                  static_cast<std::uint8_t>(obj & 0xFF), static_cast<std::uint8_t>(obj >> 8),
                  0x41});
}

Bytes Cyclic(int type, int obj, const Bytes& payload) {
    Bytes r{static_cast<std::uint8_t>(type << 5 | obj)};
    r.insert(r.end(), payload.begin(), payload.end());
    return Frame(r);
}

template <class T>
Bytes LittleEndian(T v) {
    const auto a = std::bit_cast<std::array<std::uint8_t, sizeof(T)>>(v);
    return Bytes(a.begin(), a.end());
}

}  // namespace

TEST(ReceiveBufferLinear, OneUnitFillsUpOnceAndStops) {
    ReceiveBuffer b;
    b.SetSizeUnits(1);
    ASSERT_EQ(b.Init(kPlenty), 0);
    int overruns = 0;
    int stored = 0;
    for (int i = 0; i < 20; ++i) {
        ReceiveBuffer::StoreResult r;
        const bool more = b.StoreRecord(Seq(10, static_cast<std::uint8_t>(i * 10)), false, r);
        overruns += r.overrun;
        b.EndPacket();
        if (!more) {
            EXPECT_TRUE(r.stopReception);
            break;
        }
        stored += 10;
    }
    EXPECT_EQ(overruns, 1);
    EXPECT_TRUE(b.Overrun());
    EXPECT_EQ(b.BufferPos(), 64);

    std::int32_t bytes = 100;
    Bytes data;
    EXPECT_EQ(b.Read(0, bytes, data), 1);
    EXPECT_EQ(bytes, 64);
    EXPECT_EQ(data.size(), 64u);
    bytes = 10;
    EXPECT_EQ(b.Read(60, bytes, data), 1);
    EXPECT_EQ(bytes, 4);
    EXPECT_EQ(b.Read(64, bytes, data), 2);
    EXPECT_EQ(b.Read(-1, bytes, data), 2);
    bytes = 3;
    EXPECT_EQ(b.Read(5, bytes, data), 0);
    EXPECT_EQ(data, (Bytes{5, 6, 7}));

    // A requested stop suppresses the overrun event but still ends reception.
    b.Restart(true);
    ReceiveBuffer::StoreResult r;
    EXPECT_FALSE(b.StoreRecord(Seq(70), true, r));
    EXPECT_FALSE(r.overrun);
    EXPECT_TRUE(r.stopReception);
}

TEST(ReceiveBufferLinear, ThresholdFiresOnceAndSizeChecks) {
    ReceiveBuffer b;
    ASSERT_EQ(b.Init(kPlenty), 0);
    b.SetThreshold(100);
    EXPECT_EQ(CountEvents(b, 30, &ReceiveBuffer::StoreResult::dataReceived), 1);
    EXPECT_EQ(b.Threshold(), 0);

    // Not below the available memory: refused and the size drops to 0.
    b.SetSizeUnits(100);
    EXPECT_EQ(b.Init(6400), 2);
    EXPECT_EQ(b.SizeBytes(), 0);
    EXPECT_FALSE(b.Allocated());
    b.SetSizeUnits(-5);
    EXPECT_EQ(b.SizeBytes(), 0);
}

TEST(ReceiveBufferRing, WrapsAndALaggingReaderLosesWholeRecords) {
    ReceiveBuffer b;
    ASSERT_EQ(InitRing(b), 0);
    std::int32_t bytes = 0;
    Bytes data;
    // 5 records of 10 bytes, read, then 8 more without reading: the writer passes the reader.
    for (int i = 0; i < 5; ++i) {
        ReceiveBuffer::StoreResult r;
        ASSERT_TRUE(b.StoreRecord(Seq(10, static_cast<std::uint8_t>(i * 10)), false, r));
        b.EndPacket();
    }
    EXPECT_EQ(b.Read(0, bytes, data), 0);
    EXPECT_EQ(bytes, 50);
    EXPECT_EQ(data, Seq(50, 0));
    for (int i = 0; i < 8; ++i) {
        ReceiveBuffer::StoreResult r;
        ASSERT_TRUE(b.StoreRecord(Seq(10, static_cast<std::uint8_t>(100 + i * 10)), false, r));
        b.EndPacket();
    }
    EXPECT_EQ(b.BufferPos(), (50 + 80) % 64);
    EXPECT_EQ(b.Read(0, bytes, data), 0);
    ASSERT_FALSE(data.empty());
    // What the reader gets starts at a record boundary and ends with the newest byte.
    EXPECT_EQ((data.front() - 100) % 10, 0);
    EXPECT_EQ(data.back(), 100 + 79);
    EXPECT_LE(bytes, 64);
    // Nothing new: nothing to read.
    EXPECT_EQ(b.Read(0, bytes, data), 0);
    EXPECT_EQ(bytes, 0);
}

TEST(ReceiveBufferRing, PointerOverrunIsOneShot) {
    ReceiveBuffer b;
    ASSERT_EQ(InitRing(b), 0);
    std::int32_t bytes = 0;
    Bytes data;
    ReceiveBuffer::StoreResult r;
    b.StoreRecord(Seq(20), false, r);
    b.EndPacket();
    b.Read(0, bytes, data);  // the pointer is now at 20
    b.SetPointerOverrunEvent(true);
    EXPECT_EQ(CountEvents(b, 20, &ReceiveBuffer::StoreResult::pointerOverrun), 1);
    EXPECT_FALSE(b.PointerOverrunEvent());
}

TEST(ReceiveBufferRaw, EndOfBufferWrapsAndLinearStops) {
    ReceiveBuffer linear;
    linear.SetSizeUnits(1);
    ASSERT_EQ(linear.Init(kPlenty), 0);
    ReceiveBuffer::StoreResult r;
    EXPECT_TRUE(linear.StoreRaw(Seq(62), false, r));
    EXPECT_FALSE(linear.StoreRaw(Seq(62), false, r));
    EXPECT_TRUE(r.overrun);
    EXPECT_TRUE(r.stopReception);
    linear.EndPacket();
    EXPECT_EQ(linear.BufferPos(), 0);
    EXPECT_FALSE(linear.Overrun());  // set in telegram mode only

    ReceiveBuffer ring;
    ASSERT_EQ(InitRing(ring), 0);
    ReceiveBuffer::StoreResult s;
    EXPECT_TRUE(ring.StoreRaw(Seq(62), false, s));
    EXPECT_TRUE(ring.StoreRaw(Seq(62), false, s));
    EXPECT_TRUE(s.overrun);
    EXPECT_FALSE(s.stopReception);
}

namespace {

// The buffer rules applied one byte at a time, as the description states them: the model the
// run-wise store must agree with.
struct ByteModel {
    Bytes block;
    bool ring = false;
    int threshold = 0;
    bool pointerEvent = false;
    std::int64_t write = 0, read = 0, pointer = 0, recordStart = 0, count = 0, bufferPos = 0;
    bool caught = false, overrun = false;

    bool Store(const Bytes& bytes, bool raw, ReceiveBuffer::StoreResult& r) {
        const auto size = static_cast<std::int64_t>(block.size());
        for (std::size_t i = 0; i < bytes.size(); ++i) {
            block[static_cast<std::size_t>(write)] = bytes[i];
            if (i == 0) recordStart = write;
            ++write;
            const std::int64_t t = std::min<std::int64_t>(threshold, size);
            if (t > 0 && ++count >= t) {
                count = threshold = 0;
                r.dataReceived = true;
            }
            if (write >= size) {
                if (raw || ring) write = 0;
                r.overrun = r.overrun || raw || !ring;
                if (!ring) {
                    overrun = overrun || !raw;
                    r.stopReception = true;
                    return false;
                }
            }
            if (!ring) continue;
            if (raw) {
                caught = caught || write == read;
                if (caught) read = write;
            } else if (write == read) {
                read = recordStart;
            }
            if (pointerEvent && write == pointer) {
                pointerEvent = false;
                r.pointerOverrun = true;
            }
        }
        return true;
    }
};

}  // namespace

// Random records and packets against the byte-wise model, in every mode, with thresholds and
// pointer events set along the way and ring reads in between.
TEST(ReceiveBufferRuns, AgreeWithByteWiseRulesInEveryMode) {
    struct Case {
        const char* name;
        bool ring;
        bool raw;
        int units;
    };
    const Case cases[] = {{"linear telegram", false, false, 3},
                          {"ring telegram", true, false, 1},
                          {"ring telegram, large", true, false, 7},
                          {"linear raw", false, true, 2},
                          {"ring raw", true, true, 1},
                          {"ring raw, large", true, true, 5}};
    std::uint32_t x = 0x2545F491;
    const auto next = [&] {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        return x;
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        for (int round = 0; round < 40; ++round) {
            ReceiveBuffer b;
            b.SetSizeUnits(c.units);
            b.SetMode(c.ring ? 1 : 0);
            ASSERT_EQ(b.Init(kPlenty), 0);
            ByteModel m;
            m.block.assign(static_cast<std::size_t>(c.units) * 64, 0);
            m.ring = c.ring;
            for (int step = 0; step < 60; ++step) {
                SCOPED_TRACE("round " + std::to_string(round) + ", step " + std::to_string(step));
                const std::uint32_t roll = next();
                if (roll % 7 == 0) {
                    m.threshold = static_cast<int>(next() % 500);
                    b.SetThreshold(m.threshold);
                }
                if (roll % 11 == 0) {
                    m.pointerEvent = true;
                    b.SetPointerOverrunEvent(true);
                }
                const Bytes bytes =
                    Seq(c.raw ? 62 : 1 + next() % 148, static_cast<std::uint8_t>(next()));
                ReceiveBuffer::StoreResult got, want;
                const bool kept =
                    c.raw ? b.StoreRaw(bytes, false, got) : b.StoreRecord(bytes, false, got);
                const bool wanted = m.Store(bytes, c.raw, want);
                ASSERT_EQ(kept, wanted);
                EXPECT_EQ(got.overrun, want.overrun);
                EXPECT_EQ(got.stopReception, want.stopReception);
                EXPECT_EQ(got.dataReceived, want.dataReceived);
                EXPECT_EQ(got.pointerOverrun, want.pointerOverrun);
                b.EndPacket();
                m.bufferPos = m.write;
                ASSERT_EQ(b.BufferPos(), m.bufferPos);
                EXPECT_EQ(b.Threshold(), m.threshold);
                EXPECT_EQ(b.PointerOverrunEvent(), m.pointerEvent);
                EXPECT_EQ(b.Overrun(), m.overrun);
                if (!kept) break;
                if (c.ring && roll % 3 == 0) {
                    // Reveals the read position: the bytes from it up to BufferPos.
                    int n = 0;
                    Bytes data;
                    ASSERT_EQ(b.Read(0, n, data), 0);
                    const auto size = static_cast<std::int64_t>(m.block.size());
                    Bytes expected;
                    for (std::int64_t i = m.read; i != m.bufferPos; i = (i + 1) % size)
                        expected.push_back(m.block[static_cast<std::size_t>(i)]);
                    ASSERT_EQ(data, expected);
                    m.read = m.pointer = m.bufferPos;
                }
            }
        }
    }
}

TEST(TelegramFilterTable, TypesObjectsSubsAndAddressValidity) {
    tivlink::TelegramFilter f;
    const auto cyc2obj5 = Cyclic(2, 5, Seq(8));
    const auto cyc0obj0 = Cyclic(0, 0, Seq(8));
    const auto req = Acyclic(5, 29, 1217);
    const auto resp = Acyclic(6, 29, 1217);

    f.filterType = 0;
    EXPECT_TRUE(f.Passes(req));
    f.filterType = 10;
    EXPECT_TRUE(f.Passes(cyc2obj5));
    EXPECT_FALSE(f.Passes(cyc0obj0));
    EXPECT_FALSE(f.Passes(req));
    f.filterType = 11;
    EXPECT_TRUE(f.Passes(resp));
    EXPECT_FALSE(f.Passes(cyc2obj5));

    // 1..8 with no mask: type = filter - 1 and a valid address; acyclic frames keep the
    // validity the last cyclic frame left.
    f.filterType = 3;
    EXPECT_TRUE(f.Passes(cyc2obj5));
    f.filterType = 7;
    EXPECT_TRUE(f.Passes(resp));
    f.Passes(cyc0obj0);
    EXPECT_FALSE(f.Passes(resp));
    f.msgType = 1 << 6;
    f.Passes(cyc2obj5);
    EXPECT_TRUE(f.Passes(resp));

    f.filterType = 12;
    f.objTypeMin = 5;
    f.objTypeMax = 6;
    EXPECT_TRUE(f.Passes(cyc2obj5));
    f.objTypeMax = 5;
    EXPECT_FALSE(f.Passes(cyc2obj5));

    f.filterType = 13;
    f.objTypeMin = 1000;
    f.objTypeMax = 2000;
    f.subNrMin = 20;
    f.subNrMax = 30;
    EXPECT_TRUE(f.Passes(resp));
    f.objTypeMin = 10;  // the lower bound must exceed 31: never passes
    EXPECT_FALSE(f.Passes(resp));
    EXPECT_FALSE(f.Passes(Acyclic(6, 29, 20)));

    f.filterType = 14;
    f.searchObjNr = 1 << 5;
    EXPECT_TRUE(f.Passes(cyc2obj5));
    f.searchObjNr = 1 << 4;
    EXPECT_FALSE(f.Passes(cyc2obj5));
    f.searchObjNr = 1 << 5;
    f.filterType = 15;
    f.msgType = 2;
    EXPECT_TRUE(f.Passes(cyc2obj5));
    f.msgType = 1;
    EXPECT_FALSE(f.Passes(cyc2obj5));
    f.filterType = 16;
    f.msgType = 1 << 2;
    EXPECT_TRUE(f.Passes(cyc2obj5));

    f.filterType = 9;
    f.objTypeMin = 1217;
    EXPECT_TRUE(f.Passes(req));
    f.filterType = 17;
    EXPECT_FALSE(f.Passes(req));
    EXPECT_FALSE(f.Passes(Bytes{0xFA, 0xFB}));
}

TEST(MeasuredValueSlots, AssignDecodeAndGuard) {
    tivlink::MeasuredValues mv;
    EXPECT_EQ(mv.Assign(11, 1, 5), 0);  // slot out of range: slot 1
    EXPECT_EQ(mv.Slot(1).msgType, 1);
    EXPECT_EQ(mv.Slot(1).obj, 5);
    mv.Assign(2, 7, 40);  // type and object out of range: 2 and 3
    EXPECT_EQ(mv.Slot(2).msgType, 2);
    EXPECT_EQ(mv.Slot(2).obj, 3);
    mv.Assign(3, 0, 4);
    mv.Assign(4, 1, 4);

    Bytes t0{9};
    const auto f = LittleEndian(12.5f);
    const auto ts = LittleEndian(std::int32_t{123456});
    t0.insert(t0.end(), f.begin(), f.end());
    t0.insert(t0.end(), ts.begin(), ts.end());
    EXPECT_EQ(mv.Update(Cyclic(0, 4, t0)), 3);
    EXPECT_EQ(mv.Slot(3).value, 12.5);
    EXPECT_EQ(mv.Slot(3).status, 9);
    EXPECT_EQ(mv.Slot(3).timeStamp, 123456);
    EXPECT_EQ(mv.ValueNr(), 3);

    Bytes t2{1};
    const auto d = LittleEndian(-3.25);
    t2.insert(t2.end(), d.begin(), d.end());
    EXPECT_EQ(mv.Update(Cyclic(2, 3, t2)), 2);
    EXPECT_EQ(mv.Slot(2).value, -3.25);

    // Too short for its value: no slot changes, nothing read past the end.
    EXPECT_EQ(mv.Update(Bytes{0xFA, 7, 0x80, 0x23, 1, 0, 0}), 0);
    EXPECT_EQ(mv.Update(Cyclic(1, 9, Seq(4))), 0);  // no slot for object 9
    mv.Assign(3, 1, 255);
    EXPECT_EQ(mv.Slot(3).msgType, 255);
    EXPECT_EQ(mv.Slot(3).obj, 255);
    // A freed slot still shows its last reading.
    EXPECT_EQ(mv.Slot(3).value, 12.5);
    EXPECT_EQ(mv.Slot(3).status, 9);
    EXPECT_EQ(mv.Slot(3).timeStamp, 123456);
    EXPECT_EQ(mv.Update(Cyclic(0, 4, t0)), 0);
}

TEST(RecordFileModes, FramesArePrefixedByTheirLengthAndNeverReadPastTheirEnd) {
    const auto path = std::filesystem::temp_directory_path() / "tivlink-recordfile-test.bin";
    tivlink::RecordFile file;
    EXPECT_EQ(file.Start(), 1);
    EXPECT_EQ(file.Close(), 1);
    ASSERT_EQ(file.Open(path.string()), 0);
    file.SetMode(3);
    file.WriteFrame(3, Acyclic(5, 1, 2), true);  // before Start: nothing
    ASSERT_EQ(file.Start(), 0);
    EXPECT_EQ(file.State(), 1);
    const auto frame = Acyclic(5, 1, 2);  // length byte 8, 12 bytes in all
    file.WriteFrame(3, frame, true);
    file.WriteFrame(3, frame, false);
    file.WriteFrame(4, frame, true);                      // another mode: nothing
    file.WriteFrame(3, Bytes{0xFA, 200, 0x80, 1}, true);  // a lying length byte
    file.WritePacket(3, Seq(64));
    EXPECT_EQ(file.Size(), 12 + 11 + 4 + 64);
    ASSERT_EQ(file.Stop(), 0);
    EXPECT_EQ(file.State(), 0);
    ASSERT_EQ(file.Close(), 0);
    EXPECT_EQ(file.Size(), 0);

    std::ifstream in(path, std::ios::binary);
    const Bytes got{std::istreambuf_iterator<char>(in), {}};
    ASSERT_EQ(got.size(), 12u + 11 + 4 + 64);
    EXPECT_EQ(Bytes(got.begin(), got.begin() + 12), frame);
    EXPECT_EQ(Bytes(got.begin() + 12, got.begin() + 23), Bytes(frame.begin(), frame.end() - 1));
    std::filesystem::remove(path);

    EXPECT_EQ(file.Open("/nonexistent-dir/x.bin"), 1);
}
