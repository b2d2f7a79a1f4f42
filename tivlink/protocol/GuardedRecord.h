#pragma once

#include <mutex>

#include "tivlink/TelegramCodec.h"

namespace tivlink {

// A received record kept for the client: written by the worker thread, read and cleared by
// client calls.
class GuardedRecord {
public:
    TelegramRecord Get() const {
        std::lock_guard lock(mutex_);
        return record_;
    }
    void Set(const TelegramRecord& r) {
        std::lock_guard lock(mutex_);
        record_ = r;
    }
    void Clear() {
        std::lock_guard lock(mutex_);
        record_.Clear();
    }
    // Reads and clears in one step, so a record stored meanwhile is not lost.
    TelegramRecord Take() {
        std::lock_guard lock(mutex_);
        TelegramRecord r = record_;
        record_.Clear();
        return r;
    }

private:
    mutable std::mutex mutex_;
    TelegramRecord record_;
};

}  // namespace tivlink
