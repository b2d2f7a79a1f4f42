#pragma once

// Where a driver object writes its log: a client that wants to follow the log finds it here.

#include <cstddef>
#include <string>
#include <string_view>

#include "os/SystemInfo.h"

namespace tivlink {

// "Tivlink-" + at most 31 characters of the computer name + ".txt", without a directory: the
// file is written in the process's current directory.
inline std::string LogFileNameFor(std::string_view computerName) {
    constexpr std::size_t kMaxComputerName = 31;
    std::string name(computerName.substr(0, kMaxComputerName));
    // The name must stay a plain file name in the current directory.
    for (auto& c : name)
        if (c == '/' || c == '\0') c = '_';
    return "Tivlink-" + name + ".txt";
}

inline std::string DefaultLogFileName() {
    return LogFileNameFor(os::computerName());
}

}  // namespace tivlink
