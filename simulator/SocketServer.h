#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Simulator.h"

namespace sim {

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

    std::filesystem::path directory() const { return dir_; }
    std::filesystem::path controlSocketPath() const;
    std::filesystem::path deviceSocketPath(int device) const;

private:
    struct Connection {
        int fd = -1;
        int device = -1;  // -1: the control socket
        std::uint64_t generation = 0;
        std::thread thread;
        std::atomic<bool> finished{false};
    };

    void closeSockets();  // listeners and their files, the control socket, the wake-up
    void acceptLoop();
    void syncDevices();
    void acceptOn(int listenFd, int device);
    void reapFinished(bool all);
    void closeConnections(int device);
    void serveDevice(Connection& c);
    void serveControl(Connection& c);
    void requestSync();

    const std::shared_ptr<Simulator> simulator_;
    const std::filesystem::path dir_;
    bool running_ = false;  // changed only by start() and stop()

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
