#pragma once

#include <string>

#include "tivlink/core/Diagnostics.h"

namespace tivlink {

// The lock between programs: one named object per process, shared by all engines.
class AdapterLock {
public:
    explicit AdapterLock(const Diagnostics& diagnostics) : diagnostics_(diagnostics) {}

    // The object is named after the adapter's display name.
    // 0 taken, 1 this process holds it already, 2 another holder, 3 or an OS error code.
    int Lock(const std::string& displayName);
    // 0, 1 nothing held, 2, or an OS error code.
    int Unlock();

private:
    const Diagnostics& diagnostics_;
};

}  // namespace tivlink
