// What idle driver objects cost: processor time per second of real time while reception runs
// on simulated adapters with no traffic and the client waits for events, against a thread
// that only wakes every 10 ms.

#include <sys/resource.h>

#include <benchmark/benchmark.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "os/MessageQueue.h"
#include "simulator/SimTransport.h"
#include "simulator/Simulator.h"
#include "tivlink/protocol/DriverEngine.h"

namespace {

using namespace std::chrono_literals;

constexpr auto kWindow = 3s;

double CpuSeconds() {
    rusage u{};
    ::getrusage(RUSAGE_SELF, &u);
    const auto s = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
    return s(u.ru_utime) + s(u.ru_stime);
}

// Percent of one core used while `wait` runs for kWindow.
template <typename Wait>
double CoreShare(Wait wait) {
    const double cpu0 = CpuSeconds();
    const auto t0 = std::chrono::steady_clock::now();
    wait();
    const double real =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    return 100.0 * (CpuSeconds() - cpu0) / real;
}

void BM_IdleReception(benchmark::State& state) {
    const int adapters = static_cast<int>(state.range(0));
    sim::Scenario scenario;
    for (int i = 0; i < adapters; ++i) {
        sim::AdapterSpec a;
        a.device = i;
        a.firmwareRunning = true;
        scenario.adapters.push_back(a);
    }
    auto simulator = std::make_shared<sim::Simulator>(scenario);
    std::vector<std::unique_ptr<tivlink::DriverEngine>> engines;
    for (int i = 0; i < adapters; ++i) {
        auto engine = std::make_unique<tivlink::DriverEngine>(
            tivlink::DriverEngine::Options{sim::makeSimTransport(simulator), {}, nullptr, nullptr});
        std::vector<std::uint8_t> version;
        if (engine->SelectAdapter(i + 1, 0, version) != 0 || engine->StartReception() != 0) {
            state.SkipWithError("an adapter does not come up");
            return;
        }
        engines.push_back(std::move(engine));
    }
    auto queue = os::MessageQueue::forCurrentThread();
    double share = 0;
    for (auto _ : state) share = CoreShare([&] { queue->runUntil([] { return false; }, kWindow); });
    for (auto& e : engines) e->StopReception();
    state.counters["core_pct"] = share;
}
BENCHMARK(BM_IdleReception)
    ->ArgName("adapters")
    ->Arg(1)
    ->Arg(4)
    ->Arg(16)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// Anchor: one thread waking every 10 ms on a condition variable, nothing else.
void BM_IdleAnchorTenMsWakeups(benchmark::State& state) {
    std::mutex m;
    std::condition_variable cv;
    bool stop = false;
    std::thread waker([&] {
        std::unique_lock lock(m);
        while (!stop) cv.wait_for(lock, 10ms);
    });
    double share = 0;
    for (auto _ : state) share = CoreShare([] { std::this_thread::sleep_for(kWindow); });
    {
        std::lock_guard lock(m);
        stop = true;
    }
    cv.notify_one();
    waker.join();
    state.counters["core_pct"] = share;
}
BENCHMARK(BM_IdleAnchorTenMsWakeups)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
