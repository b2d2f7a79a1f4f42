#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "xml/Document.h"

namespace tivmate {

// The DTM's texts by language, category and key, from XMLData/DTMDictionary.xml:
//   <Dictionary><Language localeId="0009" isDefault="1"><Category name="keys">
//     <msg_Connected text="Connected"/>…
// A key becomes an element name with "/" → "." and "~" → "_". A lookup never fails: a missing
// dictionary, language, category, key or attribute, and a key that is no XML name, give
// nullopt (the Empty of the DTM's callers).
class clsDictionary {
public:
    void Clear();
    // On success replaces document and selection (the default language); on failure keeps
    // both and traces the parse error.
    bool LoadDictionary(const std::filesystem::path& FullPathToDict);
    bool IsLoaded() const { return m_Dictionary != nullptr; }

    // Empty when no document is loaded.
    std::vector<xml::Node> GetLanguages() const;
    // The localeId of langNode read as hex; 0 for Nothing or a localeId that is not hex.
    std::int32_t GetIdOfLanguage(xml::Node langNode) const;
    std::int32_t GetDefaultLanguageId() const;
    // Selects the language whose localeId is the low 16 bits of LanguageId as four upper-case
    // hex digits (7 → "0007", 1031 → "0407"); false, selection unchanged, when there is none.
    // bFreeOtherLanguages removes every other language from the document.
    bool SelectLanguage(std::int32_t LanguageId, bool bFreeOtherLanguages);
    xml::Node GetSelectedLanguage() const { return m_SelectedLanguage; }
    std::vector<xml::Node> GetCategories(std::string_view Category) const;

    std::optional<std::string> GetTextEntry(std::string_view Category, std::string_view Key,
                                            std::string_view KeyAttribute) const;
    // The same over categories the caller selected.
    std::optional<std::string> GetTextEntry(const std::vector<xml::Node>& Categories,
                                            std::string_view Key,
                                            std::string_view KeyAttribute) const;

    // Replaces "$(key)" tags by the "text" of category "keys"; a tag without an entry stays.
    // Inserted text is not scanned again.
    std::string TranslateStringTags(std::string_view RplStr) const;
    // The same for text that is XML: inserted texts are escaped (& < > " ').
    std::string TranslateStringTagsForXml(std::string_view RplStr) const;

    // The trace text of a failed load.
    static std::string LoadErrorText(const xml::ParseError& error);

private:
    std::string translate(std::string_view text, bool escape) const;

    std::unique_ptr<xml::Document> m_Dictionary;
    xml::Node m_SelectedLanguage;
};

}  // namespace tivmate
