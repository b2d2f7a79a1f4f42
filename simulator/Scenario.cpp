#include "Scenario.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <limits>
#include <set>
#include <system_error>
#include <utility>

#include <nlohmann/json.hpp>

namespace sim {

namespace {

using nlohmann::json;

// Scenario files are hand-written and small; anything far bigger or deeper is not one.
constexpr std::size_t kMaxTextSize = 4 * 1024 * 1024;
constexpr int kMaxDepth = 32;
constexpr std::size_t kMaxValueBytes = 128;

[[noreturn]] void fail(const std::string& path, const std::string& what) {
    throw ScenarioError(path + ": " + what);
}

std::string child(const std::string& parent, std::string_view key) {
    std::string shown(key.substr(0, 40));
    if (key.size() > shown.size()) shown += "...";
    return parent.empty() ? shown : parent + "." + shown;
}

std::string element(const std::string& parent, std::size_t index) {
    return parent + "[" + std::to_string(index) + "]";
}

std::string rangeText(long long lo, long long hi) {
    return std::to_string(lo) + ".." + std::to_string(hi);
}

int getInt(const json& j, const std::string& path, long long lo, long long hi) {
    if (!j.is_number_integer()) fail(path, "must be an integer " + rangeText(lo, hi));
    if (j.is_number_unsigned()) {
        const auto v = j.get<std::uint64_t>();
        if (v > static_cast<std::uint64_t>(hi) || static_cast<long long>(v) < lo)
            fail(path, "must be " + rangeText(lo, hi));
        return static_cast<int>(v);
    }
    const auto v = j.get<std::int64_t>();
    if (v < lo || v > hi) fail(path, "must be " + rangeText(lo, hi));
    return static_cast<int>(v);
}

bool getBool(const json& j, const std::string& path) {
    if (!j.is_boolean()) fail(path, "must be true or false");
    return j.get<bool>();
}

const std::string& getString(const json& j, const std::string& path) {
    if (!j.is_string()) fail(path, "must be a string");
    return j.get_ref<const std::string&>();
}

double getNumber(const json& j, const std::string& path) {
    if (!j.is_number()) fail(path, "must be a number");
    const double v = j.get<double>();
    if (!std::isfinite(v)) fail(path, "must be a finite number");
    return v;
}

const json& expectObject(const json& j, const std::string& path) {
    if (!j.is_object()) fail(path, "must be an object");
    return j;
}

const json& expectArray(const json& j, const std::string& path) {
    if (!j.is_array()) fail(path, "must be an array");
    return j;
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::vector<std::uint8_t> getHex(const json& j, const std::string& path) {
    const std::string& text = getString(j, path);
    if (text.size() % 2 != 0) fail(path, "must have an even number of hex digits");
    if (text.size() / 2 > kMaxValueBytes)
        fail(path, "must be at most " + std::to_string(kMaxValueBytes) + " bytes");
    std::vector<std::uint8_t> bytes;
    bytes.reserve(text.size() / 2);
    for (std::size_t i = 0; i < text.size(); i += 2) {
        const int hi = hexDigit(text[i]);
        const int lo = hexDigit(text[i + 1]);
        if (hi < 0 || lo < 0)
            fail(path,
                 "'" + std::string(1, hi < 0 ? text[i] : text[i + 1]) + "' is not a hex digit");
        bytes.push_back(static_cast<std::uint8_t>(hi << 4 | lo));
    }
    return bytes;
}

AdapterSpec parseAdapter(const json& j, const std::string& path, int index) {
    expectObject(j, path);
    AdapterSpec a;
    a.device = index;
    for (const auto& [key, v] : j.items()) {
        const std::string p = child(path, key);
        if (key == "device") {
            a.device = getInt(v, p, 0, 15);
        } else if (key == "port") {
            a.port = getInt(v, p, 0, 255);
        } else if (key == "firmware") {
            const auto& s = getString(v, p);
            if (s == "running") {
                a.firmwareRunning = true;
            } else if (s == "none") {
                a.firmwareRunning = false;
            } else {
                fail(p, "must be \"running\" or \"none\"");
            }
        } else if (key == "token") {
            a.token = getInt(v, p, 0, 255);
        } else if (key == "nextToken") {
            a.nextToken = getInt(v, p, 0, 255);
        } else {
            fail(p, "unknown field");
        }
    }
    // Without an explicit device the index may exceed the namespace.
    if (a.device > 15) fail(child(path, "device"), "must be 0..15");
    return a;
}

BusSpec parseBus(const json& j, const std::string& path) {
    expectObject(j, path);
    BusSpec b;
    for (const auto& [key, v] : j.items()) {
        const std::string p = child(path, key);
        if (key == "connected") {
            b.connected = getBool(v, p);
        } else if (key == "loggedOn") {
            b.loggedOn = getBool(v, p);
        } else if (key == "answerDelayMs") {
            b.answerDelayMs = getInt(v, p, 0, 60000);
        } else if (key == "checkMethod") {
            const auto& s = getString(v, p);
            if (s == "crc") {
                b.crc = true;
            } else if (s == "sum") {
                b.crc = false;
            } else {
                fail(p, "must be \"crc\" or \"sum\"");
            }
        } else {
            fail(p, "unknown field");
        }
    }
    return b;
}

ObjectSpec parseObject(const json& j, const std::string& path) {
    expectObject(j, path);
    ObjectSpec o;
    for (const auto& [key, v] : j.items()) {
        const std::string p = child(path, key);
        if (key == "obj") {
            o.obj = getInt(v, p, 0, 65535);
        } else if (key == "sub") {
            o.sub = getInt(v, p, 0, 255);
        } else if (key == "value") {
            o.value = getHex(v, p);
        } else if (key == "writable") {
            o.writable = getBool(v, p);
        } else if (key == "error") {
            o.error = getInt(v, p, 0, 255);
        } else if (key == "delayed") {
            o.delayed = getInt(v, p, 1, 255);
        } else if (key == "delivery") {
            const auto& how = getString(v, p);
            if (how != "service" && how != "response")
                fail(p, "must be \"service\" or \"response\"");
            o.deliverAsResponse = how == "response";
        } else {
            fail(p, "unknown field");
        }
    }
    if (o.error && o.delayed) fail(child(path, "delayed"), "cannot be combined with \"error\"");
    if (o.deliverAsResponse && !o.delayed) fail(child(path, "delivery"), "needs \"delayed\"");
    return o;
}

CyclicSpec parseCyclic(const json& j, const std::string& path) {
    expectObject(j, path);
    CyclicSpec c;
    for (const auto& [key, v] : j.items()) {
        const std::string p = child(path, key);
        if (key == "type") {
            c.type = getInt(v, p, 0, 2);
        } else if (key == "obj") {
            c.obj = getInt(v, p, 1, 31);
        } else if (key == "periodMs") {
            c.periodMs = getInt(v, p, 1, 3600000);
        } else if (key == "value") {
            c.value = getNumber(v, p);
        } else if (key == "status") {
            c.status = getInt(v, p, 0, 255);
        } else if (key == "step") {
            c.step = getNumber(v, p);
        } else {
            fail(p, "unknown field");
        }
    }
    // Types 0 and 1 carry a 32-bit float on the bus.
    const double limit =
        c.type != 2 ? std::numeric_limits<float>::max() : std::numeric_limits<double>::max();
    if (std::fabs(c.value) > limit) fail(child(path, "value"), "does not fit a 32-bit float");
    // The value restarts when a later step would leave the range (see Bus).
    if (!std::isfinite(c.value + c.step) || std::fabs(c.value + c.step) > limit)
        fail(child(path, "step"), "overflows the value on its first step");
    return c;
}

DeviceSpec parseDevice(const json& j, const std::string& path) {
    expectObject(j, path);
    DeviceSpec d;
    for (const auto& [key, v] : j.items()) {
        const std::string p = child(path, key);
        if (key == "name") {
            d.name = getString(v, p);
        } else if (key == "objects") {
            expectArray(v, p);
            std::set<std::pair<int, int>> seen;
            for (std::size_t i = 0; i < v.size(); ++i) {
                const std::string ep = element(p, i);
                auto o = parseObject(v[i], ep);
                if (!seen.emplace(o.obj, o.sub).second)
                    fail(ep, "object " + std::to_string(o.obj) + "/" + std::to_string(o.sub) +
                                 " is listed twice");
                d.objects.push_back(std::move(o));
            }
        } else if (key == "cyclic") {
            expectArray(v, p);
            for (std::size_t i = 0; i < v.size(); ++i)
                d.cyclic.push_back(parseCyclic(v[i], element(p, i)));
        } else {
            fail(p, "unknown field");
        }
    }
    return d;
}

Scenario parseRoot(const json& root) {
    if (!root.is_object()) fail("scenario", "must be a JSON object");
    Scenario s;
    bool haveAdapters = false;
    for (const auto& [key, v] : root.items()) {
        const std::string p = child("", key);
        if (key == "adapters") {
            haveAdapters = true;
            expectArray(v, p);
            std::set<int> devices;
            for (std::size_t i = 0; i < v.size(); ++i) {
                const std::string ep = element(p, i);
                // Past the device namespace an implicit device number is refused below.
                const int index = static_cast<int>(std::min<std::size_t>(i, 16));
                auto a = parseAdapter(v[i], ep, index);
                if (!devices.insert(a.device).second)
                    fail(child(ep, "device"),
                         "device " + std::to_string(a.device) + " is listed twice");
                s.adapters.push_back(a);
            }
        } else if (key == "bus") {
            s.bus = parseBus(v, p);
        } else if (key == "devices") {
            expectArray(v, p);
            for (std::size_t i = 0; i < v.size(); ++i)
                s.devices.push_back(parseDevice(v[i], element(p, i)));
        } else {
            fail(p, "unknown field");
        }
    }
    if (!haveAdapters) s.adapters.push_back(AdapterSpec{});
    return s;
}

// nlohmann's parser is iterative, but refusing absurd nesting up front keeps every later
// walk over the document shallow.
void checkDepth(std::string_view text) {
    int depth = 0;
    bool inString = false;
    bool escaped = false;
    for (const char c : text) {
        if (inString) {
            if (escaped) {
                escaped = false;
            } else if (c == '\\') {
                escaped = true;
            } else if (c == '"') {
                inString = false;
            }
            continue;
        }
        if (c == '"') {
            inString = true;
        } else if (c == '[' || c == '{') {
            if (++depth > kMaxDepth)
                fail("scenario", "nested deeper than " + std::to_string(kMaxDepth) + " levels");
        } else if (c == ']' || c == '}') {
            --depth;
        }
    }
}

// Drops the library's "[json.exception.parse_error.NNN] " tag.
std::string withoutTag(std::string what) {
    if (const auto pos = what.find("] "); !what.empty() && what[0] == '[' && pos != what.npos)
        what.erase(0, pos + 2);
    return what;
}

}  // namespace

Scenario parseScenario(std::string_view text) {
    if (text.size() > kMaxTextSize)
        fail("scenario", "larger than " + std::to_string(kMaxTextSize) + " bytes");
    // The JSON parser stops at a NUL byte and would ignore whatever follows it.
    if (const auto nul = text.find('\0'); nul != text.npos)
        fail("scenario", "contains a NUL byte at offset " + std::to_string(nul));
    checkDepth(text);
    json root;
    try {
        root = json::parse(text.begin(), text.end());
    } catch (const json::parse_error& e) {
        throw ScenarioError("JSON " + withoutTag(e.what()));
    } catch (const json::exception& e) {
        // For instance a number too large for a double.
        throw ScenarioError("JSON " + withoutTag(e.what()));
    }
    return parseRoot(root);
}

Scenario loadScenario(const std::filesystem::path& file) {
    const std::string name = file.string();
    // O_NONBLOCK so that a FIFO or a device cannot hold the open; only regular files are read.
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0)
        throw ScenarioError(name + ": cannot open the scenario file (" + std::strerror(errno) +
                            ")");
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        const bool directory = S_ISDIR(st.st_mode);
        ::close(fd);
        throw ScenarioError(name + (directory ? ": is a directory, not a scenario file"
                                              : ": not a regular file, not a scenario file"));
    }
    std::string text;
    char buffer[8192];
    for (;;) {
        const auto n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            ::close(fd);
            throw ScenarioError(name + ": cannot read the scenario file");
        }
        if (n == 0) break;
        text.append(buffer, static_cast<std::size_t>(n));
        if (text.size() > kMaxTextSize) {
            ::close(fd);
            throw ScenarioError(name + ": larger than " + std::to_string(kMaxTextSize) +
                                " bytes, not a scenario file");
        }
    }
    ::close(fd);
    try {
        return parseScenario(text);
    } catch (const ScenarioError& e) {
        throw ScenarioError(name + ": " + e.what());
    }
}

Scenario demoScenario() {
    Scenario s;
    AdapterSpec adapter;
    adapter.device = 0;
    adapter.port = 255;
    adapter.firmwareRunning = false;
    s.adapters.push_back(adapter);

    s.bus = BusSpec{};

    DeviceSpec demo;
    demo.name = "demo";
    demo.objects = {
        {1217, 29, {0x0A, 0x0B, 0x0C, 0x0D}, true, std::nullopt, std::nullopt},
        {1218, 29, {'T', 'I', 'V', ' '}, true, std::nullopt, std::nullopt},
        {100, 1, {0x01, 0x02, 0x03, 0x04}, false, std::nullopt, std::nullopt},
        {1300, 1, {}, false, 132, std::nullopt},
        {1301, 2, {0x2A}, false, std::nullopt, 5},
    };
    demo.cyclic = {
        {0, 3, 100, 1.5, 0, 0.25},
        {1, 4, 200, -7.25, 1, 0.0},
        {2, 5, 100, 21.5, 0, 0.1},
    };
    s.devices.push_back(std::move(demo));
    return s;
}

}  // namespace sim
