// XMLHelp: the Tiv protocol documents (transaction request and response, connect, disconnect,
// error and supported protocols).

#include <charconv>
#include <limits>

#include "com/HResult.h"
#include "core/HexConversions.h"
#include "core/XMLHelp.h"

namespace tivmate {

namespace {

constexpr std::string_view kHeaderPath = "FDT/DataExchangeRequest/CommunicationHeader";
constexpr std::string_view kRequestPath = "FDT/DataExchangeRequest";

xml::Node selectOrRaise(const xml::Document& doc, std::string_view path) {
    xml::Node node = doc.selectSingleNode(path);
    if (!node) throw com::ComError(com::E_FAIL, "no node \"" + std::string(path) + "\"");
    return node;
}

std::string trimmed(std::string_view text) {
    const auto begin = text.find_first_not_of(" \t");
    if (begin == std::string_view::npos) return {};
    const auto end = text.find_last_not_of(" \t");
    return std::string(text.substr(begin, end - begin + 1));
}

// A decimal attribute within [low, high]; nullopt with the reason otherwise.
std::optional<std::int64_t> decimalAttribute(xml::Node node, std::string_view name,
                                             std::int64_t low, std::int64_t high,
                                             std::string& refusal) {
    const auto text = node.getAttribute(name);
    if (!text) {
        refusal = "attribute \"" + std::string(name) + "\" is missing";
        return std::nullopt;
    }
    const std::string t = trimmed(*text);
    std::int64_t value = 0;
    const char* begin = t.data() + (t.starts_with('+') ? 1 : 0);
    const auto [end, err] = std::from_chars(begin, t.data() + t.size(), value);
    if (t.empty() || err != std::errc() || end != t.data() + t.size() || value < low ||
        value > high) {
        refusal = "attribute \"" + std::string(name) + "\" = \"" + *text +
                  "\" is not a number in " + std::to_string(low) + ".." + std::to_string(high);
        return std::nullopt;
    }
    return value;
}

}  // namespace

std::string_view XMLHelp::TIVCommErrorWord(fdtTIVCommErrorCode ComError) {
    static constexpr std::string_view kWords[] = {"",
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
    const auto i = static_cast<std::size_t>(ComError);
    return i < std::size(kWords) ? kWords[i] : std::string_view();
}

std::string XMLHelp::GetCallerAttribute(std::string_view XMLString, std::string_view PathToAttr,
                                        std::string_view AttrName) {
    xml::Document doc;
    doc.validateOnParse = false;
    if (!doc.loadXML(XMLString)) return {};
    xml::Node node = doc.selectSingleNode(PathToAttr);
    return node ? node.getAttribute(AttrName).value_or("") : std::string();
}

std::string XMLHelp::TIVConnectResponseXML(const std::string& communicationReference,
                                           const std::string& fdtTag) const {
    auto doc = LoadTemplate("TIVConnectResponse.xml");
    xml::Node response = selectOrRaise(*doc, "FDT/ConnectResponse");
    response.setAttribute("fdt:tag", fdtTag);
    response.setAttribute("CommunicationReference", communicationReference);
    return doc->xml();
}

std::string XMLHelp::TIVDisconnectResponseXML(const std::string& communicationReference) const {
    auto doc = LoadTemplate("TIVDisconnectResponse.xml");
    selectOrRaise(*doc, "FDT/DisconnectResponse")
        .setAttribute("CommunicationReference", communicationReference);
    return doc->xml();
}

std::shared_ptr<clsCommunicationCall> XMLHelp::XMLDocumentToTIVProtocol(
    std::string_view fieldbusFrame, std::string& refusal) const {
    xml::Document doc;
    doc.validateOnParse = false;
    if (!doc.loadXML(fieldbusFrame)) {
        refusal = "the document does not load: " + ParseErrorText(doc.parseError());
        return nullptr;
    }
    const xml::Node header = doc.selectSingleNode(kHeaderPath);
    const xml::Node request = doc.selectSingleNode(kRequestPath);
    if (!header || !request) {
        refusal = "no element \"" + std::string(kHeaderPath) + "\"";
        return nullptr;
    }
    auto call = std::make_shared<clsCommunicationCall>();
    constexpr std::int64_t kInt32Min = std::numeric_limits<std::int32_t>::min();
    constexpr std::int64_t kInt32Max = std::numeric_limits<std::int32_t>::max();
    const auto messageType = decimalAttribute(header, "MessageType", 0, 255, refusal);
    if (!messageType) return nullptr;
    const auto objectType = decimalAttribute(header, "ObjectType", 0, 255, refusal);
    if (!objectType) return nullptr;
    const auto noOfBytes = decimalAttribute(header, "NoOfBytes", 0, 255, refusal);
    if (!noOfBytes) return nullptr;
    const auto subNo = decimalAttribute(header, "SubNo", 0, 255, refusal);
    if (!subNo) return nullptr;
    const auto objectNo = decimalAttribute(header, "ObjectNo", kInt32Min, kInt32Max, refusal);
    if (!objectNo) return nullptr;
    const auto control = decimalAttribute(request, "Control", 0, 255, refusal);
    if (!control) return nullptr;
    call->MessageType = static_cast<std::uint8_t>(*messageType);
    call->ObjectType = static_cast<std::uint8_t>(*objectType);
    call->NoOfBytes = static_cast<std::uint8_t>(*noOfBytes);
    call->SubNumber = static_cast<std::uint8_t>(*subNo);
    call->ObjectNumber = static_cast<std::int32_t>(*objectNo);
    call->control = static_cast<std::uint8_t>(*control);
    if (auto v = request.getAttribute("RecordState")) call->RecordState = *v;
    if (auto v = request.getAttribute("FilePath")) call->Filename = *v;
    if (auto v = request.getAttribute("SpecialFunction")) call->SpecialFunction = *v;
    if (call->NoOfBytes > 4) {
        const auto text = header.getAttribute("CommunicationData");
        if (!text) {
            refusal = "attribute \"CommunicationData\" is missing for NoOfBytes " +
                      std::to_string(call->NoOfBytes);
            return nullptr;
        }
        auto bytes = HexToBytes(*text);
        if (!bytes) {
            refusal = "attribute \"CommunicationData\" = \"" + *text + "\" is not hex";
            return nullptr;
        }
        if (bytes->size() < static_cast<std::size_t>(call->NoOfBytes - 4)) {
            refusal = "attribute \"CommunicationData\" holds " + std::to_string(bytes->size()) +
                      " bytes, NoOfBytes " + std::to_string(call->NoOfBytes) + " needs " +
                      std::to_string(call->NoOfBytes - 4);
            return nullptr;
        }
        call->Data = std::move(*bytes);
    }
    return call;
}

std::string XMLHelp::TIVProtocolToXMLDocument(const std::string& communicationReference,
                                              const clsCommunicationCall& ComResponse) const {
    auto doc = LoadTemplate("TIVDataExchangeResponse.xml");
    xml::Node header = selectOrRaise(*doc, "FDT/DataExchangeResponse/CommunicationHeader");
    xml::Node response = selectOrRaise(*doc, "FDT/DataExchangeResponse");
    header.setAttribute("MessageType", std::to_string(ComResponse.MessageType));
    header.setAttribute("ObjectType", std::to_string(ComResponse.ObjectType));
    header.setAttribute("NoOfBytes", std::to_string(ComResponse.NoOfBytes));
    header.setAttribute("SubNo", std::to_string(ComResponse.SubNumber));
    header.setAttribute("ObjectNo", std::to_string(ComResponse.ObjectNumber));
    if (ComResponse.NoOfBytes > 4)
        header.setAttribute(
            "CommunicationData",
            BytesToHex(ComResponse.Data).substr(0, (ComResponse.NoOfBytes - 4) * 2));
    response.setAttribute("CommunicationReference", communicationReference);
    response.setAttribute("Status", std::to_string(ComResponse.control));
    if (!ComResponse.SpecialFunction.empty())
        response.setAttribute("SpecialFunction", ComResponse.SpecialFunction);
    // Without it a failed record would read as a successful one.
    if (!ComResponse.RecordState.empty())
        response.setAttribute("RecordState", ComResponse.RecordState);
    return doc->xml();
}

std::string XMLHelp::GetSupportedProtocols() const {
    auto info = LoadTemplate("DTMInformation.xml");
    const auto category = selectOrRaise(*info,
                                        "FDT/DtmInfo/DtmDeviceTypes/fdt:DtmDeviceType/"
                                        "fdt:BusCategories/fdt:BusCategory")
                              .getAttribute("busCategory");
    auto doc = LoadTemplate("TIVGetSupportedProtocols.xml");
    selectOrRaise(*doc, "FDT/fdt:BusCategories/fdt:BusCategory")
        .setAttribute("busCategory", category.value_or(""));
    return doc->xml();
}

std::string XMLHelp::TIVCommunicationErrorXML(fdtTIVCommErrorCode ComError, const std::string& Tag,
                                              bool TIVActive, const std::string& ComRef) const {
    auto doc = LoadTemplate("TIVCommunicationError.xml");
    xml::Node error = selectOrRaise(*doc, "FDT/TivCommError");
    error.setAttribute("TivcommError", TIVCommErrorWord(ComError));
    error.setAttribute("fdt:tag", Tag);
    error.setAttribute("CommunicationReference", ComRef);
    error.setAttribute("TivActive", TIVActive ? "1" : "0");
    return doc->xml();
}

}  // namespace tivmate
