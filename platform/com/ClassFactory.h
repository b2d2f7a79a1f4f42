#pragma once

#include <string_view>

#include "com/ComObject.h"
#include "com/IUnknown.h"

namespace com {

class IClassFactory : public IUnknown {
public:
    static constexpr Guid iid = makeGuid("{00000001-0000-0000-C000-000000000046}");
    using Base = IUnknown;

    // A new object asked for `iid`. CLASS_E_NOAGGREGATION when outer is not null (no class
    // here supports aggregation); E_POINTER for a null out; otherwise what the class gives.
    virtual HRESULT CreateInstance(IUnknown* outer, const Guid& iid, void** out) = 0;
    // Keeps the module loaded without a live object (DllCanUnloadNow says S_FALSE).
    virtual HRESULT LockServer(bool lock) = 0;
};

inline constexpr const Guid& IID_IClassFactory = IClassFactory::iid;

// Makes a new object and QueryInterfaces it for `iid` (E_POINTER for a null out; *out null on
// failure). ComObject::createInstance has this shape.
using CreateFunction = HRESULT (*)(const Guid& iid, void** out);

// A class factory over a creation function. Does not count towards DllCanUnloadNow itself
// (only its LockServer calls and the objects it makes do). When creation fails with error info
// that names no source, the source becomes `progId` (when given).
class ClassFactory final : public UncountedComObject<ClassFactory, IClassFactory> {
public:
    explicit ClassFactory(CreateFunction create, std::string_view progId = {})
        : create_(create), progId_(progId) {}

    HRESULT CreateInstance(IUnknown* outer, const Guid& iid, void** out) override;
    HRESULT LockServer(bool lock) override;

private:
    CreateFunction create_;
    std::string_view progId_;  // static text of the module's class list
};

// The creation function for class T (a ComObject with a default constructor):
//   com::createFunction<Driver>
template <class T>
HRESULT createInstanceOf(const Guid& iid, void** out) {
    return T::createInstance(iid, out);
}
template <class T>
inline constexpr CreateFunction createFunction = &createInstanceOf<T>;

}  // namespace com
