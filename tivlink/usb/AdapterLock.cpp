// The adapter lock between programs: the existence of a named object, not its ownership.

#include "tivlink/usb/AdapterLock.h"

#include <mutex>

#include "os/LastError.h"
#include "os/NamedMutex.h"
#include "tivlink/TivResults.h"

namespace tivlink {

namespace {

constexpr const char* kLockSuffix = "_mtx_UsbDevice__AD";

// One handle for the whole process, whichever engine took it.
struct ProcessLock {
    std::mutex mutex;
    os::MutexHandle handle = os::kNullMutexHandle;  // guarded by mutex
};

ProcessLock& processLock() {
    // Never destroyed: an engine in a static object may unlock during exit.
    static auto* lock = new ProcessLock;
    return *lock;
}

int AsResult(std::uint32_t error) {
    return static_cast<int>(error);
}

}  // namespace

int AdapterLock::Lock(const std::string& displayName) {
    const std::string name = displayName + kLockSuffix;
    diagnostics_.Log("Entry:LockAdapter,Name:" + name + " ----------");
    auto& shared = processLock();
    int result = 0;
    {
        std::lock_guard guard(shared.mutex);
        os::NamedMutex::wait(shared.handle, 0);
        const auto tested = os::getLastError();
        if (tested == os::kErrorSuccess) {
            result = result::LockAdapter::kAlreadyHeld;
        } else if (tested == os::kErrorInvalidHandle) {
            const auto handle = os::NamedMutex::create(name);
            const auto created = os::getLastError();
            diagnostics_.Show("lock:" + name + "-" + std::to_string(handle));
            if (created == os::kErrorSuccess) {
                shared.handle = handle;
                result = 0;
            } else if (created == os::kErrorAlreadyExists) {
                os::NamedMutex::close(handle);
                result = result::LockAdapter::kHeldElsewhere;
            } else {
                result = AsResult(created);
            }
        } else if (tested == os::kErrorAlreadyExists) {
            os::NamedMutex::close(shared.handle);
            shared.handle = os::kNullMutexHandle;
            result = result::LockAdapter::kNameExists;
        } else {
            result = AsResult(tested);
        }
    }
    diagnostics_.Log("Exit:LockAdapter:" + std::to_string(result) + " ++++++++++");
    return result;
}

int AdapterLock::Unlock() {
    diagnostics_.Log("Entry:UnlockAdapter,----------");
    auto& shared = processLock();
    int result = 0;
    {
        std::lock_guard guard(shared.mutex);
        const auto handle = shared.handle;
        os::NamedMutex::close(handle);
        const auto closed = os::getLastError();
        // A closed handle is gone whatever the outcome; keeping it would fake a held lock.
        shared.handle = os::kNullMutexHandle;
        if (closed == os::kErrorSuccess) {
            diagnostics_.Show("unlock:-" + std::to_string(handle));
            result = 0;
        } else if (closed == os::kErrorInvalidHandle) {
            result = result::UnlockAdapter::kNotHeld;
        } else if (closed == os::kErrorAlreadyExists) {
            result = result::UnlockAdapter::kNameExists;
        } else {
            result = AsResult(closed);
        }
    }
    diagnostics_.Log("Exit:UnlockAdapter:" + std::to_string(result) + " ++++++++++");
    return result;
}

}  // namespace tivlink
