#pragma once

#include <cstdint>
#include <string>

namespace os {

// Bytes of memory available to new allocations without swapping.
std::uint64_t availablePhysicalMemory();
std::uint64_t totalPhysicalMemory();
// The host name up to its first dot; "localhost" if it cannot be read.
std::string computerName();
// The kernel's id of the calling thread.
std::uint32_t currentThreadId();

}  // namespace os
