#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

// One I/O control exchange over a Unix stream socket between the socket transport and the
// simulator daemon. All integers are little-endian.
//
//   request: "TIVQ", code u32, inSize u32, outSize u32, inSize bytes of input,
//            then outSize bytes of data for in-direct requests (bulk write, firmware
//            download pass their data in the out buffer)
//   reply:   "TIVR", ok u32 (0 or 1), bytesReturned u32 (<= outSize),
//            then bytesReturned bytes of output for buffered and out-direct requests
//
// Sizes are checked against the limits before anything is read, so a peer can never make
// the other side allocate or wait for more than one bounded message.
namespace usbio::wire {

constexpr std::size_t kRequestHeaderSize = 16;
constexpr std::size_t kReplyHeaderSize = 12;
constexpr std::uint32_t kMaxInSize = 4096;
constexpr std::uint32_t kMaxOutSize = 65536;

// In-direct requests send the out buffer with the request and get no output back.
constexpr bool sendsOutBuffer(std::uint32_t code) {
    return (code & 3u) == 1u;
}
constexpr bool returnsOutput(std::uint32_t code) {
    return !sendsOutBuffer(code);
}

enum class Decode {
    ok,        // a whole message was decoded
    needMore,  // the bytes so far are a valid beginning; read more
    bad,       // not a message of this protocol (bad magic, limit exceeded)
};

struct RequestHeader {
    std::uint32_t code = 0;
    std::uint32_t inSize = 0;
    std::uint32_t outSize = 0;

    // Bytes that follow the header.
    std::size_t bodySize() const {
        return std::size_t{inSize} + (sendsOutBuffer(code) ? std::size_t{outSize} : 0);
    }
};

struct ReplyHeader {
    bool ok = false;
    std::uint32_t bytesReturned = 0;
};

// A decoded request; the spans point into the decoded bytes.
struct Request {
    RequestHeader header;
    std::span<const std::uint8_t> in;
    std::span<const std::uint8_t> outData;  // empty unless sendsOutBuffer(code)
};

struct Reply {
    ReplyHeader header;
    std::span<const std::uint8_t> output;  // empty unless returnsOutput(code)
};

// Encoders; the caller keeps sizes within the limits (checked, empty result otherwise).
std::vector<std::uint8_t> encodeRequest(std::uint32_t code, std::span<const std::uint8_t> in,
                                        std::uint32_t outSize,
                                        std::span<const std::uint8_t> outData);
std::vector<std::uint8_t> encodeReply(bool ok, std::uint32_t bytesReturned,
                                      std::span<const std::uint8_t> output);
// Appends to `buffer` instead of allocating (for the hot path).
bool appendReply(std::vector<std::uint8_t>& buffer, bool ok, std::uint32_t bytesReturned,
                 std::span<const std::uint8_t> output);

// Decoders over what has arrived so far. `error` (optional) says why on Decode::bad.
// A reply is checked against the request it answers.
Decode decodeRequestHeader(std::span<const std::uint8_t> bytes, RequestHeader& header,
                           std::string* error = nullptr);
Decode decodeRequest(std::span<const std::uint8_t> bytes, Request& request, std::size_t& consumed,
                     std::string* error = nullptr);
Decode decodeReplyHeader(std::span<const std::uint8_t> bytes, const RequestHeader& request,
                         ReplyHeader& header, std::string* error = nullptr);
Decode decodeReply(std::span<const std::uint8_t> bytes, const RequestHeader& request, Reply& reply,
                   std::size_t& consumed, std::string* error = nullptr);

// ---- blocking socket helpers --------------------------------------------------------

enum class Io {
    ok,
    closed,    // the peer closed the connection (or shut it down locally)
    timedOut,  // the deadline passed first
    failed,    // any other socket error
};

// Real time, not the process clock: these guard against a broken peer, they pace nothing.
using Deadline = std::chrono::steady_clock::time_point;
constexpr Deadline kNoDeadline = Deadline::max();

// Reads exactly `size` bytes, retrying on EINTR.
Io readExact(int fd, void* data, std::size_t size, Deadline deadline = kNoDeadline);
// Writes all bytes without raising SIGPIPE, retrying on EINTR.
Io writeAll(int fd, const void* data, std::size_t size, Deadline deadline = kNoDeadline);
// Waits until the socket is readable (data, end of stream or error).
Io waitReadable(int fd, Deadline deadline = kNoDeadline);

}  // namespace usbio::wire
