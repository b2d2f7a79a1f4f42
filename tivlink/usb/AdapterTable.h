#pragma once

#include <array>
#include <cstdint>
#include <mutex>
#include <string>

namespace tivlink {

class UsbDevice;

struct AdapterEntry {
    std::int32_t adapterToken = 0;
    std::int32_t nextToken = 0;
    std::int32_t thirdInfo = 0;
    std::int32_t address = 255;
    std::int8_t status = 0;
    std::string deviceName;   // at most 15 characters
    std::string displayName;  // at most 17 characters
};

// The 16 adapter entries, numbered 1..16, filled by the device scan in discovery order.
// Guarded by its own lock: the worker thread updates an entry during a firmware download.
class AdapterTable {
public:
    static constexpr int kEntries = 16;
    static constexpr int kEmptyAddress = 255;

    void Clear();
    // Copy of entry n (1..16); an empty entry for any other n.
    AdapterEntry Entry(int n) const;
    void SetEntry(int n, const AdapterEntry& e);
    // First entry (1..16) with that address, -1 when none.
    int NumberOfAddress(int address) const;

    // Tries "\\.\ezusb-0" .. "-15"; each one that opens fills the next entry. Leaves the
    // last device found as the device's current name. Returns the number found.
    int ScanUSB(UsbDevice& device);

private:
    mutable std::mutex mutex_;
    std::array<AdapterEntry, kEntries> entries_{};
};

}  // namespace tivlink
