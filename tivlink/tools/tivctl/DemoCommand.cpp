#include "DemoCommand.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "DriverClient.h"
#include "com/CoCreate.h"
#include "com/ComPtr.h"
#include "com/ConnectionPoint.h"
#include "com/ErrorInfo.h"
#include "com/EventSink.h"
#include "com/Registry.h"
#include "com/Variant.h"
#include "os/Clock.h"
#include "os/MessageQueue.h"
#include "tivlink/ITivDriver.h"

namespace tivctl {

namespace {

using namespace std::chrono_literals;
using tivlink::ITivDriver;
using tivlink::TivDriverEvent;

// All waits are nominal time: with --clock-scale the driver and the demo run faster together.
constexpr auto kFirmwareTimeout = 30s;
constexpr auto kDelayedTimeout = 10s;
constexpr auto kMeasuringTime = 2s;
constexpr auto kProgressStep = 250ms;

// Telegram fields the demo uses.
constexpr std::int32_t kTelRequest = 5;
constexpr std::int32_t kHeaderSize = 4;  // DataSize counts the header and the data bytes
constexpr std::int32_t kControlRead = 0xC0;
constexpr std::int32_t kControlWrite = 0xC1;
constexpr std::int32_t kControlError = 0x84;

// ---- printing -------------------------------------------------------------------------

std::string Hex(std::int32_t value) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%02X", static_cast<unsigned>(value));
    return buf;
}

// "0A 0B 0C", or "(none)".
std::string HexText(const std::vector<std::uint8_t>& bytes) {
    if (bytes.empty()) return "(none)";
    std::string s;
    char buf[4];
    for (const auto b : bytes) {
        std::snprintf(buf, sizeof buf, "%02X", b);
        if (!s.empty()) s += ' ';
        s += buf;
    }
    return s;
}

// ---- the events -----------------------------------------------------------------------

// What the event sink saw. The events come on this thread, while the demo pumps its message
// queue or while the driver does so inside a call.
struct EventLog {
    std::map<TivDriverEvent, int> counts;
    bool midLine = false;  // progress dots are on the current line

    int Count(TivDriverEvent e) const {
        const auto it = counts.find(e);
        return it == counts.end() ? 0 : it->second;
    }
};

// A sink that counts every event and prints it, except OnMvAvailable: the measured-values step
// prints those itself, with the values.
com::ComPtr<com::EventSink> MakeSink(const std::shared_ptr<EventLog>& log) {
    return com::EventSink::create(tivlink::DIID_ITivDriverEvents,
                                  [log](com::DISPID id, const com::DispParams&, com::Variant*) {
                                      const auto event = static_cast<TivDriverEvent>(id);
                                      ++log->counts[event];
                                      if (event != TivDriverEvent::OnMvAvailable) {
                                          if (log->midLine) std::cout << "\n";
                                          log->midLine = false;
                                          const auto name = tivlink::TivDriverEventName(id);
                                          std::cout << "      <- event "
                                                    << (name.empty() ? std::to_string(id) : name)
                                                    << std::endl;
                                      }
                                      return com::S_OK;
                                  });
}

// Runs this thread's messages (and so the events) until `done` holds or the nominal time-out.
bool PumpUntil(const std::function<bool()>& done, os::Clock::duration timeout) {
    return os::MessageQueue::forCurrentThread()->runUntil(done, timeout);
}

// "4.6 s"
std::string SecondsText(os::Clock::duration d) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.1f s", std::chrono::duration<double>(d).count());
    return buf;
}

// ---- the demo -------------------------------------------------------------------------

// One acyclic telegram, as AcyclicTransmission takes and returns it.
struct Telegram {
    std::int32_t telType = kTelRequest;
    std::int32_t dataSize = kHeaderSize;
    std::int32_t subNo = 0;
    std::int32_t objNo = 0;
    std::int32_t control = kControlRead;
    com::Variant data;
};

class Demo {
public:
    Demo(com::ComPtr<ITivDriver> driver, std::shared_ptr<EventLog> log)
        : driver_(std::move(driver)), log_(std::move(log)) {}

    int Run() {
        const bool done = Introduce() && BringUpAdapter() && StartReception();
        if (done) {
            Transactions();
            MeasuredValues();
            Stop();
        }
        Free();
        std::cout << "\n"
                  << (ok_ ? "demo finished: every step worked"
                          : "demo finished: some steps failed (see above)")
                  << std::endl;
        return ok_ ? kExitOk : kExitFailure;
    }

private:
    void Step(const std::string& text) { std::cout << "\n" << text << std::endl; }
    void Say(const std::string& text) { std::cout << "    " << text << std::endl; }
    void Fail(const std::string& text) {
        ok_ = false;
        std::cout << "    FAILED: " << text << std::endl;
    }
    // Whether a call returned S_OK; says what went wrong otherwise.
    bool Called(std::string_view member, com::HRESULT hr) {
        if (com::SUCCEEDED(hr)) return true;
        Fail(std::string(member) + " failed with " + ErrorText(hr));
        return false;
    }
    // Whether a call returned S_OK and its result is `expected` (call the member first: the
    // order in which arguments are evaluated is not fixed).
    bool Expect(std::string_view member, com::HRESULT hr, std::int32_t result,
                std::int32_t expected) {
        if (!Called(member, hr)) return false;
        if (result == expected) return true;
        Fail(std::string(member) + " returned " + std::to_string(result) + ", not " +
             std::to_string(expected));
        return false;
    }

    bool Introduce() {
        Step("2. Ask the driver about itself");
        std::int32_t version = 0;
        if (!Called("Version", driver_->get_Version(&version))) return false;
        Say("Version = " + std::to_string(version));
        std::int32_t adapters = 0;
        if (!Called("GetNumAdapters", driver_->GetNumAdapters(&adapters))) return false;
        Say("GetNumAdapters() = " + std::to_string(adapters));
        if (adapters < 1) {
            Fail("no adapter found");
            return false;
        }
        return true;
    }

    // SelectAdapter; without firmware the download runs in the background and the demo waits
    // for OnFirmwareLoaded, then selects again.
    bool BringUpAdapter() {
        Step("3. Select adapter 1");
        com::Variant verStr;
        std::int32_t r = -1;
        if (!Called("SelectAdapter", driver_->SelectAdapter(1, 0, &verStr, &r))) return false;
        Say("SelectAdapter(1, 0) = " + std::to_string(r) +
            (r == tivlink::result::kFirmwareSilent ? " (the adapter has no firmware yet)" : ""));
        if (r == tivlink::result::kFirmwareSilent) {
            if (!LoadFirmware()) return false;
            verStr = com::Variant();
            if (!Called("SelectAdapter", driver_->SelectAdapter(1, 0, &verStr, &r))) return false;
            Say("SelectAdapter(1, 0) = " + std::to_string(r));
        }
        if (r != 0) {
            Fail("the adapter is not ready (SelectAdapter returned " + std::to_string(r) + ")");
            return false;
        }
        Say("version record: " + HexText(BytesOf(verStr)));
        return true;
    }

    bool LoadFirmware() {
        std::int32_t r = -1;
        if (!Called("ConnectAdapter", driver_->ConnectAdapter(1, &r))) return false;
        Say("ConnectAdapter(1) = " + std::to_string(r) + " (the download runs in the background)");
        std::cout << "    waiting for OnFirmwareLoaded " << std::flush;
        log_->midLine = true;
        const auto start = os::clock().now();
        bool loaded = false;
        // One dot per step of nominal time; the events print themselves as they come.
        while (!loaded && os::clock().now() - start < kFirmwareTimeout) {
            loaded = PumpUntil([this] { return log_->Count(TivDriverEvent::OnFirmwareLoaded) > 0; },
                               kProgressStep);
            if (!loaded) {
                if (!log_->midLine) std::cout << "    ";
                std::cout << "." << std::flush;
                log_->midLine = true;
            }
        }
        if (log_->midLine) std::cout << "\n";
        log_->midLine = false;
        const std::string elapsed = SecondsText(os::clock().now() - start);
        if (!loaded) {
            Fail("no OnFirmwareLoaded within " + elapsed);
            return false;
        }
        std::int32_t result = -1;
        if (Called("LoadResult", driver_->get_LoadResult(&result)))
            Say("firmware loaded after " + elapsed + ", LoadResult = " + std::to_string(result));
        return true;
    }

    bool StartReception() {
        Step("4. Start reception: filter on, ring buffer, recording");
        std::int32_t r = -1;
        com::HRESULT hr = driver_->FilterOn(&r);
        if (!Expect("FilterOn", hr, r, 0)) return false;
        Say("FilterOn() = 0");
        if (!Called("BufferMode", driver_->put_BufferMode(1))) return false;
        Say("BufferMode = 1 (ring buffer: it never fills up)");
        hr = driver_->StartRec(&r);
        if (!Expect("StartRec", hr, r, 0)) return false;
        Say("StartRec() = 0");
        return true;
    }

    // One AcyclicTransmission, printed; its result, or -1 when the call failed.
    std::int32_t Transmit(Telegram& t) {
        std::cout << "    AcyclicTransmission obj " << t.objNo << " sub " << t.subNo << " control "
                  << Hex(t.control) << " data " << HexText(BytesOf(t.data)) << std::endl;
        std::int32_t r = -1;
        const com::HRESULT hr = driver_->AcyclicTransmission(&t.telType, &t.dataSize, &t.subNo,
                                                             &t.objNo, &t.control, &t.data, &r);
        if (!Called("AcyclicTransmission", hr)) return -1;
        Say("  = " + std::to_string(r) + ", answer control " + Hex(t.control) + " data " +
            HexText(BytesOf(t.data)));
        return r;
    }

    static Telegram Read(std::int32_t obj, std::int32_t sub) {
        Telegram t;
        t.objNo = obj;
        t.subNo = sub;
        return t;
    }

    static bool StartsWith(const std::vector<std::uint8_t>& bytes,
                           const std::vector<std::uint8_t>& prefix) {
        return bytes.size() >= prefix.size() &&
               std::equal(prefix.begin(), prefix.end(), bytes.begin());
    }

    void Transactions() {
        Step("5. Read object 1217/29");
        auto read = Read(1217, 29);
        if (Transmit(read) != 0) Fail("the read was not answered");

        Step("6. Write 11 22 to object 1217/29 and read it back");
        const std::vector<std::uint8_t> written = {0x11, 0x22};
        Telegram write = Read(1217, 29);
        write.control = kControlWrite;
        write.dataSize = kHeaderSize + static_cast<std::int32_t>(written.size());
        write.data = com::Variant::fromBytes(written);
        if (Transmit(write) != 0) Fail("the write was not answered");
        auto back = Read(1217, 29);
        if (Transmit(back) != 0)
            Fail("the read-back was not answered");
        else if (!StartsWith(BytesOf(back.data), written))
            Fail("the read-back does not show the written bytes");
        else
            Say("the device kept what was written");

        Step("7. Read the error object 1300/1: the device answers with an error");
        auto error = Read(1300, 1);
        Transmit(error);
        if (error.control == kControlError)
            Say("error answer, control " + Hex(kControlError) + " as expected");
        else
            Fail("expected an error answer (control " + Hex(kControlError) + ")");

        Step("8. Read the delayed object 1301/2: the answer comes later");
        Delayed();
    }

    void Delayed() {
        const int before = log_->Count(TivDriverEvent::OnDelayedResponse);
        auto delayed = Read(1301, 2);
        const std::int32_t r = Transmit(delayed);
        if (r != tivlink::result::ReceiveAcyclic::kDelayed) {
            Fail("expected result " + std::to_string(tivlink::result::ReceiveAcyclic::kDelayed) +
                 " (answer delayed)");
            return;
        }
        Say("result 6: the device will answer later; waiting for OnDelayedResponse");
        const bool came =
            PumpUntil([&] { return log_->Count(TivDriverEvent::OnDelayedResponse) > before; },
                      kDelayedTimeout);
        if (!came) {
            Fail("no OnDelayedResponse within " + SecondsText(kDelayedTimeout));
            return;
        }
        Telegram t;
        std::int32_t result = -1;
        const com::HRESULT hr = driver_->ReceiveAcyclicDelayed(
            &t.telType, &t.dataSize, &t.subNo, &t.objNo, &t.control, &t.data, &result);
        if (!Expect("ReceiveAcyclicDelayed", hr, result, 0)) return;
        Say("ReceiveAcyclicDelayed() = 0: delayed answer obj " + std::to_string(t.objNo) + " sub " +
            std::to_string(t.subNo) + " control " + Hex(t.control) + " data " +
            HexText(BytesOf(t.data)));
    }

    void MeasuredValues() {
        Step("9. Measured values: slots 1:0:3, 2:1:4, 3:2:5 (slot:type:object)");
        struct Slot {
            std::int32_t val, msg, obj;
        };
        for (const Slot s : {Slot{1, 0, 3}, Slot{2, 1, 4}, Slot{3, 2, 5}}) {
            std::int32_t r = -1;
            const com::HRESULT hr = driver_->AssignMvPara(s.val, s.msg, s.obj, &r);
            if (!Expect("AssignMvPara", hr, r, 0)) return;
            Say("AssignMvPara(" + std::to_string(s.val) + ", " + std::to_string(s.msg) + ", " +
                std::to_string(s.obj) + ") = 0");
        }
        Say("values as OnMvAvailable arrives, for " + SecondsText(kMeasuringTime) + ":");
        const auto end = os::clock().now() + kMeasuringTime;
        int seen = log_->Count(TivDriverEvent::OnMvAvailable);
        int printed = 0;
        while (os::clock().now() < end) {
            const auto left = end - os::clock().now();
            if (!PumpUntil([&] { return log_->Count(TivDriverEvent::OnMvAvailable) > seen; }, left))
                break;
            seen = log_->Count(TivDriverEvent::OnMvAvailable);
            if (PrintValues()) ++printed;
        }
        if (printed == 0) Fail("no measured values arrived");
    }

    // The current measured values, one line; false when reading them failed.
    bool PrintValues() {
        std::int32_t nr = 0, s1 = 0, s2 = 0, s3 = 0;
        double v1 = 0, v2 = 0, v3 = 0;
        if (!Called("ValueNr", driver_->get_ValueNr(&nr)) ||
            !Called("Value1", driver_->get_Value1(&v1)) ||
            !Called("Value2", driver_->get_Value2(&v2)) ||
            !Called("Value3", driver_->get_Value3(&v3)) ||
            !Called("Status1", driver_->get_Status1(&s1)) ||
            !Called("Status2", driver_->get_Status2(&s2)) ||
            !Called("Status3", driver_->get_Status3(&s3)))
            return false;
        char line[160];
        std::snprintf(line, sizeof line,
                      "<- OnMvAvailable  ValueNr %d  Value1 %.3f (status %d)  Value2 %.3f "
                      "(status %d)  Value3 %.3f (status %d)",
                      nr, v1, s1, v2, s2, v3, s3);
        std::cout << "      " << line << std::endl;
        return true;
    }

    void Stop() {
        Step("10. Stop reception");
        std::int32_t r = -1;
        const com::HRESULT hr = driver_->StopRec(&r);
        if (Expect("StopRec", hr, r, 0)) Say("StopRec() = 0");
    }

    void Free() {
        Step("11. Let the adapter go");
        std::int32_t r = -1;
        if (Called("DrvFree", driver_->DrvFree(&r))) Say("DrvFree() = " + std::to_string(r));
    }

    com::ComPtr<ITivDriver> driver_;
    std::shared_ptr<EventLog> log_;
    bool ok_ = true;
};

}  // namespace

int RunDemo(const GlobalOptions& options) {
    std::cout << "Tivlink demo: the driver through its automation interface ITivDriver, on the "
                 "embedded simulated adapter"
              << std::endl;

    if (const int code = InstallTransport(options); code != kExitOk) return code;

    std::cout << "\n1. Create " << tivlink::kTivDriverProgId << " by ProgID" << std::endl;
    ChooseRegistry(options.registry);
    std::cout << "    registry: " << com::Registry::path().string() << std::endl;
    com::ComPtr<ITivDriver> driver;
    if (!CreateDriver(ITivDriver::iid, driver.putVoid())) return kExitFailure;
    std::cout << "    created" << std::endl;

    // The sink: every event the object raises comes to it on this thread.
    auto log = std::make_shared<EventLog>();
    auto sink = MakeSink(log);
    std::uint32_t cookie = 0;
    const com::HRESULT hr = com::advise(driver.get(), tivlink::DIID_ITivDriverEvents,
                                        static_cast<com::IDispatch*>(sink.get()), &cookie);
    if (com::FAILED(hr)) {
        std::cerr << "tivctl: cannot advise the event sink: " << ErrorText(hr) << std::endl;
        return kExitFailure;
    }
    std::cout << "    event sink advised; events show as \"<- event Name\"" << std::endl;

    const int code = Demo(driver, log).Run();
    com::unadvise(driver.get(), tivlink::DIID_ITivDriverEvents, cookie);
    return code;
}

DemoCommand::DemoCommand(CLI::App& app) {
    command_ = app.add_subcommand(
        "demo",
        "a guided run through the driver's automation interface on the embedded simulated "
        "adapter: firmware download, transactions (a delayed one among them), measured values; "
        "prints each step and event (--json is ignored)");
}

std::optional<int> DemoCommand::Run(const GlobalOptions& options) const {
    if (*command_) return RunDemo(options);
    return std::nullopt;
}

}  // namespace tivctl
