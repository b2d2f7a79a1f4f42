// One whole firmware download on the simulated adapter under a clock 1000 times faster than
// real time: the real time is what the transfers cost, and the counter adds up the pauses
// the download asks for, in nominal milliseconds, so a changed download path shows up here.

#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <thread>

#include "os/Clock.h"
#include "simulator/FirmwareImage.h"
#include "simulator/SimTransport.h"
#include "simulator/Simulator.h"
#include "tivlink/protocol/DriverEngine.h"

namespace {

// A scaled clock that adds up the nominal time one thread sleeps.
class PauseCountingClock final : public os::Clock {
public:
    explicit PauseCountingClock(double factor) : scaled_(factor) {}

    time_point now() const override { return scaled_.now(); }
    std::chrono::system_clock::time_point systemNow() const override { return scaled_.systemNow(); }
    std::chrono::nanoseconds toReal(duration nominal) const override {
        {
            std::lock_guard lock(mutex_);
            if (std::this_thread::get_id() == counted_) paused_ += nominal;
        }
        return scaled_.toReal(nominal);
    }

    void Count(std::thread::id thread) {
        std::lock_guard lock(mutex_);
        counted_ = thread;
        paused_ = duration::zero();
    }
    double PausedMs() const {
        std::lock_guard lock(mutex_);
        return std::chrono::duration<double, std::milli>(paused_).count();
    }

private:
    os::ScaledClock scaled_;
    mutable std::mutex mutex_;
    std::thread::id counted_;
    mutable duration paused_{};
};

sim::Scenario FreshAdapter() {
    sim::Scenario s;
    sim::AdapterSpec a;
    a.firmwareRunning = false;
    s.adapters.push_back(a);
    return s;
}

void BM_FirmwareDownload(benchmark::State& state) {
    auto clock = std::make_shared<PauseCountingClock>(1000.0);
    os::ScopedClock scoped(clock);
    const auto image = sim::makeFirmwareImage();
    auto simulator = std::make_shared<sim::Simulator>(FreshAdapter());
    tivlink::DriverEngine engine({sim::makeSimTransport(simulator), image, nullptr, nullptr});
    std::atomic<int> packets{0};
    engine.SetLoadProgress([&packets](int packet) { packets = packet; });

    double pausedMs = 0;
    for (auto _ : state) {
        // Holding the microcontroller stops the running firmware: every round starts fresh.
        clock->Count(std::this_thread::get_id());
        const int result = engine.LoadAdapter();
        pausedMs = clock->PausedMs();
        if (result != 0 || packets != 365) {
            state.SkipWithError("the download did not bring the firmware up");
            break;
        }
        packets = 0;
    }
    state.counters["nominal_pause_ms"] = pausedMs;
}
BENCHMARK(BM_FirmwareDownload)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
