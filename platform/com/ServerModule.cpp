#include "com/ServerModule.h"

#include <dlfcn.h>

#include <system_error>

#include "com/ErrorInfo.h"
#include "com/Registry.h"
#include "com/TypeLib.h"

namespace com::server {

namespace {

constexpr std::string_view kSource = "com";

std::string clsidKey(const ClassEntry& c) {
    return "HKEY_CLASSES_ROOT\\CLSID\\" + c.clsid.toString();
}

HRESULT writeClass(RegistryData& d, const ClassEntry& c, const std::string& module) {
    const auto key = clsidKey(c);
    HRESULT hr = d.setString(key, "", c.description);
    if (SUCCEEDED(hr)) hr = d.setString(key + "\\InprocServer32", "", module);
    if (SUCCEEDED(hr) && !c.threadingModel.empty())
        hr = d.setString(key + "\\InprocServer32", "ThreadingModel", c.threadingModel);
    if (SUCCEEDED(hr) && !c.progId.empty()) {
        hr = d.setString(key + "\\ProgID", "", c.progId);
        const auto progKey = "HKEY_CLASSES_ROOT\\" + std::string(c.progId);
        if (SUCCEEDED(hr)) hr = d.setString(progKey, "", c.description);
        if (SUCCEEDED(hr)) hr = d.setString(progKey + "\\CLSID", "", c.clsid.toString());
    }
    if (SUCCEEDED(hr) && c.typeLib) {
        hr = d.setString(key + "\\TypeLib", "", c.typeLib->libid.toString());
        if (SUCCEEDED(hr))
            hr = d.setString(key + "\\Version", "",
                             !c.version.empty() ? std::string(c.version)
                                                : std::to_string(c.typeLib->majorVersion) + "." +
                                                      std::to_string(c.typeLib->minorVersion));
    }
    return hr;
}

}  // namespace

HRESULT getClassObject(std::span<const ClassEntry> classes, const Guid& clsid, const Guid& iid,
                       void** out) noexcept {
    if (!out) return E_POINTER;
    *out = nullptr;
    for (const auto& c : classes) {
        if (c.clsid != clsid) continue;
        try {
            auto factory = ClassFactory::create(c.create, c.progId);
            if (!factory) return E_OUTOFMEMORY;
            return factory->QueryInterface(iid, out);
        } catch (...) {
            return E_OUTOFMEMORY;
        }
    }
    return CLASS_E_CLASSNOTAVAILABLE;
}

HRESULT registerServer(std::span<const ClassEntry> classes,
                       const std::filesystem::path& modulePath) noexcept {
    try {
        Registry registry;
        std::string error;
        const HRESULT hr = registry.update(
            [&](RegistryData& d) {
                for (const auto& c : classes) {
                    if (const HRESULT r = writeClass(d, c, modulePath.string()); FAILED(r))
                        return r;
                    if (c.typeLib)
                        if (const HRESULT r = addTypeLibKeys(d, *c.typeLib, modulePath); FAILED(r))
                            return r;
                }
                return S_OK;
            },
            &error);
        if (FAILED(hr))
            return reportError(
                SELFREG_E_CLASS, GUID_NULL, kSource,
                error.empty() ? "cannot register " + modulePath.string() + ": " + hresultText(hr)
                              : error);
        return S_OK;
    } catch (...) {
        reportCurrentException(GUID_NULL, kSource);
        return SELFREG_E_CLASS;
    }
}

HRESULT unregisterServer(std::span<const ClassEntry> classes) noexcept {
    try {
        Registry registry;
        std::string error;
        const HRESULT hr = registry.update(
            [&](RegistryData& d) {
                for (const auto& c : classes) {
                    d.deleteKey(clsidKey(c));
                    if (!c.progId.empty()) {
                        const auto progKey = "HKEY_CLASSES_ROOT\\" + std::string(c.progId);
                        const auto points = d.string(progKey + "\\CLSID");
                        if (!points || Guid::parse(*points) == c.clsid) d.deleteKey(progKey);
                    }
                    if (c.typeLib) removeTypeLibKeys(d, *c.typeLib);
                }
                return S_OK;
            },
            &error);
        if (FAILED(hr)) return reportError(SELFREG_E_CLASS, GUID_NULL, kSource, error);
        return S_OK;
    } catch (...) {
        reportCurrentException(GUID_NULL, kSource);
        return SELFREG_E_CLASS;
    }
}

const TypeLibDesc* findTypeLib(std::span<const ClassEntry> classes, const Guid& libid) noexcept {
    for (const auto& c : classes)
        if (c.typeLib && c.typeLib->libid == libid) return c.typeLib;
    return nullptr;
}

std::filesystem::path modulePathOf(const void* address) {
    Dl_info info{};
    if (::dladdr(address, &info) == 0 || !info.dli_fname) return {};
    std::error_code ec;
    auto p = std::filesystem::weakly_canonical(info.dli_fname, ec);
    return ec ? std::filesystem::absolute(info.dli_fname, ec) : p;
}

}  // namespace com::server
