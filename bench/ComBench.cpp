// The driver object as a client sees it: one acyclic round trip (SendAcyclic, OnResponse,
// ReceiveAcyclic) through the COM object on the in-process simulated adapter with no pause
// between transmit blocks and no answer delay, early- and late-bound; and what a call through
// IDispatch costs over the virtual call.

#include <time.h>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <vector>

#include "com/ConnectionPoint.h"
#include "com/EventSink.h"
#include "os/MessageQueue.h"
#include "simulator/FirmwareImage.h"
#include "simulator/SimTransport.h"
#include "simulator/Simulator.h"
#include "tivlink/ITivDriver.h"
#include "tivlink/automation/TTivDriver.h"

namespace {

using com::ComPtr;
using com::Variant;
using tivlink::ITivDriver;

const std::vector<std::uint8_t>& Image() {
    static const auto image = sim::makeFirmwareImage();
    return image;
}

sim::Scenario QuickBus() {
    sim::Scenario s;
    sim::AdapterSpec adapter;
    adapter.firmwareRunning = true;
    s.adapters.push_back(adapter);
    s.bus.answerDelayMs = 0;
    sim::DeviceSpec device;
    device.name = "bench";
    device.objects.push_back({1217, 29, {0x0A, 0x0B, 0x0C, 0x0D}, true, {}, {}});
    s.devices.push_back(device);
    return s;
}

double ProcessCpuSeconds() {
    timespec t{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// A driver on its own simulated adapter with a sink counting OnResponse.
struct Rig {
    Rig() : simulator(std::make_shared<sim::Simulator>(QuickBus())) {
        tivlink::TTivDriver::Options options;
        options.transport = sim::makeSimTransport(simulator);
        options.firmwareImage = Image();
        options.logFileOn = false;
        auto object = tivlink::TTivDriver::create(std::move(options));
        driver = ComPtr<ITivDriver>(object.get());
        dispatch = driver.As<com::IDispatch>();
        sink = com::EventSink::create(
            tivlink::DIID_ITivDriverEvents,
            [this](com::DISPID id, const com::DispParams&, Variant*) {
                if (id == static_cast<com::DISPID>(tivlink::TivDriverEvent::OnResponse))
                    ++responses;
                return com::S_OK;
            });
        com::advise(driver.get(), tivlink::DIID_ITivDriverEvents,
                    static_cast<com::IDispatch*>(sink.get()), &cookie);
    }
    ~Rig() {
        com::unadvise(driver.get(), tivlink::DIID_ITivDriverEvents, cookie);
        driver = nullptr;
        dispatch = nullptr;
    }

    bool Ready() {
        Variant version;
        std::int32_t r = -1;
        driver->SelectAdapter(1, 0, &version, &r);
        if (r != 0) return false;
        driver->put_TraDelay(0);
        // A ring buffer: a linear one fills up after some hundred trips and ends reception.
        driver->put_BufferMode(1);
        driver->FilterOn(&r);
        driver->StartRec(&r);
        return r == 0;
    }

    std::shared_ptr<sim::Simulator> simulator;
    ComPtr<ITivDriver> driver;
    ComPtr<com::IDispatch> dispatch;
    ComPtr<com::EventSink> sink;
    std::uint32_t cookie = 0;
    int responses = 0;
};

void ReportPercentiles(benchmark::State& state, std::vector<double>& micros) {
    if (micros.empty()) return;
    std::sort(micros.begin(), micros.end());
    const auto at = [&](double q) {
        const auto i = static_cast<std::size_t>(q * static_cast<double>(micros.size() - 1));
        return micros[i];
    };
    state.counters["median_us"] = at(0.5);
    state.counters["p99_us"] = at(0.99);
}

// One round trip: send the read, wait for OnResponse on this thread, fetch the answer.
// lateBound: the same three steps through IDispatch::Invoke.
void BM_AcyclicRoundTrip(benchmark::State& state) {
    const bool lateBound = state.range(0) != 0;
    Rig rig;
    if (!rig.Ready()) {
        state.SkipWithError("the simulated adapter did not come up");
        return;
    }
    auto queue = os::MessageQueue::forCurrentThread();
    std::vector<double> micros;
    micros.reserve(100000);
    std::int32_t fields[5] = {};
    Variant data;
    const std::vector<Variant> sendArgs = {Variant(5),    Variant(4),    Variant(29),
                                           Variant(1217), Variant(0xC0), Variant()};
    const com::DispArgs send(sendArgs);
    const com::DispArgs receive{Variant::byRef(&fields[0]), Variant::byRef(&fields[1]),
                                Variant::byRef(&fields[2]), Variant::byRef(&fields[3]),
                                Variant::byRef(&fields[4]), Variant::byRef(&data)};
    const double cpuStart = ProcessCpuSeconds();
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        const int expected = rig.responses + 1;
        std::int32_t r = -1;
        Variant result;
        if (lateBound) {
            rig.dispatch->Invoke(0x47, com::DISPATCH_METHOD, send.params(), &result, nullptr,
                                 nullptr);
        } else {
            rig.driver->SendAcyclic(5, 4, 29, 1217, 0xC0, Variant(), &r);
        }
        if (!queue->runUntil([&] { return rig.responses >= expected; }, std::chrono::seconds(2))) {
            state.SkipWithError("no OnResponse within 2 s");
            break;
        }
        if (lateBound) {
            rig.dispatch->Invoke(0x48, com::DISPATCH_METHOD, receive.params(), &result, nullptr,
                                 nullptr);
            r = result.i4();
        } else {
            rig.driver->ReceiveAcyclic(&fields[0], &fields[1], &fields[2], &fields[3], &fields[4],
                                       &data, &r);
        }
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        state.SetIterationTime(seconds);
        micros.push_back(seconds * 1e6);
        if (r != 0) {
            state.SkipWithError("the answer was not fetched");
            break;
        }
    }
    if (!micros.empty())
        state.counters["cpu_us_per_trip"] =
            (ProcessCpuSeconds() - cpuStart) * 1e6 / static_cast<double>(micros.size());
    ReportPercentiles(state, micros);
}
BENCHMARK(BM_AcyclicRoundTrip)
    ->ArgName("late_bound")
    ->Arg(0)
    ->Arg(1)
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond)
    ->MinTime(2.0);

void BM_VersionVirtual(benchmark::State& state) {
    Rig rig;
    std::int32_t v = 0;
    for (auto _ : state) {
        rig.driver->get_Version(&v);
        benchmark::DoNotOptimize(v);
    }
}
BENCHMARK(BM_VersionVirtual);

void BM_VersionInvoke(benchmark::State& state) {
    Rig rig;
    const com::DispArgs none;
    Variant result;
    for (auto _ : state) {
        rig.dispatch->Invoke(0x49, com::DISPATCH_PROPERTYGET, none.params(), &result, nullptr,
                             nullptr);
        benchmark::DoNotOptimize(result);
    }
}
BENCHMARK(BM_VersionInvoke);

// GetIDsOfNames on every call, as a script does.
void BM_VersionByName(benchmark::State& state) {
    Rig rig;
    Variant result;
    for (auto _ : state) {
        com::invokeByName(rig.dispatch.get(), "Version", com::DISPATCH_PROPERTYGET, {}, &result);
        benchmark::DoNotOptimize(result);
    }
}
BENCHMARK(BM_VersionByName);

// A method with in/out arguments by reference, late-bound: the converting path at its widest.
void BM_ReceiveAcyclicInvoke(benchmark::State& state) {
    Rig rig;
    std::int32_t f[5] = {};
    Variant data;
    const com::DispArgs args{Variant::byRef(&f[0]), Variant::byRef(&f[1]), Variant::byRef(&f[2]),
                             Variant::byRef(&f[3]), Variant::byRef(&f[4]), Variant::byRef(&data)};
    Variant result;
    for (auto _ : state) {
        rig.dispatch->Invoke(0x48, com::DISPATCH_METHOD, args.params(), &result, nullptr, nullptr);
        benchmark::DoNotOptimize(result);
    }
}
BENCHMARK(BM_ReceiveAcyclicInvoke);

}  // namespace

BENCHMARK_MAIN();
