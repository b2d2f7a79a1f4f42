#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "com/Variant.h"
#include "core/clsCommunicationCall.h"
#include "core/clsDataElement.h"
#include "xml/Document.h"
#include "xml/SchemaCache.h"

namespace tivmate {

// The DTM's document object: the FDT document templates of XMLData, the schema cache they and
// the frame's documents validate against, and the node and attribute primitives. A document
// that does not load, or lacks the node or attribute a reader needs, raises com::ComError (the
// DOM error of the described system) with the parse error's text.
class XMLHelp {
public:
    // The templates are read from xmlDataPath; the information document names icons below
    // appDirectory.
    XMLHelp(std::filesystem::path xmlDataPath, std::filesystem::path appDirectory);

    // Adds every "*xml" file of SchemaPath under "x-schema:" + its name; a missing directory
    // or a schema that does not add is skipped.
    void InitXMLSchemaCache(const std::filesystem::path& SchemaPath);
    const std::shared_ptr<xml::SchemaCache>& Cache() const { return m_Cache; }

    // The schemas of SchemaPath in a new cache; this object's cache is not touched.
    static std::shared_ptr<xml::SchemaCache> GetXMLSchemas(const std::filesystem::path& SchemaPath);
    // A document with the DTM's load options and this object's schemas.
    std::unique_ptr<xml::Document> PrepareDocument() const;
    // The parameter document as loaded; "" when it does not load.
    std::string GetDTMParametersDoc() const;
    // The documentation document: the DTM's version information and one DocumentVariable per
    // row, in order.
    std::string GetDTMDocumentationDoc(const std::vector<clsDataElement>& AdapterParameter) const;
    // The channel parameter document for the channel SystemTag/ChannelUUID.
    std::string FdtBasicChannelParameter(const com::Variant& SystemTag,
                                         const com::Variant& ChannelUUID) const;
    // Attribute func:functionId of FDT/FDTFunctionCall, as text and as a variant.
    std::string GetProgId(std::string_view functionCall) const;
    com::Variant DocFunctionID(std::string_view functionCall) const;
    // Attribute fdt:tag of FDT/ConnectRequest (fdt:Tag as well, for frames that write it so).
    std::string GetFdtTag(std::string_view fieldbusFrame) const;
    // Attribute CNumber of FDT/ConnectRequest/DeviceInformation.
    std::string GetCNumber(std::string_view fieldbusFrame) const;
    // Languages need nothing of the document object.
    static void LoadNewLanguage(std::int32_t& LngID);

    // Attribute text of a variant, locale-free: integers in decimal, floating numbers shortest
    // with a decimal point, dates "yyyy-mm-dd[ hh:mm:ss]", booleans "1"/"0", texts as they
    // are, arrays as upper-case hex per element (2, 4 or 8 digits by element size); "" for
    // anything else.
    static std::string ValueToText(const com::Variant& value);
    // Tells the user why a document could not be loaded (the text is ShowXmlLoadErrorText's).
    static void ShowXmlLoadError(const xml::ParseError& error);
    static std::string ShowXmlLoadErrorText(const xml::ParseError& error);

    // The DTM's information document. Before any schema is cached: the template's text with
    // the icon path put in (escaped as XML text); afterwards the validated document.
    std::string GetDTMInformationDoc() const;
    // True when the frame's device type names "TIV Driver" or the Tiv bus category.
    bool CheckInitInformation(std::string_view DeviceType) const;
    // Attribute userLevel of FDT/FDTUserInformation.
    std::string GetUserLevel(std::string_view userInfo) const;
    // The functions document with the Test function's Status/@hidden set to TestCtrlHidden.
    std::string GetDTMFunctionsDoc(std::string_view TestCtrlHidden) const;
    // The parameter-changed document for one value.
    std::string OnParameterChanged(std::string_view ParamName, std::string_view NewValue) const;
    // The attribute of the first node PathToAttr selects; "" when no node matches.
    std::string GetAttributeFromXML(std::string_view XMLString, std::string_view PathToAttr,
                                    std::string_view AttrName) const;

    // The next following sibling that is an element; Nothing when there is none.
    static xml::Node GetNextElement(xml::Node element);
    // A new element appended to root, in nameSpace when given (the in-scope prefix reused).
    static xml::Node addNode(std::string_view name, xml::Node root,
                             std::string_view nameSpace = {});
    // Adds (addAttribut) or sets (setAttribut) an attribute; the value as text.
    static xml::Node addAttribut(std::string_view name, const com::Variant& value, xml::Node root,
                                 std::string_view nameSpace = {});
    static xml::Node setAttribut(std::string_view name, const com::Variant& value, xml::Node root,
                                 std::string_view nameSpace = {});

    // A document loaded from text or a template with the cache's schemas; raises on failure.
    std::unique_ptr<xml::Document> LoadText(std::string_view text, bool validate = true) const;
    std::unique_ptr<xml::Document> LoadTemplate(std::string_view fileName) const;

    // ---- Tiv protocol documents (XMLHelpProtocol.cpp) ----
    std::string TIVConnectResponseXML(const std::string& communicationReference,
                                      const std::string& fdtTag) const;
    std::string TIVDisconnectResponseXML(const std::string& communicationReference) const;
    // The request a transaction document describes. A document from a caller is parsed without
    // validation and never raises: a malformed one gives nullptr and the reason in refusal.
    std::shared_ptr<clsCommunicationCall> XMLDocumentToTIVProtocol(std::string_view fieldbusFrame,
                                                                   std::string& refusal) const;
    std::string TIVProtocolToXMLDocument(const std::string& communicationReference,
                                         const clsCommunicationCall& ComResponse) const;
    std::string GetSupportedProtocols() const;
    std::string TIVCommunicationErrorXML(fdtTIVCommErrorCode ComError, const std::string& Tag,
                                         bool TIVActive, const std::string& ComRef) const;
    // The word the error document carries for a code; "" for cecNone and unknown codes.
    static std::string_view TIVCommErrorWord(fdtTIVCommErrorCode ComError);
    // An attribute of a caller's document, parsed without validation: "" when the document
    // does not load, or the node or the attribute is absent.
    static std::string GetCallerAttribute(std::string_view XMLString, std::string_view PathToAttr,
                                          std::string_view AttrName);

private:
    std::string FunctionsDoc(std::string_view TestCtrlHidden) const;

    std::filesystem::path m_XMLDataPath;
    std::filesystem::path m_AppDirectory;
    std::shared_ptr<xml::SchemaCache> m_Cache;
};

// The text of a DOM error raised for a failed load.
std::string ParseErrorText(const xml::ParseError& error);

// A load that raised (not merely failed): the user has been shown why, and the operation ends
// with its empty result.
class XmlLoadRaised : public com::ComError {
public:
    using com::ComError::ComError;
};

}  // namespace tivmate
