#include "SocketServer.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>

#include "os/Clock.h"
#include "usb/SocketProtocol.h"

namespace sim {

namespace {

namespace wire = usbio::wire;

constexpr auto kSyncPeriod = std::chrono::milliseconds(20);
// A request that has begun must arrive whole within this (real) time.
constexpr auto kRequestTimeout = std::chrono::seconds(3);
constexpr std::size_t kMaxConnections = 128;
constexpr std::size_t kMaxControlLine = 4096;

bool makeAddress(const std::filesystem::path& path, sockaddr_un& addr) {
    const std::string s = path.string();
    addr = sockaddr_un{};
    addr.sun_family = AF_UNIX;
    if (s.size() >= sizeof addr.sun_path) return false;
    std::memcpy(addr.sun_path, s.c_str(), s.size() + 1);
    return true;
}

bool isSocketFile(const std::filesystem::path& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode);
}

bool someoneListens(const std::filesystem::path& path) {
    sockaddr_un addr;
    if (!makeAddress(path, addr)) return false;
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    const bool ok = ::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0;
    ::close(fd);
    return ok;
}

// A listening socket at `path`; a stale socket file left by a dead server is replaced.
int listenAt(const std::filesystem::path& path, std::string& error) {
    sockaddr_un addr;
    if (!makeAddress(path, addr)) {
        error = path.string() + ": path too long for a Unix socket";
        return -1;
    }
    if (isSocketFile(path)) ::unlink(path.c_str());
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        error = std::string("socket: ") + std::strerror(errno);
        return -1;
    }
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(fd, 64) != 0) {
        error = path.string() + ": " + std::strerror(errno);
        ::close(fd);
        return -1;
    }
    return fd;
}

// Removes a socket this server bound (fd < 0: nothing was bound).
void removeSocket(int fd, const std::filesystem::path& path) {
    if (fd < 0) return;
    ::close(fd);
    if (isSocketFile(path)) ::unlink(path.c_str());
}

}  // namespace

SocketServer::SocketServer(std::shared_ptr<Simulator> simulator, std::filesystem::path dir)
    : simulator_(std::move(simulator)), dir_(std::move(dir)) {}

SocketServer::~SocketServer() {
    stop();
}

std::filesystem::path SocketServer::controlSocketPath() const {
    return dir_ / "control";
}

std::filesystem::path SocketServer::deviceSocketPath(int device) const {
    return dir_ / ("ezusb-" + std::to_string(device));
}

bool SocketServer::start(std::string* error) {
    std::string why;
    auto failed = [&](std::string message) {
        if (error) *error = std::move(message);
        return false;
    };
    if (running_) return true;
    if (!simulator_) return failed("no simulator to serve");

    sockaddr_un probe;
    if (!makeAddress(deviceSocketPath(15), probe))
        return failed(dir_.string() + ": path too long for Unix sockets");
    std::error_code ec;
    std::filesystem::create_directories(dir_, ec);
    if (!std::filesystem::is_directory(dir_, ec))
        return failed(dir_.string() + ": not a usable directory" +
                      (ec ? " (" + ec.message() + ")" : ""));

    const auto control = controlSocketPath();
    if (std::filesystem::exists(std::filesystem::symlink_status(control, ec))) {
        if (!isSocketFile(control)) return failed(control.string() + " exists and is not a socket");
        if (someoneListens(control))
            return failed(dir_.string() + " is already served by another simulator");
    }
    controlFd_ = listenAt(control, why);
    if (controlFd_ < 0) return failed(why);

    wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeFd_ < 0) {
        const std::string reason = std::string("eventfd: ") + std::strerror(errno);
        closeSockets();
        return failed(reason);
    }

    // The first sync runs here so that start() reports a device socket that cannot be made.
    for (const int device : simulator_->devices()) {
        if (!simulator_->present(device)) continue;
        const int fd = listenAt(deviceSocketPath(device), why);
        if (fd < 0) {
            closeSockets();
            return failed(why);
        }
        listeners_[device] = fd;
    }

    stopping_ = false;
    try {
        acceptor_ = std::thread([this] { acceptLoop(); });
    } catch (const std::system_error& e) {
        closeSockets();
        return failed(std::string("cannot start the server thread: ") + e.what());
    }
    running_ = true;
    return true;
}

void SocketServer::stop() {
    if (!running_) return;
    stopping_ = true;
    {
        // Releases control connections waiting for a sync that will not come.
        std::lock_guard lock(syncMutex_);
        syncDone_.notify_all();
    }
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto w = ::write(wakeFd_, &one, sizeof one);
    acceptor_.join();

    {
        std::lock_guard lock(connectionsMutex_);
        for (const auto& c : connections_) ::shutdown(c->fd, SHUT_RDWR);
    }
    reapFinished(true);
    closeSockets();
    running_ = false;
}

void SocketServer::closeSockets() {
    for (const auto& [device, fd] : listeners_) removeSocket(fd, deviceSocketPath(device));
    listeners_.clear();
    removeSocket(controlFd_, controlSocketPath());
    if (wakeFd_ >= 0) ::close(wakeFd_);
    controlFd_ = wakeFd_ = -1;
}

void SocketServer::acceptLoop() {
    std::vector<pollfd> fds;
    std::vector<int> devices;
    while (!stopping_) {
        fds.clear();
        devices.clear();
        fds.push_back({wakeFd_, POLLIN, 0});
        fds.push_back({controlFd_, POLLIN, 0});
        for (const auto& [device, fd] : listeners_) {
            fds.push_back({fd, POLLIN, 0});
            devices.push_back(device);
        }
        const auto period = std::chrono::ceil<std::chrono::milliseconds>(
            os::clock().toReal(std::chrono::duration_cast<os::Clock::duration>(kSyncPeriod)));
        const int r = ::poll(fds.data(), fds.size(),
                             static_cast<int>(std::max<long long>(1, period.count())));
        if (r < 0 && errno != EINTR) break;
        if (r > 0) {
            if (fds[0].revents) {
                std::uint64_t drained;
                [[maybe_unused]] const auto n = ::read(wakeFd_, &drained, sizeof drained);
            }
            if (fds[1].revents) acceptOn(controlFd_, -1);
            for (std::size_t i = 0; i < devices.size(); ++i)
                if (fds[i + 2].revents) acceptOn(fds[i + 2].fd, devices[i]);
        }
        if (stopping_) break;

        std::uint64_t requested;
        {
            std::lock_guard lock(syncMutex_);
            requested = syncRequested_;
        }
        syncDevices();
        {
            std::lock_guard lock(syncMutex_);
            syncCompleted_ = requested;
        }
        syncDone_.notify_all();
        reapFinished(false);
    }
}

void SocketServer::syncDevices() {
    for (const int device : simulator_->devices()) {
        const bool present = simulator_->present(device);
        const auto it = listeners_.find(device);
        if (present && it == listeners_.end()) {
            std::string ignored;  // retried on the next sync
            const int fd = listenAt(deviceSocketPath(device), ignored);
            if (fd >= 0) listeners_[device] = fd;
        } else if (!present && it != listeners_.end()) {
            removeSocket(it->second, deviceSocketPath(device));
            listeners_.erase(it);
            closeConnections(device);
        }
    }
}

void SocketServer::acceptOn(int listenFd, int device) {
    for (;;) {
        const int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            return;  // EAGAIN: nothing more waiting
        }
        std::uint64_t generation = 0;
        if (device >= 0) {
            generation = simulator_->openDevice(device);
            if (generation == 0) {  // unplugged since the last sync
                ::close(fd);
                continue;
            }
        }
        // Finished connections must not count against the limit during a burst of opens.
        reapFinished(false);
        std::lock_guard lock(connectionsMutex_);
        if (connections_.size() >= kMaxConnections) {
            ::close(fd);
            continue;
        }
        auto c = std::make_unique<Connection>();
        c->fd = fd;
        c->device = device;
        c->generation = generation;
        Connection& ref = *c;
        try {
            ref.thread = std::thread([this, &ref] {
                try {
                    if (ref.device >= 0) {
                        serveDevice(ref);
                    } else {
                        serveControl(ref);
                    }
                } catch (...) {
                    // A failing connection ends alone; the server carries on.
                }
                ref.finished = true;
            });
        } catch (const std::system_error&) {
            ::close(fd);
            continue;
        }
        connections_.push_back(std::move(c));
    }
}

void SocketServer::reapFinished(bool all) {
    std::list<std::unique_ptr<Connection>> done;
    {
        std::lock_guard lock(connectionsMutex_);
        for (auto it = connections_.begin(); it != connections_.end();) {
            if (all || (*it)->finished) {
                done.push_back(std::move(*it));
                it = connections_.erase(it);
            } else {
                ++it;
            }
        }
    }
    // The descriptor is closed only after the join, so a shutdown() from another thread
    // can never hit a reused descriptor number.
    for (auto& c : done) {
        c->thread.join();
        ::close(c->fd);
    }
}

void SocketServer::closeConnections(int device) {
    std::lock_guard lock(connectionsMutex_);
    for (const auto& c : connections_)
        if (c->device == device) ::shutdown(c->fd, SHUT_RDWR);
}

void SocketServer::serveDevice(Connection& c) {
    std::uint8_t headerBytes[wire::kRequestHeaderSize];
    std::vector<std::uint8_t> body;
    std::vector<std::uint8_t> output;
    std::vector<std::uint8_t> reply;
    while (!stopping_) {
        // Between requests the connection may idle as long as the client likes.
        if (wire::waitReadable(c.fd) != wire::Io::ok) return;
        const auto deadline = std::chrono::steady_clock::now() + kRequestTimeout;
        // The magic first, so a stranger is turned away without waiting for a whole header.
        wire::RequestHeader h;
        if (wire::readExact(c.fd, headerBytes, 4, deadline) != wire::Io::ok ||
            wire::decodeRequestHeader(std::span(headerBytes, 4), h) == wire::Decode::bad ||
            wire::readExact(c.fd, headerBytes + 4, sizeof headerBytes - 4, deadline) !=
                wire::Io::ok ||
            wire::decodeRequestHeader(headerBytes, h) != wire::Decode::ok)
            return;
        body.resize(h.bodySize());
        if (!body.empty() &&
            wire::readExact(c.fd, body.data(), body.size(), deadline) != wire::Io::ok)
            return;

        std::uint8_t* out = nullptr;
        if (wire::sendsOutBuffer(h.code)) {
            out = body.data() + h.inSize;
        } else {
            output.assign(h.outSize, 0);
            out = output.data();
        }
        std::uint32_t returned = 0;
        bool ok = false;
        try {
            ok = simulator_->ioControl(c.device, c.generation, h.code,
                                       h.inSize ? body.data() : nullptr, h.inSize,
                                       h.outSize ? out : nullptr, h.outSize, &returned);
        } catch (...) {
            ok = false;
            returned = 0;
        }
        returned = std::min(returned, h.outSize);
        reply.clear();
        wire::appendReply(reply, ok, returned,
                          wire::returnsOutput(h.code)
                              ? std::span<const std::uint8_t>(output.data(), returned)
                              : std::span<const std::uint8_t>{});
        if (wire::writeAll(c.fd, reply.data(), reply.size(),
                           std::chrono::steady_clock::now() + kRequestTimeout) != wire::Io::ok)
            return;
    }
}

void SocketServer::serveControl(Connection& c) {
    std::string pending;
    char chunk[512];
    while (!stopping_) {
        if (wire::waitReadable(c.fd) != wire::Io::ok) return;
        const ssize_t n = ::recv(c.fd, chunk, sizeof chunk, MSG_DONTWAIT);
        if (n == 0) return;
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
            return;
        }
        pending.append(chunk, static_cast<std::size_t>(n));
        std::size_t eol;
        while ((eol = pending.find('\n')) != std::string::npos) {
            std::string line = pending.substr(0, eol);
            pending.erase(0, eol + 1);
            if (!line.empty() && line.back() == '\r') line.pop_back();
            if (line.find('\0') != std::string::npos) return;  // not text: hang up
            if (line.empty()) continue;
            std::string answer;
            try {
                answer = simulator_->control(line);
            } catch (const std::exception& e) {
                answer = std::string("error: ") + e.what();
            }
            // The socket files follow before the client hears "ok".
            requestSync();
            // The reply is one line whatever the simulator says.
            for (std::size_t at; (at = answer.find_first_of("\r\n")) != std::string::npos;)
                answer.replace(at, 1, "; ");
            answer += '\n';
            if (wire::writeAll(c.fd, answer.data(), answer.size(),
                               std::chrono::steady_clock::now() + kRequestTimeout) != wire::Io::ok)
                return;
        }
        if (pending.size() > kMaxControlLine) {
            static constexpr char kTooLong[] = "error: line too long\n";
            wire::writeAll(c.fd, kTooLong, sizeof kTooLong - 1,
                           std::chrono::steady_clock::now() + kRequestTimeout);
            return;
        }
    }
}

void SocketServer::requestSync() {
    std::unique_lock lock(syncMutex_);
    const std::uint64_t target = ++syncRequested_;
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto w = ::write(wakeFd_, &one, sizeof one);
    os::clock().waitFor(syncDone_, lock, std::chrono::seconds(2),
                        [&] { return syncCompleted_ >= target || stopping_; });
}

}  // namespace sim
