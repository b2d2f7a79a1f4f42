#include "Demo.h"

#include <unistd.h>

#include <bit>
#include <cstdio>
#include <cstring>
#include <iostream>

#include "os/Clock.h"
#include "simulator/FirmwareImage.h"
#include "simulator/Probe.h"
#include "simulator/SimTransport.h"
#include "usb/IoctlCodes.h"

using namespace sim::probe;
using namespace std::chrono_literals;

namespace {

std::string hex(const Bytes& bytes) {
    std::string s;
    char buf[4];
    for (const auto b : bytes) {
        std::snprintf(buf, sizeof buf, "%s%02X", s.empty() ? "" : " ", b);
        s += buf;
    }
    return s;
}

void printFrame(const Frame& f) {
    if (f.type() < 5) {
        const int obj = f.record[0] & 0x1F;
        double value = 0;
        if (f.type() == 2 && f.record.size() >= 10) {
            std::memcpy(&value, &f.record[2], 8);
        } else if (f.record.size() >= 6) {
            float v;
            std::memcpy(&v, &f.record[2], 4);
            value = v;
        }
        std::printf("    cyclic  type %d  object %2d  status %3d  value %.3f\n", f.type(), obj,
                    f.record.size() > 1 ? f.record[1] : 0, value);
        return;
    }
    std::printf("    %-7s type %d  sub %3d  obj %5d  control 0x%02X  data [%s]\n",
                f.type() == 5   ? "request"
                : f.type() == 6 ? "answer"
                                : "service",
                f.type(), f.sub(), f.obj(), f.control(), hex(f.data()).c_str());
}

// Sends one request and prints what the bus carries until the answer (or a delivery).
void transaction(DeviceAccess& dev, const char* title, const Bytes& request, std::size_t frames,
                 std::chrono::milliseconds wait) {
    std::printf("  %s\n", title);
    if (!dev.sendTelegram(request)) {
        std::printf("    transmit failed\n");
        return;
    }
    FrameCollector c;
    const auto deadline = os::clock().now() + wait;
    std::size_t acyclic = 0;
    while (acyclic < frames && os::clock().now() < deadline) {
        const auto p = dev.bulkRead(1);
        if (!p) break;
        const std::size_t before = c.frames.size();
        c.feed(*p);
        for (std::size_t i = before; i < c.frames.size(); ++i)
            if (c.frames[i].type() >= 5) {
                printFrame(c.frames[i]);
                ++acyclic;
            }
    }
    if (acyclic < frames) std::printf("    (no further answer)\n");
}

}  // namespace

int runDemo(const std::optional<std::string>& scenarioFile) {
    sim::registerTransportBackend();
    std::string error;
    auto transport = usbio::makeTransport(scenarioFile ? "sim:" + *scenarioFile : "sim", error);
    if (!transport) {
        std::cerr << "tivsim demo: " << error << '\n';
        return 2;
    }

    std::printf("Scanning device names %s0..15\n", usbio::kDeviceNamePrefix);
    std::vector<int> found;
    for (int n = 0; n < usbio::kMaxDevices; ++n) {
        DeviceAccess dev(transport, n);
        if (!dev.present()) continue;
        found.push_back(n);
        const auto port = dev.readPort();
        std::printf("  %s  display name Adapter-%zu  address %d\n", deviceName(n).c_str(),
                    found.size() - 1, port ? static_cast<std::uint8_t>(~*port) >> 4 : -1);
    }
    if (found.empty()) {
        std::printf("No adapter found.\n");
        return 1;
    }

    DeviceAccess dev(transport, found.front());
    std::printf("\nAdapter %s\n", deviceName(found.front()).c_str());
    if (!dev.command({0xF0})) {
        std::printf("  firmware does not answer: downloading it (2 stages)\n");
        const auto image = sim::makeFirmwareImage();
        const bool tty = isatty(STDOUT_FILENO) != 0;
        const bool ok = dev.loadFirmware(image, [tty](std::size_t packet) {
            if (!tty && packet != sim::kStageTwoPackets) return;
            const int width = 40;
            const int done = static_cast<int>(packet * width / sim::kStageTwoPackets);
            std::printf("\r  stage two [%s%s] %3zu/%zu", std::string(done, '#').c_str(),
                        std::string(width - done, ' ').c_str(), packet, sim::kStageTwoPackets);
            std::fflush(stdout);
        });
        std::printf("\n");
        if (!ok || !dev.command({0xF0})) {
            std::printf("  firmware download failed\n");
            return 1;
        }
    }
    const auto version = dev.bulkRead(5);
    if (!version) {
        std::printf("  no version record\n");
        return 1;
    }
    std::printf("  firmware version \"%.6s\" build %02X%02X, signature %c%c\n",
                reinterpret_cast<const char*>(version->data()), (*version)[6], (*version)[7],
                (*version)[8], (*version)[9]);
    if (const auto s = dev.bulkRead(3)) {
        std::printf("  status: adapter token %d, next token %d, bus address %d, %s, %s, %s\n",
                    (*s)[10], (*s)[11], (*s)[13],
                    ((*s)[14] & 1) ? "no bus connection" : "bus connected",
                    ((*s)[16] & 1) ? "logged on" : "logged off",
                    ((*s)[19] & 1) ? "CRC checksums" : "sum checksums");
    }

    std::printf("\nAcyclic transactions on the bus\n");
    dev.command({0x9E});
    transaction(dev, "read object 1217, sub 29", telegram(5, 29, 1217, 0xC0), 2, 2s);
    transaction(dev, "write object 1217, sub 29 = 11 22", telegram(5, 29, 1217, 0xC1, {0x11, 0x22}),
                2, 2s);
    transaction(dev, "read object 100, sub 1", telegram(5, 1, 100, 0xC0), 2, 2s);
    transaction(dev, "write the read-only object 100, sub 1", telegram(5, 1, 100, 0xC1, {7}), 2,
                2s);
    transaction(dev, "read object 1300, sub 1 (answers with an error)", telegram(5, 1, 1300, 0xC0),
                2, 2s);
    transaction(dev, "read object 1301, sub 2 (delayed answer)", telegram(5, 2, 1301, 0xC0), 3, 3s);

    std::printf("\nCyclic telegrams for one second\n");
    dev.command({0x9E});
    FrameCollector c;
    const auto end = os::clock().now() + 1s;
    std::size_t shown = 0;
    while (os::clock().now() < end) {
        const auto p = dev.bulkRead(1);
        if (!p) break;
        c.feed(*p);
        for (; shown < c.frames.size(); ++shown) printFrame(c.frames[shown]);
    }
    std::printf("\nDone: %zu cyclic telegrams seen.\n", shown);
    return 0;
}
