#pragma once

// Internal: process-wide libxml2 set-up, error capture and the entity loader's per-thread state.

#include <libxml/parser.h>
#include <libxml/xmlerror.h>

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "xml/ParseError.h"

namespace xml {

class SchemaCache;

namespace detail {

// Initialises libxml2 and installs our entity loader once per process.
void ensureInit();

// Options of every document and schema parse: no network, no entity substitution, no DTD
// loading, errors only through ErrorCapture.
inline constexpr int kParseOptions = XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING;

// While alive on this thread, libxml2's errors come here instead of stderr; the first error
// (warnings aside) is kept.
class ErrorCapture {
public:
    ErrorCapture();
    ~ErrorCapture();
    ErrorCapture(const ErrorCapture&) = delete;
    ErrorCapture& operator=(const ErrorCapture&) = delete;

    bool any() const { return first_.has_value(); }
    // The first error as a ParseError; text (when given) supplies filepos and srcText.
    ParseError toParseError(std::string_view text, const std::string& url,
                            std::int32_t fallbackCode) const;

private:
    static void onError(void* self, xmlErrorPtr error);

    struct Captured {
        std::int32_t code = 0;
        std::string message;
        std::int32_t line = 0;
        std::int32_t column = 0;
    };
    std::optional<Captured> first_;
    xmlStructuredErrorFunc previous_ = nullptr;
    void* previousContext_ = nullptr;
};

// What the entity loader may serve on this thread while alive: nothing at all (cache null, as
// for documents), or the schemas of `cache` by their "x-schema:" key with files of `baseDir` as
// the fallback. Outside any scope the previous loader serves other users of libxml2.
class LoaderScope {
public:
    explicit LoaderScope(const SchemaCache* cache = nullptr, std::filesystem::path baseDir = {});
    ~LoaderScope();
    LoaderScope(const LoaderScope&) = delete;
    LoaderScope& operator=(const LoaderScope&) = delete;

private:
    bool wasActive_;
    const SchemaCache* previousCache_;
    std::filesystem::path previousDir_;
};

// Fills filepos and srcText of e from the text it refers to.
void locate(ParseError& e, std::string_view text);

}  // namespace detail
}  // namespace xml
