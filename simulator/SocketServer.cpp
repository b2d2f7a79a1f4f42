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
        ucred peer{};
        socklen_t peerSize = sizeof peer;
        if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &peerSize) != 0) {
            ::close(fd);
            continue;
        }
        std::lock_guard lock(connectionsMutex_);
        std::size_t sameProcess = 0;
        std::size_t sameUser = 0;
        for (const auto& other : connections_) {
            sameProcess += other->pid == peer.pid;
            sameUser += other->uid == peer.uid;
        }
        if (connections_.size() >= kMaxConnections || sameProcess >= kMaxPerProcess ||
            sameUser >= kMaxPerUser) {
            ::close(fd);
            continue;
        }
        auto c = std::make_unique<Connection>();
        c->pid = peer.pid;
        c->uid = peer.uid;
        c->fd = fd;
        c->device = device;
        c->generation = generation;
        Connection& ref = *c;
        try {
            ref.thread = std::thread([this, &ref] {
                try {
                    if (ref.device >= 0) {
                        DeviceSession session(*simulator_, ref.device, ref.generation);
                        serve(ref, session);
                    } else {
                        ControlSession session(*simulator_, [this] { requestSync(); });
                        serve(ref, session);
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

bool DeviceSession::feed(std::span<const std::uint8_t> bytes, std::vector<std::uint8_t>& out) {
    pending_.insert(pending_.end(), bytes.begin(), bytes.end());
    std::size_t used = 0;
    for (;;) {
        wire::Request request;
        std::size_t consumed = 0;
        const auto decoded =
            wire::decodeRequest(std::span(pending_).subspan(used), request, consumed);
        // A stranger is turned away on its first bad bytes, before a whole header arrives.
        if (decoded == wire::Decode::bad) return false;
        if (decoded == wire::Decode::needMore) break;
        const auto& h = request.header;
        if (wire::sendsOutBuffer(h.code))
            output_.assign(request.outData.begin(), request.outData.end());
        else
            output_.assign(h.outSize, 0);
        std::uint32_t returned = 0;
        bool ok = false;
        try {
            ok = simulator_.ioControl(device_, generation_, h.code,
                                      h.inSize ? request.in.data() : nullptr, h.inSize,
                                      h.outSize ? output_.data() : nullptr, h.outSize, &returned);
        } catch (...) {
            ok = false;
            returned = 0;
        }
        returned = std::min(returned, h.outSize);
        wire::appendReply(out, ok, returned,
                          wire::returnsOutput(h.code)
                              ? std::span<const std::uint8_t>(output_.data(), returned)
                              : std::span<const std::uint8_t>{});
        used += consumed;
    }
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(used));
    return true;
}

bool ControlSession::feed(std::span<const std::uint8_t> bytes, std::vector<std::uint8_t>& out) {
    pending_.append(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    std::size_t eol;
    while ((eol = pending_.find('\n')) != std::string::npos) {
        std::string line = pending_.substr(0, eol);
        pending_.erase(0, eol + 1);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.find('\0') != std::string::npos) return false;  // not text: hang up
        std::string answer;
        if (line.find_first_not_of(" \t") == std::string::npos) {
            // Every line is answered, so a client never waits for a reply that cannot come.
            answer = "error: empty command (try help)";
        } else {
            try {
                answer = simulator_.control(line);
            } catch (const std::exception& e) {
                answer = std::string("error: ") + e.what();
            }
            // The socket files follow before the client hears "ok".
            if (afterCommand_) afterCommand_();
        }
        // The reply is one line whatever the simulator says.
        for (std::size_t at; (at = answer.find_first_of("\r\n")) != std::string::npos;)
            answer.replace(at, 1, "; ");
        answer += '\n';
        out.insert(out.end(), answer.begin(), answer.end());
    }
    if (pending_.size() > kMaxControlLine) {
        static constexpr char kTooLong[] = "error: line too long\n";
        out.insert(out.end(), kTooLong, kTooLong + sizeof kTooLong - 1);
        return false;
    }
    return true;
}

template <class Session>
void SocketServer::serve(Connection& c, Session& session) {
    using Steady = std::chrono::steady_clock;
    std::uint8_t chunk[16 * 1024];
    std::vector<std::uint8_t> out;
    // Between requests a connection may idle up to the idle time-out; a request that has
    // begun must arrive whole within kRequestTimeout.
    auto deadline = Steady::now() + idleTimeout_;
    while (!stopping_) {
        if (wire::waitReadable(c.fd, deadline) != wire::Io::ok) return;
        const ssize_t n = ::recv(c.fd, chunk, sizeof chunk, MSG_DONTWAIT);
        if (n == 0) return;
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
            return;
        }
        const bool wasMidRequest = session.midRequest();
        out.clear();
        const bool keep = session.feed(std::span(chunk, static_cast<std::size_t>(n)), out);
        if (!out.empty() && wire::writeAll(c.fd, out.data(), out.size(),
                                           Steady::now() + kRequestTimeout) != wire::Io::ok)
            return;
        if (!keep) return;
        if (!session.midRequest())
            deadline = Steady::now() + idleTimeout_;
        else if (!wasMidRequest || !out.empty())
            deadline = Steady::now() + kRequestTimeout;
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
