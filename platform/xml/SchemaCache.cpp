#include "xml/SchemaCache.h"

#include <libxml/tree.h>
#include <libxml/xmlschemas.h>

#include <algorithm>
#include <cctype>

#include "xml/Document.h"
#include "xml/LibXml.h"

namespace xml {

namespace {

constexpr const char* kXsdNamespace = "http://www.w3.org/2001/XMLSchema";

std::string attribute(xmlNodePtr n, const char* name) {
    xmlChar* v = xmlGetNoNsProp(n, BAD_CAST name);
    std::string out = v ? reinterpret_cast<const char*>(v) : "";
    if (v) xmlFree(v);
    return out;
}

}  // namespace

struct SchemaCache::Compiled {
    xmlDocPtr doc = nullptr;
    xmlSchemaPtr schema = nullptr;
    std::string error;

    ~Compiled() {
        if (schema) xmlSchemaFree(schema);
        if (doc) xmlFreeDoc(doc);
    }
};

SchemaCache::SchemaCache() {
    detail::ensureInit();
}

SchemaCache::~SchemaCache() = default;

bool SchemaCache::add(const std::string& namespaceKey, const std::filesystem::path& path) {
    lastAddError_.clear();
    auto text = loadTextFile(path);
    if (!text) {
        lastAddError_ = path.string() + ": cannot be read";
        return false;
    }
    {
        detail::LoaderScope noExternals;
        detail::ErrorCapture errors;
        xmlDocPtr doc = xmlReadMemory(text->data(), static_cast<int>(text->size()),
                                      namespaceKey.c_str(), nullptr, detail::kParseOptions);
        xmlNodePtr root = doc ? xmlDocGetRootElement(doc) : nullptr;
        if (!root || errors.any()) {
            lastAddError_ = path.string() + ": " + errors.toParseError(*text, {}, 1).reason;
        } else if (!root->ns || !xmlStrEqual(root->ns->href, BAD_CAST kXsdNamespace) ||
                   !xmlStrEqual(root->name, BAD_CAST "schema")) {
            lastAddError_ = path.string() + ": not an XSD schema";
        } else if (attribute(root, "targetNamespace") != namespaceKey) {
            lastAddError_ = path.string() + ": targetNamespace \"" +
                            attribute(root, "targetNamespace") + "\" is not \"" + namespaceKey +
                            "\"";
        }
        if (doc) xmlFreeDoc(doc);
        if (!lastAddError_.empty()) return false;
    }
    entries_[namespaceKey] = Entry{std::move(*text), path};
    compiled_.clear();
    return true;
}

std::size_t SchemaCache::addDirectory(const std::filesystem::path& dir) {
    std::error_code ec;
    std::vector<std::string> names;
    for (std::filesystem::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        std::error_code fileEc;
        if (!it->is_regular_file(fileEc)) continue;
        std::string name = it->path().filename().string();
        if (name.size() < 3) continue;
        std::string tail = name.substr(name.size() - 3);
        std::transform(tail.begin(), tail.end(), tail.begin(),
                       [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
        if (tail == "XML") names.push_back(std::move(name));
    }
    // Listing order is the file system's; by name the result does not depend on it.
    std::sort(names.begin(), names.end());
    std::size_t added = 0;
    for (const auto& name : names)
        if (add("x-schema:" + name, dir / name)) ++added;
    return added;
}

bool SchemaCache::contains(std::string_view namespaceKey) const {
    return entries_.find(namespaceKey) != entries_.end();
}

std::vector<std::string> SchemaCache::keys() const {
    std::vector<std::string> out;
    for (const auto& [key, entry] : entries_) out.push_back(key);
    return out;
}

const std::string* SchemaCache::text(std::string_view namespaceKey) const {
    auto it = entries_.find(namespaceKey);
    return it == entries_.end() ? nullptr : &it->second.text;
}

std::filesystem::path SchemaCache::directoryOf(std::string_view namespaceKey) const {
    auto it = entries_.find(namespaceKey);
    return it == entries_.end() ? std::filesystem::path() : it->second.path.parent_path();
}

_xmlSchema* SchemaCache::compiled(const std::string& namespaceKey) const {
    auto found = compiled_.find(namespaceKey);
    if (found != compiled_.end()) return found->second->schema;
    auto entry = entries_.find(namespaceKey);
    if (entry == entries_.end()) return nullptr;

    auto c = std::make_shared<Compiled>();
    {
        detail::LoaderScope cacheOnly(this, entry->second.path.parent_path());
        detail::ErrorCapture errors;
        const std::string& text = entry->second.text;
        c->doc = xmlReadMemory(text.data(), static_cast<int>(text.size()), namespaceKey.c_str(),
                               nullptr, detail::kParseOptions);
        if (c->doc) {
            xmlSchemaParserCtxtPtr parser = xmlSchemaNewDocParserCtxt(c->doc);
            if (parser) {
                c->schema = xmlSchemaParse(parser);
                xmlSchemaFreeParserCtxt(parser);
            }
        }
        if (errors.any() && c->schema) {
            xmlSchemaFree(c->schema);
            c->schema = nullptr;
        }
        if (!c->schema) c->error = errors.toParseError(text, namespaceKey, 1).reason;
    }
    compiled_[namespaceKey] = c;
    return c->schema;
}

std::string SchemaCache::compileError(const std::string& namespaceKey) const {
    compiled(namespaceKey);
    auto it = compiled_.find(namespaceKey);
    return it == compiled_.end() ? std::string() : it->second->error;
}

bool SchemaCache::validate(_xmlDoc* doc, ParseError* error) const {
    xmlNodePtr root = doc ? xmlDocGetRootElement(doc) : nullptr;
    if (!root || !root->ns || !root->ns->href) return true;
    xmlSchemaPtr schema = compiled(reinterpret_cast<const char*>(root->ns->href));
    if (!schema) return true;

    detail::LoaderScope noExternals;
    detail::ErrorCapture errors;
    xmlSchemaValidCtxtPtr validator = xmlSchemaNewValidCtxt(schema);
    if (!validator) throw Error("out of memory");
    const int result = xmlSchemaValidateDoc(validator, doc);
    xmlSchemaFreeValidCtxt(validator);
    if (result == 0) return true;
    if (error)
        *error = errors.toParseError({}, {}, result > 0 ? result : ParseError::kSchemaInternal);
    return false;
}

}  // namespace xml
