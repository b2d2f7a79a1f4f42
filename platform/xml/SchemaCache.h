#pragma once

#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "xml/ParseError.h"

struct _xmlSchema;
struct _xmlDoc;

namespace xml {

// XSD schemas keyed by namespace, "x-schema:" + file name, as the system names them. A schema's
// imports resolve through the cache: a relative schemaLocation "B.xml" in the schema keyed
// "x-schema:A.xml" is asked for as "x-schema:B.xml"; a name the cache lacks is looked for in the
// directory the importing schema was added from. Schemas compile on first use per namespace.
// One thread at a time.
class SchemaCache {
public:
    SchemaCache();
    ~SchemaCache();
    SchemaCache(const SchemaCache&) = delete;
    SchemaCache& operator=(const SchemaCache&) = delete;

    // Adds (or replaces) the schema in file `path` under `namespaceKey`. False, and the cache
    // unchanged, when the file cannot be read, does not parse, is not an XSD schema or its
    // targetNamespace is not namespaceKey; lastAddError() then says why.
    bool add(const std::string& namespaceKey, const std::filesystem::path& path);
    // Every file of dir whose name ends in "xml" (any case), by name, under "x-schema:" + name.
    // A missing or unreadable directory adds nothing. Returns how many were added.
    std::size_t addDirectory(const std::filesystem::path& dir);

    std::size_t size() const { return entries_.size(); }
    bool contains(std::string_view namespaceKey) const;
    std::vector<std::string> keys() const;
    const std::string& lastAddError() const { return lastAddError_; }

    // Validates doc against the schema of its root element's namespace. No schema for that
    // namespace, or one that does not compile: true (well-formed only). Otherwise false with the
    // first validation error in *error.
    bool validate(_xmlDoc* doc, ParseError* error) const;

    // The compiled schema for a namespace, or null; why it failed to compile, if it did.
    _xmlSchema* compiled(const std::string& namespaceKey) const;
    std::string compileError(const std::string& namespaceKey) const;

    // For the entity loader: the text of a cached schema and the directory it came from.
    const std::string* text(std::string_view namespaceKey) const;
    std::filesystem::path directoryOf(std::string_view namespaceKey) const;

private:
    struct Entry {
        std::string text;
        std::filesystem::path path;
    };
    struct Compiled;
    std::map<std::string, Entry, std::less<>> entries_;
    mutable std::map<std::string, std::shared_ptr<Compiled>, std::less<>> compiled_;
    std::string lastAddError_;
};

}  // namespace xml
