// Cost of one request over the socket backend against an in-process server, the way the
// driver issues them: open, one I/O control request, close.

#include <benchmark/benchmark.h>

#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

#include <array>
#include <filesystem>
#include <memory>
#include <string>

#include "simulator/Simulator.h"
#include "simulator/SocketServer.h"
#include "usb/IoctlCodes.h"
#include "usb/SocketProtocol.h"
#include "usb/SocketTransport.h"

namespace {

struct Served {
    Served() {
        char name[] = "/tmp/tivbench-XXXXXX";
        dir = ::mkdtemp(name) ? name : "";
        sim::Scenario s;
        s.adapters.push_back({0, 0xFF, true, 1, 2});
        simulator = std::make_shared<sim::Simulator>(s);
        server = std::make_unique<sim::SocketServer>(simulator, dir);
        std::string error;
        if (!server->start(&error)) throw std::runtime_error(error);
        transport = usbio::makeSocketTransport(dir.string(), error);
        if (!transport) throw std::runtime_error(error);
    }
    ~Served() {
        server->stop();
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }

    std::filesystem::path dir;
    std::shared_ptr<sim::Simulator> simulator;
    std::unique_ptr<sim::SocketServer> server;
    std::shared_ptr<usbio::Transport> transport;
};

constexpr const char* kDevice = "\\\\.\\ezusb-0";

bool request(usbio::Transport& t, std::uint32_t code, std::uint32_t pipe,
             std::array<std::uint8_t, 64>& packet) {
    const auto h = t.open(kDevice);
    if (h == usbio::kInvalidHandle) return false;
    const std::uint8_t in[4] = {static_cast<std::uint8_t>(pipe), 0, 0, 0};
    std::uint32_t n = 0;
    const bool ok = t.ioControl(h, code, in, 4, packet.data(), 64, &n);
    t.close(h);
    return ok;
}

// Pipe 3: the status packet.
void BM_OpenReadStatusClose(benchmark::State& state) {
    Served served;
    std::array<std::uint8_t, 64> packet{};
    for (auto _ : state) {
        if (!request(*served.transport, usbio::kIoctlBulkRead, 3, packet)) {
            state.SkipWithError("status read failed");
            break;
        }
        benchmark::DoNotOptimize(packet);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_OpenReadStatusClose)->UseRealTime();

// Pipe 2: a 64-byte command packet (version query).
void BM_OpenWriteCommandClose(benchmark::State& state) {
    Served served;
    std::array<std::uint8_t, 64> packet{};
    for (auto _ : state) {
        packet[0] = 0xF0;
        if (!request(*served.transport, usbio::kIoctlBulkWrite, 2, packet)) {
            state.SkipWithError("command write failed");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_OpenWriteCommandClose)->UseRealTime();

// The exchange alone, on a connection kept open: what open and close add is the difference.
void BM_ReadStatusOnOpenHandle(benchmark::State& state) {
    Served served;
    auto& t = *served.transport;
    const auto h = t.open(kDevice);
    std::array<std::uint8_t, 64> packet{};
    const std::uint8_t in[4] = {3, 0, 0, 0};
    for (auto _ : state) {
        std::uint32_t n = 0;
        if (!t.ioControl(h, usbio::kIoctlBulkRead, in, 4, packet.data(), 64, &n)) {
            state.SkipWithError("status read failed");
            break;
        }
        benchmark::DoNotOptimize(packet);
    }
    t.close(h);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ReadStatusOnOpenHandle)->UseRealTime();

// Anchor: the same status request by hand on a fresh connection: connect, request, reply,
// close, with nothing around it.
void BM_PlainConnectRequestCloseAnchor(benchmark::State& state) {
    Served served;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    const std::string path = (served.dir / "ezusb-0").string();
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    const std::uint8_t in[4] = {3, 0, 0, 0};
    const auto request =
        usbio::wire::encodeRequest(usbio::kIoctlBulkRead, in, 64, std::span<const std::uint8_t>{});
    std::array<std::uint8_t, 64> packet{};
    for (auto _ : state) {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
        std::uint8_t header[usbio::wire::kReplyHeaderSize];
        usbio::wire::ReplyHeader reply;
        const bool ok =
            fd >= 0 && ::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0 &&
            usbio::wire::writeAll(fd, request.data(), request.size(), deadline) ==
                usbio::wire::Io::ok &&
            usbio::wire::readExact(fd, header, sizeof header, deadline) == usbio::wire::Io::ok &&
            usbio::wire::decodeReplyHeader(header, {usbio::kIoctlBulkRead, 4, 64}, reply) ==
                usbio::wire::Decode::ok &&
            usbio::wire::readExact(fd, packet.data(), reply.bytesReturned, deadline) ==
                usbio::wire::Io::ok;
        if (fd >= 0) ::close(fd);
        if (!ok) {
            state.SkipWithError("status request failed");
            break;
        }
        benchmark::DoNotOptimize(packet);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_PlainConnectRequestCloseAnchor)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
