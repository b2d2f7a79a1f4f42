// tivctl's split of the receive buffer into frames over arbitrary bytes: every byte comes
// out exactly once and in order, each piece between a start and an end byte, and whatever
// comes out decodes, prints and becomes a capture packet without reading past its frame.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>

#include "Decode.h"
#include "Pcapng.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::span<const std::uint8_t> bytes(data, size);
    const auto frames = tivctl::SplitStoredFrames(bytes);
    std::size_t at = 0;
    for (const auto& frame : frames) {
        if (frame.size() < 3 || frame.front() != 0xFA || frame.back() != 0xFB) __builtin_trap();
        const std::size_t inner = frame.size() - 2;
        if (at + inner > size || !std::equal(frame.begin() + 1, frame.end() - 1, data + at))
            __builtin_trap();
        at += inner;
        const auto telegram = tivctl::DecodeFrame(frame);
        (void)tivctl::TelegramText(telegram, 1.5);
        (void)tivctl::TelegramJson(telegram, 1.5)
            .dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
        // The packet carries the frame between start and end byte, behind its direction.
        const auto packet = tivctl::pcapng::Packet(frame);
        if (packet.size() != frame.size() - 1 ||
            !std::equal(packet.begin() + 1, packet.end(), frame.begin() + 1))
            __builtin_trap();
    }
    if (at != size) __builtin_trap();
    return 0;
}
