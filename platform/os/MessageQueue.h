#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "os/Clock.h"

// Posted messages and hidden windows.
//
// Thread affinity: every thread has at most one MessageQueue, created on first use. Anyone may
// post to it; only its owning thread runs what was posted (processMessages, run, runUntil). A
// Window belongs to the thread that constructed it and must be destroyed on that thread; its
// procedure only ever runs there. WindowHandle and Window::post may be used from any thread.

namespace os {

inline constexpr std::uint32_t WM_TIMER = 0x113;
inline constexpr std::uint32_t WM_USER = 0x400;

struct Message {
    std::uint32_t msg = 0;
    std::uintptr_t wParam = 0;
    std::intptr_t lParam = 0;
};

class Window;
class WindowHandle;
class WindowTimer;

namespace detail {
struct WindowState;
// Lets a poster keep at most one message of a kind queued and withdraw it later.
struct PostToken {
    std::atomic<bool> pending{false};
    std::atomic<bool> cancelled{false};
};
}  // namespace detail

class MessageQueue : public std::enable_shared_from_this<MessageQueue> {
public:
    // The calling thread's queue. The thread keeps it until it exits; windows keep it longer.
    static std::shared_ptr<MessageQueue> forCurrentThread();
    // Same, without touching the reference count.
    static MessageQueue& current();

    ~MessageQueue();
    MessageQueue(const MessageQueue&) = delete;
    MessageQueue& operator=(const MessageQueue&) = delete;

    // Any thread. Queues a task to run on the owning thread, in order with window messages.
    // Returns false once the owning thread has exited.
    bool postTask(std::function<void()> task);

    // Any thread. Makes a waiting runUntil() re-check its predicate at once; nothing is queued.
    void wake();

    // Owning thread only; on any other thread these run nothing and return at once.
    //
    // Runs the messages that were pending when called, in posting order; returns how many ran.
    // May be called again from inside a handler: the inner call continues with the next
    // message. An exception from a handler propagates; the messages after it stay queued.
    std::size_t processMessages();
    // Sleeps until a message arrives or the nominal timeout passes, then processes.
    std::size_t run(Clock::duration nominalTimeout);
    // Processes messages until done() holds or the nominal timeout passes; returns done().
    // done() is checked after every batch and whenever wake() is called, and nowhere else:
    // whoever changes what it reads without posting a message calls wake(). An idle wait
    // costs nothing.
    bool runUntil(const std::function<bool()>& done, Clock::duration nominalTimeout);
    // The same, also re-checking done() every `recheck` of real time, for a condition that
    // has to be polled (a device's state, a signal flag).
    bool runUntil(const std::function<bool()>& done, Clock::duration nominalTimeout,
                  std::chrono::nanoseconds recheck);

    // Readable exactly while messages are pending, for an event loop to watch; processing
    // drains it. -1 if the descriptor could not be created (the queue works without it).
    // The descriptor is written only once this was called, so posting costs no system call
    // while no outside loop watches.
    int eventFd() const;

    std::size_t pendingCount() const;
    bool isOwnerThread() const { return std::this_thread::get_id() == owner_; }

private:
    friend class Window;
    friend class WindowHandle;

    struct Entry {
        std::uint64_t seq = 0;
        // Not owning: a window removes its entries before it goes, on the thread that runs them,
        // and the poster's reference count stays off the owner's cache lines.
        detail::WindowState* window = nullptr;
        Message message;
        std::function<void()> task;
        std::shared_ptr<detail::PostToken> token;
    };
    struct ThreadHolder;

    MessageQueue();
    bool enqueue(Entry entry);
    bool postToWindow(const std::shared_ptr<detail::WindowState>& window, const Message& message,
                      std::shared_ptr<detail::PostToken> token);
    void detachWindow(detail::WindowState* window);
    void close();
    // Sleeps until a message is pending, wake() is called or the time is up; true if pending.
    bool waitForWork(std::chrono::nanoseconds realTimeout);
    void wakeOwner();
    void signalLocked();
    void drainLocked();

    const std::thread::id owner_;
    const int eventFd_;
    mutable std::mutex mutex_;
    std::deque<Entry> queue_;           // guarded by mutex_
    std::uint64_t nextSeq_ = 1;         // guarded by mutex_
    std::atomic<bool> waiting_{false};  // set under mutex_ by the owner
    std::atomic<bool> woken_{false};
    // The owner sleeps on this word; whoever finds it waiting bumps it. A condition variable
    // would hand the lock back marked as contended, costing the woken owner a system call
    // before it can run anything.
    std::atomic<std::uint32_t> signal_{0};
    mutable bool watched_ = false;  // guarded by mutex_: eventFd() was handed out
    bool closed_ = false;           // guarded by mutex_
};

// Shorthand for the calling thread's queue, as the system's code calls it.
inline std::size_t processMessages() {
    return MessageQueue::current().processMessages();
}

// A weak reference to a window that any thread may keep; posting through it after the window
// was destroyed is safe and returns false.
class WindowHandle {
public:
    WindowHandle() = default;

    bool post(std::uint32_t msg, std::uintptr_t wParam = 0, std::intptr_t lParam = 0) const;
    bool isAlive() const;
    explicit operator bool() const { return isAlive(); }

private:
    friend class Window;
    friend class WindowTimer;
    explicit WindowHandle(std::weak_ptr<detail::WindowState> state) : state_(std::move(state)) {}
    bool post(const Message& message, std::shared_ptr<detail::PostToken> token) const;

    std::weak_ptr<detail::WindowState> state_;
};

// A hidden window: a procedure bound to the creating thread's queue. Destroying it drops its
// pending messages; none is delivered afterwards.
class Window {
public:
    using Procedure = std::function<void(const Message&)>;

    explicit Window(Procedure procedure);
    ~Window();
    Window(const Window&) = delete;
    Window& operator=(const Window&) = delete;

    // Any thread. Returns false if the owning thread has exited.
    bool post(std::uint32_t msg, std::uintptr_t wParam = 0, std::intptr_t lParam = 0) const;
    WindowHandle handle() const { return WindowHandle(state_); }
    MessageQueue& queue() const;
    bool isOwnerThread() const { return queue().isOwnerThread(); }

private:
    std::shared_ptr<detail::WindowState> state_;
};

}  // namespace os
