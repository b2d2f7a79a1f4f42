#pragma once

// A minimal client of an adapter through the USB transport, for the simulator's own demo
// and tests: every operation opens the device, issues one request and closes it, as the
// driver does.

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "usb/Transport.h"

namespace sim::probe {

using Packet = std::array<std::uint8_t, 64>;
using Bytes = std::vector<std::uint8_t>;

std::string deviceName(int device);

class DeviceAccess {
public:
    DeviceAccess(std::shared_ptr<usbio::Transport> transport, int device);

    bool request(std::uint32_t code, const void* in, std::uint32_t inSize, void* out,
                 std::uint32_t outSize, std::uint32_t* returned = nullptr);
    bool present();

    bool vendorWrite(std::uint16_t address, std::uint8_t value);
    bool hold() { return vendorWrite(0x7F92, 1); }
    bool run() { return vendorWrite(0x7F92, 0); }
    std::optional<std::uint8_t> readPort();
    bool setInterface(std::uint8_t iface, std::uint8_t alt);
    bool download(std::uint16_t offset, std::span<const std::uint8_t> code);
    bool bulkWrite(std::uint32_t pipe, std::span<const std::uint8_t> data);
    bool command(std::initializer_list<std::uint8_t> bytes);
    std::optional<Packet> bulkRead(std::uint32_t pipe, std::uint32_t* returned = nullptr);

    // The whole two-stage download; `progress` sees each second-stage packet (1..365).
    bool loadFirmware(std::span<const std::uint8_t> image,
                      const std::function<void(std::size_t)>& progress = {});

    // Transmit blocks 1..3 of a telegram record; the checksum stays zero, the adapter
    // does not check it.
    bool sendTelegram(std::span<const std::uint8_t> record);

private:
    std::shared_ptr<usbio::Transport> transport_;
    std::string name_;
};

// An acyclic telegram record: type byte, DataSize, SubNo, ObjNo, Control, data.
Bytes telegram(std::uint8_t type, int sub, int obj, std::uint8_t control,
               std::initializer_list<std::uint8_t> data = {});

// A received frame with escapes removed.
struct Frame {
    std::uint8_t length = 0;
    std::uint8_t flags = 0;
    Bytes record;
    std::uint16_t checksum = 0;

    int type() const { return record.empty() ? -1 : record[0] >> 5; }
    int sub() const { return record.size() > 2 ? record[2] : -1; }
    int obj() const { return record.size() > 4 ? record[3] | record[4] << 8 : -1; }
    int control() const { return record.size() > 5 ? record[5] : -1; }
    Bytes data() const;
};

// Assembles frames from pipe-1 packets.
class FrameCollector {
public:
    void feed(const Packet& p);
    bool midFrame() const { return inFrame_; }

    std::vector<Frame> frames;
    int escapes = 0;
    int junk = 0;  // nonzero bytes outside frames: padding must be zero

private:
    void finish();
    Bytes raw_;
    bool inFrame_ = false;
    bool escape_ = false;
};

// Reads pipe 1 until `count` frames are there or the nominal time-out has passed.
std::vector<Frame> collectFrames(DeviceAccess& device, std::size_t count,
                                 std::chrono::milliseconds timeout,
                                 FrameCollector* collector = nullptr);

}  // namespace sim::probe
