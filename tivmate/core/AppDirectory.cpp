#include "core/AppDirectory.h"

#include <cstdlib>

#include "com/ServerModule.h"

namespace tivmate {

namespace {
const char gAnchor = 0;
}

std::filesystem::path ApplicationDirectory() {
    if (const char* dir = std::getenv("TIVMATE_APPDIR"); dir && *dir) return dir;
    return com::server::modulePathOf(&gAnchor).parent_path();
}

std::filesystem::path IniPath() {
    return ApplicationDirectory() / "Resources" / "DTM.ini";
}

}  // namespace tivmate
