// The socket wire format, the socket transport against an in-process SocketServer over a
// real simulator, and both ends facing broken or vanishing peers.

#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "simulator/FirmwareImage.h"
#include "simulator/Probe.h"
#include "simulator/Simulator.h"
#include "simulator/SocketServer.h"
#include "support/TempDir.h"
#include "usb/IoctlCodes.h"
#include "usb/SocketProtocol.h"
#include "usb/SocketTransport.h"

namespace {

namespace fs = std::filesystem;
namespace wire = usbio::wire;
using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;
using sim::probe::DeviceAccess;
using sim::probe::deviceName;

// ---- helpers ------------------------------------------------------------------------

// Socket paths have a length limit: their directories stay short.
const std::filesystem::path kSocketParent = "/tmp";
using testsupport::TempDir;

// Polls a condition that another thread makes true; fails after the time-out.
template <class Pred>
bool eventually(Pred pred, std::chrono::milliseconds timeout = 3000ms) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!pred()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

int connectTo(const fs::path& path) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd >= 0 && ::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0)
        return fd;
    if (fd >= 0) ::close(fd);
    return -1;
}

bool sendText(int fd, std::string_view text) {
    return wire::writeAll(fd, text.data(), text.size()) == wire::Io::ok;
}

// True when the peer ends the connection within the time-out (any data before is skipped).
bool peerHangsUp(int fd, std::chrono::milliseconds timeout = 5000ms) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    char sink[256];
    for (;;) {
        if (wire::waitReadable(fd, deadline) != wire::Io::ok) return false;
        const ssize_t n = ::recv(fd, sink, sizeof sink, MSG_DONTWAIT);
        if (n == 0 || (n < 0 && errno == ECONNRESET)) return true;
    }
}

std::string readLine(int fd, std::chrono::milliseconds timeout = 5000ms) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::string line;
    char c;
    while (wire::readExact(fd, &c, 1, deadline) == wire::Io::ok && c != '\n') line += c;
    return line;
}

sim::Scenario twoAdapters() {
    sim::Scenario s;
    s.adapters.push_back({0, 0x5F, false, 1, 2});
    s.adapters.push_back({2, 0xEF, true, 1, 2});
    sim::DeviceSpec d;
    d.name = "dev";
    d.objects.push_back({1217, 29, {0x0A, 0x0B, 0x0C, 0x0D}, true, {}, {}});
    s.devices.push_back(d);
    return s;
}

struct ServerRig {
    explicit ServerRig(sim::Scenario s = twoAdapters())
        : sim(std::make_shared<sim::Simulator>(std::move(s))), server(sim, dir.path()) {
        std::string error;
        started = server.start(&error);
        EXPECT_TRUE(started) << error;
        transport = usbio::makeSocketTransport(dir.path().string(), error);
        EXPECT_NE(transport, nullptr) << error;
    }

    std::string control(const std::string& line) {
        const int fd = connectTo(server.controlSocketPath());
        if (fd < 0) return "(no control socket)";
        sendText(fd, line + "\n");
        auto reply = readLine(fd);
        ::close(fd);
        return reply;
    }

    bool descriptor(usbio::Handle h, Bytes* out = nullptr) {
        Bytes d(18, 0);
        std::uint32_t n = 0;
        const bool ok =
            transport->ioControl(h, usbio::kIoctlGetDeviceDescriptor, nullptr, 0, d.data(), 18, &n);
        if (out) *out = d;
        return ok && n == 18;
    }

    TempDir dir{"tivsock", kSocketParent};
    std::shared_ptr<sim::Simulator> sim;
    sim::SocketServer server;
    std::shared_ptr<usbio::Transport> transport;
    bool started = false;
};

// A stand-in daemon that answers each connection with a scripted behaviour.
class FakeDaemon {
public:
    explicit FakeDaemon(std::function<void(int fd)> behaviour) : behaviour_(std::move(behaviour)) {
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        const auto path = (dir.path() / "ezusb-0").string();
        std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
        listenFd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        EXPECT_EQ(::bind(listenFd_, reinterpret_cast<const sockaddr*>(&addr), sizeof addr), 0);
        EXPECT_EQ(::listen(listenFd_, 8), 0);
        thread_ = std::thread([this] {
            for (;;) {
                const int fd = ::accept(listenFd_, nullptr, nullptr);
                if (fd < 0) return;  // the listening socket was shut down
                behaviour_(fd);
                ::close(fd);
            }
        });
        std::string error;
        transport = usbio::makeSocketTransport(dir.path().string(), error);
    }
    ~FakeDaemon() {
        // The transport keeps idle connections; a behaviour serving one ends when it goes.
        transport.reset();
        ::shutdown(listenFd_, SHUT_RDWR);
        thread_.join();
        ::close(listenFd_);
    }

    TempDir dir{"tivsock", kSocketParent};
    std::shared_ptr<usbio::Transport> transport;

private:
    std::function<void(int fd)> behaviour_;
    int listenFd_ = -1;
    std::thread thread_;
};

// Reads one whole request as the daemon would.
bool readRequest(int fd, Bytes& bytes, wire::Request& request) {
    bytes.assign(wire::kRequestHeaderSize, 0);
    if (wire::readExact(fd, bytes.data(), bytes.size()) != wire::Io::ok) return false;
    wire::RequestHeader h;
    if (wire::decodeRequestHeader(bytes, h) != wire::Decode::ok) return false;
    bytes.resize(wire::kRequestHeaderSize + h.bodySize());
    if (wire::readExact(fd, bytes.data() + wire::kRequestHeaderSize, h.bodySize()) != wire::Io::ok)
        return false;
    std::size_t consumed = 0;
    return wire::decodeRequest(bytes, request, consumed) == wire::Decode::ok;
}

}  // namespace

// ---- wire format --------------------------------------------------------------------

TEST(SocketWire, RequestsOfEveryMethodRoundTrip) {
    const Bytes in{3, 0, 0, 0};
    const Bytes data(64, 0xA5);
    const struct {
        std::uint32_t code;
        Bytes in;
        std::uint32_t outSize;
        Bytes outData;
    } cases[] = {
        {usbio::kIoctlGetDeviceDescriptor, {}, 18, {}},
        {usbio::kIoctlBulkRead, in, 64, {}},
        {usbio::kIoctlBulkWrite, in, 64, data},
        {usbio::kIoctlFirmwareDownload, {0, 0}, 0, {}},
        {usbio::kIoctlVendorRequest, Bytes(wire::kMaxInSize, 1), wire::kMaxOutSize, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.code);
        auto bytes = wire::encodeRequest(c.code, c.in, c.outSize, c.outData);
        ASSERT_EQ(bytes.size(), 16 + c.in.size() + c.outData.size());
        EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + 4), "TIVQ");
        EXPECT_EQ(bytes[4], c.code & 0xFF);  // little-endian

        // Every prefix is a valid beginning; the whole is one request, whatever follows.
        wire::Request r;
        std::size_t consumed = 0;
        for (std::size_t n = 0; n < bytes.size(); n += n < 20 ? 1 : 61)
            ASSERT_EQ(wire::decodeRequest(std::span(bytes).first(n), r, consumed),
                      wire::Decode::needMore)
                << n;
        const std::size_t whole = bytes.size();
        bytes.push_back(0x54);
        ASSERT_EQ(wire::decodeRequest(bytes, r, consumed), wire::Decode::ok);
        EXPECT_EQ(consumed, whole);
        EXPECT_EQ(r.header.code, c.code);
        EXPECT_EQ(r.header.outSize, c.outSize);
        EXPECT_EQ(Bytes(r.in.begin(), r.in.end()), c.in);
        EXPECT_EQ(Bytes(r.outData.begin(), r.outData.end()), c.outData);
    }
}

TEST(SocketWire, RepliesCarryOutputOnlyForBufferedAndOutDirect) {
    const Bytes output{1, 2, 3, 4, 5};
    const wire::RequestHeader read{usbio::kIoctlBulkRead, 4, 64};
    const wire::RequestHeader write{usbio::kIoctlBulkWrite, 4, 64};

    auto bytes = wire::encodeReply(true, 5, output);
    ASSERT_EQ(bytes.size(), 12u + 5u);
    EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + 4), "TIVR");
    wire::Reply reply;
    std::size_t consumed = 0;
    for (std::size_t n = 0; n < bytes.size(); ++n)
        EXPECT_EQ(wire::decodeReply(std::span(bytes).first(n), read, reply, consumed),
                  wire::Decode::needMore)
            << n;
    ASSERT_EQ(wire::decodeReply(bytes, read, reply, consumed), wire::Decode::ok);
    EXPECT_TRUE(reply.header.ok);
    EXPECT_EQ(reply.header.bytesReturned, 5u);
    EXPECT_EQ(Bytes(reply.output.begin(), reply.output.end()), output);
    EXPECT_EQ(consumed, bytes.size());

    // A bulk write reports the bytes it took but sends none back.
    bytes = wire::encodeReply(false, 64, {});
    ASSERT_EQ(wire::decodeReply(bytes, write, reply, consumed), wire::Decode::ok);
    EXPECT_FALSE(reply.header.ok);
    EXPECT_EQ(reply.header.bytesReturned, 64u);
    EXPECT_TRUE(reply.output.empty());
    EXPECT_EQ(consumed, 12u);
}

TEST(SocketWire, BadMagicAndLimitsAreErrorsNotWaits) {
    wire::RequestHeader h;
    wire::Request r;
    wire::Reply reply;
    std::size_t consumed = 0;
    std::string why;
    const Bytes garbage{'G'};
    EXPECT_EQ(wire::decodeRequestHeader(garbage, h, &why), wire::Decode::bad);
    EXPECT_FALSE(why.empty());
    EXPECT_EQ(wire::decodeRequestHeader(Bytes{'T', 'I', 'V', 'R'}, h), wire::Decode::bad);
    const wire::RequestHeader read{usbio::kIoctlBulkRead, 4, 64};
    EXPECT_EQ(wire::decodeReply(Bytes{'T', 'I', 'V', 'Q'}, read, reply, consumed),
              wire::Decode::bad);

    auto withSizes = [](std::uint32_t in, std::uint32_t out) {
        Bytes b{'T', 'I', 'V', 'Q', 0x04, 0x20, 0x22, 0};
        for (const auto v : {in, out})
            for (int i = 0; i < 4; ++i) b.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
        return b;
    };
    EXPECT_EQ(wire::decodeRequestHeader(withSizes(4096, 65536), h), wire::Decode::ok);
    EXPECT_EQ(wire::decodeRequestHeader(withSizes(4097, 0), h), wire::Decode::bad);
    EXPECT_EQ(wire::decodeRequestHeader(withSizes(0, 65537), h), wire::Decode::bad);
    EXPECT_EQ(wire::decodeRequest(withSizes(0xFFFFFFFF, 0xFFFFFFFF), r, consumed),
              wire::Decode::bad);

    auto replyWith = [](std::uint32_t ok, std::uint32_t returned) {
        Bytes b{'T', 'I', 'V', 'R'};
        for (const auto v : {ok, returned})
            for (int i = 0; i < 4; ++i) b.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
        return b;
    };
    wire::ReplyHeader rh;
    EXPECT_EQ(wire::decodeReplyHeader(replyWith(1, 64), read, rh), wire::Decode::ok);
    EXPECT_EQ(wire::decodeReplyHeader(replyWith(1, 65), read, rh), wire::Decode::bad);
    EXPECT_EQ(wire::decodeReplyHeader(replyWith(2, 0), read, rh), wire::Decode::bad);

    // Encoders refuse what the decoders would.
    EXPECT_TRUE(wire::encodeRequest(0x222004, Bytes(4097, 0), 0, {}).empty());
    EXPECT_TRUE(wire::encodeRequest(0x222004, {}, 65537, {}).empty());
    EXPECT_TRUE(wire::encodeRequest(usbio::kIoctlBulkWrite, Bytes(4), 64, Bytes(63)).empty());
    EXPECT_TRUE(wire::encodeRequest(usbio::kIoctlBulkRead, Bytes(4), 64, Bytes(64)).empty());
    EXPECT_TRUE(wire::encodeReply(true, 2, Bytes(3)).empty());
}

// ---- transport against the in-process server ----------------------------------------

TEST(SocketTransport, CoreRequestsReachTheSimulatedAdapter) {
    ServerRig r;
    ASSERT_TRUE(r.started);
    EXPECT_TRUE(fs::exists(r.server.deviceSocketPath(0)));
    EXPECT_TRUE(fs::exists(r.server.deviceSocketPath(2)));
    EXPECT_TRUE(fs::exists(r.server.controlSocketPath()));

    const auto h = r.transport->open(deviceName(0));
    ASSERT_NE(h, usbio::kInvalidHandle);
    Bytes d;
    ASSERT_TRUE(r.descriptor(h, &d));
    EXPECT_EQ(d[8] | d[9] << 8, 0x0547);
    EXPECT_EQ(d[10] | d[11] << 8, 0x2131);

    // A refused request leaves the connection usable.
    std::uint32_t n = 99;
    EXPECT_FALSE(r.transport->ioControl(h, 0x222FFF, nullptr, 0, nullptr, 0, &n));
    EXPECT_EQ(n, 0u);
    const std::uint8_t pipe3[4] = {3, 0, 0, 0};
    std::uint8_t packet[64];
    EXPECT_FALSE(r.transport->ioControl(h, usbio::kIoctlBulkRead, pipe3, 4, packet, 64, &n))
        << "no firmware runs on device 0 yet";
    EXPECT_TRUE(r.descriptor(h));
    // Requests past the limits are refused before anything is sent.
    EXPECT_FALSE(
        r.transport->ioControl(h, usbio::kIoctlVendorRequest, packet, 4097, packet, 64, &n));
    EXPECT_FALSE(
        r.transport->ioControl(h, usbio::kIoctlGetDeviceDescriptor, nullptr, 0, nullptr, 18, &n));
    EXPECT_TRUE(r.descriptor(h));
    r.transport->close(h);

    DeviceAccess first(r.transport, 0);
    DeviceAccess second(r.transport, 2);
    EXPECT_EQ(first.readPort(), 0x5F);
    EXPECT_EQ(second.readPort(), 0xEF);
    const auto status = second.bulkRead(3, &n);
    ASSERT_TRUE(status);
    EXPECT_EQ(n, 64u);
}

TEST(SocketTransport, OnlyServedDevicesOpen) {
    ServerRig r;
    for (const char* name : {"\\\\.\\ezusb-1", "\\\\.\\ezusb-15", "\\\\.\\ezusb-16", "ezusb-0", "",
                             "\\\\.\\ezusb-0/../control"})
        EXPECT_EQ(r.transport->open(name), usbio::kInvalidHandle) << name;
    EXPECT_FALSE(fs::exists(r.dir.path() / "ezusb-1"));
}

TEST(SocketTransport, FirmwareDownloadAndBusExchangeOverSockets) {
    ServerRig r;
    DeviceAccess dev(r.transport, 0);
    // In-direct requests carry the image in the out buffer: 366 of them in all.
    ASSERT_TRUE(dev.loadFirmware(sim::makeFirmwareImage()));
    EXPECT_TRUE(r.sim->snapshot(0).firmwareRunning);

    ASSERT_TRUE(dev.command({0xF0}));
    const auto version = dev.bulkRead(5);
    ASSERT_TRUE(version);
    const auto record = sim::defaultVersionRecord();
    EXPECT_TRUE(std::equal(record.begin(), record.end(), version->begin()));

    ASSERT_TRUE(dev.sendTelegram(sim::probe::telegram(5, 29, 1217, 0xC0)));
    const auto frames = sim::probe::collectFrames(dev, 2, 3000ms);
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[1].control(), 0x41);
    EXPECT_EQ(frames[1].data(), (Bytes{0x0A, 0x0B, 0x0C, 0x0D}));
}

TEST(SocketTransport, UnplugAndReplugFollowTheSimulator) {
    ServerRig r;
    const auto stale = r.transport->open(deviceName(0));
    ASSERT_NE(stale, usbio::kInvalidHandle);

    // Through the control socket the file is gone by the time "ok" arrives.
    EXPECT_EQ(r.control("unplug 0"), "ok");
    EXPECT_FALSE(fs::exists(r.server.deviceSocketPath(0)));
    EXPECT_EQ(r.transport->open(deviceName(0)), usbio::kInvalidHandle);
    EXPECT_FALSE(r.descriptor(stale)) << "the open connection must be closed";
    r.transport->close(stale);
    EXPECT_TRUE(DeviceAccess(r.transport, 2).present()) << "the other adapter stays";

    EXPECT_EQ(r.control("replug 0"), "ok");
    const auto h = r.transport->open(deviceName(0));
    ASSERT_NE(h, usbio::kInvalidHandle);
    EXPECT_TRUE(r.descriptor(h));
    r.transport->close(h);

    // Through the API the server notices on its own, and hangs up on open connections.
    const int raw = connectTo(r.server.deviceSocketPath(2));
    ASSERT_GE(raw, 0);
    const auto q = wire::encodeRequest(usbio::kIoctlGetDeviceDescriptor, {}, 18, {});
    ASSERT_TRUE(sendText(raw, std::string(q.begin(), q.end())));
    Bytes answer(12 + 18);
    ASSERT_EQ(wire::readExact(raw, answer.data(), answer.size()), wire::Io::ok);
    r.sim->unplug(2);
    EXPECT_TRUE(eventually([&] { return !fs::exists(r.server.deviceSocketPath(2)); }));
    EXPECT_TRUE(peerHangsUp(raw));
    ::close(raw);
    r.sim->replug(2);
    EXPECT_TRUE(eventually([&] { return DeviceAccess(r.transport, 2).present(); }));

    // A handle opened before a quick unplug and replug stays dead even when the server
    // never saw the gap.
    const auto before = r.transport->open(deviceName(2));
    ASSERT_NE(before, usbio::kInvalidHandle);
    ASSERT_TRUE(r.descriptor(before));  // the server has taken the connection
    r.sim->unplug(2);
    r.sim->replug(2);
    EXPECT_FALSE(r.descriptor(before));
    r.transport->close(before);

    // The backend keeps a closed handle's connection for the next open. Kept ones must not
    // outlive the device: after an unplug the next operation fails, and after a quick
    // unplug and replug at most one transfer fails before a fresh connection serves.
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round == 0 ? "unplug and replug" : "quick unplug and replug");
        auto warm = r.transport->open(deviceName(2));
        ASSERT_TRUE(r.descriptor(warm));
        r.transport->close(warm);
        if (round == 0) {
            EXPECT_EQ(r.control("unplug 2"), "ok");
            const auto gone = r.transport->open(deviceName(2));
            EXPECT_TRUE(gone == usbio::kInvalidHandle || !r.descriptor(gone));
            if (gone != usbio::kInvalidHandle) r.transport->close(gone);
            EXPECT_EQ(r.control("replug 2"), "ok");
        } else {
            r.sim->unplug(2);
            r.sim->replug(2);
            const auto first = r.transport->open(deviceName(2));
            ASSERT_NE(first, usbio::kInvalidHandle);
            r.descriptor(first);  // may meet the kept connection of the old plug-in
            r.transport->close(first);
        }
        const auto back = r.transport->open(deviceName(2));
        ASSERT_NE(back, usbio::kInvalidHandle);
        EXPECT_TRUE(r.descriptor(back));
        r.transport->close(back);
    }
}

TEST(SocketTransport, ControlSocketAnswersLineByLine) {
    ServerRig r;
    const int fd = connectTo(r.server.controlSocketPath());
    ASSERT_GE(fd, 0);
    // Two commands in one write, CRLF, a blank line (answered too, so that nobody waits for
    // a reply that never comes) and a refused command.
    ASSERT_TRUE(sendText(fd, "list\r\n\nbogus 1\n"));
    EXPECT_EQ(readLine(fd), "ok 0:plugged 2:plugged");
    EXPECT_EQ(readLine(fd).rfind("error: empty command", 0), 0u);
    EXPECT_EQ(readLine(fd).rfind("error: ", 0), 0u);
    // A reply of several lines comes back as one.
    ASSERT_TRUE(sendText(fd, "help\n"));
    const auto help = readLine(fd);
    EXPECT_EQ(help.rfind("ok", 0), 0u);
    EXPECT_NE(help.find("unplug"), std::string::npos);
    ASSERT_TRUE(sendText(fd, "list\n"));
    EXPECT_EQ(readLine(fd), "ok 0:plugged 2:plugged");
    ::close(fd);
}

TEST(SocketTransport, ServerHangsUpOnGarbageAndKeepsServing) {
    ServerRig r;
    const auto device = r.server.deviceSocketPath(2);
    const auto control = r.server.controlSocketPath();
    const Bytes header = wire::encodeRequest(usbio::kIoctlBulkRead, Bytes{3, 0, 0, 0}, 64, {});
    auto oversized = header;
    oversized[8] = 0x01;
    oversized[9] = 0x10;  // inSize 4097

    const struct {
        const char* what;
        fs::path path;
        std::string bytes;
        bool expectHangUp;
    } cases[] = {
        {"text instead of a request", device, "GET / HTTP/1.0\r\n\r\n", true},
        {"input past the limit", device, std::string(oversized.begin(), oversized.begin() + 16),
         true},
        {"half a header, then gone", device, std::string(header.begin(), header.begin() + 7),
         false},
        {"header without its input, then gone", device,
         std::string(header.begin(), header.begin() + 16), false},
        {"a control line past the limit", control, std::string(5000, 'x'), true},
        {"a control line with a NUL", control, std::string("list\0x\n", 7), true},
        {"half a control line, then gone", control, "unpl", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const int fd = connectTo(c.path);
        ASSERT_GE(fd, 0);
        ASSERT_TRUE(sendText(fd, c.bytes));
        if (c.expectHangUp) {
            EXPECT_TRUE(peerHangsUp(fd));
        }
        ::close(fd);
    }

    EXPECT_EQ(r.control("list"), "ok 0:plugged 2:plugged");
    DeviceAccess dev(r.transport, 2);
    std::uint32_t n = 0;
    EXPECT_TRUE(dev.bulkRead(3, &n));
    EXPECT_EQ(n, 64u);
}

TEST(SocketTransport, ClientFailsCleanlyOnBrokenDaemons) {
    const struct {
        const char* what;
        std::function<void(int fd, const wire::Request&)> answer;
    } cases[] = {
        {"garbage", [](int fd, const wire::Request&) { sendText(fd, "HELLO THERE, WORLD"); }},
        {"hang-up", [](int, const wire::Request&) {}},
        {"more bytes than asked for",
         [](int fd, const wire::Request& q) {
             const auto b =
                 wire::encodeReply(true, q.header.outSize + 1, Bytes(q.header.outSize + 1, 0));
             wire::writeAll(fd, b.data(), b.size());
         }},
        {"half the output, then gone",
         [](int fd, const wire::Request&) {
             const auto b = wire::encodeReply(true, 18, Bytes(18, 0));
             wire::writeAll(fd, b.data(), 12 + 5);
         }},
        {"a status that is neither 0 nor 1",
         [](int fd, const wire::Request&) {
             auto b = wire::encodeReply(true, 0, {});
             b[4] = 7;
             wire::writeAll(fd, b.data(), b.size());
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        FakeDaemon daemon([&](int fd) {
            Bytes bytes;
            wire::Request q;
            if (readRequest(fd, bytes, q)) c.answer(fd, q);
        });
        ASSERT_NE(daemon.transport, nullptr);
        const auto h = daemon.transport->open(deviceName(0));
        ASSERT_NE(h, usbio::kInvalidHandle);
        std::uint8_t d[18];
        std::uint32_t n = 99;
        EXPECT_FALSE(daemon.transport->ioControl(h, usbio::kIoctlGetDeviceDescriptor, nullptr, 0, d,
                                                 sizeof d, &n));
        EXPECT_EQ(n, 0u);
        // The stream is out of step now: later requests fail without waiting.
        const auto start = std::chrono::steady_clock::now();
        EXPECT_FALSE(daemon.transport->ioControl(h, usbio::kIoctlGetDeviceDescriptor, nullptr, 0, d,
                                                 sizeof d, &n));
        EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
        daemon.transport->close(h);
    }
}

TEST(SocketTransport, ClientGivesUpOnASilentDaemon) {
    std::atomic<bool> done{false};
    FakeDaemon daemon([&](int fd) {
        Bytes bytes;
        wire::Request q;
        readRequest(fd, bytes, q);
        // Say nothing until the client hangs up.
        char c;
        while (!done && ::recv(fd, &c, 1, 0) > 0) {
        }
    });
    const auto h = daemon.transport->open(deviceName(0));
    ASSERT_NE(h, usbio::kInvalidHandle);
    std::uint8_t d[18];
    std::uint32_t n = 0;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(daemon.transport->ioControl(h, usbio::kIoctlGetDeviceDescriptor, nullptr, 0, d,
                                             sizeof d, &n));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
    done = true;
    daemon.transport->close(h);
}

TEST(SocketTransport, DaemonSeesExactlyWhatTheDriverSent) {
    std::mutex mutex;
    std::vector<std::uint32_t> seen;
    std::vector<Bytes> seenBytes;
    FakeDaemon daemon([&](int fd) {
        Bytes bytes;
        wire::Request q;
        while (readRequest(fd, bytes, q)) {
            {
                std::lock_guard lock(mutex);
                seenBytes.push_back(bytes);
                seen.push_back(q.header.code);
            }
            Bytes out(q.header.outSize, 0xC3);
            const bool returns = wire::returnsOutput(q.header.code);
            const auto b = wire::encodeReply(true, q.header.outSize, returns ? out : Bytes{});
            wire::writeAll(fd, b.data(), b.size());
        }
    });
    const auto h = daemon.transport->open(deviceName(0));
    ASSERT_NE(h, usbio::kInvalidHandle);
    Bytes data(64);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 7);
    const std::uint8_t pipe2[4] = {2, 0, 0, 0};
    std::uint32_t n = 0;
    ASSERT_TRUE(
        daemon.transport->ioControl(h, usbio::kIoctlBulkWrite, pipe2, 4, data.data(), 64, &n));
    EXPECT_EQ(n, 64u);
    EXPECT_EQ(data[1], 7) << "an in-direct buffer is only read";
    std::uint8_t out[64] = {};
    ASSERT_TRUE(
        daemon.transport->ioControl(h, usbio::kIoctlBulkRead, pipe2, 4, out, sizeof out, &n));
    EXPECT_EQ(n, 64u);
    EXPECT_EQ(out[63], 0xC3);
    daemon.transport->close(h);

    std::lock_guard lock(mutex);
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0], usbio::kIoctlBulkWrite);
    EXPECT_EQ(Bytes(seenBytes[0].begin() + 16, seenBytes[0].begin() + 20), Bytes(pipe2, pipe2 + 4));
    EXPECT_EQ(Bytes(seenBytes[0].begin() + 20, seenBytes[0].end()), data);
    EXPECT_EQ(seen[1], usbio::kIoctlBulkRead);
    EXPECT_EQ(seenBytes[1].size(), 20u) << "an out-direct request sends no output buffer";
}

TEST(SocketTransport, ManyThreadsEachWithTheirOwnHandle) {
    ServerRig r;
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    // Bursts of opens from several threads: more connections than the server keeps at once
    // come and go, so finished ones must be cleared while the burst lasts.
    for (int t = 0; t < 6; ++t) {
        threads.emplace_back([&, t] {
            DeviceAccess dev(r.transport, t % 2 ? 2 : 0);
            for (int i = 0; i < 60; ++i) {
                const auto h = r.transport->open(deviceName(t % 2 ? 2 : 0));
                if (h == usbio::kInvalidHandle || !r.descriptor(h)) ++failures;
                r.transport->close(h);
                if (t % 2 && !dev.bulkRead(3)) ++failures;
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(failures, 0);
}

TEST(SocketServer, StartStopAndDirectoryProblems) {
    TempDir dir{"tivsock", kSocketParent};
    auto simulator = std::make_shared<sim::Simulator>(twoAdapters());

    const auto file = dir.path() / "plain-file";
    { std::ofstream(file) << "x"; }
    sim::SocketServer onFile(simulator, file);
    std::string error;
    EXPECT_FALSE(onFile.start(&error));
    EXPECT_NE(error.find(file.string()), std::string::npos) << error;

    sim::SocketServer tooLong(simulator, dir.path() / std::string(120, 'd'));
    EXPECT_FALSE(tooLong.start(&error));
    EXPECT_NE(error.find("too long"), std::string::npos) << error;

    // A socket file left behind by a server that died is taken over.
    const auto served = dir.path() / "served";
    fs::create_directories(served);
    {
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strncpy(addr.sun_path, (served / "control").c_str(), sizeof addr.sun_path - 1);
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        ASSERT_EQ(::bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr), 0);
        ::close(fd);
    }
    sim::SocketServer server(simulator, served);
    ASSERT_TRUE(server.start(&error)) << error;

    sim::SocketServer rival(simulator, served);
    EXPECT_FALSE(rival.start(&error));
    EXPECT_NE(error.find("already served"), std::string::npos) << error;
    EXPECT_TRUE(fs::exists(server.deviceSocketPath(0))) << "the rival must not remove them";

    // Stop with a connection open on each kind of socket.
    auto transport = usbio::makeSocketTransport(served.string(), error);
    const auto h = transport->open(deviceName(2));
    ASSERT_NE(h, usbio::kInvalidHandle);
    const int controlFd = connectTo(server.controlSocketPath());
    ASSERT_GE(controlFd, 0);
    server.stop();
    EXPECT_TRUE(peerHangsUp(controlFd));
    ::close(controlFd);
    std::uint8_t d[18];
    std::uint32_t n = 0;
    EXPECT_FALSE(
        transport->ioControl(h, usbio::kIoctlGetDeviceDescriptor, nullptr, 0, d, sizeof d, &n));
    transport->close(h);
    EXPECT_TRUE(fs::is_empty(served)) << "stop removes every socket file";

    // And it starts again.
    ASSERT_TRUE(server.start(&error)) << error;
    EXPECT_TRUE(DeviceAccess(transport, 2).present());
}
