#pragma once

#include <cstddef>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "xml/Node.h"
#include "xml/ParseError.h"

struct _xmlDoc;

namespace xml {

class SchemaCache;

// Documents larger than this are refused (a failed load).
inline constexpr std::size_t kMaxDocumentSize = 16u << 20;

// A DOM document over libxml2. Loads never touch the network, never load external entities or
// DTDs and keep libxml2's entity limits, whatever the document asks for. With validation on and
// a schema cache assigned, a document whose root element's namespace has a schema in the cache
// is validated against it; a namespace without a (compilable) schema loads well-formed only.
//
// A load either succeeds or fails with parseError() set and the document left empty; it throws
// only Error for internal failures. Not thread-safe; one thread at a time.
class Document {
public:
    Document();
    ~Document();
    Document(const Document&) = delete;
    Document& operator=(const Document&) = delete;
    // Nodes stay valid and belong to the moved-to document.
    Document(Document&& other) noexcept;
    Document& operator=(Document&& other) noexcept;

    // Options in force for the next load.
    bool preserveWhiteSpace = false;
    bool validateOnParse = true;
    void setSchemas(std::shared_ptr<const SchemaCache> schemas) { schemas_ = std::move(schemas); }
    const std::shared_ptr<const SchemaCache>& schemas() const { return schemas_; }

    bool load(const std::filesystem::path& path);
    bool loadXML(std::string_view text);
    const ParseError& parseError() const { return error_; }

    bool empty() const;
    Node documentElement() const;
    // The document node itself; selection from it starts at the root element.
    Node node() const;
    Node selectSingleNode(std::string_view pattern) const {
        return node().selectSingleNode(pattern);
    }
    std::vector<Node> selectNodes(std::string_view pattern) const {
        return node().selectNodes(pattern);
    }

    // A new element, not yet in the tree, named qname in namespace nsURI (empty: none).
    Node createElement(std::string_view qname, std::string_view nsURI = {});

    // The serialised document, without pretty-printing; the "<?xml version="1.0"?>" line only
    // when the loaded text had a declaration. "" when empty.
    std::string xml() const;

    // For Node: nodes that left the tree and are freed with the document.
    void adopt(Node orphan);
    static Document* of(_xmlDoc* doc);

private:
    void reset();
    bool parse(std::string_view text, const std::string& url);

    _xmlDoc* doc_ = nullptr;
    bool hasDeclaration_ = false;
    std::vector<Node> orphans_;
    std::shared_ptr<const SchemaCache> schemas_;
    ParseError error_;
};

// A whole text file (for documents used as plain text); nullopt when it cannot be read or is
// larger than kMaxDocumentSize.
std::optional<std::string> loadTextFile(const std::filesystem::path& path);

// Text with & < > " ' replaced by their entities, for XML content or attribute values.
std::string escapeText(std::string_view text);

// Whether text is an XML Name (as element names must be).
bool isXmlName(std::string_view text);
// Whether text is a qualified name: an XML Name with at most one ":" inside it.
bool isXmlQName(std::string_view text);
// Whether text is UTF-8 made only of characters XML 1.0 allows (no NUL, no control characters
// but tab, CR and LF): what attribute values and text must be to load again once written.
bool isXmlText(std::string_view text);

}  // namespace xml
