#include "com/Registry.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include "com/Runtime.h"

namespace com {

namespace {

constexpr std::size_t kMaxFileSize = 16u << 20;
// A writer holds the lock for one read-modify-write; far longer means a stuck process.
constexpr auto kLockTimeout = std::chrono::seconds(10);
constexpr std::string_view kHeader = "REGEDIT4";

struct Root {
    std::string_view full;
    std::string_view shortName;
};
constexpr Root kRoots[] = {
    {"HKEY_CLASSES_ROOT", "HKCR"}, {"HKEY_CURRENT_USER", "HKCU"},   {"HKEY_LOCAL_MACHINE", "HKLM"},
    {"HKEY_USERS", "HKU"},         {"HKEY_CURRENT_CONFIG", "HKCC"},
};

char lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

std::string lowered(std::string_view s) {
    std::string r(s);
    for (auto& c : r) c = lower(c);
    return r;
}

bool equalNoCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                              [](char x, char y) { return lower(x) == lower(y); });
}

bool hasControl(std::string_view s) {
    return std::any_of(s.begin(), s.end(),
                       [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; });
}

std::string quote(std::string_view s) {
    std::string r = "\"";
    for (const char c : s) {
        if (c == '\\' || c == '"') r += '\\';
        r += c;
    }
    return r + '"';
}

// A quoted string at s[pos] (pos at the opening quote); pos ends after the closing quote.
bool unquote(std::string_view s, std::size_t& pos, std::string& out, std::string& why) {
    out.clear();
    if (pos >= s.size() || s[pos] != '"') {
        why = "expected '\"'";
        return false;
    }
    for (++pos; pos < s.size(); ++pos) {
        const char c = s[pos];
        if (c == '"') {
            ++pos;
            return true;
        }
        if (c == '\\') {
            if (++pos >= s.size()) break;
            if (s[pos] != '\\' && s[pos] != '"') {
                why = "unknown escape '\\" + std::string(1, s[pos]) + "'";
                return false;
            }
        } else if (static_cast<unsigned char>(c) < 0x20) {
            why = "control character in string";
            return false;
        }
        out += s[pos];
    }
    why = "unterminated string";
    return false;
}

std::string lineError(std::size_t line, const std::string& what) {
    return "line " + std::to_string(line) + ": " + what;
}

}  // namespace

// RegistryData

std::optional<std::string> RegistryData::normalizeKey(std::string_view key) {
    if (key.empty() || key.size() > 4096) return std::nullopt;
    std::string out;
    std::size_t start = 0;
    bool first = true;
    while (true) {
        const auto end = key.find('\\', start);
        const auto part = key.substr(start, end == std::string_view::npos ? key.npos : end - start);
        if (part.empty() || part.size() > 255 || hasControl(part) ||
            part.find(']') != std::string_view::npos)
            return std::nullopt;
        if (first) {
            const auto root =
                std::find_if(std::begin(kRoots), std::end(kRoots), [&](const Root& r) {
                    return equalNoCase(part, r.full) || equalNoCase(part, r.shortName);
                });
            if (root == std::end(kRoots)) return std::nullopt;
            out = root->full;
            first = false;
        } else {
            out += '\\';
            out += part;
        }
        if (end == std::string_view::npos) break;
        start = end + 1;
    }
    return out;
}

RegistryData::Key* RegistryData::find(std::string_view normalized) {
    auto it = keys_.find(lowered(normalized));
    return it == keys_.end() ? nullptr : &it->second;
}

const RegistryData::Key* RegistryData::find(std::string_view normalized) const {
    auto it = keys_.find(lowered(normalized));
    return it == keys_.end() ? nullptr : &it->second;
}

RegistryData::Key& RegistryData::ensure(const std::string& normalized) {
    // Parents first, so that every key in the file has its parent; roots are not keys.
    const auto afterRoot = normalized.find('\\');
    for (auto pos = normalized.find('\\', afterRoot + 1); pos != std::string::npos;
         pos = normalized.find('\\', pos + 1)) {
        const auto parent = normalized.substr(0, pos);
        auto [it, added] = keys_.try_emplace(lowered(parent));
        if (added) it->second.path = parent;
    }
    auto [it, added] = keys_.try_emplace(lowered(normalized));
    if (added) it->second.path = normalized;
    return it->second;
}

HRESULT RegistryData::createKey(std::string_view key) {
    const auto k = normalizeKey(key);
    if (!k || k->find('\\') == std::string::npos) return E_INVALIDARG;
    ensure(*k);
    return S_OK;
}

HRESULT RegistryData::setValue(std::string_view key, std::string_view name, Value value) {
    const auto k = normalizeKey(key);
    if (!k || k->find('\\') == std::string::npos) return E_INVALIDARG;
    if (hasControl(name) || name.size() > 16383) return E_INVALIDARG;
    if (const auto* s = std::get_if<std::string>(&value); s && hasControl(*s)) return E_INVALIDARG;
    auto& entry = ensure(*k);
    for (auto& [n, v] : entry.values)
        if (equalNoCase(n, name)) {
            v = std::move(value);
            return S_OK;
        }
    entry.values.emplace_back(std::string(name), std::move(value));
    return S_OK;
}

HRESULT RegistryData::deleteKey(std::string_view key) {
    const auto k = normalizeKey(key);
    if (!k) return E_INVALIDARG;
    const auto low = lowered(*k);
    const auto prefix = low + '\\';
    bool any = false;
    for (auto it = keys_.lower_bound(low); it != keys_.end();) {
        if (it->first == low || it->first.compare(0, prefix.size(), prefix) == 0) {
            it = keys_.erase(it);
            any = true;
        } else if (it->first.compare(0, low.size(), low) == 0) {
            ++it;  // a sibling with a longer name ("ab" after "a") sorts among the children
        } else {
            break;
        }
    }
    return any ? S_OK : S_FALSE;
}

HRESULT RegistryData::deleteValue(std::string_view key, std::string_view name) {
    const auto k = normalizeKey(key);
    if (!k) return E_INVALIDARG;
    auto* entry = find(*k);
    if (!entry) return S_FALSE;
    auto& values = entry->values;
    const auto it = std::find_if(values.begin(), values.end(),
                                 [&](const auto& v) { return equalNoCase(v.first, name); });
    if (it == values.end()) return S_FALSE;
    values.erase(it);
    return S_OK;
}

bool RegistryData::keyExists(std::string_view key) const {
    const auto k = normalizeKey(key);
    return k && find(*k);
}

std::optional<RegistryData::Value> RegistryData::value(std::string_view key,
                                                       std::string_view name) const {
    const auto k = normalizeKey(key);
    const auto* entry = k ? find(*k) : nullptr;
    if (!entry) return std::nullopt;
    for (const auto& [n, v] : entry->values)
        if (equalNoCase(n, name)) return v;
    return std::nullopt;
}

std::optional<std::string> RegistryData::string(std::string_view key, std::string_view name) const {
    auto v = value(key, name);
    if (!v) return std::nullopt;
    if (auto* s = std::get_if<std::string>(&*v)) return std::move(*s);
    return std::nullopt;
}

std::vector<std::string> RegistryData::subKeys(std::string_view key) const {
    std::vector<std::string> out;
    const auto k = normalizeKey(key);
    if (!k) return out;
    const auto prefix = lowered(*k) + '\\';
    for (auto it = keys_.lower_bound(prefix); it != keys_.end(); ++it) {
        if (it->first.compare(0, prefix.size(), prefix) != 0) break;
        if (it->first.find('\\', prefix.size()) == std::string::npos)
            out.push_back(it->second.path.substr(prefix.size()));
    }
    return out;
}

std::vector<std::string> RegistryData::valueNames(std::string_view key) const {
    std::vector<std::string> out;
    const auto k = normalizeKey(key);
    if (const auto* entry = k ? find(*k) : nullptr)
        for (const auto& v : entry->values) out.push_back(v.first);
    return out;
}

bool RegistryData::parse(std::string_view text, std::string* error) {
    keys_.clear();
    std::string why;
    std::size_t lineNo = 0;
    bool header = false;
    Key* current = nullptr;
    auto fail = [&](const std::string& what) {
        keys_.clear();
        if (error) *error = lineError(lineNo, what);
        return false;
    };
    while (!text.empty()) {
        const auto nl = text.find('\n');
        std::string_view line = text.substr(0, nl);
        text = nl == std::string_view::npos ? std::string_view() : text.substr(nl + 1);
        ++lineNo;
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        while (!line.empty() && (line.back() == ' ' || line.back() == '\t')) line.remove_suffix(1);
        if (line.empty() || line.front() == ';') continue;
        if (!header) {
            if (line != kHeader) return fail("the file does not start with REGEDIT4");
            header = true;
            continue;
        }
        if (line.front() == '[') {
            if (line.back() != ']') return fail("missing ']'");
            const auto k = normalizeKey(line.substr(1, line.size() - 2));
            if (!k) return fail("bad key name");
            // A bare root section (as whole-hive exports have) holds no values.
            current = k->find('\\') == std::string::npos ? nullptr : &ensure(*k);
            continue;
        }
        if (!current) return fail("value outside a key");
        std::string name;
        std::size_t pos = 0;
        if (line.front() == '@') {
            pos = 1;
        } else if (!unquote(line, pos, name, why)) {
            return fail(why);
        }
        if (pos >= line.size() || line[pos] != '=') return fail("expected '='");
        ++pos;
        Value v;
        if (pos < line.size() && line[pos] == '"') {
            std::string s;
            if (!unquote(line, pos, s, why)) return fail(why);
            if (pos != line.size()) return fail("text after the value");
            v = std::move(s);
        } else if (line.substr(pos, 6) == "dword:") {
            const auto digits = line.substr(pos + 6);
            if (digits.empty() || digits.size() > 8) return fail("bad dword");
            std::uint32_t n = 0;
            for (const char c : digits) {
                const int d = detail::hexValue(c);
                if (d < 0) return fail("bad dword");
                n = n * 16 + static_cast<std::uint32_t>(d);
            }
            v = n;
        } else {
            return fail("unsupported value type");
        }
        auto& values = current->values;
        const auto it = std::find_if(values.begin(), values.end(),
                                     [&](const auto& x) { return equalNoCase(x.first, name); });
        if (it != values.end())
            it->second = std::move(v);
        else
            values.emplace_back(std::move(name), std::move(v));
    }
    return true;
}

std::string RegistryData::format() const {
    std::string out(kHeader);
    out += "\n\n";
    auto writeValue = [&out](const std::string& name, const Value& v) {
        out += name.empty() ? std::string("@") : quote(name);
        out += '=';
        if (const auto* s = std::get_if<std::string>(&v)) {
            out += quote(*s);
        } else {
            char buf[16];
            std::snprintf(buf, sizeof buf, "dword:%08x", std::get<std::uint32_t>(v));
            out += buf;
        }
        out += '\n';
    };
    for (const auto& [low, key] : keys_) {
        out += '[' + key.path + "]\n";
        for (const auto& [name, v] : key.values)
            if (name.empty()) writeValue(name, v);
        for (const auto& [name, v] : key.values)
            if (!name.empty()) writeValue(name, v);
        out += '\n';
    }
    return out;
}

// Registry

namespace {

class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) ::close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

std::string errnoText(const std::string& what, const std::filesystem::path& p, int err) {
    return what + " " + p.string() + ": " + std::strerror(err);
}

// Reads the whole file into `out`; a missing file gives an empty text.
bool readFile(const std::filesystem::path& p, std::string& out, std::string& error) {
    out.clear();
    Fd fd(::open(p.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) {
        if (errno == ENOENT) return true;
        error = errnoText("cannot open", p, errno);
        return false;
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) {
        error = errnoText("cannot read", p, errno);
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        error = p.string() + " is not a regular file";
        return false;
    }
    if (static_cast<std::uint64_t>(st.st_size) > kMaxFileSize) {
        error = p.string() + " is larger than 16 MiB";
        return false;
    }
    char buf[65536];
    for (;;) {
        const ssize_t n = ::read(fd.get(), buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            error = errnoText("cannot read", p, errno);
            return false;
        }
        if (n == 0) break;
        out.append(buf, static_cast<std::size_t>(n));
        if (out.size() > kMaxFileSize) {
            error = p.string() + " is larger than 16 MiB";
            return false;
        }
    }
    return true;
}

bool writeAll(int fd, std::string_view data) {
    while (!data.empty()) {
        const ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

}  // namespace

Registry::Registry() : file_(path()) {}
Registry::Registry(std::filesystem::path file) : file_(std::move(file)) {}

std::filesystem::path Registry::path() {
    return detail::runtime().registryPath();
}

void Registry::setPath(const std::filesystem::path& file) {
    detail::runtime().setRegistryPath(file.string());
}

HRESULT Registry::load(RegistryData& out, std::string* error) const {
    std::string text, why;
    if (!readFile(file_, text, why) || !out.parse(text, &why)) {
        out = RegistryData();
        if (error) *error = why.rfind("line ", 0) == 0 ? file_.string() + ": " + why : why;
        return REGDB_E_READREGDB;
    }
    return S_OK;
}

HRESULT Registry::update(const std::function<HRESULT(RegistryData&)>& change, std::string* error) {
    std::string why;
    auto fail = [&](std::string what) {
        if (error) *error = std::move(what);
        return REGDB_E_WRITEREGDB;
    };
    std::error_code ec;
    if (file_.has_parent_path()) std::filesystem::create_directories(file_.parent_path(), ec);

    const auto lockPath = std::filesystem::path(file_.string() + ".lock");
    Fd lock(::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
    if (lock.get() < 0) return fail(errnoText("cannot open", lockPath, errno));
    const auto deadline = std::chrono::steady_clock::now() + kLockTimeout;
    auto pause = std::chrono::microseconds(200);
    while (::flock(lock.get(), LOCK_EX | LOCK_NB) != 0) {
        if (errno != EWOULDBLOCK && errno != EINTR)
            return fail(errnoText("cannot lock", lockPath, errno));
        if (std::chrono::steady_clock::now() >= deadline)
            return fail("timed out waiting for the lock on " + lockPath.string());
        std::this_thread::sleep_for(pause);
        pause = std::min(pause * 2, std::chrono::microseconds(20000));
    }

    std::string text;
    RegistryData data;
    if (!readFile(file_, text, why)) return fail(why);
    if (!data.parse(text, &why)) return fail(file_.string() + ": " + why);
    const HRESULT hr = change(data);
    if (FAILED(hr)) return hr;

    const auto out = data.format();
    const auto tmp = std::filesystem::path(file_.string() + ".tmp");  // ours while we hold the lock
    {
        Fd fd(::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
        if (fd.get() < 0) return fail(errnoText("cannot create", tmp, errno));
        if (!writeAll(fd.get(), out) || ::fsync(fd.get()) != 0) {
            const int err = errno;
            ::unlink(tmp.c_str());
            return fail(errnoText("cannot write", tmp, err));
        }
    }
    if (::rename(tmp.c_str(), file_.c_str()) != 0) {
        const int err = errno;
        ::unlink(tmp.c_str());
        return fail(errnoText("cannot replace", file_, err));
    }
    return hr;
}

std::optional<std::string> Registry::getString(std::string_view key, std::string_view name) const {
    RegistryData d;
    if (FAILED(load(d))) return std::nullopt;
    return d.string(key, name);
}

HRESULT Registry::setString(std::string_view key, std::string_view name, std::string_view value) {
    return update([&](RegistryData& d) { return d.setString(key, name, value); });
}

HRESULT Registry::deleteKey(std::string_view key) {
    return update([&](RegistryData& d) { return d.deleteKey(key); });
}

bool Registry::keyExists(std::string_view key) const {
    RegistryData d;
    return SUCCEEDED(load(d)) && d.keyExists(key);
}

}  // namespace com
