#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <span>
#include <string>

#include "usb/Transport.h"

namespace tivlink {

// I/O control codes, computed once per driver object from function number and method.
struct UsbIoctlCodes {
    std::uint32_t getDeviceDescriptor = 0;
    std::uint32_t vendorRequest = 0;
    std::uint32_t setInterface = 0;
    std::uint32_t bulkRead = 0;
    std::uint32_t bulkWrite = 0;
    std::uint32_t firmwareDownload = 0;

    static std::uint32_t Compute(std::uint32_t function, std::uint32_t method);
    static UsbIoctlCodes Compute();
};

using UsbPacket = std::array<std::uint8_t, 64>;

// Result codes of the device operations; callers add them into their own ranges.
namespace usbresult {
constexpr int kOk = 0;
constexpr int kOpenFailed = 1;
constexpr int kRequestFailed = 2;
constexpr int kStatusOpenFailed = 17;
constexpr int kStatusRequestFailed = 18;
constexpr int kWriteRequestFailed = 19;
constexpr int kWriteOpenFailed = 20;
constexpr int kInterfaceRequestFailed = 21;
constexpr int kInterfaceOpenFailed = 22;
constexpr int kPortOpenFailed = 0x4100;
constexpr int kPortRequestFailed = 0x4200;
}  // namespace usbresult

// Access to the selected adapter through the kernel driver's device name. Every operation
// opens the current device name, issues exactly one request and closes the device again,
// whatever the outcome; nothing throws. Safe to call from several threads at once: each
// call has its own handle, and the caller owns the buffer it passes (the worker thread its
// receive area, the timer and the client their own status areas, each sender its packet).
class UsbDevice {
public:
    explicit UsbDevice(std::shared_ptr<usbio::Transport> transport);

    void SetCurrentDevice(const std::string& name);
    std::string CurrentDevice() const;

    // 0, 1 open failed, 2 request failed.
    int VendorWrite(std::uint16_t address, std::uint8_t data);
    int Hold() { return VendorWrite(kCpuControl, 1); }
    int Run() { return VendorWrite(kCpuControl, 0); }
    // Downloads code into the microcontroller's internal memory: 0, 1, 2.
    int DownloadFirmware(std::uint16_t offset, std::span<const std::uint8_t> code);
    // Bulk read into `area`: 0 / 1 / 2.
    int ReadBulkData(std::uint32_t pipe, std::span<std::uint8_t> area);
    // Bulk read into a status area: 0 / 17 / 18. `returned` gets the byte count that came
    // (0 for an empty packet or a failure).
    int ReadBulkStatus(std::uint32_t pipe, std::span<std::uint8_t> area,
                       std::uint32_t* returned = nullptr);
    // Bulk write: 0 / 20 open failed / 19 request failed.
    int WriteBulkData(std::uint32_t pipe, std::span<const std::uint8_t> data);
    // 0 / 22 / 21.
    int SetInterface(std::uint8_t interfaceNumber, std::uint8_t alternateSetting);
    // 0 / 22 / 21; both outputs -1 unless the descriptor came.
    int ReadVidPid(int& vid, int& pid);
    // The adapter's address 0..15, or 0x4100 / 0x4200.
    int ReadAddressPort();
    // Whether a device name can be opened; the handle is closed at once.
    bool DevicePresent(const std::string& name);

    // The stored delay flag; nothing else depends on it.
    bool IsDelayOn() const { return delayOn_.load(); }
    int DelayOn() {
        delayOn_ = true;
        return 0;
    }
    int DelayOff() {
        delayOn_ = false;
        return 0;
    }

    const UsbIoctlCodes& Codes() const { return codes_; }

    static constexpr std::uint16_t kCpuControl = 0x7F92;
    static constexpr std::uint16_t kPortRegister = 0x7F99;

private:
    // Opens, runs one request, closes. Returns 0, or openFailed / requestFailed.
    int Request(std::uint32_t code, const void* in, std::uint32_t inSize, void* out,
                std::uint32_t outSize, int openFailed, int requestFailed,
                std::uint32_t* returned = nullptr);

    std::shared_ptr<usbio::Transport> transport_;
    UsbIoctlCodes codes_;
    std::mutex nameMutex_;
    std::list<std::string> names_;                     // guarded by nameMutex_; never shrinks
    std::atomic<const std::string*> currentDevice_{};  // one of names_
    std::atomic<bool> delayOn_{true};
};

}  // namespace tivlink
