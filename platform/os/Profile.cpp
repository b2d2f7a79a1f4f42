#include "os/Profile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace os {

namespace {

constexpr std::string_view kBlanks = " \t\r\v\f";

std::string_view trim(std::string_view s) {
    const auto first = s.find_first_not_of(kBlanks);
    if (first == std::string_view::npos) return {};
    const auto last = s.find_last_not_of(kBlanks);
    return s.substr(first, last - first + 1);
}

std::string lower(std::string_view s) {
    std::string out(s);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return out;
}

std::string_view unquote(std::string_view v) {
    if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
        return v.substr(1, v.size() - 2);
    return v;
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Reads at most `limit` bytes; false with `error` set when the file cannot be read.
bool readFile(const std::filesystem::path& path, std::size_t limit, std::string& text,
              std::string& error) {
    // O_NONBLOCK: opening a FIFO must not wait for a writer; only regular files are read.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        error = path.string() + ": " + std::strerror(errno);
        return false;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        error =
            path.string() + ": " + (S_ISDIR(st.st_mode) ? "is a directory" : "not a regular file");
        ::close(fd);
        return false;
    }
    char buffer[64 * 1024];
    while (text.size() < limit) {
        const auto want = std::min(sizeof buffer, limit - text.size());
        const auto n = ::read(fd, buffer, want);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            error = path.string() + ": " + std::strerror(errno);
            ::close(fd);
            return false;
        }
        if (n == 0) break;
        text.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return true;
}

}  // namespace

Profile::Profile(const std::filesystem::path& path) : path_(path) {
    std::string text;
    if (readFile(path, kMaxFileSize, text, error_)) parse(text);
}

Profile Profile::fromString(std::string_view text) {
    Profile p;
    p.parse(text);
    return p;
}

void Profile::parse(std::string_view text) {
    if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
    constexpr std::size_t kNone = static_cast<std::size_t>(-1);
    std::size_t current = kNone;
    while (!text.empty()) {
        const auto eol = text.find('\n');
        auto line = text.substr(0, eol);
        text.remove_prefix(eol == std::string_view::npos ? text.size() : eol + 1);
        line = trim(line);
        if (line.empty() || line.front() == ';') continue;

        if (line.front() == '[') {
            const auto close = line.find(']');
            const auto name =
                trim(line.substr(1, close == std::string_view::npos ? line.npos : close - 1));
            auto key = lower(name);
            if (bySection_.count(key)) {
                current = kNone;  // a repeat: never read
                continue;
            }
            current = sections_.size();
            bySection_.emplace(std::move(key), current);
            sections_.push_back(Section{std::string(name), {}, {}});
            continue;
        }
        if (current == kNone) continue;

        const auto eq = line.find('=');
        if (eq == std::string_view::npos) continue;
        const auto key = trim(line.substr(0, eq));
        if (key.empty()) continue;
        auto& section = sections_[current];
        if (section.byKey.emplace(lower(key), section.entries.size()).second) {
            section.entries.emplace_back(std::string(key),
                                         std::string(unquote(trim(line.substr(eq + 1)))));
        }
    }
}

const Profile::Section* Profile::find(std::string_view section) const {
    const auto it = bySection_.find(lower(trim(section)));
    return it == bySection_.end() ? nullptr : &sections_[it->second];
}

const std::string* Profile::findValue(std::string_view section, std::string_view key) const {
    const auto* s = find(section);
    if (!s) return nullptr;
    const auto it = s->byKey.find(lower(trim(key)));
    return it == s->byKey.end() ? nullptr : &s->entries[it->second].second;
}

std::string Profile::readString(std::string_view section, std::string_view key,
                                std::string_view defaultValue) const {
    const auto* v = findValue(section, key);
    return v ? *v : std::string(defaultValue);
}

std::int32_t Profile::readInteger(std::string_view section, std::string_view key,
                                  std::int32_t defaultValue) const {
    const auto* v = findValue(section, key);
    if (!v) return defaultValue;
    return parseInteger(*v).value_or(defaultValue);
}

bool Profile::readBool(std::string_view section, std::string_view key, bool defaultValue) const {
    return readInteger(section, key, defaultValue ? 1 : 0) != 0;
}

std::vector<std::string> Profile::sections() const {
    std::vector<std::string> names;
    names.reserve(sections_.size());
    for (const auto& s : sections_) names.push_back(s.name);
    return names;
}

std::vector<std::string> Profile::keys(std::string_view section) const {
    std::vector<std::string> names;
    if (const auto* s = find(section)) {
        names.reserve(s->entries.size());
        for (const auto& e : s->entries) names.push_back(e.first);
    }
    return names;
}

bool Profile::hasSection(std::string_view section) const {
    return find(section) != nullptr;
}

bool Profile::hasKey(std::string_view section, std::string_view key) const {
    return findValue(section, key) != nullptr;
}

std::optional<std::int32_t> Profile::parseInteger(std::string_view text) {
    auto s = trim(text);
    bool negative = false;
    if (!s.empty() && (s.front() == '+' || s.front() == '-')) {
        negative = s.front() == '-';
        s.remove_prefix(1);
    }
    bool hex = false;
    if (s.size() >= 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
        hex = true;
        s.remove_prefix(2);
    } else if (!s.empty() && s[0] == '$') {
        hex = true;
        s.remove_prefix(1);
    }
    if (s.empty()) return std::nullopt;

    std::uint64_t value = 0;
    const std::uint64_t limit = hex ? 0xFFFFFFFFull : (negative ? 0x80000000ull : 0x7FFFFFFFull);
    for (const char c : s) {
        const int d = hex ? hexDigit(c) : (c >= '0' && c <= '9' ? c - '0' : -1);
        if (d < 0) return std::nullopt;
        value = value * (hex ? 16 : 10) + static_cast<std::uint64_t>(d);
        if (value > limit) return std::nullopt;
    }
    auto bits = static_cast<std::uint32_t>(value);
    if (negative) bits = 0u - bits;
    return static_cast<std::int32_t>(bits);
}

std::filesystem::path systemDirectory() {
    const char* env = std::getenv("TIV_SYSTEM_DIR");
    return (env && *env) ? std::filesystem::path(env) : std::filesystem::path("/etc/tivlink");
}

}  // namespace os
