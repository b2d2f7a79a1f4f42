#pragma once

#include <memory>
#include <system_error>
#include <utility>

#include "tivlink/core/TOSInstantThread.h"

namespace tivlink {

// The engine's one worker thread, shared by the parts that command it. It may be missing:
// creation can fail, and a released driver has none.
class WorkerThread {
public:
    // Replaces any thread there is; false when none could be created.
    bool Create(TOSInstantThread::Body body) {
        try {
            thread_ = std::make_unique<TOSInstantThread>(std::move(body), 0);
        } catch (const std::system_error&) {
            thread_.reset();
        }
        return thread_ != nullptr;
    }
    // Terminates, resumes and joins.
    void Free() { thread_.reset(); }
    bool Exists() const { return thread_ != nullptr; }
    void Resume() {
        if (thread_) thread_->Resume();
    }
    void SetPriority(int priority) {
        if (thread_) thread_->SetPriority(priority);
    }

private:
    std::unique_ptr<TOSInstantThread> thread_;
};

}  // namespace tivlink
