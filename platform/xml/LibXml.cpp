#include "xml/LibXml.h"

#include <libxml/parserInternals.h>
#include <libxml/xmlIO.h>

#include <mutex>

#include "xml/Document.h"
#include "xml/SchemaCache.h"

namespace xml::detail {

namespace {

xmlExternalEntityLoader gPreviousLoader = nullptr;

thread_local bool tActive = false;
thread_local const SchemaCache* tCache = nullptr;
thread_local std::filesystem::path tBaseDir;

constexpr std::string_view kSchemaScheme = "x-schema:";

xmlParserInputPtr fromMemory(const std::string& text, const char* url, xmlParserCtxtPtr ctxt) {
    xmlParserInputBufferPtr buffer = xmlParserInputBufferCreateMem(
        text.data(), static_cast<int>(text.size()), XML_CHAR_ENCODING_NONE);
    if (!buffer) return nullptr;
    xmlParserInputPtr input = xmlNewIOInputStream(ctxt, buffer, XML_CHAR_ENCODING_NONE);
    if (!input) {
        xmlFreeParserInputBuffer(buffer);
        return nullptr;
    }
    input->filename = reinterpret_cast<const char*>(xmlStrdup(BAD_CAST url));
    return input;
}

// Inside our own parses only cached schemas (or their files beside the importing schema) are
// served; documents get nothing, so no document can make us read a file or the network.
xmlParserInputPtr entityLoader(const char* url, const char* id, xmlParserCtxtPtr ctxt) {
    if (!tActive) return gPreviousLoader ? gPreviousLoader(url, id, ctxt) : nullptr;
    if (!tCache || !url) return nullptr;
    const std::string_view u(url);
    if (!u.starts_with(kSchemaScheme)) return nullptr;
    if (const std::string* text = tCache->text(u)) return fromMemory(*text, url, ctxt);
    const std::string_view name = u.substr(kSchemaScheme.size());
    if (tBaseDir.empty() || name.empty() || name.find('/') != std::string_view::npos ||
        name == "." || name == "..")
        return nullptr;
    const auto text = loadTextFile(tBaseDir / std::string(name));
    return text ? fromMemory(*text, url, ctxt) : nullptr;
}

}  // namespace

void ensureInit() {
    static std::once_flag once;
    std::call_once(once, [] {
        xmlInitParser();
        gPreviousLoader = xmlGetExternalEntityLoader();
        xmlSetExternalEntityLoader(&entityLoader);
    });
}

ErrorCapture::ErrorCapture()
    : previous_(xmlStructuredError), previousContext_(xmlStructuredErrorContext) {
    xmlSetStructuredErrorFunc(this, &ErrorCapture::onError);
}

ErrorCapture::~ErrorCapture() {
    xmlSetStructuredErrorFunc(previousContext_, previous_);
}

void ErrorCapture::onError(void* self, xmlErrorPtr error) {
    auto* capture = static_cast<ErrorCapture*>(self);
    if (!error || error->level < XML_ERR_ERROR || capture->first_) return;
    Captured c;
    c.code = error->code;
    c.message = error->message ? error->message : "";
    while (!c.message.empty() && (c.message.back() == '\n' || c.message.back() == '\r'))
        c.message.pop_back();
    c.line = error->line;
    c.column = error->int2;
    capture->first_ = std::move(c);
}

ParseError ErrorCapture::toParseError(std::string_view text, const std::string& url,
                                      std::int32_t fallbackCode) const {
    ParseError e;
    e.url = url;
    if (first_) {
        e.code = first_->code != 0 ? first_->code : fallbackCode;
        e.reason = first_->message;
        e.line = first_->line;
        e.linepos = first_->column;
    } else {
        e.code = fallbackCode;
        e.reason = "the document could not be read";
    }
    locate(e, text);
    return e;
}

void locate(ParseError& e, std::string_view text) {
    if (e.line <= 0 || text.empty()) return;
    std::size_t start = 0;
    for (std::int32_t l = 1; l < e.line; ++l) {
        const auto nl = text.find('\n', start);
        if (nl == std::string_view::npos) return;
        start = nl + 1;
    }
    auto end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    e.srcText = std::string(line);
    const std::size_t column = e.linepos > 0 ? static_cast<std::size_t>(e.linepos - 1) : 0;
    e.filepos = static_cast<std::int32_t>(start + std::min(column, line.size()));
}

LoaderScope::LoaderScope(const SchemaCache* cache, std::filesystem::path baseDir)
    : wasActive_(tActive), previousCache_(tCache), previousDir_(std::move(tBaseDir)) {
    ensureInit();
    tActive = true;
    tCache = cache;
    tBaseDir = std::move(baseDir);
}

LoaderScope::~LoaderScope() {
    tActive = wasActive_;
    tCache = previousCache_;
    tBaseDir = std::move(previousDir_);
}

}  // namespace xml::detail
