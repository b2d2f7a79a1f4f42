#include "core/clsDictionary.h"

#include <cstdio>

#include "core/Trace.h"

namespace tivmate {

namespace {

constexpr const char* kDefaultLanguagePattern = "Dictionary/Language[@isDefault = \"1\"]";

std::string inQuotes(std::string_view s) {
    return "\"" + std::string(s) + "\"";
}

}  // namespace

std::string clsDictionary::LoadErrorText(const xml::ParseError& e) {
    const std::string crlf = "\r\n";
    return "Your XML Document failed to load" + std::string("due the following error.") + crlf +
           "Error #: " + std::to_string(e.code) + ": " + e.reason +
           "Line #: " + std::to_string(e.line) + crlf +
           "Line Position: " + std::to_string(e.linepos) + crlf +
           "Position In File: " + std::to_string(e.filepos) + crlf + "Source Text: " + e.srcText +
           crlf + "Document URL: " + e.url;
}

void clsDictionary::Clear() {
    m_SelectedLanguage = {};
    m_Dictionary.reset();
}

bool clsDictionary::LoadDictionary(const std::filesystem::path& FullPathToDict) {
    auto doc = std::make_unique<xml::Document>();
    if (!doc->load(FullPathToDict)) {
        WriteTrace("clsDictionary.LoadDictionary", LoadErrorText(doc->parseError()));
        return false;
    }
    Clear();
    m_Dictionary = std::move(doc);
    m_SelectedLanguage = m_Dictionary->selectSingleNode(kDefaultLanguagePattern);
    return true;
}

std::vector<xml::Node> clsDictionary::GetLanguages() const {
    if (!m_Dictionary) return {};
    return m_Dictionary->selectNodes("Dictionary/Language");
}

std::int32_t clsDictionary::GetIdOfLanguage(xml::Node langNode) const {
    WriteTrace("GetIdOfLanguage", "Begin - GetIdOfLanguage = 0");
    std::int32_t result = 0;
    if (langNode) {
        WriteTrace("GetIdOfLanguage", "langNode is not nothing");
        const std::string sLangId = "&H" + langNode.getAttribute("localeId").value_or("");
        WriteTrace("GetIdOfLanguage", "sLangId= " + sLangId);
        if (const auto id = ParseIniLong(sLangId)) {
            result = *id;
            WriteTrace("GetIdOfLanguage", "GetIdOfLanguage= " + std::to_string(result));
        }
    }
    return result;
}

std::int32_t clsDictionary::GetDefaultLanguageId() const {
    if (!m_Dictionary) return 0;
    return GetIdOfLanguage(m_Dictionary->selectSingleNode(kDefaultLanguagePattern));
}

bool clsDictionary::SelectLanguage(std::int32_t LanguageId, bool bFreeOtherLanguages) {
    WriteTrace("SelectLanguage", "Begin");
    bool result = false;
    if (m_Dictionary) {
        WriteTrace("SelectLanguage", "m_Dictionary is not nothing");
        if (auto dict = m_Dictionary->selectSingleNode("Dictionary")) {
            WriteTrace("SelectLanguage", "dict is not nothing");
            char hex[16];
            std::snprintf(hex, sizeof hex, "%08X", static_cast<std::uint32_t>(LanguageId));
            const std::string sLangId(hex + 4);
            WriteTrace("SelectLanguage", "sLangId= " + sLangId);
            if (auto found =
                    dict.selectSingleNode("Language[@localeId = " + inQuotes(sLangId) + "]")) {
                m_SelectedLanguage = found;
                result = true;
                WriteTrace("SelectLanguage", "SelectLanguage= True");
                if (bFreeOtherLanguages) {
                    WriteTrace("SelectLanguage", "bFreeOtherLanguages is called");
                    for (auto other :
                         dict.selectNodes("Language[not(@localeId = " + inQuotes(sLangId) + ")]")) {
                        WriteTrace("SelectLanguage", "In Loop for bFreeOtherLanguages");
                        dict.removeChild(other);
                    }
                }
            }
        }
    }
    WriteTrace("SelectLanguage", "End");
    return result;
}

std::vector<xml::Node> clsDictionary::GetCategories(std::string_view Category) const {
    if (!m_SelectedLanguage) return {};
    return m_SelectedLanguage.selectNodes("Category[@name = " + inQuotes(Category) + "]");
}

std::optional<std::string> clsDictionary::GetTextEntry(std::string_view Category,
                                                       std::string_view Key,
                                                       std::string_view KeyAttribute) const {
    if (!m_SelectedLanguage) return std::nullopt;
    return GetTextEntry(GetCategories(Category), Key, KeyAttribute);
}

std::optional<std::string> clsDictionary::GetTextEntry(const std::vector<xml::Node>& Categories,
                                                       std::string_view Key,
                                                       std::string_view KeyAttribute) const {
    if (!m_SelectedLanguage) return std::nullopt;
    std::string name(Key);
    for (char& c : name) {
        if (c == '/') c = '.';
        if (c == '~') c = '_';
    }
    // Anything else would be read as a pattern ("*" matching any entry); a key is a name.
    if (!xml::isXmlName(name)) return std::nullopt;
    for (const auto& category : Categories) {
        if (auto entry = category.selectSingleNode(name)) return entry.getAttribute(KeyAttribute);
    }
    return std::nullopt;
}

std::string clsDictionary::translate(std::string_view text, bool escape) const {
    std::string out(text);
    std::size_t p = 0;
    while ((p = out.find("$(", p)) != std::string::npos) {
        const auto close = out.find(')', p + 2);
        if (close == std::string::npos) break;
        const auto value =
            GetTextEntry("keys", std::string_view(out).substr(p + 2, close - p - 2), "text");
        if (!value) {
            p = close + 1;
            continue;
        }
        const std::string inserted = escape ? xml::escapeText(*value) : *value;
        out.replace(p, close + 1 - p, inserted);
        p += inserted.size();
    }
    return out;
}

std::string clsDictionary::TranslateStringTags(std::string_view RplStr) const {
    return translate(RplStr, false);
}

std::string clsDictionary::TranslateStringTagsForXml(std::string_view RplStr) const {
    return translate(RplStr, true);
}

}  // namespace tivmate
