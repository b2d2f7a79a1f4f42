#include "tivlink/core/TOSInstantThread.h"

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace tivlink {

namespace {
// Linux schedules threads by nice value; raising priority needs privileges and may fail,
// which leaves the thread at normal priority.
int NiceOf(int priority) {
    switch (priority) {
        case 0:
            return 19;
        case 1:
            return 10;
        case 2:
            return 5;
        case 4:
            return -5;
        case 5:
            return -10;
        case 6:
            return -20;
        default:
            return 0;
    }
}
}  // namespace

TOSInstantThread::TOSInstantThread(Body body, int argument)
    : body_(std::move(body)), argument_(argument), thread_([this] { Run(); }) {}

TOSInstantThread::~TOSInstantThread() {
    Terminate();
    Resume();
    if (thread_.joinable()) thread_.join();
}

void TOSInstantThread::Run() {
    nativeId_ = static_cast<int>(::syscall(SYS_gettid));
    if (priority_ != 3) SetPriority(priority_);
    Suspend();  // created suspended
    while (!terminated_) body_(*this, argument_);
}

void TOSInstantThread::Resume() {
    {
        std::lock_guard lock(mutex_);
        resumePending_ = true;
    }
    cv_.notify_all();
}

void TOSInstantThread::Suspend() {
    std::unique_lock lock(mutex_);
    suspended_ = true;
    cv_.wait(lock, [this] { return resumePending_ || terminated_; });
    resumePending_ = false;
    suspended_ = false;
}

void TOSInstantThread::Terminate() {
    {
        std::lock_guard lock(mutex_);
        terminated_ = true;
    }
    cv_.notify_all();
}

bool TOSInstantThread::Suspended() const {
    std::lock_guard lock(mutex_);
    return suspended_;
}

void TOSInstantThread::SetPriority(int priority) {
    priority_ = (priority >= 0 && priority <= 6 && priority != 3) ? priority : 3;
    if (const int tid = nativeId_.load())
        ::setpriority(PRIO_PROCESS, static_cast<id_t>(tid), NiceOf(priority_));
}

}  // namespace tivlink
