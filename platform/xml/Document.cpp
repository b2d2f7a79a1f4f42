#include "xml/Document.h"

#include <libxml/tree.h>
#include <libxml/xmlsave.h>

#include <algorithm>
#include <fstream>
#include <utility>

#include "xml/LibXml.h"
#include "xml/SchemaCache.h"

namespace xml {

namespace {

bool startsWithDeclaration(std::string_view text) {
    if (text.starts_with("\xEF\xBB\xBF")) text.remove_prefix(3);
    return text.size() > 5 && text.starts_with("<?xml") &&
           (text[5] == ' ' || text[5] == '\t' || text[5] == '\r' || text[5] == '\n');
}

}  // namespace

std::optional<std::string> loadTextFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::string text;
    char chunk[65536];
    while (in.read(chunk, sizeof chunk) || in.gcount() > 0) {
        text.append(chunk, static_cast<std::size_t>(in.gcount()));
        if (text.size() > kMaxDocumentSize) return std::nullopt;
    }
    if (in.bad()) return std::nullopt;
    return text;
}

bool isXmlText(std::string_view text) {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const auto* end = p + text.size();
    while (p < end) {
        std::uint32_t c = *p;
        int more = 0;
        if (c < 0x80)
            more = 0;
        else if ((c & 0xE0) == 0xC0)
            c &= 0x1F, more = 1;
        else if ((c & 0xF0) == 0xE0)
            c &= 0x0F, more = 2;
        else if ((c & 0xF8) == 0xF0)
            c &= 0x07, more = 3;
        else
            return false;
        if (end - p <= more) return false;
        for (int i = 1; i <= more; ++i) {
            if ((p[i] & 0xC0) != 0x80) return false;
            c = (c << 6) | (p[i] & 0x3F);
        }
        static constexpr std::uint32_t kMin[] = {0, 0x80, 0x800, 0x10000};
        if (c < kMin[more]) return false;  // overlong
        const bool allowed = c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0xD7FF) ||
                             (c >= 0xE000 && c <= 0xFFFD) || (c >= 0x10000 && c <= 0x10FFFF);
        if (!allowed) return false;
        p += more + 1;
    }
    return true;
}

bool isXmlName(std::string_view text) {
    if (text.empty() || !isXmlText(text)) return false;
    const std::string s(text);
    return xmlValidateName(BAD_CAST s.c_str(), 0) == 0;
}

bool isXmlQName(std::string_view text) {
    if (!isXmlName(text)) return false;
    const std::string s(text);
    return xmlValidateQName(BAD_CAST s.c_str(), 0) == 0;
}

Document::Document() {
    detail::ensureInit();
}

Document::Document(Document&& other) noexcept {
    *this = std::move(other);
}

Document& Document::operator=(Document&& other) noexcept {
    if (this == &other) return *this;
    reset();
    preserveWhiteSpace = other.preserveWhiteSpace;
    validateOnParse = other.validateOnParse;
    doc_ = std::exchange(other.doc_, nullptr);
    if (doc_) doc_->_private = this;
    hasDeclaration_ = std::exchange(other.hasDeclaration_, false);
    orphans_ = std::move(other.orphans_);
    other.orphans_.clear();
    schemas_ = std::move(other.schemas_);
    error_ = std::move(other.error_);
    return *this;
}

Document::~Document() {
    reset();
}

void Document::reset() {
    // Orphans that went back into the tree are freed with it; the others are ours.
    // Decide before freeing: an orphan inside another one goes with it.
    std::vector<xmlNodePtr> tops;
    for (const Node& orphan : orphans_)
        if (!orphan.raw()->parent) tops.push_back(orphan.raw());
    for (xmlNodePtr n : tops) xmlFreeNode(n);
    orphans_.clear();
    if (doc_) xmlFreeDoc(doc_);
    doc_ = nullptr;
    hasDeclaration_ = false;
}

Document* Document::of(_xmlDoc* doc) {
    return doc ? static_cast<Document*>(doc->_private) : nullptr;
}

void Document::adopt(Node orphan) {
    if (orphan && std::find(orphans_.begin(), orphans_.end(), orphan) == orphans_.end())
        orphans_.push_back(orphan);
}

bool Document::load(const std::filesystem::path& path) {
    const std::string url = path.string();
    std::error_code ec;
    const auto size = std::filesystem::file_size(path, ec);
    if (!ec && size > kMaxDocumentSize) {
        reset();
        error_ = {ParseError::kTooLarge, "the document is larger than 16 MiB", 0, 0, 0, {}, url};
        return false;
    }
    const auto text = loadTextFile(path);
    if (!text) {
        reset();
        error_ = {ParseError::kFileNotReadable, "the file cannot be read", 0, 0, 0, {}, url};
        return false;
    }
    return parse(*text, url);
}

bool Document::loadXML(std::string_view text) {
    return parse(text, {});
}

bool Document::parse(std::string_view text, const std::string& url) {
    reset();
    error_ = {};
    if (text.size() > kMaxDocumentSize) {
        error_ = {ParseError::kTooLarge, "the document is larger than 16 MiB", 0, 0, 0, {}, url};
        return false;
    }
    int options = detail::kParseOptions;
    if (!preserveWhiteSpace) options |= XML_PARSE_NOBLANKS;
    xmlDocPtr doc = nullptr;
    {
        detail::LoaderScope noExternals;
        detail::ErrorCapture errors;
        doc = xmlReadMemory(text.data(), static_cast<int>(text.size()),
                            url.empty() ? nullptr : url.c_str(), nullptr, options);
        // Namespace errors (an unbound prefix) are not fatal to libxml2; they are to us.
        if (!doc || errors.any() || !xmlDocGetRootElement(doc)) {
            if (doc) xmlFreeDoc(doc);
            error_ = errors.toParseError(text, url, XML_ERR_DOCUMENT_EMPTY);
            return false;
        }
    }
    if (validateOnParse && schemas_ && !schemas_->validate(doc, &error_)) {
        xmlFreeDoc(doc);
        error_.url = url;
        detail::locate(error_, text);
        return false;
    }
    doc_ = doc;
    doc_->_private = this;
    hasDeclaration_ = startsWithDeclaration(text);
    return true;
}

bool Document::empty() const {
    return !doc_ || !xmlDocGetRootElement(doc_);
}

Node Document::documentElement() const {
    return Node(doc_ ? xmlDocGetRootElement(doc_) : nullptr);
}

Node Document::node() const {
    return Node(reinterpret_cast<xmlNodePtr>(doc_));
}

Node Document::createElement(std::string_view qname, std::string_view nsURI) {
    if (!isXmlQName(qname)) throw Error("not an element name: \"" + std::string(qname) + "\"");
    if (!doc_) {
        doc_ = xmlNewDoc(BAD_CAST "1.0");
        if (!doc_) throw Error("out of memory");
        doc_->_private = this;
    }
    const std::string name(qname);
    const auto colon = name.find(':');
    const std::string prefix = colon == std::string::npos ? "" : name.substr(0, colon);
    const std::string local = colon == std::string::npos ? name : name.substr(colon + 1);
    const bool inNamespace = !nsURI.empty();
    // A prefix needs a binding, or the written document would not load again.
    if (!prefix.empty() && !inNamespace)
        throw Error("element \"" + name + "\" has a prefix but no namespace");
    xmlNodePtr n =
        xmlNewDocNode(doc_, nullptr, BAD_CAST(inNamespace ? local : name).c_str(), nullptr);
    if (!n) throw Error("out of memory");
    adopt(Node(n));
    if (inNamespace) {
        const std::string uri(nsURI);
        xmlNsPtr ns =
            xmlNewNs(n, BAD_CAST uri.c_str(), prefix.empty() ? nullptr : BAD_CAST prefix.c_str());
        if (!ns) throw Error("cannot declare namespace \"" + uri + "\"");
        n->ns = ns;
    }
    return Node(n);
}

std::string Document::xml() const {
    if (!doc_) return {};
    xmlBufferPtr buffer = xmlBufferCreate();
    if (!buffer) throw Error("out of memory");
    xmlSaveCtxtPtr save = xmlSaveToBuffer(buffer, "UTF-8", XML_SAVE_NO_DECL);
    if (!save) {
        xmlBufferFree(buffer);
        throw Error("out of memory");
    }
    xmlSaveDoc(save, doc_);
    xmlSaveClose(save);
    std::string out = hasDeclaration_ ? "<?xml version=\"1.0\"?>\n" : "";
    out.append(reinterpret_cast<const char*>(xmlBufferContent(buffer)),
               static_cast<std::size_t>(xmlBufferLength(buffer)));
    xmlBufferFree(buffer);
    return out;
}

std::string escapeText(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            case '\'':
                out += "&apos;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

}  // namespace xml
