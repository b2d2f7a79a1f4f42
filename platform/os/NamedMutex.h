#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

#include "os/LastError.h"

namespace os {

using MutexHandle = std::uintptr_t;
inline constexpr MutexHandle kNullMutexHandle = 0;

// Named mutexes as the driver uses them: to find out whether an object of a name exists
// anywhere on the machine. Each name is a lock file in lockDirectory(); the object exists while
// any process has a handle to it, and a process that dies lets go of its handles.
// Every call sets the calling thread's last error (getLastError()) and may be made from any
// thread. Ownership (one holder at a time) is not modelled: wait() only tests the handle.
class NamedMutex {
public:
    NamedMutex() = delete;

    // Opens the object, creating it if needed, without taking ownership. Last error:
    // kErrorSuccess when this call made it exist, kErrorAlreadyExists when it existed already
    // (in this or another process); the handle is valid either way. On failure returns
    // kNullMutexHandle with a nonzero last error. An empty name makes a private object.
    static MutexHandle create(std::string_view name);

    // True and kErrorSuccess for an open handle; false and kErrorInvalidHandle otherwise.
    // Never blocks.
    static bool wait(MutexHandle handle, std::uint32_t timeoutMs);

    // True and kErrorSuccess for an open handle; false and kErrorInvalidHandle otherwise.
    static bool close(MutexHandle handle);

    // $TIV_LOCK_DIR, else /tmp/tivlink-locks.
    static std::filesystem::path lockDirectory();
    // The lock file's name for a mutex name: safe characters kept, the rest escaped.
    static std::string fileName(std::string_view name);
};

}  // namespace os
