#pragma once

// CLI11's Range lets NaN through (every comparison with it is false), so a duration or a
// clock scale of "nan" would pass as valid; this check refuses it and the infinities.

#include <cmath>
#include <string>

#include <CLI/CLI.hpp>

namespace tivctl {

inline CLI::Validator FiniteRange(double low, double high) {
    const std::string range = CLI::detail::to_string(low) + ".." + CLI::detail::to_string(high);
    return CLI::Validator(
        [low, high, range](std::string& text) -> std::string {
            double value = 0;
            if (!CLI::detail::lexical_cast(text, value)) return "not a number: " + text;
            if (!std::isfinite(value) || value < low || value > high)
                return "must be a finite number in " + range + ", not " + text;
            return {};
        },
        "in " + range);
}

}  // namespace tivctl
