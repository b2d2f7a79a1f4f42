#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "Session.h"

namespace tivframe {

// `tivframe gui`: the window on a new project, the named functions (ids or names) opened;
// runs until the window is closed, `seconds` pass (0: no limit) or a stop signal comes. Exit
// code 0, or 1 when the display or the DTM cannot be had, a function does not open or the
// screenshot cannot be written. A `screenshot` file (PNG) gets the screen as it was when the
// window closed or the time ran out.
int RunGui(const Options& options, const std::vector<std::string>& open, double seconds,
           const std::filesystem::path& screenshot = {});

}  // namespace tivframe
