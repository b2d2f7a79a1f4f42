#include "usb/Transport.h"

#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>

#include "usb/IoctlCodes.h"
#include "usb/LibusbTransport.h"
#include "usb/SocketTransport.h"

namespace usbio {

int deviceIndexFromName(const char* name) {
    if (!name) return -1;
    const std::size_t prefixLen = std::strlen(kDeviceNamePrefix);
    if (std::strncmp(name, kDeviceNamePrefix, prefixLen) != 0) return -1;
    const char* digits = name + prefixLen;
    if (*digits < '0' || *digits > '9') return -1;
    int n = 0;
    for (const char* p = digits; *p; ++p) {
        if (*p < '0' || *p > '9' || p - digits >= 2) return -1;
        n = n * 10 + (*p - '0');
    }
    if (digits[0] == '0' && digits[1] != '\0') return -1;
    return n < kMaxDevices ? n : -1;
}

namespace {

struct Registry {
    std::mutex mutex;
    std::map<std::string, BackendFactory, std::less<>> factories;
    std::shared_ptr<Transport> installed;
    std::shared_ptr<Transport> fromEnvironment;
};

Registry& registry() {
    static Registry* r = [] {
        auto* init = new Registry;  // never destroyed: backends may be used during exit
        init->factories.emplace("socket", [](std::string_view dir, std::string& error) {
            return makeSocketTransport(dir, error);
        });
        init->factories.emplace("libusb", [](std::string_view ids, std::string& error) {
            return makeLibusbTransport(ids, error);
        });
        return init;
    }();
    return *r;
}

}  // namespace

void registerBackend(std::string name, BackendFactory factory) {
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    r.factories[std::move(name)] = std::move(factory);
}

std::shared_ptr<Transport> makeTransport(std::string_view spec, std::string& error) {
    const auto colon = spec.find(':');
    const std::string_view name = spec.substr(0, colon);
    const std::string_view argument =
        colon == std::string_view::npos ? std::string_view{} : spec.substr(colon + 1);
    BackendFactory factory;
    {
        auto& r = registry();
        std::lock_guard lock(r.mutex);
        const auto it = r.factories.find(name);
        if (it == r.factories.end()) {
            error = "unknown USB backend '" + std::string(name) + "'";
            return nullptr;
        }
        factory = it->second;
    }
    auto transport = factory(argument, error);
    if (!transport && error.empty()) error = "USB backend '" + std::string(name) + "' failed";
    return transport;
}

std::shared_ptr<Transport> processTransport(std::string* error) {
    auto& r = registry();
    {
        std::lock_guard lock(r.mutex);
        if (r.installed) return r.installed;
        if (r.fromEnvironment) return r.fromEnvironment;
    }
    const char* env = std::getenv("TIV_USB");
    const std::string spec = env && *env ? env : "sim";
    std::string why;
    auto made = makeTransport(spec, why);
    if (!made) {
        if (error) *error = "TIV_USB=" + spec + ": " + why;
        return nullptr;
    }
    std::lock_guard lock(r.mutex);
    if (r.installed) return r.installed;
    if (!r.fromEnvironment) r.fromEnvironment = std::move(made);
    return r.fromEnvironment;
}

void installProcessTransport(std::shared_ptr<Transport> transport) {
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    r.installed = std::move(transport);
}

}  // namespace usbio
