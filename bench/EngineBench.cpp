// The driver engine's receive path: pipe-1 packets through the worker thread's assembler
// and matcher, how long an event takes from the worker to the client's sink, and the bus
// monitor's sustained throughput with and without the record file.

#include <pthread.h>
#include <time.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "os/MessageQueue.h"
#include "simulator/Frames.h"
#include "tivlink/protocol/DriverEngine.h"
#include "usb/IoctlCodes.h"

namespace {

using Packet = std::array<std::uint8_t, 64>;
using SteadyTime = std::chrono::steady_clock::time_point;

// Serves pipe 1 from a prepared list of packets, over and over, and counts them. It stands in
// for the kernel driver: the streaming read takes no lock, so that the figures are the
// worker's own.
class StreamTransport final : public usbio::Transport {
public:
    explicit StreamTransport(std::vector<Packet> packets) : packets_(std::move(packets)) {}
    usbio::Handle open(std::string_view name) override {
        return name == name_ ? 1 : usbio::kInvalidHandle;
    }
    void close(usbio::Handle) override {}
    bool ioControl(usbio::Handle, std::uint32_t code, const void* in, std::uint32_t inSize,
                   void* out, std::uint32_t outSize, std::uint32_t* returned) override {
        *returned = 0;
        if (code != usbio::kIoctlBulkRead || inSize < 4 || outSize < 64) return true;
        if (static_cast<const std::uint8_t*>(in)[0] != 1) return true;
        auto* const area = static_cast<std::uint8_t*>(out);
        *returned = 64;
        if (hasPending_.load(std::memory_order_acquire)) {
            std::lock_guard lock(mutex_);
            std::copy(pending_.begin(), pending_.end(), area);
            hasPending_.store(false, std::memory_order_relaxed);
            sentAt_ = std::chrono::steady_clock::now();
            return true;
        }
        if (!streaming_.load(std::memory_order_relaxed)) {
            std::fill_n(area, 64, std::uint8_t{0});
            area[1] = 0x10;
            return true;
        }
        // Only the worker streams: the first streamed read tells the benchmark its clock.
        if (!workerKnown_.load(std::memory_order_relaxed)) {
            ::pthread_getcpuclockid(::pthread_self(), &workerClock_);
            workerKnown_.store(true, std::memory_order_release);
        }
        const Packet& p = packets_[next_];
        if (++next_ == packets_.size()) next_ = 0;
        std::copy(p.begin(), p.end(), area);
        served_.store(served_.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
        return true;
    }
    void Stream(bool on) { streaming_.store(on, std::memory_order_relaxed); }
    // Read without a lock: the benchmark polls it, and must not slow the worker down.
    std::uint64_t Served() const { return served_.load(std::memory_order_relaxed); }
    void Inject(const Packet& p) {
        std::lock_guard lock(mutex_);
        pending_ = p;
        hasPending_.store(true, std::memory_order_release);
    }
    SteadyTime SentAt() const {
        std::lock_guard lock(mutex_);
        return sentAt_;
    }
    // The CPU time the worker thread has used; 0 before it streamed.
    std::chrono::nanoseconds WorkerCpu() const {
        timespec t{};
        if (!workerKnown_.load(std::memory_order_acquire) || ::clock_gettime(workerClock_, &t) != 0)
            return {};
        return std::chrono::seconds(t.tv_sec) + std::chrono::nanoseconds(t.tv_nsec);
    }

private:
    const std::string name_ = std::string(usbio::kDeviceNamePrefix) + "0";
    mutable std::mutex mutex_;
    std::vector<Packet> packets_;
    std::size_t next_ = 0;  // worker only
    std::atomic<std::uint64_t> served_{0};
    std::atomic<bool> streaming_{false};
    std::atomic<bool> hasPending_{false};
    Packet pending_{};
    SteadyTime sentAt_{};
    std::atomic<bool> workerKnown_{false};
    clockid_t workerClock_{};
};

std::vector<std::uint8_t> Record(int type, int sub, int obj, int control, std::size_t dataBytes) {
    std::vector<std::uint8_t> r{
        static_cast<std::uint8_t>(type << 5 | 2), static_cast<std::uint8_t>(4 + dataBytes),
        static_cast<std::uint8_t>(sub),           static_cast<std::uint8_t>(obj & 0xFF),
        static_cast<std::uint8_t>(obj >> 8),      static_cast<std::uint8_t>(control)};
    for (std::size_t i = 0; i < dataBytes; ++i)
        r.push_back(static_cast<std::uint8_t>(i * 37 + 0xF0));
    return r;
}

// A busy bus: cyclic values and acyclic traffic of other stations, packed back to back.
std::vector<Packet> BusyStream() {
    std::vector<std::uint8_t> stream;
    for (int i = 0; i < 400; ++i) {
        std::vector<std::uint8_t> rec;
        switch (i % 4) {
            case 0:
                rec = {0x45, 0, 0, 0, 0xAC, 0x41, 1, 2, 3, 4};
                break;
            case 1:
                rec = {0x24, 1, 0, 0, 0xE8, 0xC0};
                break;
            case 2:
                rec = Record(5, 3, 4000 + i, 0xC0, static_cast<std::size_t>(i % 20));
                break;
            default:
                rec = Record(6, 3, 4000 + i, 0x41, static_cast<std::size_t>(i % 120));
                break;
        }
        const auto frame = sim::encodeFrame(rec, true);
        stream.insert(stream.end(), frame.begin(), frame.end());
    }
    std::vector<Packet> packets;
    for (std::size_t at = 0; at < stream.size(); at += 62) {
        Packet p{};
        p[0] = 1;
        p[1] = 0x10;
        std::copy_n(stream.begin() + static_cast<std::ptrdiff_t>(at),
                    std::min<std::size_t>(62, stream.size() - at), p.begin() + 2);
        packets.push_back(p);
    }
    return packets;
}

// The benchmark thread polls with short sleeps: spinning on yield costs a two-core virtual
// machine about a third of the worker's speed.
void WaitAWhile() {
    std::this_thread::sleep_for(std::chrono::microseconds(200));
}

class CountingSink final : public tivlink::IDriverEventSink {
public:
    void OnEvent(int) override {
        receivedAt = std::chrono::steady_clock::now();
        ++count;
    }
    SteadyTime receivedAt{};
    int count = 0;
};

void BM_ReceiveStream(benchmark::State& state) {
    auto transport = std::make_shared<StreamTransport>(BusyStream());
    tivlink::DriverEngine engine({transport, {}, nullptr, nullptr});
    engine.SetBufferMode(1);  // a linear buffer would end reception when full
    engine.StartReception();
    constexpr std::uint64_t kPackets = 20000;
    std::uint64_t packets = 0;  // the worker may read on after the target; those count too
    for (auto _ : state) {
        const auto start = transport->Served();
        transport->Stream(true);
        while (transport->Served() - start < kPackets) WaitAWhile();
        transport->Stream(false);
        packets += transport->Served() - start;
    }
    engine.StopReception();
    state.SetBytesProcessed(static_cast<std::int64_t>(packets * 62));
    state.counters["packets/s"] =
        benchmark::Counter(static_cast<double>(packets), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_ReceiveStream)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_WorkerToClientEvent(benchmark::State& state) {
    auto transport = std::make_shared<StreamTransport>(BusyStream());
    auto sink = std::make_shared<CountingSink>();
    tivlink::DriverEngine engine({transport, {}, nullptr, nullptr});
    engine.ConnectSink(sink);
    engine.StartReception();
    auto queue = os::MessageQueue::forCurrentThread();
    const auto echo = sim::encodeFrame(Record(5, 29, 1217, 0xC0, 0), true);
    Packet p{};
    p[0] = 1;
    p[1] = 0x10;
    std::copy(echo.begin(), echo.end(), p.begin() + 2);
    std::vector<double> micros;
    for (auto _ : state) {
        engine.SendAcyclic(5, 4, 29, 1217, 0xC0, tivlink::ByteArrayArg{});
        const int before = sink->count;
        transport->Inject(p);
        queue->runUntil([&] { return sink->count > before; }, std::chrono::seconds(2));
        micros.push_back(
            std::chrono::duration<double, std::micro>(sink->receivedAt - transport->SentAt())
                .count());
    }
    engine.StopReception();
    std::sort(micros.begin(), micros.end());
    if (!micros.empty()) {
        state.counters["median_us"] = micros[micros.size() / 2];
        state.counters["p99_us"] = micros[std::min(micros.size() - 1, micros.size() * 99 / 100)];
    }
}
BENCHMARK(BM_WorkerToClientEvent)->Iterations(300)->UseRealTime();

// Sustained bus monitor: telegram mode, filter 0, ring buffer, with (1) or without (0) the
// record file storing every frame (mode 5).
void BM_MonitorThroughput(benchmark::State& state) {
    const bool toFile = state.range(0) != 0;
    auto transport = std::make_shared<StreamTransport>(BusyStream());
    tivlink::DriverEngine engine({transport, {}, nullptr, nullptr});
    char path[] = "/tmp/bench-monitor-XXXXXX";
    if (toFile) {
        const int fd = ::mkstemp(path);
        if (fd >= 0) ::close(fd);
        if (fd < 0 || engine.OpenRecFile(path) != 0) {
            if (fd >= 0) ::unlink(path);
            state.SkipWithError("cannot create the record file");
            return;
        }
        engine.SetFileRecMode(5);
        engine.StartFileRec();
    }
    engine.SetBufferMode(1);
    engine.FilterOn();
    engine.Filter().filterType = 0;
    if (engine.StartRec() != 0) {
        state.SkipWithError("reception does not start");
        return;
    }
    // A first stream tells the worker's CPU clock.
    transport->Stream(true);
    while (transport->Served() == 0 && engine.ReceptionRunning()) WaitAWhile();
    transport->Stream(false);
    constexpr std::uint64_t kPackets = 20000;
    std::uint64_t telegrams = 0;
    std::uint64_t packets = 0;  // the worker may read on after the target; those count too
    std::chrono::nanoseconds workerCpu{};
    for (auto _ : state) {
        const auto start = transport->Served();
        const auto counted = engine.TelCnt();
        const auto cpuBefore = transport->WorkerCpu();
        transport->Stream(true);
        while (transport->Served() - start < kPackets && engine.ReceptionRunning()) WaitAWhile();
        transport->Stream(false);
        workerCpu += transport->WorkerCpu() - cpuBefore;
        if (!engine.ReceptionRunning()) {
            state.SkipWithError("reception stopped");
            break;
        }
        telegrams += engine.TelCnt() - counted;
        packets += transport->Served() - start;
    }
    engine.StopRec();
    if (toFile) {
        engine.StopFileRec();
        engine.CloseRecFile();
        ::unlink(path);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(packets * 62));
    state.counters["telegrams/s"] =
        benchmark::Counter(static_cast<double>(telegrams), benchmark::Counter::kIsRate);
    // The worker thread's own CPU time, without the polling thread and the engine's timer:
    // the figure to hold beside the anchor's.
    if (workerCpu.count() > 0)
        state.counters["worker_bytes_per_second"] = benchmark::Counter(
            static_cast<double>(packets * 62) / std::chrono::duration<double>(workerCpu).count(),
            benchmark::Counter::kDefaults, benchmark::Counter::kIs1024);
}
BENCHMARK(BM_MonitorThroughput)
    ->ArgName("file")
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
// The same on the CPU time the process spent (the worker, the poll every 200 µs and the engine's
// timer): beside the anchor's CPU time this ratio holds also on a shared machine, where the
// worker waits its turn. worker_bytes_per_second counts the worker thread alone.
BENCHMARK(BM_MonitorThroughput)
    ->Name("BM_MonitorThroughputCpu")
    ->ArgName("file")
    ->Arg(0)
    ->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime();

// Anchor for the receive path: a plain byte-wise loop doing the same work over the same
// stream: copy each packet, assemble frames (escapes, start and end bytes), look at the
// type byte, and store each frame byte by byte into a ring buffer with a threshold count.
void BM_PlainByteLoopAnchor(benchmark::State& state) {
    const auto packets = BusyStream();
    std::vector<std::uint8_t> ring(12800);
    std::array<std::uint8_t, 300> frame{};
    std::size_t length = 0;
    bool inFrame = false;
    bool escape = false;
    std::size_t write = 0;
    std::uint64_t stored = 0;
    std::uint64_t threshold = 0;
    constexpr std::uint64_t kPackets = 20000;
    for (auto _ : state) {
        for (std::uint64_t i = 0; i < kPackets; ++i) {
            Packet p = packets[i % packets.size()];
            benchmark::DoNotOptimize(p);
            for (std::size_t k = 2; k < p.size(); ++k) {
                std::uint8_t b = p[k];
                if (!inFrame) {
                    if (b == 0xFA) {
                        inFrame = true;
                        length = 0;
                        frame[length++] = b;
                    }
                    continue;
                }
                if (escape) {
                    escape = false;
                    b = static_cast<std::uint8_t>(b + 0xF9);
                } else if (b == 0xF9) {
                    escape = true;
                    continue;
                }
                if (length >= frame.size()) {
                    inFrame = false;
                    continue;
                }
                frame[length++] = b;
                if (b != 0xFB || escape) continue;
                inFrame = false;
                if (length < 4 || (frame[3] >> 5) > 7 || length >= 150) continue;
                for (std::size_t j = 1; j + 1 < length; ++j) {
                    ring[write] = frame[j];
                    if (++write == ring.size()) write = 0;
                    if (++threshold == 1000000) threshold = 0;
                }
                ++stored;
            }
        }
        benchmark::DoNotOptimize(ring.data());
    }
    benchmark::DoNotOptimize(stored);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kPackets * 62));
}
BENCHMARK(BM_PlainByteLoopAnchor)->Unit(benchmark::kMillisecond);

// Anchor for event delivery: a plain condition-variable hand-off from a second thread,
// stamped the way the transport stamps the injected packet.
void BM_CondVarHandOffAnchor(benchmark::State& state) {
    std::mutex m;
    std::condition_variable cv;
    std::atomic<int> requests{0};
    bool ready = false;
    SteadyTime sentAt{};
    SteadyTime receivedAt{};
    std::thread poster([&] {
        int seen = 0;
        for (;;) {
            requests.wait(seen);
            seen = requests.load();
            if (seen < 0) return;
            {
                std::lock_guard lock(m);
                sentAt = std::chrono::steady_clock::now();
                ready = true;
            }
            cv.notify_one();
        }
    });
    std::vector<double> micros;
    for (auto _ : state) {
        std::unique_lock lock(m);
        ready = false;
        requests.fetch_add(1);
        requests.notify_one();
        cv.wait(lock, [&] { return ready; });
        receivedAt = std::chrono::steady_clock::now();
        micros.push_back(std::chrono::duration<double, std::micro>(receivedAt - sentAt).count());
    }
    requests.store(-1);
    requests.notify_one();
    poster.join();
    std::sort(micros.begin(), micros.end());
    if (!micros.empty()) {
        state.counters["median_us"] = micros[micros.size() / 2];
        state.counters["p99_us"] = micros[std::min(micros.size() - 1, micros.size() * 99 / 100)];
    }
}
BENCHMARK(BM_CondVarHandOffAnchor)->Iterations(300)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
