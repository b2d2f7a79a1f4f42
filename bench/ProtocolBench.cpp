#include <benchmark/benchmark.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "tivlink/TelegramCodec.h"
#include "tivlink/protocol/FrameAssembler.h"

namespace {

constexpr std::size_t kPacketSize = 64;
constexpr std::size_t kPacketHeader = 2;  // stream bytes start at packet byte 2
constexpr std::size_t kPacketCount = 4000;

class Rng {
public:
    std::uint32_t Next() {
        state_ ^= state_ << 13;
        state_ ^= state_ >> 17;
        state_ ^= state_ << 5;
        return state_;
    }

private:
    std::uint32_t state_ = 0x9E3779B9;
};

std::vector<std::uint8_t> Noise(std::size_t size) {
    Rng rng;
    std::vector<std::uint8_t> bytes(size);
    for (auto& b : bytes) b = static_cast<std::uint8_t>(rng.Next() >> 7);
    return bytes;
}

void BM_Crc16(benchmark::State& state) {
    const auto bytes = Noise(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) benchmark::DoNotOptimize(tivlink::Crc16(bytes));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_Crc16)->Arg(tivlink::kMaxRecord)->Arg(64 * 1024);

// Anchor: the byte-wise table loop, one table lookup per byte.
std::uint16_t Crc16Bytewise(std::span<const std::uint8_t> bytes) {
    static const auto table = [] {
        std::array<std::uint16_t, 256> t{};
        for (int i = 0; i < 256; ++i) {
            std::uint16_t c = static_cast<std::uint16_t>(i << 8);
            for (int k = 0; k < 8; ++k)
                c = static_cast<std::uint16_t>(c & 0x8000 ? (c << 1) ^ 0x1021 : c << 1);
            t[static_cast<std::size_t>(i)] = c;
        }
        return t;
    }();
    std::uint16_t crc = 0;
    for (const std::uint8_t b : bytes)
        crc = static_cast<std::uint16_t>(crc << 8 ^ table[(crc >> 8 ^ b) & 0xFF]);
    return crc;
}

void BM_Crc16BytewiseAnchor(benchmark::State& state) {
    const auto bytes = Noise(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) benchmark::DoNotOptimize(Crc16Bytewise(bytes));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_Crc16BytewiseAnchor)->Arg(tivlink::kMaxRecord)->Arg(64 * 1024);

void BM_Sum16(benchmark::State& state) {
    const auto bytes = Noise(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) benchmark::DoNotOptimize(tivlink::Sum16(bytes));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_Sum16)->Arg(tivlink::kMaxRecord)->Arg(64 * 1024);

// Pipe-1 packets as the adapter sends them under bus load: frames of mixed size back to back,
// escapes wherever a content byte collides with the framing bytes, a frame cut wherever a
// packet ends.
std::vector<std::array<std::uint8_t, kPacketSize>> MakePackets(std::size_t* frameCount) {
    Rng rng;
    std::vector<std::uint8_t> stream;
    *frameCount = 0;
    const std::size_t streamSize = kPacketCount * (kPacketSize - kPacketHeader);
    while (stream.size() < streamSize) {
        const std::size_t dataSize =
            tivlink::kMinDataSize +
            rng.Next() % (tivlink::kMaxDataSize - tivlink::kMinDataSize + 1);
        std::vector<std::uint8_t> content{static_cast<std::uint8_t>(dataSize + 6), 0x80,
                                          static_cast<std::uint8_t>(0xC2),
                                          static_cast<std::uint8_t>(dataSize)};
        for (std::size_t i = 0; i < dataSize; ++i) {
            content.push_back(static_cast<std::uint8_t>(rng.Next() >> 9));
        }
        const auto crc = tivlink::Crc16(std::span(content).subspan(2));
        content.push_back(static_cast<std::uint8_t>(crc));
        content.push_back(static_cast<std::uint8_t>(crc >> 8));

        stream.push_back(tivlink::kFrameStart);
        for (const std::uint8_t b : content) {
            if (b >= tivlink::kFrameEscape && b <= tivlink::kFrameEnd) {
                stream.push_back(tivlink::kFrameEscape);
                stream.push_back(static_cast<std::uint8_t>(b - tivlink::kFrameEscape));
            } else {
                stream.push_back(b);
            }
        }
        stream.push_back(tivlink::kFrameEnd);
        ++*frameCount;
    }
    std::vector<std::array<std::uint8_t, kPacketSize>> packets(kPacketCount);
    for (std::size_t i = 0; i < kPacketCount; ++i) {
        packets[i][0] = 0x01;
        std::copy_n(stream.begin() + static_cast<std::ptrdiff_t>(i * (kPacketSize - kPacketHeader)),
                    kPacketSize - kPacketHeader, packets[i].begin() + kPacketHeader);
    }
    return packets;
}

void BM_FrameAssembler(benchmark::State& state) {
    std::size_t frameCount = 0;
    const auto packets = MakePackets(&frameCount);
    tivlink::FrameAssembler assembler;
    std::size_t frames = 0;
    std::size_t frameBytes = 0;
    for (auto _ : state) {
        for (const auto& packet : packets) {
            assembler.Feed(std::span(packet).subspan(kPacketHeader),
                           [&](std::span<const std::uint8_t> frame) {
                               ++frames;
                               frameBytes += frame.size();
                           });
        }
        benchmark::DoNotOptimize(frameBytes);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * packets.size() *
                                                      (kPacketSize - kPacketHeader)));
    state.counters["frames/s"] =
        benchmark::Counter(static_cast<double>(frames), benchmark::Counter::kIsRate);
    state.counters["frames/pass"] = static_cast<double>(frameCount);
}
BENCHMARK(BM_FrameAssembler);

}  // namespace

BENCHMARK_MAIN();
