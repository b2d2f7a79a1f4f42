#include <gtest/gtest.h>
#include <poll.h>

#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "os/Clock.h"
#include "os/MessageQueue.h"

namespace {

using namespace std::chrono_literals;

bool readable(int fd) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, 0) == 1 && (p.revents & POLLIN);
}

// Records what a window procedure saw, and on which thread.
struct Spy {
    std::vector<os::Message> seen;
    std::vector<std::thread::id> threads;
    os::Window::Procedure procedure() {
        return [this](const os::Message& m) {
            seen.push_back(m);
            threads.push_back(std::this_thread::get_id());
        };
    }
};

TEST(MessageQueue, KeepsEachPostersOrderAcrossThreads) {
    Spy spy;
    os::Window window(spy.procedure());
    constexpr int kThreads = 4;
    constexpr int kEach = 500;
    std::vector<std::thread> posters;
    for (int t = 0; t < kThreads; ++t) {
        posters.emplace_back([&, t, handle = window.handle()] {
            for (int i = 0; i < kEach; ++i) ASSERT_TRUE(handle.post(os::WM_USER, t, i));
        });
    }
    auto& queue = os::MessageQueue::current();
    const bool all = queue.runUntil([&] { return spy.seen.size() == kThreads * kEach; }, 20s);
    for (auto& p : posters) p.join();
    ASSERT_TRUE(all) << spy.seen.size();

    std::map<std::uintptr_t, std::intptr_t> next;
    for (const auto& m : spy.seen) {
        ASSERT_EQ(m.lParam, next[m.wParam]) << "poster " << m.wParam;
        ++next[m.wParam];
    }
    for (const auto& id : spy.threads) EXPECT_EQ(id, std::this_thread::get_id());
}

TEST(MessageQueue, TasksAndWindowMessagesRunInPostingOrder) {
    std::vector<int> order;
    os::Window window([&](const os::Message& m) { order.push_back(static_cast<int>(m.wParam)); });
    auto& queue = os::MessageQueue::current();
    window.post(os::WM_USER, 1);
    queue.postTask([&] { order.push_back(2); });
    window.post(os::WM_USER + 1, 3);
    queue.postTask([&] { order.push_back(4); });
    EXPECT_EQ(queue.processMessages(), 4u);
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3, 4}));
    EXPECT_EQ(queue.processMessages(), 0u);
}

TEST(MessageQueue, RunsOnlyOnTheOwningThread) {
    std::shared_ptr<os::MessageQueue> workerQueue;
    os::WindowHandle handle;
    std::mutex m;
    std::condition_variable cv;
    bool ready = false;
    bool release = false;
    Spy spy;
    std::thread::id workerId;
    std::size_t ranByWorker = 0;

    std::thread worker([&] {
        os::Window window(spy.procedure());
        std::unique_lock lock(m);
        workerQueue = os::MessageQueue::forCurrentThread();
        handle = window.handle();
        workerId = std::this_thread::get_id();
        ready = true;
        cv.notify_all();
        cv.wait(lock, [&] { return release; });
        lock.unlock();
        ranByWorker = workerQueue->processMessages();
    });
    {
        std::unique_lock lock(m);
        ASSERT_TRUE(cv.wait_for(lock, 10s, [&] { return ready; }));
    }
    EXPECT_TRUE(handle.post(os::WM_USER, 7));
    EXPECT_FALSE(workerQueue->isOwnerThread());
    EXPECT_EQ(workerQueue->processMessages(), 0u);
    EXPECT_EQ(workerQueue->run(1ms), 0u);
    EXPECT_EQ(workerQueue->pendingCount(), 1u);
    {
        std::lock_guard lock(m);
        release = true;
    }
    cv.notify_all();
    worker.join();

    EXPECT_EQ(ranByWorker, 1u);
    ASSERT_EQ(spy.threads.size(), 1u);
    EXPECT_EQ(spy.threads[0], workerId);
    // The worker has exited, taking its window with it.
    EXPECT_FALSE(handle.post(os::WM_USER));
    EXPECT_FALSE(workerQueue->postTask([] {}));
}

TEST(MessageQueue, NestedProcessingContinuesWithTheNextMessage) {
    auto& queue = os::MessageQueue::current();
    std::vector<std::string> log;
    std::size_t inner = 0;
    os::Window window([&](const os::Message& m) {
        log.push_back("begin " + std::to_string(m.wParam));
        if (m.wParam == 1) inner = queue.processMessages();
        log.push_back("end " + std::to_string(m.wParam));
    });
    for (std::uintptr_t i = 1; i <= 3; ++i) window.post(os::WM_USER, i);
    EXPECT_EQ(queue.processMessages(), 1u);
    EXPECT_EQ(inner, 2u);
    EXPECT_EQ(log, (std::vector<std::string>{"begin 1", "begin 2", "end 2", "begin 3", "end 3",
                                             "end 1"}));
}

TEST(MessageQueue, HandlerThatRepostsItselfLetsProcessingReturn) {
    auto& queue = os::MessageQueue::current();
    int runs = 0;
    std::unique_ptr<os::Window> window;
    window = std::make_unique<os::Window>([&](const os::Message&) {
        ++runs;
        window->post(os::WM_USER);
    });
    window->post(os::WM_USER);
    EXPECT_EQ(queue.processMessages(), 1u);
    EXPECT_EQ(queue.processMessages(), 1u);
    EXPECT_EQ(runs, 2);
    window.reset();
    EXPECT_EQ(queue.pendingCount(), 0u);
}

TEST(MessageQueue, DestroyedWindowNeverSeesItsPendingMessages) {
    auto& queue = os::MessageQueue::current();
    Spy a, b;
    auto first = std::make_unique<os::Window>(a.procedure());
    os::Window second(b.procedure());
    const auto handle = first->handle();
    first->post(os::WM_USER, 1);
    second.post(os::WM_USER, 2);
    first->post(os::WM_USER, 3);
    first.reset();

    EXPECT_FALSE(handle.isAlive());
    EXPECT_FALSE(handle.post(os::WM_USER, 4));
    std::thread([&] { EXPECT_FALSE(handle.post(os::WM_USER, 5)); }).join();
    EXPECT_EQ(queue.processMessages(), 1u);
    EXPECT_TRUE(a.seen.empty());
    ASSERT_EQ(b.seen.size(), 1u);
    EXPECT_EQ(b.seen[0].wParam, 2u);
    EXPECT_FALSE(os::WindowHandle().post(os::WM_USER));
}

TEST(MessageQueue, WindowDestroyedByItsOwnHandlerGetsNothingMore) {
    auto& queue = os::MessageQueue::current();
    std::vector<std::uintptr_t> seen;
    std::unique_ptr<os::Window> window;
    window = std::make_unique<os::Window>([&](const os::Message& m) {
        seen.push_back(m.wParam);
        window.reset();
    });
    window->post(os::WM_USER, 1);
    window->post(os::WM_USER, 2);
    EXPECT_EQ(queue.processMessages(), 1u);
    EXPECT_EQ(seen, (std::vector<std::uintptr_t>{1}));
    EXPECT_EQ(queue.pendingCount(), 0u);
}

TEST(MessageQueue, EventFdIsReadableExactlyWhileMessagesArePending) {
    auto& queue = os::MessageQueue::current();
    const int fd = queue.eventFd();
    ASSERT_GE(fd, 0);
    queue.processMessages();
    EXPECT_FALSE(readable(fd));

    std::unique_ptr<os::Window> window;
    window = std::make_unique<os::Window>([&](const os::Message& m) {
        if (m.wParam == 1) window->post(os::WM_USER, 2);  // left for the next round
    });
    std::thread([&, h = window->handle()] { h.post(os::WM_USER, 0); }).join();
    EXPECT_TRUE(readable(fd));
    window->post(os::WM_USER, 0);
    EXPECT_EQ(queue.processMessages(), 2u);
    EXPECT_FALSE(readable(fd));

    window->post(os::WM_USER, 1);
    EXPECT_EQ(queue.processMessages(), 1u);
    EXPECT_TRUE(readable(fd));
    EXPECT_EQ(queue.processMessages(), 1u);
    EXPECT_FALSE(readable(fd));

    window->post(os::WM_USER, 0);
    window.reset();
    EXPECT_FALSE(readable(fd));
}

// The descriptor is written only once an outside loop asked for it; what was posted before
// must still make it readable then, or that loop would never run the first messages.
TEST(MessageQueue, EventFdAskedForLateIsReadableForWhatIsAlreadyPending) {
    std::thread([] {
        auto& queue = os::MessageQueue::current();
        os::Window window([](const os::Message&) {});
        window.post(os::WM_USER, 0);
        const int fd = queue.eventFd();
        ASSERT_GE(fd, 0);
        EXPECT_TRUE(readable(fd));
        EXPECT_EQ(queue.processMessages(), 1u);
        EXPECT_FALSE(readable(fd));
    }).join();
}

TEST(MessageQueue, RunWaitsForTheNominalTimeoutOnAScaledClock) {
    os::ScopedClock scaled(std::make_shared<os::ScaledClock>(100.0));
    auto& queue = os::MessageQueue::current();
    queue.processMessages();
    queue.wake();  // a wake-up meant for runUntil() does not cut run() short
    const auto nominalStart = os::clock().now();
    const auto realStart = std::chrono::steady_clock::now();
    EXPECT_EQ(queue.run(3s), 0u);
    EXPECT_GE(os::clock().now() - nominalStart, 3s);
    EXPECT_LT(std::chrono::steady_clock::now() - realStart, 2s);
}

TEST(MessageQueue, RunWakesForAMessageFromAnotherThread) {
    os::ScopedClock scaled(std::make_shared<os::ScaledClock>(10.0));
    int seen = 0;
    os::Window window([&](const os::Message&) { ++seen; });
    const auto start = os::clock().now();
    std::thread poster([h = window.handle()] { h.post(os::WM_USER); });
    std::size_t ran = 0;
    while (ran == 0 && os::clock().now() - start < 1h) ran = window.queue().run(1h);
    poster.join();
    EXPECT_EQ(ran, 1u);
    EXPECT_EQ(seen, 1);
    EXPECT_LT(os::clock().now() - start, 1h);
}

TEST(MessageQueue, RunUntilPumpsUntilThePredicateHolds) {
    os::ScopedClock scaled(std::make_shared<os::ScaledClock>(50.0));
    auto& queue = os::MessageQueue::current();
    int handled = 0;
    os::Window window([&](const os::Message&) { ++handled; });

    // Stays false: returns false once the nominal time is up, having run what came.
    window.post(os::WM_USER);
    const auto start = os::clock().now();
    EXPECT_FALSE(queue.runUntil([] { return false; }, 2s));
    EXPECT_GE(os::clock().now() - start, 2s);
    EXPECT_EQ(handled, 1);

    // Set by another thread without a message: wake() makes it seen.
    std::atomic<bool> done{false};
    std::thread setter([&] {
        done = true;
        queue.wake();
    });
    EXPECT_TRUE(queue.runUntil([&] { return done.load(); }, 1h));
    setter.join();

    // Made true by a handler.
    std::thread poster([h = window.handle()] { h.post(os::WM_USER); });
    EXPECT_TRUE(queue.runUntil([&] { return handled == 2; }, 1h));
    poster.join();
}

}  // namespace
