#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "com/HResult.h"

namespace com {

// Registry contents in memory. Key paths are backslash-separated and start with a root:
// HKEY_CLASSES_ROOT, HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE, HKEY_USERS or HKEY_CURRENT_CONFIG
// (HKCR, HKCU, HKLM, HKU, HKCC accepted and written out in full). Keys and value names match
// without regard to (ASCII) case and keep the case they were created with. A value name ""
// is the key's default value ("@" in the file). Values are strings or 32-bit numbers.
//
// Text form (REGEDIT4):
//   REGEDIT4
//
//   [HKEY_CLASSES_ROOT\CLSID\{FEC124C9-0C9D-4A6D-AB91-02A18CCA2A21}]
//   @="TivDriver Objekt"
//
//   [HKEY_CLASSES_ROOT\CLSID\{FEC124C9-0C9D-4A6D-AB91-02A18CCA2A21}\InprocServer32]
//   @="/opt/tivlink/lib/libtivlink.so"
//   "ThreadingModel"="Apartment"
//   "Count"=dword:0000000a
// One key section per key, parents before children; strings in double quotes with \\ and \"
// escaped; lines starting with ';' are comments; blank lines are ignored. Key components are
// non-empty, without '\', ']' or control characters; names and strings without control
// characters.
class RegistryData {
public:
    using Value = std::variant<std::string, std::uint32_t>;

    // Parses the text form. On a syntax error: false, `error` = "line N: what", and this left
    // empty. An empty text is an empty registry.
    bool parse(std::string_view text, std::string* error);
    std::string format() const;

    // Key paths are checked: E_INVALIDARG for a bad path, name or value.
    // createKey / setValue create missing parents.
    HRESULT createKey(std::string_view key);
    HRESULT setValue(std::string_view key, std::string_view name, Value value);
    HRESULT setString(std::string_view key, std::string_view name, std::string_view value) {
        return setValue(key, name, std::string(value));
    }
    // The key and everything below it. S_FALSE when it did not exist.
    HRESULT deleteKey(std::string_view key);
    // S_FALSE when it did not exist.
    HRESULT deleteValue(std::string_view key, std::string_view name);

    bool keyExists(std::string_view key) const;
    std::optional<Value> value(std::string_view key, std::string_view name = {}) const;
    // A string value; nothing for a missing value or a number.
    std::optional<std::string> string(std::string_view key, std::string_view name = {}) const;
    // Names (as created) of the direct sub keys, sorted without regard to case.
    std::vector<std::string> subKeys(std::string_view key) const;
    // Value names in creation order ("" for the default value).
    std::vector<std::string> valueNames(std::string_view key) const;
    std::size_t keyCount() const { return keys_.size(); }

    // The path in its written form ("HKCR\\a" -> "HKEY_CLASSES_ROOT\\a"); nothing when bad.
    static std::optional<std::string> normalizeKey(std::string_view key);

private:
    struct Key {
        std::string path;  // as created, root in full
        std::vector<std::pair<std::string, Value>> values;
    };
    Key* find(std::string_view normalized);
    const Key* find(std::string_view normalized) const;
    Key& ensure(const std::string& normalized);

    std::map<std::string, Key> keys_;  // by lower-case path
};

// The registry file. Every call reads the file afresh; changes are read-modify-write under an
// exclusive flock on "<file>.lock" and replace the file atomically (temporary file, fsync,
// rename), so concurrent writers in several processes or threads lose nothing and readers
// never see a half-written file. Reads take no lock. A missing file is an empty registry; a
// file that does not parse is never overwritten (writes fail with REGDB_E_WRITEREGDB, reads
// with REGDB_E_READREGDB). Files over 16 MiB are refused. Blocking: a write waits for other
// writers (each holds the lock for one update only). Not re-entrant: do not call the registry
// from inside update().
class Registry {
public:
    // The file in use: Registry::path() unless given.
    Registry();
    explicit Registry(std::filesystem::path file);

    // The process's registry file: the one set with setPath(), else $TIV_REGISTRY, else
    // $XDG_DATA_HOME/tivlink/registry.reg, else ~/.local/share/tivlink/registry.reg.
    static std::filesystem::path path();
    // Overrides it for the whole process (all modules); an empty path removes the override.
    static void setPath(const std::filesystem::path& file);

    const std::filesystem::path& file() const { return file_; }

    // S_OK and the contents; REGDB_E_READREGDB and `error` for an unreadable or bad file.
    HRESULT load(RegistryData& out, std::string* error = nullptr) const;
    // Runs `change` on the current contents and writes the result if it returns a success
    // code (its code is returned). REGDB_E_WRITEREGDB and `error` when the file cannot be
    // locked, read, parsed or written; the file is then unchanged.
    HRESULT update(const std::function<HRESULT(RegistryData&)>& change,
                   std::string* error = nullptr);

    // Single-value shorthands over load() / update().
    std::optional<std::string> getString(std::string_view key, std::string_view name = {}) const;
    HRESULT setString(std::string_view key, std::string_view name, std::string_view value);
    HRESULT deleteKey(std::string_view key);
    bool keyExists(std::string_view key) const;

private:
    std::filesystem::path file_;
};

}  // namespace com
