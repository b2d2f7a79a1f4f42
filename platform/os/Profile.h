#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace os {

// A read-only private-profile (INI) file, read once when constructed.
//
// Rules: "[Section]" lines open sections, "key=value" lines fill them, lines starting with ';'
// are comments. Section and key names compare without regard to ASCII case. Blanks around names
// and values are dropped, then one pair of matching double or single quotes around a value.
// Lines end in LF or CR LF. For a repeated key the first one counts; a repeated section adds
// nothing (the first one is the one that is read). Lines before the first section, lines
// without '=' and keys with an empty name are ignored. Any byte sequence is accepted.
class Profile {
public:
    // Files larger than this are read only up to it.
    static constexpr std::size_t kMaxFileSize = 64u << 20;

    // A missing or unreadable file gives an empty profile: every read returns its default.
    explicit Profile(const std::filesystem::path& path);
    static Profile fromString(std::string_view text);

    std::string readString(std::string_view section, std::string_view key,
                           std::string_view defaultValue = {}) const;
    // The value as parseInteger() reads it, else the default.
    std::int32_t readInteger(std::string_view section, std::string_view key,
                             std::int32_t defaultValue) const;
    // Nonzero integer is true.
    bool readBool(std::string_view section, std::string_view key, bool defaultValue) const;

    // Names as written, in file order.
    std::vector<std::string> sections() const;
    std::vector<std::string> keys(std::string_view section) const;
    bool hasSection(std::string_view section) const;
    bool hasKey(std::string_view section, std::string_view key) const;

    // Whether the file could be read; error() says why not ("" when it could).
    bool loaded() const { return error_.empty(); }
    const std::string& error() const { return error_; }
    const std::filesystem::path& path() const { return path_; }

    // Decimal with an optional sign, or hex as 0x1F, 0X1F or $1F (also signed); blanks around
    // it are allowed. Hex spans 32 bits and wraps into the negative range; decimal must fit.
    // Anything else is nullopt.
    static std::optional<std::int32_t> parseInteger(std::string_view text);

private:
    Profile() = default;
    void parse(std::string_view text);

    struct Section {
        std::string name;
        std::vector<std::pair<std::string, std::string>> entries;
        std::unordered_map<std::string, std::size_t> byKey;  // lower-case name -> entry
    };
    const Section* find(std::string_view section) const;
    const std::string* findValue(std::string_view section, std::string_view key) const;

    std::filesystem::path path_;
    std::string error_;
    std::vector<Section> sections_;
    std::unordered_map<std::string, std::size_t> bySection_;  // lower-case name -> section
};

// The directory the system keeps its profiles in: $TIV_SYSTEM_DIR, else /etc/tivlink.
std::filesystem::path systemDirectory();

}  // namespace os
