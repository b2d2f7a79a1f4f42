#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "os/Profile.h"

// Parses any bytes as a profile and reads every section and key back.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const auto profile = os::Profile::fromString(text);
    std::size_t total = 0;
    for (const auto& section : profile.sections()) {
        for (const auto& key : profile.keys(section)) {
            if (!profile.hasKey(section, key)) __builtin_trap();
            total += profile.readString(section, key).size();
            profile.readInteger(section, key, 0);
        }
    }
    profile.readString("Adapter", "Port", "x");
    os::Profile::parseInteger(text);
    return total > size ? -1 : 0;
}
