#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <vector>

#include "Bus.h"
#include "Scenario.h"
#include "Simulator.h"

namespace sim {

// One adapter: the EZ-USB core (descriptor, vendor requests, internal-memory download,
// interfaces) and the firmware in its two stages (command, status, stream and reply pipes,
// 64 KiB of memory). Not thread-safe: the simulator calls it under its lock.
class SimAdapter {
public:
    using TimePoint = os::Clock::time_point;

    SimAdapter(const AdapterSpec& spec, const BusSpec& bus, Bus& wire);

    int device() const { return spec_.device; }
    bool plugged() const { return plugged_; }
    std::uint64_t generation() const { return generation_; }
    bool hearsBus() const { return plugged_ && firmwareRunning_ && connected_; }
    bool streamEmpty() const { return stream_.empty(); }

    void unplug();
    void replug();
    void setBusConnected(bool connected) { connected_ = connected; }
    void setLoggedOn(bool loggedOn) { loggedOn_ = loggedOn; }
    void failTransfers(int count) { failTransfers_ = count; }

    // A telegram seen on the bus, reported on pipe 1 with this adapter's checksum method.
    void hear(const BusTelegram& telegram);

    // One request; pipe-1 reads that find nothing return an empty packet (the caller
    // waits for data first).
    bool ioControl(std::uint32_t code, const std::uint8_t* in, std::uint32_t inSize,
                   std::uint8_t* out, std::uint32_t outSize, std::uint32_t* bytesReturned,
                   TimePoint now);

    AdapterSnapshot snapshot(TimePoint now) const;
    const std::vector<std::uint8_t>& memory() const { return memory_; }

private:
    using Packet = std::array<std::uint8_t, 64>;

    void powerUp();
    bool loggedOnAt(TimePoint now) const { return loggedOn_ && now >= loginBlockedUntil_; }
    bool vendorRequest(const std::uint8_t* in, std::uint32_t inSize, std::uint8_t* out,
                       std::uint32_t outSize, std::uint32_t* bytesReturned);
    void setHold(bool hold);
    bool bulkRead(std::uint32_t pipe, std::uint8_t* out, std::uint32_t outSize,
                  std::uint32_t* bytesReturned, TimePoint now);
    bool bulkWrite(std::uint32_t pipe, const std::uint8_t* data, std::uint32_t size,
                   std::uint32_t* bytesReturned, TimePoint now);
    void command(const Packet& p, TimePoint now);
    void reply(const Packet& p);
    Packet transferState(bool active, TimePoint busyUntil, std::uint32_t lastAddr,
                         TimePoint now) const;

    AdapterSpec spec_;
    BusSpec busSpec_;
    Bus& wire_;

    bool plugged_ = true;
    std::uint64_t generation_ = 1;
    int failTransfers_ = 0;

    // EZ-USB core
    bool onHold_ = false;
    int alternateSetting_ = 0;
    std::vector<std::uint8_t> internal_;  // internal code memory
    bool stageOneRunning_ = false;
    std::vector<std::uint8_t> stageTwo_;  // received on pipe 4 so far
    bool firmwareRunning_ = false;
    std::array<std::uint8_t, 10> version_{};

    // firmware state
    bool connected_ = true;
    bool loggedOn_ = true;
    TimePoint loginBlockedUntil_{};
    bool crc_ = true;
    bool checkMode_ = false;
    int token_ = 0;
    int nextToken_ = 0;
    std::array<std::uint8_t, 134> transmit_{};
    std::deque<std::uint8_t> stream_;
    std::deque<Packet> replies_;
    std::vector<std::uint8_t> memory_;
    bool downloadLocked_ = false;
    bool downloadActive_ = false;
    bool uploadActive_ = false;
    TimePoint downloadBusyUntil_{};
    std::uint32_t downloadLast_ = 0;
    std::uint32_t uploadLast_ = 0;
    std::uint32_t telegramsSent_ = 0;
    std::uint32_t streamOverflows_ = 0;
};

}  // namespace sim
