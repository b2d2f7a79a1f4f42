// A device DTM's transaction through DTMMain, the driver and the simulated adapter, on the real
// clock. The DTM's own CPU time per TransactionRequest → OnTransactionResponse (the cpu column:
// the thread that runs the DTM and the driver's client side), and the sustained rate against
// the rate the protocol's own pauses allow: the pauses the client thread sleeps per transaction
// are added up, so the bound follows any change of the send path.

#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <mutex>
#include <thread>

#include "DtmConnect.h"
#include "com/Registry.h"
#include "fdt/FdtInterfaces.h"
#include "module/DTMMain.h"
#include "os/Clock.h"
#include "os/MessageQueue.h"
#include "simulator/SimTransport.h"
#include "simulator/Simulator.h"
#include "usb/Transport.h"

namespace {

using namespace std::chrono_literals;

class PauseCountingClock final : public os::Clock {
public:
    time_point now() const override { return real_.now(); }
    std::chrono::system_clock::time_point systemNow() const override { return real_.systemNow(); }
    // The pump's own waits run for seconds; the protocol's pauses are tens of milliseconds.
    std::chrono::nanoseconds toReal(duration nominal) const override {
        std::lock_guard lock(mutex_);
        if (std::this_thread::get_id() == counted_ && nominal < 1s) paused_ += nominal;
        return nominal;
    }
    void Count(std::thread::id thread) {
        std::lock_guard lock(mutex_);
        counted_ = thread;
    }
    double PausedMs() const {
        std::lock_guard lock(mutex_);
        return std::chrono::duration<double, std::milli>(paused_).count();
    }

private:
    os::RealClock real_;
    mutable std::mutex mutex_;
    std::thread::id counted_;
    mutable duration paused_{};
};

class Device final
    : public com::ComObject<Device, fdt::DualImpl<Device, fdt::IFdtCommunicationEvents>> {
public:
    int answers = 0;
    com::HRESULT OnAbort(const std::string&) override { return com::S_OK; }
    com::HRESULT OnConnectResponse(const std::string&, const std::string&) override {
        return com::S_OK;
    }
    com::HRESULT OnDisconnectResponse(const std::string&, const std::string&) override {
        return com::S_OK;
    }
    com::HRESULT OnTransactionResponse(const std::string&, const std::string&) override {
        ++answers;
        return com::S_OK;
    }
};

constexpr char kRead[] =
    R"(<FDT xmlns="x-schema:FDTTivCommunicationSchema.xml"><DataExchangeRequest Control="192">)"
    R"(<CommunicationHeader MessageType="5" ObjectType="0" NoOfBytes="4" SubNo="29" ObjectNo="1217"/>)"
    R"(</DataExchangeRequest></FDT>)";

// state.range(0) requests are kept queued: 1 measures one transaction at a time, more the
// sustained rate with the next request waiting when an answer comes.
void BM_Transaction(benchmark::State& state) {
    const int depth = static_cast<int>(state.range(0));
    auto clock = std::make_shared<PauseCountingClock>();
    os::setClock(clock);
    ::setenv("TIVMATE_APPDIR", TIVMATE_APP_DIR, 1);
    com::Registry::setPath(TIV_REGISTRY);
    sim::Scenario scenario = sim::demoScenario();
    scenario.adapters[0].firmwareRunning = true;
    scenario.devices[0].cyclic.clear();
    auto simulator = std::make_shared<sim::Simulator>(scenario);
    usbio::installProcessTransport(sim::makeSimTransport(simulator));
    {
        com::ComPtr<tivmate::DTMMain> dtm;
        tivmate::DTMMain::createInstance(tivmate::IID__DTMMain, dtm.putVoid());
        auto device = Device::create();
        com::VARIANT_BOOL ok = com::VARIANT_FALSE;
        auto& queue = os::MessageQueue::current();
        if (!dtm || com::FAILED(dtm->InitNew())) {
            state.SkipWithError("no DTM");
            return;
        }
        dtm->put_PersistentCommTimeoutValue(2000);
        dtm->put_PersistentMaxStackValue(10);
        // Monitor lines off: they cost nothing without a monitor, but say so.
        dtm->put_PersistentProtocolFilter(com::VARIANT_FALSE);
        dtm->put_PersistentInterfaceFilter(com::VARIANT_FALSE);
        if (!benchsupport::ConnectDevice(
                *dtm, static_cast<fdt::IFdtCommunicationEvents*>(device.get()), queue)) {
            state.SkipWithError("the DTM did not connect");
            return;
        }
        int sent = 0;
        clock->Count(std::this_thread::get_id());
        for (auto _ : state) {
            while (sent - device->answers < depth) {
                dtm->TransactionRequest("t" + std::to_string(++sent), kRead, &ok);
                if (!ok) break;
            }
            const int want = sent - depth + 1;
            if (!ok || !queue.runUntil([&] { return device->answers >= want; }, 5s, 100us)) {
                state.SkipWithError("no answer");
                break;
            }
        }
        const int answered = device->answers;
        queue.runUntil([&] { return device->answers >= sent; }, 5s, 100us);
        const double pauseMs = clock->PausedMs() / std::max(1, sent);
        state.counters["transactions_per_s"] =
            benchmark::Counter(static_cast<double>(answered), benchmark::Counter::kIsRate);
        state.counters["pause_ms_per_transaction"] = pauseMs;
        state.counters["pause_bound_per_s"] = pauseMs > 0 ? 1000.0 / pauseMs : 0;
        state.counters["share_of_bound"] = benchmark::Counter(
            static_cast<double>(answered) * pauseMs / 1000.0, benchmark::Counter::kIsRate);
        dtm->PrepareToRelease(&ok);
    }
    os::MessageQueue::current().processMessages();
    usbio::installProcessTransport(nullptr);
    com::Registry::setPath({});
    os::setClock(nullptr);
}
BENCHMARK(BM_Transaction)
    ->Arg(1)
    ->Arg(4)
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime()
    ->MinTime(2.0);

}  // namespace

BENCHMARK_MAIN();
