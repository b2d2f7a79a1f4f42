#include "Probe.h"

#include <algorithm>

#include "FirmwareImage.h"
#include "os/Clock.h"
#include "usb/IoctlCodes.h"

namespace sim::probe {

std::string deviceName(int device) {
    return usbio::kDeviceNamePrefix + std::to_string(device);
}

DeviceAccess::DeviceAccess(std::shared_ptr<usbio::Transport> transport, int device)
    : transport_(std::move(transport)), name_(deviceName(device)) {}

bool DeviceAccess::request(std::uint32_t code, const void* in, std::uint32_t inSize, void* out,
                           std::uint32_t outSize, std::uint32_t* returned) {
    const auto h = transport_->open(name_);
    if (h == usbio::kInvalidHandle) return false;
    std::uint32_t n = 0;
    const bool ok = transport_->ioControl(h, code, in, inSize, out, outSize, &n);
    transport_->close(h);
    if (returned) *returned = n;
    return ok;
}

bool DeviceAccess::present() {
    const auto h = transport_->open(name_);
    if (h == usbio::kInvalidHandle) return false;
    transport_->close(h);
    return true;
}

bool DeviceAccess::vendorWrite(std::uint16_t address, std::uint8_t value) {
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

std::optional<std::uint8_t> DeviceAccess::readPort() {
    const std::uint8_t block[10] = {0xA0, 0, 0x99, 0x7F, 0, 0, 3, 0, 1, 0};
    std::uint8_t out[21] = {};
    if (!request(usbio::kIoctlVendorRequest, block, sizeof block, out, sizeof out))
        return std::nullopt;
    return out[0];
}

bool DeviceAccess::setInterface(std::uint8_t iface, std::uint8_t alt) {
    const std::uint8_t in[2] = {iface, alt};
    return request(usbio::kIoctlSetInterface, in, 2, nullptr, 0);
}

bool DeviceAccess::download(std::uint16_t offset, std::span<const std::uint8_t> code) {
    const std::uint8_t in[2] = {static_cast<std::uint8_t>(offset & 0xFF),
                                static_cast<std::uint8_t>(offset >> 8)};
    Bytes copy(code.begin(), code.end());
    return request(usbio::kIoctlFirmwareDownload, in, 2, copy.data(),
                   static_cast<std::uint32_t>(copy.size()));
}

bool DeviceAccess::bulkWrite(std::uint32_t pipe, std::span<const std::uint8_t> data) {
    const std::uint8_t in[4] = {static_cast<std::uint8_t>(pipe), 0, 0, 0};
    Bytes copy(data.begin(), data.end());
    return request(usbio::kIoctlBulkWrite, in, 4, copy.data(),
                   static_cast<std::uint32_t>(copy.size()));
}

bool DeviceAccess::command(std::initializer_list<std::uint8_t> bytes) {
    Packet p{};
    std::copy_n(bytes.begin(), std::min<std::size_t>(bytes.size(), p.size()), p.begin());
    return bulkWrite(2, p);
}

std::optional<Packet> DeviceAccess::bulkRead(std::uint32_t pipe, std::uint32_t* returned) {
    const std::uint8_t in[4] = {static_cast<std::uint8_t>(pipe), 0, 0, 0};
    Packet p{};
    if (!request(usbio::kIoctlBulkRead, in, 4, p.data(), 64, returned)) return std::nullopt;
    return p;
}

bool DeviceAccess::loadFirmware(std::span<const std::uint8_t> image,
                                const std::function<void(std::size_t)>& progress) {
    if (image.size() < kImageSize) return false;
    if (!hold() || !setInterface(0, 0) || !setInterface(0, 1)) return false;
    const bool stageOne = download(0, image.first(kStageOneSize));
    // The core must run again whatever became of stage one.
    if (!run() || !stageOne) return false;
    bool allWritten = true;
    for (std::size_t i = 0; i < kStageTwoPackets; ++i) {
        allWritten &= bulkWrite(4, image.subspan(kStageTwoOffset + i * 64, 64));
        if (progress) progress(i + 1);
    }
    return allWritten;
}

bool DeviceAccess::sendTelegram(std::span<const std::uint8_t> record) {
    std::array<std::uint8_t, 134> work{};
    std::copy_n(record.begin(), std::min(record.size(), work.size()), work.begin());
    Packet b1{}, b2{}, b3{};
    b1[0] = 0xA1;
    std::copy_n(work.begin(), 54, b1.begin() + 1);
    b2[0] = 0xA2;
    std::copy_n(work.begin() + 54, 48, b2.begin() + 1);
    b3[0] = 0xA3;
    std::copy_n(work.begin() + 102, 32, b3.begin() + 1);
    return bulkWrite(2, b1) && bulkWrite(2, b2) && bulkWrite(2, b3);
}

Bytes telegram(std::uint8_t type, int sub, int obj, std::uint8_t control,
               std::initializer_list<std::uint8_t> data) {
    Bytes r{static_cast<std::uint8_t>(type << 5 | 2), static_cast<std::uint8_t>(4 + data.size()),
            static_cast<std::uint8_t>(sub),           static_cast<std::uint8_t>(obj & 0xFF),
            static_cast<std::uint8_t>(obj >> 8),      control};
    for (const auto b : data) r.push_back(b);
    return r;
}

Bytes Frame::data() const {
    return record.size() > 6 ? Bytes(record.begin() + 6, record.end()) : Bytes{};
}

void FrameCollector::feed(const Packet& p) {
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
        if (raw_.size() > 1023) inFrame_ = false;  // not a frame of ours
    }
}

void FrameCollector::finish() {
    if (raw_.size() < 4) return;
    Frame f;
    f.length = raw_[0];
    f.flags = raw_[1];
    f.record.assign(raw_.begin() + 2, raw_.end() - 2);
    f.checksum = static_cast<std::uint16_t>(raw_[raw_.size() - 2] | raw_[raw_.size() - 1] << 8);
    frames.push_back(std::move(f));
}

std::vector<Frame> collectFrames(DeviceAccess& device, std::size_t count,
                                 std::chrono::milliseconds timeout, FrameCollector* collector) {
    FrameCollector c;
    const auto deadline = os::clock().now() + timeout;
    while (c.frames.size() < count && os::clock().now() < deadline) {
        const auto p = device.bulkRead(1);
        if (!p) break;
        c.feed(*p);
    }
    if (collector) *collector = c;
    return c.frames;
}

}  // namespace sim::probe
