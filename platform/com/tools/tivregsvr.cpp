// tivregsvr: registers or unregisters an in-process server module.

#include <dlfcn.h>

#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <string_view>

#include "com/ErrorInfo.h"
#include "com/Registry.h"
#include "com/Runtime.h"
#include "com/ServerModule.h"

namespace {

constexpr int kOk = 0;
constexpr int kFailed = 1;
constexpr int kUsage = 2;

void usage(std::ostream& out) {
    out << "Usage: tivregsvr [-u] [--registry FILE] MODULE.so\n"
           "Loads an in-process server module and calls its DllRegisterServer, or with -u its\n"
           "DllUnregisterServer.\n"
           "\n"
           "  -u, --unregister   unregister instead of register\n"
           "  --registry FILE    registry file to write (default: $TIV_REGISTRY, else\n"
           "                     $XDG_DATA_HOME/tivlink/registry.reg, else\n"
           "                     ~/.local/share/tivlink/registry.reg)\n"
           "  -h, --help         this text\n"
           "\n"
           "Exit codes: 0 done, 1 the module did not load or its entry point failed (the\n"
           "result code in hex and the error text are printed), 2 bad usage.\n";
}

// Registration codes share their values with connection-point codes; name them as such here.
std::string resultText(com::HRESULT hr) {
    if (hr == com::SELFREG_E_CLASS) return "SELFREG_E_CLASS (" + com::hresultHex(hr) + ")";
    if (hr == com::SELFREG_E_TYPELIB) return "SELFREG_E_TYPELIB (" + com::hresultHex(hr) + ")";
    return com::hresultText(hr);
}

template <class Fn>
Fn symbol(void* handle, const char* name) {
    void* p = ::dlsym(handle, name);
    Fn fn = nullptr;
    std::memcpy(&fn, &p, sizeof fn);
    return fn;
}

}  // namespace

int main(int argc, char** argv) {
    bool unregister = false;
    std::string registry;
    std::string module;
    for (int i = 1; i < argc; ++i) {
        const std::string_view a = argv[i];
        if (a == "-h" || a == "--help") {
            usage(std::cout);
            return kOk;
        }
        if (a == "-u" || a == "--unregister") {
            unregister = true;
        } else if (a == "--registry" || a.rfind("--registry=", 0) == 0) {
            if (a == "--registry") {
                if (++i >= argc) {
                    std::cerr << "tivregsvr: --registry needs a file name\n";
                    return kUsage;
                }
                registry = argv[i];
            } else {
                registry = std::string(a.substr(11));
            }
            if (registry.empty()) {
                std::cerr << "tivregsvr: --registry needs a file name\n";
                return kUsage;
            }
        } else if (!a.empty() && a[0] == '-') {
            std::cerr << "tivregsvr: unknown option " << a << "\n";
            usage(std::cerr);
            return kUsage;
        } else if (!module.empty()) {
            std::cerr << "tivregsvr: one module at a time\n";
            return kUsage;
        } else {
            module = std::string(a);
        }
    }
    if (module.empty()) {
        usage(std::cerr);
        return kUsage;
    }
    if (!registry.empty()) {
        com::Registry::setPath(registry);
        // Also for a module whose runtime copy does not take ours.
        ::setenv("TIV_REGISTRY", registry.c_str(), 1);
    }

    // dlopen searches the library path for a bare name; a file here is meant.
    if (module.find('/') == std::string::npos) module = "./" + module;
    void* handle = ::dlopen(module.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        const char* why = ::dlerror();
        std::cerr << "tivregsvr: cannot load " << module << ": " << (why ? why : "unknown error")
                  << "\n";
        return kFailed;
    }
    if (auto attach = symbol<com::server::AttachRuntimeFn>(handle, "TivComAttachRuntime"))
        attach(&com::detail::runtime());

    const char* entry = unregister ? "DllUnregisterServer" : "DllRegisterServer";
    auto fn = symbol<com::server::DllRegisterServerFn>(handle, entry);
    if (!fn) {
        std::cerr << "tivregsvr: " << module << " does not export " << entry << "\n";
        return kFailed;
    }
    com::clearErrorInfo();
    const com::HRESULT hr = fn();
    if (com::FAILED(hr)) {
        std::cerr << "tivregsvr: " << entry << " in " << module << " failed with "
                  << resultText(hr);
        if (auto info = com::takeErrorInfo(); info && !info->description.empty())
            std::cerr << ": " << info->description;
        std::cerr << "\n";
        return kFailed;
    }
    std::cout << entry << " in " << module << " succeeded (" << com::Registry::path().string()
              << ")\n";
    return kOk;
}
