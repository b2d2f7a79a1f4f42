#pragma once

#include <cstdint>

namespace usbio {

// Windows rule: (device type << 16) | (access << 14) | (function << 2) | method.
constexpr std::uint32_t ctlCode(std::uint32_t deviceType, std::uint32_t function,
                                std::uint32_t method, std::uint32_t access = 0) {
    return (deviceType << 16) | (access << 14) | (function << 2) | method;
}

constexpr std::uint32_t kDeviceType = 0x22;
constexpr std::uint32_t kMethodBuffered = 0;
constexpr std::uint32_t kMethodInDirect = 1;
constexpr std::uint32_t kMethodOutDirect = 2;

// The requests the adapter's kernel driver understands.
constexpr std::uint32_t kIoctlGetDeviceDescriptor = ctlCode(kDeviceType, 0x801, kMethodBuffered);
constexpr std::uint32_t kIoctlVendorRequest = ctlCode(kDeviceType, 0x805, kMethodBuffered);
constexpr std::uint32_t kIoctlSetInterface = ctlCode(kDeviceType, 0x810, kMethodBuffered);
constexpr std::uint32_t kIoctlBulkRead = ctlCode(kDeviceType, 0x813, kMethodOutDirect);
constexpr std::uint32_t kIoctlBulkWrite = ctlCode(kDeviceType, 0x814, kMethodInDirect);
constexpr std::uint32_t kIoctlFirmwareDownload = ctlCode(kDeviceType, 0x81B, kMethodInDirect);

static_assert(kIoctlGetDeviceDescriptor == 0x222004);
static_assert(kIoctlVendorRequest == 0x222014);
static_assert(kIoctlSetInterface == 0x222040);
static_assert(kIoctlBulkRead == 0x22204E);
static_assert(kIoctlBulkWrite == 0x222051);
static_assert(kIoctlFirmwareDownload == 0x22206D);

// Device names as the kernel driver exposes them.
inline constexpr const char* kDeviceNamePrefix = "\\\\.\\ezusb-";
constexpr int kMaxDevices = 16;

// Parses "\\.\ezusb-N" (N = 0..15); -1 for anything else.
int deviceIndexFromName(const char* name);

}  // namespace usbio
