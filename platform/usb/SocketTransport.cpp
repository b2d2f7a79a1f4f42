#include "usb/SocketTransport.h"

#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <set>
#include <system_error>

#include "usb/IoctlCodes.h"
#include "usb/SocketProtocol.h"

namespace usbio {

namespace {

// Longest a request may take before the daemon counts as gone. No request blocks for
// more than a USB frame, so this only ever fires for a broken or stuck peer.
constexpr auto kReplyTimeout = std::chrono::seconds(3);

class SocketTransport final : public Transport {
public:
    explicit SocketTransport(std::filesystem::path dir) : dir_(std::move(dir)) {}

    ~SocketTransport() override {
        for (const int fd : open_) ::close(fd);
    }

    Handle open(std::string_view deviceName) override {
        const int device = deviceIndexFromName(std::string(deviceName).c_str());
        if (device < 0) return kInvalidHandle;
        const std::string path = (dir_ / ("ezusb-" + std::to_string(device))).string();
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        if (path.size() >= sizeof addr.sun_path) return kInvalidHandle;
        std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);

        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) return kInvalidHandle;
        // Bounds connect() too: it blocks while the daemon's backlog is full.
        timeval tv{};
        tv.tv_sec = std::chrono::duration_cast<std::chrono::seconds>(kReplyTimeout).count();
        ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        int r;
        do {
            r = ::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
        } while (r != 0 && errno == EINTR);
        if (r != 0 && errno != EISCONN) {
            ::close(fd);
            return kInvalidHandle;
        }
        std::lock_guard lock(mutex_);
        open_.insert(fd);
        return fd;
    }

    bool ioControl(Handle handle, std::uint32_t code, const void* in, std::uint32_t inSize,
                   void* out, std::uint32_t outSize, std::uint32_t* bytesReturned) override {
        if (bytesReturned) *bytesReturned = 0;
        if (inSize > wire::kMaxInSize || outSize > wire::kMaxOutSize) return false;
        if ((inSize > 0 && !in) || (outSize > 0 && !out)) return false;
        const int fd = static_cast<int>(handle);
        {
            std::lock_guard lock(mutex_);
            if (handle < 0 || handle > INT32_MAX || !open_.contains(fd)) return false;
        }

        const std::span<const std::uint8_t> inBytes(static_cast<const std::uint8_t*>(in), inSize);
        const std::span<const std::uint8_t> outBytes(static_cast<const std::uint8_t*>(out),
                                                     outSize);
        const auto request = wire::encodeRequest(
            code, inBytes, outSize,
            wire::sendsOutBuffer(code) ? outBytes : std::span<const std::uint8_t>{});
        const auto deadline = std::chrono::steady_clock::now() + kReplyTimeout;
        if (wire::writeAll(fd, request.data(), request.size(), deadline) != wire::Io::ok)
            return broken(fd);

        std::uint8_t headerBytes[wire::kReplyHeaderSize];
        if (wire::readExact(fd, headerBytes, sizeof headerBytes, deadline) != wire::Io::ok)
            return broken(fd);
        const wire::RequestHeader asked{code, inSize, outSize};
        wire::ReplyHeader reply;
        if (wire::decodeReplyHeader(headerBytes, asked, reply) != wire::Decode::ok)
            return broken(fd);
        if (wire::returnsOutput(code) && reply.bytesReturned > 0 &&
            wire::readExact(fd, out, reply.bytesReturned, deadline) != wire::Io::ok)
            return broken(fd);
        if (bytesReturned) *bytesReturned = reply.bytesReturned;
        return reply.ok;
    }

    void close(Handle handle) override {
        if (handle < 0 || handle > INT32_MAX) return;
        const int fd = static_cast<int>(handle);
        {
            std::lock_guard lock(mutex_);
            if (open_.erase(fd) == 0) return;
        }
        ::close(fd);
    }

private:
    // The stream is out of step with the daemon: every later request on it fails at once.
    static bool broken(int fd) {
        ::shutdown(fd, SHUT_RDWR);
        return false;
    }

    const std::filesystem::path dir_;
    std::mutex mutex_;
    std::set<int> open_;  // guarded by mutex_; only handles we made are ever closed
};

}  // namespace

std::shared_ptr<Transport> makeSocketTransport(std::string_view directory, std::string& error) {
    if (directory.empty()) {
        error = "the socket backend needs a directory (socket:DIR)";
        return nullptr;
    }
    const std::filesystem::path dir(directory);
    std::error_code ec;
    if (!std::filesystem::is_directory(dir, ec)) {
        error = "socket backend: " + dir.string() + " is not a directory";
        return nullptr;
    }
    return std::make_shared<SocketTransport>(dir);
}

}  // namespace usbio
