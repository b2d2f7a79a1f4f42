#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "Simulator.h"

namespace sim {

// One device connection's protocol apart from its socket: bytes in as they arrive, a reply
// for every whole request out. Nothing here blocks, so arbitrary input can be fed directly.
class DeviceSession {
public:
    DeviceSession(Simulator& simulator, int device, std::uint64_t generation)
        : simulator_(simulator), device_(device), generation_(generation) {}
    // Appends the replies to `out`; false when the peer broke the protocol (hang up after
    // sending `out`).
    bool feed(std::span<const std::uint8_t> bytes, std::vector<std::uint8_t>& out);
    // A request has begun and not yet arrived whole.
    bool midRequest() const { return !pending_.empty(); }

private:
    Simulator& simulator_;
    const int device_;
    const std::uint64_t generation_;
    std::vector<std::uint8_t> pending_;
    std::vector<std::uint8_t> output_;
};

// The control connection's protocol: one text command a line, one reply line each.
class ControlSession {
public:
    // `afterCommand` runs after every command, before its reply is handed out.
    ControlSession(Simulator& simulator, std::function<void()> afterCommand)
        : simulator_(simulator), afterCommand_(std::move(afterCommand)) {}
    bool feed(std::span<const std::uint8_t> bytes, std::vector<std::uint8_t>& out);
    bool midRequest() const { return !pending_.empty(); }

private:
    Simulator& simulator_;
    std::function<void()> afterCommand_;
    std::string pending_;
};

// Serves a simulator's adapters to other processes: DIR/ezusb-N is a listening Unix socket
// for every plugged device N (one connection per open handle, one framed exchange per I/O
// control request), and DIR/control takes text commands, one per line, answered with one
// line each. The socket files follow the simulator's plug state within about 20 ms, and at
// once after a command that came in on the control socket.
class SocketServer {
public:
    SocketServer(std::shared_ptr<Simulator> simulator, std::filesystem::path dir);
    ~SocketServer();  // stops
    SocketServer(const SocketServer&) = delete;
    SocketServer& operator=(const SocketServer&) = delete;

    // Creates the directory if needed and starts serving. Returns false, with a reason in
    // `error`, when the directory cannot be used or another simulator already serves it.
    bool start(std::string* error = nullptr);
    // Closes every connection, joins every thread and removes the socket files.
    void stop();
    bool running() const { return running_; }

    // A connection with nothing in flight is closed after this (real) time, so idle peers
    // cannot keep every slot; a client reconnects when it needs to. Set before start().
    void setIdleTimeout(std::chrono::milliseconds timeout) { idleTimeout_ = timeout; }
    // At most this many connections per peer process, and per user all but a quarter of the
    // slots, so that no one peer locks the others out.
    static constexpr std::size_t kMaxConnections = 128;
    static constexpr std::size_t kMaxPerProcess = 32;
    static constexpr std::size_t kMaxPerUser = kMaxConnections * 3 / 4;

    std::filesystem::path directory() const { return dir_; }
    std::filesystem::path controlSocketPath() const;
    std::filesystem::path deviceSocketPath(int device) const;

private:
    struct Connection {
        int fd = -1;
        int device = -1;  // -1: the control socket
        std::uint64_t generation = 0;
        pid_t pid = 0;
        uid_t uid = 0;
        std::thread thread;
        std::atomic<bool> finished{false};
    };

    void closeSockets();  // listeners and their files, the control socket, the wake-up
    void acceptLoop();
    void syncDevices();
    void acceptOn(int listenFd, int device);
    void reapFinished(bool all);
    void closeConnections(int device);
    template <class Session>
    void serve(Connection& c, Session& session);
    void requestSync();

    const std::shared_ptr<Simulator> simulator_;
    const std::filesystem::path dir_;
    bool running_ = false;  // changed only by start() and stop()
    std::chrono::milliseconds idleTimeout_ = std::chrono::seconds(60);

    std::atomic<bool> stopping_{false};
    int wakeFd_ = -1;
    int controlFd_ = -1;
    std::map<int, int> listeners_;  // device -> listening fd; the accept thread's own
    std::thread acceptor_;

    std::mutex connectionsMutex_;
    std::list<std::unique_ptr<Connection>> connections_;  // guarded by connectionsMutex_

    std::mutex syncMutex_;
    std::condition_variable syncDone_;
    std::uint64_t syncRequested_ = 0;  // guarded by syncMutex_
    std::uint64_t syncCompleted_ = 0;  // guarded by syncMutex_
};

}  // namespace sim
