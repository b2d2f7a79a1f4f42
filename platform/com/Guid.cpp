#include "com/Guid.h"

#include <sys/random.h>

#include <chrono>
#include <cstdio>
#include <mutex>
#include <random>

namespace com {

Guid Guid::create() {
    std::array<std::uint8_t, 16> b{};
    std::size_t got = 0;
    while (got < b.size()) {
        const ssize_t n = ::getrandom(b.data() + got, b.size() - got, 0);
        if (n <= 0) break;
        got += static_cast<std::size_t>(n);
    }
    if (got < b.size()) {
        // No kernel source (very old kernel or seccomp): unique enough for our purposes.
        static std::mutex m;
        static std::mt19937_64 gen(
            static_cast<std::uint64_t>(
                std::chrono::steady_clock::now().time_since_epoch().count()) ^
            std::random_device{}());
        std::lock_guard lock(m);
        for (auto& x : b) x = static_cast<std::uint8_t>(gen());
    }
    b[6] = static_cast<std::uint8_t>((b[6] & 0x0F) | 0x40);  // version 4
    b[8] = static_cast<std::uint8_t>((b[8] & 0x3F) | 0x80);  // variant 1
    Guid g;
    g.data1 = (std::uint32_t{b[0]} << 24) | (std::uint32_t{b[1]} << 16) |
              (std::uint32_t{b[2]} << 8) | b[3];
    g.data2 = static_cast<std::uint16_t>((b[4] << 8) | b[5]);
    g.data3 = static_cast<std::uint16_t>((b[6] << 8) | b[7]);
    for (std::size_t i = 0; i < 8; ++i) g.data4[i] = b[8 + i];
    return g;
}

std::string Guid::toString() const {
    char buf[39];
    std::snprintf(buf, sizeof buf, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", data1,
                  data2, data3, data4[0], data4[1], data4[2], data4[3], data4[4], data4[5],
                  data4[6], data4[7]);
    return buf;
}

}  // namespace com
