#pragma once

#include <cstdint>
#include <initializer_list>
#include <mutex>
#include <span>

#include "tivlink/usb/UsbDevice.h"

namespace tivlink {

// Pipe 2, the adapter's command pipe. Every write takes one lock, so that the three blocks
// of a telegram stay together even when the worker queries the firmware during a download.
class CommandPipe {
public:
    explicit CommandPipe(UsbDevice& usb) : usb_(usb) {}

    // One packet: 0 or the bulk-write code.
    int WritePacket(std::span<const std::uint8_t> packet);
    // The bytes at the start of an otherwise zero packet.
    int WriteCommand(std::initializer_list<std::uint8_t> bytes);

    // Held across several writes that must not be split: write them with WriteLocked.
    [[nodiscard]] std::unique_lock<std::mutex> Hold() { return std::unique_lock(mutex_); }
    int WriteLocked(std::span<const std::uint8_t> packet) { return usb_.WriteBulkData(2, packet); }

private:
    UsbDevice& usb_;
    std::mutex mutex_;
};

}  // namespace tivlink
