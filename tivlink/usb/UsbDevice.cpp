#include "tivlink/usb/UsbDevice.h"

#include <algorithm>
#include <vector>

namespace tivlink {

namespace {
constexpr std::uint32_t kDeviceType = 0x22;
constexpr std::uint32_t kAccessAny = 0;

std::array<std::uint8_t, 4> PipeArgument(std::uint32_t pipe) {
    return {static_cast<std::uint8_t>(pipe), static_cast<std::uint8_t>(pipe >> 8),
            static_cast<std::uint8_t>(pipe >> 16), static_cast<std::uint8_t>(pipe >> 24)};
}
}  // namespace

std::uint32_t UsbIoctlCodes::Compute(std::uint32_t function, std::uint32_t method) {
    return (kDeviceType << 16) | (kAccessAny << 14) | (function << 2) | method;
}

UsbIoctlCodes UsbIoctlCodes::Compute() {
    UsbIoctlCodes c;
    c.getDeviceDescriptor = Compute(0x801, 0);
    c.vendorRequest = Compute(0x805, 0);
    c.setInterface = Compute(0x810, 0);
    c.bulkRead = Compute(0x813, 2);
    c.bulkWrite = Compute(0x814, 1);
    c.firmwareDownload = Compute(0x81B, 1);
    return c;
}

UsbDevice::UsbDevice(std::shared_ptr<usbio::Transport> transport)
    : transport_(std::move(transport)), codes_(UsbIoctlCodes::Compute()) {
    currentDevice_.store(&names_.emplace_back());
}

void UsbDevice::SetCurrentDevice(const std::string& name) {
    std::lock_guard lock(nameMutex_);
    // Names are kept for the object's life, so a transfer may go on using the one it read;
    // there are only ever a few distinct ones.
    auto it = std::find(names_.begin(), names_.end(), name);
    if (it == names_.end()) it = names_.insert(names_.end(), name);
    currentDevice_.store(&*it, std::memory_order_release);
}

std::string UsbDevice::CurrentDevice() const {
    return *currentDevice_.load(std::memory_order_acquire);
}

int UsbDevice::Request(std::uint32_t code, const void* in, std::uint32_t inSize, void* out,
                       std::uint32_t outSize, int openFailed, int requestFailed,
                       std::uint32_t* returned) {
    if (!transport_) return openFailed;
    const auto handle = transport_->open(*currentDevice_.load(std::memory_order_acquire));
    if (handle == usbio::kInvalidHandle) return openFailed;
    std::uint32_t n = 0;
    const bool ok = transport_->ioControl(handle, code, in, inSize, out, outSize, &n);
    transport_->close(handle);
    if (returned) *returned = n;
    return ok ? usbresult::kOk : requestFailed;
}

int UsbDevice::VendorWrite(std::uint16_t address, std::uint8_t data) {
    const std::uint8_t block[10] = {0xA0,
                                    0,
                                    static_cast<std::uint8_t>(address & 0xFF),
                                    static_cast<std::uint8_t>(address >> 8),
                                    0,
                                    0,
                                    1,
                                    0,
                                    0,
                                    data};
    return Request(codes_.vendorRequest, block, sizeof block, nullptr, 0, usbresult::kOpenFailed,
                   usbresult::kRequestFailed);
}

int UsbDevice::DownloadFirmware(std::uint16_t offset, std::span<const std::uint8_t> code) {
    const std::uint8_t start[2] = {static_cast<std::uint8_t>(offset & 0xFF),
                                   static_cast<std::uint8_t>(offset >> 8)};
    // The kernel driver reads the code from the output-buffer position.
    std::vector<std::uint8_t> buffer(code.begin(), code.end());
    return Request(codes_.firmwareDownload, start, sizeof start, buffer.data(),
                   static_cast<std::uint32_t>(buffer.size()), usbresult::kOpenFailed,
                   usbresult::kRequestFailed);
}

int UsbDevice::ReadBulkData(std::uint32_t pipe, std::span<std::uint8_t> area) {
    const auto in = PipeArgument(pipe);
    std::uint32_t n = 0;
    const int r =
        Request(codes_.bulkRead, in.data(), 4, area.data(), static_cast<std::uint32_t>(area.size()),
                usbresult::kOpenFailed, usbresult::kRequestFailed, &n);
    // A short or empty packet leaves the rest of the area as the last packet had it; the
    // reader would take those bytes again. What did not come reads as an empty packet, the
    // connection flags (byte 1) as last reported.
    if (r == usbresult::kOk && n < area.size()) {
        if (n == 0 && !area.empty()) area[0] = 0;
        if (area.size() > 2)
            std::fill(area.begin() + std::max<std::size_t>(n, 2), area.end(), std::uint8_t{0});
    }
    return r;
}

int UsbDevice::ReadBulkStatus(std::uint32_t pipe, std::span<std::uint8_t> area,
                              std::uint32_t* returned) {
    const auto in = PipeArgument(pipe);
    std::uint32_t n = 0;
    const int r =
        Request(codes_.bulkRead, in.data(), 4, area.data(), static_cast<std::uint32_t>(area.size()),
                usbresult::kStatusOpenFailed, usbresult::kStatusRequestFailed, &n);
    if (returned) *returned = r == usbresult::kOk ? n : 0;
    return r;
}

int UsbDevice::WriteBulkData(std::uint32_t pipe, std::span<const std::uint8_t> data) {
    const auto in = PipeArgument(pipe);
    std::vector<std::uint8_t> buffer(data.begin(), data.end());
    return Request(codes_.bulkWrite, in.data(), 4, buffer.data(),
                   static_cast<std::uint32_t>(buffer.size()), usbresult::kWriteOpenFailed,
                   usbresult::kWriteRequestFailed);
}

int UsbDevice::SetInterface(std::uint8_t interfaceNumber, std::uint8_t alternateSetting) {
    const std::uint8_t in[2] = {interfaceNumber, alternateSetting};
    return Request(codes_.setInterface, in, sizeof in, nullptr, 0, usbresult::kInterfaceOpenFailed,
                   usbresult::kInterfaceRequestFailed);
}

int UsbDevice::ReadVidPid(int& vid, int& pid) {
    vid = -1;
    pid = -1;
    std::uint8_t descriptor[18] = {};
    std::uint32_t n = 0;
    const int r = Request(codes_.getDeviceDescriptor, nullptr, 0, descriptor, sizeof descriptor,
                          usbresult::kInterfaceOpenFailed, usbresult::kInterfaceRequestFailed, &n);
    if (r == usbresult::kOk && n >= 12) {
        vid = descriptor[8] | descriptor[9] << 8;
        pid = descriptor[10] | descriptor[11] << 8;
    }
    return r;
}

int UsbDevice::ReadAddressPort() {
    const std::uint8_t block[10] = {0xA0, 0, kPortRegister & 0xFF, kPortRegister >> 8, 0, 0, 3, 0,
                                    1,    0};
    std::uint8_t reply[21] = {};
    const int r = Request(codes_.vendorRequest, block, sizeof block, reply, sizeof reply,
                          usbresult::kPortOpenFailed, usbresult::kPortRequestFailed);
    if (r != usbresult::kOk) return r;
    return static_cast<std::uint8_t>(~reply[0]) >> 4;
}

bool UsbDevice::DevicePresent(const std::string& name) {
    if (!transport_) return false;
    const auto handle = transport_->open(name);
    if (handle == usbio::kInvalidHandle) return false;
    transport_->close(handle);
    return true;
}

}  // namespace tivlink
