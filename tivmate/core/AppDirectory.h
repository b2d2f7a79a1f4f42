#pragma once

#include <filesystem>

namespace tivmate {

// Where Tivmate's data files live: XMLData, XMLSchemas, Resources, CyclicData and the trace
// file. $TIVMATE_APPDIR when set and not empty (tests, relocated installs), else the directory
// of the module this code is linked into (libtivmate.so in an install).
std::filesystem::path ApplicationDirectory();

// "Resources/DTM.ini" below it.
std::filesystem::path IniPath();

}  // namespace tivmate
