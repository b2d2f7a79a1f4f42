#include "SimAdapter.h"

#include <algorithm>
#include <cstring>

#include "FirmwareImage.h"
#include "Frames.h"
#include "usb/IoctlCodes.h"

namespace sim {

namespace {

constexpr std::uint16_t kVendorId = 0x0547;
constexpr std::uint16_t kProductId = 0x2131;
constexpr std::uint8_t kVendorMemoryAccess = 0xA0;
constexpr std::uint16_t kCpuControl = 0x7F92;
constexpr std::uint16_t kPortRegister = 0x7F99;
constexpr std::size_t kInternalMemory = 8192;
constexpr std::size_t kAdapterMemory = 65536;
constexpr std::size_t kStreamCapacity = 16384;
constexpr std::size_t kMaxReplies = 16;
constexpr std::size_t kStreamBytesPerPacket = 62;
constexpr auto kDownloadBusy = std::chrono::milliseconds(1);
constexpr auto kResetLoginPause = std::chrono::milliseconds(300);

std::uint32_t readU32(const std::uint8_t* in) {
    return static_cast<std::uint32_t>(in[0]) | static_cast<std::uint32_t>(in[1]) << 8 |
           static_cast<std::uint32_t>(in[2]) << 16 | static_cast<std::uint32_t>(in[3]) << 24;
}

void putBigEndian32(std::uint8_t* p, std::uint32_t v) {
    p[0] = static_cast<std::uint8_t>(v >> 24);
    p[1] = static_cast<std::uint8_t>(v >> 16);
    p[2] = static_cast<std::uint8_t>(v >> 8);
    p[3] = static_cast<std::uint8_t>(v);
}

}  // namespace

SimAdapter::SimAdapter(const AdapterSpec& spec, const BusSpec& bus, Bus& wire)
    : spec_(spec), busSpec_(bus), wire_(wire) {
    powerUp();
}

void SimAdapter::powerUp() {
    onHold_ = false;
    alternateSetting_ = 0;
    internal_.assign(kInternalMemory, 0);
    stageTwo_.clear();
    stageOneRunning_ = false;
    firmwareRunning_ = spec_.firmwareRunning;
    version_ = {};
    if (firmwareRunning_) {
        // Booted from its own memory: the same code as the download would bring.
        const auto image = makeFirmwareImage();
        std::copy_n(image.begin(), kStageOneSize, internal_.begin());
        version_ = defaultVersionRecord();
    }
    connected_ = busSpec_.connected;
    loggedOn_ = busSpec_.loggedOn;
    loginBlockedUntil_ = {};
    crc_ = busSpec_.crc;
    checkMode_ = false;
    token_ = spec_.token;
    nextToken_ = spec_.nextToken;
    transmit_.fill(0);
    stream_.clear();
    replies_.clear();
    memory_.assign(kAdapterMemory, 0);
    downloadLocked_ = downloadActive_ = uploadActive_ = false;
    downloadBusyUntil_ = {};
    downloadLast_ = uploadLast_ = 0;
    failTransfers_ = 0;
}

void SimAdapter::unplug() {
    plugged_ = false;
    ++generation_;
}

void SimAdapter::replug() {
    powerUp();
    plugged_ = true;
    ++generation_;
}

void SimAdapter::hear(const BusTelegram& telegram) {
    if (!hearsBus()) return;
    const auto frame = encodeFrame(telegram.record, crc_, telegram.corrupt);
    if (stream_.size() + frame.size() > kStreamCapacity) {
        ++streamOverflows_;
        return;
    }
    stream_.insert(stream_.end(), frame.begin(), frame.end());
}

bool SimAdapter::ioControl(std::uint32_t code, const std::uint8_t* in, std::uint32_t inSize,
                           std::uint8_t* out, std::uint32_t outSize, std::uint32_t* bytesReturned,
                           TimePoint now) {
    *bytesReturned = 0;
    if (!plugged_) return false;
    switch (code) {
        case usbio::kIoctlGetDeviceDescriptor: {
            const std::uint8_t descriptor[18] = {18,
                                                 1,
                                                 0x10,
                                                 0x01,
                                                 0xFF,
                                                 0xFF,
                                                 0xFF,
                                                 64,
                                                 kVendorId & 0xFF,
                                                 kVendorId >> 8,
                                                 kProductId & 0xFF,
                                                 kProductId >> 8,
                                                 0x01,
                                                 0x00,
                                                 0,
                                                 0,
                                                 0,
                                                 1};
            if (!out || outSize < sizeof descriptor) return false;
            std::memcpy(out, descriptor, sizeof descriptor);
            *bytesReturned = sizeof descriptor;
            return true;
        }
        case usbio::kIoctlVendorRequest:
            return vendorRequest(in, inSize, out, outSize, bytesReturned);
        case usbio::kIoctlSetInterface:
            if (!in || inSize < 2 || in[0] != 0 || in[1] > 3) return false;
            alternateSetting_ = in[1];
            return true;
        case usbio::kIoctlFirmwareDownload: {
            if (!in || inSize < 2 || !onHold_) return false;
            const std::size_t offset = in[0] | in[1] << 8;
            if (outSize > 0 && !out) return false;
            if (offset + outSize > internal_.size()) return false;
            std::copy_n(out, outSize, internal_.begin() + static_cast<std::ptrdiff_t>(offset));
            *bytesReturned = outSize;
            return true;
        }
        case usbio::kIoctlBulkRead:
        case usbio::kIoctlBulkWrite: {
            if (!in || inSize < 4) return false;
            if (failTransfers_ != 0) {
                if (failTransfers_ > 0) --failTransfers_;
                return false;
            }
            const std::uint32_t pipe = readU32(in);
            if (outSize > 0 && !out) return false;
            return code == usbio::kIoctlBulkRead
                       ? bulkRead(pipe, out, outSize, bytesReturned, now)
                       : bulkWrite(pipe, out, outSize, bytesReturned, now);
        }
        default:
            return false;
    }
}

bool SimAdapter::vendorRequest(const std::uint8_t* in, std::uint32_t inSize, std::uint8_t* out,
                               std::uint32_t outSize, std::uint32_t* bytesReturned) {
    if (!in || inSize < 10 || in[0] != kVendorMemoryAccess) return false;
    const std::uint16_t address = static_cast<std::uint16_t>(in[2] | in[3] << 8);
    const std::uint16_t length = static_cast<std::uint16_t>(in[6] | in[7] << 8);
    const bool toHost = in[8] != 0;
    if (!toHost) {
        if (address == kCpuControl) setHold((in[9] & 1) != 0);
        return true;
    }
    if (length == 0 || length > 21 || !out || outSize < length) return false;
    std::memset(out, 0, length);
    if (address == kPortRegister) out[0] = static_cast<std::uint8_t>(spec_.port);
    *bytesReturned = length;
    return true;
}

void SimAdapter::setHold(bool hold) {
    if (hold) {
        onHold_ = true;
        stageOneRunning_ = false;
        firmwareRunning_ = false;
        stageTwo_.clear();
        return;
    }
    if (!onHold_) return;
    onHold_ = false;
    stageOneRunning_ = stageOneIntact(std::span(internal_).first(kStageOneSize));
}

bool SimAdapter::bulkRead(std::uint32_t pipe, std::uint8_t* out, std::uint32_t outSize,
                          std::uint32_t* bytesReturned, TimePoint now) {
    if (!firmwareRunning_) return false;
    Packet p{};
    std::uint32_t length = 64;
    switch (pipe) {
        case 1: {
            p[1] =
                static_cast<std::uint8_t>((connected_ ? 0 : 0x04) | (loggedOnAt(now) ? 0x10 : 0));
            const std::size_t room =
                std::min<std::size_t>(kStreamBytesPerPacket, outSize > 2 ? outSize - 2 : 0);
            const std::size_t n = std::min(room, stream_.size());
            std::copy_n(stream_.begin(), n, p.begin() + 2);
            stream_.erase(stream_.begin(), stream_.begin() + static_cast<std::ptrdiff_t>(n));
            p[0] = n > 0 ? 1 : 0;
            break;
        }
        case 3:
            p[10] = static_cast<std::uint8_t>(token_);
            p[11] = static_cast<std::uint8_t>(nextToken_);
            p[12] = 0x01;
            p[13] = static_cast<std::uint8_t>((~spec_.port & 0xFF) >> 4);
            p[14] = connected_ ? 0 : 1;
            p[16] = loggedOnAt(now) ? 1 : 0;
            p[18] = checkMode_ ? 1 : 0;
            p[19] = crc_ ? 1 : 0;
            break;
        case 5:
            if (replies_.empty()) return true;  // nothing to say: a zero-length packet
            p = replies_.front();
            replies_.pop_front();
            break;
        default:
            return false;
    }
    length = std::min<std::uint32_t>(length, outSize);
    std::copy_n(p.begin(), length, out);
    *bytesReturned = length;
    return true;
}

bool SimAdapter::bulkWrite(std::uint32_t pipe, const std::uint8_t* data, std::uint32_t size,
                           std::uint32_t* bytesReturned, TimePoint now) {
    if (pipe == 4) {
        if (!stageOneRunning_ || firmwareRunning_) return false;
        stageTwo_.insert(stageTwo_.end(), data, data + size);
        if (stageTwo_.size() >= kStageTwoSize) {
            const bool intact = stageTwoIntact(std::span(stageTwo_).first(kStageTwoSize));
            if (intact) {
                firmwareRunning_ = true;
                std::copy_n(stageTwo_.begin(), version_.size(), version_.begin());
            }
            stageTwo_.clear();
        }
        *bytesReturned = size;
        return true;
    }
    if (pipe != 2 || !firmwareRunning_ || size == 0) return false;
    // The USB layer cuts longer writes into 64-byte packets.
    for (std::uint32_t at = 0; at < size; at += 64) {
        Packet p{};
        std::copy_n(data + at, std::min<std::uint32_t>(64, size - at), p.begin());
        command(p, now);
    }
    *bytesReturned = size;
    return true;
}

void SimAdapter::reply(const Packet& p) {
    if (replies_.size() >= kMaxReplies) replies_.pop_front();
    replies_.push_back(p);
}

SimAdapter::Packet SimAdapter::transferState(bool active, TimePoint busyUntil,
                                             std::uint32_t lastAddr, TimePoint now) const {
    Packet p{};
    p[0] = static_cast<std::uint8_t>((active ? 0x01 : 0) | (now < busyUntil ? 0x02 : 0));
    putBigEndian32(&p[1], lastAddr);
    return p;
}

void SimAdapter::command(const Packet& p, TimePoint now) {
    switch (p[0]) {
        case 0x9C:
            nextToken_ = p[1];
            token_ = p[2];
            break;
        case 0x9E:
            stream_.clear();
            break;
        case 0xA1:
            std::copy_n(p.begin() + 1, 54, transmit_.begin());
            break;
        case 0xA2:
            std::copy_n(p.begin() + 1, 48, transmit_.begin() + 54);
            break;
        case 0xA3: {
            std::copy_n(p.begin() + 1, 32, transmit_.begin() + 102);
            const std::size_t dataSize = std::clamp<std::size_t>(transmit_[1], 4, 132);
            std::vector<std::uint8_t> record(
                transmit_.begin(), transmit_.begin() + static_cast<std::ptrdiff_t>(dataSize + 2));
            record[1] = static_cast<std::uint8_t>(dataSize);
            transmit_.fill(0);
            // Only a station in the token ring may send.
            if (connected_ && loggedOnAt(now)) {
                ++telegramsSent_;
                wire_.transmit(std::move(record), now);
            }
            break;
        }
        case 0xA4:
            downloadLocked_ = p[1] == 0;
            break;
        case 0xB0: {
            const std::size_t offset = static_cast<std::size_t>(p[1] << 8 | p[2]);
            const std::size_t count = std::min<std::size_t>({p[3], 60, kAdapterMemory - offset});
            std::copy_n(p.begin() + 4, count,
                        memory_.begin() + static_cast<std::ptrdiff_t>(offset));
            if (count > 0) downloadLast_ = static_cast<std::uint32_t>(offset + count - 1);
            downloadBusyUntil_ = now + kDownloadBusy;
            break;
        }
        case 0xB1:
            downloadActive_ = true;
            break;
        case 0xB2:
            reply(transferState(downloadActive_, downloadBusyUntil_, downloadLast_, now));
            break;
        case 0xB3:
            downloadActive_ = false;
            break;
        case 0xB6: {
            const std::size_t offset = static_cast<std::size_t>(p[1] << 8 | p[2]);
            const std::size_t count = std::min<std::size_t>({p[3], 64, kAdapterMemory - offset});
            Packet r{};
            std::copy_n(memory_.begin() + static_cast<std::ptrdiff_t>(offset), count, r.begin());
            if (count > 0) uploadLast_ = static_cast<std::uint32_t>(offset + count - 1);
            reply(r);
            break;
        }
        case 0xB7:
            uploadActive_ = true;
            break;
        case 0xB8:
            reply(transferState(uploadActive_, {}, uploadLast_, now));
            break;
        case 0xB9:
            uploadActive_ = false;
            break;
        case 0xD5:
            loggedOn_ = p[1] == 1;
            break;
        case 0xD7:
            stream_.clear();
            loginBlockedUntil_ = now + kResetLoginPause;
            break;
        case 0xDA:
            checkMode_ = p[1] != 0;
            break;
        case 0xDC:
            crc_ = p[1] != 0;
            break;
        case 0xF0: {
            Packet r{};
            std::copy(version_.begin(), version_.end(), r.begin());
            reply(r);
            break;
        }
        default:
            break;  // unknown commands are ignored, as the firmware does
    }
}

AdapterSnapshot SimAdapter::snapshot(TimePoint now) const {
    AdapterSnapshot s;
    s.plugged = plugged_;
    s.onHold = onHold_;
    s.stageOneRunning = stageOneRunning_;
    s.firmwareRunning = firmwareRunning_;
    s.busConnected = connected_;
    s.loggedOn = loggedOnAt(now);
    s.crc = crc_;
    s.checkMode = checkMode_;
    s.address = (~spec_.port & 0xFF) >> 4;
    s.token = token_;
    s.nextToken = nextToken_;
    s.versionRecord = version_;
    s.telegramsSent = telegramsSent_;
    s.streamOverflows = streamOverflows_;
    s.downloadLocked = downloadLocked_;
    return s;
}

}  // namespace sim
