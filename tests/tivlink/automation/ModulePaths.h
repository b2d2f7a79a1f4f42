#pragma once

// Where the built module and the registration tool lie (set by the targets that depend on them,
// so that the tests of the static facade build without the Qt-linked module).

#include <string>

namespace comdrv {

inline std::string ModulePath() {
    return TIVLINK_MODULE_PATH;
}
inline std::string RegSvrPath() {
    return TIVREGSVR_PATH;
}

}  // namespace comdrv
