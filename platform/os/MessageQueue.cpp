#include "os/MessageQueue.h"

#include <linux/futex.h>
#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <utility>

namespace os {

namespace detail {
struct WindowState {
    std::shared_ptr<MessageQueue> queue;
    Window::Procedure procedure;
    // Cleared under the queue's mutex, so no post can slip in after the window is gone.
    std::atomic<bool> alive{true};
};
}  // namespace detail

namespace {

// Condition-variable waits overflow their deadline arithmetic on huge durations.
constexpr std::chrono::nanoseconds kLongestWait = std::chrono::hours(24);

Clock::time_point deadlineAfter(Clock::duration nominal) {
    const auto now = clock().now();
    if (nominal <= Clock::duration::zero()) return now;
    if (nominal > Clock::time_point::max() - now) return Clock::time_point::max();
    return now + nominal;
}

std::chrono::nanoseconds realTimeLeft(Clock::time_point deadline) {
    const auto left = deadline - clock().now();
    if (left <= Clock::duration::zero()) return std::chrono::nanoseconds::zero();
    return std::min(clock().toReal(left), kLongestWait);
}

static_assert(sizeof(std::atomic<std::uint32_t>) == sizeof(std::uint32_t) &&
              std::atomic<std::uint32_t>::is_always_lock_free);

// Sleeps while `word` still holds `seen`, at most `timeout`; any return may be spurious.
void futexWait(std::atomic<std::uint32_t>& word, std::uint32_t seen,
               std::chrono::nanoseconds timeout) {
    const auto secs = std::chrono::duration_cast<std::chrono::seconds>(timeout);
    timespec ts{};
    ts.tv_sec = static_cast<time_t>(secs.count());
    ts.tv_nsec = static_cast<long>((timeout - secs).count());
    ::syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), FUTEX_WAIT_PRIVATE, seen, &ts,
              nullptr, 0);
}

void futexWakeOne(std::atomic<std::uint32_t>& word) {
    ::syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), FUTEX_WAKE_PRIVATE, 1, nullptr,
              nullptr, 0);
}

}  // namespace

// Closes the queue when its thread exits: nothing would ever run what is posted later.
struct MessageQueue::ThreadHolder {
    std::shared_ptr<MessageQueue> queue;
    ~ThreadHolder() {
        if (queue) queue->close();
    }
};

MessageQueue::MessageQueue()
    : owner_(std::this_thread::get_id()), eventFd_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

MessageQueue::~MessageQueue() {
    if (eventFd_ >= 0) ::close(eventFd_);
}

MessageQueue& MessageQueue::current() {
    thread_local ThreadHolder holder;
    if (!holder.queue) holder.queue.reset(new MessageQueue());
    return *holder.queue;
}

std::shared_ptr<MessageQueue> MessageQueue::forCurrentThread() {
    return current().shared_from_this();
}

bool MessageQueue::postTask(std::function<void()> task) {
    Entry entry;
    entry.task = std::move(task);
    return enqueue(std::move(entry));
}

// No lock: the worker wakes the queue after a packet that changed what a waiting client looks
// at. The waiter publishes waiting_ before it looks at woken_, so one of the two sees the
// other.
void MessageQueue::wake() {
    woken_.store(true);
    if (waiting_.load()) wakeOwner();
}

// Called after the lock is released: woken inside it, the owner would only block again on
// the poster's lock.
void MessageQueue::wakeOwner() {
    signal_.fetch_add(1);
    futexWakeOne(signal_);
}

bool MessageQueue::enqueue(Entry entry) {
    bool notify;
    {
        std::lock_guard lock(mutex_);
        if (closed_) return false;
        entry.seq = nextSeq_++;
        if (queue_.empty()) signalLocked();
        queue_.push_back(std::move(entry));
        notify = waiting_.load();
    }
    if (notify) wakeOwner();
    return true;
}

bool MessageQueue::postToWindow(const std::shared_ptr<detail::WindowState>& window,
                                const Message& message, std::shared_ptr<detail::PostToken> token) {
    std::unique_lock lock(mutex_);
    if (closed_ || !window->alive.load(std::memory_order_relaxed)) return false;
    if (token) {
        if (token->cancelled.load()) return false;
        // One is already queued: coalesce into it.
        if (token->pending.exchange(true)) return true;
    }
    Entry entry;
    entry.seq = nextSeq_++;
    entry.window = window.get();
    entry.message = message;
    entry.token = std::move(token);
    if (queue_.empty()) signalLocked();
    queue_.push_back(std::move(entry));
    const bool notify = waiting_.load();
    lock.unlock();
    if (notify) wakeOwner();
    return true;
}

void MessageQueue::detachWindow(detail::WindowState* window) {
    std::deque<Entry> dropped;  // destroyed after unlocking: tasks' captures may post again
    {
        std::lock_guard lock(mutex_);
        window->alive.store(false);
        auto keep = std::stable_partition(queue_.begin(), queue_.end(),
                                          [&](const Entry& e) { return e.window != window; });
        std::move(keep, queue_.end(), std::back_inserter(dropped));
        queue_.erase(keep, queue_.end());
        if (queue_.empty()) drainLocked();
    }
}

void MessageQueue::close() {
    std::deque<Entry> dropped;
    {
        std::lock_guard lock(mutex_);
        closed_ = true;
        dropped.swap(queue_);
        drainLocked();
    }
}

int MessageQueue::eventFd() const {
    if (eventFd_ < 0) return -1;
    std::lock_guard lock(mutex_);
    if (!watched_) {
        watched_ = true;
        if (!queue_.empty()) const_cast<MessageQueue*>(this)->signalLocked();
    }
    return eventFd_;
}

void MessageQueue::signalLocked() {
    // Nobody watches the descriptor until eventFd() was asked for: no system call till then.
    if (eventFd_ < 0 || !watched_) return;
    const std::uint64_t one = 1;
    // Cannot fail short of counter overflow, which one pending signal never reaches.
    [[maybe_unused]] const auto n = ::write(eventFd_, &one, sizeof one);
}

void MessageQueue::drainLocked() {
    if (eventFd_ < 0 || !watched_) return;
    std::uint64_t value = 0;
    [[maybe_unused]] const auto n = ::read(eventFd_, &value, sizeof value);
}

std::size_t MessageQueue::pendingCount() const {
    std::lock_guard lock(mutex_);
    return queue_.size();
}

std::size_t MessageQueue::processMessages() {
    if (!isOwnerThread()) return 0;
    // Messages posted by the handlers wait for the next call, so a handler that re-posts
    // itself cannot keep this loop going forever.
    std::uint64_t last = 0;
    bool first = true;
    std::size_t ran = 0;
    for (;;) {
        Entry entry;
        {
            std::lock_guard lock(mutex_);
            if (std::exchange(first, false)) last = nextSeq_ - 1;
            if (queue_.empty() || queue_.front().seq > last) break;
            entry = std::move(queue_.front());
            queue_.pop_front();
            if (queue_.empty()) drainLocked();
            if (entry.token) entry.token->pending.store(false);
        }
        if (entry.token && entry.token->cancelled.load()) continue;
        if (entry.window) {
            if (!entry.window->alive.load()) continue;
            if (entry.window->procedure) entry.window->procedure(entry.message);
        } else if (entry.task) {
            entry.task();
        }
        ++ran;
    }
    return ran;
}

bool MessageQueue::waitForWork(std::chrono::nanoseconds realTimeout) {
    const auto until = std::chrono::steady_clock::now() + realTimeout;
    for (;;) {
        // Read before looking: a post after the look changes the word, and the sleep below
        // then returns at once.
        const std::uint32_t seen = signal_.load();
        {
            std::lock_guard lock(mutex_);
            waiting_.store(true);
            if (!queue_.empty() || woken_.load()) break;
        }
        const auto left = until - std::chrono::steady_clock::now();
        if (left <= std::chrono::nanoseconds::zero()) break;
        futexWait(signal_, seen, left);
    }
    waiting_.store(false);
    woken_.store(false);
    std::lock_guard lock(mutex_);
    return !queue_.empty();
}

std::size_t MessageQueue::run(Clock::duration nominalTimeout) {
    if (!isOwnerThread()) return 0;
    const auto deadline = deadlineAfter(nominalTimeout);
    while (!waitForWork(realTimeLeft(deadline))) {
        if (clock().now() >= deadline) break;
    }
    return processMessages();
}

bool MessageQueue::runUntil(const std::function<bool()>& done, Clock::duration nominalTimeout) {
    return runUntil(done, nominalTimeout, kLongestWait);
}

bool MessageQueue::runUntil(const std::function<bool()>& done, Clock::duration nominalTimeout,
                            std::chrono::nanoseconds recheck) {
    if (!done) return false;
    if (!isOwnerThread()) return done();
    const auto deadline = deadlineAfter(nominalTimeout);
    recheck = std::max(recheck, std::chrono::nanoseconds(1));
    for (;;) {
        processMessages();
        if (done()) return true;
        const auto left = realTimeLeft(deadline);
        if (left <= std::chrono::nanoseconds::zero()) return false;
        waitForWork(std::min(left, recheck));
    }
}

bool WindowHandle::post(std::uint32_t msg, std::uintptr_t wParam, std::intptr_t lParam) const {
    return post(Message{msg, wParam, lParam}, nullptr);
}

bool WindowHandle::post(const Message& message, std::shared_ptr<detail::PostToken> token) const {
    const auto state = state_.lock();
    if (!state) return false;
    return state->queue->postToWindow(state, message, std::move(token));
}

bool WindowHandle::isAlive() const {
    const auto state = state_.lock();
    return state && state->alive.load();
}

Window::Window(Procedure procedure) : state_(std::make_shared<detail::WindowState>()) {
    state_->queue = MessageQueue::forCurrentThread();
    state_->procedure = std::move(procedure);
}

Window::~Window() {
    state_->queue->detachWindow(state_.get());
}

bool Window::post(std::uint32_t msg, std::uintptr_t wParam, std::intptr_t lParam) const {
    return state_->queue->postToWindow(state_, Message{msg, wParam, lParam}, nullptr);
}

MessageQueue& Window::queue() const {
    return *state_->queue;
}

}  // namespace os
