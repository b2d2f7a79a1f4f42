#pragma once

// How the tests run the tivctl binary (TIVCTL_PATH, set by the test target): under a ten
// times faster clock, without the caller's transport choice, bounded in real time.

#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "support/ChildProcess.h"

namespace tivctltest {

using namespace std::chrono_literals;

inline constexpr auto kRunTimeout = 60s;  // real time; a hang fails the test instead of the suite

// TIV_USB and TIV_SCENARIO of the test's own environment must not reach the run.
inline const proctest::Environment kOwnTransport = {{"TIV_USB", std::nullopt},
                                                    {"TIV_SCENARIO", std::nullopt}};
inline const proctest::Options kTivctlOptions = {.env = kOwnTransport, .timeout = kRunTimeout};

// tivctl's command line: the binary and the faster clock, then `args`.
inline std::vector<std::string> TivctlArgs(const std::vector<std::string>& args) {
    std::vector<std::string> all = {TIVCTL_PATH, "--clock-scale", "10"};
    all.insert(all.end(), args.begin(), args.end());
    return all;
}

// Runs tivctl with `args` to its end; a run that cannot start fails the test.
inline proctest::Result RunTivctl(const std::vector<std::string>& args) {
    auto result = proctest::RunTool(TivctlArgs(args), kTivctlOptions);
    if (!result.started) ADD_FAILURE() << "cannot start " << TIVCTL_PATH;
    return result;
}

// stdout as JSON objects, one a line; a line that is not one fails the test.
inline std::vector<nlohmann::json> JsonLines(const std::string& out) {
    std::vector<nlohmann::json> lines;
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(nlohmann::json::parse(line, nullptr, false));
        EXPECT_FALSE(lines.back().is_discarded()) << line;
    }
    return lines;
}

}  // namespace tivctltest
