#include "com/CoCreate.h"

#include "com/ClassFactory.h"
#include "com/ErrorInfo.h"
#include "com/Registry.h"
#include "com/Runtime.h"

namespace com {

namespace {

constexpr std::string_view kSource = "com";

bool validProgId(std::string_view id) {
    if (id.empty() || id.size() > 39 || (id[0] >= '0' && id[0] <= '9')) return false;
    for (const char c : id) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                        (c >= '0' && c <= '9') || c == '.' || c == '_';
        if (!ok) return false;
    }
    return true;
}

// The registry, or REGDB_E_READREGDB with error info.
HRESULT loadRegistry(RegistryData& data) {
    Registry registry;
    std::string error;
    const HRESULT hr = registry.load(data, &error);
    if (FAILED(hr)) return reportError(hr, GUID_NULL, kSource, error);
    return S_OK;
}

}  // namespace

HRESULT CoGetClassObject(const Guid& clsid, const Guid& iid, void** out) {
    return detail::runtime().getClassObject(clsid, iid, out);
}

HRESULT CoCreateInstance(const Guid& clsid, const Guid& iid, void** out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    // Error info after a failure must be this call's, not one left from before.
    clearErrorInfo();
    ComPtr<IClassFactory> factory;
    if (const HRESULT hr = CoGetClassObject(clsid, IClassFactory::iid, factory.putVoid());
        FAILED(hr))
        return hr;
    return factory->CreateInstance(nullptr, iid, out);
}

HRESULT CLSIDFromProgID(std::string_view progId, Guid* clsid) {
    if (!clsid) return E_POINTER;
    *clsid = GUID_NULL;
    if (!validProgId(progId))
        return reportError(CO_E_CLASSSTRING, GUID_NULL, kSource,
                           "\"" + std::string(progId.substr(0, 64)) + "\" is not a ProgID");
    try {
        RegistryData data;
        if (const HRESULT hr = loadRegistry(data); FAILED(hr)) return hr;
        const auto text = data.string("HKEY_CLASSES_ROOT\\" + std::string(progId) + "\\CLSID");
        const auto id = text ? Guid::parse(*text) : std::nullopt;
        if (!id)
            return reportError(CO_E_CLASSSTRING, GUID_NULL, kSource,
                               "ProgID " + std::string(progId) + " is not registered");
        *clsid = *id;
        return S_OK;
    } catch (...) {
        return reportCurrentException(GUID_NULL, kSource);
    }
}

HRESULT CLSIDFromString(std::string_view text, Guid* clsid) {
    if (!clsid) return E_POINTER;
    if (!text.empty() && text.front() == '{') {
        const auto id = Guid::parse(text);
        *clsid = id.value_or(GUID_NULL);
        return id ? S_OK : CO_E_CLASSSTRING;
    }
    return CLSIDFromProgID(text, clsid);
}

HRESULT ProgIDFromCLSID(const Guid& clsid, std::string* progId) {
    if (!progId) return E_POINTER;
    progId->clear();
    try {
        RegistryData data;
        if (const HRESULT hr = loadRegistry(data); FAILED(hr)) return hr;
        const auto id = data.string("HKEY_CLASSES_ROOT\\CLSID\\" + clsid.toString() + "\\ProgID");
        if (!id || id->empty())
            return reportError(REGDB_E_CLASSNOTREG, GUID_NULL, kSource,
                               "class " + clsid.toString() + " has no ProgID");
        *progId = *id;
        return S_OK;
    } catch (...) {
        return reportCurrentException(GUID_NULL, kSource);
    }
}

HRESULT CoRegisterClassObject(const Guid& clsid, IUnknown* factory, std::uint32_t* cookie) {
    return detail::runtime().registerClassObject(clsid, factory, cookie);
}

HRESULT CoRevokeClassObject(std::uint32_t cookie) {
    return detail::runtime().revokeClassObject(cookie);
}

}  // namespace com
