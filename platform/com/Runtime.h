#pragma once

#include <cstdint>
#include <string>

#include "com/IUnknown.h"

namespace com {
class IErrorInfo;
}

namespace com::detail {

// What must be one per process although every module links its own copy of tiv_com: the
// thread's error info, the classes registered in-process, the loaded modules and the registry
// file in use. The first copy (the host program's) owns it; when the runtime loads a module it
// hands the module its own Runtime through the module's TivComAttachRuntime export, and from
// then on the module's copy forwards here. Not for use outside the runtime.
class Runtime {
public:
    static constexpr std::uint32_t kVersion = 1;

    virtual std::uint32_t version() const noexcept = 0;
    virtual void setErrorInfo(IErrorInfo* info) noexcept = 0;  // AddRefs; null clears
    virtual IErrorInfo* takeErrorInfo() noexcept = 0;          // the reference passes over
    virtual HRESULT getClassObject(const Guid& clsid, const Guid& iid, void** out) noexcept = 0;
    virtual HRESULT registerClassObject(const Guid& clsid, IUnknown* factory,
                                        std::uint32_t* cookie) noexcept = 0;
    virtual HRESULT revokeClassObject(std::uint32_t cookie) noexcept = 0;
    virtual std::string registryPath() = 0;
    virtual void setRegistryPath(const std::string& path) = 0;
    virtual HRESULT loadTypeLibModule(const std::string& path, const Guid& libid,
                                      const void** desc) noexcept = 0;

protected:
    ~Runtime() = default;
};

// The runtime this copy uses: the one it was attached to, else its own.
Runtime& runtime() noexcept;
// Switches this copy to `root` (ignored when null, of another version, or this copy's own).
void attachRuntime(Runtime* root) noexcept;

}  // namespace com::detail
