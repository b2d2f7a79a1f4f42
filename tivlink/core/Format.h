#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace tivlink {

// Upper-case hex with a fixed number of digits, as the driver's log writes numbers.
inline std::string Hex(std::uint32_t value, int digits) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%0*X", digits, value);
    return buf;
}

// Pointers appear in the log as decimal addresses.
inline std::string Ptr(const void* p) {
    return std::to_string(reinterpret_cast<std::uintptr_t>(p));
}

}  // namespace tivlink
