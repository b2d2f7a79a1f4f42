#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "xml/Document.h"
#include "xml/SchemaCache.h"

// Input: a pattern line, an attribute-name line, then a document. Validates the document
// against the DTM's own schemas (as a request in one of their namespaces is), loads it,
// selects with the pattern, reads and sets the attribute on every match, and re-parses what it
// wrote: an edit through our API must never produce a document that no longer loads.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view in(reinterpret_cast<const char*>(data), size);
    const auto line = [&in] {
        const auto nl = in.find('\n');
        std::string_view l = in.substr(0, nl);
        in = nl == std::string_view::npos ? std::string_view() : in.substr(nl + 1);
        return l;
    };
    const std::string_view pattern = line();
    const std::string attribute(line());

    static const auto schemas = [] {
        auto cache = std::make_shared<xml::SchemaCache>();
        cache->addDirectory(TIVMATE_SCHEMA_DIR);
        return cache;
    }();
    xml::Document validated;
    validated.setSchemas(schemas);
    validated.loadXML(in);

    xml::Document doc;
    if (!doc.loadXML(in)) {
        if (!validated.empty()) __builtin_trap();  // valid but not well-formed?
        if (!doc.empty() || doc.parseError().code == 0) __builtin_trap();
        return 0;
    }
    doc.selectSingleNode(pattern);
    for (auto node : doc.selectNodes(pattern)) {
        if (node.type() != xml::NodeType::Element) __builtin_trap();
        node.getAttribute(attribute);
        try {
            node.setAttribute(attribute, "v&<\"'");
            if (node.getAttribute(attribute) != "v&<\"'") __builtin_trap();
            node.appendChild(doc.createElement(attribute.empty() ? "x" : attribute));
        } catch (const xml::Error&) {
        }
        node.nextSibling();
    }
    xml::Document again;
    if (!again.loadXML(doc.xml())) __builtin_trap();
    return 0;
}
