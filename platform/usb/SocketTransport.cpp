#include "usb/SocketTransport.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <system_error>
#include <vector>

#include "usb/IoctlCodes.h"
#include "usb/SocketProtocol.h"

namespace usbio {

namespace {

// Longest a request may take before the daemon counts as gone. No request blocks for
// more than a USB frame, so this only ever fires for a broken or stuck peer.
constexpr auto kReplyTimeout = std::chrono::seconds(3);

// The driver opens the device for every transfer. Connections outlive those handles: a
// closed handle leaves its connection idle for the next open of the same device, so a
// transfer costs one request and reply, not a connect and a server-side thread each time.
// A connection that failed is dropped, and an idle one the daemon has closed (device
// unplugged, daemon gone) is noticed at the next open, which then connects afresh: an
// unplugged device still fails the next operation.
class SocketTransport final : public Transport {
public:
    explicit SocketTransport(std::filesystem::path dir) : dir_(std::move(dir)) {}

    ~SocketTransport() override {
        for (const auto& [handle, c] : open_) ::close(c.fd);
        for (const auto& [device, fds] : idle_)
            for (const int fd : fds) ::close(fd);
    }

    Handle open(std::string_view deviceName) override {
        const int device = deviceIndexFromName(std::string(deviceName).c_str());
        if (device < 0) return kInvalidHandle;
        bool reused = true;
        int fd = TakeIdle(device);
        if (fd < 0) {
            reused = false;
            fd = Connect(device);
            if (fd < 0) return kInvalidHandle;
        }
        std::lock_guard lock(mutex_);
        const Handle h = nextHandle_++;
        open_[h] = {fd, device, reused, false};
        return h;
    }

    bool ioControl(Handle handle, std::uint32_t code, const void* in, std::uint32_t inSize,
                   void* out, std::uint32_t outSize, std::uint32_t* bytesReturned) override {
        if (bytesReturned) *bytesReturned = 0;
        if (inSize > wire::kMaxInSize || outSize > wire::kMaxOutSize) return false;
        if ((inSize > 0 && !in) || (outSize > 0 && !out)) return false;
        Connection c;
        {
            std::lock_guard lock(mutex_);
            const auto it = open_.find(handle);
            if (it == open_.end()) return false;
            c = it->second;
        }

        const std::span<const std::uint8_t> inBytes(static_cast<const std::uint8_t*>(in), inSize);
        const std::span<const std::uint8_t> outBytes(static_cast<const std::uint8_t*>(out),
                                                     outSize);
        const auto request = wire::encodeRequest(
            code, inBytes, outSize,
            wire::sendsOutBuffer(code) ? outBytes : std::span<const std::uint8_t>{});
        Outcome result = Exchange(c.fd, code, inSize, outSize, request, out, bytesReturned);
        if (result == Outcome::unanswered && c.reused) {
            // The daemon closed the idle connection before it read this request: nothing was
            // done, so the request goes once more on a fresh connection.
            ::shutdown(c.fd, SHUT_RDWR);
            const int fresh = Connect(c.device);
            if (fresh >= 0 && Replace(handle, fresh)) {
                ::close(c.fd);
                c.fd = fresh;
                result = Exchange(c.fd, code, inSize, outSize, request, out, bytesReturned);
            } else if (fresh >= 0) {
                ::close(fresh);
            }
        }
        if (result != Outcome::ok) {
            // The idle ones may be as stale as this one (a device unplugged and back): they
            // go too, so only transfers already under way can meet a stale connection.
            std::vector<int> stale;
            {
                std::lock_guard lock(mutex_);
                if (const auto it = open_.find(handle); it != open_.end()) it->second.failed = true;
                stale.swap(idle_[c.device]);
            }
            for (const int fd : stale) ::close(fd);
        }
        return result == Outcome::ok;
    }

    void close(Handle handle) override {
        Connection c;
        {
            std::lock_guard lock(mutex_);
            const auto it = open_.find(handle);
            if (it == open_.end()) return;
            c = it->second;
            open_.erase(it);
            auto& idle = idle_[c.device];
            // Kept only while it is known good, and never more than the transfers that run
            // at once (worker, timer, client).
            if (!c.failed && idle.size() < kIdlePerDevice) {
                idle.push_back(c.fd);
                return;
            }
        }
        ::close(c.fd);
    }

private:
    static constexpr std::size_t kIdlePerDevice = 4;

    struct Connection {
        int fd = -1;
        int device = -1;
        bool reused = false;  // came from the idle list
        bool failed = false;  // a request failed on it: closed with the handle
    };

    enum class Outcome { ok, refused, unanswered, broken };

    int Connect(int device) const {
        const std::string path = (dir_ / ("ezusb-" + std::to_string(device))).string();
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        if (path.size() >= sizeof addr.sun_path) return -1;
        std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);

        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) return -1;
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
            return -1;
        }
        return fd;
    }

    // An idle connection to `device` the daemon has not closed meanwhile, or -1.
    int TakeIdle(int device) {
        for (;;) {
            int fd;
            {
                std::lock_guard lock(mutex_);
                auto& idle = idle_[device];
                if (idle.empty()) return -1;
                fd = idle.back();
                idle.pop_back();
            }
            // Between requests the daemon sends nothing: anything readable is its end of
            // the stream (the device went away, the daemon stopped or timed the link out).
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 0) == 0) return fd;
            ::close(fd);
        }
    }

    // Puts `fresh` behind `handle`; false when the handle was closed meanwhile.
    bool Replace(Handle handle, int fresh) {
        std::lock_guard lock(mutex_);
        const auto it = open_.find(handle);
        if (it == open_.end()) return false;
        it->second.fd = fresh;
        it->second.reused = false;
        return true;
    }

    static Outcome Exchange(int fd, std::uint32_t code, std::uint32_t inSize, std::uint32_t outSize,
                            const std::vector<std::uint8_t>& request, void* out,
                            std::uint32_t* bytesReturned) {
        const auto deadline = std::chrono::steady_clock::now() + kReplyTimeout;
        const wire::Io sent = wire::writeAll(fd, request.data(), request.size(), deadline);
        if (sent == wire::Io::closed) return Outcome::unanswered;
        if (sent != wire::Io::ok) return broken(fd);

        std::uint8_t headerBytes[wire::kReplyHeaderSize];
        const wire::Io got = wire::readExact(fd, headerBytes, sizeof headerBytes, deadline);
        if (got == wire::Io::closed) return Outcome::unanswered;
        if (got != wire::Io::ok) return broken(fd);
        const wire::RequestHeader asked{code, inSize, outSize};
        wire::ReplyHeader reply;
        if (wire::decodeReplyHeader(headerBytes, asked, reply) != wire::Decode::ok)
            return broken(fd);
        if (wire::returnsOutput(code) && reply.bytesReturned > 0 &&
            wire::readExact(fd, out, reply.bytesReturned, deadline) != wire::Io::ok)
            return broken(fd);
        if (bytesReturned) *bytesReturned = reply.bytesReturned;
        return reply.ok ? Outcome::ok : Outcome::refused;
    }

    // The stream is out of step with the daemon: every later request on it fails at once.
    static Outcome broken(int fd) {
        ::shutdown(fd, SHUT_RDWR);
        return Outcome::broken;
    }

    const std::filesystem::path dir_;
    std::mutex mutex_;
    std::map<Handle, Connection> open_;     // guarded by mutex_
    std::map<int, std::vector<int>> idle_;  // guarded by mutex_: by device number
    Handle nextHandle_ = 1;                 // guarded by mutex_
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
