#include <cstddef>
#include <cstdint>
#include <span>

#include "tivlink/protocol/FrameAssembler.h"

// Cuts any bytes into pipe-1 packet streams and checks the shape of every frame delivered.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    constexpr std::size_t kPacketStream = 62;
    tivlink::FrameAssembler assembler;
    const std::span<const std::uint8_t> input(data, size);
    for (std::size_t at = 0; at < input.size(); at += kPacketStream) {
        const std::size_t n = input.size() - at < kPacketStream ? input.size() - at : kPacketStream;
        assembler.Feed(input.subspan(at, n), [](std::span<const std::uint8_t> frame) {
            if (frame.size() < 2 || frame.size() > tivlink::kMaxFrame) __builtin_trap();
            if (frame.front() != 0xFA || frame.back() != 0xFB) __builtin_trap();
        });
    }
    return 0;
}
