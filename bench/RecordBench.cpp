// A cyclic record of ten values, each sent at the simulator's fastest cyclic rate, through the
// driver and DTMMain into the CSV file, on the real clock: values per second written against
// values per second on the bus, and how many were lost on the way.

#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <vector>

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

class Device final
    : public com::ComObject<Device, fdt::DualImpl<Device, fdt::IFdtCommunicationEvents>> {
public:
    int answers = 0;
    std::string last;
    com::HRESULT OnAbort(const std::string&) override { return com::S_OK; }
    com::HRESULT OnConnectResponse(const std::string&, const std::string&) override {
        return com::S_OK;
    }
    com::HRESULT OnDisconnectResponse(const std::string&, const std::string&) override {
        return com::S_OK;
    }
    com::HRESULT OnTransactionResponse(const std::string&, const std::string& doc) override {
        ++answers;
        last = doc;
        return com::S_OK;
    }
};

constexpr int kValues = 10;
constexpr int kPeriodMs = 1;  // the shortest period a scenario accepts
constexpr int kSeconds = 2;

std::string StartRec(const std::string& file) {
    std::string data;
    for (int v = 1; v <= kValues; ++v) {
        char pair[24];
        std::snprintf(pair, sizeof pair, "%02X%02X", v, v % 3);
        data += pair;
    }
    char time[8];
    std::snprintf(time, sizeof time, "%04X", kSeconds);
    data += time;
    return R"(<FDT xmlns="x-schema:FDTTivCommunicationSchema.xml"><DataExchangeRequest Control="0" SpecialFunction="StartRec" FilePath=")" +
           file + R"("><CommunicationHeader MessageType="5" ObjectType="0" NoOfBytes=")" +
           std::to_string(4 + data.size() / 2) + R"(" SubNo="0" ObjectNo="0" CommunicationData=")" +
           data + R"("/></DataExchangeRequest></FDT>)";
}

struct Written {
    std::size_t values = 0;
    // Values missing between the first and the last written of each object: every object
    // steps by 0.5 per telegram, so a gap in the steps is a value lost on the way.
    std::size_t lost = 0;
    std::size_t repeated = 0;  // the same telegram's value written twice
};

Written ReadRecord(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::map<int, std::pair<long, long>> range;  // object: first and last step
    std::set<std::pair<int, long>> seen;
    Written w;
    std::string line;
    std::getline(in, line);  // header
    while (std::getline(in, line)) {
        std::vector<std::string> f;
        std::stringstream fields(line);
        for (std::string x; std::getline(fields, x, ';');) f.push_back(x);
        if (f.size() < 6) continue;
        const int obj = std::stoi(f[3]);
        const long step = std::lround((std::stod(f[5]) - obj) / 0.5);
        auto [it, fresh] = range.try_emplace(obj, step, step);
        it->second.first = std::min(it->second.first, step);
        it->second.second = std::max(it->second.second, step);
        if (seen.emplace(obj, step).second)
            ++w.values;
        else
            ++w.repeated;
    }
    std::size_t expected = 0;
    for (const auto& [obj, r] : range) expected += static_cast<std::size_t>(r.second - r.first + 1);
    w.lost = expected > w.values ? expected - w.values : 0;
    return w;
}

void BM_RecordTenFastValues(benchmark::State& state) {
    ::setenv("TIVMATE_APPDIR", TIVMATE_APP_DIR, 1);
    com::Registry::setPath(TIV_REGISTRY);
    sim::Scenario scenario = sim::demoScenario();
    scenario.adapters[0].firmwareRunning = true;
    scenario.devices[0].cyclic.clear();
    for (int v = 1; v <= kValues; ++v)
        scenario.devices[0].cyclic.push_back({v % 3, v, kPeriodMs, 1.0 * v, 0, 0.5});
    auto simulator = std::make_shared<sim::Simulator>(scenario);
    usbio::installProcessTransport(sim::makeSimTransport(simulator));
    const auto file = std::filesystem::temp_directory_path() /
                      ("bench-record-" + std::to_string(::getpid()) + ".csv");
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
        dtm->put_PersistentProtocolFilter(com::VARIANT_FALSE);
        dtm->put_PersistentInterfaceFilter(com::VARIANT_FALSE);
        // Room for every telegram of the record in the linear buffer.
        dtm->put_PersistentBufferSizeValue(32767);
        if (!benchsupport::ConnectDevice(
                *dtm, static_cast<fdt::IFdtCommunicationEvents*>(device.get()), queue)) {
            state.SkipWithError("the DTM did not connect");
            return;
        }
        const std::string doc = StartRec(file.string());
        std::size_t written = 0, lost = 0, repeated = 0;
        int records = 0;
        double recordSeconds = 0;
        for (auto _ : state) {
            const int before = device->answers;
            const auto start = std::chrono::steady_clock::now();
            dtm->TransactionRequest("r" + std::to_string(records), doc, &ok);
            if (!ok || !queue.runUntil([&] { return device->answers > before; },
                                       std::chrono::seconds(kSeconds + 10), 100us)) {
                state.SkipWithError("the record did not end");
                break;
            }
            if (device->last.find("RecordState=\"finished\"") == std::string::npos) {
                state.SkipWithError("the record did not finish");
                break;
            }
            recordSeconds +=
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            const Written w = ReadRecord(file);
            repeated += w.repeated;
            written += w.values;
            lost += w.lost;
            ++records;
        }
        const double onBus = static_cast<double>(kValues) * 1000.0 / kPeriodMs;
        // Over the time the record really ran: its end waits for the timer's next tick.
        const double perSecond =
            recordSeconds > 0 ? static_cast<double>(written) / recordSeconds : 0.0;
        state.counters["values_per_s_written"] = perSecond;
        state.counters["values_per_s_on_bus"] = onBus;
        state.counters["share_written"] = perSecond / onBus;
        state.counters["values_lost"] = static_cast<double>(lost);
        state.counters["values_repeated"] = static_cast<double>(repeated);
        dtm->PrepareToRelease(&ok);
    }
    std::error_code ec;
    std::filesystem::remove(file, ec);
    os::MessageQueue::current().processMessages();
    usbio::installProcessTransport(nullptr);
    com::Registry::setPath({});
}
BENCHMARK(BM_RecordTenFastValues)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(2);

}  // namespace

BENCHMARK_MAIN();
