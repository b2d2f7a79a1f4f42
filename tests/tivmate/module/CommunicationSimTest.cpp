// A device DTM's road through DTMMain and the real driver to the simulated adapter: connect,
// transactions with and without faults, the queue's limits, abort, disconnect and release.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <sstream>

#include <unistd.h>

#include "DtmFakes.h"
#include "com/ErrorInfo.h"
#include "core/XMLHelp.h"
#include "module/DTMMain.h"
#include "os/Clock.h"
#include "os/MessageQueue.h"
#include "simulator/SimTransport.h"
#include "simulator/Simulator.h"
#include "usb/Transport.h"

namespace {

using namespace std::chrono_literals;
using com::ComPtr;
using testing::Contains;
using testing::HasSubstr;
using tivmate::DTMMain;
using tivmate::XMLHelp;

constexpr char kProtocol[] = "81684E65-6385-4690-ACCF-49995B3B4E8B";

// A device DTM's callback: every answer in arrival order.
class DeviceDtm final
    : public com::ComObject<DeviceDtm, fdt::DualImpl<DeviceDtm, fdt::IFdtCommunicationEvents>> {
public:
    struct Answer {
        std::string kind, invokeId, document;
    };
    std::vector<Answer> answers;
    std::function<void(const Answer&)> onAnswer;

    com::HRESULT OnAbort(const std::string&) override { return Add("abort", "", ""); }
    com::HRESULT OnConnectResponse(const std::string& id, const std::string& doc) override {
        return Add("connect", id, doc);
    }
    com::HRESULT OnDisconnectResponse(const std::string& id, const std::string& doc) override {
        return Add("disconnect", id, doc);
    }
    com::HRESULT OnTransactionResponse(const std::string& id, const std::string& doc) override {
        return Add("transaction", id, doc);
    }
    std::size_t Count(const std::string& kind) const {
        return static_cast<std::size_t>(std::count_if(
            answers.begin(), answers.end(), [&](const Answer& a) { return a.kind == kind; }));
    }
    const Answer* For(const std::string& id) const {
        for (const auto& a : answers)
            if (a.invokeId == id) return &a;
        return nullptr;
    }

private:
    com::HRESULT Add(std::string kind, std::string id, std::string doc) {
        answers.push_back({std::move(kind), std::move(id), std::move(doc)});
        if (onAnswer) onAnswer(answers.back());
        return com::S_OK;
    }
};

// The monitor control: every line with its colour.
class MonitorSpy final
    : public com::ComObject<MonitorSpy, fdt::DualImpl<MonitorSpy, fdt::IMonitorView>> {
public:
    std::vector<std::pair<std::string, std::int32_t>> lines;
    com::HRESULT MessageLine(const std::string& line, std::int32_t color) override {
        lines.emplace_back(line, color);
        return com::S_OK;
    }
    bool Has(const std::string& part, std::int32_t color) const {
        return std::any_of(lines.begin(), lines.end(), [&](const auto& l) {
            return l.first.find(part) != std::string::npos && l.second == color;
        });
    }
};

std::string Transaction(int obj, int sub, int control = 192, const std::string& data = "",
                        int type = 5, const std::string& special = "") {
    const int n = 4 + static_cast<int>(data.size() / 2);
    std::string doc =
        R"(<FDT xmlns="x-schema:FDTTivCommunicationSchema.xml"><DataExchangeRequest CommunicationReference="" Control=")" +
        std::to_string(control) + "\"";
    if (!special.empty()) doc += " SpecialFunction=\"" + special + "\"";
    doc += R"(><CommunicationHeader MessageType=")" + std::to_string(type) +
           R"(" ObjectType="0" NoOfBytes=")" + std::to_string(n) + R"(" SubNo=")" +
           std::to_string(sub) + R"(" ObjectNo=")" + std::to_string(obj) + "\"";
    if (!data.empty()) doc += " CommunicationData=\"" + data + "\"";
    return doc + "/></DataExchangeRequest></FDT>";
}

std::string Attr(const std::string& doc, const char* path, const char* name) {
    return XMLHelp::GetCallerAttribute(doc, path, name);
}
std::string Error(const std::string& doc) {
    return Attr(doc, "FDT/TivCommError", "TivcommError");
}
std::string Data(const std::string& doc) {
    return Attr(doc, "FDT/DataExchangeResponse/CommunicationHeader", "CommunicationData");
}

class CommunicationOnSimulator : public ::testing::Test {
protected:
    explicit CommunicationOnSimulator(bool cyclic = false,
                                      const std::string& ini = dtmtest::DtmAppDir::ShippedIni(),
                                      double clockScale = 10)
        : app(ini) {
        os::setClock(std::make_shared<os::ScaledClock>(clockScale));
        com::Registry::setPath(std::filesystem::path(std::getenv("TIV_TEST_BINARY_DIR")) /
                               "registry.reg");
        sim::Scenario scenario = sim::demoScenario();
        scenario.adapters[0].firmwareRunning = true;
        if (!cyclic) scenario.devices[0].cyclic.clear();
        simulator = std::make_shared<sim::Simulator>(scenario);
        usbio::installProcessTransport(sim::makeSimTransport(simulator));

        EXPECT_EQ(DTMMain::createInstance(tivmate::IID__DTMMain, dtm.putVoid()), com::S_OK);
        EXPECT_EQ(dtm->InitNew(), com::S_OK);
        dtm->put_PersistentCommTimeoutValue(200);
        dtm->put_PersistentCommRetriesValue(2);
        dtm->put_PersistentMaxStackValue(10);
        dtm->putref_CtlMonitorPointer(static_cast<fdt::IMonitorView*>(monitor.get()));
        com::VARIANT_BOOL ok = com::VARIANT_FALSE;
        EXPECT_EQ(dtm->Environment("Tiv1", static_cast<fdt::IFdtContainer*>(frame.get()), &ok),
                  com::S_OK);
        EXPECT_TRUE(Pump([&] {
            com::Variant fw, bus;
            dtm->get_TIVAdapterFirmwareLoaded(&fw);
            dtm->get_TIVBusConnected(&bus);
            return fw.toInt64().value_or(0) && bus.toInt64().value_or(0);
        }));
    }
    ~CommunicationOnSimulator() override {
        if (dtm) {
            com::VARIANT_BOOL ok = com::VARIANT_FALSE;
            dtm->PrepareToRelease(&ok);
        }
        dtm.reset();
        os::MessageQueue::current().processMessages();
        usbio::installProcessTransport(nullptr);
        com::Registry::setPath({});
        os::setClock(nullptr);
        com::clearErrorInfo();
    }

    static bool Pump(const std::function<bool()>& done, os::Clock::duration limit = 60s) {
        return os::MessageQueue::current().runUntil(done, limit, 2ms);
    }
    bool Connect() {
        com::VARIANT_BOOL ok = com::VARIANT_FALSE;
        dtm->ConnectRequest(
            static_cast<fdt::IFdtCommunicationEvents*>(device.get()), "c1", kProtocol,
            R"(<FDT xmlns="x-schema:FDTTivCommunicationSchema.xml" xmlns:fdt="x-schema:FDTDataTypesSchema.xml"><ConnectRequest fdt:tag="Dev1"/></FDT>)",
            &ok);
        return ok && device->Count("connect") == 1;
    }
    bool Request(const std::string& id, const std::string& doc) {
        com::VARIANT_BOOL ok = com::VARIANT_FALSE;
        EXPECT_EQ(dtm->TransactionRequest(id, doc, &ok), com::S_OK);
        return ok != com::VARIANT_FALSE;
    }
    // Sends and waits for the one answer to this invoke id.
    std::string Transact(const std::string& id, const std::string& doc) {
        if (!Request(id, doc)) return "refused";
        Pump([&] { return device->For(id) != nullptr; });
        const auto* a = device->For(id);
        return a ? a->document : "no answer";
    }
    std::size_t Sends() const {
        return static_cast<std::size_t>(
            std::count_if(monitor->lines.begin(), monitor->lines.end(), [](const auto& l) {
                return l.first == "Fct - SendProtocol()\t-->\tTivlink.SendRequest()";
            }));
    }

    dtmtest::DtmAppDir app;
    std::shared_ptr<sim::Simulator> simulator;
    ComPtr<dtmtest::FakeFrame> frame = dtmtest::FakeFrame::create();
    ComPtr<MonitorSpy> monitor = MonitorSpy::create();
    ComPtr<DTMMain> dtm;
    ComPtr<DeviceDtm> device = DeviceDtm::create();
};

#ifndef TIVMATE_SOAK
TEST_F(CommunicationOnSimulator, ConnectReadWriteDisconnect) {
    com::VARIANT_BOOL ok = com::VARIANT_TRUE;
    // Nothing is accepted before a connection; a lower-case protocol id is not ours.
    EXPECT_FALSE(Request("t0", Transaction(1217, 29)));
    dtm->ConnectRequest(static_cast<fdt::IFdtCommunicationEvents*>(device.get()), "c0",
                        "81684e65-6385-4690-accf-49995b3b4e8b", "<FDT/>", &ok);
    EXPECT_FALSE(ok);
    ASSERT_TRUE(Connect());
    EXPECT_EQ(Attr(device->answers[0].document, "FDT/ConnectResponse", "fdt:tag"), "Dev1");
    dtm->ConnectRequest(static_cast<fdt::IFdtCommunicationEvents*>(device.get()), "c2", kProtocol,
                        "", &ok);
    EXPECT_FALSE(ok);

    const std::string read = Transact("t1", Transaction(1217, 29));
    EXPECT_EQ(Data(read), "0A0B0C0D") << read;
    EXPECT_EQ(Attr(read, "FDT/DataExchangeResponse", "Status"), "65");
    EXPECT_TRUE(monitor->Has("Final Status - ", tivmate::kColorGreen));
    EXPECT_TRUE(monitor->Has("Receive Data: <0A 0B 0C 0D ", 0));
    EXPECT_EQ(Attr(Transact("t2", Transaction(1217, 29, 193, "5566")), "FDT/DataExchangeResponse",
                   "Status"),
              "65");
    EXPECT_EQ(Data(Transact("t3", Transaction(1217, 29))), "5566");
    EXPECT_EQ(
        Attr(Transact("t4", Transaction(100, 1, 193, "09")), "FDT/DataExchangeResponse", "Status"),
        "130");  // read-only
    EXPECT_TRUE(monitor->Has("Common Error Status - ", tivmate::kColorOrange));

    // Refused documents: false, no answer, the reason on the monitor.
    for (const char* bad : {"<FDT", "<FDT/>", R"(<FDT><DataExchangeRequest Control="1"/></FDT>)"})
        EXPECT_FALSE(Request("bad", bad)) << bad;
    EXPECT_TRUE(monitor->Has("refused: ", tivmate::kColorBlue));

    // Object 0, sub 0 cannot be answered by anybody: refused at once, the queue goes on.
    EXPECT_EQ(Error(Transact("t5", Transaction(0, 0))), "notSupportedFeature");
    EXPECT_EQ(Data(Transact("t6", Transaction(1217, 29))), "5566");
    // A telegram without answer is its own answer.
    EXPECT_EQ(Attr(Transact("t7", Transaction(1217, 29, 3, "", 7)),
                   "FDT/DataExchangeResponse/CommunicationHeader", "MessageType"),
              "7");

    EXPECT_EQ(dtm->DisconnectRequest("d1", "", &ok), com::S_OK);
    EXPECT_TRUE(ok);
    EXPECT_EQ(device->Count("disconnect"), 1u);
    EXPECT_FALSE(Request("t8", Transaction(1217, 29)));
    for (const auto& a : device->answers)
        EXPECT_EQ(std::count_if(device->answers.begin(), device->answers.end(),
                                [&](const auto& b) { return b.invokeId == a.invokeId; }),
                  1)
            << a.invokeId;
    EXPECT_EQ(device->For("bad"), nullptr);
}

TEST_F(CommunicationOnSimulator, LostAndSpoiltAnswersAreRepeatedThenFail) {
    ASSERT_TRUE(Connect());
    struct Row {
        const char* fault;
        std::size_t sends;
        std::string error;  // empty: answered by the device
    } rows[] = {{"drop-answer 1", 2, ""},
                {"drop-answer -1", 3, "timeout"},
                {"corrupt-checksum -1", 3, "ChecksumError"},
                {"wrong-sub -1", 3, "timeout"}};
    int n = 0;
    for (const auto& row : rows) {
        ASSERT_EQ(simulator->control(row.fault), "ok");
        const std::size_t before = Sends();
        const std::string id = "r" + std::to_string(n++);
        const std::string answer = Transact(id, Transaction(1217, 29));
        ASSERT_EQ(simulator->control("clear"), "ok");
        EXPECT_EQ(Sends() - before, row.sends) << row.fault;
        if (row.error.empty()) {
            EXPECT_EQ(Data(answer), "0A0B0C0D") << row.fault;
        } else {
            EXPECT_EQ(Error(answer), row.error) << row.fault;
            EXPECT_EQ(Attr(answer, "FDT/TivCommError", "TivActive"), "1");
            EXPECT_EQ(Attr(answer, "FDT/TivCommError", "fdt:tag"), "Dev1");
        }
    }
    EXPECT_EQ(Data(Transact("after", Transaction(1217, 29))), "0A0B0C0D");
}

TEST_F(CommunicationOnSimulator, DelayedAnswerIsCollectedByPolling) {
    ASSERT_TRUE(Connect());
    const std::string poll = Transaction(0, 0, 0, "", 5, "ReadDelayedResponse");
    // Nothing stored: six bytes, NoOfBytes 10.
    const std::string empty = Transact("p0", poll);
    EXPECT_EQ(Attr(empty, "FDT/DataExchangeResponse/CommunicationHeader", "NoOfBytes"), "10");
    EXPECT_EQ(Data(empty), "000000000000");

    const std::string announced = Transact("t1", Transaction(1301, 2));
    EXPECT_EQ(Attr(announced, "FDT/DataExchangeResponse", "Status"), "1");
    std::string delivered;
    int polls = 0;
    ASSERT_TRUE(Pump([&] {
        delivered = Transact("p" + std::to_string(++polls), poll);
        return (std::stoi(Data(delivered).substr(0, 2), nullptr, 16) & 0x40) != 0;
    }));
    // 0x40 arrived | 0x20 never yet handed out; object 1301 = 05 15, sub 2, CtlByte 10, then
    // Length bytes: control 0x0A, 0, the delivery's bytes.
    EXPECT_THAT(Data(delivered), testing::StartsWith("400515020A"));
    EXPECT_EQ(Attr(delivered, "FDT/DataExchangeResponse", "SpecialFunction"),
              "ReadDelayedResponse");
    const std::string again = Transact("again", poll);
    EXPECT_THAT(Data(again), testing::StartsWith("600515020A"));
}

TEST_F(CommunicationOnSimulator, QueueLimitAbortAndDisconnectWithRequestsQueued) {
    dtm->put_PersistentMaxStackValue(3);
    ASSERT_TRUE(Connect());
    // Four at once: the first is on the bus, the fourth finds the queue full.
    for (const char* id : {"q1", "q2", "q3", "q4"}) Request(id, Transaction(1217, 29));
    ASSERT_NE(device->For("q4"), nullptr);
    EXPECT_EQ(Error(device->For("q4")->document), "StackOverflow");
    EXPECT_EQ(Attr(device->For("q4")->document, "FDT/TivCommError", "fdt:tag"), "Tiv1");
    ASSERT_TRUE(Pump([&] { return device->For("q3") != nullptr; }));
    EXPECT_EQ(Data(device->For("q1")->document), "0A0B0C0D");

    // Abort drops what waits, without answers; the next request is served normally even
    // though the aborted one was being repeated.
    ASSERT_EQ(simulator->control("drop-answer 1"), "ok");
    for (const char* id : {"a1", "a2", "a3"}) Request(id, Transaction(1217, 29));
    EXPECT_EQ(dtm->Abort(""), com::S_OK);
    EXPECT_EQ(Data(Transact("a4", Transaction(1217, 29))), "0A0B0C0D");
    os::MessageQueue::current().runUntil([] { return false; }, 1s);
    for (const char* id : {"a1", "a2", "a3"}) EXPECT_EQ(device->For(id), nullptr) << id;

    // Disconnect with three queued: accepted at once, answered after the third.
    for (const char* id : {"x1", "x2", "x3"}) Request(id, Transaction(1217, 29));
    com::VARIANT_BOOL ok = com::VARIANT_FALSE;
    EXPECT_EQ(dtm->DisconnectRequest("d1", "", &ok), com::S_OK);
    EXPECT_TRUE(ok);
    EXPECT_EQ(device->Count("disconnect"), 0u);
    ASSERT_TRUE(Pump([&] { return device->Count("disconnect") == 1; }));
    EXPECT_EQ(device->answers.back().kind, "disconnect");
    EXPECT_NE(device->For("x3"), nullptr);
}

TEST_F(CommunicationOnSimulator, UnplugAndReleaseEndEveryRequestOnce) {
    dtm->put_PersistentCommRetriesValue(0);
    ASSERT_TRUE(Connect());
    ASSERT_EQ(simulator->control("answer-delay 500"), "ok");
    Request("u1", Transaction(1217, 29));
    simulator->unplug(0);
    ASSERT_TRUE(Pump([&] { return device->For("u1") != nullptr; }));
    EXPECT_EQ(Error(device->For("u1")->document), "timeout");

    // Released with requests waiting: each ends with a time-out, none touches the driver.
    for (const char* id : {"r1", "r2"}) Request(id, Transaction(1217, 29));
    com::VARIANT_BOOL ok = com::VARIANT_FALSE;
    EXPECT_EQ(dtm->PrepareToRelease(&ok), com::S_OK);
    for (const char* id : {"r1", "r2"}) {
        ASSERT_NE(device->For(id), nullptr) << id;
        EXPECT_EQ(Error(device->For(id)->document), "timeout");
    }
    os::MessageQueue::current().runUntil([] { return false; }, 1s);
    EXPECT_EQ(device->Count("transaction"), 3u);
    dtm.reset();
}

TEST_F(CommunicationOnSimulator, EveryAcceptedRequestIsAnsweredExactlyOnce) {
    dtm->put_PersistentCommRetriesValue(1);
    dtm->put_PersistentMaxStackValue(4);
    ASSERT_TRUE(Connect());
    std::mt19937 random(16);
    const char* faults[] = {"drop-answer", "corrupt-checksum", "wrong-sub"};
    std::map<std::string, int> answered;
    device->onAnswer = [&](const DeviceDtm::Answer& a) {
        if (a.kind == "transaction") ++answered[a.invokeId];
    };
    std::set<std::string> accepted;
    int sent = 0;
    while (sent < 300) {
        if (random() % 4 == 0)
            simulator->control(std::string(faults[random() % 3]) + " " +
                               std::to_string(random() % 3));
        const int burst = 1 + static_cast<int>(random() % 5);
        for (int k = 0; k < burst; ++k) {
            const std::string id = "i" + std::to_string(sent++);
            const int kind = static_cast<int>(random() % 4);
            const std::string doc = kind == 0   ? Transaction(1217, 29)
                                    : kind == 1 ? Transaction(1300, 1)
                                    : kind == 2 ? Transaction(1217, 29, 3, "", 7)
                                                : Transaction(4242, 29);
            if (Request(id, doc)) accepted.insert(id);
        }
        Pump([&] { return answered.size() == accepted.size(); });
    }
    simulator->control("clear");
    ASSERT_TRUE(Pump([&] { return answered.size() == accepted.size(); }));
    for (const auto& [id, count] : answered) {
        EXPECT_EQ(count, 1) << id;
        EXPECT_TRUE(accepted.count(id)) << id;
    }
}

#endif

// ---- cyclic record ----

std::string StartRec(const std::string& pairs, int secs, const std::string& file) {
    char time[8];
    std::snprintf(time, sizeof time, "%04X", secs);
    std::string doc = Transaction(0, 0, 0, pairs + time, 5, "StartRec");
    const std::string special = "SpecialFunction=\"StartRec\"";
    return doc.insert(doc.find(special) + special.size(), " FilePath=\"" + file + "\"");
}
std::string StopRec() {
    return Transaction(0, 0, 0, "", 5, "StopRec");
}
std::string RecordState(const std::string& doc) {
    return Attr(doc, "FDT/DataExchangeResponse", "RecordState");
}
std::vector<std::vector<std::string>> CsvLines(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    const std::string text{std::istreambuf_iterator<char>(in), {}};
    std::vector<std::vector<std::string>> lines;
    for (std::size_t at = 0, end; (end = text.find("\r\n", at)) != std::string::npos;
         at = end + 2) {
        std::vector<std::string> fields;
        std::stringstream line(text.substr(at, end - at));
        for (std::string field; std::getline(line, field, ';');) fields.push_back(field);
        lines.push_back(fields);
    }
    return lines;
}

class RecordOnSimulator : public CommunicationOnSimulator {
protected:
    explicit RecordOnSimulator(int saveSize = 4096, double clockScale = 10)
        : CommunicationOnSimulator(true, IniWithSaveSize(saveSize), clockScale) {}
    static std::string IniWithSaveSize(int size) {
        std::string ini = dtmtest::DtmAppDir::ShippedIni();
        const std::string key = "CyclicRecordSaveSize=";
        const auto at = ini.find(key) + key.size();
        return ini.replace(at, ini.find_first_of("\r\n", at) - at, std::to_string(size));
    }
    std::string File(const std::string& name) const { return (app.path() / name).string(); }
};

#ifndef TIVMATE_SOAK
// Every value written to the file is one the device sent for that object, in sending order,
// none lost or repeated, also when updates queue up behind each other.
TEST_F(RecordOnSimulator, ThreeTypesAreRecordedAsTheDeviceSentThem) {
    ASSERT_TRUE(Connect());
    // Windows separators and folders that do not exist yet.
    const std::string file = File("records") + "\\run 1\\three.csv";
    const std::string answer = Transact("r1", StartRec("030004010502", 2, file));
    EXPECT_EQ(RecordState(answer), "finished");
    const auto lines = CsvLines(app.path() / "records" / "run 1" / "three.csv");
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0], (std::vector<std::string>{"Date", "Time", "mSec", "ValueNumber", "DataType",
                                                  "Value", "Timestamp", "ShortStatus"}));
    std::map<int, const sim::CyclicSpec*> specs;
    for (const auto& c : simulator->scenario().devices[0].cyclic) specs[c.obj] = &c;
    std::map<int, std::size_t> next, count;
    std::map<int, long> lastStamp;
    for (std::size_t i = 1; i < lines.size(); ++i) {
        const auto& f = lines[i];
        ASSERT_EQ(f.size(), 8u) << i;
        const int obj = std::stoi(f[3]);
        ASSERT_TRUE(specs.count(obj)) << i;
        const sim::CyclicSpec& spec = *specs[obj];
        EXPECT_EQ(std::stoi(f[4]), spec.type) << i;
        char status[3];
        std::snprintf(status, sizeof status, "%02X", spec.status);
        EXPECT_EQ(f[7], status) << i;
        const double value = std::strtod(f[5].c_str(), nullptr);
        double sent = spec.value;
        std::size_t k = 0;
        for (; k < 1000; ++k, sent += spec.step) {
            const double onBus = spec.type == 2 ? sent : static_cast<float>(sent);
            if (k >= next[obj] && onBus == value) break;
        }
        ASSERT_LT(k, 1000u) << "line " << i << ": " << f[5] << " was never sent for " << obj;
        // From the first value on, each one the device sent, once.
        if (count[obj] > 0) {
            EXPECT_EQ(k, next[obj]) << "line " << i << ": values lost";
        }
        next[obj] = k + 1;
        ++count[obj];
        const long stamp = std::stol(f[6]);
        if (spec.type == 0)
            EXPECT_GE(stamp, lastStamp[obj]) << i;
        else
            EXPECT_EQ(stamp, 0) << i;
        lastStamp[obj] = stamp;
    }
    // 2 s at 100 ms and 200 ms periods.
    EXPECT_GE(count[3], 15u);
    EXPECT_GE(count[4], 8u);
    EXPECT_GE(count[5], 15u);
}

TEST_F(RecordOnSimulator, AcyclicRequestsAroundARecordAllComplete) {
    ASSERT_TRUE(Connect());
    ASSERT_TRUE(Request("q1", Transaction(1217, 29)));  // on the bus as the record starts
    ASSERT_TRUE(Request("r1", StartRec("0300", 1, File("r.csv"))));
    ASSERT_TRUE(Request("q2", Transaction(100, 1)));  // waits for the record's end
    ASSERT_TRUE(Pump([&] { return device->Count("transaction") == 3; }));
    EXPECT_EQ(Data(device->For("q1")->document), "0A0B0C0D");
    EXPECT_EQ(RecordState(device->For("r1")->document), "finished");
    EXPECT_EQ(Data(device->For("q2")->document), "01020304");
    EXPECT_GT(CsvLines(File("r.csv")).size(), 1u);
}

TEST_F(RecordOnSimulator, OverrunEndsTheRecordAndKeepsItsValues) {
    dtm->put_PersistentBufferSizeValue(1);
    ASSERT_TRUE(Connect());
    ASSERT_TRUE(Request("r1", StartRec("030004010502", 60, File("over.csv"))));
    ASSERT_TRUE(Request("q1", Transaction(1217, 29)));
    // A buffer this small would overrun the read as well: the queued read goes out with a
    // usable one.
    device->onAnswer = [&](const DeviceDtm::Answer& a) {
        if (a.invokeId == "r1") dtm->put_PersistentBufferSizeValue(200);
    };
    ASSERT_TRUE(Pump([&] { return device->Count("transaction") == 2; }));
    EXPECT_EQ(RecordState(device->For("r1")->document), "MemoryOverflow");
    EXPECT_EQ(Data(device->For("q1")->document), "0A0B0C0D") << device->For("q1")->document;
    EXPECT_GT(CsvLines(File("over.csv")).size(), 1u);
}

TEST_F(RecordOnSimulator, RefusedRecordsAnswerRecFailOnce) {
    ASSERT_TRUE(Connect());
    std::filesystem::create_directories(File("adir"));
    std::ofstream(File("plain")) << "x";
    const std::string ten = [] {
        std::string p;
        for (int i = 1; i <= 11; ++i) p += "0300";
        return p;
    }();
    const struct {
        std::string pairs;  // with the record time
        std::string file;
        const char* why;
    } cases[] = {
        {ten + "0002", File("a.csv"), "eleven pairs"},
        {"00000002", File("a.csv"), "object 0"},
        {"1F000002", File("a.csv"), "object 31"},
        {"05050002", File("a.csv"), "type 5"},
        {"03000000", File("a.csv"), "record time 0"},
        {"01", File("a.csv"), "no record time"},
        {"030000", File("a.csv"), "half a pair"},
        {"03000002", "", "no file name"},
        {"03000002", File("adir"), "a folder"},
        {"03000002", File("plain") + "/a.csv", "a file as folder"},
    };
    int n = 0;
    for (const auto& c : cases) {
        const std::string id = "r" + std::to_string(++n);
        // The data as given, record time included.
        std::string doc = Transaction(0, 0, 0, c.pairs, 5, "StartRec");
        doc.insert(doc.find("\"StartRec\"") + 10, " FilePath=\"" + c.file + "\"");
        EXPECT_FALSE(Request(id, doc)) << c.why;
        ASSERT_NE(device->For(id), nullptr) << c.why;
        EXPECT_EQ(RecordState(device->For(id)->document), "recFail") << c.why;
    }
    EXPECT_EQ(device->Count("transaction"), std::size(cases));
    // A second start while one runs is answered at once and leaves the first alone.
    ASSERT_TRUE(Request("run", StartRec("0300", 1, File("ok.csv"))));
    ASSERT_TRUE(Request("again", StartRec("0400", 1, File("other.csv"))));
    EXPECT_EQ(RecordState(device->For("again")->document), "inProgress");
    ASSERT_TRUE(Pump([&] { return device->For("run") != nullptr; }));
    EXPECT_EQ(RecordState(device->For("run")->document), "finished");
    EXPECT_FALSE(std::filesystem::exists(File("other.csv")));
}

class RecordWritingEachLine : public RecordOnSimulator {
protected:
    RecordWritingEachLine() : RecordOnSimulator(0) {}
};

TEST_F(RecordWritingEachLine, StopAnswersBothAndNothingIsWrittenAfterIt) {
    ASSERT_TRUE(Connect());
    const std::string file = File("stop.csv");
    ASSERT_TRUE(Request("r1", StartRec("0300", 60, file)));
    ASSERT_TRUE(Pump([&] { return CsvLines(file).size() >= 3; }));
    ASSERT_TRUE(Request("q1", Transaction(1217, 29)));
    EXPECT_EQ(device->For("q1"), nullptr);  // held while the record runs
    ASSERT_TRUE(Request("s1", StopRec()));
    ASSERT_NE(device->For("r1"), nullptr);
    ASSERT_NE(device->For("s1"), nullptr);
    EXPECT_EQ(RecordState(device->For("r1")->document), "aborted");
    EXPECT_EQ(RecordState(device->For("s1")->document), "finished");
    ASSERT_TRUE(Pump([&] { return device->For("q1") != nullptr; }));
    const std::size_t written = CsvLines(file).size();
    // Reception runs again for these reads while the device keeps sending values.
    for (const char* id : {"q2", "q3", "q4"})
        EXPECT_EQ(Data(Transact(id, Transaction(1217, 29))), "0A0B0C0D");
    EXPECT_EQ(CsvLines(file).size(), written);
    // No record runs: accepted, never answered.
    EXPECT_TRUE(Request("s2", StopRec()));
    EXPECT_EQ(Data(Transact("q5", Transaction(1217, 29))), "0A0B0C0D");
    EXPECT_EQ(device->For("s2"), nullptr);
}

#endif

#ifdef TIVMATE_SOAK
// Long randomized traffic with faults: reads, writes, failing and delayed objects, polls,
// records started, refused and stopped, aborts, disconnects. Every accepted request is
// answered exactly once ("StopRec" with no record may go unanswered, a refused "StartRec" is
// answered "recFail"), nothing dropped by Abort is answered, and memory stays flat.
class Soak : public RecordOnSimulator {
protected:
    Soak() : RecordOnSimulator(4096, 50) {}
};

std::size_t ResidentBytes() {
    std::ifstream statm("/proc/self/statm");
    std::size_t pages = 0, resident = 0;
    statm >> pages >> resident;
    return resident * static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
}

TEST_F(Soak, EveryAcceptedRequestIsAnsweredOnceAndMemoryStaysFlat) {
    dtm->put_PersistentCommRetriesValue(1);
    dtm->put_PersistentMaxStackValue(6);
    ASSERT_TRUE(Connect());
    std::mt19937 random(1717);
    const char* faults[] = {"drop-answer", "corrupt-checksum", "wrong-sub"};
    // The bookkeeping covers the requests in flight only, so it does not grow with the run:
    // `owed` must be answered once, `optional` at most once; any other answer is unexpected.
    std::map<std::string, int> answered;
    std::set<std::string> owed, optional, records;
    std::vector<std::string> unexpected, wrongCount;
    int timeouts = 0, values = 0;
    std::map<std::string, int> recordEnds;
    device->onAnswer = [&](const DeviceDtm::Answer& a) {
        if (a.kind != "transaction") return;
        if (!owed.count(a.invokeId) && !optional.count(a.invokeId)) {
            if (unexpected.size() < 20) unexpected.push_back(a.invokeId);
            return;
        }
        ++answered[a.invokeId];
        timeouts += Error(a.document) == "timeout";
        values += !Data(a.document).empty();
        if (const auto state = RecordState(a.document); !state.empty()) ++recordEnds[state];
    };
    const auto settled = [&] {
        for (const auto& id : owed)
            if (!answered.count(id)) return false;
        return true;
    };
    const auto checkAndForget = [&] {
        for (const auto& id : owed)
            if (answered[id] != 1 && wrongCount.size() < 20) wrongCount.push_back(id);
        for (const auto& id : optional)
            if (answered.count(id) && answered[id] > 1 && wrongCount.size() < 20)
                wrongCount.push_back(id);
        owed.clear();
        optional.clear();
        records.clear();
        answered.clear();
        device->answers.clear();
        monitor->lines.clear();
    };
    const std::string file = File("soak\\record.csv");
    constexpr int kRequests = 20000, kWarmUp = 2000;
    std::size_t rssWarm = 0;
    int sent = 0, disconnects = 0, aborts = 0, starts = 0;
    while (sent < kRequests) {
        if (sent >= kWarmUp && rssWarm == 0) rssWarm = ResidentBytes();
        if (random() % 5 == 0)
            simulator->control(std::string(faults[random() % 3]) + " " +
                               std::to_string(random() % 3));
        const int burst = 1 + static_cast<int>(random() % 6);
        for (int k = 0; k < burst; ++k) {
            const std::string id = "i" + std::to_string(sent++);
            const int kind = static_cast<int>(random() % 40);
            if (kind == 0) {
                // Whatever is queued or on the bus is dropped unanswered; a record runs on.
                for (auto it = owed.begin(); it != owed.end();)
                    it = !answered.count(*it) && !records.count(*it) ? owed.erase(it)
                                                                     : std::next(it);
                dtm->Abort("");
                ++aborts;
                continue;
            }
            if (kind == 1) {
                com::VARIANT_BOOL ok = com::VARIANT_FALSE;
                dtm->DisconnectRequest("d" + id, "", &ok);
                ASSERT_TRUE(ok);
                // The disconnect waits for every request and a running record.
                ASSERT_TRUE(Pump([&] { return device->For("d" + id) != nullptr; }));
                ASSERT_TRUE(settled()) << id;
                checkAndForget();
                ASSERT_TRUE(Connect());
                ++disconnects;
                continue;
            }
            std::string doc;
            if (kind < 4) {
                // Ten pairs at most, objects 1..30, types 0..2: one in four is refused.
                std::string pairs;
                const int n = 1 + static_cast<int>(random() % 3);
                for (int p = 0; p < n; ++p) {
                    char pair[24];
                    std::snprintf(pair, sizeof pair, "%02X%02X", 3 + p, p);
                    pairs += pair;
                }
                if (random() % 4 == 0) pairs += "1F00";
                doc = StartRec(pairs, 1, file);
                records.insert(id);
                owed.insert(id);  // a refused start is answered "recFail"
                ++starts;
            } else if (kind < 6) {
                doc = StopRec();
                optional.insert(id);
            } else if (kind < 8) {
                doc = Transaction(1301, 2);
            } else if (kind < 9) {
                doc = Transaction(0, 0, 0, "", 5, "ReadDelayedResponse");
            } else if (kind < 12) {
                doc = Transaction(1300, 1);
            } else if (kind < 16) {
                doc = Transaction(1218, 29, 193, "54495620");
            } else {
                doc = Transaction(1217, 29);
            }
            if (!records.count(id) && !optional.count(id)) owed.insert(id);
            if (!Request(id, doc) && !records.count(id)) owed.erase(id);
        }
        ASSERT_TRUE(Pump(settled, 120s)) << sent;
        checkAndForget();
    }
    simulator->control("clear");
    // Late answers to dropped requests would come before the disconnect's.
    com::VARIANT_BOOL ok = com::VARIANT_FALSE;
    dtm->DisconnectRequest("last", "", &ok);
    ASSERT_TRUE(Pump([&] { return device->For("last") != nullptr; }));
    checkAndForget();
    const std::size_t rssEnd = ResidentBytes();

    EXPECT_THAT(unexpected, testing::IsEmpty()) << "answered though dropped, refused or done";
    EXPECT_THAT(wrongCount, testing::IsEmpty()) << "not answered exactly once";
    EXPECT_GT(aborts, 100);
    EXPECT_GT(disconnects, 100);
    EXPECT_GT(starts, 1000);
    EXPECT_GT(timeouts, 0);
    EXPECT_GT(values, kRequests / 4);
    for (const char* state : {"finished", "recFail", "aborted"})
        EXPECT_GT(recordEnds[state], 0) << state;
    EXPECT_EQ(CsvLines(app.path() / "soak" / "record.csv").at(0).at(0), "Date");
    RecordProperty("rss_warm_kib", static_cast<int>(rssWarm / 1024));
    RecordProperty("rss_end_kib", static_cast<int>(rssEnd / 1024));
    EXPECT_LE(static_cast<double>(rssEnd), static_cast<double>(rssWarm) * 1.05)
        << "warm " << rssWarm << " end " << rssEnd;
}
#endif

}  // namespace
