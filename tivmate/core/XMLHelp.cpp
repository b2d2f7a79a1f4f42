#include "core/XMLHelp.h"

#include <algorithm>

#include "com/HResult.h"
#include "core/clsDictionary.h"

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

std::string textOf(const com::Variant& value) {
    if (value.isEmpty() || value.isMissing()) return {};
    return value.converted(com::VT_BSTR).bstr();
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

std::unique_ptr<xml::Document> XMLHelp::LoadText(std::string_view text, bool validate) const {
    auto doc = std::make_unique<xml::Document>();
    doc->validateOnParse = validate;
    if (validate) doc->setSchemas(m_Cache);
    if (!doc->loadXML(text)) raise(ParseErrorText(doc->parseError()));
    return doc;
}

std::unique_ptr<xml::Document> XMLHelp::LoadTemplate(std::string_view fileName) const {
    auto doc = std::make_unique<xml::Document>();
    doc->setSchemas(m_Cache);
    if (!doc->load(m_XMLDataPath / std::string(fileName))) raise(ParseErrorText(doc->parseError()));
    return doc;
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
    auto doc = LoadTemplate("DTMInformation.xml");
    selectOrRaise(*doc, "FDT/DtmInfo/DtmDeviceTypes/fdt:DtmDeviceType/fdt:DeviceIcon")
        .setAttribute("path", icon);
    return doc->xml();
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
    auto doc = LoadTemplate("DTMOnParameterChanged.xml");
    xml::Node changed = selectOrRaise(*doc, "FDT/ChangedParameter");
    changed.setAttribute("ParamName", ParamName);
    changed.setAttribute("NewValue", NewValue);
    return doc->xml();
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
    xml::Node child = root.ownerDocument()->createElement(name, nameSpace);
    return root.appendChild(child);
}

xml::Node XMLHelp::addAttribut(std::string_view name, const com::Variant& value, xml::Node root,
                               std::string_view nameSpace) {
    if (!root) raise("addAttribut without an element");
    if (!nameSpace.empty()) return root.setAttributeNS(name, nameSpace, textOf(value));
    return root.setAttribute(name, textOf(value));
}

xml::Node XMLHelp::setAttribut(std::string_view name, const com::Variant& value, xml::Node root,
                               std::string_view nameSpace) {
    return addAttribut(name, value, root, nameSpace);
}

}  // namespace tivmate
