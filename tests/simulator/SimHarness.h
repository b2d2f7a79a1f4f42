#pragma once

// Test-side access to a simulated adapter, through the transport exactly as a driver would:
// every operation opens the device, issues one request and closes it.

#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "os/Clock.h"
#include "simulator/FirmwareImage.h"
#include "simulator/SimTransport.h"
#include "simulator/Simulator.h"
#include "usb/IoctlCodes.h"
#include "usb/Transport.h"

namespace simtest {

using Packet = std::array<std::uint8_t, 64>;
using Bytes = std::vector<std::uint8_t>;

inline std::string deviceName(int n) {
    return usbio::kDeviceNamePrefix + std::to_string(n);
}

class DeviceAccess {
public:
    DeviceAccess(std::shared_ptr<usbio::Transport> t, int device)
        : t_(std::move(t)), name_(deviceName(device)) {}

    bool request(std::uint32_t code, const void* in, std::uint32_t inSize, void* out,
                 std::uint32_t outSize, std::uint32_t* returned = nullptr) {
        const auto h = t_->open(name_);
        if (h == usbio::kInvalidHandle) return false;
        std::uint32_t n = 0;
        const bool ok = t_->ioControl(h, code, in, inSize, out, outSize, &n);
        t_->close(h);
        if (returned) *returned = n;
        return ok;
    }

    bool present() {
        const auto h = t_->open(name_);
        if (h == usbio::kInvalidHandle) return false;
        t_->close(h);
        return true;
    }

    bool vendorWrite(std::uint16_t address, std::uint8_t value) {
        const std::uint8_t block[10] = {0xA0,
                                        0,
                                        static_cast<std::uint8_t>(address & 0xFF),
                                        static_cast<std::uint8_t>(address >> 8),
                                        0,
                                        0,
                                        1,
                                        0,
                                        0,
                                        value};
        return request(usbio::kIoctlVendorRequest, block, sizeof block, nullptr, 0);
    }
    bool hold() { return vendorWrite(0x7F92, 1); }
    bool run() { return vendorWrite(0x7F92, 0); }

    std::optional<std::uint8_t> readPort() {
        const std::uint8_t block[10] = {0xA0, 0, 0x99, 0x7F, 0, 0, 3, 0, 1, 0};
        std::uint8_t out[21] = {};
        if (!request(usbio::kIoctlVendorRequest, block, sizeof block, out, sizeof out))
            return std::nullopt;
        return out[0];
    }

    bool setInterface(std::uint8_t iface, std::uint8_t alt) {
        const std::uint8_t in[2] = {iface, alt};
        return request(usbio::kIoctlSetInterface, in, 2, nullptr, 0);
    }

    bool download(std::uint16_t offset, std::span<const std::uint8_t> code) {
        const std::uint8_t in[2] = {static_cast<std::uint8_t>(offset & 0xFF),
                                    static_cast<std::uint8_t>(offset >> 8)};
        Bytes copy(code.begin(), code.end());
        return request(usbio::kIoctlFirmwareDownload, in, 2, copy.data(),
                       static_cast<std::uint32_t>(copy.size()));
    }

    bool bulkWrite(std::uint32_t pipe, std::span<const std::uint8_t> data) {
        const std::uint8_t in[4] = {static_cast<std::uint8_t>(pipe), 0, 0, 0};
        Bytes copy(data.begin(), data.end());
        return request(usbio::kIoctlBulkWrite, in, 4, copy.data(),
                       static_cast<std::uint32_t>(copy.size()));
    }

    bool command(std::initializer_list<std::uint8_t> bytes) {
        Packet p{};
        std::copy(bytes.begin(), bytes.end(), p.begin());
        return bulkWrite(2, p);
    }

    std::optional<Packet> bulkRead(std::uint32_t pipe, std::uint32_t* returned = nullptr) {
        const std::uint8_t in[4] = {static_cast<std::uint8_t>(pipe), 0, 0, 0};
        Packet p{};
        if (!request(usbio::kIoctlBulkRead, in, 4, p.data(), 64, returned)) return std::nullopt;
        return p;
    }

    // The whole two-stage download as a loader does it.
    bool loadFirmware(const Bytes& image) {
        if (!hold() || !setInterface(0, 0) || !setInterface(0, 1)) return false;
        const bool stageOne = download(0, std::span(image).first(sim::kStageOneSize));
        if (!run() || !stageOne) return false;
        bool allWritten = true;
        for (std::size_t i = 0; i < sim::kStageTwoPackets; ++i)
            allWritten &= bulkWrite(4, std::span(image).subspan(sim::kStageTwoOffset + i * 64, 64));
        return allWritten;
    }

    // Transmit blocks 1..3 of a telegram record (checksum left zero: the adapter ignores it).
    bool sendTelegram(std::span<const std::uint8_t> record) {
        std::array<std::uint8_t, 134> work{};
        std::copy_n(record.begin(), std::min<std::size_t>(record.size(), work.size()),
                    work.begin());
        Packet b1{}, b2{}, b3{};
        b1[0] = 0xA1;
        std::copy_n(work.begin(), 54, b1.begin() + 1);
        b2[0] = 0xA2;
        std::copy_n(work.begin() + 54, 48, b2.begin() + 1);
        b3[0] = 0xA3;
        std::copy_n(work.begin() + 102, 32, b3.begin() + 1);
        return bulkWrite(2, b1) && bulkWrite(2, b2) && bulkWrite(2, b3);
    }

private:
    std::shared_ptr<usbio::Transport> t_;
    std::string name_;
};

inline Bytes request(std::uint8_t type, int sub, int obj, std::uint8_t control,
                     std::initializer_list<std::uint8_t> data = {}) {
    Bytes r{static_cast<std::uint8_t>(type << 5 | 2), static_cast<std::uint8_t>(4 + data.size()),
            static_cast<std::uint8_t>(sub),           static_cast<std::uint8_t>(obj & 0xFF),
            static_cast<std::uint8_t>(obj >> 8),      control};
    for (const auto b : data) r.push_back(b);
    return r;
}

// A received frame with escapes removed: length byte, flags, record, checksum.
struct Frame {
    std::uint8_t length = 0;
    std::uint8_t flags = 0;
    Bytes record;
    std::uint16_t checksum = 0;

    int type() const { return record.empty() ? -1 : record[0] >> 5; }
    int sub() const { return record.size() > 2 ? record[2] : -1; }
    int obj() const { return record.size() > 4 ? record[3] | record[4] << 8 : -1; }
    int control() const { return record.size() > 5 ? record[5] : -1; }
    Bytes data() const {
        return record.size() > 6 ? Bytes(record.begin() + 6, record.end()) : Bytes{};
    }
};

// Test-only frame assembler over pipe-1 packets.
class FrameCollector {
public:
    void feed(const Packet& p) {
        for (std::size_t i = 2; i < p.size(); ++i) {
            const std::uint8_t b = p[i];
            if (!inFrame_) {
                if (b == 0xFA) {
                    inFrame_ = true;
                    raw_.clear();
                    escape_ = false;
                } else if (b != 0) {
                    ++junk;
                }
                continue;
            }
            if (b == 0xFB && !escape_) {
                finish();
                inFrame_ = false;
            } else if (b == 0xF9 && !escape_) {
                escape_ = true;
                ++escapes;
            } else {
                raw_.push_back(escape_ ? static_cast<std::uint8_t>(b + 0xF9) : b);
                escape_ = false;
            }
        }
    }
    bool midFrame() const { return inFrame_; }

    std::vector<Frame> frames;
    int escapes = 0;
    int junk = 0;  // nonzero bytes outside frames: padding must be zero

private:
    void finish() {
        Frame f;
        if (raw_.size() < 4) return;
        f.length = raw_[0];
        f.flags = raw_[1];
        f.record.assign(raw_.begin() + 2, raw_.end() - 2);
        f.checksum = static_cast<std::uint16_t>(raw_[raw_.size() - 2] | raw_[raw_.size() - 1] << 8);
        frames.push_back(std::move(f));
    }
    Bytes raw_;
    bool inFrame_ = false;
    bool escape_ = false;
};

// Reads pipe 1 until `count` frames are there or the nominal time-out has passed.
inline std::vector<Frame> collectFrames(DeviceAccess& d, std::size_t count,
                                        std::chrono::milliseconds timeout,
                                        FrameCollector* collectorOut = nullptr) {
    FrameCollector c;
    const auto deadline = os::clock().now() + timeout;
    while (c.frames.size() < count && os::clock().now() < deadline) {
        const auto p = d.bulkRead(1);
        if (!p) break;
        c.feed(*p);
    }
    if (collectorOut) *collectorOut = c;
    return c.frames;
}

// A small scenario built in code so these tests do not depend on the file reader.
inline sim::Scenario testScenario(bool firmwareRunning = true, bool crc = true) {
    sim::Scenario s;
    sim::AdapterSpec a;
    a.device = 0;
    a.port = 0x5F;
    a.firmwareRunning = firmwareRunning;
    s.adapters.push_back(a);
    s.bus.crc = crc;
    s.bus.answerDelayMs = 2;
    sim::DeviceSpec d;
    d.name = "test";
    d.objects.push_back({1217, 29, {0x0A, 0x0B, 0x0C, 0x0D}, true, {}, {}});
    d.objects.push_back({100, 1, {0x01, 0x02}, false, {}, {}});
    d.objects.push_back({1300, 1, {}, false, 132, {}});
    d.objects.push_back({1301, 2, {0x2A}, false, {}, 5});
    d.objects.push_back({1400, 29, {0xF9, 0xFA, 0xFB, 0x00}, true, {}, {}});
    s.devices.push_back(d);
    return s;
}

}  // namespace simtest
