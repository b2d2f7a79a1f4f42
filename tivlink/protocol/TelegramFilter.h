#pragma once

#include <atomic>
#include <cstdint>
#include <span>

namespace tivlink {

// Which received frames the monitor stores, by telegram type, object and sub number.
// Settings may change from the client at any time; Passes runs on the worker thread.
class TelegramFilter {
public:
    std::atomic<std::int32_t> filterType{0};
    std::atomic<std::int32_t> msgType{0};
    std::atomic<std::int32_t> searchObjNr{0};
    std::atomic<std::int32_t> objTypeMin{0};
    std::atomic<std::int32_t> objTypeMax{0};
    std::atomic<std::int32_t> subNrMin{0};
    std::atomic<std::int32_t> subNrMax{0};

    // `frame` runs from its 0xFA start byte. Cyclic frames also decide whether the object
    // number is a valid address; acyclic frames keep that decision.
    bool Passes(std::span<const std::uint8_t> frame);
    bool AddressValid() const { return addressValid_; }
    void Reset() { addressValid_ = false; }

private:
    bool addressValid_ = false;  // worker thread only
};

}  // namespace tivlink
