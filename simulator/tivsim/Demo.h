#pragma once

#include <optional>
#include <string>

// A short guided run on the embedded simulated adapter: scan, firmware download, status,
// acyclic transactions and cyclic values, printed as it goes. Returns the exit code.
int runDemo(const std::optional<std::string>& scenarioFile);
