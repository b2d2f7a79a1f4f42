// The call queue, the timer's clamp, the hex routines and the Tiv protocol documents.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "core/HexConversions.h"
#include "core/XMLHelp.h"
#include "core/clsCommunicator.h"
#include "core/clsTimerControl.h"
#include "os/Clock.h"
#include "os/TimeUtil.h"

namespace {

namespace fs = std::filesystem;
using testing::HasSubstr;
using tivmate::clsCommunicationCall;
using tivmate::clsCommunicator;
using tivmate::XMLHelp;
using Bytes = std::vector<std::uint8_t>;

// Wall time fixed at a given instant; steady time stands still.
class FixedClock final : public os::Clock {
public:
    explicit FixedClock(std::chrono::system_clock::time_point wall) : wall_(wall) {}
    time_point now() const override { return time_point{}; }
    std::chrono::system_clock::time_point systemNow() const override { return wall_; }
    std::chrono::nanoseconds toReal(duration d) const override { return d; }

private:
    std::chrono::system_clock::time_point wall_;
};

clsCommunicator::Call Request(std::int32_t obj, std::uint8_t sub, std::string id) {
    auto c = std::make_shared<clsCommunicationCall>();
    c->ObjectNumber = obj;
    c->SubNumber = sub;
    c->invokeId = std::move(id);
    return c;
}

TEST(HexConversions, TextAndBytesBothWays) {
    struct Row {
        std::string text;
        std::optional<Bytes> bytes;
    } rows[] = {{"", Bytes{}},
                {"0A1b", Bytes{0x0A, 0x1B}},
                {"ABC", Bytes{0xAB, 0x0C}},  // a lone last digit is a byte of its own
                {"0G", std::nullopt},
                {"1 2", std::nullopt},
                {"-1", std::nullopt}};
    for (const auto& row : rows) EXPECT_EQ(tivmate::HexToBytes(row.text), row.bytes) << row.text;
    EXPECT_EQ(tivmate::BytesToHex(Bytes{0x00, 0x0F, 0xA0, 0xFF}), "000FA0FF");
    EXPECT_EQ(tivmate::ByteToHex(std::uint8_t{0x5}), "05");
    EXPECT_EQ(tivmate::ByteToHex(std::int16_t{-1}), "FFFF");
    EXPECT_EQ(tivmate::ByteToHex(std::int32_t{0x1A}), "0000001A");
    EXPECT_EQ(tivmate::ByteToHex(com::Variant::fromUI1(0xC)), "0C");
    EXPECT_EQ(tivmate::ByteToHex(com::Variant(std::int32_t{0x41})), "00000041");
}

TEST(clsTimerControl, EveryIntervalTicksAndNoneExceedsTheControlsLimit) {
    const std::pair<double, std::uint32_t> rows[] = {
        {0, 1}, {0.4, 1}, {-3, 1}, {1.2, 2}, {2000, 2000}, {64767, 64767}, {100000, 64767}};
    for (const auto& [ms, armed] : rows)
        EXPECT_EQ(tivmate::clsTimerControl::ArmedInterval(ms), armed) << ms;
    EXPECT_EQ(tivmate::EffectiveTimeoutMs(0), 64767);
    EXPECT_EQ(tivmate::EffectiveTimeoutMs(-5), 64767);
    EXPECT_EQ(tivmate::EffectiveTimeoutMs(2000), 2000);
}

TEST(clsCommunicator, QueueKeepsOrderDepthAndMatchesByTargetAndInvokeId) {
    clsCommunicator com;
    EXPECT_FALSE(com.AddComCall(Request(1, 1, "a"), 100, 0));  // depth 0 refuses all
    EXPECT_TRUE(com.AddComCall(Request(1217, 29, "a"), 100, 3));
    EXPECT_TRUE(com.AddComCall(Request(0, 0, "b"), 100, 3));
    EXPECT_TRUE(com.AddComCall(Request(1217, 29, "c"), 100, 3));
    EXPECT_FALSE(com.AddComCall(Request(5, 5, "d"), 100, 3));
    EXPECT_EQ(com.ComReqColCount(), 3u);
    EXPECT_EQ(com.GetNextComCallItem()->invokeId, "a");

    clsCommunicationCall response = *Request(1217, 29, "");
    EXPECT_FALSE(com.ValidateComResponse(response, "x"));
    EXPECT_TRUE(com.ValidateComResponse(response, "c"));
    EXPECT_EQ(response.invokeId, "c");
    EXPECT_EQ(com.ComReqColCount(), 3u);

    EXPECT_TRUE(com.CyclicCommunicationOnStack());
    EXPECT_EQ(com.RemoveCyclicCommunincationFromStack(), "b");
    EXPECT_FALSE(com.CyclicCommunicationOnStack());
    EXPECT_TRUE(com.RemoveComCall(response));
    EXPECT_FALSE(com.RemoveComCall(response));
    EXPECT_EQ(com.GetNextComCallItem()->invokeId, "a");
    com.ClearComCall();
    EXPECT_EQ(com.GetNextComCallItem(), nullptr);

    com.AddCyclDataInfo({1, 5, 1});
    com.AddCyclDataInfo({2, 7, 2});
    EXPECT_EQ(com.GetCyclicValueNo(2), 2);
    EXPECT_EQ(com.GetDataType(2), 7);
    EXPECT_EQ(com.GetDataType(3), 0);
    EXPECT_EQ(com.GetCyclicValueNo(0), 0);

    EXPECT_TRUE(com.CreateCommunicationReference());
    const std::string first = com.communicationReference;
    com.CreateCommunicationReference();
    EXPECT_NE(com.communicationReference, first);
}

TEST(clsCommunicator, DeadlineIsSendTimePlusTimeoutInFileTimeHalves) {
    // 10:00:00.000 UTC; the low half is close to its end so the time-out carries into the high.
    const auto wall = *os::fromUtcSystemTime({2026, 3, 0, 2, 10, 0, 0, 0});
    os::setClock(std::make_shared<FixedClock>(wall));
    clsCommunicator com;
    auto request = Request(1, 1, "a");
    ASSERT_TRUE(com.AddComCall(request, 2000, 5));
    const double expected = static_cast<double>(os::toFileTime(wall)) + 20000000.0;
    EXPECT_EQ(request->ResponseTimeHigh * 4294967296.0 + request->ResponseTimeLow, expected);
    EXPECT_GE(request->ResponseTimeLow, 0);
    EXPECT_LT(request->ResponseTimeLow, 4294967296.0);
    EXPECT_EQ(request->RepeatCounter, 0);
    os::setClock(nullptr);
}

// ---- protocol documents ----

class ProtocolDocuments : public ::testing::Test {
protected:
    ProtocolDocuments() : help(fs::path(TIVMATE_DATA_DIR) / "XMLData", "/opt/tiv") {
        help.InitXMLSchemaCache(fs::path(TIVMATE_DATA_DIR) / "XMLSchemas");
    }
    // Every document the DTM builds validates against its schema.
    void ExpectValid(const std::string& doc) { EXPECT_NO_THROW(help.LoadText(doc, true)) << doc; }
    static std::string Request(const std::string& header, const std::string& request = "") {
        return R"(<FDT xmlns="x-schema:FDTTivCommunicationSchema.xml"><DataExchangeRequest Control="192" )" +
               request + "><CommunicationHeader " + header + "/></DataExchangeRequest></FDT>";
    }
    XMLHelp help;
};

TEST_F(ProtocolDocuments, MalformedRequestsAreRefusedWithAReason) {
    const std::string good = R"(MessageType="5" ObjectType="0" SubNo="29" ObjectNo="1217")";
    struct Row {
        std::string doc, reason;
    } rows[] = {
        {"<FDT><unclosed", "does not load"},
        {R"(<!DOCTYPE FDT [<!ENTITY x SYSTEM "file:///etc/passwd">]><FDT>&x;</FDT>)", ""},
        {"<FDT/>", "no element"},
        {Request(R"(ObjectType="0" NoOfBytes="4" SubNo="29" ObjectNo="1217")"), "MessageType"},
        {Request(good + R"( NoOfBytes="300")"), "NoOfBytes"},
        {Request(R"(MessageType="5" ObjectType="0" NoOfBytes="4" SubNo="x" ObjectNo="1")"),
         "SubNo"},
        {Request(good + R"( NoOfBytes="6")"), "CommunicationData"},
        {Request(good + R"( NoOfBytes="6" CommunicationData="0Z01")"), "not hex"},
        {Request(good + R"( NoOfBytes="7" CommunicationData="0102")"), "needs 3"},
        {R"(<FDT><DataExchangeRequest><CommunicationHeader MessageType="5" ObjectType="0" NoOfBytes="4" SubNo="1" ObjectNo="1"/></DataExchangeRequest></FDT>)",
         "Control"},
    };
    for (const auto& row : rows) {
        std::string refusal;
        EXPECT_EQ(help.XMLDocumentToTIVProtocol(row.doc, refusal), nullptr) << row.doc;
        EXPECT_THAT(refusal, HasSubstr(row.reason)) << row.doc;
        EXPECT_FALSE(refusal.empty());
    }
}

TEST_F(ProtocolDocuments, RequestBecomesCallAndResponseCarriesItBack) {
    std::string refusal;
    auto call = help.XMLDocumentToTIVProtocol(
        Request(
            R"(MessageType="5" ObjectType="1" NoOfBytes="7" SubNo="29" ObjectNo="1217" CommunicationData="0a1B2c")",
            R"(SpecialFunction="ReadDelayedResponse" FilePath="")"),
        refusal);
    ASSERT_NE(call, nullptr) << refusal;
    EXPECT_EQ(call->MessageType, 5);
    EXPECT_EQ(call->ObjectType, 1);
    EXPECT_EQ(call->NoOfBytes, 7);
    EXPECT_EQ(call->SubNumber, 29);
    EXPECT_EQ(call->ObjectNumber, 1217);
    EXPECT_EQ(call->control, 192);
    EXPECT_EQ(call->Data, (Bytes{0x0A, 0x1B, 0x2C}));
    EXPECT_EQ(call->SpecialFunction, "ReadDelayedResponse");

    // NoOfBytes 4: no data, none required.
    auto bare = help.XMLDocumentToTIVProtocol(
        Request(R"(MessageType="5" ObjectType="0" NoOfBytes="4" SubNo="1" ObjectNo="2")"), refusal);
    ASSERT_NE(bare, nullptr);
    EXPECT_TRUE(bare->Data.empty());

    clsCommunicationCall response;
    response.MessageType = 6;
    response.NoOfBytes = 6;
    response.SubNumber = 29;
    response.ObjectNumber = 1217;
    response.control = 0x41;
    response.Data = {1, 2, 3};
    response.RecordState = "recFail";
    const std::string doc = help.TIVProtocolToXMLDocument("{REF}", response);
    ExpectValid(doc);
    auto attr = [&](const char* path, const char* name) {
        return XMLHelp::GetCallerAttribute(doc, path, name);
    };
    EXPECT_EQ(attr("FDT/DataExchangeResponse/CommunicationHeader", "CommunicationData"), "0102");
    EXPECT_EQ(attr("FDT/DataExchangeResponse/CommunicationHeader", "ObjectNo"), "1217");
    EXPECT_EQ(attr("FDT/DataExchangeResponse", "Status"), "65");
    EXPECT_EQ(attr("FDT/DataExchangeResponse", "CommunicationReference"), "{REF}");
    EXPECT_EQ(attr("FDT/DataExchangeResponse", "RecordState"), "recFail");
    EXPECT_EQ(attr("FDT/DataExchangeResponse", "SpecialFunction"), "");
}

TEST_F(ProtocolDocuments, ErrorConnectDisconnectAndProtocolDocuments) {
    const char* words[] = {"",
                           "abort",
                           "busy",
                           "invalidCommunicationReference",
                           "noConnection",
                           "noParallelServices",
                           "noPendingRequest",
                           "unknownError",
                           "timeout",
                           "dtmSpecific",
                           "notSupportedFeature",
                           "ChecksumError",
                           "StackOverflow",
                           "MemoryOverflow"};
    for (int code = 0; code < 14; ++code) {
        const auto c = static_cast<tivmate::fdtTIVCommErrorCode>(code);
        const std::string doc = help.TIVCommunicationErrorXML(c, "T1", code % 2, "{R}");
        ExpectValid(doc);
        EXPECT_EQ(XMLHelp::GetCallerAttribute(doc, "FDT/TivCommError", "TivcommError"),
                  words[code]);
        EXPECT_EQ(XMLHelp::GetCallerAttribute(doc, "FDT/TivCommError", "fdt:tag"), "T1");
        EXPECT_EQ(XMLHelp::GetCallerAttribute(doc, "FDT/TivCommError", "TivActive"),
                  code % 2 ? "1" : "0");
    }
    const std::string connect = help.TIVConnectResponseXML("{R}", "Dev & 1");
    ExpectValid(connect);
    EXPECT_EQ(XMLHelp::GetCallerAttribute(connect, "FDT/ConnectResponse", "fdt:tag"), "Dev & 1");
    const std::string disconnect = help.TIVDisconnectResponseXML("{R}");
    ExpectValid(disconnect);
    EXPECT_EQ(
        XMLHelp::GetCallerAttribute(disconnect, "FDT/DisconnectResponse", "CommunicationReference"),
        "{R}");
    const std::string protocols = help.GetSupportedProtocols();
    ExpectValid(protocols);
    EXPECT_THAT(protocols, HasSubstr("busCategory=\"81684E65-6385-4690-ACCF-49995B3B4E8B\""));
    EXPECT_EQ(XMLHelp::GetCallerAttribute("no xml", "FDT", "a"), "");
}

}  // namespace
