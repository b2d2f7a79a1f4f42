#include "tivlink/usb/CommandPipe.h"

#include <algorithm>

namespace tivlink {

int CommandPipe::WritePacket(std::span<const std::uint8_t> packet) {
    std::lock_guard sending(mutex_);
    return usb_.WriteBulkData(2, packet);
}

int CommandPipe::WriteCommand(std::initializer_list<std::uint8_t> bytes) {
    UsbPacket p{};
    std::copy_n(bytes.begin(), std::min(bytes.size(), p.size()), p.begin());
    return WritePacket(p);
}

}  // namespace tivlink
