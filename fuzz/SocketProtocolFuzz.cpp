// The socket wire decoders over arbitrary bytes: never read past the input, never accept
// sizes beyond the limits, and agree with themselves about what a whole message is.

#include <cstddef>
#include <cstdint>
#include <span>

#include "usb/SocketProtocol.h"

namespace wire = usbio::wire;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::span<const std::uint8_t> bytes(data, size);

    wire::Request request;
    std::size_t consumed = 0;
    if (wire::decodeRequest(bytes, request, consumed) == wire::Decode::ok) {
        if (consumed > size || request.header.inSize > wire::kMaxInSize ||
            request.header.outSize > wire::kMaxOutSize ||
            consumed != wire::kRequestHeaderSize + request.header.bodySize())
            __builtin_trap();
        // What decodes re-encodes to the same bytes.
        const auto again = wire::encodeRequest(request.header.code, request.in,
                                               request.header.outSize, request.outData);
        if (again.size() != consumed || !std::equal(again.begin(), again.end(), data))
            __builtin_trap();
    }

    // Replies, checked against a request taken from the first bytes.
    if (size < 5) return 0;
    const wire::RequestHeader asked{
        static_cast<std::uint32_t>(data[0] & 3) | 0x222000u,
        0,
        static_cast<std::uint32_t>(data[1] | data[2] << 8 | (data[3] & 1) << 16),
    };
    wire::Reply reply;
    const auto rest = bytes.subspan(4);
    if (wire::decodeReply(rest, asked, reply, consumed) == wire::Decode::ok) {
        if (consumed > rest.size() || reply.header.bytesReturned > asked.outSize ||
            reply.output.size() > reply.header.bytesReturned)
            __builtin_trap();
    }
    return 0;
}
