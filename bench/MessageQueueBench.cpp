#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "os/MessageQueue.h"

namespace {

using namespace std::chrono_literals;

std::int64_t nowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// A thread that posts `burst` messages to a window each time it is asked to.
class Poster {
public:
    Poster(os::WindowHandle window, int burst)
        : thread_([this, window, burst] {
              int seen = 0;
              for (;;) {
                  requests_.wait(seen);
                  seen = requests_.load();
                  if (seen < 0) return;
                  for (int i = 0; i < burst; ++i) window.post(os::WM_USER, 0, nowNs());
              }
          }) {}
    ~Poster() {
        requests_.store(-1);
        requests_.notify_one();
        thread_.join();
    }
    void request() {
        requests_.fetch_add(1);
        requests_.notify_one();
    }

private:
    std::atomic<int> requests_{0};
    std::thread thread_;
};

double percentile(std::vector<double>& v, double p) {
    if (v.empty()) return 0;
    const auto k = static_cast<std::size_t>(p * static_cast<double>(v.size() - 1));
    std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(k), v.end());
    return v[k];
}

// A plain condition-variable hand-off with the same request pattern as Poster: the anchor
// for the post latency.
class HandOff {
public:
    HandOff()
        : thread_([this] {
              int seen = 0;
              for (;;) {
                  requests_.wait(seen);
                  seen = requests_.load();
                  if (seen < 0) return;
                  const auto now = nowNs();
                  {
                      std::lock_guard lock(m_);
                      stamp_ = now;
                  }
                  cv_.notify_one();
              }
          }) {}
    ~HandOff() {
        requests_.store(-1);
        requests_.notify_one();
        thread_.join();
    }
    // Nanoseconds from the other thread's stamp to this thread running again.
    std::int64_t Round() {
        std::unique_lock lock(m_);
        stamp_ = -1;
        requests_.fetch_add(1);
        requests_.notify_one();
        cv_.wait(lock, [&] { return stamp_ >= 0; });
        return nowNs() - stamp_;
    }

private:
    std::mutex m_;
    std::condition_variable cv_;
    std::int64_t stamp_ = -1;
    std::atomic<int> requests_{0};
    std::thread thread_;
};

// Time from post() on another thread to the start of the window procedure, the owner asleep
// in run() when the message comes. Each iteration also times one plain hand-off, so the two
// medians share whatever else the machine is doing; `ratio` compares them.
void BM_PostToHandlerLatency(benchmark::State& state) {
    auto& queue = os::MessageQueue::current();
    std::int64_t latency = -1;
    os::Window window([&](const os::Message& m) { latency = nowNs() - m.lParam; });
    Poster poster(window.handle(), 1);
    HandOff anchor;
    std::vector<double> samplesUs;
    std::vector<double> anchorUs;
    samplesUs.reserve(static_cast<std::size_t>(state.max_iterations));
    anchorUs.reserve(static_cast<std::size_t>(state.max_iterations));
    for (auto _ : state) {
        latency = -1;
        poster.request();
        while (latency < 0) queue.run(1s);
        samplesUs.push_back(static_cast<double>(latency) / 1000.0);
        anchorUs.push_back(static_cast<double>(anchor.Round()) / 1000.0);
    }
    const double median = percentile(samplesUs, 0.5);
    const double anchorMedian = percentile(anchorUs, 0.5);
    state.counters["median_us"] = median;
    state.counters["p99_us"] = percentile(samplesUs, 0.99);
    state.counters["anchor_median_us"] = anchorMedian;
    state.counters["anchor_p99_us"] = percentile(anchorUs, 0.99);
    state.counters["ratio"] = anchorMedian > 0 ? median / anchorMedian : 0;
}
BENCHMARK(BM_PostToHandlerLatency)->UseRealTime();

// Messages per second from one posting thread through to the owner's window procedure.
void BM_CrossThreadThroughput(benchmark::State& state) {
    const int burst = static_cast<int>(state.range(0));
    auto& queue = os::MessageQueue::current();
    int handled = 0;
    os::Window window([&](const os::Message&) { ++handled; });
    Poster poster(window.handle(), burst);
    for (auto _ : state) {
        handled = 0;
        poster.request();
        queue.runUntil([&] { return handled == burst; }, 10s);
    }
    state.SetItemsProcessed(state.iterations() * burst);
}
BENCHMARK(BM_CrossThreadThroughput)->Arg(10'000)->UseRealTime();

// Post and process on the owning thread: the cost of the queue itself.
void BM_SameThreadPostAndProcess(benchmark::State& state) {
    const int burst = static_cast<int>(state.range(0));
    auto& queue = os::MessageQueue::current();
    int handled = 0;
    os::Window window([&](const os::Message&) { ++handled; });
    for (auto _ : state) {
        for (int i = 0; i < burst; ++i) window.post(os::WM_USER, static_cast<std::uintptr_t>(i));
        benchmark::DoNotOptimize(queue.processMessages());
    }
    state.SetItemsProcessed(state.iterations() * burst);
}
BENCHMARK(BM_SameThreadPostAndProcess)->Arg(1'000);

}  // namespace

BENCHMARK_MAIN();
