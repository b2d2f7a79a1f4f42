#include "core/XMLHelp.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <functional>

#include "com/HResult.h"
#include "core/clsDictionary.h"
#include "os/MessageBox.h"

namespace tivmate {

namespace {

constexpr std::string_view kIconTag = "$(PathToDeviceIcon)";

[[noreturn]] void raise(const std::string& text) {
    throw com::ComError(com::E_FAIL, text);
}

xml::Node selectOrRaise(const xml::Document& doc, std::string_view path) {
    xml::Node node = doc.selectSingleNode(path);
    if (!node) raise("no node \"" + std::string(path) + "\" in the document");
    return node;
}

std::string attributeOrRaise(xml::Node node, std::string_view name) {
    auto value = node.getAttribute(name);
    if (!value) raise("no attribute \"" + std::string(name) + "\" on " + node.name());
    return *value;
}

std::string hex(std::uint64_t value, int digits) {
    char buf[17];
    std::snprintf(buf, sizeof buf, "%0*llX", digits, static_cast<unsigned long long>(value));
    return buf;
}

// One array element: by its own size, bytes 2 digits, 16-bit 4, 32-bit 8. Other numbers are
// rounded to 32 bits and take at least 4 digits (a negative one all 8 of its two's
// complement); what is no number adds nothing.
std::string elementHex(const com::Variant& element) {
    const com::Variant v = element.value();
    switch (v.vt()) {
        case com::VT_UI1:
            return hex(v.ui1(), 2);
        case com::VT_I2:
        case com::VT_UI2:
        case com::VT_BOOL:
            return hex(static_cast<std::uint16_t>(*v.toInt64()), 4);
        case com::VT_I4:
        case com::VT_UI4:
        case com::VT_INT:
        case com::VT_UINT:
            return hex(static_cast<std::uint32_t>(*v.toInt64()), 8);
        default:
            break;
    }
    com::Variant number;
    if (v.isArray() || com::FAILED(com::ChangeType(number, v, com::VT_R8))) return {};
    const double d = std::nearbyint(number.r8());
    if (!std::isfinite(d) || d < -2147483648.0 || d > 4294967295.0) return {};
    const auto n = static_cast<std::int64_t>(d);
    return n < 0 ? hex(static_cast<std::uint32_t>(n), 8) : hex(static_cast<std::uint64_t>(n), 4);
}

std::string floatText(double value, bool single) {
    char buf[64];
    const auto r = single ? std::to_chars(buf, buf + sizeof buf, static_cast<float>(value))
                          : std::to_chars(buf, buf + sizeof buf, value);
    std::string text(buf, r.ptr);
    std::replace(text.begin(), text.end(), 'e', 'E');
    return text;
}

// Days since 1899-12-30 with the time of day as the fraction (also below day 0).
std::string dateText(double date) {
    if (!std::isfinite(date) || std::fabs(date) > 3e6) return {};
    using namespace std::chrono;
    const double whole = std::trunc(date);
    auto seconds = static_cast<std::int64_t>(std::llround(std::fabs(date - whole) * 86400.0));
    auto day = sys_days(year{1899} / December / 30) + days(static_cast<std::int64_t>(whole));
    if (seconds >= 86400) {
        seconds -= 86400;
        day += days(1);
    }
    const year_month_day ymd(day);
    char buf[40];
    std::snprintf(buf, sizeof buf, "%04d-%02u-%02u", static_cast<int>(ymd.year()),
                  static_cast<unsigned>(ymd.month()), static_cast<unsigned>(ymd.day()));
    std::string text = buf;
    if (seconds != 0) {
        std::snprintf(buf, sizeof buf, " %02d:%02d:%02d", static_cast<int>(seconds / 3600),
                      static_cast<int>(seconds / 60 % 60), static_cast<int>(seconds % 60));
        text += buf;
    }
    return text;
}

// A failed load leaves nothing to select: the builder fails with the parse error's text. A
// raised one has been shown already.
std::unique_ptr<xml::Document> loadOrRaise(std::unique_ptr<xml::Document> doc,
                                           const std::function<bool(xml::Document&)>& load) {
    bool loaded = false;
    try {
        loaded = load(*doc);
    } catch (const xml::Error& e) {
        xml::ParseError error = doc->parseError();
        if (!error.failed()) error = {xml::ParseError::kSchemaInternal, e.what(), 0, 0, 0, {}, {}};
        XMLHelp::ShowXmlLoadError(error);
        throw XmlLoadRaised(com::E_FAIL, e.what());
    }
    if (!loaded) raise(ParseErrorText(doc->parseError()));
    return doc;
}

// The builders' boundary for a raised load: the empty result.
template <class F>
std::string emptyWhenRaised(F&& build) {
    try {
        return build();
    } catch (const XmlLoadRaised&) {
        return {};
    }
}

}  // namespace

std::string ParseErrorText(const xml::ParseError& error) {
    std::string text = error.reason;
    if (!error.url.empty()) text += " (" + error.url + ")";
    if (error.line > 0)
        text += " at line " + std::to_string(error.line) + ", position " +
                std::to_string(error.linepos);
    return text;
}

XMLHelp::XMLHelp(std::filesystem::path xmlDataPath, std::filesystem::path appDirectory)
    : m_XMLDataPath(std::move(xmlDataPath)),
      m_AppDirectory(std::move(appDirectory)),
      m_Cache(std::make_shared<xml::SchemaCache>()) {}

void XMLHelp::InitXMLSchemaCache(const std::filesystem::path& SchemaPath) {
    m_Cache->addDirectory(SchemaPath);
}

std::unique_ptr<xml::Document> XMLHelp::PrepareDocument() const {
    auto doc = std::make_unique<xml::Document>();
    doc->validateOnParse = true;
    doc->preserveWhiteSpace = false;
    doc->setSchemas(m_Cache);
    return doc;
}

std::unique_ptr<xml::Document> XMLHelp::LoadText(std::string_view text, bool validate) const {
    auto doc = PrepareDocument();
    doc->validateOnParse = validate;
    if (!validate) doc->setSchemas(nullptr);
    return loadOrRaise(std::move(doc), [&](xml::Document& d) { return d.loadXML(text); });
}

std::unique_ptr<xml::Document> XMLHelp::LoadTemplate(std::string_view fileName) const {
    const auto path = m_XMLDataPath / std::string(fileName);
    return loadOrRaise(PrepareDocument(), [&](xml::Document& d) { return d.load(path); });
}

std::shared_ptr<xml::SchemaCache> XMLHelp::GetXMLSchemas(const std::filesystem::path& SchemaPath) {
    auto cache = std::make_shared<xml::SchemaCache>();
    cache->addDirectory(SchemaPath);
    return cache;
}

std::string XMLHelp::GetDTMInformationDoc() const {
    const std::string icon = (m_AppDirectory / "Resources" / "device.ico").string();
    if (m_Cache->size() == 0) {
        auto text = xml::loadTextFile(m_XMLDataPath / "DTMInformation.xml");
        if (!text) raise("cannot read " + (m_XMLDataPath / "DTMInformation.xml").string());
        const std::string escaped = xml::escapeText(icon);
        for (auto pos = text->find(kIconTag); pos != std::string::npos;
             pos = text->find(kIconTag, pos + escaped.size()))
            text->replace(pos, kIconTag.size(), escaped);
        return *text;
    }
    return emptyWhenRaised([&] {
        auto doc = LoadTemplate("DTMInformation.xml");
        selectOrRaise(*doc, "FDT/DtmInfo/DtmDeviceTypes/fdt:DtmDeviceType/fdt:DeviceIcon")
            .setAttribute("path", icon);
        return doc->xml();
    });
}

bool XMLHelp::CheckInitInformation(std::string_view DeviceType) const {
    auto doc = LoadText(DeviceType);
    const std::string name = attributeOrRaise(
        selectOrRaise(*doc, "FDT/fdt:DtmDeviceType/fdt:VersionInformation"), "name");
    const std::string bus = attributeOrRaise(
        selectOrRaise(*doc, "FDT/fdt:DtmDeviceType/fdt:BusCategories/fdt:BusCategory"),
        "busCategory");
    return name == "TIV Driver" || bus == "81684E65-6385-4690-ACCF-49995B3B4E8B";
}

std::string XMLHelp::GetUserLevel(std::string_view userInfo) const {
    // Well-formed only: a level in another spelling is Config's refusal, not a load error.
    auto doc = LoadText(userInfo, false);
    return attributeOrRaise(selectOrRaise(*doc, "FDT/FDTUserInformation"), "userLevel");
}

std::string XMLHelp::GetDTMFunctionsDoc(std::string_view TestCtrlHidden) const {
    return emptyWhenRaised([&] { return FunctionsDoc(TestCtrlHidden); });
}

std::string XMLHelp::FunctionsDoc(std::string_view TestCtrlHidden) const {
    auto doc = LoadTemplate("DTMFunctions.xml");
    xml::Node function = selectOrRaise(*doc, "FDT/Functions/Function");
    while (function && function.getAttribute("fdt:name") != "Test")
        function = GetNextElement(function);
    if (!function) raise("no function named \"Test\" in DTMFunctions.xml");
    xml::Node status = function.selectSingleNode("Status");
    if (!status) raise("no Status element on the function \"Test\"");
    status.setAttribute("hidden", TestCtrlHidden);
    return doc->xml();
}

std::string XMLHelp::OnParameterChanged(std::string_view ParamName,
                                        std::string_view NewValue) const {
    return emptyWhenRaised([&] {
        auto doc = LoadTemplate("DTMOnParameterChanged.xml");
        xml::Node changed = selectOrRaise(*doc, "FDT/ChangedParameter");
        changed.setAttribute("ParamName", ParamName);
        changed.setAttribute("NewValue", NewValue);
        return doc->xml();
    });
}

std::string XMLHelp::GetAttributeFromXML(std::string_view XMLString, std::string_view PathToAttr,
                                         std::string_view AttrName) const {
    auto doc = LoadText(XMLString);
    xml::Node node = doc->selectSingleNode(PathToAttr);
    if (!node) return {};
    return attributeOrRaise(node, AttrName);
}

xml::Node XMLHelp::GetNextElement(xml::Node element) {
    for (xml::Node n = element ? element.nextSibling() : xml::Node(); n; n = n.nextSibling())
        if (n.type() == xml::NodeType::Element) return n;
    return {};
}

xml::Node XMLHelp::addNode(std::string_view name, xml::Node root, std::string_view nameSpace) {
    if (!root) raise("addNode without a parent node");
    // Without a namespace of its own the new element joins its parent's.
    const std::string ns = nameSpace.empty() ? root.namespaceURI() : std::string(nameSpace);
    xml::Node child = root.ownerDocument()->createElement(name, ns);
    return root.appendChild(child);
}

xml::Node XMLHelp::addAttribut(std::string_view name, const com::Variant& value, xml::Node root,
                               std::string_view nameSpace) {
    if (!root) raise("addAttribut without an element");
    if (!nameSpace.empty()) return root.setAttributeNS(name, nameSpace, ValueToText(value));
    return root.setAttribute(name, ValueToText(value));
}

xml::Node XMLHelp::setAttribut(std::string_view name, const com::Variant& value, xml::Node root,
                               std::string_view nameSpace) {
    if (!root) raise("setAttribut without an element");
    if (xml::Node existing = root.getAttributeNode(name)) {
        existing.setText(ValueToText(value));
        return existing;
    }
    return addAttribut(name, value, root, nameSpace);
}

std::string XMLHelp::GetDTMParametersDoc() const {
    try {
        return LoadTemplate("DTMParameters.xml")->xml();
    } catch (const com::ComError&) {
        return {};
    }
}

std::string XMLHelp::GetDTMDocumentationDoc(
    const std::vector<clsDataElement>& AdapterParameter) const {
    return emptyWhenRaised([&] {
        static constexpr std::string_view kVersion[] = {"name", "vendor", "version", "date",
                                                        "descriptor"};
        auto info = LoadTemplate("DTMInformation.xml");
        const xml::Node dtmVersion = selectOrRaise(*info, "FDT/DtmInfo/fdt:VersionInformation");
        std::string values[std::size(kVersion)];
        for (std::size_t i = 0; i < std::size(kVersion); ++i)
            values[i] = attributeOrRaise(dtmVersion, kVersion[i]);

        auto doc = LoadTemplate("DTMDocumentation.xml");
        xml::Node version = selectOrRaise(*doc, "FDT/fdt:VersionInformation");
        for (std::size_t i = 0; i < std::size(kVersion); ++i)
            version.setAttribute(kVersion[i], values[i]);
        xml::Node variables = selectOrRaise(*doc, "FDT/DocumentVariables");
        variables.setAttribute("fdt:name", values[0]);
        for (const auto& row : AdapterParameter) {
            xml::Node variable = addNode("DocumentVariable", variables);
            setAttribut("fdt:name", com::Variant(row.name), variable);
            addAttribut("fdt:display", com::Variant(row.display), variable);
        }
        selectOrRaise(*doc, "FDT/DocumentVariables/GraphicReference")
            .setAttribute("path", (m_AppDirectory / "Resources" / "device.gif").string());
        return doc->xml();
    });
}

std::string XMLHelp::FdtBasicChannelParameter(const com::Variant& SystemTag,
                                              const com::Variant& ChannelUUID) const {
    return emptyWhenRaised([&] {
        static constexpr std::string_view kVersion[] = {"name", "vendor", "version", "date"};
        auto info = LoadTemplate("DTMInformation.xml");
        const xml::Node dtmVersion = selectOrRaise(*info, "FDT/DtmInfo/fdt:VersionInformation");
        auto doc = LoadTemplate("FDTBasicChannelParameter.xml");
        xml::Node version = selectOrRaise(*doc, "FDT/FDTChannelType/fdt:VersionInformation");
        for (const auto name : kVersion)
            version.setAttribute(name, attributeOrRaise(dtmVersion, name));
        xml::Node channel = selectOrRaise(*doc, "FDT/FDTBasicChannel");
        channel.setAttribute("fdt:tag", ValueToText(SystemTag));
        channel.setAttribute("fdt:id", ValueToText(ChannelUUID));
        return doc->xml();
    });
}

std::string XMLHelp::GetProgId(std::string_view functionCall) const {
    auto doc = LoadText(functionCall);
    return attributeOrRaise(selectOrRaise(*doc, "FDT/FDTFunctionCall"), "func:functionId");
}

com::Variant XMLHelp::DocFunctionID(std::string_view functionCall) const {
    return com::Variant(GetProgId(functionCall));
}

std::string XMLHelp::GetFdtTag(std::string_view fieldbusFrame) const {
    auto doc = LoadText(fieldbusFrame);
    const xml::Node request = selectOrRaise(*doc, "FDT/ConnectRequest");
    // Requests carry "fdt:tag"; the upper-case spelling is read too.
    if (auto tag = request.getAttribute("fdt:tag")) return *tag;
    return attributeOrRaise(request, "fdt:Tag");
}

std::string XMLHelp::GetCNumber(std::string_view fieldbusFrame) const {
    auto doc = LoadText(fieldbusFrame);
    return attributeOrRaise(selectOrRaise(*doc, "FDT/ConnectRequest/DeviceInformation"), "CNumber");
}

void XMLHelp::LoadNewLanguage(std::int32_t&) {}

std::string XMLHelp::ValueToText(const com::Variant& value) {
    const com::Variant v = value.value();
    if (const com::SafeArray* array = v.arrayPtr()) {
        std::string text;
        com::Variant element;
        for (std::int32_t i = array->lowerBound(); i <= array->upperBound(); ++i)
            if (com::SUCCEEDED(array->getElement(i, element))) text += elementHex(element);
        return text;
    }
    switch (v.vt()) {
        case com::VT_I1:
        case com::VT_UI1:
        case com::VT_I2:
        case com::VT_UI2:
        case com::VT_I4:
        case com::VT_UI4:
        case com::VT_INT:
        case com::VT_UINT:
            return std::to_string(*v.toInt64());
        case com::VT_R4:
            return floatText(v.r4(), true);
        case com::VT_R8:
            return floatText(v.r8(), false);
        case com::VT_DATE:
            return dateText(v.date());
        case com::VT_BSTR:
            return v.bstr();
        case com::VT_BOOL:
            return v.boolVal() ? "1" : "0";
        default:
            // Currency and decimal values cannot be held by com::Variant, so never arrive here.
            return {};
    }
}

std::string XMLHelp::ShowXmlLoadErrorText(const xml::ParseError& error) {
    const std::string crlf = "\r\n";
    return "Your XML Document failed to load " + std::string("due the following error:") + crlf +
           crlf + "Error: " + crlf + std::to_string(error.code) + ": " + error.reason + crlf +
           "Line: " + std::to_string(error.line) + crlf +
           "Line Position: " + std::to_string(error.linepos) + crlf +
           "Position In File: " + std::to_string(error.filepos) + crlf + crlf +
           "Source Text: " + error.srcText + crlf + crlf + "Document URL: " + error.url;
}

void XMLHelp::ShowXmlLoadError(const xml::ParseError& error) {
    os::MessageBox(ShowXmlLoadErrorText(error), "Tivmate", os::MB_OK | os::MB_ICONWARNING);
}

}  // namespace tivmate
