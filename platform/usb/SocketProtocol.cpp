#include "usb/SocketProtocol.h"

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace usbio::wire {

namespace {

constexpr std::uint8_t kRequestMagic[4] = {'T', 'I', 'V', 'Q'};
constexpr std::uint8_t kReplyMagic[4] = {'T', 'I', 'V', 'R'};

void putU32(std::vector<std::uint8_t>& out, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

std::uint32_t getU32(std::span<const std::uint8_t> bytes, std::size_t at) {
    return static_cast<std::uint32_t>(bytes[at]) | static_cast<std::uint32_t>(bytes[at + 1]) << 8 |
           static_cast<std::uint32_t>(bytes[at + 2]) << 16 |
           static_cast<std::uint32_t>(bytes[at + 3]) << 24;
}

void setError(std::string* error, const char* what) {
    if (error) *error = what;
}

// Checks as much of the magic as has arrived, so garbage is refused at its first byte.
bool magicMatches(std::span<const std::uint8_t> bytes, const std::uint8_t (&magic)[4]) {
    const std::size_t n = std::min<std::size_t>(bytes.size(), 4);
    return std::equal(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(n), magic);
}

int pollTimeoutMs(Deadline deadline) {
    if (deadline == kNoDeadline) return -1;
    const auto left = deadline - std::chrono::steady_clock::now();
    if (left <= std::chrono::steady_clock::duration::zero()) return 0;
    // Round up so a sub-millisecond rest does not turn into a busy loop.
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
    return static_cast<int>(std::min<long long>(ms, 60 * 60 * 1000));
}

Io waitFor(int fd, short events, Deadline deadline) {
    for (;;) {
        pollfd p{fd, events, 0};
        const int timeout = pollTimeoutMs(deadline);
        const int r = ::poll(&p, 1, timeout);
        if (r > 0) return Io::ok;  // errors and hang-ups show up in the next read or write
        if (r == 0) {
            if (timeout == 0 || std::chrono::steady_clock::now() >= deadline) return Io::timedOut;
            continue;
        }
        if (errno != EINTR) return Io::failed;
    }
}

}  // namespace

std::vector<std::uint8_t> encodeRequest(std::uint32_t code, std::span<const std::uint8_t> in,
                                        std::uint32_t outSize,
                                        std::span<const std::uint8_t> outData) {
    if (in.size() > kMaxInSize || outSize > kMaxOutSize) return {};
    if (sendsOutBuffer(code) ? outData.size() != outSize : !outData.empty()) return {};
    std::vector<std::uint8_t> out;
    out.reserve(kRequestHeaderSize + in.size() + outData.size());
    out.insert(out.end(), std::begin(kRequestMagic), std::end(kRequestMagic));
    putU32(out, code);
    putU32(out, static_cast<std::uint32_t>(in.size()));
    putU32(out, outSize);
    out.insert(out.end(), in.begin(), in.end());
    out.insert(out.end(), outData.begin(), outData.end());
    return out;
}

bool appendReply(std::vector<std::uint8_t>& buffer, bool ok, std::uint32_t bytesReturned,
                 std::span<const std::uint8_t> output) {
    if (bytesReturned > kMaxOutSize || output.size() > bytesReturned) return false;
    buffer.insert(buffer.end(), std::begin(kReplyMagic), std::end(kReplyMagic));
    putU32(buffer, ok ? 1u : 0u);
    putU32(buffer, bytesReturned);
    buffer.insert(buffer.end(), output.begin(), output.end());
    return true;
}

std::vector<std::uint8_t> encodeReply(bool ok, std::uint32_t bytesReturned,
                                      std::span<const std::uint8_t> output) {
    std::vector<std::uint8_t> out;
    if (!appendReply(out, ok, bytesReturned, output)) out.clear();
    return out;
}

Decode decodeRequestHeader(std::span<const std::uint8_t> bytes, RequestHeader& header,
                           std::string* error) {
    if (!magicMatches(bytes, kRequestMagic)) {
        setError(error, "not a request (bad magic)");
        return Decode::bad;
    }
    if (bytes.size() < kRequestHeaderSize) return Decode::needMore;
    RequestHeader h;
    h.code = getU32(bytes, 4);
    h.inSize = getU32(bytes, 8);
    h.outSize = getU32(bytes, 12);
    if (h.inSize > kMaxInSize) {
        setError(error, "request input larger than 4096 bytes");
        return Decode::bad;
    }
    if (h.outSize > kMaxOutSize) {
        setError(error, "request output larger than 65536 bytes");
        return Decode::bad;
    }
    header = h;
    return Decode::ok;
}

Decode decodeRequest(std::span<const std::uint8_t> bytes, Request& request, std::size_t& consumed,
                     std::string* error) {
    RequestHeader h;
    const Decode d = decodeRequestHeader(bytes, h, error);
    if (d != Decode::ok) return d;
    const std::size_t total = kRequestHeaderSize + h.bodySize();
    if (bytes.size() < total) return Decode::needMore;
    request.header = h;
    request.in = bytes.subspan(kRequestHeaderSize, h.inSize);
    request.outData =
        bytes.subspan(kRequestHeaderSize + h.inSize, total - kRequestHeaderSize - h.inSize);
    consumed = total;
    return Decode::ok;
}

Decode decodeReplyHeader(std::span<const std::uint8_t> bytes, const RequestHeader& request,
                         ReplyHeader& header, std::string* error) {
    if (!magicMatches(bytes, kReplyMagic)) {
        setError(error, "not a reply (bad magic)");
        return Decode::bad;
    }
    if (bytes.size() < kReplyHeaderSize) return Decode::needMore;
    const std::uint32_t ok = getU32(bytes, 4);
    const std::uint32_t returned = getU32(bytes, 8);
    if (ok > 1) {
        setError(error, "reply status is neither 0 nor 1");
        return Decode::bad;
    }
    if (returned > request.outSize) {
        setError(error, "reply returns more bytes than the request asked for");
        return Decode::bad;
    }
    header.ok = ok == 1;
    header.bytesReturned = returned;
    return Decode::ok;
}

Decode decodeReply(std::span<const std::uint8_t> bytes, const RequestHeader& request, Reply& reply,
                   std::size_t& consumed, std::string* error) {
    ReplyHeader h;
    const Decode d = decodeReplyHeader(bytes, request, h, error);
    if (d != Decode::ok) return d;
    const std::size_t body = returnsOutput(request.code) ? h.bytesReturned : 0;
    if (bytes.size() < kReplyHeaderSize + body) return Decode::needMore;
    reply.header = h;
    reply.output = bytes.subspan(kReplyHeaderSize, body);
    consumed = kReplyHeaderSize + body;
    return Decode::ok;
}

Io readExact(int fd, void* data, std::size_t size, Deadline deadline) {
    auto* p = static_cast<std::uint8_t*>(data);
    while (size > 0) {
        if (deadline != kNoDeadline) {
            const Io w = waitFor(fd, POLLIN, deadline);
            if (w != Io::ok) return w;
        }
        const ssize_t n = ::recv(fd, p, size, deadline == kNoDeadline ? 0 : MSG_DONTWAIT);
        if (n > 0) {
            p += n;
            size -= static_cast<std::size_t>(n);
        } else if (n == 0) {
            return Io::closed;
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            // A receive time-out set on the socket, or a spurious wake-up.
            if (deadline == kNoDeadline) return Io::timedOut;
        } else if (errno == ECONNRESET || errno == EPIPE) {
            return Io::closed;
        } else if (errno != EINTR) {
            return Io::failed;
        }
    }
    return Io::ok;
}

Io writeAll(int fd, const void* data, std::size_t size, Deadline deadline) {
    const auto* p = static_cast<const std::uint8_t*>(data);
    while (size > 0) {
        const int flags = MSG_NOSIGNAL | (deadline == kNoDeadline ? 0 : MSG_DONTWAIT);
        const ssize_t n = ::send(fd, p, size, flags);
        if (n >= 0) {
            p += n;
            size -= static_cast<std::size_t>(n);
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            if (deadline == kNoDeadline) return Io::timedOut;
            const Io w = waitFor(fd, POLLOUT, deadline);
            if (w != Io::ok) return w;
        } else if (errno == EPIPE || errno == ECONNRESET) {
            return Io::closed;
        } else if (errno != EINTR) {
            return Io::failed;
        }
    }
    return Io::ok;
}

Io waitReadable(int fd, Deadline deadline) {
    return waitFor(fd, POLLIN, deadline);
}

}  // namespace usbio::wire
