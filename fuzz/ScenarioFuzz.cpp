// The scenario reader takes any bytes; the only way it may refuse them is ScenarioError.

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "simulator/Scenario.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    try {
        const auto s =
            sim::parseScenario(std::string_view(reinterpret_cast<const char*>(data), size));
        // Whatever is accepted must lie within the documented ranges.
        for (const auto& a : s.adapters)
            if (a.device < 0 || a.device > 15 || a.port < 0 || a.port > 255) __builtin_trap();
        for (const auto& d : s.devices)
            for (const auto& o : d.objects)
                if (o.value.size() > 128 || (o.error && o.delayed)) __builtin_trap();
    } catch (const sim::ScenarioError&) {
    }
    return 0;
}
