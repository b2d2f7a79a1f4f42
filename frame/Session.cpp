#include "Session.h"

#include <charconv>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>

#include <nlohmann/json.hpp>

#include "ProjectFile.h"
#include "com/CoCreate.h"
#include "com/ErrorInfo.h"
#include "com/Registry.h"
#include "fdt/PropertyBag.h"
#include "host/StopSignals.h"
#include "os/MessageQueue.h"
#include "os/TimeUtil.h"
#include "tivlink/ITivDriver.h"
#include "xml/Document.h"

namespace tivframe {

namespace {

constexpr std::string_view kDeviceTypeOpen =
    R"(<FDT xmlns="x-schema:DTMInitSchema.xml" xmlns:fdt="x-schema:FDTDataTypesSchema.xml">)";

std::optional<double> Number(const std::string& text) {
    double value = 0;
    const auto [end, err] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (err != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

std::optional<std::int32_t> LanguageId(const std::string& text) {
    std::int32_t value = 0;
    const bool hex = text.starts_with("0x") || text.starts_with("0X");
    const char* begin = text.data() + (hex ? 2 : 0);
    const auto [end, err] = std::from_chars(begin, text.data() + text.size(), value, hex ? 16 : 10);
    if (err != std::errc() || end != text.data() + text.size() || begin == end) return std::nullopt;
    return value;
}

nlohmann::json ToJson(const com::Variant& v) {
    const com::Variant value = v.value();
    switch (value.vt()) {
        case com::VT_EMPTY:
            return nullptr;
        case com::VT_BOOL:
            return value.boolVal() != 0;
        case com::VT_BSTR:
            return value.bstr();
        default:
            break;
    }
    if (auto n = value.toInt64()) return *n;
    com::Variant text;
    if (com::SUCCEEDED(com::ChangeType(text, value, com::VT_BSTR))) return text.bstr();
    return value.describe();
}

std::string ToText(const com::Variant& v) {
    const auto j = ToJson(v);
    return j.is_string() ? j.get<std::string>() : j.dump();
}

std::string ErrorOf(com::HRESULT hr) {
    char code[16];
    std::snprintf(code, sizeof code, "0x%08X", static_cast<unsigned>(hr));
    auto info = com::takeErrorInfo();
    return std::string(code) + (info && !info->description.empty() ? ": " + info->description
                                                                   : ": " + com::hresultText(hr));
}

const std::vector<std::pair<std::string, int>> kSteps = {{"create", 0},
                                                         {"text", 1},
                                                         {"status", 0},
                                                         {"release", 0},
                                                         {"new", 0},
                                                         {"open", 1},
                                                         {"environment", 1},
                                                         {"config", 1},
                                                         {"language", 1},
                                                         {"wait-ready", -1},
                                                         {"get", 1},
                                                         {"set", 2},
                                                         {"save", 1},
                                                         {"release-communication", 0},
                                                         {"demo", 0},
                                                         {"info", 0},
                                                         {"parameters", 0},
                                                         {"functions", 0},
                                                         {"documentation", 1},
                                                         {"progid", 1},
                                                         {"guid", 1},
                                                         {"channels", 0},
                                                         {"channel-parameters", 0},
                                                         {"validate-add-child", 1},
                                                         {"add-child", 1},
                                                         {"remove-child", 1},
                                                         // Playing a device DTM.
                                                         {"connect", 0},
                                                         {"disconnect", 0},
                                                         {"read", 2},
                                                         {"write", 3},
                                                         {"request", 1},
                                                         {"delayed", 0},
                                                         {"abort", 0},
                                                         {"protocols", 0},
                                                         {"record", 0}};

// A frame's function call for one function identifier.
std::string FunctionCall(const std::string& id) {
    return R"(<FDT xmlns="x-schema:DTMFunctionCallSchema.xml" xmlns:func="x-schema:DTMFunctionsSchema.xml"><FDTFunctionCall func:functionId=")" +
           xml::escapeText(id) + R"("/></FDT>)";
}

constexpr char kTivProtocolId[] = "81684E65-6385-4690-ACCF-49995B3B4E8B";
constexpr char kTivNamespaces[] =
    R"(xmlns="x-schema:FDTTivCommunicationSchema.xml" xmlns:fdt="x-schema:FDTDataTypesSchema.xml")";

std::string TransactionDocument(const std::string& obj, const std::string& sub, int control,
                                const std::string& hex, const std::string& special = "") {
    std::string doc = std::string("<FDT ") + kTivNamespaces +
                      R"(><DataExchangeRequest CommunicationReference="" Control=")" +
                      std::to_string(control) + "\"";
    if (!special.empty()) doc += " SpecialFunction=\"" + xml::escapeText(special) + "\"";
    doc += R"(><CommunicationHeader MessageType="5" ObjectType="0" NoOfBytes=")" +
           std::to_string(4 + (hex.size() + 1) / 2) + R"(" SubNo=")" + xml::escapeText(sub) +
           R"(" ObjectNo=")" + xml::escapeText(obj) + "\"";
    if (!hex.empty()) doc += " CommunicationData=\"" + xml::escapeText(hex) + "\"";
    return doc + "/></DataExchangeRequest></FDT>";
}

// "3:0,4:1,5:2" as the record's data bytes (object, type per value); empty on a bad list.
std::string RecordPairsHex(const std::string& pairs) {
    std::string hex;
    std::stringstream list(pairs);
    for (std::string pair; std::getline(list, pair, ',');) {
        unsigned obj = 0, type = 0;
        char colon = 0, extra = 0;
        std::istringstream in(pair);
        if (!(in >> obj >> colon >> type) || colon != ':' || in >> extra || obj > 255 || type > 255)
            return {};
        char bytes[5];
        std::snprintf(bytes, sizeof bytes, "%02X%02X", obj, type);
        hex += bytes;
    }
    return hex;
}

constexpr char kHeader[] = "FDT/DataExchangeResponse/CommunicationHeader";

// An attribute of an answer document at PATH ("FDT/…"); "" when absent or not XML.
std::string AttributeOf(const std::string& doc, const std::string& path, const std::string& name) {
    xml::Document parsed;
    parsed.validateOnParse = false;
    if (!parsed.loadXML(doc)) return {};
    const xml::Node node = parsed.selectSingleNode(path);
    return node ? node.getAttribute(name).value_or("") : std::string();
}

}  // namespace

Session::Session(Options options) : options_(std::move(options)) {
    frame_ = FrameHost::create(
        options_.schemas.string(), [this](const std::string& event, const std::string& detail) {
            Print("event", {{"event", com::Variant(event)}, {"detail", com::Variant(detail)}});
        });
    monitor_ = MonitorLines::create([this](const std::string& line, std::int32_t color) {
        if (options_.monitor)
            Print("monitor", {{"line", com::Variant(line)}, {"color", com::Variant(color)}});
    });
}

Session::~Session() {
    dtm_.reset();
}

// ---- playing a device DTM ----

com::ComPtr<fdt::IFdtCommunication> Session::Communication() {
    com::ComPtr<fdt::IFdtCommunication> communication;
    dtm_->QueryInterface(fdt::IFdtCommunication::iid, communication.putVoid());
    return communication;
}

std::string Session::NextInvokeId(const std::string& step) {
    return step + "-" + std::to_string(++invokeCount_);
}

bool Session::WaitAnswer(const std::string& kind, const std::string& invokeId, double seconds) {
    auto done = [&] { return device_->Find(kind, invokeId) || host::Interrupted(); };
    os::MessageQueue::current().runUntil(done, host::Nominal(seconds),
                                         std::chrono::milliseconds(5));
    return device_->Find(kind, invokeId) != nullptr;
}

bool Session::Connect() {
    auto communication = Communication();
    if (!communication) {
        Failed("connect", "the DTM has no IFdtCommunication");
        return false;
    }
    if (!device_) device_ = DeviceDtm::create();
    const std::string id = NextInvokeId("connect");
    const std::string doc = std::string("<FDT ") + kTivNamespaces +
                            R"(><ConnectRequest fdt:tag=")" + options_.tag + R"("/></FDT>)";
    com::VARIANT_BOOL ok = com::VARIANT_FALSE;
    if (!Check("connect", communication->ConnectRequest(
                              static_cast<fdt::IFdtCommunicationEvents*>(device_.get()), id,
                              kTivProtocolId, doc, &ok)))
        return false;
    if (!ok) {
        Failed("connect", "refused (is the adapter ready? run wait-ready first)");
        return false;
    }
    if (!WaitAnswer("connect", id, 10)) {
        Failed("connect", "accepted, but no connect response came");
        return false;
    }
    const auto& doc2 = device_->Find("connect", id)->document;
    Print("connect",
          {{"invokeId", com::Variant(id)},
           {"communicationReference",
            com::Variant(AttributeOf(doc2, "FDT/ConnectResponse", "CommunicationReference"))},
           {"document", com::Variant(doc2)}});
    return true;
}

bool Session::Disconnect() {
    auto communication = Communication();
    const std::string id = NextInvokeId("disconnect");
    com::VARIANT_BOOL ok = com::VARIANT_FALSE;
    if (!communication || !Check("disconnect", communication->DisconnectRequest(id, "", &ok)))
        return false;
    if (!ok) {
        Failed("disconnect", "refused (no connection?)");
        return false;
    }
    if (!WaitAnswer("disconnect", id, 600)) {
        Failed("disconnect", "accepted, but no disconnect response came");
        return false;
    }
    Print("disconnect", {{"invokeId", com::Variant(id)},
                         {"document", com::Variant(device_->Find("disconnect", id)->document)}});
    return true;
}

bool Session::Transaction(const std::string& step, const std::string& document) {
    auto communication = Communication();
    if (!communication || !device_) {
        Failed(step, "no connection (run \"connect\" first)");
        return false;
    }
    const std::string id = NextInvokeId(step);
    com::VARIANT_BOOL ok = com::VARIANT_FALSE;
    if (!Check(step, communication->TransactionRequest(id, document, &ok))) return false;
    if (!ok) {
        Failed(step, "refused (no connection, or a malformed document: see --monitor)");
        return false;
    }
    // Every repetition may take the whole time-out: wait as long as the queue can.
    if (!WaitAnswer("transaction", id, 600)) {
        Failed(step, "no answer");
        return false;
    }
    const std::string& answer = device_->Find("transaction", id)->document;
    const std::string error = AttributeOf(answer, "FDT/TivCommError", "TivcommError");
    if (!error.empty()) {
        Print(step,
              {{"invokeId", com::Variant(id)},
               {"error", com::Variant(error)},
               {"busActive", com::Variant(AttributeOf(answer, "FDT/TivCommError", "TivActive"))},
               {"document", com::Variant(answer)}});
        Failed(step, "answered with the error \"" + error + "\"");
        return false;
    }
    std::vector<std::pair<std::string, com::Variant>> fields = {
        {"invokeId", com::Variant(id)},
        {"status", com::Variant(AttributeOf(answer, "FDT/DataExchangeResponse", "Status"))},
        {"objectNo", com::Variant(AttributeOf(answer, kHeader, "ObjectNo"))},
        {"subNo", com::Variant(AttributeOf(answer, kHeader, "SubNo"))},
        {"data", com::Variant(AttributeOf(answer, kHeader, "CommunicationData"))}};
    const std::string record = AttributeOf(answer, "FDT/DataExchangeResponse", "RecordState");
    if (!record.empty()) fields.emplace_back("recordState", com::Variant(record));
    fields.emplace_back("document", com::Variant(answer));
    Print(step, fields);
    return true;
}

bool Session::Delayed() {
    auto communication = Communication();
    if (!communication || !device_) {
        Failed("delayed", "no connection (run \"connect\" first)");
        return false;
    }
    const auto deadline = os::clock().now() + host::Nominal(30);
    for (;;) {
        const std::string id = NextInvokeId("delayed");
        com::VARIANT_BOOL ok = com::VARIANT_FALSE;
        if (!Check("delayed",
                   communication->TransactionRequest(
                       id, TransactionDocument("0", "0", 0, "", "ReadDelayedResponse"), &ok)))
            return false;
        if (!ok || !WaitAnswer("transaction", id, 10)) {
            Failed("delayed", ok ? "no answer" : "refused");
            return false;
        }
        const std::string answer = device_->Find("transaction", id)->document;
        const std::string data = AttributeOf(answer, kHeader, "CommunicationData");
        const int state = data.size() >= 2 ? std::stoi(data.substr(0, 2), nullptr, 16) : 0;
        // Announced but not yet delivered: ask again a little later.
        if ((state & 0x80) && !(state & 0x40) && os::clock().now() < deadline &&
            !host::Interrupted()) {
            os::MessageQueue::current().runUntil([] { return host::Interrupted(); },
                                                 host::Nominal(0.1), std::chrono::milliseconds(5));
            continue;
        }
        auto hexField = [&](std::size_t at, std::size_t n) {
            return data.size() >= at + n ? std::stoi(data.substr(at, n), nullptr, 16) : 0;
        };
        Print("delayed", {{"invokeId", com::Variant(id)},
                          {"state", com::Variant(state)},
                          {"announced", com::Variant((state & 0x80) != 0)},
                          {"arrived", com::Variant((state & 0x40) != 0)},
                          {"objectNo", com::Variant(hexField(2, 4))},
                          {"subNo", com::Variant(hexField(6, 2))},
                          {"length", com::Variant(hexField(10, 2))},
                          {"data", com::Variant(data.size() > 12 ? data.substr(12) : "")},
                          {"document", com::Variant(answer)}});
        return true;
    }
}

bool Session::AbortRequests() {
    auto communication = Communication();
    if (!communication || !Check("abort", communication->Abort(""))) return false;
    Print("abort", {{"aborted", com::Variant(true)}});
    return true;
}

bool Session::Protocols() {
    auto communication = Communication();
    std::string doc;
    if (!communication || !Check("protocols", communication->GetSupportedProtocols(&doc)))
        return false;
    Print("protocols",
          {{"busCategory", com::Variant(AttributeOf(doc, "fdt:BusCategory", "busCategory"))},
           {"document", com::Variant(doc)}});
    return true;
}

bool Session::Record(const std::string& pairs, int seconds, std::filesystem::path file) {
    auto communication = Communication();
    if (!communication || !device_) {
        Failed("record", "no connection (run \"connect\" first)");
        return false;
    }
    if (file.empty()) {
        const os::SystemTime t = os::localSystemTime(std::chrono::system_clock::now());
        char name[64];
        std::snprintf(name, sizeof name, "record-%04u%02u%02u-%02u%02u%02u.csv", t.year, t.month,
                      t.day, t.hour, t.minute, t.second);
        file = name;
    }
    std::error_code ec;
    file = std::filesystem::absolute(file, ec).lexically_normal();
    char time[8];
    std::snprintf(time, sizeof time, "%04X", seconds);
    std::string doc = TransactionDocument("0", "0", 0, RecordPairsHex(pairs) + time, "StartRec");
    const std::string special = "SpecialFunction=\"StartRec\"";
    doc.insert(doc.find(special) + special.size(),
               " FilePath=\"" + xml::escapeText(file.string()) + "\"");
    const std::string id = NextInvokeId("record");
    com::VARIANT_BOOL ok = com::VARIANT_FALSE;
    if (!Check("record", communication->TransactionRequest(id, doc, &ok))) return false;
    if (!ok && !device_->Find("transaction", id)) {
        Failed("record", "refused (no connection?)");
        return false;
    }
    if (!options_.json) std::cout << "record: " << file.string() << std::endl;
    // Progress once a second; the DTM's record timer ends the record.
    for (int elapsed = 0; !device_->Find("transaction", id) && !host::Interrupted();) {
        os::MessageQueue::current().runUntil(
            [&] { return device_->Find("transaction", id) || host::Interrupted(); },
            host::Nominal(1.0), std::chrono::milliseconds(5));
        if (device_->Find("transaction", id)) break;
        if (++elapsed > seconds + 600) break;
        if (options_.json)
            std::cout << nlohmann::json{{"step", "record"},
                                        {"progress", elapsed},
                                        {"seconds", seconds}}
                             .dump()
                      << std::endl;
        else
            std::cout << "record: " << std::min(elapsed, seconds) << " of " << seconds << " s"
                      << std::endl;
    }
    const auto* answer = device_->Find("transaction", id);
    if (!answer) {
        Failed("record", host::Interrupted() ? "interrupted" : "no answer");
        return false;
    }
    const std::string state =
        AttributeOf(answer->document, "FDT/DataExchangeResponse", "RecordState");
    std::size_t lines = 0;
    if (std::ifstream csv(file, std::ios::binary); csv)
        lines = static_cast<std::size_t>(std::count(std::istreambuf_iterator<char>(csv),
                                                    std::istreambuf_iterator<char>(), '\n'));
    Print("record", {{"invokeId", com::Variant(id)},
                     {"recordState", com::Variant(state)},
                     {"file", com::Variant(file.string())},
                     {"values", com::Variant(static_cast<std::int32_t>(lines > 0 ? lines - 1 : 0))},
                     {"document", com::Variant(answer->document)}});
    if (state != "finished") {
        Failed("record", "the record ended \"" + state + "\"");
        return false;
    }
    return true;
}

const char* Session::StepHelp() {
    return "Steps (run in order on one DTM):\n"
           "  create                 create Tivmate.DTMMain\n"
           "  new                    initialise it as a new project entry and bring it up\n"
           "  open FILE              the same from a saved project file\n"
           "  environment TAG        embed it under TAG\n"
           "  config LEVEL           observer, operator, maintenance or planningEngineer\n"
           "  language ID            switch language (9 English, 7 German; 0x407 allowed)\n"
           "  wait-ready [SECONDS]   pump until the adapter's firmware runs and the bus is\n"
           "                         connected (default 60 nominal seconds)\n"
           "  status                 the DTM's status values\n"
           "  text KEY               a dictionary text in the current language\n"
           "  get NAME               a property of _DTMMain\n"
           "  set NAME VALUE         write a Persistent property and announce the change\n"
           "  save FILE              save the project file\n"
           "  release-communication  prepare to release and release communication\n"
           "  release                PrepareToRelease and drop the DTM\n"
           "  connect                connect as a device DTM (after wait-ready)\n"
           "  read OBJ SUB           read an object of the device: the answer document\n"
           "  write OBJ SUB HEX      write hex data to an object of the device\n"
           "  request FILE           send any transaction document from FILE\n"
           "  delayed                collect a delayed answer (waits while one is announced)\n"
           "  abort                  drop the queued requests\n"
           "  disconnect             disconnect the device DTM\n"
           "  protocols              the supported protocols document\n"
           "  record                 a cyclic record to a CSV file, set by the options\n"
           "                         --pairs OBJ:TYPE,... --seconds N [--file F] (default\n"
           "                         record-<time>.csv here); shows progress and the file\n"
           "  demo                   bring the DTM up on the simulated adapter, connect, read,\n"
           "                         write, read a delayed answer, disconnect, switch language,\n"
           "                         change, save, release, reopen and show\n"
           "  info                   the DTM's information document\n"
           "  parameters             its parameter document\n"
           "  functions              its functions document\n"
           "  documentation ID       its documentation of function ID (10: the parameters)\n"
           "  progid ID, guid ID     the control it offers for function ID\n"
           "  channels               its channels and their paths\n"
           "  channel-parameters     the first channel's parameter document\n"
           "  validate-add-child TAG whether the channel takes a child TAG\n"
           "  add-child TAG          validate and add a child TAG below the channel\n"
           "  remove-child TAG       validate and remove the child TAG\n"
           "new and open create the DTM when none exists. Documents are checked against the\n"
           "frame's schemas; one that does not load fails its step.\n";
}

std::optional<std::vector<Session::Step>> Session::Parse(const std::vector<std::string>& words,
                                                         std::string& error) {
    std::vector<Step> steps;
    for (std::size_t i = 0; i < words.size();) {
        const auto it = std::find_if(kSteps.begin(), kSteps.end(),
                                     [&](const auto& s) { return s.first == words[i]; });
        if (it == kSteps.end()) {
            error = "unknown step \"" + words[i] + "\"";
            return std::nullopt;
        }
        Step step{words[i++], {}};
        int count = it->second;
        if (count < 0) count = (i < words.size() && Number(words[i])) ? 1 : 0;
        for (int k = 0; k < count; ++k) {
            if (i >= words.size()) {
                error = "step \"" + step.name + "\" needs " + std::to_string(it->second) +
                        " argument(s)";
                return std::nullopt;
            }
            step.args.push_back(words[i++]);
        }
        if ((step.name == "read" || step.name == "write") &&
            (!Number(step.args[0]) || !Number(step.args[1]))) {
            error = step.name + ": object and sub number must be numbers";
            return std::nullopt;
        }
        if (step.name == "language" && !LanguageId(step.args[0])) {
            error = "language: \"" + step.args[0] + "\" is not a language id";
            return std::nullopt;
        }
        steps.push_back(std::move(step));
    }
    if (steps.empty()) error = "no steps given";
    return steps.empty() ? std::nullopt : std::optional(std::move(steps));
}

int Session::Run(const std::vector<std::string>& words) {
    std::string error;
    auto steps = Parse(words, error);
    const bool records = steps && std::any_of(steps->begin(), steps->end(),
                                              [](const Step& s) { return s.name == "record"; });
    if (records && (options_.recordSeconds < 1 || RecordPairsHex(options_.recordPairs).empty())) {
        error = "record: needs --pairs OBJ:TYPE,... and --seconds N (1..65535)";
        steps.reset();
    }
    if (!steps) {
        std::cerr << "tivframe: " << error << "\n";
        return 2;
    }
    for (const auto& step : *steps)
        if (!Do(step)) return 1;
    return 0;
}

bool Session::Do(const Step& s) {
    const auto& a = s.args;
    if (s.name == "create") return Create();
    if (s.name == "demo") return Demo();
    // A project entry starts with its DTM: "new" alone is enough.
    if ((s.name == "new" || s.name == "open") && !dtm_ && !Create()) return false;
    if (!NeedDtm(s.name)) return false;
    if (s.name == "text") return Text(a[0]);
    if (s.name == "status") return Status();
    if (s.name == "release") return Release();
    if (s.name == "new") return NewOrOpen(std::nullopt);
    if (s.name == "open") return NewOrOpen(std::filesystem::path(a[0]));
    if (s.name == "environment") return Environment(a[0]);
    if (s.name == "config") return Config(a[0]);
    if (s.name == "language") return Language(*LanguageId(a[0]));
    if (s.name == "wait-ready") return WaitReady(a.empty() ? 60.0 : *Number(a[0]));
    if (s.name == "get") return Get(a[0]);
    if (s.name == "set") return Set(a[0], a[1]);
    if (s.name == "save") return Save(a[0]);
    if (s.name == "release-communication") return ReleaseCommunication();
    if (s.name == "info" || s.name == "parameters" || s.name == "functions" ||
        s.name == "documentation" || s.name == "progid" || s.name == "guid")
        return Document(s.name, a.empty() ? std::string() : a[0]);
    if (s.name == "channels") return Channels();
    if (s.name == "channel-parameters") return ChannelParameters();
    if (s.name.ends_with("-child")) return Child(s.name, a[0]);
    if (s.name == "connect") return Connect();
    if (s.name == "disconnect") return Disconnect();
    if (s.name == "read") return Transaction("read", TransactionDocument(a[0], a[1], 192, ""));
    if (s.name == "write") return Transaction("write", TransactionDocument(a[0], a[1], 193, a[2]));
    if (s.name == "request") {
        const auto text = xml::loadTextFile(a[0]);
        if (!text) {
            Failed("request", "cannot read " + a[0]);
            return false;
        }
        return Transaction("request", *text);
    }
    if (s.name == "delayed") return Delayed();
    if (s.name == "abort") return AbortRequests();
    if (s.name == "protocols") return Protocols();
    if (s.name == "record")
        return Record(options_.recordPairs, options_.recordSeconds, options_.recordFile);
    return false;
}

bool Session::NeedDtm(const std::string& step) {
    if (dtm_) return true;
    Failed(step, "no DTM (run \"create\" first)");
    return false;
}

void Session::Print(const std::string& step,
                    const std::vector<std::pair<std::string, com::Variant>>& fields) {
    if (options_.json) {
        nlohmann::json j;
        j["step"] = step;
        for (const auto& [k, v] : fields) j[k] = ToJson(v);
        std::cout << j.dump() << std::endl;
        return;
    }
    std::cout << step << ":";
    for (const auto& [k, v] : fields) std::cout << " " << k << "=" << ToText(v);
    std::cout << std::endl;
}

void Session::Failed(const std::string& step, const std::string& why) {
    if (options_.json) {
        std::cout << nlohmann::json{{"step", step}, {"error", why}}.dump() << std::endl;
    } else {
        std::cerr << "tivframe: " << step << ": " << why << "\n";
    }
}

bool Session::Check(const std::string& step, com::HRESULT hr) {
    if (com::SUCCEEDED(hr)) return true;
    Failed(step, ErrorOf(hr));
    return false;
}

com::HRESULT Session::Invoke(const std::string& name, std::uint16_t flags,
                             std::vector<com::Variant> args, com::Variant* result) {
    const std::string_view names[] = {name};
    com::DISPID id = com::DISPID_UNKNOWN;
    com::HRESULT hr = dtm_->GetIDsOfNames(names, com::LOCALE_USER_DEFAULT, &id);
    if (com::FAILED(hr))
        return com::reportError(hr, tivmate::IID__DTMMain, "tivframe",
                                "_DTMMain has no member \"" + name + "\"");
    const com::DISPID put[] = {com::DISPID_PROPERTYPUT};
    com::DispParams params{
        args, flags == com::DISPATCH_PROPERTYPUT ? std::span(put) : std::span<const com::DISPID>()};
    com::ExcepInfo excep;
    hr = dtm_->Invoke(id, flags, params, result, &excep, nullptr);
    if (com::FAILED(hr) && !excep.description.empty())
        com::reportError(hr, tivmate::IID__DTMMain, excep.source, excep.description);
    return hr;
}

com::Variant Session::Property(const std::string& name) {
    com::Variant v;
    Invoke(name, com::DISPATCH_PROPERTYGET, {}, &v);
    return v;
}

bool Session::Create() {
    if (dtm_) {
        Failed("create", "a DTM exists already");
        return false;
    }
    com::Guid clsid;
    com::HRESULT hr = com::CLSIDFromProgID(tivmate::kDTMMainProgId, &clsid);
    if (com::FAILED(hr)) {
        Failed("create", "Tivmate.DTMMain is not registered in " + com::Registry::path().string() +
                             " (" + ErrorOf(hr) + ")");
        return false;
    }
    hr = com::CoCreateInstance(clsid, tivmate::IID__DTMMain, dtm_.putVoid());
    if (!Check("create", hr)) return false;
    embedded_ = false;
    if (options_.monitor)
        dtm_->putref_CtlMonitorPointer(static_cast<fdt::IMonitorView*>(monitor_.get()));
    Print("create", {{"progId", com::Variant(std::string(tivmate::kDTMMainProgId))},
                     {"version", Property("DllVersionNumber")}});
    return true;
}

bool Session::Text(const std::string& key) {
    com::Variant text;
    if (!Check("text", dtm_->GetDictionaryText(key, &text))) return false;
    Print("text", {{"key", com::Variant(key)}, {"text", text}});
    return true;
}

bool Session::Status() {
    if (!Check("status", dtm_->Set_Status())) return false;
    Print("status", {{"CommStatus", Property("CommStatus")},
                     {"StatusText", Property("StatusText")},
                     {"USBSWInfo", Property("USBSWInfo")},
                     {"TIVAdapterPresent", Property("TIVAdapterPresent")},
                     {"TIVAdapterFirmwareLoaded", Property("TIVAdapterFirmwareLoaded")},
                     {"TIVBusConnected", Property("TIVBusConnected")},
                     {"NumAdapters", Property("NumAdapters")},
                     {"ConnectionColor", Property("ConnectionColor")},
                     {"USBAdapterPresentColor", Property("USBAdapterPresentColor")},
                     {"USBAdapterFirmwareLoadedColor", Property("USBAdapterFirmwareLoadedColor")},
                     {"TIVBusActiveColor", Property("TIVBusActiveColor")}});
    return true;
}

bool Session::Environment(const std::string& tag) {
    com::ComPtr<fdt::IDtm> dtm;
    if (!Check("environment", dtm_->QueryInterface(fdt::IDtm::iid, dtm.putVoid()))) return false;
    com::VARIANT_BOOL ok = com::VARIANT_FALSE;
    if (!Check("environment",
               dtm->Environment(tag, static_cast<fdt::IFdtContainer*>(frame_.get()), &ok)))
        return false;
    Print("environment", {{"tag", com::Variant(tag)}, {"accepted", com::Variant(ok != 0)}});
    if (!ok) Failed("environment", "refused");
    embedded_ = embedded_ || ok;
    return ok != 0;
}

bool Session::InitDevice() {
    com::ComPtr<fdt::IDtm> dtm;
    com::ComPtr<fdt::IDtmInformation> info;
    dtm_->QueryInterface(fdt::IDtm::iid, dtm.putVoid());
    if (!Check("new", dtm_->QueryInterface(fdt::IDtmInformation::iid, info.putVoid())))
        return false;
    std::string information;
    if (!Check("new", info->GetInformation(&information))) return false;
    // The device type the frame offers is the one the DTM describes itself with.
    const auto begin = information.find("<fdt:DtmDeviceType");
    const auto endTag = std::string_view("</fdt:DtmDeviceType>");
    const auto end = information.find(endTag);
    if (begin == std::string::npos || end == std::string::npos) {
        Failed("new", "the DTM's information names no device type");
        return false;
    }
    const std::string deviceType = std::string(kDeviceTypeOpen) +
                                   information.substr(begin, end + endTag.size() - begin) +
                                   "</FDT>";
    com::VARIANT_BOOL ok = com::VARIANT_FALSE;
    if (!Check("new", dtm->InitNew(deviceType, &ok))) return false;
    if (!ok) Failed("new", "the DTM refused the device type");
    return ok != 0;
}

bool Session::NewOrOpen(const std::optional<std::filesystem::path>& file) {
    const std::string step = file ? "open" : "new";
    com::ComPtr<fdt::IPersistPropertyBag> persist;
    if (!Check(step, dtm_->QueryInterface(fdt::IPersistPropertyBag::iid, persist.putVoid())))
        return false;
    std::string tag = options_.tag;
    if (file) {
        Project project;
        try {
            project = ReadProject(*file);
        } catch (const std::exception& e) {
            Failed(step, e.what());
            return false;
        }
        if (!project.tag.empty()) tag = project.tag;
        auto log = fdt::ErrorLog::create();
        if (!Check(step, persist->Load(project.bag.get(), log.get()))) return false;
    } else if (!Check(step, persist->InitNew())) {
        return false;
    }
    if (!Environment(tag) || !InitDevice() || !Language(options_.language) ||
        !Config(options_.userLevel))
        return false;
    com::ComPtr<fdt::IDtm> dtm;
    dtm_->QueryInterface(fdt::IDtm::iid, dtm.putVoid());
    com::VARIANT_BOOL communication = com::VARIANT_FALSE;
    if (!Check(step, dtm->SetCommunication(nullptr, &communication))) return false;
    Print(step, {{"tag", com::Variant(tag)}, {"communication", com::Variant(communication != 0)}});
    return true;
}

bool Session::Config(const std::string& level) {
    com::ComPtr<fdt::IDtm> dtm;
    dtm_->QueryInterface(fdt::IDtm::iid, dtm.putVoid());
    const std::string doc =
        R"(<FDT xmlns="x-schema:FDTUserInformationSchema.xml"><FDTUserInformation projectName="tivframe" userName="tivframe" userLevel=")" +
        level + R"("/></FDT>)";
    com::VARIANT_BOOL ok = com::VARIANT_FALSE;
    if (!Check("config", dtm->Config(doc, &ok))) return false;
    Print("config", {{"level", com::Variant(level)}, {"accepted", com::Variant(ok != 0)}});
    if (!ok) Failed("config", "user level \"" + level + "\" refused");
    return ok != 0;
}

bool Session::Language(std::int32_t id) {
    com::ComPtr<fdt::IDtm> dtm;
    dtm_->QueryInterface(fdt::IDtm::iid, dtm.putVoid());
    com::VARIANT_BOOL ok = com::VARIANT_FALSE;
    if (!Check("language", dtm->SetLanguage(id, &ok))) return false;
    com::Variant connected;
    dtm_->GetDictionaryText("msg_Connected", &connected);
    Print("language", {{"id", com::Variant(id)},
                       {"accepted", com::Variant(ok != 0)},
                       {"msg_Connected", connected}});
    if (!ok) Failed("language", "language " + std::to_string(id) + " refused");
    return ok != 0;
}

bool Session::WaitReady(double seconds) {
    auto ready = [this] {
        const auto fw = Property("TIVAdapterFirmwareLoaded").toInt64().value_or(0);
        const auto bus = Property("TIVBusConnected").toInt64().value_or(0);
        return fw != 0 && bus != 0;
    };
    std::string shown;
    auto progress = [&] {
        const std::string info = ToText(Property("USBSWInfo"));
        if (info != shown) {
            shown = info;
            Print("wait-ready", {{"progress", com::Variant(info)}});
        }
        return ready() || host::Interrupted();
    };
    progress();
    os::MessageQueue::current().runUntil(progress, host::Nominal(seconds),
                                         std::chrono::milliseconds(50));
    if (ready()) {
        Print("wait-ready", {{"ready", com::Variant(true)}, {"USBSWInfo", Property("USBSWInfo")}});
        return true;
    }
    com::ComPtr<com::IDispatch> driverDispatch;
    std::int32_t loadResult = -1;
    if (com::SUCCEEDED(dtm_->TIVDriverPointer(driverDispatch.put())) && driverDispatch) {
        com::ComPtr<tivlink::ITivDriver> driver;
        if (com::SUCCEEDED(
                driverDispatch->QueryInterface(tivlink::ITivDriver::iid, driver.putVoid())))
            driver->get_LoadResult(&loadResult);
    }
    Print("wait-ready", {{"ready", com::Variant(false)}, {"LoadResult", com::Variant(loadResult)}});
    Failed("wait-ready", host::Interrupted() ? "interrupted"
                                             : "the adapter did not come up (driver LoadResult " +
                                                   std::to_string(loadResult) + ")");
    return false;
}

bool Session::Get(const std::string& name) {
    com::Variant v;
    if (!Check("get", Invoke(name, com::DISPATCH_PROPERTYGET, {}, &v))) return false;
    Print("get", {{"name", com::Variant(name)}, {"value", v}});
    return true;
}

bool Session::Set(const std::string& name, const std::string& value) {
    // As the offline page does: write the member, then announce the change.
    if (!Check("set", Invoke(name, com::DISPATCH_PROPERTYPUT, {com::Variant(value)}, nullptr)))
        return false;
    if (!Check("set", dtm_->PersistentParamChanged(name, value))) return false;
    Print("set", {{"name", com::Variant(name)}, {"value", Property(name)}});
    return true;
}

bool Session::Save(const std::filesystem::path& file) {
    com::ComPtr<fdt::IPersistPropertyBag> persist;
    if (!Check("save", dtm_->QueryInterface(fdt::IPersistPropertyBag::iid, persist.putVoid())))
        return false;
    Project project;
    project.tag = options_.tag;
    if (!Check("save", persist->Save(project.bag.get(), true, true))) return false;
    try {
        WriteProject(file, project);
    } catch (const std::exception& e) {
        Failed("save", e.what());
        return false;
    }
    Print("save",
          {{"file", com::Variant(file.string())},
           {"properties", com::Variant(static_cast<std::int32_t>(project.bag->entries().size()))}});
    return true;
}

bool Session::ReleaseCommunication() {
    com::ComPtr<fdt::IDtm> dtm;
    dtm_->QueryInterface(fdt::IDtm::iid, dtm.putVoid());
    com::VARIANT_BOOL prepared = com::VARIANT_FALSE, released = com::VARIANT_FALSE;
    if (!Check("release-communication", dtm->PrepareToReleaseCommunication(&prepared)) ||
        !Check("release-communication", dtm->ReleaseCommunication(&released)))
        return false;
    Print("release-communication",
          {{"prepared", com::Variant(prepared != 0)}, {"released", com::Variant(released != 0)}});
    return true;
}

bool Session::Release() {
    com::ComPtr<fdt::IDtm> dtm;
    dtm_->QueryInterface(fdt::IDtm::iid, dtm.putVoid());
    com::VARIANT_BOOL ok = com::VARIANT_FALSE;
    const com::HRESULT hr = dtm->PrepareToRelease(&ok);
    dtm.reset();
    dtm_.reset();
    if (!Check("release", hr)) return false;
    Print("release", {{"prepared", com::Variant(ok != 0)}});
    return true;
}

bool Session::Demo() {
    const auto file = std::filesystem::temp_directory_path() /
                      ("tivframe-demo-" + std::to_string(::getpid()) + ".xml");
    const auto record = std::filesystem::temp_directory_path() /
                        ("tivframe-demo-" + std::to_string(::getpid()) + ".csv");
    struct Cleanup {
        std::filesystem::path f;
        ~Cleanup() {
            std::error_code ec;
            std::filesystem::remove(f, ec);
        }
    } cleanup{file}, cleanupRecord{record};
    const bool ok = Create() && NewOrOpen(std::nullopt) && WaitReady(60) && Status() && Connect() &&
                    Transaction("read", TransactionDocument("1217", "29", 192, "")) &&
                    Transaction("write", TransactionDocument("1218", "29", 193, "54495632")) &&
                    Transaction("read", TransactionDocument("1301", "2", 192, "")) && Delayed() &&
                    Record("3:0,4:1,5:2", 2, record) && Disconnect() && Language(7) &&
                    Language(9) && Set("PersistentCommTimeoutValue", "2500") && Save(file) &&
                    Release() && Create() && NewOrOpen(file) && Get("PersistentCommTimeoutValue") &&
                    Release();
    return ok;
}

bool Session::PrintDocument(const std::string& step,
                            std::vector<std::pair<std::string, com::Variant>> fields,
                            const std::string& document) {
    if (!schemas_) {
        schemas_ = std::make_shared<xml::SchemaCache>();
        schemas_->addDirectory(options_.schemas);
    }
    xml::Document doc;
    doc.setSchemas(schemas_);
    const bool valid = doc.loadXML(document);
    fields.emplace_back("valid", com::Variant(valid));
    std::string_view shown = document;
    while (shown.ends_with('\n')) shown.remove_suffix(1);
    fields.emplace_back("document", com::Variant(shown));
    Print(step, fields);
    if (!valid)
        Failed(step, "the document does not load: " + doc.parseError().reason + " (line " +
                         std::to_string(doc.parseError().line) + ")");
    return valid;
}

bool Session::Document(const std::string& step, const std::string& argument) {
    std::string text;
    com::HRESULT hr = com::E_NOINTERFACE;
    if (step == "functions") {
        com::ComPtr<fdt::IDtm> dtm;
        if (com::SUCCEEDED(hr = dtm_->QueryInterface(fdt::IDtm::iid, dtm.putVoid())))
            hr = dtm->GetFunctions("", &text);
    } else if (step == "info") {
        com::ComPtr<fdt::IDtmInformation> info;
        if (com::SUCCEEDED(hr = dtm_->QueryInterface(fdt::IDtmInformation::iid, info.putVoid())))
            hr = info->GetInformation(&text);
    } else if (step == "parameters") {
        com::ComPtr<fdt::IDtmParameter> parameters;
        if (com::SUCCEEDED(hr =
                               dtm_->QueryInterface(fdt::IDtmParameter::iid, parameters.putVoid())))
            hr = parameters->GetParameters("", &text);
    } else if (step == "documentation") {
        com::ComPtr<fdt::IDtmDocumentation> documentation;
        if (com::SUCCEEDED(
                hr = dtm_->QueryInterface(fdt::IDtmDocumentation::iid, documentation.putVoid())))
            hr = documentation->GetDocumentation(FunctionCall(argument), &text);
    } else {
        com::ComPtr<fdt::IDtmActiveXInformation> controls;
        if (com::SUCCEEDED(
                hr = dtm_->QueryInterface(fdt::IDtmActiveXInformation::iid, controls.putVoid()))) {
            hr = step == "progid" ? controls->GetActiveXProgId(FunctionCall(argument), &text)
                                  : controls->GetActiveXGuid(FunctionCall(argument), &text);
        }
        if (!Check(step, hr)) return false;
        Print(step, {{"function", com::Variant(argument)}, {step, com::Variant(text)}});
        return true;
    }
    if (!Check(step, hr)) return false;
    if (text.empty()) {
        Print(step, {{"document", com::Variant(text)}});
        Failed(step, "the DTM returned no document");
        return false;
    }
    std::vector<std::pair<std::string, com::Variant>> fields;
    if (!argument.empty()) fields.emplace_back("function", com::Variant(argument));
    return PrintDocument(step, std::move(fields), text);
}

com::ComPtr<com::IDispatch> Session::FirstChannel(const std::string& step) {
    com::ComPtr<fdt::IDtmChannel> dtmChannel;
    com::ComPtr<com::IDispatch> collection, item;
    com::ComPtr<fdt::IFdtChannelCollection> channels;
    if (!Check(step, dtm_->QueryInterface(fdt::IDtmChannel::iid, dtmChannel.putVoid())) ||
        !Check(step, dtmChannel->GetChannels(collection.put())) || !collection ||
        !Check(step,
               collection->QueryInterface(fdt::IFdtChannelCollection::iid, channels.putVoid())) ||
        !Check(step, channels->Item(com::Variant(1), item.put())))
        return {};
    return item;
}

bool Session::Channels() {
    com::ComPtr<fdt::IDtmChannel> dtmChannel;
    com::ComPtr<com::IDispatch> collection;
    com::ComPtr<fdt::IFdtChannelCollection> channels;
    if (!Check("channels", dtm_->QueryInterface(fdt::IDtmChannel::iid, dtmChannel.putVoid())) ||
        !Check("channels", dtmChannel->GetChannels(collection.put())))
        return false;
    if (!collection || !Check("channels", collection->QueryInterface(
                                              fdt::IFdtChannelCollection::iid, channels.putVoid())))
        return false;
    std::int32_t count = 0;
    if (!Check("channels", channels->get_Count(&count))) return false;
    Print("channels", {{"count", com::Variant(count)}});
    for (std::int32_t i = 1; i <= count; ++i) {
        com::ComPtr<com::IDispatch> item;
        com::ComPtr<fdt::IFdtChannel> channel;
        std::string path;
        if (!Check("channels", channels->Item(com::Variant(i), item.put())) ||
            !Check("channels", item->QueryInterface(fdt::IFdtChannel::iid, channel.putVoid())) ||
            !Check("channels", channel->GetChannelPath(&path)))
            return false;
        Print("channel", {{"item", com::Variant(i)}, {"path", com::Variant(path)}});
    }
    return true;
}

bool Session::ChannelParameters() {
    const auto item = FirstChannel("channel-parameters");
    if (!item) return false;
    com::ComPtr<fdt::IFdtChannel> channel;
    std::string text;
    if (!Check("channel-parameters",
               item->QueryInterface(fdt::IFdtChannel::iid, channel.putVoid())) ||
        !Check("channel-parameters", channel->GetChannelParameters("", "", &text)))
        return false;
    return PrintDocument("channel-parameters", {}, text);
}

bool Session::Child(const std::string& step, const std::string& tag) {
    const auto item = FirstChannel(step);
    if (!item) return false;
    com::ComPtr<fdt::IFdtChannelSubTopology> topology;
    if (!Check(step, item->QueryInterface(fdt::IFdtChannelSubTopology::iid, topology.putVoid())))
        return false;
    com::VARIANT_BOOL ok = com::VARIANT_FALSE, done = com::VARIANT_FALSE;
    const bool removing = step == "remove-child";
    if (!Check(step, removing ? topology->ValidateRemoveChild(tag, &ok)
                              : topology->ValidateAddChild(tag, &ok)))
        return false;
    if (step == "validate-add-child") {
        Print(step, {{"tag", com::Variant(tag)}, {"accepted", com::Variant(ok != 0)}});
        return true;
    }
    // As a frame does: the change only after the channel agreed to it.
    if (!ok) {
        Print(step, {{"tag", com::Variant(tag)}, {"accepted", com::Variant(false)}});
        Failed(step, "the channel refused \"" + tag + "\"");
        return false;
    }
    if (!Check(step,
               removing ? topology->OnRemoveChild(tag, &done) : topology->OnAddChild(tag, &done)))
        return false;
    Print(step, {{"tag", com::Variant(tag)}, {"accepted", com::Variant(true)}});
    return true;
}

}  // namespace tivframe
