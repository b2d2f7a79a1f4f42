#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace tivlink {

// The driver's worker thread: created suspended; its run loop calls the body again and
// again until told to terminate. The body suspends the thread itself when it has nothing
// to do; client calls resume it after setting the command.
class TOSInstantThread {
public:
    using Body = std::function<void(TOSInstantThread& self, int argument)>;

    TOSInstantThread(Body body, int argument);
    // Requests termination, resumes a suspended thread and waits for it to end.
    ~TOSInstantThread();
    TOSInstantThread(const TOSInstantThread&) = delete;
    TOSInstantThread& operator=(const TOSInstantThread&) = delete;

    // A resume that comes before the matching suspend is kept, so that a command set just
    // before the body suspends itself is never lost.
    void Resume();
    // Called by the body on the thread itself.
    void Suspend();
    void Terminate();
    bool Terminated() const { return terminated_.load(); }
    bool Suspended() const;

    // 0 idle, 1 lowest, 2 lower, 4 higher, 5 highest, 6 time-critical, other values normal.
    void SetPriority(int priority);
    int Priority() const { return priority_.load(); }

private:
    void Run();

    Body body_;
    int argument_;
    std::atomic<bool> terminated_{false};
    std::atomic<int> priority_{3};
    std::atomic<int> nativeId_{0};
    mutable std::mutex mutex_;
    std::condition_variable cv_;
    bool resumePending_ = false;  // guarded by mutex_
    bool suspended_ = true;       // guarded by mutex_; created suspended
    std::thread thread_;
};

}  // namespace tivlink
