#pragma once

#include <string>
#include <vector>

#include "Session.h"

namespace tivframe {

// `tivframe gui`: the window on a new project, the named functions (ids or names) opened;
// runs until the window is closed, `seconds` pass (0: no limit) or a stop signal comes. Exit
// code 0, or 1 when the display or the DTM cannot be had or a function does not open.
int RunGui(const Options& options, const std::vector<std::string>& open, double seconds);

}  // namespace tivframe
