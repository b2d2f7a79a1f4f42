#pragma once

#include <cstdint>

#include "com/Guid.h"
#include "com/HResult.h"

namespace com {

// Every interface declares
//   static constexpr Guid iid = ...;   its interface id
//   using Base = ...;                  the interface it derives from (IUnknown derives from none)
// so that ComObject can answer QueryInterface for the whole chain and ComPtr::As can find the
// id. Interface pointers travel as void* through QueryInterface and are cast back to exactly the
// interface that was asked for.
class IUnknown {
public:
    static constexpr Guid iid = makeGuid("{00000000-0000-0000-C000-000000000046}");

    // S_OK and an AddRef'ed pointer in *out, or E_NOINTERFACE and *out = nullptr; E_POINTER
    // when out is null.
    virtual HRESULT QueryInterface(const Guid& iid, void** out) = 0;
    // Return the new count, for diagnostics only.
    virtual std::uint32_t AddRef() = 0;
    virtual std::uint32_t Release() = 0;

    virtual ~IUnknown() = default;
};

inline constexpr const Guid& IID_IUnknown = IUnknown::iid;
inline constexpr Guid IID_NULL{};

// The interface id of an interface type.
template <class I>
constexpr const Guid& uuidOf() {
    return I::iid;
}

}  // namespace com
