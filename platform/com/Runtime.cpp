#include "com/Runtime.h"

#include <dlfcn.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <unordered_map>

#include "com/ClassFactory.h"
#include "com/ComPtr.h"
#include "com/ErrorInfo.h"
#include "com/Registry.h"
#include "com/ServerModule.h"

namespace com::detail {

namespace {

constexpr std::string_view kSource = "com";

template <class Fn>
Fn symbol(void* handle, const char* name) {
    void* p = ::dlsym(handle, name);
    Fn fn = nullptr;
    static_assert(sizeof fn == sizeof p);
    std::memcpy(&fn, &p, sizeof fn);
    return fn;
}

std::string defaultRegistryPath() {
    if (const char* p = std::getenv("TIV_REGISTRY"); p && *p) return p;
    if (const char* x = std::getenv("XDG_DATA_HOME"); x && *x)
        return std::string(x) + "/tivlink/registry.reg";
    const char* home = std::getenv("HOME");
    return std::string(home && *home ? home : "/tmp") + "/.local/share/tivlink/registry.reg";
}

class LocalRuntime final : public Runtime {
public:
    std::uint32_t version() const noexcept override { return kVersion; }

    void setErrorInfo(IErrorInfo* info) noexcept override {
        errorSlot() = ComPtr<IErrorInfo>(info);
    }
    IErrorInfo* takeErrorInfo() noexcept override { return errorSlot().detach(); }

    HRESULT getClassObject(const Guid& clsid, const Guid& iid, void** out) noexcept override;
    HRESULT registerClassObject(const Guid& clsid, IUnknown* factory,
                                std::uint32_t* cookie) noexcept override;
    HRESULT revokeClassObject(std::uint32_t cookie) noexcept override;

    std::string registryPath() override {
        std::lock_guard lock(mutex_);
        return registryOverride_.empty() ? defaultRegistryPath() : registryOverride_;
    }
    void setRegistryPath(const std::string& path) override {
        std::lock_guard lock(mutex_);
        registryOverride_ = path;
    }

    HRESULT loadTypeLibModule(const std::string& path, const Guid& libid,
                              const void** desc) noexcept override;

private:
    struct Module {
        void* handle = nullptr;
        server::DllGetClassObjectFn getClassObject = nullptr;
        server::GetTypeLibFn getTypeLib = nullptr;
    };
    struct Registered {
        Guid clsid;
        ComPtr<IUnknown> factory;
    };

    static ComPtr<IErrorInfo>& errorSlot() {
        thread_local ComPtr<IErrorInfo> slot;
        return slot;
    }
    // The module at `path`, loaded once. E_FAIL with error info when it does not load.
    HRESULT loadModule(const std::string& path, Module& out) noexcept;

    std::mutex mutex_;
    std::string registryOverride_;
    std::map<std::uint32_t, Registered> registered_;
    std::uint32_t nextCookie_ = 1;
    std::mutex moduleMutex_;  // held across dlopen: loads are rare and must not race
    std::unordered_map<std::string, Module> modules_;
};

HRESULT LocalRuntime::loadModule(const std::string& path, Module& out) noexcept {
    try {
        std::lock_guard lock(moduleMutex_);
        if (auto it = modules_.find(path); it != modules_.end()) {
            out = it->second;
            return S_OK;
        }
        void* h = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!h) {
            const char* why = ::dlerror();
            return reportError(E_FAIL, GUID_NULL, kSource,
                               "cannot load module " + path + ": " + (why ? why : "unknown error"));
        }
        // Hand the module this process's runtime before anything in it runs.
        if (auto attach = symbol<server::AttachRuntimeFn>(h, "TivComAttachRuntime"))
            attach(&runtime());
        Module m;
        m.handle = h;
        m.getClassObject = symbol<server::DllGetClassObjectFn>(h, "DllGetClassObject");
        m.getTypeLib = symbol<server::GetTypeLibFn>(h, "TivComGetTypeLib");
        // Kept loaded for the life of the process: objects and error info from it may be
        // anywhere by now.
        modules_.emplace(path, m);
        out = m;
        return S_OK;
    } catch (...) {
        return E_OUTOFMEMORY;
    }
}

HRESULT LocalRuntime::getClassObject(const Guid& clsid, const Guid& iid, void** out) noexcept {
    if (!out) return E_POINTER;
    *out = nullptr;
    try {
        ComPtr<IUnknown> factory;
        {
            std::lock_guard lock(mutex_);
            for (const auto& [cookie, r] : registered_)
                if (r.clsid == clsid) factory = r.factory;
        }
        if (factory) return factory->QueryInterface(iid, out);

        Registry registry(registryPath());
        RegistryData data;
        std::string error;
        if (const HRESULT hr = registry.load(data, &error); FAILED(hr))
            return reportError(hr, GUID_NULL, kSource, error);
        const std::string key = "HKEY_CLASSES_ROOT\\CLSID\\" + clsid.toString();
        const auto path = data.string(key + "\\InprocServer32");
        if (!path || path->empty())
            return reportError(
                REGDB_E_CLASSNOTREG, GUID_NULL, kSource,
                "class " + clsid.toString() + " is not registered in " + registry.file().string());
        Module m;
        if (const HRESULT hr = loadModule(*path, m); FAILED(hr)) return hr;
        if (!m.getClassObject)
            return reportError(CO_E_ERRORINDLL, GUID_NULL, kSource,
                               "module " + *path + " does not export DllGetClassObject");
        return m.getClassObject(clsid, iid, out);
    } catch (...) {
        return reportCurrentException(GUID_NULL, kSource);
    }
}

HRESULT LocalRuntime::registerClassObject(const Guid& clsid, IUnknown* factory,
                                          std::uint32_t* cookie) noexcept {
    if (!factory || !cookie) return E_POINTER;
    try {
        std::lock_guard lock(mutex_);
        for (const auto& [c, r] : registered_)
            if (r.clsid == clsid) return E_INVALIDARG;
        *cookie = nextCookie_++;
        registered_.emplace(*cookie, Registered{clsid, ComPtr<IUnknown>(factory)});
        return S_OK;
    } catch (...) {
        return E_OUTOFMEMORY;
    }
}

HRESULT LocalRuntime::revokeClassObject(std::uint32_t cookie) noexcept {
    ComPtr<IUnknown> released;  // let go outside the lock
    std::lock_guard lock(mutex_);
    auto it = registered_.find(cookie);
    if (it == registered_.end()) return E_INVALIDARG;
    released = std::move(it->second.factory);
    registered_.erase(it);
    return S_OK;
}

HRESULT LocalRuntime::loadTypeLibModule(const std::string& path, const Guid& libid,
                                        const void** desc) noexcept {
    if (!desc) return E_POINTER;
    *desc = nullptr;
    Module m;
    if (const HRESULT hr = loadModule(path, m); FAILED(hr)) return hr;
    const TypeLibDesc* lib = m.getTypeLib ? m.getTypeLib(libid) : nullptr;
    if (!lib)
        return reportError(
            E_FAIL, GUID_NULL, kSource,
            "module " + path + " does not describe type library " + libid.toString());
    *desc = lib;
    return S_OK;
}

LocalRuntime& localRuntime() {
    // Never destroyed: modules and thread exits may still use it during shutdown.
    static auto* r = new LocalRuntime;
    return *r;
}

std::atomic<Runtime*> attached{nullptr};

}  // namespace

Runtime& runtime() noexcept {
    if (Runtime* r = attached.load(std::memory_order_acquire)) return *r;
    return localRuntime();
}

void attachRuntime(Runtime* root) noexcept {
    if (!root || root == &localRuntime() || root->version() != Runtime::kVersion) return;
    attached.store(root, std::memory_order_release);
}

}  // namespace com::detail
