#include "os/LastError.h"

#include <cerrno>

namespace os {

namespace {
thread_local std::uint32_t tlsLastError = kErrorSuccess;
}

std::uint32_t getLastError() {
    return tlsLastError;
}

void setLastError(std::uint32_t error) {
    tlsLastError = error;
}

std::uint32_t errorFromErrno(int err) {
    switch (err) {
        case 0:
            return kErrorSuccess;
        case ENOENT:
            return kErrorFileNotFound;
        case ENOTDIR:
            return kErrorPathNotFound;
        case EMFILE:
        case ENFILE:
            return kErrorTooManyOpenFiles;
        case EACCES:
        case EPERM:
        case EROFS:
            return kErrorAccessDenied;
        case EBADF:
            return kErrorInvalidHandle;
        case ENOMEM:
            return kErrorNotEnoughMemory;
        case EINVAL:
            return kErrorInvalidParameter;
        case ENAMETOOLONG:
            return kErrorInvalidName;
        case ETIMEDOUT:
            return kErrorTimeout;
        default:
            return kErrorGenFailure;
    }
}

}  // namespace os
