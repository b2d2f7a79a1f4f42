#include "tivlink/usb/AdapterTable.h"

#include "tivlink/usb/UsbDevice.h"
#include "usb/IoctlCodes.h"

namespace tivlink {

namespace {
constexpr std::size_t kMaxDeviceName = 15;
constexpr std::size_t kMaxDisplayName = 17;
}  // namespace

void AdapterTable::Clear() {
    std::lock_guard lock(mutex_);
    entries_.fill(AdapterEntry{});
}

AdapterEntry AdapterTable::Entry(int n) const {
    if (n < 1 || n > kEntries) return {};
    std::lock_guard lock(mutex_);
    return entries_[static_cast<std::size_t>(n - 1)];
}

void AdapterTable::SetEntry(int n, const AdapterEntry& e) {
    if (n < 1 || n > kEntries) return;
    std::lock_guard lock(mutex_);
    auto& slot = entries_[static_cast<std::size_t>(n - 1)];
    slot = e;
    if (slot.deviceName.size() > kMaxDeviceName) slot.deviceName.resize(kMaxDeviceName);
    if (slot.displayName.size() > kMaxDisplayName) slot.displayName.resize(kMaxDisplayName);
}

int AdapterTable::NumberOfAddress(int address) const {
    std::lock_guard lock(mutex_);
    for (int i = 0; i < kEntries; ++i)
        if (entries_[static_cast<std::size_t>(i)].address == address) return i + 1;
    return -1;
}

int AdapterTable::ScanUSB(UsbDevice& device) {
    Clear();
    int found = 0;
    for (int n = 0; n < usbio::kMaxDevices; ++n) {
        const std::string name = usbio::kDeviceNamePrefix + std::to_string(n);
        if (!device.DevicePresent(name)) continue;
        AdapterEntry e;
        e.deviceName = name;
        e.displayName = "Adapter-" + std::to_string(found);
        device.SetCurrentDevice(name);
        e.address = device.ReadAddressPort();
        SetEntry(found + 1, e);
        ++found;
    }
    return found;
}

}  // namespace tivlink
